#include "framework/ReferenceClock.h"

#include <mmsystem.h>

#include <algorithm>
#include <new>

namespace {
constexpr REFERENCE_TIME kUnitsPerMs = 10000;
// The longest step back of the timer taken as one (the raw time goes back with it); any other
// difference between two readings is time gone forward.
constexpr DWORD kLongestStepBackMs = 1000;
// The advise thread reads the timer at least this often, also with nothing scheduled, so the
// gap between two readings stays far below the 2^32 ms after which the timer's value repeats.
constexpr DWORD kLongestWaitMs = 1u << 30;
} // namespace

CBaseReferenceClock::CBaseReferenceClock(const wchar_t* name, IUnknown* outer, HRESULT* result,
                                         CAMSchedule* schedule) noexcept
    : CUnknown(name, outer), mSchedule(schedule) {
    if (!mSchedule) {
        HANDLE wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        mSchedule = wake ? new (std::nothrow) CAMSchedule(wake) : nullptr;
        if (!mSchedule) {
            if (wake)
                CloseHandle(wake);
            if (result)
                *result = E_OUTOFMEMORY;
            return;
        }
        mOwnsSchedule = true;
    }

    mTimerResolution = MinimumTimerPeriod();
    timeBeginPeriod(mTimerResolution);
    mPreviousSystemTime = timeGetTime();
    mPrivateTime = static_cast<REFERENCE_TIME>(mPreviousSystemTime) * kUnitsPerMs;

    if (mOwnsSchedule) {
        DWORD id = 0;
        mAdviseThread.reset(CreateThread(nullptr, 0, &CBaseReferenceClock::AdviseThreadEntry, this, 0, &id));
        if (!mAdviseThread) {
            if (result)
                *result = E_FAIL;
            CloseHandle(mSchedule->WakeEvent());
            delete mSchedule;
            mSchedule = nullptr;
            mOwnsSchedule = false;
            return;
        }
        SetThreadPriority(mAdviseThread.get(), THREAD_PRIORITY_TIME_CRITICAL);
    }
}

CBaseReferenceClock::~CBaseReferenceClock() {
    if (mTimerResolution != 0)
        timeEndPeriod(mTimerResolution);
    if (mAdviseThread) {
        mAbort = true;
        SetEvent(mSchedule->WakeEvent());
        WaitForSingleObject(mAdviseThread.get(), INFINITE);
        mAdviseThread.reset();
    }
    if (mOwnsSchedule) {
        CloseHandle(mSchedule->WakeEvent());
        delete mSchedule;
    }
}

HRESULT CBaseReferenceClock::InnerQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == __uuidof(IReferenceClock))
        return GetInterface(static_cast<IReferenceClock*>(this), ppv);
    if (riid == __uuidof(IReferenceClockTimerControl))
        return GetInterface(static_cast<IReferenceClockTimerControl*>(this), ppv);
    return CUnknown::InnerQueryInterface(riid, ppv);
}

UINT CBaseReferenceClock::MinimumTimerPeriod() {
    TIMECAPS caps{};
    if (timeGetDevCaps(&caps, sizeof(caps)) != MMSYSERR_NOERROR || caps.wPeriodMin == 0)
        return 1;
    return caps.wPeriodMin;
}

DWORD CBaseReferenceClock::SystemMilliseconds() { return timeGetTime(); }

REFERENCE_TIME CBaseReferenceClock::PrivateTime() {
    CAutoLock lock(this);
    const DWORD now = SystemMilliseconds();
    // Unsigned, so readings up to 49.7 days apart are right across the timer's wrap; read as
    // signed, a clock left unused for 24.9 days stood still until the timer caught up again.
    const DWORD back = mPreviousSystemTime - now;
    const REFERENCE_TIME deltaMs =
        back <= kLongestStepBackMs ? -REFERENCE_TIME{back} : REFERENCE_TIME{now - mPreviousSystemTime};
    mPrivateTime += deltaMs * kUnitsPerMs;
    mPreviousSystemTime = now;
    return mPrivateTime;
}

HRESULT CBaseReferenceClock::GetTime(REFERENCE_TIME* time) {
    if (!time)
        return E_POINTER;
    CAutoLock lock(this);
    const REFERENCE_TIME raw = PrivateTime();
    HRESULT hr = S_FALSE;
    if (raw > mLastReturnedTime) {
        mLastReturnedTime = raw;
        hr = S_OK;
    }
    *time = mLastReturnedTime;
    return hr;
}

