#pragma once
// The reference server's command line.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Zarvo::Server {

// Upper bounds of the switches: far beyond any test or demonstration, and small enough that
// every derived figure (milliseconds in a wait, frame numbers) stays exact.
inline constexpr std::uint64_t kMaxCount = 1'000'000'000;
inline constexpr double kMaxSeconds = 1'000'000;

struct Options {
    bool quit = false;
    std::uint64_t frames = 0;            // end after this many frames; 0: no limit
    std::optional<double> seconds;       // end after this long
    std::uint64_t pauseAfter = 0;        // publish nothing after this many frames; 0: never
    double pauseSeconds = 0;             // how long that pause lasts; 0: for ever
    std::uint64_t stallFrameRequest = 0; // leave the n-th per-frame request unanswered; 0: never
    double framesPerSecond = 30;         // the publishing rate
    std::uint64_t textureHandle = 0;     // answered for the texture where none can be shared; 0: none
};

// The options of the arguments after the program name, or nullopt and a one-line reason.
std::optional<Options> ParseOptions(const std::vector<std::wstring>& arguments, std::string& error);

inline constexpr const char* kUsage =
    "usage: \"Zarvo Webcam.exe\" [--quit | options]\n"
    "  no arguments             run until closed\n"
    "  --quit                   ask a running server to end\n"
    "  --frames N               end after N frames were drawn\n"
    "  --seconds S              end after S seconds\n"
    "  --pause-after N          after N frames publish nothing (keep answering) ...\n"
    "  --pause-seconds S        ... for S seconds, then go on (default 0: for ever)\n"
    "  --stall-frame-request N  never answer the N-th per-frame request of all clients\n"
    "  --fps F                  publish F frames per second (1 to 240; default 30)\n"
    "  --texture-handle N       where no texture can be shared, answer N for it (for cameras on a\n"
    "                           device double)\n"
    "  N: 1 to 1000000000; S: decimal seconds up to 1000000\n";

} // namespace Zarvo::Server
