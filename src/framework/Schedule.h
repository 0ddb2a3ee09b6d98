#pragma once
// Time-ordered list of advise requests (one-shot events and periodic semaphores) served by
// whoever calls FireDue: the reference clock's advise thread, or the owner of the schedule.

#include "framework/CritSec.h"
#include "framework/Unknown.h"

#include <windows.h>
#include <strmif.h>

#include <atomic>
#include <vector>

class CAMSchedule : public CBaseObject {
public:
    static constexpr REFERENCE_TIME kMaxTime = 0x7FFFFFFFFFFFFFFF;

    // wakeEvent is set whenever the earliest due time may have moved earlier; not owned.
    explicit CAMSchedule(HANDLE wakeEvent) noexcept;
    ~CAMSchedule() override;

    // The cookie of the new entry, or 0 when no packet could be had.
    DWORD_PTR AddAdvise(REFERENCE_TIME time, REFERENCE_TIME period, HANDLE notify, bool periodic);
    // S_OK when an entry was removed, S_FALSE when none has that cookie.
    HRESULT RemoveAdvise(DWORD_PTR cookie);
    // Signals every entry due at t; returns the next due time (kMaxTime when none is left).
    REFERENCE_TIME FireDue(REFERENCE_TIME t);
    HANDLE WakeEvent() const noexcept { return mWakeEvent; }

    ULONG AdviseCount();
    ULONG CacheCount();
    // The entries' cookies, earliest first (for diagnostics).
    std::vector<DWORD_PTR> CookiesInOrder();
    // Packets alive in the process, in lists and caches.
    static LONG LivePackets() noexcept;

private:
    struct AdvisePacket {
        AdvisePacket* next = nullptr;
        DWORD_PTR cookie = 0;
        REFERENCE_TIME eventTime = 0;
        REFERENCE_TIME period = 0;
        HANDLE notify = nullptr; // event for one-shot entries, semaphore for periodic ones
        BOOL periodic = FALSE;
    };

    AdvisePacket* NewPacket();
    void Recycle(AdvisePacket* packet);
    void FreePacket(AdvisePacket* packet);
    // Links packet after the last entry due before (or, with afterEqual, not after) its time.
    void Insert(AdvisePacket* packet, bool afterEqual);

    static constexpr ULONG kCacheLimit = 5;

    AdvisePacket mHead;
    AdvisePacket mTail;
    DWORD_PTR mNextCookie = 0;
    ULONG mAdviseCount = 0;
    CCritSec mLock;
    HANDLE mWakeEvent;
    AdvisePacket* mCache = nullptr;
    ULONG mCacheCount = 0;
};
