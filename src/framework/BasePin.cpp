#include "framework/BasePin.h"

#include "framework/BaseFilter.h"
#include "framework/Enumerators.h"

#include <cwchar>
#include <new>

namespace {

constexpr size_t kMaxNameLength = 0x7FFFFFFF;

// Codes that say only "not this type" and must not hide a more telling failure.
bool IsGenericTypeFailure(HRESULT hr) {
    return hr == E_FAIL || hr == E_INVALIDARG || hr == VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT MapTypeCheck(HRESULT hr) {
    if (SUCCEEDED(hr) || hr == E_FAIL || hr == E_INVALIDARG)
        return VFW_E_TYPE_NOT_ACCEPTED;
    return hr;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// CBasePin

CBasePin::CBasePin(const wchar_t*, CBaseFilter* filter, CCritSec* lock, HRESULT* result, const wchar_t* pinName,
                   PIN_DIRECTION direction) noexcept
    : CUnknown(nullptr, nullptr), mDirection(direction), mLock(lock), mFilter(filter) {
    if (pinName) {
        try {
            mName.assign(pinName, wcsnlen(pinName, kMaxNameLength));
        } catch (const std::bad_alloc&) {
            if (result && SUCCEEDED(*result))
                *result = E_OUTOFMEMORY;
        }
    }
}

CBasePin::~CBasePin() = default;

HRESULT CBasePin::InnerQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == __uuidof(IPin))
        return GetInterface(static_cast<IPin*>(this), ppv);
    if (riid == __uuidof(IQualityControl))
        return GetInterface(static_cast<IQualityControl*>(this), ppv);
    return CUnknown::InnerQueryInterface(riid, ppv);
}

ULONG CBasePin::InnerAddRef() { return static_cast<IBaseFilter*>(mFilter)->AddRef(); }

ULONG CBasePin::InnerRelease() { return static_cast<IBaseFilter*>(mFilter)->Release(); }

bool CBasePin::IsFilterStopped() const noexcept { return mFilter->IsStopped(); }

HRESULT CBasePin::Connect(IPin* receiver, const AM_MEDIA_TYPE* type) {
    if (!receiver)
        return E_POINTER;
    CAutoLock lock(mLock);
    if (mConnected)
        return VFW_E_ALREADY_CONNECTED;
    if (!IsFilterStopped() && !mCanReconnectWhenActive)
        return VFW_E_NOT_STOPPED;
    const HRESULT hr = NegotiateMediaType(receiver, type);
    if (FAILED(hr)) {
        DropPeer();
        return hr;
    }
    return S_OK;
}

HRESULT CBasePin::NegotiateMediaType(IPin* receiver, const AM_MEDIA_TYPE* type) {
    if (type) {
        CMediaType wanted;
        if (FAILED(wanted.Set(*type)))
            return E_OUTOFMEMORY;
        if (!wanted.IsPartial())
            return TryConnection(receiver, type);
    }
    HRESULT failure = VFW_E_NO_ACCEPTABLE_TYPES;
    for (int pass = 0; pass < 2; ++pass) {
        Microsoft::WRL::ComPtr<IEnumMediaTypes> types;
        const bool receiversTurn = pass == (mTryMyTypesFirst ? 1 : 0);
        const HRESULT got = receiversTurn ? receiver->EnumMediaTypes(&types) : EnumMediaTypes(&types);
        if (FAILED(got) || !types)
            continue;
        const HRESULT hr = TryTypeList(receiver, type, types.Get());
        if (SUCCEEDED(hr))
            return S_OK;
        if (!IsGenericTypeFailure(hr))
            failure = hr;
    }
    return failure;
}

HRESULT CBasePin::TryTypeList(IPin* receiver, const AM_MEDIA_TYPE* pattern, IEnumMediaTypes* types) {
    HRESULT hr = types->Reset();
    if (FAILED(hr))
        return hr;
    HRESULT remembered = S_OK;
    for (;;) {
        AM_MEDIA_TYPE* offered = nullptr;
        ULONG fetched = 0;
        if (types->Next(1, &offered, &fetched) != S_OK || !offered) {
            DestroyMediaType(offered);
            return FAILED(remembered) ? remembered : VFW_E_NO_ACCEPTABLE_TYPES;
        }
        if (!pattern || MediaTypeMatchesTemplate(*offered, *pattern)) {
            hr = TryConnection(receiver, offered);
            if (FAILED(hr) && SUCCEEDED(remembered) && !IsGenericTypeFailure(hr))
                remembered = hr;
        } else {
            hr = VFW_E_NO_ACCEPTABLE_TYPES;
        }
        DestroyMediaType(offered);
        if (hr == S_OK)
            return S_OK;
    }
}

HRESULT CBasePin::TryConnection(IPin* receiver, const AM_MEDIA_TYPE* type) {
    HRESULT hr = CheckPeer(receiver);
    if (FAILED(hr)) {
        DropPeer();
        return hr;
    }
    HRESULT copied = S_OK;
    const CMediaType candidate(*type, &copied);
    if (FAILED(copied)) {
        DropPeer();
        return copied;
    }
    hr = CheckMediaType(&candidate);
    if (hr != S_OK) {
        DropPeer();
        return MapTypeCheck(hr);
    }
    mConnected = receiver;
    hr = SetMediaType(&candidate);
    if (SUCCEEDED(hr)) {
        hr = receiver->ReceiveConnection(static_cast<IPin*>(this), &candidate);
        if (SUCCEEDED(hr)) {
            hr = FinishConnection(receiver);
            if (SUCCEEDED(hr))
                return S_OK;
            receiver->Disconnect();
        }
    }
    DropPeer();
    mConnected.Reset();
    return hr;
}

HRESULT CBasePin::ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) {
    if (!connector || !type)
        return E_POINTER;
    CAutoLock lock(mLock);
    if (mConnected)
        return VFW_E_ALREADY_CONNECTED;
    if (!IsFilterStopped() && !mCanReconnectWhenActive)
        return VFW_E_NOT_STOPPED;
    HRESULT hr = CheckPeer(connector);
    if (FAILED(hr)) {
        DropPeer();
        return hr;
    }
    HRESULT copied = S_OK;
    const CMediaType candidate(*type, &copied);
    if (FAILED(copied)) {
        DropPeer();
        return copied;
    }
    hr = CheckMediaType(&candidate);
    if (hr != S_OK) {
        DropPeer();
        return MapTypeCheck(hr);
    }
    mConnected = connector;
    hr = SetMediaType(&candidate);
    if (SUCCEEDED(hr))
        hr = FinishConnection(connector);
    if (SUCCEEDED(hr))
        return S_OK;
    mConnected.Reset();
    DropPeer();
    return hr;
}

