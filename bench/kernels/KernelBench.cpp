// NV12 to YUY2 (and the other pin formats) against libyuv and a plain copy of the output bytes, at the two
// frame sizes the camera offers most; the scaled conversion from the app's 1920x1080 against libyuv's chain
// for the same work; both also from a frame that is not in the cache, as the camera reads each new frame of
// the app. Prints the speed ratios from the same run at the end.
#include "webcam/FrameScaler.h"
#include "webcam/PixelConversion.h"
#include "webcam/PixelConversionRows.h"

#include <benchmark/benchmark.h>
#include <libyuv.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <xmmintrin.h>

namespace {

using namespace Zarvo;

struct FreeDeleter {
    void operator()(std::uint8_t* p) const noexcept { std::free(p); }
};
using Buffer = std::unique_ptr<std::uint8_t[], FreeDeleter>;

Buffer Allocate(std::size_t bytes) {
    Buffer buffer(static_cast<std::uint8_t*>(std::aligned_alloc(64, (bytes + 63) / 64 * 64)));
    if (!buffer)
        std::abort();
    std::memset(buffer.get(), 0, bytes);
    return buffer;
}

// One frame size's inputs and outputs, allocated and filled once.
struct Frame {
    int width, height;
    Buffer nv12, i420, u, v, out, copySource;

    Frame(int w, int h)
        : width(w), height(h), nv12(Allocate(size_t(w) * h * 3 / 2)), i420(Allocate(size_t(w) * h * 3 / 2)),
          u(Allocate(size_t(w) * h / 4)), v(Allocate(size_t(w) * h / 4)),
          out(Allocate(yuy2_frame_bytes(w, h))), copySource(Allocate(yuy2_frame_bytes(w, h))) {
        std::mt19937 random(1);
        for (size_t i = 0; i < size_t(w) * h * 3 / 2; ++i)
            nv12[i] = static_cast<std::uint8_t>(random());
        std::memcpy(copySource.get(), nv12.get(), size_t(w) * h);
        std::memcpy(copySource.get() + size_t(w) * h, nv12.get(), size_t(w) * h);
        libyuv::NV12ToI420(nv12.get(), w, nv12.get() + size_t(w) * h, w, i420.get(), w,
                           i420.get() + size_t(w) * h, w / 2, i420.get() + size_t(w) * h * 5 / 4, w / 2, w,
                           h);
    }
    std::uint8_t* UvPlane() const { return nv12.get() + size_t(width) * height; }
    std::uint8_t* I420U() const { return i420.get() + size_t(width) * height; }
    std::uint8_t* I420V() const { return i420.get() + size_t(width) * height * 5 / 4; }
};

void Measure(benchmark::State& state, std::size_t bytes, const std::function<void()>& convert,
             std::uint8_t* out) {
    for (auto _ : state) {
        convert();
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

// Collects each benchmark's CPU time per frame (the median when repeated) while the console shows the usual
// table. CPU rather than wall time: on a shared virtual machine the wall clock also counts the time the
// hypervisor gave our processor to someone else, which says nothing about the kernels.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            if (median || single)
                times[run.run_name.function_name] = run.GetAdjustedCPUTime();
        }
    }
    std::map<std::string, double> times;
};

// A frame through one row kernel regardless of size, to weigh ordinary against non-temporal stores.
template <PixelKernels::Yuy2Row Row>
std::uint64_t Yuy2Frame(std::uint64_t pitch, const std::uint8_t* source, std::uint64_t width,
                        std::uint64_t height, std::uint8_t* destination) noexcept {
    const std::uint8_t* uvPlane = source + pitch * height;
    for (std::uint64_t row = 0; row < (height & ~std::uint64_t{1}); ++row)
        Row(source + row * pitch, uvPlane + row / 2 * pitch, destination + row * 2 * width, width);
    _mm_sfence();
    return yuy2_frame_bytes(width, height);
}

struct StoreVariant {
    const char* name;
    PixelKernels::Isa isa;
    PixelKernels::Kernel kernel;
};
const StoreVariant kStoreVariants[] = {
    {"sse2_cached", PixelKernels::Isa::Sse2, Yuy2Frame<PixelKernels::Nv12ToYuy2Row_Any_SSE2>},
    {"sse2_streaming", PixelKernels::Isa::Sse2, Yuy2Frame<PixelKernels::Nv12ToYuy2Row_Stream_SSE2>},
    {"avx2_cached", PixelKernels::Isa::Avx2, Yuy2Frame<PixelKernels::Nv12ToYuy2Row_Any_AVX2>},
    {"avx2_streaming", PixelKernels::Isa::Avx2, Yuy2Frame<PixelKernels::Nv12ToYuy2Row_Stream_AVX2>},
};

