// The stream as a host sees it: a placeholder picture in every sample without a live frame, the
// pace of the adopted type, and the companion app lost and found again without the host's help.
// The product module in Wine's filter graph with the real reference server.

#include "../IPC/IpcTestSupport.h"
#include "../framework/TestFilters.h"

#include "Filters/Guids.h"
#include "server/Pattern.h"
#include "webcam/PixelConversion.h"
#include "webcam/Placeholder.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <regex>
#include <set>
#include <tuple>

using namespace Zarvo::Testing;
using FrameworkTest::ReceivedSample;
using FrameworkTest::TestSink;
using Zarvo::PlaceholderReason;

namespace {

constexpr LONG kWidth = 1280, kHeight = 720;
constexpr REFERENCE_TIME k2997 = 333666, k15 = 666666;

std::uint64_t Digest(const BYTE* data, long length) {
    std::uint64_t hash = 0x9E3779B97F4A7C15ull ^ static_cast<std::uint64_t>(length);
    long i = 0;
    for (std::uint64_t word = 0; i + 8 <= length; i += 8) {
        std::memcpy(&word, data + i, 8);
        hash = (hash ^ word) * 0x100000001B3ull;
        hash ^= hash >> 29;
    }
    for (; i < length; ++i)
        hash = (hash ^ data[i]) * 0x100000001B3ull;
    return hash;
}

Zarvo::PixelKernels::Kernel KernelFor(const GUID& subtype) {
    return subtype == MEDIASUBTYPE_NV12   ? Zarvo::convert_format_nv12_nv12
           : subtype == MEDIASUBTYPE_IYUV ? Zarvo::convert_format_nv12_iyuv
                                          : Zarvo::convert_format_nv12_yuy2;
}

// What a sample showed: a placeholder (by reason), a pattern frame (pixel-exact), or anything else.
enum class Shown { Starting, WaitingForApp, AppStopped, Pattern, Other };

// Tells samples of one subtype apart by their digests; pattern frames are rendered as they come.
class Classifier {
public:
    explicit Classifier(const GUID& subtype) : mSubtype(subtype) {
        Zarvo::PlaceholderPicture pictures;
        pictures.SetDestination(kWidth, kHeight, subtype);
        for (auto reason : {PlaceholderReason::Starting, PlaceholderReason::WaitingForApp, PlaceholderReason::AppStopped}) {
            const auto& picture = pictures.Picture(reason);
            mPlaceholders[static_cast<int>(reason)] = Digest(picture.data(), static_cast<long>(picture.size()));
        }
        mBytes = static_cast<long>(pictures.Picture(PlaceholderReason::Starting).size());
    }
    long FrameBytes() const { return mBytes; }

