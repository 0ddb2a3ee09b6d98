#pragma once
// The messages of the control pipe and the names shared with the companion server.
//
// A request is the 4-byte command code; every answer is one 16-byte Status. There is no
// header: the command alone gives the answer its meaning.

#include <cstdint>

namespace Zarvo::IPC {

struct Status {
    std::uint64_t shared_texture; // answer to OpenSharedTexture
    std::uint32_t frame_flag;     // answer to the per-frame request
    std::uint32_t is_camera_live; // answers to StartCamera and StopCamera
};
static_assert(sizeof(Status) == 16, "the answer is exactly 16 bytes on the wire");

enum class Command : std::uint32_t {
    OpenSharedTexture = 1,
    FrameTick = 2,
    StartCamera = 3,
    StopCamera = 4,
};

// Manual-reset event the server sets while it accepts pipe connections.
inline constexpr const wchar_t* kServerLiveEventName = L"Zarvo/Webcam/Control/ServerLive";
inline constexpr const wchar_t* kControlPipeName = L"\\\\.\\pipe\\ZarvoWebcamControl";
inline constexpr const wchar_t* kServerExecutableName = L"Zarvo Webcam.exe";

} // namespace Zarvo::IPC