std::string Name(const char* what, const Frame& frame) {
    return std::string(what) + "/" + std::to_string(frame.width) + "x" + std::to_string(frame.height);
}

void Register(Frame& f, bool everything) {
    const int w = f.width, h = f.height;
    const std::size_t yuy2 = yuy2_frame_bytes(w, h);
    auto add = [&](const std::string& what, std::size_t bytes, std::function<void()> convert) {
        std::uint8_t* out = f.out.get();
        benchmark::RegisterBenchmark(Name(what.c_str(), f).c_str(), [bytes, convert,
                                                                     out](benchmark::State& state) {
            Measure(state, bytes, convert, out);
        })->Unit(benchmark::kMicrosecond);
    };
    for (const StoreVariant& variant : kStoreVariants)
        if (PixelKernels::IsSupported(variant.isa))
            add(std::string("store_") + variant.name, yuy2,
                [&f, w, h, kernel = variant.kernel] { kernel(w, f.nv12.get(), w, h, f.out.get()); });
    if (!everything)
        return;
    add("memcpy", yuy2, [&f, yuy2] { std::memcpy(f.out.get(), f.copySource.get(), yuy2); });
    add("libyuv_I420ToYUY2", yuy2, [&f, w, h] {
        libyuv::I420ToYUY2(f.i420.get(), w, f.I420U(), w / 2, f.I420V(), w / 2, f.out.get(), 2 * w, w, h);
    });
    add("libyuv_SplitUVPlane_I420ToYUY2", yuy2, [&f, w, h] {
        libyuv::SplitUVPlane(f.UvPlane(), w, f.u.get(), w / 2, f.v.get(), w / 2, w / 2, h / 2);
        libyuv::I420ToYUY2(f.nv12.get(), w, f.u.get(), w / 2, f.v.get(), w / 2, f.out.get(), 2 * w, w, h);
    });
    // SSSE3 converts with the SSE2 kernels: its own rows are the scaler's.
    const std::pair<const char*, PixelKernels::Isa> isas[] = {{"scalar", PixelKernels::Isa::Scalar},
                                                              {"sse2", PixelKernels::Isa::Sse2},
                                                              {"avx2", PixelKernels::Isa::Avx2}};
    for (const auto& [label, isa] : isas) {
        const PixelKernels::Kernel kernel = PixelKernels::Nv12ToYuy2(isa);
        if (!kernel)
            continue;
        add(std::string("zarvo_yuy2_") + label, yuy2,
            [&f, w, h, kernel] { kernel(w, f.nv12.get(), w, h, f.out.get()); });
    }
    add("zarvo_yuy2_dispatched", yuy2,
        [&f, w, h] { convert_format_nv12_yuy2(w, f.nv12.get(), w, h, f.out.get()); });

    const std::size_t planar = iyuv_frame_bytes(w, h);
    add("libyuv_NV12ToI420", planar, [&f, w, h] {
        std::uint8_t* out = f.out.get();
        libyuv::NV12ToI420(f.nv12.get(), w, f.UvPlane(), w, out, w, out + size_t(w) * h, w / 2,
                           out + size_t(w) * h * 5 / 4, w / 2, w, h);
    });
    add("zarvo_iyuv_dispatched", planar,
        [&f, w, h] { convert_format_nv12_iyuv(w, f.nv12.get(), w, h, f.out.get()); });
    add("zarvo_nv12_dispatched", planar,
        [&f, w, h] { convert_format_nv12_nv12(w, f.nv12.get(), w, h, f.out.get()); });
}

// Copies of one frame, taken in turn so that each run reads one that left the cache since its last turn
// (16 frames of 1920x1080 are 50 MB), as the camera reads a frame the app has just written.
struct FreshFrames {
    std::vector<Buffer> frames;
    std::size_t next = 0;
    explicit FreshFrames(const struct Frame& f);
    const std::uint8_t* Take() noexcept { return frames[next++ % frames.size()].get(); }
};

