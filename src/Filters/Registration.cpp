// Registration as a COM class and as a video input device.
#include "Filters/ComRegistration.h"
#include "Filters/Guids.h"
#include "Filters/Module.h"

#include <dshow.h>
#include <uuids.h>
#include <wrl/client.h>


namespace {

HRESULT FromWin32(LONG code) {
    return static_cast<HRESULT>(0x80070000u | static_cast<ULONG>(code));
}

} // namespace

HRESULT UpdateRegistration(BOOL registering) {
    char narrowPath[MAX_PATH];
    if (GetModuleFileNameA(ModuleInstance(), narrowPath, MAX_PATH) == 0)
        return FromWin32(static_cast<LONG>(GetLastError()));
    wchar_t path[MAX_PATH] = {};
    MultiByteToWideChar(CP_ACP, 0, narrowPath, -1, path, MAX_PATH);

    HRESULT hr = CoInitialize(nullptr);
    const bool uninitialize = SUCCEEDED(hr);
    // A caller already in the multithreaded apartment has COM ready; without this the
    // unregistration would refuse to run there while the registration goes ahead.
    if (hr == RPC_E_CHANGED_MODE)
        hr = S_OK;
    if (registering)
        hr = RegisterComServer(CLSID_ZarvoWebcam, kZarvoWebcamName, path, L"Both", L"InprocServer32");

    if (SUCCEEDED(hr)) {
        Microsoft::WRL::ComPtr<IFilterMapper2> mapper;
        hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&mapper));
        if (mapper) {
            if (registering) {
                REGFILTER2 filter{};
                filter.dwVersion = 1;
                filter.dwMerit = MERIT_DO_NOT_USE;
                filter.cPins = 1;
                filter.rgPins = &gOutputPin;
                IMoniker* moniker = nullptr;
                hr = mapper->RegisterFilter(CLSID_ZarvoWebcam, kZarvoWebcamName, &moniker,
                                            &CLSID_VideoInputDeviceCategory, nullptr, &filter);
                if (moniker)
                    moniker->Release();
            } else {
                hr = mapper->UnregisterFilter(&CLSID_VideoInputDeviceCategory, nullptr, CLSID_ZarvoWebcam);
            }
        }
    }
    if (!registering && SUCCEEDED(hr))
        hr = UnregisterComServer(CLSID_ZarvoWebcam);

    CoFreeUnusedLibraries();
    if (uninitialize)
        CoUninitialize();
    return hr;
}
