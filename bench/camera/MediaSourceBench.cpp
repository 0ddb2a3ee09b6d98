// The Media Foundation camera's figures, as a host reads them through the platform's source reader:
// samples per second, CPU time per streaming second and publication-to-sample latency, in the first
// offered type (the app's size, NV12).
//
//   media_source_bench.exe <module> [--warmup S] [--seconds S] [--runs N]
//
// Prints one line per run and a summary line "summary: ..." for scripts/bench-camera.

#include "server/Pattern.h"
#include "webcam/FrameChannel.h"

#include <windows.h>
#include <mfapi.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

// {82A37760-272F-4763-901E-C3962A34A461}
constexpr CLSID kClsidMediaSource = {0x82A37760, 0x272F, 0x4763, {0x90, 0x1E, 0xC3, 0x96, 0x2A, 0x34, 0xA4, 0x61}};

#define CHECK(expression)                                                                                     \
    do {                                                                                                      \
        const HRESULT checked = (expression);                                                                 \
        if (FAILED(checked)) {                                                                                \
            std::fprintf(stderr, "%s failed: 0x%08lX\n", #expression, static_cast<unsigned long>(checked));   \
            return false;                                                                                     \
        }                                                                                                     \
    } while (0)

double Now() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double ProcessCpuSeconds() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto seconds = [](FILETIME time) {
        return static_cast<double>((static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

double Percentile(std::vector<double> values, double q) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(q * static_cast<double>(values.size() - 1) + 0.5)];
}

struct Figures {
    double rate = 0, cpuMsPerSecond = 0;
    std::vector<double> latencies; // ms
};

bool MeasureOneRun(HMODULE module, double warmup, double seconds, Figures& figures) {
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    const auto getClassObject =
        reinterpret_cast<GetClassObject>(reinterpret_cast<void (*)()>(GetProcAddress(module, "DllGetClassObject")));
    ComPtr<IClassFactory> factory;
    ComPtr<IMFMediaSource> source;
    ComPtr<IMFSourceReader> reader;
    ComPtr<IMFMediaType> type;
    CHECK(getClassObject ? getClassObject(kClsidMediaSource, IID_PPV_ARGS(&factory)) : E_NOINTERFACE);
    CHECK(factory->CreateInstance(nullptr, IID_PPV_ARGS(&source)));
    CHECK(MFCreateSourceReaderFromMediaSource(source.Get(), nullptr, &reader));
    CHECK(reader->GetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, &type));
    UINT32 width = 0, height = 0;
    CHECK(MFGetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, &width, &height));

    Zarvo::FrameChannel::Reader channel;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    long samples = 0;
    double firstCpu = 0, firstTime = 0;
    const double started = Now();
    for (bool measuring = false;;) {
        const double now = Now();
        if (!measuring && now - started >= warmup) {
            measuring = true;
            samples = 0;
            firstCpu = ProcessCpuSeconds();
            firstTime = now;
        }
        if (measuring && now - firstTime >= seconds)
            break;
        DWORD flags = 0;
        LONGLONG time = 0;
        ComPtr<IMFSample> sample;
        CHECK(reader->ReadSample(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, nullptr, &flags, &time, &sample));
        LARGE_INTEGER arrival;
        QueryPerformanceCounter(&arrival);
        if (!sample)
            continue;
        ++samples;
        // The pattern's code strip gives the frame number; a sample carrying the channel's newest frame
        // arrived this long after its publication.
        // In place, as a host that renders it would read it: no copy of the frame.
        ComPtr<IMFMediaBuffer> buffer;
        ComPtr<IMF2DBuffer> planes;
        BYTE* data = nullptr;
        LONG pitch = 0;
        std::uint64_t number = 0;
        bool numbered = false;
        if (measuring && SUCCEEDED(sample->GetBufferByIndex(0, &buffer)) && SUCCEEDED(buffer.As(&planes)) &&
            SUCCEEDED(planes->Lock2D(&data, &pitch))) {
            numbered = pitch > 0 && Zarvo::Server::ReadPatternNumber(data, 1, static_cast<std::size_t>(pitch), width,
                                                                     height, number);
            planes->Unlock2D();
        }
        if (!numbered || (!channel.IsOpen() && !channel.Open(Zarvo::FrameChannel::kSectionName, width, height).empty()))
            continue;
        const auto newest = channel.ConvertNewest(
            [](std::uint64_t, const std::uint8_t*, std::uint64_t, std::uint64_t, std::uint8_t*) noexcept -> std::uint64_t {
                return 0;
            },
            nullptr);
        if (newest.outcome == Zarvo::FrameChannel::Reader::Outcome::Frame && number == (newest.frameNumber & 0xFFFFFFFF))
            figures.latencies.push_back(1000.0 * static_cast<double>(arrival.QuadPart - static_cast<long long>(newest.publishTime)) /
                                        static_cast<double>(frequency.QuadPart));
    }
    const double elapsed = Now() - firstTime;
    figures.rate = samples / elapsed;
    figures.cpuMsPerSecond = (ProcessCpuSeconds() - firstCpu) * 1000.0 / elapsed;
    reader.Reset();
    source->Shutdown();
    return true;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: media_source_bench <module> [--warmup S] [--seconds S] [--runs N]\n");
        return 2;
    }
    double warmup = 3, seconds = 10;
    int runs = 3;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::wstring option = argv[i];
        if (option == L"--warmup")
            warmup = _wtof(argv[i + 1]);
        else if (option == L"--seconds")
            seconds = _wtof(argv[i + 1]);
        else if (option == L"--runs")
            runs = _wtoi(argv[i + 1]);
    }
    HMODULE module = LoadLibraryW(argv[1]);
    if (!module || FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) || FAILED(MFStartup(MF_VERSION, MFSTARTUP_FULL))) {
        std::fprintf(stderr, "cannot load %ls or start Media Foundation\n", argv[1]);
        return 1;
    }
    std::vector<double> rates, cpu, latencies;
    for (int run = 1; run <= runs; ++run) {
        Figures figures;
        if (!MeasureOneRun(module, warmup, seconds, figures))
            return 1;
        std::printf("run %d: %.2f samples/s, CPU %.1f ms/s, latency n=%zu p50=%.2f ms p99=%.2f ms\n", run, figures.rate,
                    figures.cpuMsPerSecond, figures.latencies.size(), Percentile(figures.latencies, 0.5),
                    Percentile(figures.latencies, 0.99));
        rates.push_back(figures.rate);
        cpu.push_back(figures.cpuMsPerSecond);
        latencies.insert(latencies.end(), figures.latencies.begin(), figures.latencies.end());
    }
    std::printf("summary: %.2f samples/s, CPU %.1f ms per streaming second, latency n=%zu p50=%.2f ms p99=%.2f ms "
                "(medians over %d runs)\n",
                Percentile(rates, 0.5), Percentile(cpu, 0.5), latencies.size(), Percentile(latencies, 0.5),
                Percentile(latencies, 0.99), runs);
    MFShutdown();
    return 0;
}