HRESULT CBaseReferenceClock::AdviseTime(REFERENCE_TIME base, REFERENCE_TIME stream, HEVENT event, DWORD_PTR* cookie) {
    if (!cookie)
        return E_POINTER;
    *cookie = 0;
    // A sum that would overflow is as invalid as one that is not positive.
    if ((stream > 0 && base > CAMSchedule::kMaxTime - stream) || (stream < 0 && base < -CAMSchedule::kMaxTime - 1 - stream))
        return E_INVALIDARG;
    const REFERENCE_TIME t = base + stream;
    if (t <= 0 || t == CAMSchedule::kMaxTime)
        return E_INVALIDARG;
    if (!mSchedule)
        return E_OUTOFMEMORY;
    *cookie = mSchedule->AddAdvise(t, 0, reinterpret_cast<HANDLE>(event), false);
    return *cookie ? S_OK : E_OUTOFMEMORY;
}

HRESULT CBaseReferenceClock::AdvisePeriodic(REFERENCE_TIME start, REFERENCE_TIME period, HSEMAPHORE semaphore,
                                            DWORD_PTR* cookie) {
    if (!cookie)
        return E_POINTER;
    *cookie = 0;
    if (!(start > 0 && period > 0 && start != CAMSchedule::kMaxTime))
        return E_INVALIDARG;
    if (!mSchedule)
        return E_OUTOFMEMORY;
    *cookie = mSchedule->AddAdvise(start, period, reinterpret_cast<HANDLE>(semaphore), true);
    return *cookie ? S_OK : E_OUTOFMEMORY;
}

HRESULT CBaseReferenceClock::Unadvise(DWORD_PTR cookie) {
    if (!mSchedule)
        return S_FALSE;
    return mSchedule->RemoveAdvise(cookie);
}

HRESULT CBaseReferenceClock::SetDefaultTimerResolution(REFERENCE_TIME resolution) {
    CAutoLock lock(this);
    if (resolution == 0) {
        if (mTimerResolution != 0)
            timeEndPeriod(mTimerResolution);
        mTimerResolution = 0;
        return S_OK;
    }
    const REFERENCE_TIME wantedMs = resolution / kUnitsPerMs;
    const UINT minimum = MinimumTimerPeriod();
    const UINT ms = wantedMs > static_cast<REFERENCE_TIME>(minimum)
                        ? (wantedMs > 0xFFFFFFFF ? 0xFFFFFFFFu : static_cast<UINT>(wantedMs))
                        : minimum;
    if (ms != mTimerResolution) {
        if (mTimerResolution != 0)
            timeEndPeriod(mTimerResolution);
        mTimerResolution = ms;
        timeBeginPeriod(mTimerResolution);
    }
    return S_OK;
}

HRESULT CBaseReferenceClock::GetDefaultTimerResolution(REFERENCE_TIME* resolution) {
    if (!resolution)
        return E_POINTER;
    CAutoLock lock(this);
    *resolution = static_cast<REFERENCE_TIME>(mTimerResolution) * kUnitsPerMs;
    return S_OK;
}

DWORD WINAPI CBaseReferenceClock::AdviseThreadEntry(LPVOID clock) {
    return static_cast<CBaseReferenceClock*>(clock)->AdviseLoop();
}

DWORD CBaseReferenceClock::AdvisePass() {
    const REFERENCE_TIME now = PrivateTime();
    // Entries due within the next millisecond are signalled now rather than a wake later.
    const REFERENCE_TIME next = mSchedule->FireDue(now + kUnitsPerMs);
    if (next == CAMSchedule::kMaxTime)
        return INFINITE;
    const REFERENCE_TIME waitMs = (next - now) / kUnitsPerMs;
    return waitMs >= static_cast<REFERENCE_TIME>(INFINITE) ? INFINITE : static_cast<DWORD>(waitMs);
}

DWORD CBaseReferenceClock::AdviseLoop() {
    DWORD wait = kLongestWaitMs;
    while (!mAbort) {
        WaitForSingleObject(mSchedule->WakeEvent(), wait);
        if (mAbort)
            break;
        wait = (std::min)(AdvisePass(), kLongestWaitMs);
    }
    return 0;
}