HRESULT CBasePin::Disconnect() {
    CAutoLock lock(mLock);
    if (!IsFilterStopped())
        return VFW_E_NOT_STOPPED;
    if (!mConnected)
        return S_FALSE;
    const HRESULT hr = DropPeer();
    if (FAILED(hr))
        return hr;
    mConnected.Reset();
    return S_OK;
}

HRESULT CBasePin::ConnectedTo(IPin** pin) {
    if (!pin)
        return E_POINTER;
    *pin = mConnected.Get();
    if (!*pin)
        return VFW_E_NOT_CONNECTED;
    (*pin)->AddRef();
    return S_OK;
}

HRESULT CBasePin::ConnectionMediaType(AM_MEDIA_TYPE* type) {
    if (!type)
        return E_POINTER;
    CAutoLock lock(mLock);
    if (!mConnected) {
        const CMediaType empty;
        *type = empty;
        type->pbFormat = nullptr;
        type->pUnk = nullptr;
        return VFW_E_NOT_CONNECTED;
    }
    return CopyMediaTypeInto(type, mMediaType);
}

HRESULT CBasePin::QueryPinInfo(PIN_INFO* info) {
    if (!info)
        return E_POINTER;
    info->pFilter = mFilter;
    if (mFilter)
        mFilter->AddRef();
    const size_t capacity = sizeof(info->achName) / sizeof(info->achName[0]);
    const size_t length = mName.size() < capacity - 1 ? mName.size() : capacity - 1;
    wmemcpy(info->achName, mName.c_str(), length);
    info->achName[length] = L'\0';
    info->dir = mDirection;
    return S_OK;
}

