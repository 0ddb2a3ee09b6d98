// pixels_check <raw file> <yuy2|nv12|iyuv> <width> <height> <least pattern frames>: exit code 0 when
// the captured frames pass FrameChecker, 1 otherwise, 2 on bad use. pixels_check --wait-live <ms>
// waits for the server-live event, which a script cannot.

#include "PixelCheck.h"

#include "IPC/Status.h"
#include "runtime/Handles.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

int main(int argc, char** argv) {
    namespace Kernels = Zarvo::PixelKernels;
    if (argc == 3 && std::strcmp(argv[1], "--wait-live") == 0) {
        const Zarvo::UniqueEvent live(CreateEventW(nullptr, TRUE, FALSE, Zarvo::IPC::kServerLiveEventName));
        return live && WaitForSingleObject(live.get(), std::strtoul(argv[2], nullptr, 10)) == WAIT_OBJECT_0
                   ? 0
                   : 1;
    }
    const std::string layout = argc == 6 ? argv[2] : "";
    const auto kernel = layout == "yuy2"   ? &Kernels::Nv12ToYuy2
                        : layout == "nv12" ? &Kernels::Nv12ToNv12
                        : layout == "iyuv" ? &Kernels::Nv12ToIyuv
                                           : nullptr;
    const auto width = kernel ? static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10)) : 0;
    const auto height = kernel ? static_cast<std::uint32_t>(std::strtoul(argv[4], nullptr, 10)) : 0;
    if (width == 0 || height == 0) {
        std::fputs(
            "usage: pixels_check <raw file> <yuy2|nv12|iyuv> <width> <height> <least pattern frames>\n",
            stderr);
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "pixels_check: cannot open %s\n", argv[1]);
        return 1;
    }
    Zarvo::PixelsTest::FrameChecker checker(kernel, width, height);
    std::vector<std::uint8_t> frame(checker.FrameBytes());
    while (file.read(reinterpret_cast<char*>(frame.data()), static_cast<std::streamsize>(frame.size())))
        checker.Check(frame.data(), frame.size());
    if (file.gcount() != 0)
        checker.Fail("a partial frame of " + std::to_string(file.gcount()) + " bytes at the end");
    std::printf("%s\n", checker.Summary().c_str());
    return checker.Passed(std::strtoul(argv[5], nullptr, 10)) ? 0 : 1;
}
