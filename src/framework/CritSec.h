#pragma once
// Recursive lock over a critical section, and its scoped holder.

#include <windows.h>


class CCritSec {
public:
    CCritSec() noexcept { InitializeCriticalSection(&mSection); }
    ~CCritSec() { DeleteCriticalSection(&mSection); }
    CCritSec(const CCritSec&) = delete;
    CCritSec& operator=(const CCritSec&) = delete;

    void Lock() noexcept { EnterCriticalSection(&mSection); }
    void Unlock() noexcept { LeaveCriticalSection(&mSection); }

private:
    CRITICAL_SECTION mSection;
};

class CAutoLock {
public:
    explicit CAutoLock(CCritSec* lock) noexcept : mLock(lock) { mLock->Lock(); }
    ~CAutoLock() { mLock->Unlock(); }
    CAutoLock(const CAutoLock&) = delete;
    CAutoLock& operator=(const CAutoLock&) = delete;

private:
    CCritSec* mLock;
};