HRESULT CBasePin::QueryDirection(PIN_DIRECTION* direction) {
    if (!direction)
        return E_POINTER;
    *direction = mDirection;
    return S_OK;
}

HRESULT CBasePin::QueryId(LPWSTR* id) {
    if (!id)
        return E_POINTER;
    *id = nullptr;
    return E_NOTIMPL;
}

HRESULT CBasePin::QueryAccept(const AM_MEDIA_TYPE* type) {
    if (!type)
        return E_POINTER;
    HRESULT copied = S_OK;
    const CMediaType candidate(*type, &copied);
    if (FAILED(copied))
        return S_FALSE;
    const HRESULT hr = CheckMediaType(&candidate);
    return FAILED(hr) ? S_FALSE : hr;
}

HRESULT CBasePin::EnumMediaTypes(IEnumMediaTypes** types) {
    if (!types)
        return E_POINTER;
    *types = new (std::nothrow) CEnumMediaTypes(this);
    return *types ? S_OK : E_OUTOFMEMORY;
}

HRESULT CBasePin::QueryInternalConnections(IPin**, ULONG*) { return E_NOTIMPL; }

HRESULT CBasePin::EndOfStream() { return E_UNEXPECTED; }

HRESULT CBasePin::BeginFlush() { return E_UNEXPECTED; }

HRESULT CBasePin::EndFlush() { return E_UNEXPECTED; }

HRESULT CBasePin::NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    mSegmentStart = start;
    mSegmentStop = stop;
    mSegmentRate = rate;
    return S_OK;
}

HRESULT CBasePin::Notify(IBaseFilter*, Quality) { return E_NOTIMPL; }

HRESULT CBasePin::SetSink(IQualityControl* sink) {
    CAutoLock lock(mLock);
    mQualitySink = sink;
    return S_OK;
}

LONG CBasePin::TypeListVersion() { return mTypeVersion.load(); }

HRESULT CBasePin::Activate() { return S_OK; }

HRESULT CBasePin::Deactivate() { return S_OK; }

HRESULT CBasePin::Run(REFERENCE_TIME) { return S_OK; }

HRESULT CBasePin::SetMediaType(const CMediaType* type) {
    if (!type)
        return E_POINTER;
    return mMediaType.Set(*type);
}

HRESULT CBasePin::CheckPeer(IPin* peer) {
    PIN_DIRECTION direction = PINDIR_INPUT;
    const HRESULT hr = peer->QueryDirection(&direction);
    if (FAILED(hr))
        return hr;
    return direction == mDirection ? VFW_E_INVALID_DIRECTION : S_OK;
}

HRESULT CBasePin::DropPeer() { return S_OK; }

HRESULT CBasePin::FinishConnection(IPin*) { return S_OK; }

HRESULT CBasePin::SendEndOfStream() {
    IPin* peer = mConnected.Get();
    return peer ? peer->EndOfStream() : VFW_E_NOT_CONNECTED;
}

HRESULT CBasePin::SendBeginFlush() {
    IPin* peer = mConnected.Get();
    return peer ? peer->BeginFlush() : VFW_E_NOT_CONNECTED;
}