// The scaled conversion: the app's 1920x1080 NV12 to a smaller size of the same aspect ratio (so no crop),
// ours in one pass against libyuv's NV12ToI420, I420Scale with the box filter, then I420ToYUY2 for YUY2.
struct Scaled {
    int width, height;
    Buffer i420Source, i420, out;
    Scaled(int w, int h, const Frame& source)
        : width(w), height(h), i420Source(Allocate(size_t(source.width) * source.height * 3 / 2)),
          i420(Allocate(size_t(w) * h * 3 / 2)), out(Allocate(yuy2_frame_bytes(w, h))) {
        std::memcpy(i420Source.get(), source.i420.get(), size_t(source.width) * source.height * 3 / 2);
    }
};

std::string ScaledName(const std::string& what, const Scaled& scaled) {
    return "scaled_" + what + "/" + std::to_string(scaled.width) + "x" + std::to_string(scaled.height);
}

constexpr std::pair<const char*, PixelKernels::Isa> kIsas[] = {{"scalar", PixelKernels::Isa::Scalar},
                                                               {"sse2", PixelKernels::Isa::Sse2},
                                                               {"ssse3", PixelKernels::Isa::Ssse3},
                                                               {"avx2", PixelKernels::Isa::Avx2}};

FreshFrames::FreshFrames(const Frame& f) {
    const std::size_t bytes = std::size_t(f.width) * f.height * 3 / 2;
    for (int i = 0; i < 16; ++i) {
        frames.push_back(Allocate(bytes));
        std::memcpy(frames.back().get(), f.nv12.get(), bytes);
    }
}

void RegisterScaled(const Frame& f, Scaled& s, std::vector<std::unique_ptr<FrameScaler>>& scalers,
                    FreshFrames& fresh) {
    const int sw = f.width, sh = f.height, w = s.width, h = s.height;
    auto add = [&](const std::string& what, std::size_t bytes, std::function<void()> convert) {
        std::uint8_t* out = s.out.get();
        benchmark::RegisterBenchmark(ScaledName(what, s).c_str(), [bytes, convert,
                                                                   out](benchmark::State& state) {
            Measure(state, bytes, convert, out);
        })->Unit(benchmark::kMicrosecond);
    };
    const std::size_t yuy2 = yuy2_frame_bytes(w, h), planar = iyuv_frame_bytes(w, h);
    for (const auto& [layout, name, bytes] :
         {std::tuple{ScaledLayout::Yuy2, "yuy2", yuy2}, std::tuple{ScaledLayout::I420, "i420", planar}}) {
        for (const auto& [label, isa] : kIsas) {
            if (!PixelKernels::IsSupported(isa))
                continue;
            scalers.push_back(std::make_unique<FrameScaler>(sw, sh, w, h, layout, isa));
            const FrameScaler* scaler = scalers.back().get();
            add(std::string(name) + "_zarvo_" + label, bytes,
                [&f, &s, scaler] { scaler->Run(f.width, f.nv12.get(), s.out.get()); });
        }
    }
    // libyuv's steps one by one, then chained as the work needs them.
    const auto toI420From = [&s, sw, sh](const std::uint8_t* nv12) {
        std::uint8_t* i = s.i420Source.get();
        libyuv::NV12ToI420(nv12, sw, nv12 + size_t(sw) * sh, sw, i, sw, i + size_t(sw) * sh, sw / 2,
                           i + size_t(sw) * sh * 5 / 4, sw / 2, sw, sh);
    };
    const auto toI420 = [&f, toI420From] { toI420From(f.nv12.get()); };
    const auto scale = [&s, sw, sh, w, h](std::uint8_t* to) {
        const std::uint8_t* i = s.i420Source.get();
        libyuv::I420Scale(i, sw, i + size_t(sw) * sh, sw / 2, i + size_t(sw) * sh * 5 / 4, sw / 2, sw, sh, to,
                          w, to + size_t(w) * h, w / 2, to + size_t(w) * h * 5 / 4, w / 2, w, h,
                          libyuv::kFilterBox);
    };
    const auto toYuy2 = [&s, w, h] {
        const std::uint8_t* i = s.i420.get();
        libyuv::I420ToYUY2(i, w, i + size_t(w) * h, w / 2, i + size_t(w) * h * 5 / 4, w / 2, s.out.get(),
                           2 * w, w, h);
    };
    add("step_NV12ToI420", planar, toI420);
    add("step_I420Scale", planar, [scale, &s] { scale(s.i420.get()); });
    add("step_I420ToYUY2", yuy2, toYuy2);
    add("yuy2_libyuv_chain", yuy2, [toI420, scale, toYuy2, &s] {
        toI420();
        scale(s.i420.get());
        toYuy2();
    });
    add("i420_libyuv_chain", planar, [toI420, scale, &s] {
        toI420();
        scale(s.out.get());
    });
    // From a fresh frame each time: ours dispatched (YUY2 and I420), libyuv's chain.
    for (const auto& [layout, name, bytes] :
         {std::tuple{ScaledLayout::Yuy2, "yuy2", yuy2}, std::tuple{ScaledLayout::I420, "i420", planar}}) {
        scalers.push_back(std::make_unique<FrameScaler>(sw, sh, w, h, layout, PixelKernels::Dispatched()));
        const FrameScaler* scaler = scalers.back().get();
        add(std::string(name) + "_zarvo_fresh", bytes,
            [&fresh, &s, scaler, sw] { scaler->Run(sw, fresh.Take(), s.out.get()); });
    }
    add("yuy2_libyuv_chain_fresh", yuy2, [&fresh, toI420From, scale, toYuy2, &s] {
        toI420From(fresh.Take());
        scale(s.i420.get());
        toYuy2();
    });
}

