#pragma once
// A worker thread driven through a synchronous command channel: one command at a time, each
// answered by the worker before the sender goes on.

#include "framework/CritSec.h"
#include "runtime/Handles.h"

#include <windows.h>

#include <atomic>

class CAMThread {
public:
    // An event that cannot be created is reported as E_OUTOFMEMORY unless result already
    // holds a failure.
    explicit CAMThread(HRESULT* result = nullptr) noexcept;
    virtual ~CAMThread();
    CAMThread(const CAMThread&) = delete;
    CAMThread& operator=(const CAMThread&) = delete;

    // False when a thread exists already or none could be created.
    bool StartThread();
    // The worker's reply; E_FAIL without a thread, or when the thread ended without replying.
    HRESULT SendCommand(DWORD command);
    // Worker side. A command stays pending until it is replied to.
    DWORD WaitCommand();
    bool PeekCommand(DWORD* command);
    // Waits up to `milliseconds` for a command; true when one is pending.
    bool WaitForCommand(DWORD milliseconds);
    // Waits up to `milliseconds` for a command or one of `count` (at most 63) other objects:
    // WAIT_OBJECT_0 for a command, WAIT_OBJECT_0 + 1 + i for others[i], otherwise WAIT_TIMEOUT or
    // WAIT_FAILED.
    DWORD WaitForCommandOr(const HANDLE* others, DWORD count, DWORD milliseconds);
    void ReplyCommand(HRESULT value);
    // Waits for the thread to end and closes its handle.
    void JoinThread();
    bool ThreadExists();

    static DWORD WINAPI ThreadEntry(LPVOID object);

    virtual DWORD WorkerMain() = 0;

    CCritSec mWorkerLock; // for derived classes; the framework never takes it

private:
    Zarvo::UniqueEvent mRequest; // manual-reset
    // Set before mRequest and cleared with it: a streaming loop that peeks once per sample asks the
    // system only while a command may be pending.
    std::atomic<bool> mPending{false};
    Zarvo::UniqueEvent mReply;   // auto-reset
    DWORD mCommand = 0;
    HRESULT mReplyValue = S_OK;
    Zarvo::UniqueHandleNull mThread; // guarded by mAccessLock
    CCritSec mAccessLock;
};
