#include "framework/BaseFilter.h"

#include "framework/BasePin.h"
#include "framework/Enumerators.h"

#include <cwchar>
#include <cwctype>
#include <new>

namespace {

// Longest name whose length we still count.
constexpr size_t kMaxNameLength = 0x7FFFFFFF;

// Decimal digits after optional white space and sign; anything else counts as 0.
long long ParsePinNumber(const wchar_t* id) {
    const wchar_t* p = id;
    while (*p && std::iswspace(*p))
        ++p;
    bool negative = false;
    if (*p == L'+' || *p == L'-')
        negative = *p++ == L'-';
    long long value = 0;
    while (*p >= L'0' && *p <= L'9') {
        value = value * 10 + (*p++ - L'0');
        if (value > 0x7FFFFFFFLL)
            return 0; // no pin has such an index
    }
    return negative ? -value : value;
}

} // namespace

CBaseFilter::CBaseFilter(const wchar_t* objectName, IUnknown* outer, CCritSec* lock, REFCLSID clsid) noexcept
    : CUnknown(objectName, outer), mClsid(clsid), mLock(lock) {}

CBaseFilter::~CBaseFilter() = default;

HRESULT CBaseFilter::InnerQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == __uuidof(IBaseFilter) || riid == __uuidof(IMediaFilter) || riid == __uuidof(IPersist))
        return GetInterface(static_cast<IBaseFilter*>(this), ppv);
    if (riid == __uuidof(IAMovieSetup))
        return GetInterface(static_cast<IAMovieSetup*>(this), ppv);
    return CUnknown::InnerQueryInterface(riid, ppv);
}

HRESULT CBaseFilter::GetClassID(CLSID* clsid) {
    if (!clsid)
        return E_POINTER;
    *clsid = mClsid;
    return S_OK;
}

HRESULT CBaseFilter::Stop() {
    CAutoLock transition(&mTransitionLock);
    HRESULT result = S_OK;
    if (State() != State_Stopped) {
        // Every pin is told, even after a failure; the first failure is reported.
        for (int i = 0; i < PinCount(); ++i) {
            CBasePin* pin = PinAt(i);
            if (!pin)
                break;
            if (!pin->IsConnected())
                continue;
            const HRESULT hr = pin->Deactivate();
            if (FAILED(hr) && SUCCEEDED(result))
                result = hr;
        }
    }
    CAutoLock lock(mLock);
    mState = State_Stopped;
    return result;
}

HRESULT CBaseFilter::Pause() {
    CAutoLock transition(&mTransitionLock);
    CAutoLock lock(mLock);
    if (State() == State_Stopped) {
        for (int i = 0; i < PinCount(); ++i) {
            CBasePin* pin = PinAt(i);
            if (!pin)
                break;
            if (!pin->IsConnected())
                continue;
            const HRESULT hr = pin->Activate();
            if (FAILED(hr))
                return hr;
        }
    }
    mState = State_Paused;
    return S_OK;
}

HRESULT CBaseFilter::Run(REFERENCE_TIME start) {
    CAutoLock transition(&mTransitionLock);
    CAutoLock lock(mLock);
    {
        CAutoLock clockLock(&mClockLock);
        mStreamStart = start;
    }
    if (State() == State_Stopped) {
        const HRESULT hr = Pause();
        if (FAILED(hr))
            return hr;
    }
    if (State() != State_Running) {
        for (int i = 0; i < PinCount(); ++i) {
            CBasePin* pin = PinAt(i);
            if (!pin)
                break;
            if (!pin->IsConnected())
                continue;
            const HRESULT hr = pin->Run(start);
            if (FAILED(hr))
                return hr;
        }
    }
    mState = State_Running;
    return S_OK;
}

HRESULT CBaseFilter::GetState(DWORD, FILTER_STATE* state) {
    if (!state)
        return E_POINTER;
    *state = State();
    return S_OK;
}

HRESULT CBaseFilter::SetSyncSource(IReferenceClock* clock) {
    CAutoLock lock(mLock);
    Microsoft::WRL::ComPtr<IReferenceClock> old;
    {
        CAutoLock clockLock(&mClockLock);
        old = std::move(mClock);
        mClock = clock;
    }
    return S_OK; // the old clock is released outside the clock lock
}

