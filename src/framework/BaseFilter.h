#pragma once
// Filter base: state, clock, graph membership and pin enumeration of a DirectShow filter.

#include "framework/CritSec.h"
#include "framework/Unknown.h"

#include <windows.h>
#include <dshow.h>
#include <wrl/client.h>

#include <atomic>
#include <string>

class CBasePin;

class CBaseFilter : public CUnknown, public IBaseFilter, public IAMovieSetup {
public:
    CBaseFilter(const wchar_t* objectName, IUnknown* outer, CCritSec* lock, REFCLSID clsid) noexcept;
    ~CBaseFilter() override;

    ZARVO_FORWARD_IUNKNOWN
    HRESULT STDMETHODCALLTYPE InnerQueryInterface(REFIID riid, void** ppv) override;

    // IPersist
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override;
    // IMediaFilter
    HRESULT STDMETHODCALLTYPE Stop() override;
    HRESULT STDMETHODCALLTYPE Pause() override;
    HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME start) override;
    HRESULT STDMETHODCALLTYPE GetState(DWORD timeout, FILTER_STATE* state) override;
    HRESULT STDMETHODCALLTYPE SetSyncSource(IReferenceClock* clock) override;
    HRESULT STDMETHODCALLTYPE GetSyncSource(IReferenceClock** clock) override;
    // IBaseFilter
    HRESULT STDMETHODCALLTYPE EnumPins(IEnumPins** pins) override;
    HRESULT STDMETHODCALLTYPE FindPin(LPCWSTR id, IPin** pin) override;
    HRESULT STDMETHODCALLTYPE QueryFilterInfo(FILTER_INFO* info) override;
    HRESULT STDMETHODCALLTYPE JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override;
    HRESULT STDMETHODCALLTYPE QueryVendorInfo(LPWSTR* info) override;
    // IAMovieSetup
    HRESULT STDMETHODCALLTYPE Register() override;
    HRESULT STDMETHODCALLTYPE Unregister() override;

    virtual HRESULT GetStreamTime(REFERENCE_TIME* time);
    virtual LONG PinListVersion();
    virtual int PinCount() = 0;
    // Not reference-counted; null past the end.
    virtual CBasePin* PinAt(int index) = 0;
    // Registration data; none in the framework.
    virtual const REGFILTER2* SetupData();

    HRESULT PostGraphEvent(long code, LONG_PTR param1, LONG_PTR param2);

    FILTER_STATE State() const noexcept { return mState.load(); }
    bool IsStopped() const noexcept { return State() == State_Stopped; }
    CCritSec* FilterLock() const noexcept { return mLock; }

protected:
    // Enumerators notice the change and refresh.
    void IncrementPinVersion() noexcept { ++mPinVersion; }

    std::atomic<FILTER_STATE> mState{State_Stopped};
    // Both guarded by mClockLock (and set under mLock): the stream time is read on the worker
    // thread, which must never wait for the filter lock.
    Microsoft::WRL::ComPtr<IReferenceClock> mClock;
    CCritSec mClockLock;
    REFERENCE_TIME mStreamStart = 0;
    CLSID mClsid;
    CCritSec* mLock;
    // Held by Stop, Pause and Run for their whole change, before mLock. Stop waits for the workers
    // without mLock: what runs on them (a downstream Receive) may ask us for things that take it.
    // No query takes this one.
    CCritSec mTransitionLock;
    std::wstring mName; // written under mLock; empty when none was given
    IFilterGraph* mGraph = nullptr;         // not referenced: the graph owns us
    // Not referenced, lives as long as the graph; read by the worker thread.
    std::atomic<IMediaEventSink*> mEventSink{nullptr};
    std::atomic<LONG> mPinVersion{1};
};