    // For the sink: runs on the camera's worker thread.
    std::uint64_t operator()(const BYTE* data, long length) {
        const std::uint64_t digest = Digest(data, length);
        if (std::count(std::begin(mPlaceholders), std::end(mPlaceholders), digest) || length != mBytes)
            return digest;
        // The frame number from the pattern's code strip.
        const bool yuy2 = mSubtype == MEDIASUBTYPE_YUY2;
        std::uint64_t number = 0;
        if (!Zarvo::Server::ReadPatternNumber(data, yuy2 ? 2 : 1, yuy2 ? 2 * kWidth : kWidth, kWidth, kHeight, number))
            return digest;
        std::lock_guard lock(mMutex);
        if (!mPatterns.count(number)) {
            std::vector<std::uint8_t> nv12(Zarvo::Server::PatternFrameBytes(kHeight, kWidth)), out(mBytes);
            Zarvo::Server::DrawPatternNV12(kWidth, kHeight, number, nv12.data(), kWidth);
            KernelFor(mSubtype)(kWidth, nv12.data(), kWidth, kHeight, out.data());
            mPatterns[number] = Digest(out.data(), mBytes);
        }
        if (mPatterns[number] == digest)
            mPatternDigests.insert(digest);
        return digest;
    }
    // Whether the sample shows `what`, a whole frame in all cases.
    bool Shows(const ReceivedSample& sample, Shown what) {
        std::lock_guard lock(mMutex);
        const bool placeholder = std::count(std::begin(mPlaceholders), std::end(mPlaceholders), sample.digest);
        const bool pattern = mPatternDigests.count(sample.digest);
        if (sample.length != mBytes)
            return what == Shown::Other;
        switch (what) {
        case Shown::Pattern:
            return pattern;
        case Shown::Other:
            return !pattern && !placeholder;
        default:
            return sample.digest == mPlaceholders[static_cast<int>(what)];
        }
    }

private:
    GUID mSubtype;
    long mBytes = 0;
    std::uint64_t mPlaceholders[3] = {}; // digests by reason
    std::mutex mMutex;
    std::map<std::uint64_t, std::uint64_t> mPatterns; // frame number to its digest
    std::set<std::uint64_t> mPatternDigests;
};

// The module copied to a folder without the server, with an APPDATA of its own.
struct Camera {
    static Camera& Instance() {
        static Camera camera;
        return camera;
    }
    Camera() {
        SetEnvironmentVariableW(L"APPDATA", appData.Path().c_str());
        const std::wstring copy = folder / L"ZarvoWebcam.dll";
        EXPECT_TRUE(CopyFileW((ProgramFolder() + L"ZarvoWebcam.dll").c_str(), copy.c_str(), FALSE));
        module = LoadLibraryW(copy.c_str());
        EXPECT_NE(module, nullptr);
    }
    ComPtr<IBaseFilter> NewFilter() const {
        using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
        const auto get = reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
        ComPtr<IClassFactory> factory;
        ComPtr<IBaseFilter> filter;
        if (get && SUCCEEDED(get(CLSID_ZarvoWebcam, IID_PPV_ARGS(&factory))))
            factory->CreateInstance(nullptr, IID_PPV_ARGS(&filter));
        return filter;
    }
    // The camera's log text from byte `mark` on.
    std::string Log(std::size_t mark = 0) const {
        WIN32_FIND_DATAW found{};
        const std::wstring logs = appData.SettingsFolder() + L"\\Logs\\";
        const HANDLE search = FindFirstFileW((logs + L"zvfilter_webcam_*.log").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE || !FindClose(search))
            return {};
        const std::string text = ReadFileBytes(logs + found.cFileName);
        return text.substr(std::min(mark, text.size()));
    }

    TempFolder folder;
    AppDataWithSettings appData{"1280,720"};
    HMODULE module = nullptr;
};

// The reference server as a child of this test, killed rather than asked when the test says so.
struct App {
    explicit App(const std::wstring& arguments = L"") {
        SetEnvironmentVariableW(L"APPDATA", Camera::Instance().appData.Path().c_str());
        process = StartProgram(ReferenceServerPath(), arguments);
        EXPECT_TRUE(process);
    }
    ~App() {
        if (process && !WaitForExit(process.get(), 0)) {
            RunProgram(ReferenceServerPath(), L"--quit", 20000); // a killed one would leave its event set
            if (!WaitForExit(process.get(), 20000))
                Kill();
        }
    }
    void Kill() {
        TerminateProcess(process.get(), 9);
        WaitForSingleObject(process.get(), 10000);
    }
    Zarvo::UniqueHandleNull process;
};

// A new camera, its format set, connected to a sink that keeps digests.
struct Graph {
    Graph(const GUID& subtype, REFERENCE_TIME interval)
        : classifier(subtype), filter(Camera::Instance().NewFilter()), sinkFilter(TestSink::Create(&sink)) {
        sink->digest = [this](const BYTE* data, long length) {
            return cheap ? Digest(data, length) : classifier(data, length);
        };
        ComPtr<IPin> pin;
        ComPtr<IAMStreamConfig> config;
        CMediaType type;
        type.majortype = MEDIATYPE_Video, type.subtype = subtype, type.formattype = FORMAT_VideoInfo;
        const WORD bits = subtype == MEDIASUBTYPE_YUY2 ? 16 : 12;
        const BITMAPINFOHEADER header{sizeof(BITMAPINFOHEADER), kWidth, kHeight, 1, bits, subtype.Data1, 0, 0, 0, 0, 0};
        const VIDEOINFOHEADER info{{}, {}, 0, 0, interval, header};
        type.SetFormatBlock(reinterpret_cast<const BYTE*>(&info), sizeof(info));
        connected = filter && filter->FindPin(L"1", &pin) == S_OK && pin.As(&config) == S_OK &&
                    config->SetFormat(&type) == S_OK &&
                    CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph)) == S_OK &&
                    graph.As(&control) == S_OK && graph->AddFilter(filter.Get(), L"Zarvo Webcam") == S_OK &&
                    graph->AddFilter(sinkFilter.Get(), L"sink") == S_OK &&
                    graph->ConnectDirect(pin.Get(), sink->Pin(), nullptr) == S_OK;
    }
    ~Graph() {
        if (control)
            control->Stop();
    }
    // Seconds the host's Stop took.
    double TimedStop() {
        const auto start = Clock::now();
        EXPECT_EQ(control->Stop(), S_OK);
        return SecondsSince(start);
    }
    // Waits up to `seconds` until `done` holds for the samples so far; a copy of them.
    template <class Done>
    std::vector<ReceivedSample> WaitUntil(Done done, double seconds = 20) {
        std::unique_lock lock(sink->mutex);
        sink->changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return done(sink->samples); });
        return sink->samples;
    }
    // Waits until `count` samples have shown `what` since sample `from`; the index after the last.
    std::size_t WaitForShown(Shown what, std::size_t from, int count = 1, double seconds = 20) {
        std::size_t at = from;
        WaitUntil(
            [&](const std::vector<ReceivedSample>& samples) {
                for (int seen = 0; at < samples.size();)
                    if (classifier.Shows(samples[at++], what) && ++seen == count)
                        return true;
                at = from;
                return false;
            },
            seconds);
        return at;
    }

    Classifier classifier;
    std::atomic<bool> cheap{false}; // digests only, for timing: rendering the pattern takes time
    TestSink* sink = nullptr; // set by the sink filter's creation, so declared before it
    ComPtr<IBaseFilter> filter, sinkFilter;
    ComPtr<IGraphBuilder> graph;
    ComPtr<IMediaControl> control;
    bool connected = false;
};

