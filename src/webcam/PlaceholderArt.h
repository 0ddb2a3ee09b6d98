#pragma once
// The placeholder picture itself, drawn as NV12 with no Windows dependency: PlaceholderPicture converts
// it into the samples' layout, and checkers of delivered pixels can draw the same picture.

#include <cstdint>

namespace Zarvo {

enum class PlaceholderReason {
    Starting,      // the connection chain has not finished yet
    WaitingForApp, // no companion app reachable, or it cannot serve frames
    AppStopped,    // the app went away or stopped publishing
};
constexpr PlaceholderReason kPlaceholderReasons[] = {
    PlaceholderReason::Starting, PlaceholderReason::WaitingForApp, PlaceholderReason::AppStopped};

// The line the picture shows for a reason, UTF-8.
const char* PlaceholderText(PlaceholderReason reason) noexcept;

// Draws the picture for `reason` as NV12 with a pitch of `width` into `destination`
// (nv12_frame_bytes(width, height) bytes): a dark background with viewfinder corners, a webcam, the device
// name large and the reason below it. Any size works; what does not fit is scaled down or clipped.
// Throws std::bad_alloc when its canvas cannot be had.
void DrawPlaceholderNv12(std::uint32_t width, std::uint32_t height, PlaceholderReason reason,
                         std::uint8_t* destination);

} // namespace Zarvo
