#pragma once
// The in-process COM server: its class table, class factory and registration.

#include "Filters/ComRegistration.h"
#include "framework/Unknown.h"

#include <strmif.h>
#include <windows.h>

#include <atomic>

struct FactoryTemplate {
    const wchar_t* name;
    const CLSID* clsid;
    CUnknown*(WINAPI* create)(IUnknown* outer, HRESULT* result);
    void(WINAPI* loadHook)(BOOL loading, const CLSID* clsid);
    const void* setupData;
};

extern const FactoryTemplate gTemplates[];
// The device's one pin as registered: "Output", video of any subtype.
extern const REGFILTERPINS gOutputPin;
extern const int gTemplateCount;

class CClassFactory final : public IClassFactory, public CBaseObject {
public:
    explicit CClassFactory(const FactoryTemplate* row) noexcept : mTemplate(row) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

    static LONG ServerLocks() noexcept { return sServerLocks.load(); }

private:
    const FactoryTemplate* mTemplate;
    std::atomic<LONG> mRefCount{0};
    static inline std::atomic<LONG> sServerLocks{0};
};

HRESULT UpdateRegistration(BOOL registering);

// The module handle recorded at process attach.
HINSTANCE ModuleInstance() noexcept;
void SetModuleInstance(HINSTANCE instance) noexcept;
