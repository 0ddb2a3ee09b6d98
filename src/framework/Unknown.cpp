#include "framework/Unknown.h"

namespace {
std::atomic<LONG> gLiveObjects{0};
}

CBaseObject::CBaseObject() noexcept { ++gLiveObjects; }

CBaseObject::~CBaseObject() { --gLiveObjects; }

LONG CBaseObject::LiveObjectCount() noexcept { return gLiveObjects.load(); }

CUnknown::CUnknown(const wchar_t*, IUnknown* outer) noexcept
    : mOwner(outer ? outer : static_cast<IUnknown*>(&mInner)) {}

HRESULT CUnknown::InnerQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown)
        return GetInterface(&mInner, ppv);
    return E_NOINTERFACE;
}

ULONG CUnknown::InnerAddRef() {
    const LONG count = ++mRefCount;
    return static_cast<ULONG>(count > 1 ? count : 1);
}

ULONG CUnknown::InnerRelease() {
    const LONG count = --mRefCount;
    if (count == 0) {
        // A release during destruction (an object handing itself out) must not delete again.
        mRefCount = 1;
        delete this;
        return 0;
    }
    return static_cast<ULONG>(count);
}

HRESULT GetInterface(IUnknown* unknown, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = unknown;
    unknown->AddRef();
    return S_OK;
}