struct StreamTest : ::testing::Test {
    FrameworkTest::ComScope com;
    Camera& camera = Camera::Instance();
    void SetUp() override {
        ASSERT_NE(WaitForSingleObject(OpenServerLiveEvent().get(), 0), WAIT_OBJECT_0) << "a server still runs";
    }
};

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

} // namespace

// Never an untouched buffer: each sample is one whole placeholder frame of the adopted subtype,
// untimed, and the host's Stop does not wait for the search for the app.
TEST_F(StreamTest, WithoutTheAppEverySampleIsAWholePlaceholderAndStopIsQuick) {
    for (const GUID* subtype : {&MEDIASUBTYPE_YUY2, &MEDIASUBTYPE_NV12, &MEDIASUBTYPE_IYUV}) {
        SCOPED_TRACE(subtype == &MEDIASUBTYPE_YUY2 ? "YUY2" : subtype == &MEDIASUBTYPE_NV12 ? "NV12" : "IYUV");
        Graph g(*subtype, k2997);
        ASSERT_TRUE(g.connected);
        ASSERT_EQ(g.control->Run(), S_OK);
        const auto samples = g.WaitUntil([](const auto& all) { return all.size() >= 12; });
        const double stop = g.TimedStop();
        ASSERT_GE(samples.size(), 12u);
        for (const auto& sample : samples) {
            EXPECT_TRUE(g.classifier.Shows(sample, Shown::Starting) || g.classifier.Shows(sample, Shown::WaitingForApp));
            EXPECT_EQ(std::tuple(sample.length, sample.start, sample.stop),
                      std::tuple(g.classifier.FrameBytes(), REFERENCE_TIME{0}, REFERENCE_TIME{0}));
        }
        EXPECT_TRUE(g.classifier.Shows(samples.front(), Shown::Starting));
        EXPECT_LT(stop, 0.5); // 50 ms unloaded (the camera bench); room for a loaded machine
        EXPECT_EQ(g.sink->endOfStreams, 0);

        // A picture, not a flat colour: its luma takes more than two values.
        Zarvo::PlaceholderPicture pictures;
        pictures.SetDestination(kWidth, kHeight, *subtype);
        const auto& picture = pictures.Picture(PlaceholderReason::WaitingForApp);
        std::set<std::uint8_t> luma;
        for (std::size_t i = 0; i < std::size_t{kWidth} * kHeight; ++i)
            luma.insert(subtype == &MEDIASUBTYPE_YUY2 ? picture[2 * i] : picture[i]);
        EXPECT_GT(luma.size(), 2u);
    }
}

