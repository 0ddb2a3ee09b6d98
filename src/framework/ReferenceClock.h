#pragma once
// Monotonic reference clock on the system millisecond timer, which also signals events and
// semaphores at requested times through its schedule and advise thread.

#include "framework/CritSec.h"
#include "framework/Schedule.h"
#include "framework/Unknown.h"
#include "runtime/Handles.h"

#include <windows.h>
#include <strmif.h>

#include <atomic>

class CBaseReferenceClock : public CUnknown, public IReferenceClock, public IReferenceClockTimerControl, public CCritSec {
public:
    // Without a schedule the clock makes its own and serves it from its own advise thread;
    // with one, whoever owns that schedule calls FireDue. result is written only on failure.
    CBaseReferenceClock(const wchar_t* name, IUnknown* outer, HRESULT* result, CAMSchedule* schedule = nullptr) noexcept;
    ~CBaseReferenceClock() override;

    ZARVO_FORWARD_IUNKNOWN
    HRESULT STDMETHODCALLTYPE InnerQueryInterface(REFIID riid, void** ppv) override;

    // IReferenceClock
    HRESULT STDMETHODCALLTYPE GetTime(REFERENCE_TIME* time) override;
    HRESULT STDMETHODCALLTYPE AdviseTime(REFERENCE_TIME base, REFERENCE_TIME stream, HEVENT event,
                                         DWORD_PTR* cookie) override;
    HRESULT STDMETHODCALLTYPE AdvisePeriodic(REFERENCE_TIME start, REFERENCE_TIME period, HSEMAPHORE semaphore,
                                             DWORD_PTR* cookie) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD_PTR cookie) override;
    // IReferenceClockTimerControl
    HRESULT STDMETHODCALLTYPE SetDefaultTimerResolution(REFERENCE_TIME resolution) override;
    HRESULT STDMETHODCALLTYPE GetDefaultTimerResolution(REFERENCE_TIME* resolution) override;

    // The raw running time; may stand still or, after the timer went back, go back.
    virtual REFERENCE_TIME PrivateTime();

    CAMSchedule* Schedule() const noexcept { return mSchedule; }

protected:
    // The system millisecond timer; a seam for tests of the wrap-around arithmetic.
    virtual DWORD SystemMilliseconds();
    // One pass of the advise thread: fires what is due within the next millisecond and
    // returns how long to wait, in ms (INFINITE when nothing is scheduled).
    DWORD AdvisePass();

    REFERENCE_TIME mPrivateTime = 0;
    DWORD mPreviousSystemTime = 0;
    REFERENCE_TIME mLastReturnedTime = 0;
    UINT mTimerResolution = 0; // ms asked for with timeBeginPeriod; 0 = none

private:
    static DWORD WINAPI AdviseThreadEntry(LPVOID clock);
    DWORD AdviseLoop();
    static UINT MinimumTimerPeriod();

    std::atomic<bool> mAbort{false};
    Zarvo::UniqueHandleNull mAdviseThread;
    CAMSchedule* mSchedule;
    bool mOwnsSchedule = false;
};
