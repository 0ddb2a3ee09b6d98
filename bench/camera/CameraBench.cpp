// A host of our own for the camera's figures: the registered camera in a filter graph with a
// sink that only counts, run and stopped a few times.
//
//   camera_bench.exe [--warmup S] [--seconds S] [--runs N] [--interval T] [--size WxH]
//
// Each run: Run at the frame interval T (100 ns units; the pin's default when not given) and the size
// W x H (YUY2, scaled from the app's frames; the app's own when not given), wait
// the warm-up (the connection chain gets ready meanwhile), count the samples of the measuring
// window, the new pictures among them, the shortest gap between two, and the host's CPU time over
// the window, then time Stop. Prints one line per run and a summary line "summary: ..." for
// scripts/bench-camera.

#include "Filters/Guids.h"
#include "server/Pattern.h"
#include "webcam/FrameChannel.h"

#include <windows.h>
#include <dshow.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdlib>
#include <atomic>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

// A sink filter with one input pin that accepts any type, takes the source's allocator and
// counts what it receives. Its reference count is real; the pin shares the filter's.
class CountingSink final : public IBaseFilter, public IPin, public IMemInputPin {
public:
    std::atomic<long> received{0};
    std::atomic<long> newPictures{0}; // samples carrying a server frame not shown before
    // Publication to sample of the server's frames, read from the frame channel the server
    // publishes into (its slots carry the performance counter at publication); milliseconds.
    std::vector<double> latencies; // the streaming thread's only while running
    Zarvo::FrameChannel::Reader channel;
    std::uint32_t width = 0, height = 0;       // of the samples
    std::uint32_t appWidth = 0, appHeight = 0; // of the app's frames, which the channel carries
    std::atomic<long long> shortestGap{0x7FFFFFFFFFFFFFFF}; // performance counter ticks
    std::vector<long long> gaps; // between consecutive arrivals, ticks; the streaming thread's only while running

