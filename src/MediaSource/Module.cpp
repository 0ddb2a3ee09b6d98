// The module's entry points: the media source's class factory, its registration as a COM class, and
// its publication as a camera of the platform (DllInstall, run by the installer).
#include "AppSettings/AppSettings.h"
#include "CameraCore/CameraCore.h"
#include "Filters/ComRegistration.h"
#include "MediaSource/MediaSource.h"
#include "MediaSource/VirtualCamera.h"
#include "log/Log.h"

#include <windows.h>

#include <atomic>
#include <new>
#include <string>

using namespace Zarvo::MediaFoundation;

namespace {

HINSTANCE gModule = nullptr;
std::atomic<long> gServerLocks{0};

class ClassFactory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // One static factory: its references lock the module as the host's LockServer calls do.
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++gServerLocks); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--gServerLocks); }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        return outer ? CLASS_E_NOAGGREGATION : CreateMediaSource(riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        lock ? ++gServerLocks : --gServerLocks;
        return S_OK;
    }
};

ClassFactory gFactory;

} // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        gModule = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (clsid != kClsidMediaSource)
        return CLASS_E_CLASSNOTAVAILABLE;
    return gFactory.QueryInterface(riid, ppv);
}

STDAPI DllCanUnloadNow() {
    return gServerLocks.load() == 0 && LiveObjects() == 0 && Zarvo::PendingReleaseTasks() == 0 ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() {
    // The whole name, however long: hosts find the class at the file it names.
    std::wstring path;
    try {
        if (const DWORD error = Zarvo::GetModuleFilePath(gModule, path); error != ERROR_SUCCESS)
            return HRESULT_FROM_WIN32(error);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return RegisterComServer(kClsidMediaSource, kCameraName, path.c_str(), L"Both", L"InprocServer32");
}

STDAPI DllUnregisterServer() { return UnregisterComServer(kClsidMediaSource); }

// "regsvr32 /n /i ZarvoMediaSource.dll" publishes the camera for Media Foundation apps, "/n /u /i"
// removes it. Run by the installer, never by the camera service: so only here is there a log file.
STDAPI DllInstall(BOOL install, PCWSTR) {
    Zarvo::InitializeLogging(Zarvo::Network::Webcam::WebcamSettings::ForCurrentUser().SettingsFolder(), L"zvsource");
    const HRESULT hr =
        ChangeVirtualCamera(install ? VirtualCameraChange::Publish : VirtualCameraChange::Remove);
    // Where the platform has no virtual cameras there is nothing to do: no failure.
    return FAILED(hr) ? hr : S_OK;
}
