// Frame walkers over the row kernels, the processor check and the one dispatch point.
#include "webcam/PixelConversion.h"

#include "webcam/PixelConversionRows.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

#include <xmmintrin.h>

// x64, or 32-bit x86 built with SSE2 as its baseline.
#if !(defined(__x86_64__) || defined(_M_X64) || \
      ((defined(__i386__) || defined(_M_IX86)) && (defined(__SSE2__) || _M_IX86_FP >= 2)))
#error "The pixel kernels are written for x64 and for x86 with SSE2"
#endif

#if defined(_MSC_VER)
#include <intrin.h>
#else
#include <cpuid.h>
#endif

namespace Zarvo {
namespace PixelKernels {
namespace {

// From kStreamingBytes of output on, a frame goes out with non-temporal stores. Its destination is written whole and
// never read back here, and the app's frame it comes from is no longer in the cache when the camera reads
// it: ordinary stores then pay a read-for-ownership of every destination line and evict the source. Timed
// alone, ordinary stores can look faster (an AMD EPYC machine: 0.47-0.86x for streaming), as part of their
// cost comes later in evictions and write-backs; in a streaming host there they cost 16-17 ms of CPU per
// second at 1920x1080, 29.97 fps, against 13 with streaming. Smaller frames take ordinary stores, which
// leave them in cache for the host.
void OrdinaryCopy(std::uint8_t* destination, const std::uint8_t* source, std::size_t bytes) noexcept {
    std::memcpy(destination, source, bytes);
}

// `rows` rows of `width` bytes, `pitch` apart in the source and packed in the destination. Calls
// Copy(destination, source, bytes) once when the rows are contiguous.
using Copy = void (*)(std::uint8_t*, const std::uint8_t*, std::size_t) noexcept;
std::uint8_t* CopyRows(std::uint64_t pitch, const std::uint8_t* source, std::uint64_t width, std::uint64_t rows,
                       std::uint8_t* destination, Copy copy) noexcept {
    if (pitch == width) {
        copy(destination, source, width * rows);
    } else {
        for (std::uint64_t row = 0; row < rows; ++row)
            copy(destination + row * width, source + row * pitch, width);
    }
    return destination + width * rows;
}

// A copy of a large frame goes out with non-temporal stores (on an Intel machine, streaming cut the media
// source's host from 21.6-24.0 to 17.4-17.9 ms of CPU per second at 1080p NV12). Fenced before the return.
void CopyLarge(std::uint64_t bytes, const auto& copyWith) noexcept {
    if (bytes < kStreamingBytes) {
        copyWith(OrdinaryCopy);
        return;
    }
    copyWith(CopyBytes_Stream_SSE2);
    _mm_sfence();
}

template <Yuy2Row Row>
void Nv12ToYuy2Rows(std::uint64_t pitch, const std::uint8_t* source, std::uint64_t width, std::uint64_t height,
                    std::uint8_t* destination) noexcept {
    const std::uint64_t evenWidth = width & ~std::uint64_t{1};
    const std::uint64_t rowBytes = 2 * width;
    const std::uint8_t* uvPlane = source + pitch * height;
    for (std::uint64_t j = 0; j < height / 2 && evenWidth != 0; ++j) {
        const std::uint8_t* uv = uvPlane + j * pitch;
        Row(source + 2 * j * pitch, uv, destination + 2 * j * rowBytes, evenWidth);
        Row(source + (2 * j + 1) * pitch, uv, destination + (2 * j + 1) * rowBytes, evenWidth);
    }
}

// Sources before destinations; the walkers only drop what the contract leaves unwritten. Streaming is
// Cached where there is only one kind of store.
template <Yuy2Row Cached, Yuy2Row Streaming>
std::uint64_t Nv12ToYuy2Frame(std::uint64_t pitch, const std::uint8_t* source, std::uint64_t width,
                              std::uint64_t height, std::uint8_t* destination) noexcept {
    const std::uint64_t bytes = yuy2_frame_bytes(width, height);
    if (Streaming == Cached || bytes < kStreamingBytes) {
        Nv12ToYuy2Rows<Cached>(pitch, source, width, height, destination);
    } else {
        Nv12ToYuy2Rows<Streaming>(pitch, source, width, height, destination);
        // Non-temporal stores are weakly ordered: make them visible before the caller hands the frame on.
        _mm_sfence();
    }
    return bytes;
}

// Luma rows straight, with the C runtime's copy (IYUV's; NV12 to NV12 copies with CopyLarge below).
std::uint8_t* CopyLuma(std::uint64_t pitch, const std::uint8_t* source, std::uint64_t width,
                       std::uint64_t height, std::uint8_t* destination) noexcept {
    return CopyRows(pitch, source, width, height, destination, OrdinaryCopy);
}

// A row copy; large frames with non-temporal stores (CopyLarge), except in the scalar reference.
template <bool Streaming>
std::uint64_t Nv12ToNv12Frame(std::uint64_t pitch, const std::uint8_t* source, std::uint64_t width,
                              std::uint64_t height, std::uint8_t* destination) noexcept {
    const std::uint64_t bytes = nv12_frame_bytes(width, height);
    const auto copyWith = [&](Copy copy) {
        std::uint8_t* uvOut = CopyRows(pitch, source, width, height, destination, copy);
        CopyRows(pitch, source + pitch * height, 2 * (width / 2), height / 2, uvOut, copy);
    };
    if constexpr (Streaming)
        CopyLarge(bytes, copyWith);
    else
        copyWith(OrdinaryCopy);
    return bytes;
}

template <SplitUvRow Row>
std::uint64_t Nv12ToIyuvFrame(std::uint64_t pitch, const std::uint8_t* source, std::uint64_t width,
                              std::uint64_t height, std::uint8_t* destination) noexcept {
    std::uint8_t* uOut = CopyLuma(pitch, source, width, height, destination);
    const std::uint64_t chromaWidth = width / 2;
    std::uint8_t* vOut = uOut + chromaWidth * (height / 2);
    const std::uint8_t* uvPlane = source + pitch * height;
    for (std::uint64_t j = 0; j < height / 2 && chromaWidth != 0; ++j)
        Row(uvPlane + j * pitch, uOut + j * chromaWidth, vOut + j * chromaWidth, 2 * chromaWidth);
    return iyuv_frame_bytes(width, height);
}

struct Kernels {
    Kernel yuy2;
    Kernel nv12;
    Kernel iyuv;
};

constexpr Kernels kScalar{Nv12ToYuy2Frame<Nv12ToYuy2Row_C, Nv12ToYuy2Row_C>, Nv12ToNv12Frame<false>,
                          Nv12ToIyuvFrame<SplitUvRow_C>};
constexpr Kernels kSse2{Nv12ToYuy2Frame<Nv12ToYuy2Row_Any_SSE2, Nv12ToYuy2Row_Stream_SSE2>,
                        Nv12ToNv12Frame<true>, Nv12ToIyuvFrame<SplitUvRow_Any_SSE2>};
constexpr Kernels kAvx2{Nv12ToYuy2Frame<Nv12ToYuy2Row_Any_AVX2, Nv12ToYuy2Row_Stream_AVX2>,
                        Nv12ToNv12Frame<true>, Nv12ToIyuvFrame<SplitUvRow_Any_AVX2>};

void Cpuid(unsigned leaf, unsigned subleaf, unsigned regs[4]) noexcept {
#if defined(_MSC_VER)
    int out[4];
    __cpuidex(out, static_cast<int>(leaf), static_cast<int>(subleaf));
    for (int i = 0; i < 4; ++i)
        regs[i] = static_cast<unsigned>(out[i]);
#else
    __cpuid_count(leaf, subleaf, regs[0], regs[1], regs[2], regs[3]);
#endif
}

std::uint64_t EnabledStateComponents() noexcept {
#if defined(_MSC_VER)
    return _xgetbv(0);
#else
    // The intrinsic would need the whole file built for XSAVE; the one instruction is enough.
    unsigned low = 0, high = 0;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (std::uint64_t{high} << 32) | low;
#endif
}

bool DetectSsse3() noexcept {
    unsigned regs[4] = {};
    Cpuid(1, 0, regs);
    return (regs[2] & (1u << 9)) != 0;
}

bool DetectAvx2() noexcept {
    unsigned regs[4] = {};
    Cpuid(0, 0, regs);
    if (regs[0] < 7)
        return false;
    Cpuid(1, 0, regs);
    constexpr unsigned osxsave = 1u << 27, avx = 1u << 28;
    if ((regs[2] & (osxsave | avx)) != (osxsave | avx))
        return false;
    // The OS must save and restore the XMM and YMM state on context switches.
    if ((EnabledStateComponents() & 0x6) != 0x6)
        return false;
    Cpuid(7, 0, regs);
    return (regs[1] & (1u << 5)) != 0;
}

const Kernels* KernelsFor(Isa isa) noexcept {
    if (!IsSupported(isa))
        return nullptr;
    switch (isa) {
    case Isa::Scalar:
        return &kScalar;
    case Isa::Sse2:
    case Isa::Ssse3:
        return &kSse2;
    case Isa::Avx2:
        return &kAvx2;
    }
    return nullptr;
}

struct Dispatch {
    Isa isa;
    Kernels kernels;
};

// Resolved once, on first use; the initialisation of a function-local static is thread-safe.
const Dispatch& Resolved() noexcept {
    static const Dispatch dispatch = [] {
        Isa best = Isa::Scalar;
        for (Isa candidate : {Isa::Sse2, Isa::Ssse3, Isa::Avx2})
            if (IsSupported(candidate))
                best = candidate;
        return Dispatch{best, *KernelsFor(best)};
    }();
    return dispatch;
}

} // namespace

bool IsSupported(Isa isa) noexcept {
    switch (isa) {
    case Isa::Scalar:
    case Isa::Sse2:
        return true;
    case Isa::Ssse3: {
        static const bool ssse3 = DetectSsse3();
        return ssse3;
    }
    case Isa::Avx2: {
        static const bool avx2 = DetectAvx2();
        return avx2;
    }
    }
    return false;
}

Isa Dispatched() noexcept {
    return Resolved().isa;
}

void CopyFrame(std::uint8_t* destination, const std::uint8_t* source, std::uint64_t bytes) noexcept {
    CopyLarge(bytes, [&](Copy copy) { copy(destination, source, bytes); });
}

const char* ProcessorName() noexcept {
    static const struct Brand {
        char text[49] = {};
        Brand() noexcept {
            unsigned regs[4] = {};
            Cpuid(0x80000000u, 0, regs);
            if (regs[0] < 0x80000004u)
                return;
            for (unsigned leaf = 0; leaf < 3; ++leaf) {
                Cpuid(0x80000002u + leaf, 0, regs);
                std::memcpy(text + 16 * leaf, regs, 16);
            }
            // Some processors pad the brand string with spaces.
            for (std::size_t end = std::strlen(text); end > 0 && text[end - 1] == ' '; --end)
                text[end - 1] = '\0';
        }
    } brand;
    const char* name = brand.text;
    while (*name == ' ')
        ++name;
    return *name ? name : "unknown processor";
}

Kernel Nv12ToYuy2(Isa isa) noexcept {
    const Kernels* kernels = KernelsFor(isa);
    return kernels ? kernels->yuy2 : nullptr;
}

Kernel Nv12ToNv12(Isa isa) noexcept {
    const Kernels* kernels = KernelsFor(isa);
    return kernels ? kernels->nv12 : nullptr;
}

Kernel Nv12ToIyuv(Isa isa) noexcept {
    const Kernels* kernels = KernelsFor(isa);
    return kernels ? kernels->iyuv : nullptr;
}

} // namespace PixelKernels

std::uint64_t convert_format_nv12_yuy2(std::uint64_t pitch, const std::uint8_t* source, std::uint64_t width,
                                       std::uint64_t height, std::uint8_t* destination) noexcept {
    return PixelKernels::Resolved().kernels.yuy2(pitch, source, width, height, destination);
}

std::uint64_t convert_format_nv12_nv12(std::uint64_t pitch, const std::uint8_t* source, std::uint64_t width,
                                       std::uint64_t height, std::uint8_t* destination) noexcept {
    return PixelKernels::Resolved().kernels.nv12(pitch, source, width, height, destination);
}

std::uint64_t convert_format_nv12_iyuv(std::uint64_t pitch, const std::uint8_t* source, std::uint64_t width,
                                       std::uint64_t height, std::uint8_t* destination) noexcept {
    return PixelKernels::Resolved().kernels.iyuv(pitch, source, width, height, destination);
}

} // namespace Zarvo
