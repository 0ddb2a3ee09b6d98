// Checks raw frames a host captured from the camera against the reference server's pattern.
//
//   pixels_check <raw file> <yuy2|nv12|iyuv> <width> <height> <least pattern frames>
//   pixels_check --wait-live <ms>     waits for the server-live event (a script cannot)
//
// Frames before the camera's connection is ready are placeholders and may lead the file: any
// frame of one byte value. From the first pattern frame on, every frame must equal the pattern
// of some frame number exactly, converted from NV12 by the scalar reference; at least two
// different frame numbers must arrive. Exit code 0 when all holds, 1 otherwise, 2 on bad use.

#include "PixelCheck.h"

#include "IPC/Status.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--wait-live") == 0) {
        HANDLE live = CreateEventW(nullptr, TRUE, FALSE, Zarvo::IPC::kServerLiveEventName);
        const DWORD woken =
            live ? WaitForSingleObject(live, std::strtoul(argv[2], nullptr, 10)) : WAIT_FAILED;
        if (live)
            CloseHandle(live);
        return woken == WAIT_OBJECT_0 ? 0 : 1;
    }
    if (argc != 6) {
        std::fputs(
            "usage: pixels_check <raw file> <yuy2|nv12|iyuv> <width> <height> <least pattern frames>\n",
            stderr);
        return 2;
    }
    const auto layout = Zarvo::PixelsTest::ParseLayout(argv[2]);
    const auto width = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10));
    const auto height = static_cast<std::uint32_t>(std::strtoul(argv[4], nullptr, 10));
    const auto least = std::strtoul(argv[5], nullptr, 10);
    if (!layout || width == 0 || height == 0) {
        std::fputs("pixels_check: bad arguments\n", stderr);
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "pixels_check: cannot open %s\n", argv[1]);
        return 1;
    }
    Zarvo::PixelsTest::FrameChecker checker(*layout, width, height);
    std::vector<std::uint8_t> frame(checker.FrameBytes());
    for (;;) {
        file.read(reinterpret_cast<char*>(frame.data()), static_cast<std::streamsize>(frame.size()));
        const auto got = static_cast<std::size_t>(file.gcount());
        if (got == 0)
            break;
        if (got != frame.size()) {
            checker.Fail("a partial frame of " + std::to_string(got) + " bytes at the end");
            break;
        }
        checker.Check(frame.data(), frame.size());
    }
    std::printf("%s\n", checker.Summary().c_str());
    return checker.Passed(least) ? 0 : 1;
}
