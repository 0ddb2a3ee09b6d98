#include "framework/Schedule.h"

#include <algorithm>

#include <new>

namespace {
std::atomic<LONG> gLivePackets{0};
}

CAMSchedule::CAMSchedule(HANDLE wakeEvent) noexcept : mWakeEvent(wakeEvent) {
    mHead.next = &mTail;
    mTail.eventTime = kMaxTime;
}

CAMSchedule::~CAMSchedule() {
    CAutoLock lock(&mLock);
    while (mCache) {
        AdvisePacket* next = mCache->next;
        FreePacket(mCache);
        mCache = next;
    }
    mCacheCount = 0;
    AdvisePacket* entry = mHead.next;
    while (entry != &mTail) {
        AdvisePacket* next = entry->next;
        FreePacket(entry);
        entry = next;
    }
    mHead.next = &mTail;
    mAdviseCount = 0;
}

LONG CAMSchedule::LivePackets() noexcept { return gLivePackets.load(); }

CAMSchedule::AdvisePacket* CAMSchedule::NewPacket() {
    if (mCache) {
        AdvisePacket* packet = mCache;
        mCache = packet->next;
        --mCacheCount;
        *packet = AdvisePacket{};
        return packet;
    }
    auto* packet = new (std::nothrow) AdvisePacket;
    if (packet)
        ++gLivePackets;
    return packet;
}

void CAMSchedule::FreePacket(AdvisePacket* packet) {
    delete packet;
    --gLivePackets;
}

void CAMSchedule::Recycle(AdvisePacket* packet) {
    if (mCacheCount < kCacheLimit) {
        packet->next = mCache;
        mCache = packet;
        ++mCacheCount;
    } else {
        FreePacket(packet);
    }
}

void CAMSchedule::Insert(AdvisePacket* packet, bool afterEqual) {
    AdvisePacket* before = &mHead;
    while (before->next != &mTail &&
           (afterEqual ? before->next->eventTime <= packet->eventTime : before->next->eventTime < packet->eventTime))
        before = before->next;
    packet->next = before->next;
    before->next = packet;
}

DWORD_PTR CAMSchedule::AddAdvise(REFERENCE_TIME time, REFERENCE_TIME period, HANDLE notify, bool periodic) {
    CAutoLock lock(&mLock);
    AdvisePacket* packet = NewPacket();
    if (!packet)
        return 0;
    packet->eventTime = time;
    packet->period = period;
    packet->notify = notify;
    packet->periodic = periodic ? TRUE : FALSE;
    packet->cookie = ++mNextCookie;
    // A new entry goes ahead of those due at the same time.
    Insert(packet, false);
    ++mAdviseCount;
    if (mHead.next == packet && mWakeEvent)
        SetEvent(mWakeEvent);
    return packet->cookie;
}

HRESULT CAMSchedule::RemoveAdvise(DWORD_PTR cookie) {
    CAutoLock lock(&mLock);
    for (AdvisePacket* before = &mHead; before->next != &mTail; before = before->next) {
        AdvisePacket* entry = before->next;
        if (entry->cookie != cookie)
            continue;
        before->next = entry->next;
        Recycle(entry);
        --mAdviseCount;
        return S_OK;
    }
    return S_FALSE;
}

namespace {

// Releases `semaphore` `times` times, or as often as its maximum count leaves room for, in few calls.
void ReleaseTimes(HANDLE semaphore, REFERENCE_TIME times) {
    for (LONG chunk = static_cast<LONG>(std::min<REFERENCE_TIME>(times, LONG_MAX)); times > 0 && chunk > 0;) {
        if (ReleaseSemaphore(semaphore, chunk, nullptr)) {
            times -= chunk;
            chunk = static_cast<LONG>(std::min<REFERENCE_TIME>(times, chunk));
        } else {
            chunk /= 2; // past the maximum: as much as still fits
        }
    }
}

} // namespace

REFERENCE_TIME CAMSchedule::FireDue(REFERENCE_TIME t) {
    CAutoLock lock(&mLock);
    // An entry at the largest time is never due: it would re-arm onto itself for ever.
    while (mHead.next != &mTail && mHead.next->eventTime < kMaxTime && t >= mHead.next->eventTime) {
        AdvisePacket* entry = mHead.next;
        mHead.next = entry->next;
        if (entry->periodic) {
            // Once for every period that has come due, in one step: a start long past with a short
            // period would otherwise hold the lock (and every caller of the clock) for as many turns.
            const REFERENCE_TIME due = (t - entry->eventTime) / entry->period + 1;
            ReleaseTimes(entry->notify, due);
            // Saturates instead of overflowing into the past, where it would be due for ever.
            entry->eventTime = due > (kMaxTime - entry->eventTime) / entry->period ? kMaxTime
                                                                                   : entry->eventTime + due * entry->period;
            // Re-armed entries go behind those due at the same time.
            Insert(entry, true);
        } else {
            SetEvent(entry->notify);
            --mAdviseCount;
            Recycle(entry);
        }
    }
    return mHead.next->eventTime;
}

ULONG CAMSchedule::AdviseCount() {
    CAutoLock lock(&mLock);
    return mAdviseCount;
}

ULONG CAMSchedule::CacheCount() {
    CAutoLock lock(&mLock);
    return mCacheCount;
}

std::vector<DWORD_PTR> CAMSchedule::CookiesInOrder() {
    CAutoLock lock(&mLock);
    std::vector<DWORD_PTR> cookies;
    for (AdvisePacket* entry = mHead.next; entry != &mTail; entry = entry->next)
        cookies.push_back(entry->cookie);
    return cookies;
}