// One sample per interval of the adopted type, never two closer than half an interval, while the
// camera waits for the app and while it shows the app's frames (which come at 30 per second).
TEST_F(StreamTest, SamplesComeAtTheAdoptedRateWithAndWithoutTheApp) {
    for (const bool withApp : {false, true}) {
        std::optional<App> app;
        if (withApp)
            app.emplace();
        for (const REFERENCE_TIME interval : {k2997, k15}) {
            SCOPED_TRACE((withApp ? "app, interval " : "no app, interval ") + std::to_string(interval));
            Graph g(MEDIASUBTYPE_YUY2, interval);
            ASSERT_TRUE(g.connected);
            ASSERT_EQ(g.control->Run(), S_OK);
            // From the first frame of the app (or the first sample), three seconds.
            const std::size_t from = withApp ? g.WaitForShown(Shown::Pattern, 0, 1, 30) - 1 : 0;
            g.cheap = true;
            ASSERT_TRUE(g.classifier.Shows(g.WaitUntil([&](const auto& all) { return all.size() > from; })[from],
                                           withApp ? Shown::Pattern : Shown::Starting));
            const auto samples = g.WaitUntil([&](const auto& all) {
                return all.size() > from + 1 && all.back().arrived - all[from].arrived >= std::chrono::seconds(3);
            });
            g.TimedStop();
            const double seconds = std::chrono::duration<double>(samples.back().arrived - samples[from].arrived).count();
            const double rate = static_cast<double>(samples.size() - 1 - from) / seconds;
            double shortest = 1e9;
            for (std::size_t i = from + 1; i < samples.size(); ++i)
                shortest = std::min(shortest, std::chrono::duration<double>(samples[i].arrived - samples[i - 1].arrived).count());
            const double wanted = 1e7 / static_cast<double>(interval), period = 1 / wanted;
            // Within 1 % unloaded (the camera bench); a quarter either way still tells the old 60 to 90
            // samples per second, or half the rate, from the right one on a loaded machine.
            EXPECT_NEAR(rate, wanted, wanted * 0.25) << seconds << " s";
            // Half an interval less the sink's own timing jitter on a loaded machine.
            EXPECT_GT(shortest, period * 0.4);
        }
    }
}

// The app killed mid-stream: the placeholder says so within about 2 s, the stream goes on; started
// again, its frames come back without the host doing anything; every sample is one or the other.
TEST_F(StreamTest, AKilledAppIsReplacedByThePlaceholderAndFoundAgainWhenItReturns) {
    const std::size_t mark = camera.Log().size();
    std::optional<App> app(std::in_place);
    Graph g(MEDIASUBTYPE_YUY2, k2997);
    ASSERT_TRUE(g.connected);
    ASSERT_EQ(g.control->Run(), S_OK);
    std::size_t at = g.WaitForShown(Shown::Pattern, 0, 3, 30);
    const std::size_t firstLive = g.WaitForShown(Shown::Pattern, 0) - 1;
    ASSERT_GT(at, firstLive);

    app->Kill();
    const auto killed = Clock::now();
    at = g.WaitForShown(Shown::AppStopped, at);
    EXPECT_LT(SecondsSince(killed), 3.5);

    app.emplace();
    const auto restarted = Clock::now();
    at = g.WaitForShown(Shown::Pattern, at, 3, 30);
    EXPECT_LT(SecondsSince(restarted), 20.0);
    const auto samples = g.WaitUntil([&](const auto& all) { return all.size() >= at; });
    const double stop = g.TimedStop();

    int pattern = 0, other = 0;
    for (std::size_t i = firstLive; i < samples.size(); ++i) {
        pattern += g.classifier.Shows(samples[i], Shown::Pattern);
        other += !g.classifier.Shows(samples[i], Shown::Pattern) && !g.classifier.Shows(samples[i], Shown::AppStopped);
    }
    EXPECT_EQ(other, 0);
    EXPECT_GE(pattern, 6);
    EXPECT_EQ(g.sink->endOfStreams, 0);
    EXPECT_LT(stop, 0.5);
    const std::string log = camera.Log(mark);
    // Once each, unless a busy machine made an exchange time out as well.
    EXPECT_GE(Count(log, "[FillBuffer] source lost: "), 1u) << log;
    EXPECT_GE(Count(log, "[FillBuffer] source back"), 1u) << log;
}

