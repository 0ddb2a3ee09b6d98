// Registration as a COM class and as a video input device.
#include "AppSettings/AppSettings.h"
#include "Filters/ComRegistration.h"
#include "Filters/Guids.h"
#include "Filters/Module.h"

#include <dshow.h>
#include <uuids.h>
#include <wrl/client.h>

#include <new>
#include <string>

namespace {

HRESULT FromWin32(DWORD code) {
    return static_cast<HRESULT>(0x80070000u | (code & 0xFFFFu));
}

HRESULT RegisterDevice(IFilterMapper2* mapper) {
    REGFILTER2 filter{};
    filter.dwVersion = 1;
    filter.dwMerit = MERIT_DO_NOT_USE;
    filter.cPins = 1;
    filter.rgPins = &gOutputPin;
    IMoniker* moniker = nullptr;
    const HRESULT hr = mapper->RegisterFilter(CLSID_ZarvoWebcam, kZarvoWebcamName, &moniker,
                                              &CLSID_VideoInputDeviceCategory, nullptr, &filter);
    if (moniker)
        moniker->Release();
    return hr;
}

HRESULT Register(const wchar_t* path) {
    HRESULT hr = RegisterComServer(CLSID_ZarvoWebcam, kZarvoWebcamName, path, L"Both", L"InprocServer32");
    Microsoft::WRL::ComPtr<IFilterMapper2> mapper;
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&mapper));
    if (SUCCEEDED(hr))
        hr = RegisterDevice(mapper.Get());
    // A failed registration leaves nothing: a class without its device is of no use, and a device
    // entry (even a partly written one) without its class is listed by hosts that cannot create it.
    if (FAILED(hr)) {
        if (mapper)
            mapper->UnregisterFilter(&CLSID_VideoInputDeviceCategory, nullptr, CLSID_ZarvoWebcam);
        UnregisterComServer(CLSID_ZarvoWebcam);
    }
    return hr;
}

HRESULT Unregister() {
    Microsoft::WRL::ComPtr<IFilterMapper2> mapper;
    HRESULT device =
        CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&mapper));
    if (SUCCEEDED(device)) {
        device = mapper->UnregisterFilter(&CLSID_VideoInputDeviceCategory, nullptr, CLSID_ZarvoWebcam);
        // Already gone (removed by hand, or never written by a registration that failed): done.
        if (device == FromWin32(ERROR_FILE_NOT_FOUND))
            device = S_OK;
    }
    // The class key goes whatever became of the device entry, or it would stay for good.
    const HRESULT classKey = UnregisterComServer(CLSID_ZarvoWebcam);
    return FAILED(device) ? device : classKey;
}

} // namespace

HRESULT UpdateRegistration(BOOL registering) {
    // The wide name, read whole: one cut at MAX_PATH or passed through the ANSI code page names a
    // file that does not exist, and hosts would list a camera they cannot create.
    std::wstring path;
    if (registering) {
        try {
            if (const DWORD error = Zarvo::GetModuleFilePath(ModuleInstance(), path); error != ERROR_SUCCESS)
                return FromWin32(error);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }

    HRESULT hr = CoInitialize(nullptr);
    const bool uninitialize = SUCCEEDED(hr);
    // A caller already in the multithreaded apartment has COM ready; without this the
    // unregistration would refuse to run there while the registration goes ahead.
    if (hr == RPC_E_CHANGED_MODE)
        hr = S_OK;
    if (SUCCEEDED(hr))
        hr = registering ? Register(path.c_str()) : Unregister();

    CoFreeUnusedLibraries();
    if (uninitialize)
        CoUninitialize();
    return hr;
}
