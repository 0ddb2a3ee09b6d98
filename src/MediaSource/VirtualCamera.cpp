#include "MediaSource/VirtualCamera.h"

#include "MediaSource/MediaSource.h"
#include "MediaSource/PlatformExtras.h"
#include "log/Log.h"

#include <mfapi.h>
#include <wrl/client.h>

#include <cstdio>

namespace Zarvo::MediaFoundation {

HRESULT ChangeVirtualCamera(VirtualCameraChange change) noexcept {
    Log log = Log::Get(kFilterLogName, "VirtualCamera");
    const bool publish = change == VirtualCameraChange::Publish;
    // Found at run time: the module loads, and the DirectShow camera serves, where it is absent.
    HMODULE library = LoadLibraryExW(L"mfsensorgroup.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    const auto create = library ? reinterpret_cast<CreateVirtualCameraFn>(
                                      reinterpret_cast<void (*)()>(GetProcAddress(library, "MFCreateVirtualCamera")))
                                : nullptr;
    if (!create) {
        const DWORD error = GetLastError();
        log << "Media Foundation apps cannot use the camera on this system: no virtual cameras here ("
            << (library ? "mfsensorgroup.dll has no MFCreateVirtualCamera" : "no mfsensorgroup.dll") << ", error "
            << error << ")" << Log::EndLine;
        if (library)
            FreeLibrary(library);
        return S_FALSE;
    }
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    HRESULT hr = MFStartup(MF_VERSION, MFSTARTUP_LITE);
    const bool started = SUCCEEDED(hr);
    wchar_t sourceId[39] = {};
    StringFromGUID2(kClsidMediaSource, sourceId, 39);
    // Only as a camera: the default categories would list it to DirectShow hosts as well, beside the
    // DirectShow camera of the same name.
    const GUID categories[] = {kCategoryVideoCamera};
    Microsoft::WRL::ComPtr<IVirtualCamera> camera;
    if (SUCCEEDED(hr))
        hr = create(kSoftwareCameraSource, kLifetimeSystem, kAccessAllUsers, kCameraName, sourceId, categories, 1,
                    &camera);
    if (SUCCEEDED(hr))
        hr = publish ? camera->Start(nullptr) : camera->Remove();
    if (camera)
        camera->Shutdown();
    camera.Reset();
    if (started)
        MFShutdown();
    if (SUCCEEDED(com))
        CoUninitialize();
    FreeLibrary(library);
    if (FAILED(hr)) {
        char code[16] = {};
        std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
        log << LogLevel::Error << "ERROR: the camera could not be " << (publish ? "published" : "removed")
            << " for Media Foundation apps: " << code << Log::EndLine;
    }
    else
        log << "the camera is " << (publish ? "published" : "removed") << " for Media Foundation apps" << Log::EndLine;
    return hr;
}

} // namespace Zarvo::MediaFoundation
