#include "Filters/Module.h"

#include "Filters/Filters.h"
#include "Filters/Guids.h"

#include <dshow.h>
#include <uuids.h>

#include <new>

namespace {

const REGPINTYPES kPinTypes = {&MEDIATYPE_Video, &GUID_NULL};

} // namespace

const REGFILTERPINS gOutputPin = {
    const_cast<LPWSTR>(L"Output"), // name
    FALSE,                         // rendered
    TRUE,                          // output
    FALSE,                         // zero instances allowed
    FALSE,                         // many instances
    &GUID_NULL,                    // connects to filter
    nullptr,                       // connects to pin
    1,
    &kPinTypes,
};

namespace {

struct FilterSetup {
    const CLSID* clsid;
    const wchar_t* name;
    DWORD merit;
    UINT pinCount;
    const REGFILTERPINS* pins;
};

const FilterSetup kFilterSetup = {&CLSID_ZarvoWebcam, kZarvoWebcamName, MERIT_DO_NOT_USE, 1, &gOutputPin};

HINSTANCE gInstance = nullptr;

} // namespace

const FactoryTemplate gTemplates[] = {
    {kZarvoWebcamName, &CLSID_ZarvoWebcam, CVCam::CreateInstance, nullptr, &kFilterSetup},
};
const int gTemplateCount = 1;

HINSTANCE ModuleInstance() noexcept {
    return gInstance;
}
void SetModuleInstance(HINSTANCE instance) noexcept {
    gInstance = instance;
}

HRESULT STDMETHODCALLTYPE CClassFactory::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IClassFactory)
        return E_NOINTERFACE;
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE CClassFactory::AddRef() {
    return static_cast<ULONG>(++mRefCount);
}

ULONG STDMETHODCALLTYPE CClassFactory::Release() {
    const LONG count = --mRefCount;
    if (count == 0)
        delete this;
    return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE CClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    // An aggregating outer object may only ask for the inner unknown.
    if (outer && riid != IID_IUnknown)
        return E_NOINTERFACE;

    HRESULT result = S_OK;
    CUnknown* object = nullptr;
    try {
        object = mTemplate->create(outer, &result);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    if (!object)
        return FAILED(result) ? result : E_OUTOFMEMORY;
    if (FAILED(result)) {
        delete object;
        return result;
    }
    object->InnerAddRef();
    const HRESULT hr = object->InnerQueryInterface(riid, ppv);
    object->InnerRelease();
    return hr;
}

HRESULT STDMETHODCALLTYPE CClassFactory::LockServer(BOOL lock) {
    if (lock)
        ++sServerLocks;
    else
        --sServerLocks;
    return S_OK;
}

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        SetModuleInstance(instance);
        for (int i = 0; i < gTemplateCount; ++i) {
            if (gTemplates[i].loadHook)
                gTemplates[i].loadHook(TRUE, gTemplates[i].clsid);
        }
    } else if (reason == DLL_PROCESS_DETACH) {
        for (int i = 0; i < gTemplateCount; ++i) {
            if (gTemplates[i].loadHook)
                gTemplates[i].loadHook(FALSE, gTemplates[i].clsid);
        }
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IClassFactory)
        return E_NOINTERFACE;
    for (int i = 0; i < gTemplateCount; ++i) {
        if (*gTemplates[i].clsid != clsid)
            continue;
        auto* factory = new (std::nothrow) CClassFactory(&gTemplates[i]);
        if (!factory)
            return E_OUTOFMEMORY;
        factory->AddRef();
        *ppv = static_cast<IClassFactory*>(factory);
        return S_OK;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() {
    // Release tasks still talking to the server keep the module's code in use.
    if (CClassFactory::ServerLocks() > 0 || CBaseObject::LiveObjectCount() != 0 || PendingReleaseTasks() > 0)
        return S_FALSE;
    return S_OK;
}

STDAPI DllRegisterServer() {
    return UpdateRegistration(TRUE);
}

STDAPI DllUnregisterServer() {
    return UpdateRegistration(FALSE);
}

} // extern "C"