HRESULT CBasePin::SendEndFlush() {
    IPin* peer = mConnected.Get();
    return peer ? peer->EndFlush() : VFW_E_NOT_CONNECTED;
}

HRESULT CBasePin::SendNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    IPin* peer = mConnected.Get();
    return peer ? peer->NewSegment(start, stop, rate) : VFW_E_NOT_CONNECTED;
}

// ---------------------------------------------------------------------------------------------
// CBaseOutputPin

CBaseOutputPin::CBaseOutputPin(const wchar_t* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* result,
                               const wchar_t* pinName) noexcept
    : CBasePin(objectName, filter, lock, result, pinName, PINDIR_OUTPUT) {}

HRESULT CBaseOutputPin::Activate() {
    if (!mAllocator)
        return VFW_E_NO_ALLOCATOR;
    return mAllocator->Commit();
}

HRESULT CBaseOutputPin::Deactivate() {
    mRunTimeError = false;
    if (!mAllocator)
        return VFW_E_NO_ALLOCATOR;
    return mAllocator->Decommit();
}

HRESULT CBaseOutputPin::CheckPeer(IPin* peer) {
    const HRESULT hr = CBasePin::CheckPeer(peer);
    if (FAILED(hr))
        return hr;
    mInputPin.Reset();
    return peer->QueryInterface(IID_PPV_ARGS(&mInputPin));
}

HRESULT CBaseOutputPin::DropPeer() {
    if (mAllocator) {
        const HRESULT hr = mAllocator->Decommit();
        if (FAILED(hr))
            return hr;
        mAllocator.Reset();
    }
    mInputPin.Reset();
    return S_OK;
}

HRESULT CBaseOutputPin::FinishConnection(IPin*) {
    if (!mInputPin)
        return VFW_E_NO_ALLOCATOR;
    mAllocator.Reset();
    return ChooseAllocator(mInputPin.Get(), &mAllocator);
}

HRESULT CBaseOutputPin::ChooseAllocator(IMemInputPin* input, IMemAllocator** allocator) {
    if (!input || !allocator)
        return E_POINTER;
    *allocator = nullptr;
    ALLOCATOR_PROPERTIES request{};
    input->GetAllocatorRequirements(&request); // a pin without requirements leaves it zero
    if (request.cbAlign == 0)
        request.cbAlign = 1;

    Microsoft::WRL::ComPtr<IMemAllocator> chosen;
    HRESULT hr = input->GetAllocator(&chosen);
    if (SUCCEEDED(hr) && chosen) {
        hr = ChooseBufferSize(chosen.Get(), &request);
        if (SUCCEEDED(hr))
            hr = input->NotifyAllocator(chosen.Get(), FALSE);
        if (SUCCEEDED(hr)) {
            *allocator = chosen.Detach();
            return S_OK;
        }
    }
    chosen.Reset();
    hr = CreateDefaultAllocator(&chosen);
    if (FAILED(hr))
        return hr;
    hr = ChooseBufferSize(chosen.Get(), &request);
    if (SUCCEEDED(hr))
        hr = input->NotifyAllocator(chosen.Get(), FALSE);
    if (FAILED(hr))
        return hr;
    *allocator = chosen.Detach();
    return S_OK;
}

HRESULT CBaseOutputPin::GetFreeSample(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* stop,
                                      DWORD flags) {
    if (!sample)
        return E_POINTER;
    *sample = nullptr;
    if (!mAllocator)
        return E_NOINTERFACE;
    return mAllocator->GetBuffer(sample, start, stop, flags);
}

HRESULT CBaseOutputPin::DeliverSample(IMediaSample* sample) {
    if (!mInputPin)
        return VFW_E_NOT_CONNECTED;
    return mInputPin->Receive(sample);
}

HRESULT CBaseOutputPin::CreateDefaultAllocator(IMemAllocator** allocator) {
    if (!allocator)
        return E_POINTER;
    *allocator = nullptr;
    return CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(allocator));
}
