#pragma once
// Helpers of the webcam tests: the server's pattern and its conversions, real media samples, names of
// the tests' own.
#include "server/Pattern.h"
#include "webcam/PixelConversion.h"

#include <dshow.h>
#include <gtest/gtest.h>
#include <windows.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

namespace Zarvo::Testing {

using Bytes = std::vector<std::uint8_t>;

// Pattern frame `number`, rows `pitch` apart (0: the width), `fill` past the width.
inline Bytes PatternFrame(std::uint32_t width, std::uint32_t height, std::uint64_t number,
                          std::size_t pitch = 0, std::uint8_t fill = 0) {
    Bytes frame(Server::PatternFrameBytes(height, pitch ? pitch : width), fill);
    Server::DrawPatternNV12(width, height, number, frame.data(), pitch ? pitch : width);
    return frame;
}

// `nv12` (rows `pitch` apart, 0: the width) through `kernel` into `bytes`, then `slack` bytes of 0xEE.
inline Bytes Converted(PixelKernels::Kernel kernel, const Bytes& nv12, std::uint32_t width,
                       std::uint32_t height, std::uint64_t bytes, std::size_t slack = 0,
                       std::size_t pitch = 0) {
    Bytes out(bytes + slack, 0xEE);
    kernel(pitch ? pitch : width, nv12.data(), width, height, out.data());
    return out;
}
inline Bytes Yuy2(const Bytes& nv12, std::uint32_t width, std::uint32_t height) {
    return Converted(PixelKernels::Nv12ToYuy2(PixelKernels::Isa::Scalar), nv12, width, height,
                     yuy2_frame_bytes(width, height));
}

inline bool AllBytesAre(const Bytes& bytes, std::uint8_t value) {
    return std::all_of(bytes.begin(), bytes.end(), [value](std::uint8_t b) { return b == value; });
}

// A section or object name of this program's own.
inline std::wstring UniqueName(const std::wstring& area) {
    static int counter = 0;
    return L"Zarvo/Tests/" + area + L"/" + std::to_wstring(GetCurrentProcessId()) + L"/" +
           std::to_wstring(++counter);
}

// Real samples of one buffer size from the platform's allocator.
struct Samples {
    explicit Samples(long size) {
        static const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED); // for the whole program
        EXPECT_HRESULT_SUCCEEDED(com);
        EXPECT_HRESULT_SUCCEEDED(
            CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&allocator)));
        ALLOCATOR_PROPERTIES wanted{1, size, 1, 0}, actual{};
        EXPECT_HRESULT_SUCCEEDED(allocator->SetProperties(&wanted, &actual));
        EXPECT_HRESULT_SUCCEEDED(allocator->Commit());
    }
    ~Samples() { allocator->Decommit(); }
    // A sample of 0xEE bytes, data length 17, a sync point with times 5..6: what a filling must not keep.
    Microsoft::WRL::ComPtr<IMediaSample> Get() {
        Microsoft::WRL::ComPtr<IMediaSample> sample;
        BYTE* buffer = nullptr;
        EXPECT_HRESULT_SUCCEEDED(allocator->GetBuffer(&sample, nullptr, nullptr, 0));
        sample->GetPointer(&buffer);
        std::fill_n(buffer, sample->GetSize(), 0xEE);
        REFERENCE_TIME start = 5, stop = 6;
        sample->SetActualDataLength(17), sample->SetSyncPoint(TRUE), sample->SetTime(&start, &stop);
        return sample;
    }
    static Bytes BytesOf(IMediaSample* sample) {
        BYTE* buffer = nullptr;
        sample->GetPointer(&buffer);
        return Bytes(buffer, buffer + sample->GetSize());
    }
    Microsoft::WRL::ComPtr<IMemAllocator> allocator;
};

} // namespace Zarvo::Testing
