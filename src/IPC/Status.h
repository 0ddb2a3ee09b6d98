#pragma once
// The messages of the control pipe and the names shared with the companion server.
//
// A request is the 4-byte command code; every answer is one 16-byte Status. There is no
// header: the command alone gives the answer its meaning.

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

namespace Zarvo::IPC {

struct Status {
    std::uint64_t shared_texture; // answer to OpenSharedTexture
    std::uint32_t frame_flag;     // answer to the per-frame request
    std::uint32_t is_camera_live; // answers to StartCamera and StopCamera
};
// The 64-bit server answers 32-bit and 64-bit cameras alike: the layout must not depend on the build.
static_assert(sizeof(Status) == 16, "the answer is exactly 16 bytes on the wire");
static_assert(std::is_standard_layout_v<Status> && std::is_trivially_copyable_v<Status>);
static_assert(offsetof(Status, shared_texture) == 0 && offsetof(Status, frame_flag) == 8 &&
              offsetof(Status, is_camera_live) == 12);
static_assert(sizeof(void*) <= sizeof(Status::shared_texture), "a handle of either width fits the answer");

enum class Command : std::uint32_t {
    OpenSharedTexture = 1,
    FrameTick = 2,
    StartCamera = 3,
    StopCamera = 4,
    // For a camera in another session (the platform's camera service runs in session 0), which can
    // neither open the app's session-local frame channel nor make one the app could: the app's frame
    // size, as width | height << 32 in shared_texture. Apps that predate it answer zeros.
    FrameSize = 5,
    // The camera made the channel AcrossSessionsChannelName(the app's session) for the app's user;
    // frame_flag is 1 when the app publishes there too from now on.
    PublishAcrossSessions = 6,
};

// Manual-reset event the server sets while it accepts pipe connections.
inline constexpr const wchar_t* kServerLiveEventName = L"Zarvo/Webcam/Control/ServerLive";
inline constexpr const wchar_t* kControlPipeName = L"\\\\.\\pipe\\ZarvoWebcamControl";
inline constexpr const wchar_t* kServerExecutableName = L"Zarvo Webcam.exe";

// The machine-wide frame channel a camera in another session makes for the app of `session`: only
// the camera's account may create global objects, and the app's session-local one is out of reach.
inline std::wstring AcrossSessionsChannelName(std::uint32_t session) {
    return L"Global\\Zarvo/Webcam/Frames/" + std::to_wstring(session);
}

} // namespace Zarvo::IPC