// The unscaled conversion of the app's frame from a fresh frame each time, for the scaled ones to compare.
void RegisterFresh(Frame& f, FreshFrames& fresh) {
    std::uint8_t* out = f.out.get();
    const int w = f.width, h = f.height;
    benchmark::RegisterBenchmark(Name("zarvo_yuy2_dispatched_fresh", f).c_str(), [&fresh, out, w, h](benchmark::State& state) {
        Measure(state, yuy2_frame_bytes(w, h), [&] { convert_format_nv12_yuy2(w, fresh.Take(), w, h, out); }, out);
    })->Unit(benchmark::kMicrosecond);
}

const char* IsaName(PixelKernels::Isa isa) {
    switch (isa) {
    case PixelKernels::Isa::Scalar:
        return "scalar";
    case PixelKernels::Isa::Sse2:
        return "sse2";
    case PixelKernels::Isa::Ssse3:
        return "ssse3";
    case PixelKernels::Isa::Avx2:
        return "avx2";
    }
    return "?";
}

void PrintScaledRatios(const RatioReporter& reporter, const std::vector<std::unique_ptr<Scaled>>& targets,
                       const Frame& source) {
    auto time = [&](const std::string& what, const Scaled& scaled) {
        const auto it = reporter.times.find(ScaledName(what, scaled));
        return it == reporter.times.end() ? 0.0 : it->second;
    };
    std::printf(
        "\nScaled from 1920x1080 NV12: ratio = time of libyuv's / time of ours (above 1: ours is faster).\n"
        "libyuv's chain: NV12ToI420, I420Scale (box), then I420ToYUY2 for YUY2; its fastest step is the "
        "quickest of those three alone.\n");
    for (const auto& target : targets) {
        const double steps[] = {time("step_NV12ToI420", *target), time("step_I420Scale", *target),
                                time("step_I420ToYUY2", *target)};
        std::printf("%dx%d: libyuv steps NV12ToI420 %.1f us, I420Scale %.1f us, I420ToYUY2 %.1f us\n",
                    target->width, target->height, steps[0], steps[1], steps[2]);
        for (const char* layout : {"yuy2", "i420"}) {
            const double chain = time(std::string(layout) + "_libyuv_chain", *target);
            // The fastest of the steps this layout's chain runs.
            double fastest = 0;
            for (std::size_t i = 0; i < (std::string(layout) == "yuy2" ? 3u : 2u); ++i)
                if (steps[i] > 0 && (fastest == 0 || steps[i] < fastest))
                    fastest = steps[i];
            if (chain == 0)
                continue;
            std::printf("%dx%d %s: libyuv chain %.1f us, fastest step %.1f us\n", target->width,
                        target->height, layout, chain, fastest);
            for (const auto& [label, isa] : kIsas) {
                const double ours = time(std::string(layout) + "_zarvo_" + label, *target);
                if (ours > 0)
                    std::printf(
                        "  %-6s %8.1f us  vs chain %5.2fx (target 1.5)  vs fastest step %5.2fx (target 1.0)"
                        "%s\n",
                        label, ours, chain / ours, fastest / ours,
                        isa == PixelKernels::Dispatched() ? "  [dispatched]" : "");
            }
        }
    }
    const auto it = reporter.times.find(Name("zarvo_yuy2_dispatched_fresh", source));
    const double unscaled = it == reporter.times.end() ? 0.0 : it->second;
    std::printf("\nFrom a frame not in the cache (each run reads another of 16), YUY2; the unscaled %dx%d conversion "
                "%.1f us\n", source.width, source.height, unscaled);
    for (const auto& target : targets) {
        const double ours = time("yuy2_zarvo_fresh", *target), chain = time("yuy2_libyuv_chain_fresh", *target);
        if (ours > 0 && chain > 0)
            std::printf("%dx%d: ours %.1f us, libyuv chain %.1f us (%.2fx), ours / unscaled %.2f\n", target->width,
                        target->height, ours, chain, chain / ours, unscaled > 0 ? ours / unscaled : 0.0);
    }
}

