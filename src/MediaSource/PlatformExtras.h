#pragma once
// The parts of the platform's virtual-camera API that the MinGW-w64 headers lack, with the values of
// the platform's documentation and its published metadata.

#include <mfidl.h>
#include <mfobjects.h>

#include <guiddef.h>

namespace Zarvo::MediaFoundation {

// Stream attributes a camera's streams carry.
inline constexpr GUID kDeviceStreamCategory = {0x2939E7B8, 0xA62E, 0x4579, {0xB6, 0x74, 0xD4, 0x07, 0x3D, 0xFA, 0xBB, 0xBA}};
inline constexpr GUID kDeviceStreamId = {0x11BD5120, 0xD124, 0x446B, {0x88, 0xE6, 0x17, 0x06, 0x02, 0x57, 0xFF, 0xF9}};
inline constexpr GUID kDeviceStreamFrameServerShared = {0x1CB378E9, 0xB279, 0x41D4, {0xAF, 0x97, 0x34, 0xA2, 0x43, 0xE6, 0x83, 0x20}};
inline constexpr GUID kDeviceStreamFrameSourceTypes = {0x17145FD1, 0x1B2B, 0x423C, {0x80, 0x01, 0x2B, 0x68, 0x33, 0xED, 0x35, 0x88}};
inline constexpr UINT32 kFrameSourceTypeColor = 0x1;

// The pin category of a video capture stream (PINNAME_VIDEO_CAPTURE).
inline constexpr GUID kPinNameVideoCapture = {0xFB6C4281, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
// The device interface category of cameras (KSCATEGORY_VIDEO_CAMERA).
inline constexpr GUID kCategoryVideoCamera = {0xE5323777, 0xF976, 0x4F5B, {0x9B, 0x55, 0xB9, 0x46, 0x99, 0xC4, 0x6E, 0x44}};

inline constexpr GUID kIIDMediaStream2 = {0xC5BC37D6, 0x75C7, 0x46A1, {0xA1, 0x32, 0x81, 0xB5, 0xF7, 0x23, 0xC2, 0x0F}};

// A stream whose host can turn it on and off on its own (the camera service does).
struct IMediaStream2 : IMFMediaStream {
    virtual HRESULT STDMETHODCALLTYPE SetStreamState(MF_STREAM_STATE value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetStreamState(MF_STREAM_STATE* value) = 0;
};

// MFCreateVirtualCamera (mfsensorgroup.dll, Windows 11), found at run time.
enum VirtualCameraType { kSoftwareCameraSource = 0 };
enum VirtualCameraLifetime { kLifetimeSession = 0, kLifetimeSystem = 1 };
enum VirtualCameraAccess { kAccessCurrentUser = 0, kAccessAllUsers = 1 };

inline constexpr GUID kIIDVirtualCamera = {0x1C08A864, 0xEF6C, 0x4C75, {0xAF, 0x59, 0x5F, 0x2D, 0x68, 0xDA, 0x95, 0x63}};

// IMFVirtualCamera: IMFAttributes, then its own methods in this order. Only Start, Remove and Shutdown
// are called; the others keep their slots.
struct IVirtualCamera : IMFAttributes {
    virtual HRESULT STDMETHODCALLTYPE AddDeviceSourceInfo(LPCWSTR deviceSourceInfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddProperty(const void* key, ULONG type, const BYTE* data, ULONG bytes) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddRegistryEntry(LPCWSTR entryName, LPCWSTR subkeyPath, DWORD regType,
                                                       const BYTE* data, ULONG bytes) = 0;
    virtual HRESULT STDMETHODCALLTYPE Start(IMFAsyncCallback* callback) = 0;
    virtual HRESULT STDMETHODCALLTYPE Stop() = 0;
    virtual HRESULT STDMETHODCALLTYPE Remove() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMediaSource(IMFMediaSource** source) = 0;
    virtual HRESULT STDMETHODCALLTYPE SendCameraProperty(REFGUID propertySet, ULONG propertyId, ULONG propertyFlags,
                                                         void* payload, ULONG payloadBytes, void* data, ULONG dataBytes,
                                                         ULONG* written) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateSyncEvent(REFGUID eventSet, ULONG eventId, ULONG eventFlags, HANDLE event,
                                                      IUnknown** syncObject) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateSyncSemaphore(REFGUID eventSet, ULONG eventId, ULONG eventFlags,
                                                          HANDLE semaphore, LONG adjustment, IUnknown** syncObject) = 0;
    virtual HRESULT STDMETHODCALLTYPE Shutdown() = 0;
};

using CreateVirtualCameraFn = HRESULT(WINAPI*)(VirtualCameraType type, VirtualCameraLifetime lifetime,
                                               VirtualCameraAccess access, LPCWSTR friendlyName, LPCWSTR sourceId,
                                               const GUID* categories, ULONG categoryCount, IVirtualCamera** camera);

} // namespace Zarvo::MediaFoundation
