#pragma once
// Publishing the media source as a camera of the platform (Windows 11's virtual cameras), for every
// user of the machine and until it is removed: what the installer asks for once.

#include <windows.h>

namespace Zarvo::MediaFoundation {

enum class VirtualCameraChange { Publish, Remove };

// Publishes or removes the camera. S_OK when done; S_FALSE where the platform has no virtual cameras
// (before Windows 11), which is no failure; the platform's error otherwise. One log line either way.
HRESULT ChangeVirtualCamera(VirtualCameraChange change) noexcept;

} // namespace Zarvo::MediaFoundation
