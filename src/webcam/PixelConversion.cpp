// Frame walkers over the row kernels, the processor check and the one dispatch point.
#include "webcam/PixelConversion.h"

#include "webcam/PixelConversionRows.h"

#include <cstring>
#include <initializer_list>

#include <xmmintrin.h>

#if !(defined(__x86_64__) || defined(_M_X64))
#error "The pixel kernels are written for x64"
#endif

#if defined(_MSC_VER)
#include <intrin.h>
#else
#include <cpuid.h>
#endif

namespace Zarvo {
namespace PixelKernels {
namespace {

// Output frames from this size on go out with non-temporal stores. Once input and output outgrow the core's
// cache, ordinary stores pay a read-for-ownership of every destination line and evict the source; streaming
// skips both (measured about 1.2-1.3x faster at 1280x720 and 1920x1080 with bench/kernels). Below it, cached
// stores win by up to 2x and leave the frame in cache for the host. 960x540 (1 MB out) still lost to cached.
constexpr std::uint64_t kStreamingBytes = std::uint64_t{3} << 19; // 1.5 MiB

// Sources before destinations; the walkers only drop what the contract leaves unwritten.
template <Yuy2Row Cached, Yuy2Row Streaming>
std::uint64_t Nv12ToYuy2Frame(std::uint64_t pitch, const std::uint8_t* source, std::uint64_t width,
                              std::uint64_t height, std::uint8_t* destination) noexcept {
    const std::uint64_t evenWidth = width & ~std::uint64_t{1};
    const std::uint64_t rowBytes = 2 * width;
    const bool stream = Streaming != Cached && yuy2_frame_bytes(width, height) >= kStreamingBytes;
    const Yuy2Row row = stream ? Streaming : Cached;
    const std::uint8_t* uvPlane = source + pitch * height;
    for (std::uint64_t j = 0; j < height / 2 && evenWidth != 0; ++j) {
        const std::uint8_t* uv = uvPlane + j * pitch;
        row(source + 2 * j * pitch, uv, destination + 2 * j * rowBytes, evenWidth);
        row(source + (2 * j + 1) * pitch, uv, destination + (2 * j + 1) * rowBytes, evenWidth);
    }
    // Non-temporal stores are weakly ordered: make them visible before the caller hands the frame on.
    if (stream)
        _mm_sfence();
    return yuy2_frame_bytes(width, height);
}

// Luma rows straight; the C runtime's copy is already vectorised, so no instruction set does better here.
std::uint8_t* CopyLuma(std::uint64_t pitch, const std::uint8_t* source, std::uint64_t width,
                       std::uint64_t height, std::uint8_t* destination) noexcept {
    for (std::uint64_t row = 0; row < height; ++row)
        std::memcpy(destination + row * width, source + row * pitch, width);
    return destination + width * height;
}

std::uint64_t Nv12ToNv12Frame(std::uint64_t pitch, const std::uint8_t* source, std::uint64_t width,
                              std::uint64_t height, std::uint8_t* destination) noexcept {
    std::uint8_t* uvOut = CopyLuma(pitch, source, width, height, destination);
    const std::uint64_t uvBytes = 2 * (width / 2);
    const std::uint8_t* uvPlane = source + pitch * height;
    for (std::uint64_t j = 0; j < height / 2 && uvBytes != 0; ++j)
        std::memcpy(uvOut + j * uvBytes, uvPlane + j * pitch, uvBytes);
    return nv12_frame_bytes(width, height);
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

constexpr Kernels kScalar{Nv12ToYuy2Frame<Nv12ToYuy2Row_C, Nv12ToYuy2Row_C>, Nv12ToNv12Frame,
                          Nv12ToIyuvFrame<SplitUvRow_C>};
constexpr Kernels kSse2{Nv12ToYuy2Frame<Nv12ToYuy2Row_Any_SSE2, Nv12ToYuy2Row_Stream_SSE2>, Nv12ToNv12Frame,
                        Nv12ToIyuvFrame<SplitUvRow_Any_SSE2>};
constexpr Kernels kAvx2{Nv12ToYuy2Frame<Nv12ToYuy2Row_Any_AVX2, Nv12ToYuy2Row_Stream_AVX2>, Nv12ToNv12Frame,
                        Nv12ToIyuvFrame<SplitUvRow_Any_AVX2>};

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
        for (Isa candidate : {Isa::Sse2, Isa::Avx2})
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
