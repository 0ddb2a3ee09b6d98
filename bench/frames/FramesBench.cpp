// The shared-memory frame path at 1920x1080, measured in one process: a writer thread publishes
// the server's pattern into a frame channel at 30 frames per second (what the reference server
// does), and the frame client fills real samples of the platform's allocator from it, as the
// camera's stream does. Cross-process would add nothing the channel does differently: the
// section, the seqlock and the conversion are the same.
//
// Prints, over 1000 published frames:
//   latency   from the writer's publication to the first sample carrying that frame leaving
//             FillSample, the filling thread waiting as the camera's stream does: it polls the
//             channel's publication count every millisecond and fills once it moves
//   CPU       thread time of the filling thread per delivered sample
// then the conversion alone (ConvertNewest straight into a sample's buffer) and a plain memcpy of
// the same frame bytes into the same buffer, median, p99 and CPU per call.
//
//   frames_bench [--frames N] [--fps F]

#include "log/Exceptions.h"
#include "server/Pattern.h"
#include "webcam/FrameChannel.h"
#include "webcam/WebcamFrameClient.h"

#include <dshow.h>
#include <windows.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using Microsoft::WRL::ComPtr;
using namespace Zarvo;

namespace {

constexpr std::uint32_t kWidth = 1920, kHeight = 1080;

double TicksToMs(std::int64_t ticks) {
    static const double perMs = [] {
        LARGE_INTEGER frequency{};
        QueryPerformanceFrequency(&frequency);
        return static_cast<double>(frequency.QuadPart) / 1000.0;
    }();
    return static_cast<double>(ticks) / perMs;
}

std::int64_t Now() {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

// User plus kernel time of the calling thread, in milliseconds.
double ThreadCpuMs() {
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    auto value = [](const FILETIME& t) {
        return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return static_cast<double>(value(kernel) + value(user)) / 10'000.0;
}

struct Figures {
    double median, p99;
};
Figures Percentiles(std::vector<double> values) {
    if (values.empty())
        return {0, 0};
    std::sort(values.begin(), values.end());
    const auto at = [&](double q) { return values[static_cast<std::size_t>(q * (values.size() - 1) + 0.5)]; };
    return {at(0.5), at(0.99)};
}

// Times `call` `count` times back to back; wall-clock percentiles and CPU per call.
template <class Call> void TimeCalls(const char* what, int count, Call call) {
    std::vector<double> wall;
    wall.reserve(static_cast<std::size_t>(count));
    const double cpuBefore = ThreadCpuMs();
    for (int i = 0; i < count; ++i) {
        const std::int64_t start = Now();
        call();
        wall.push_back(TicksToMs(Now() - start));
    }
    const double cpu = (ThreadCpuMs() - cpuBefore) / count;
    const auto f = Percentiles(wall);
    std::printf("%-44s median %7.3f ms  p99 %7.3f ms  CPU %7.3f ms per call (%d calls)\n", what, f.median,
                f.p99, cpu, count);
}

} // namespace

int main(int argc, char** argv) {
    int frames = 1000;
    double fps = 30;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--frames") == 0)
            frames = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--fps") == 0)
            fps = std::atof(argv[i + 1]);
    }
    if (frames < 1 || fps <= 0) {
        std::fputs("usage: frames_bench [--frames N] [--fps F]\n", stderr);
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);

    const std::wstring name = L"Zarvo/Bench/Frames/" + std::to_wstring(GetCurrentProcessId());
    FrameChannel::Writer writer;
    std::string whyNot;
    if (!writer.Open(name, kWidth, kHeight, whyNot)) {
        std::fprintf(stderr, "frame channel: %s\n", whyNot.c_str());
        return 1;
    }
    std::vector<std::uint8_t> first(Server::PatternFrameBytes(kHeight, kWidth));
    Server::DrawPatternNV12(kWidth, kHeight, 0, first.data(), kWidth);
    writer.Publish(first.data(), kWidth, 0);

    // A client without a device: the channel is its only source, as on a machine without sharing.
    WebcamFrameClient client(
        []() -> std::shared_ptr<HAL::IGraphicsDevice> {
            throw ServiceUnavailableException(L"Direct3D Device");
        },
        name);
    client.SetDestinationSize(kWidth, kHeight, MEDIASUBTYPE_YUY2);
    if (client.Initialize(0) != nullptr) {
        std::fputs("the client did not take up the channel\n", stderr);
        return 1;
    }

    ComPtr<IMemAllocator> allocator;
    if (FAILED(
            CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&allocator))))
        return 1;
    ALLOCATOR_PROPERTIES wanted{1, static_cast<long>(client.FrameBytes()), 1, 0}, actual{};
    allocator->SetProperties(&wanted, &actual);
    allocator->Commit();

    // Frame n is published at published[n]; the writer paces itself like the server's camera.
    std::vector<std::atomic<std::int64_t>> published(static_cast<std::size_t>(frames) + 1);
    std::atomic<int> count{1};
    published[0] = Now();
    std::thread publisher([&] {
        std::vector<std::uint8_t> frame(Server::PatternFrameBytes(kHeight, kWidth));
        auto deadline = std::chrono::steady_clock::now();
        const auto interval = std::chrono::nanoseconds(static_cast<long long>(1e9 / fps));
        for (int n = 1; n <= frames; ++n) {
            Server::DrawPatternNV12(kWidth, kHeight, static_cast<std::uint64_t>(n), frame.data(), kWidth);
            deadline += interval;
            std::this_thread::sleep_until(deadline);
            writer.Publish(frame.data(), kWidth, static_cast<std::uint64_t>(n));
            published[static_cast<std::size_t>(n)] = Now();
            count = n + 1;
        }
    });

    std::vector<double> latency, fill;
    std::vector<bool> seen(static_cast<std::size_t>(frames) + 1, false);
    int samples = 0, empty = 0;
    const double cpuBefore = ThreadCpuMs();
    std::uint64_t lastPublished = 0;
    while (count.load() <= frames || !seen[static_cast<std::size_t>(frames)]) {
        for (int waited = 0; client.Published().value_or(0) == lastPublished && waited < 1000; ++waited)
            Sleep(1);
        lastPublished = client.Published().value_or(0);
        ComPtr<IMediaSample> sample;
        if (FAILED(allocator->GetBuffer(&sample, nullptr, nullptr, 0)))
            return 1;
        const std::int64_t in = Now();
        client.FillSample(sample.Get());
        const std::int64_t out = Now();
        fill.push_back(TicksToMs(out - in));
        ++samples;
        BYTE* bytes = nullptr;
        sample->GetPointer(&bytes);
        if (sample->GetActualDataLength() != static_cast<long>(client.FrameBytes())) {
            ++empty;
            continue;
        }
        // The pattern's code strip carries the frame number.
        std::uint64_t number = 0;
        if (!Server::ReadPatternNumber(bytes, 2, 2 * kWidth, kWidth, kHeight, number) ||
            number > static_cast<std::uint64_t>(frames))
            continue;
        const int n = static_cast<int>(number);
        if (seen[static_cast<std::size_t>(n)])
            continue;
        seen[static_cast<std::size_t>(n)] = true;
        if (n > 0) // frame 0 was there before the client
            latency.push_back(TicksToMs(out - published[static_cast<std::size_t>(n)].load()));
        if (n == frames)
            break;
    }
    const double cpuPerSample = (ThreadCpuMs() - cpuBefore) / samples;
    publisher.join();

    const auto f = Percentiles(latency);
    std::printf("frames_bench: in one process, %ux%u NV12 published at %.0f fps into a frame channel, "
                "FillSample into YUY2 samples\n",
                kWidth, kHeight, fps);
    std::printf("%-44s median %7.3f ms  p99 %7.3f ms  (%zu of %d frames delivered)\n",
                "publish -> sample out of FillSample", f.median, f.p99, latency.size(), frames);
    const auto g = Percentiles(fill);
    std::printf("%-44s median %7.3f ms  p99 %7.3f ms\n", "FillSample wall time",
                g.median, g.p99);
    std::printf("%-44s %7.3f ms per sample (%d samples, %d without a frame)\n", "CPU of the filling thread",
                cpuPerSample, samples, empty);

    // The conversion alone and the plain copy, into the same sample buffer.
    FrameChannel::Reader reader;
    if (!reader.Open(name, kWidth, kHeight).empty())
        return 1;
    ComPtr<IMediaSample> sample;
    allocator->GetBuffer(&sample, nullptr, nullptr, 0);
    BYTE* buffer = nullptr;
    sample->GetPointer(&buffer);
    TimeCalls("ConvertNewest NV12 -> YUY2 into the sample", 1000,
              [&] { reader.ConvertNewest(convert_format_nv12_yuy2, buffer); });
    const std::size_t nv12Bytes = Server::PatternFrameBytes(kHeight, kWidth);
    const auto* header = writer.Header();
    const auto* slot =
        reinterpret_cast<const std::uint8_t*>(header) + header->slotOffset + sizeof(FrameChannel::SlotHeader);
    TimeCalls("memcpy of the 3110400 NV12 bytes, same buffer", 1000,
              [&] { std::memcpy(buffer, slot, nv12Bytes); });
    sample.Reset();
    allocator->Decommit();
    CoUninitialize();
    return 0;
}
