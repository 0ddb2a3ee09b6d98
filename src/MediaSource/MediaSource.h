#pragma once
// The camera for Media Foundation hosts (the platform's camera service, a source reader): a live media
// source with one video stream whose pictures come from the camera core, as the DirectShow pin's do.

#include "CameraCore/Formats.h"

#include <mfidl.h>
#include <mfobjects.h>
#include <wrl/client.h>

#include <vector>

namespace Zarvo::MediaFoundation {

inline constexpr CLSID kClsidMediaSource = {0x82A37760, 0x272F, 0x4763, {0x90, 0x1E, 0xC3, 0x96, 0x2A, 0x34, 0xA4, 0x61}};
inline constexpr wchar_t kCameraName[] = L"Zarvo Webcam";

// A new source, as the class factory hands it out. Cheap: hosts make one just to read its types.
HRESULT CreateMediaSource(REFIID riid, void** ppv);

// The module's COM objects still alive (sources, streams), for DllCanUnloadNow.
long LiveObjects() noexcept;

// The types the stream offers, in order of preference: each offered size in NV12, then YUY2, at 29.97
// frames per second.
HRESULT OfferedMediaTypes(FrameSize app, std::vector<Microsoft::WRL::ComPtr<IMFMediaType>>& types);

} // namespace Zarvo::MediaFoundation