void PrintRatios(const RatioReporter& reporter, const std::vector<std::unique_ptr<Frame>>& frames) {
    // In microseconds, as registered; 0 when filtered out.
    auto time = [&](const std::string& what, const Frame& frame) {
        const auto it = reporter.times.find(Name(what.c_str(), frame));
        return it == reporter.times.end() ? 0.0 : it->second;
    };
    std::printf(
        "\nProcessor: %s\nMedian CPU time per frame; ratio = time of the other / time of dispatched (above 1: "
        "dispatched is faster). Dispatched instruction set: %s; frames of 1.5 MiB and more go out with "
        "non-temporal stores\n",
        PixelKernels::ProcessorName(), IsaName(PixelKernels::Dispatched()));
    const char* const others[] = {"libyuv_I420ToYUY2",
                                  "libyuv_SplitUVPlane_I420ToYUY2",
                                  "memcpy",
                                  "zarvo_yuy2_scalar",
                                  "zarvo_yuy2_sse2",
                                  "zarvo_yuy2_avx2"};
    for (const auto& frame : frames) {
        const double dispatched = time("zarvo_yuy2_dispatched", *frame);
        if (dispatched == 0)
            continue;
        std::printf("%dx%d: zarvo_yuy2_dispatched %.1f us\n", frame->width, frame->height, dispatched);
        for (const char* other : others)
            if (const double t = time(other, *frame); t > 0)
                std::printf("  dispatched/%-32s %5.2fx  (%.1f us)\n", other, t / dispatched, t);
        const double iyuv = time("zarvo_iyuv_dispatched", *frame);
        const double nv12ToI420 = time("libyuv_NV12ToI420", *frame);
        if (iyuv > 0 && nv12ToI420 > 0)
            std::printf("  iyuv: dispatched/libyuv_NV12ToI420 %.2fx  (%.1f us against %.1f us)\n",
                        nv12ToI420 / iyuv, iyuv, nv12ToI420);
    }
    std::printf(
        "\nNon-temporal against ordinary stores: cached time / streaming time (above 1: streaming wins)\n");
    for (const auto& frame : frames) {
        std::string line;
        for (const char* isa : {"sse2", "avx2"}) {
            const double cached = time(std::string("store_") + isa + "_cached", *frame);
            const double streaming = time(std::string("store_") + isa + "_streaming", *frame);
            if (cached > 0 && streaming > 0) {
                char part[96];
                std::snprintf(part, sizeof part, "  %s %.2fx (%.1f / %.1f us)", isa, cached / streaming,
                              cached, streaming);
                line += part;
            }
        }
        if (!line.empty())
            std::printf("%dx%d, %llu output bytes:%s\n", frame->width, frame->height,
                        static_cast<unsigned long long>(yuy2_frame_bytes(frame->width, frame->height)),
                        line.c_str());
    }
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::unique_ptr<Frame>> frames;
    // The two main sizes get every comparison; the smaller ones only the store comparison.
    for (const auto& [w, h] : {std::pair{320, 240}, std::pair{640, 360}, std::pair{640, 480},
                               std::pair{960, 540}, std::pair{1280, 720}, std::pair{1920, 1080}}) {
        frames.push_back(std::make_unique<Frame>(w, h));
        Register(*frames.back(), w >= 1280);
    }
    std::vector<std::unique_ptr<Scaled>> targets;
    std::vector<std::unique_ptr<FrameScaler>> scalers;
    FreshFrames fresh(*frames.back());
    for (const auto& [w, h] : {std::pair{1280, 720}, std::pair{640, 360}}) {
        targets.push_back(std::make_unique<Scaled>(w, h, *frames.back()));
        RegisterScaled(*frames.back(), *targets.back(), scalers, fresh);
    }
    RegisterFresh(*frames.back(), fresh);
    std::printf("Processor: %s\n", PixelKernels::ProcessorName());
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    PrintRatios(reporter, frames);
    PrintScaledRatios(reporter, targets, *frames.back());
    return 0;
}
