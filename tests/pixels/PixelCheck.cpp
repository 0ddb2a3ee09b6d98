// pixels_check <raw file> <yuy2|nv12|i420> <app WxH> <capture WxH> <least pattern frames>: exit code 0
// when the captured frames pass FrameChecker, 1 otherwise, 2 on bad use. pixels_check --wait-live <ms>
// waits for the server-live event, which a script cannot.

#include "PixelCheck.h"

#include "IPC/Status.h"
#include "runtime/Handles.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>

namespace {

std::optional<Zarvo::PixelsTest::Size> ParseSize(const char* text) {
    char* end = nullptr;
    const unsigned long width = std::strtoul(text, &end, 10);
    if (*end != 'x')
        return std::nullopt;
    const unsigned long height = std::strtoul(end + 1, &end, 10);
    if (*end != '\0' || width == 0 || height == 0 || width > 8192 || height > 8192)
        return std::nullopt;
    return Zarvo::PixelsTest::Size{static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)};
}

} // namespace

int main(int argc, char** argv) {
    using Zarvo::ScaledLayout;
    if (argc == 3 && std::strcmp(argv[1], "--wait-live") == 0) {
        const Zarvo::UniqueEvent live(CreateEventW(nullptr, TRUE, FALSE, Zarvo::IPC::kServerLiveEventName));
        return live && WaitForSingleObject(live.get(), std::strtoul(argv[2], nullptr, 10)) == WAIT_OBJECT_0
                   ? 0
                   : 1;
    }
    const std::string layout = argc == 6 ? argv[2] : "";
    const auto app = argc == 6 ? ParseSize(argv[3]) : std::nullopt;
    const auto capture = argc == 6 ? ParseSize(argv[4]) : std::nullopt;
    if ((layout != "yuy2" && layout != "nv12" && layout != "i420") || !app || !capture) {
        std::fputs("usage: pixels_check <raw file> <yuy2|nv12|i420> <app WxH> <capture WxH> <least frames>\n",
                   stderr);
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "pixels_check: cannot open %s\n", argv[1]);
        return 1;
    }
    Zarvo::PixelsTest::FrameChecker checker(layout == "yuy2"   ? ScaledLayout::Yuy2
                                            : layout == "nv12" ? ScaledLayout::Nv12
                                                               : ScaledLayout::I420,
                                            *app, *capture);
    std::vector<std::uint8_t> frame(checker.FrameBytes());
    while (file.read(reinterpret_cast<char*>(frame.data()), static_cast<std::streamsize>(frame.size())))
        checker.Check(frame.data(), frame.size());
    if (file.gcount() != 0)
        checker.Fail("a partial frame of " + std::to_string(file.gcount()) + " bytes at the end");
    std::printf("%s\n", checker.Summary().c_str());
    return checker.Passed(std::strtoul(argv[5], nullptr, 10)) ? 0 : 1;
}