// An app whose frames the camera cannot take (another size): the chain connects but brings up no
// frame source. The placeholder stays, the stream goes on, and the chain runs again and again,
// each failed connection telling the app to stop its camera.
TEST_F(StreamTest, AChainThatBringsUpNoFrameSourceKeepsTryingAndStopsTheAppsCameraEachTime) {
    const std::size_t mark = camera.Log().size();
    const std::wstring ini = camera.appData.SettingsFolder() + L"\\ZarvoWebcam.ini";
    Graph g(MEDIASUBTYPE_YUY2, k2997); // reads 1280 x 720
    WriteFileBytes(ini, "[Stream]\r\noutputResolution=1920,1080\r\n");
    App app;
    ASSERT_TRUE(g.connected);
    ASSERT_EQ(g.control->Run(), S_OK);
    const auto connections = [&] { return Count(camera.Log(mark), "webcamClient: Server Connected"); };
    for (const auto end = Clock::now() + std::chrono::seconds(40); connections() < 2 && Clock::now() < end;)
        Sleep(50); // a file: nothing signals a new line
    const auto samples = g.WaitUntil([](const auto&) { return true; });
    const double stop = g.TimedStop();
    WriteFileBytes(ini, "[Stream]\r\noutputResolution=1280,720\r\n");

    ASSERT_FALSE(samples.empty());
    for (const auto& sample : samples)
        ASSERT_TRUE(g.classifier.Shows(sample, Shown::Starting) || g.classifier.Shows(sample, Shown::WaitingForApp));
    EXPECT_EQ(g.sink->endOfStreams, 0);
    EXPECT_LT(stop, 0.5);
    std::string log;
    for (const auto end = Clock::now() + std::chrono::seconds(20);
         Count(log = camera.Log(mark), "[ReleaseInternal] WebcamClient: Camera Stopped") < 2 && Clock::now() < end;)
        Sleep(50);
    EXPECT_GE(connections(), 2u) << log;
    EXPECT_GE(Count(log, "[FillBuffer] source lost: no new frame for 2 s"), 1u) << log;
    EXPECT_GE(Count(log, "[ReleaseInternal] WebcamClient: Camera Stopped"), 2u) << log;
    EXPECT_EQ(Count(log, "[FillBuffer] placeholder: "), 2u) << log; // Starting, then waiting for the app
}

// An app that keeps answering but stops publishing: its last frame for 2 s at most, then the
// placeholder; its frames again once it publishes again. An app that never answers one per-frame
// request: the host waits for it no longer than the request's short bound, once.
TEST_F(StreamTest, AnAppThatPausesOrHangsCostsTheHostLittle) {
    for (const bool hangs : {false, true}) {
        SCOPED_TRACE(hangs ? "hangs" : "pauses");
        const std::size_t mark = camera.Log().size();
        App app(hangs ? L"--stall-frame-request 45" : L"--pause-after 45 --pause-seconds 6");
        Graph g(MEDIASUBTYPE_YUY2, k2997);
        ASSERT_TRUE(g.connected);
        ASSERT_EQ(g.control->Run(), S_OK);
        std::size_t at = g.WaitForShown(Shown::Pattern, 0, 3, 30);
        at = g.WaitForShown(Shown::AppStopped, at, 1, 20);
        at = g.WaitForShown(Shown::Pattern, at, 3, 30);
        const auto samples = g.WaitUntil([&](const auto& all) { return all.size() >= at; });
        g.TimedStop();
        ASSERT_GE(samples.size(), at);
        double longest = 0;
        for (std::size_t i = 1; i < samples.size(); ++i)
            longest = std::max(longest, std::chrono::duration<double>(samples[i].arrived - samples[i - 1].arrived).count());
        // The request's bound is 200 ms at this rate.
        EXPECT_LT(longest, 0.8);
        // A frozen frame lasts 2 s at most (60 samples), with room for a loaded machine.
        int repeated = 0, mostRepeated = 0;
        for (std::size_t i = 1; i < samples.size(); ++i) {
            repeated = samples[i].digest == samples[i - 1].digest && g.classifier.Shows(samples[i], Shown::Pattern)
                           ? repeated + 1
                           : 0;
            mostRepeated = std::max(mostRepeated, repeated);
        }
        EXPECT_LT(mostRepeated, 75);
        const std::string log = camera.Log(mark);
        EXPECT_GE(Count(log, hangs ? "source lost: the app did not answer the per-frame request"
                                   : "source lost: no new frame for 2 s"),
                  1u)
            << log;
        EXPECT_GE(Count(log, "[FillBuffer] source back"), 1u) << log;
        EXPECT_EQ(g.sink->endOfStreams, 0);
    }
}
