#include "framework/Enumerators.h"

#include "framework/BaseFilter.h"
#include "framework/BasePin.h"

#include <algorithm>
#include <new>

// ---------------------------------------------------------------------------------------------
// CEnumPins

CEnumPins::CEnumPins(CBaseFilter* filter) noexcept
    : mPinCount(filter->PinCount()), mFilter(filter), mVersion(filter->PinListVersion()) {
    static_cast<IBaseFilter*>(mFilter)->AddRef();
}

CEnumPins::~CEnumPins() { static_cast<IBaseFilter*>(mFilter)->Release(); }

HRESULT CEnumPins::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid != __uuidof(IEnumPins) && riid != IID_IUnknown)
        return E_NOINTERFACE;
    *ppv = static_cast<IEnumPins*>(this);
    AddRef();
    return S_OK;
}

ULONG CEnumPins::AddRef() { return static_cast<ULONG>(++mRefCount); }

ULONG CEnumPins::Release() {
    const LONG count = --mRefCount;
    if (count == 0)
        delete this;
    return static_cast<ULONG>(count);
}

bool CEnumPins::OutOfSync() const { return mVersion != mFilter->PinListVersion(); }

HRESULT CEnumPins::Next(ULONG count, IPin** pins, ULONG* fetched) {
    if (!pins)
        return E_POINTER;
    if (!fetched && count > 1)
        return E_INVALIDARG;
    if (fetched)
        *fetched = 0;
    if (OutOfSync()) {
        // The pins handed out before the change stay handed out.
        mVersion = mFilter->PinListVersion();
        mPinCount = mFilter->PinCount();
        mPosition = 0;
    }
    ULONG got = 0;
    try {
        while (got < count && mPosition < mPinCount) {
            CBasePin* pin = mFilter->PinAt(mPosition++);
            if (!pin) {
                if (fetched)
                    *fetched = got;
                return VFW_E_ENUM_OUT_OF_SYNC;
            }
            if (std::find(mHandedOut.begin(), mHandedOut.end(), pin) != mHandedOut.end())
                continue;
            mHandedOut.push_back(pin);
            pins[got] = pin;
            pin->AddRef();
            ++got;
        }
    } catch (const std::bad_alloc&) {
        if (fetched)
            *fetched = got;
        return E_OUTOFMEMORY;
    }
    if (fetched)
        *fetched = got;
    return got == count ? S_OK : S_FALSE;
}

HRESULT CEnumPins::Skip(ULONG count) {
    if (OutOfSync())
        return VFW_E_ENUM_OUT_OF_SYNC;
    const ULONG left = static_cast<ULONG>(mPinCount - mPosition);
    if (count > left)
        return S_FALSE;
    mPosition += static_cast<int>(count);
    return S_OK;
}

HRESULT CEnumPins::Reset() {
    mVersion = mFilter->PinListVersion();
    mPinCount = mFilter->PinCount();
    mPosition = 0;
    mHandedOut.clear();
    return S_OK;
}

HRESULT CEnumPins::Clone(IEnumPins** clone) {
    if (!clone)
        return E_POINTER;
    *clone = nullptr;
    if (OutOfSync())
        return VFW_E_ENUM_OUT_OF_SYNC;
    auto* copy = new (std::nothrow) CEnumPins(mFilter);
    if (!copy)
        return E_OUTOFMEMORY;
    copy->mPosition = mPosition;
    copy->mPinCount = mPinCount;
    copy->mVersion = mVersion;
    try {
        copy->mHandedOut = mHandedOut;
    } catch (const std::bad_alloc&) {
        copy->Release();
        return E_OUTOFMEMORY;
    }
    *clone = copy;
    return S_OK;
}

// ---------------------------------------------------------------------------------------------
// CEnumMediaTypes

CEnumMediaTypes::CEnumMediaTypes(CBasePin* pin) noexcept : mPin(pin), mVersion(pin->TypeListVersion()) {
    static_cast<IPin*>(mPin)->AddRef();
}

CEnumMediaTypes::~CEnumMediaTypes() { static_cast<IPin*>(mPin)->Release(); }

HRESULT CEnumMediaTypes::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid != __uuidof(IEnumMediaTypes) && riid != IID_IUnknown)
        return E_NOINTERFACE;
    *ppv = static_cast<IEnumMediaTypes*>(this);
    AddRef();
    return S_OK;
}

ULONG CEnumMediaTypes::AddRef() { return static_cast<ULONG>(++mRefCount); }

ULONG CEnumMediaTypes::Release() {
    const LONG count = --mRefCount;
    if (count == 0)
        delete this;
    return static_cast<ULONG>(count);
}

bool CEnumMediaTypes::OutOfSync() const { return mVersion != mPin->TypeListVersion(); }

HRESULT CEnumMediaTypes::Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) {
    if (!types)
        return E_POINTER;
    if (OutOfSync())
        return VFW_E_ENUM_OUT_OF_SYNC;
    if (fetched)
        *fetched = 0;
    if (!fetched && count > 1)
        return E_INVALIDARG;
    ULONG got = 0;
    while (got < count) {
        CMediaType type;
        if (mPin->GetMediaType(mPosition++, &type) != S_OK)
            break;
        auto* out = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
        if (!out)
            break;
        // The format block and pUnk change hands; the emptied local frees nothing.
        *out = type;
        type.pbFormat = nullptr;
        type.cbFormat = 0;
        type.pUnk = nullptr;
        types[got++] = out;
    }
    if (fetched)
        *fetched = got;
    return got == count ? S_OK : S_FALSE;
}

HRESULT CEnumMediaTypes::Skip(ULONG count) {
    if (count == 0)
        return S_OK;
    if (OutOfSync())
        return VFW_E_ENUM_OUT_OF_SYNC;
    // Positions past any real list end stay positive.
    const ULONG room = static_cast<ULONG>(0x7FFFFFFF - mPosition);
    mPosition += static_cast<int>(count < room ? count : room);
    CMediaType type;
    return mPin->GetMediaType(mPosition - 1, &type) == S_OK ? S_OK : S_FALSE;
}

HRESULT CEnumMediaTypes::Reset() {
    mPosition = 0;
    mVersion = mPin->TypeListVersion();
    return S_OK;
}

HRESULT CEnumMediaTypes::Clone(IEnumMediaTypes** clone) {
    if (!clone)
        return E_POINTER;
    *clone = nullptr;
    if (OutOfSync())
        return VFW_E_ENUM_OUT_OF_SYNC;
    auto* copy = new (std::nothrow) CEnumMediaTypes(mPin);
    if (!copy)
        return E_OUTOFMEMORY;
    copy->mPosition = mPosition;
    copy->mVersion = mVersion;
    *clone = copy;
    return S_OK;
}