HRESULT CBaseFilter::GetSyncSource(IReferenceClock** clock) {
    if (!clock)
        return E_POINTER;
    CAutoLock lock(mLock);
    CAutoLock clockLock(&mClockLock);
    *clock = mClock.Get();
    if (*clock)
        (*clock)->AddRef();
    return S_OK;
}

HRESULT CBaseFilter::EnumPins(IEnumPins** pins) {
    if (!pins)
        return E_POINTER;
    *pins = new (std::nothrow) CEnumPins(this);
    return *pins ? S_OK : E_OUTOFMEMORY;
}

HRESULT CBaseFilter::FindPin(LPCWSTR id, IPin** pin) {
    if (!pin)
        return E_POINTER;
    *pin = nullptr;
    if (!id)
        return E_POINTER;
    const long long index = ParsePinNumber(id) - 1;
    if (index < 0 || index > 0x7FFFFFFFLL)
        return VFW_E_NOT_FOUND;
    CAutoLock lock(mLock);
    CBasePin* found = PinAt(static_cast<int>(index));
    if (!found)
        return VFW_E_NOT_FOUND;
    *pin = found;
    found->AddRef();
    return S_OK;
}

HRESULT CBaseFilter::QueryFilterInfo(FILTER_INFO* info) {
    if (!info)
        return E_POINTER;
    const size_t capacity = sizeof(info->achName) / sizeof(info->achName[0]);
    const size_t length = mName.size() < capacity - 1 ? mName.size() : capacity - 1;
    wmemcpy(info->achName, mName.c_str(), length);
    info->achName[length] = L'\0';
    info->pGraph = mGraph;
    if (mGraph)
        mGraph->AddRef();
    return S_OK;
}

HRESULT CBaseFilter::JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) {
    CAutoLock lock(mLock);
    mGraph = graph;
    mEventSink = nullptr;
    if (graph) {
        IMediaEventSink* sink = nullptr;
        if (SUCCEEDED(graph->QueryInterface(__uuidof(IMediaEventSink), reinterpret_cast<void**>(&sink))) && sink) {
            // The graph outlives its filters; holding a reference would make a cycle.
            mEventSink = sink;
            sink->Release();
        }
    }
    mName.clear();
    if (name) {
        const size_t length = wcsnlen(name, kMaxNameLength);
        if (length == kMaxNameLength)
            return E_INVALIDARG;
        try {
            mName.assign(name, length);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }
    return S_OK;
}

HRESULT CBaseFilter::QueryVendorInfo(LPWSTR*) { return E_NOTIMPL; }

HRESULT CBaseFilter::Register() { return SetupData() ? E_NOTIMPL : S_FALSE; }

HRESULT CBaseFilter::Unregister() { return SetupData() ? E_NOTIMPL : S_FALSE; }

HRESULT CBaseFilter::GetStreamTime(REFERENCE_TIME* time) {
    if (!time)
        return E_POINTER;
    Microsoft::WRL::ComPtr<IReferenceClock> clock;
    REFERENCE_TIME start = 0;
    {
        CAutoLock clockLock(&mClockLock);
        clock = mClock;
        start = mStreamStart;
    }
    if (!clock)
        return VFW_E_NO_CLOCK;
    REFERENCE_TIME now = 0;
    const HRESULT hr = clock->GetTime(&now);
    if (FAILED(hr))
        return hr;
    *time = now - start;
    return S_OK;
}

LONG CBaseFilter::PinListVersion() { return mPinVersion.load(); }

const REGFILTER2* CBaseFilter::SetupData() { return nullptr; }

HRESULT CBaseFilter::PostGraphEvent(long code, LONG_PTR param1, LONG_PTR param2) {
    IMediaEventSink* sink = mEventSink;
    if (!sink)
        return E_NOTIMPL;
    if (code == EC_COMPLETE)
        param2 = reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(this));
    return sink->Notify(code, param1, param2);
}