    // IUnknown: the filter's and the pin's interfaces on one object.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IPersist || riid == IID_IMediaFilter || riid == IID_IBaseFilter)
            *ppv = static_cast<IBaseFilter*>(this);
        else if (riid == IID_IPin)
            *ppv = static_cast<IPin*>(this);
        else if (riid == IID_IMemInputPin)
            *ppv = static_cast<IMemInputPin*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++mRef); }
    ULONG STDMETHODCALLTYPE Release() override {
        const long left = --mRef;
        if (left == 0)
            delete this;
        return static_cast<ULONG>(left);
    }

    // IPersist, IMediaFilter, IBaseFilter
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override {
        if (!clsid)
            return E_POINTER;
        *clsid = GUID_NULL;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Stop() override { return SetState(State_Stopped); }
    HRESULT STDMETHODCALLTYPE Pause() override { return SetState(State_Paused); }
    HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME) override { return SetState(State_Running); }
    HRESULT STDMETHODCALLTYPE GetState(DWORD, FILTER_STATE* state) override {
        if (!state)
            return E_POINTER;
        *state = static_cast<FILTER_STATE>(mState.load());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetSyncSource(IReferenceClock*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetSyncSource(IReferenceClock** clock) override {
        if (!clock)
            return E_POINTER;
        *clock = nullptr;
        return S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE EnumPins(IEnumPins** pins) override {
        if (!pins)
            return E_POINTER;
        *pins = new (std::nothrow) PinList(this);
        return *pins ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE FindPin(LPCWSTR id, IPin** pin) override {
        if (!pin)
            return E_POINTER;
        *pin = nullptr;
        if (!id || std::wcscmp(id, L"In") != 0)
            return VFW_E_NOT_FOUND;
        *pin = static_cast<IPin*>(this);
        AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryFilterInfo(FILTER_INFO* info) override {
        if (!info)
            return E_POINTER;
        wcscpy_s(info->achName, L"counting sink");
        info->pGraph = mGraph;
        if (mGraph)
            mGraph->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE JoinFilterGraph(IFilterGraph* graph, LPCWSTR) override {
        mGraph = graph; // not held: the graph holds us
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryVendorInfo(LPWSTR*) override { return E_NOTIMPL; }

    // IPin (input)
    HRESULT STDMETHODCALLTYPE Connect(IPin*, const AM_MEDIA_TYPE*) override { return E_UNEXPECTED; }
    HRESULT STDMETHODCALLTYPE ReceiveConnection(IPin* peer, const AM_MEDIA_TYPE* type) override {
        if (!peer || !type)
            return E_POINTER;
        if (mPeer)
            return VFW_E_ALREADY_CONNECTED;
        if (type->majortype != MEDIATYPE_Video)
            return VFW_E_TYPE_NOT_ACCEPTED;
        mPeer = peer;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Disconnect() override {
        if (!mPeer)
            return S_FALSE;
        mPeer.Reset();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ConnectedTo(IPin** peer) override {
        if (!peer)
            return E_POINTER;
        *peer = mPeer.Get();
        if (!*peer)
            return VFW_E_NOT_CONNECTED;
        (*peer)->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ConnectionMediaType(AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryPinInfo(PIN_INFO* info) override {
        if (!info)
            return E_POINTER;
        info->pFilter = static_cast<IBaseFilter*>(this);
        AddRef();
        info->dir = PINDIR_INPUT;
        wcscpy_s(info->achName, L"In");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryDirection(PIN_DIRECTION* dir) override {
        if (!dir)
            return E_POINTER;
        *dir = PINDIR_INPUT;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryId(LPWSTR* id) override {
        if (!id)
            return E_POINTER;
        *id = static_cast<LPWSTR>(CoTaskMemAlloc(3 * sizeof(wchar_t)));
        if (!*id)
            return E_OUTOFMEMORY;
        wcscpy_s(*id, 3, L"In");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryAccept(const AM_MEDIA_TYPE*) override { return S_OK; }
    // No preferred types: the source offers its own.
    HRESULT STDMETHODCALLTYPE EnumMediaTypes(IEnumMediaTypes**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EndOfStream() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE BeginFlush() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE EndFlush() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }

    // IMemInputPin
    HRESULT STDMETHODCALLTYPE GetAllocator(IMemAllocator**) override { return VFW_E_NO_ALLOCATOR; }
    HRESULT STDMETHODCALLTYPE NotifyAllocator(IMemAllocator*, BOOL) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetAllocatorRequirements(ALLOCATOR_PROPERTIES*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Receive(IMediaSample* sample) override {
        if (!sample)
            return E_POINTER;
        ++received;
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        if (mLastArrival != 0) {
            shortestGap = std::min<long long>(shortestGap.load(), now.QuadPart - mLastArrival);
            gaps.push_back(now.QuadPart - mLastArrival);
        }
        mLastArrival = now.QuadPart;
        // The server's frames carry their number in a code strip; the placeholder carries none.
        BYTE* data = nullptr;
        std::uint64_t number = 0;
        if (SUCCEEDED(sample->GetPointer(&data)) && data && width &&
            sample->GetActualDataLength() >= static_cast<long>(2 * width * height) &&
            Zarvo::Server::ReadPatternNumber(data, 2, 2 * std::size_t{width}, width, height, number, appWidth, appHeight) &&
            number != mLastNumber) {
            ++newPictures;
            mLastNumber = number;
            MeasureLatency(number, now.QuadPart);
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReceiveMultiple(IMediaSample** samples, long count, long* processed) override {
        if (!samples || !processed)
            return E_POINTER;
        *processed = 0;
        for (long i = 0; i < count; ++i, ++*processed)
            Receive(samples[i]);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReceiveCanBlock() override { return S_FALSE; }

private:
    // The pattern's code strip gives the frame number; a sample carrying the channel's newest frame
    // arrived this long after its publication.
    void MeasureLatency(std::uint64_t number, long long now) {
        if (!channel.IsOpen() && (!appWidth || !channel.Open(Zarvo::FrameChannel::kSectionName, appWidth, appHeight).empty()))
            return;
        // Reads the newest slot's number and time only: a kernel that converts nothing.
        const auto newest = channel.ConvertNewest(
            [](std::uint64_t, const std::uint8_t*, std::uint64_t, std::uint64_t, std::uint8_t*) noexcept -> std::uint64_t {
                return 0;
            },
            nullptr);
        if (newest.outcome != Zarvo::FrameChannel::Reader::Outcome::Frame || number != (newest.frameNumber & 0xFFFFFFFF))
            return;
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        latencies.push_back(1000.0 * static_cast<double>(now - static_cast<long long>(newest.publishTime)) /
                            static_cast<double>(frequency.QuadPart));
    }

    long long mLastArrival = 0;        // the streaming thread's only
    std::uint64_t mLastNumber = ~std::uint64_t{0}; // likewise
    class PinList final : public IEnumPins {
    public:
        // Keeps the filter alive while enumerating.
        explicit PinList(CountingSink* sink, ULONG position = 0) : mSink(sink), mPosition(position) {
            mSink->AddRef();
        }
        ~PinList() { mSink->Release(); }
        PinList(const PinList&) = delete;
        PinList& operator=(const PinList&) = delete;
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
            if (!ppv)
                return E_POINTER;
            *ppv = nullptr;
            if (riid != IID_IUnknown && riid != IID_IEnumPins)
                return E_NOINTERFACE;
            *ppv = static_cast<IEnumPins*>(this);
            AddRef();
            return S_OK;
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++mRef); }
        ULONG STDMETHODCALLTYPE Release() override {
            const long left = --mRef;
            if (left == 0)
                delete this;
            return static_cast<ULONG>(left);
        }
        HRESULT STDMETHODCALLTYPE Next(ULONG count, IPin** pins, ULONG* fetched) override {
            if (!pins)
                return E_POINTER;
            ULONG got = 0;
            if (count > 0 && mPosition == 0) {
                pins[0] = static_cast<IPin*>(mSink);
                pins[0]->AddRef();
                got = 1;
                mPosition = 1;
            }
            if (fetched)
                *fetched = got;
            return got == count ? S_OK : S_FALSE;
        }
        HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
            mPosition = std::min<ULONG>(1, mPosition + count);
            return mPosition == 1 && count > 0 ? S_FALSE : S_OK;
        }
        HRESULT STDMETHODCALLTYPE Reset() override {
            mPosition = 0;
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE Clone(IEnumPins** copy) override {
            if (!copy)
                return E_POINTER;
            *copy = new (std::nothrow) PinList(mSink, mPosition);
            return *copy ? S_OK : E_OUTOFMEMORY;
        }

    private:
        std::atomic<long> mRef{1};
        CountingSink* mSink;
        ULONG mPosition;
    };

    HRESULT SetState(FILTER_STATE state) {
        mState = state;
        return S_OK;
    }

    std::atomic<long> mRef{1};
    std::atomic<int> mState{State_Stopped};
    IFilterGraph* mGraph = nullptr;
    ComPtr<IPin> mPeer;
};

struct Options {
    double warmupSeconds = 2.0;
    double seconds = 5.0;
    int runs = 3;
    double interval = 0; // the pin's own when 0
    long width = 0, height = 0; // another offered size than the app's (the pin scales), when set
};

bool ParseOptions(int argc, wchar_t** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring name = argv[i];
        const double value = std::wcstod(argv[i + 1], nullptr);
        if (name == L"--warmup" && value >= 0)
            options.warmupSeconds = value;
        else if (name == L"--seconds" && value > 0)
            options.seconds = value;
        else if (name == L"--runs" && value >= 1)
            options.runs = static_cast<int>(value);
        else if (name == L"--interval" && value > 0)
            options.interval = value;
        else if (name == L"--size" && std::swscanf(argv[i + 1], L"%ldx%ld", &options.width, &options.height) == 2)
            continue;
        else
            return false;
    }
    return argc % 2 == 1;
}

double Now() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / frequency;
}

// User plus kernel time of this process, in seconds.
double ProcessCpuSeconds() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto seconds = [](const FILETIME& time) {
        return static_cast<double>((static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

#define CHECK(call)                                                                                            \
    do {                                                                                                       \
        const HRESULT checked = (call);                                                                        \
        if (FAILED(checked)) {                                                                                 \
            std::fprintf(stderr, "camera_bench: %s failed 0x%08lX\n", #call, static_cast<unsigned long>(checked)); \
            return false;                                                                                      \
        }                                                                                                      \
    } while (0)

struct RunFigures {
    long width = 0, height = 0;
    long appWidth = 0, appHeight = 0;
    long samples = 0;     // in the measuring window
    long pictures = 0;    // of those, samples that carry a new picture
    double rate = 0;      // samples per second in the window
    double cpuMsPerSample = 0;
    double cpuMsPerSecond = 0;
    double shortestGapMs = 0;
    double stopMs = 0;
    std::vector<double> latencies; // publication to sample, ms
    std::vector<double> gaps;      // between consecutive samples, ms
};

bool MeasureOneRun(const Options& options, RunFigures& figures) {
    ComPtr<IBaseFilter> camera;
    CHECK(CoCreateInstance(CLSID_ZarvoWebcam, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&camera)));
    ComPtr<IAMStreamConfig> config;
    CHECK(camera.As(&config));
    AM_MEDIA_TYPE* type = nullptr;
    CHECK(config->GetFormat(&type));
    if (type->formattype == FORMAT_VideoInfo && type->cbFormat >= sizeof(VIDEOINFOHEADER)) {
        const auto* info = reinterpret_cast<const VIDEOINFOHEADER*>(type->pbFormat);
        figures.appWidth = info->bmiHeader.biWidth; // the first type is the app's size
        figures.appHeight = std::labs(info->bmiHeader.biHeight);
        auto* format = reinterpret_cast<VIDEOINFOHEADER*>(type->pbFormat);
        if (options.width > 0) {
            format->bmiHeader.biWidth = options.width;
            format->bmiHeader.biHeight = options.height;
            format->bmiHeader.biSizeImage = static_cast<DWORD>(options.width * options.height * 2);
            type->lSampleSize = format->bmiHeader.biSizeImage;
            SetRect(&format->rcSource, 0, 0, 0, 0);
            SetRect(&format->rcTarget, 0, 0, 0, 0);
        }
        if (options.interval > 0)
            format->AvgTimePerFrame = static_cast<REFERENCE_TIME>(options.interval);
        if (options.width > 0 || options.interval > 0)
            CHECK(config->SetFormat(type));
        figures.width = format->bmiHeader.biWidth;
        figures.height = std::labs(format->bmiHeader.biHeight);
    }

    ComPtr<IGraphBuilder> graph;
    CHECK(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph)));
    ComPtr<IBaseFilter> sinkFilter;
    auto* sink = new CountingSink;
    sink->width = static_cast<std::uint32_t>(figures.width);
    sink->height = static_cast<std::uint32_t>(figures.height);
    sink->appWidth = static_cast<std::uint32_t>(figures.appWidth);
    sink->appHeight = static_cast<std::uint32_t>(figures.appHeight);
    sinkFilter.Attach(static_cast<IBaseFilter*>(sink));
    CHECK(graph->AddFilter(camera.Get(), L"Zarvo Webcam"));
    CHECK(graph->AddFilter(sinkFilter.Get(), L"counting sink"));
    ComPtr<IEnumPins> pins;
    CHECK(camera->EnumPins(&pins));
    ComPtr<IPin> output;
    CHECK(pins->Next(1, &output, nullptr));
    ComPtr<IPin> input;
    CHECK(sinkFilter->FindPin(L"In", &input));
    const HRESULT connected = graph->ConnectDirect(output.Get(), input.Get(), type);
    if (type->pbFormat)
        CoTaskMemFree(type->pbFormat);
    CoTaskMemFree(type);
    CHECK(connected);

    ComPtr<IMediaControl> control;
    CHECK(graph.As(&control));
    CHECK(control->Run());
    Sleep(static_cast<DWORD>(options.warmupSeconds * 1000));
    const long firstCount = sink->received.load();
    const long firstPictures = sink->newPictures.load();
    const std::size_t firstLatency = sink->latencies.size();
    const std::size_t firstGap = sink->gaps.size();
    sink->shortestGap = 0x7FFFFFFFFFFFFFFF;
    const double firstCpu = ProcessCpuSeconds();
    const double firstTime = Now();
    Sleep(static_cast<DWORD>(options.seconds * 1000));
    const long lastCount = sink->received.load();
    const long lastPictures = sink->newPictures.load();
    const long long shortestGap = sink->shortestGap.load();
    const double lastCpu = ProcessCpuSeconds();
    const double lastTime = Now();

    std::vector<double> latencies(sink->latencies.begin() + static_cast<long>(firstLatency), sink->latencies.end());
    const std::size_t lastGap = sink->gaps.size();
    const double stopStarted = Now();
    CHECK(control->Stop());
    figures.stopMs = (Now() - stopStarted) * 1000.0;

    figures.samples = lastCount - firstCount;
    figures.pictures = lastPictures - firstPictures;
    figures.rate = figures.samples / (lastTime - firstTime);
    figures.cpuMsPerSample = figures.samples > 0 ? (lastCpu - firstCpu) * 1000.0 / figures.samples : 0;
    figures.cpuMsPerSecond = (lastCpu - firstCpu) * 1000.0 / (lastTime - firstTime);
    figures.latencies = std::move(latencies);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    figures.gaps.clear();
    for (std::size_t i = firstGap; i < lastGap; ++i)
        figures.gaps.push_back(1000.0 * static_cast<double>(sink->gaps[i]) / static_cast<double>(frequency.QuadPart));
    figures.shortestGapMs = 1000.0 * static_cast<double>(shortestGap) / static_cast<double>(frequency.QuadPart);
    graph->RemoveFilter(sinkFilter.Get());
    graph->RemoveFilter(camera.Get());
    return true;
}

double Percentile(std::vector<double> values, double q) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(q * static_cast<double>(values.size() - 1) + 0.5)];
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fputs("usage: camera_bench.exe [--warmup S] [--seconds S] [--runs N] [--interval T] [--size WxH]\n", stderr);
        return 2;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 1;
    std::vector<double> rates, news, gaps, cpu, cpuSecond, stops, latencies, allGaps;
    RunFigures figures;
    int status = 0;
    for (int run = 0; run < options.runs; ++run) {
        if (!MeasureOneRun(options, figures)) {
            status = 1;
            break;
        }
        std::printf("run %d: %ldx%ld, %ld samples (%ld new pictures) in %.1f s: %.2f per second, shortest gap "
                    "%.1f ms, %.2f ms CPU per sample, %.1f ms CPU per second; Stop %.2f ms\n",
                    run + 1, figures.width, figures.height, figures.samples, figures.pictures, options.seconds,
                    figures.rate, figures.shortestGapMs, figures.cpuMsPerSample, figures.cpuMsPerSecond, figures.stopMs);
        if (!figures.latencies.empty())
            std::printf("run %d: publication to sample, %zu frames: median %.2f ms, p99 %.2f ms\n", run + 1,
                        figures.latencies.size(), Percentile(figures.latencies, 0.5),
                        Percentile(figures.latencies, 0.99));
        if (!figures.gaps.empty())
            std::printf("run %d: gap between samples, %zu gaps: p1 %.2f ms, median %.2f ms, p99 %.2f ms\n", run + 1,
                        figures.gaps.size(), Percentile(figures.gaps, 0.01), Percentile(figures.gaps, 0.5),
                        Percentile(figures.gaps, 0.99));
        // A gap under half the shortest interval offered, with the gaps around it: what came before shows
        // whether a sample was held up on its way (a long gap, then a short one adding up to two intervals).
        for (std::size_t i = 0; i < figures.gaps.size(); ++i) {
            if (figures.gaps[i] >= 8.0)
                continue;
            std::printf("run %d: short gap %zu:", run + 1, i);
            for (std::size_t j = i >= 3 ? i - 3 : 0; j < std::min(figures.gaps.size(), i + 4); ++j)
                std::printf(j == i ? " [%.2f]" : " %.2f", figures.gaps[j]);
            std::printf(" ms\n");
        }
        latencies.insert(latencies.end(), figures.latencies.begin(), figures.latencies.end());
        allGaps.insert(allGaps.end(), figures.gaps.begin(), figures.gaps.end());
        rates.push_back(figures.rate);
        news.push_back(figures.pictures / options.seconds);
        gaps.push_back(figures.shortestGapMs);
        cpu.push_back(figures.cpuMsPerSample);
        cpuSecond.push_back(figures.cpuMsPerSecond);
        stops.push_back(figures.stopMs);
    }
    if (status == 0) {
        std::printf("summary: %ldx%ld, medians of %d runs: %.2f samples per second, %.2f new pictures per second, "
                    "shortest gap of all runs %.1f ms, %.2f ms CPU per sample, %.1f ms CPU per second, Stop %.2f ms (max %.2f ms)\n",
                    figures.width, figures.height, options.runs, Median(rates), Median(news),
                    *std::min_element(gaps.begin(), gaps.end()), Median(cpu), Median(cpuSecond), Median(stops),
                    *std::max_element(stops.begin(), stops.end()));
        if (!allGaps.empty())
            std::printf("summary: gap between samples over all runs, %zu gaps: p1 %.2f ms, median %.2f ms, p99 %.2f ms\n",
                        allGaps.size(), Percentile(allGaps, 0.01), Percentile(allGaps, 0.5), Percentile(allGaps, 0.99));
        if (!latencies.empty()) {
            std::printf("summary: publication to sample over all runs, %zu frames: median %.2f ms, p99 %.2f ms\n",
                        latencies.size(), Percentile(latencies, 0.5), Percentile(latencies, 0.99));
            // Where the tail lies: a cluster just past an eighth of an interval is a sample that waited
            // for its slot, one spread wide is the scheduler.
            std::size_t counts[11] = {};
            for (const double latency : latencies)
                ++counts[std::min<std::size_t>(10, static_cast<std::size_t>(std::max(0.0, latency)))];
            std::printf("summary: publication to sample by ms:");
            for (std::size_t i = 0; i < 10; ++i)
                std::printf(" %zu-%zu:%zu", i, i + 1, counts[i]);
            std::printf(" 10+:%zu\n", counts[10]);
        }
    }
    std::fflush(stdout);
    CoUninitialize();
    return status;
}
