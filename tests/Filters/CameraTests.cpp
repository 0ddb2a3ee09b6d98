// The product module as a host sees it: loaded from a folder of its own, reached through its
// exports and the published interfaces only, in Wine's filter graph, with and without the real
// reference server: what the DirectShow adapter adds to the camera core (types, stream config,
// property set, samples and the graph's Run and Stop). What the core does on its own (the app lost
// and found again, the placeholder's reasons) is the core's tests'.

#include "../IPC/IpcTestSupport.h"
#include "../framework/TestFilters.h"
#include "../support/ModuleCopies.h"
#include "../support/RegistryAccess.h"

#include "CameraCore/Formats.h"
#include "Filters/Guids.h"
#include "runtime/Handles.h"
#include "server/Pattern.h"
#include "webcam/FrameChannel.h"
#include "webcam/Placeholder.h"

#include <ks.h>

#include <algorithm>
#include <set>
#include <string_view>
#include <thread>
#include <tuple>

using namespace Zarvo::Testing;
using FrameworkTest::MakeVideoType;
using FrameworkTest::ReceivedSample;
using FrameworkTest::TestSink;
using Zarvo::PlaceholderReason;
using Lines = std::vector<std::string>;

namespace {

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using ExportFn = HRESULT(STDAPICALLTYPE*)();
constexpr LONG kWidth = 1280, kHeight = 720;
constexpr DWORD kYuy2Frame = kWidth * kHeight * 2, kPlanarFrame = kWidth * kHeight * 3 / 2;
constexpr REFERENCE_TIME k2997 = 333666, k15 = 666666;
// What a Stop with the app connected may take by design: 3 s for a graphics device being made,
// half a second for the app's answer to StopCamera. Unloaded it takes some ms (the camera bench); a
// Stop that waits for something without a bound exceeds this.
constexpr double kStopBound = 4.0;
const std::wstring kClsidText = L"{7C3E9A41-5B2D-4E8F-A6C1-2D94B7E05F13}";
// The camera's class key and its entry among the video input devices, under HKEY_CLASSES_ROOT.
const std::wstring kClassKey = L"CLSID\\" + kClsidText,
                   kDeviceKey = L"CLSID\\{860BB310-5D01-11D0-BD3B-00A0C911CE86}\\Instance\\" + kClsidText;

bool Contains(const Lines& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}
std::size_t Count(const Lines& lines, const std::string& part) {
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const auto& line) { return line.find(part) != line.npos; }));
}

// The module copied to a folder without the server, loaded once, with an APPDATA of its own.
struct Camera {
    static Camera& Instance() {
        static Camera module;
        return module;
    }
    Camera() {
        SetEnvironmentVariableW(L"APPDATA", appData.Path().c_str());
        const std::wstring copy = folder / L"ZarvoWebcam.dll";
        EXPECT_TRUE(CopyFileW((ProgramFolder() + L"ZarvoWebcam.dll").c_str(), copy.c_str(), FALSE));
        handle = LoadLibraryW(copy.c_str());
        const auto exported = [&](const char* name) { return reinterpret_cast<void*>(GetProcAddress(handle, name)); };
        getClassObject = reinterpret_cast<GetClassObjectFn>(exported("DllGetClassObject"));
        canUnloadNow = ExportFn(exported("DllCanUnloadNow"));
        registerServer = ExportFn(exported("DllRegisterServer")), unregisterServer = ExportFn(exported("DllUnregisterServer"));
        EXPECT_TRUE(handle && getClassObject && canUnloadNow && registerServer && unregisterServer);
    }
    ComPtr<IClassFactory> Factory() {
        ComPtr<IClassFactory> factory;
        EXPECT_EQ(getClassObject(CLSID_ZarvoWebcam, IID_PPV_ARGS(&factory)), S_OK);
        return factory;
    }
    // A new filter reads the settings file (so does a server started later).
    void SetResolution(const char* resolution) {
        WriteFileBytes(appData.SettingsFolder() + L"\\ZarvoWebcam.ini",
                       std::string("[Stream]\r\noutputResolution=") + resolution + "\r\n");
    }
    ComPtr<IBaseFilter> NewFilter() {
        SetResolution("1280,720");
        ComPtr<IBaseFilter> filter;
        if (auto factory = Factory()) {
            EXPECT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&filter)), S_OK);
        }
        return filter;
    }
    // The camera's log from line `mark` on; every log the reference app wrote with this APPDATA.
    Lines LogSince(std::size_t mark = 0) const {
        auto lines = ReadLogLines(appData.SettingsFolder() + L"\\Logs", L"zvfilter_webcam_*.log");
        lines.erase(lines.begin(), lines.begin() + std::min(mark, lines.size()));
        return lines;
    }
    std::size_t LogMark() const { return LogSince().size(); }
    Lines ServerLines() const {
        return ReadLogLines(appData.SettingsFolder() + L"\\Logs", L"zvserver_webcam_*.log");
    }
    // Polls (a file: nothing signals a new line) until `done` holds for the lines after `mark`.
    template <class Done> bool WaitForLog(std::size_t mark, Done done, int seconds = 20) const {
        return PollUntil([&] { return done(LogSince(mark)); }, seconds, 50);
    }
    bool WaitForLogLine(std::size_t mark, const std::string& line) const {
        return WaitForLog(mark, [&](const Lines& lines) { return Contains(lines, line); });
    }

    TempFolder folder;
    AppDataWithSettings appData{"1280,720"};
    HMODULE handle = nullptr;
    GetClassObjectFn getClassObject = nullptr;
    ExportFn canUnloadNow = nullptr, registerServer = nullptr, unregisterServer = nullptr;
};

// Every test in the multithreaded apartment, like the host threads the camera serves.
struct CameraTest : ::testing::Test {
    FrameworkTest::ComScope com;
    Camera& module = Camera::Instance();
    void SetUp() override {
        ASSERT_NE(WaitForSingleObject(OpenServerLiveEvent().get(), 0), WAIT_OBJECT_0) << "a server still runs";
    }
};

ComPtr<IPin> FirstPin(IBaseFilter* filter) {
    ComPtr<IPin> pin;
    EXPECT_TRUE(filter && filter->FindPin(L"1", &pin) == S_OK);
    return pin;
}

// What a host reads from a type it was handed and then frees.
auto Describe(AM_MEDIA_TYPE* type) {
    const auto& info = *reinterpret_cast<const VIDEOINFOHEADER*>(type->pbFormat);
    const auto seen = std::tuple(type->majortype, type->subtype, type->formattype, type->cbFormat >= sizeof(info),
                                 info.bmiHeader.biWidth, info.bmiHeader.biHeight, info.bmiHeader.biSizeImage,
                                 info.AvgTimePerFrame);
    DestroyMediaType(type);
    return seen;
}
auto Describe(const CMediaType& type) { return Describe(CloneMediaType(type)); }

// The types a pin lists, as its enumerator gives them.
std::vector<decltype(Describe(CMediaType()))> Listed(IPin* pin) {
    std::vector<decltype(Describe(CMediaType()))> all;
    ComPtr<IEnumMediaTypes> types;
    AM_MEDIA_TYPE* type = nullptr;
    EXPECT_EQ(pin->EnumMediaTypes(&types), S_OK);
    for (ULONG got = 0; types && all.size() < 100 && types->Next(1, &type, &got) == S_OK;)
        all.push_back(Describe(type));
    return all;
}

// A new camera, its format set first when one is given, connected to a recording sink.
struct Graph {
    explicit Graph(std::optional<CMediaType> type = std::nullopt)
        : filter(Camera::Instance().NewFilter()), sinkFilter(TestSink::Create(&sink)) {
        ComPtr<IAMStreamConfig> config;
        connected = (pin = FirstPin(filter.Get())) && pin.As(&config) == S_OK &&
                    (!type || config->SetFormat(&*type) == S_OK) &&
                    CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph)) == S_OK &&
                    graph.As(&control) == S_OK && graph->AddFilter(filter.Get(), L"Zarvo Webcam") == S_OK &&
                    graph->AddFilter(sinkFilter.Get(), L"sink") == S_OK &&
                    graph->ConnectDirect(pin.Get(), sink->Pin(), nullptr) == S_OK;
    }
    ~Graph() {
        if (control)
            control->Stop();
    }
    double TimedStop() { // seconds the host's Stop took
        const auto start = Clock::now();
        EXPECT_EQ(control->Stop(), S_OK);
        return SecondsSince(start);
    }
    // Waits up to `seconds` until `done` holds for the samples so far; a copy of them.
    template <class Done> std::vector<ReceivedSample> WaitUntil(Done done, double seconds = 20) {
        std::unique_lock lock(sink->mutex);
        sink->changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return done(sink->samples); });
        return sink->samples;
    }

    TestSink* sink = nullptr; // set by the sink filter's creation, so declared before it
    ComPtr<IBaseFilter> filter, sinkFilter;
    ComPtr<IGraphBuilder> graph;
    ComPtr<IMediaControl> control;
    ComPtr<IPin> pin;
    bool connected = false;
};

std::uint64_t Digest(const BYTE* data, long length) {
    return std::hash<std::string_view>{}(std::string_view(reinterpret_cast<const char*>(data), std::size_t(length)));
}

// What a whole frame shows: a placeholder (by reason), or one of the app's frames. Their pixels are the
// pixel tests' (ffmpeg and a host of our own capture the app's pattern through the graph).
enum class Shown { Starting, WaitingForApp, AppStopped, Pattern };

// Tells samples of one subtype apart by their digests; an app's frame by the number its code strip carries.
class Classifier {
public:
    explicit Classifier(const GUID& subtype) : mYuy2(subtype == MEDIASUBTYPE_YUY2) {
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
        std::uint64_t number = 0;
        if (length == mBytes && !std::count(std::begin(mPlaceholders), std::end(mPlaceholders), digest) &&
            Zarvo::Server::ReadPatternNumber(data, mYuy2 ? 2 : 1, mYuy2 ? 2 * kWidth : kWidth, kWidth,
                                             kHeight, number)) {
            std::lock_guard lock(mMutex);
            mPatternDigests.insert(digest);
        }
        return digest;
    }
    // Whether the sample is a whole frame that shows `what`.
    bool Shows(const ReceivedSample& sample, Shown what) {
        std::lock_guard lock(mMutex);
        return sample.length == mBytes && (what == Shown::Pattern ? mPatternDigests.count(sample.digest) > 0
                                                                  : sample.digest == mPlaceholders[static_cast<int>(what)]);
    }

private:
    bool mYuy2;
    long mBytes = 0;
    std::uint64_t mPlaceholders[3] = {}; // digests by reason
    std::mutex mMutex;
    std::set<std::uint64_t> mPatternDigests;
};

// A graph whose sink keeps digests, and tells what each sample showed.
struct StreamGraph : Graph {
    StreamGraph(const GUID& subtype, REFERENCE_TIME interval)
        : Graph(MakeVideoType(subtype, kWidth, kHeight, interval)), classifier(subtype) {
        sink->digest = [this](const BYTE* data, long length) { return classifier(data, length); };
    }
    // Waits until `count` samples have shown `what` since sample `from`; the index after the last.
    std::size_t WaitForShown(Shown what, std::size_t from, int count = 1, double seconds = 20) {
        std::size_t at = from;
        WaitUntil(
            [&](const std::vector<ReceivedSample>& samples) {
                for (int seen = 0; at < samples.size();)
                    if (classifier.Shows(samples[at++], what) && ++seen == count)
                        return true;
                return at = from, false;
            },
            seconds);
        EXPECT_NE(at, from) << "no sample showed " << static_cast<int>(what) << " in " << seconds << " s";
        return at;
    }

    Classifier classifier;
};

// The platform's allocator, which also sets `decommitted` when asked to decommit: the first thing a
// host's Stop does to the stream.
class SignallingAllocator final : public IMemAllocator {
public:
    SignallingAllocator(ComPtr<IMemAllocator> inner, HANDLE decommitted)
        : mInner(std::move(inner)), mEvent(decommitted) {}
    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override {
        const bool known = riid == IID_IUnknown || riid == IID_IMemAllocator;
        return known ? (*ppv = this, AddRef(), S_OK) : (*ppv = nullptr, E_NOINTERFACE);
    }
    STDMETHOD_(ULONG, AddRef)() override { return static_cast<ULONG>(++mRef); }
    STDMETHOD_(ULONG, Release)() override {
        const ULONG n = --mRef;
        return n ? n : (delete this, 0u);
    }
    STDMETHOD(SetProperties)(ALLOCATOR_PROPERTIES* want, ALLOCATOR_PROPERTIES* got) override {
        return mInner->SetProperties(want, got);
    }
    STDMETHOD(GetProperties)(ALLOCATOR_PROPERTIES* got) override { return mInner->GetProperties(got); }
    STDMETHOD(Commit)() override { return mInner->Commit(); }
    STDMETHOD(Decommit)() override {
        const HRESULT hr = mInner->Decommit();
        return SetEvent(mEvent), hr;
    }
    STDMETHOD(GetBuffer)
    (IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* stop, DWORD flags) override {
        return mInner->GetBuffer(sample, start, stop, flags);
    }
    STDMETHOD(ReleaseBuffer)(IMediaSample* sample) override { return mInner->ReleaseBuffer(sample); }

private:
    ~SignallingAllocator() = default;
    ComPtr<IMemAllocator> mInner;
    HANDLE mEvent;
    std::atomic<LONG> mRef{0};
};

} // namespace

TEST_F(CameraTest, ClassObjectCodesAndWhenTheModuleMayUnload) {
    void* object = nullptr;
    EXPECT_EQ((std::tuple{module.getClassObject(CLSID_ZarvoWebcam, IID_IPersist, &object), static_cast<void*>(object),
                          module.getClassObject(CLSID_FilterGraph, IID_IClassFactory, &object),
                          module.getClassObject(CLSID_ZarvoWebcam, IID_IClassFactory, nullptr), module.canUnloadNow()}),
              (std::tuple{E_NOINTERFACE, nullptr, CLASS_E_CLASSNOTAVAILABLE, E_POINTER, S_OK}));
    auto factory = module.Factory();
    ASSERT_TRUE(factory);
    EXPECT_EQ(module.canUnloadNow(), S_FALSE); // a referenced factory holds the module
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory.Reset();
    EXPECT_EQ(module.canUnloadNow(), S_FALSE); // the lock alone holds it too
    EXPECT_EQ(module.Factory()->LockServer(FALSE), S_OK);
    EXPECT_EQ(module.canUnloadNow(), S_OK);

    factory.Reset();
    EXPECT_EQ(module.canUnloadNow(), S_OK);
}

// A capture pin with a read-only property set and a capability per offered type; never run, the filter starts
// nothing (no chain, no server, no worker) and nothing of it keeps the module.
TEST_F(CameraTest, PinAnswersAsACaptureDeviceAndANeverRunFilterStartsNothing) {
    const auto mark = module.LogMark();
    {
        auto filter = module.NewFilter();
        ComPtr<IPin> pin = FirstPin(filter.Get());
        ComPtr<IKsPropertySet> ks;
        ComPtr<IAMStreamConfig> config;
        ASSERT_TRUE(pin && pin.As(&ks) == S_OK && pin.As(&config) == S_OK);
        // Size query, short buffer, the category, unknown id and set, and Set.
        DWORD returned = 0, support = 0;
        GUID category = GUID_NULL;
        BYTE small[15] = {};
        const auto& set = AMPROPSETID_Pin;
        const DWORD id = AMPROPERTY_PIN_CATEGORY;
        EXPECT_EQ((std::tuple{ks->Get(set, id, nullptr, 0, nullptr, 0, &returned), DWORD{returned},
                              ks->Get(set, id, nullptr, 0, small, 15, &returned),
                              ks->Get(set, id, nullptr, 0, &category, 16, &returned), GUID(category),
                              ks->Get(set, AMPROPERTY_PIN_MEDIUM, nullptr, 0, &category, 16, &returned),
                              ks->Get(PIN_CATEGORY_CAPTURE, id, nullptr, 0, &category, 16, &returned),
                              ks->QuerySupported(set, id, &support), support, ks->Set(set, id, nullptr, 0, &category, 16)}),
                  (std::tuple{S_OK, 16ul, E_UNEXPECTED, S_OK, PIN_CATEGORY_CAPTURE, E_PROP_ID_UNSUPPORTED,
                              E_PROP_SET_UNSUPPORTED, S_OK, static_cast<DWORD>(KSPROPERTY_SUPPORT_GET), E_NOTIMPL}));
        int count = 0, size = 0;
        AM_MEDIA_TYPE* format = nullptr;
        VIDEO_STREAM_CONFIG_CAPS caps{};
        EXPECT_EQ((std::tuple{config->GetNumberOfCapabilities(&count, &size), count, size,
                              config->GetStreamCaps(count, &format, reinterpret_cast<BYTE*>(&caps)), format,
                              config->GetStreamCaps(-1, &format, reinterpret_cast<BYTE*>(&caps))}),
                  (std::tuple{S_OK, 28, int(sizeof(caps)), S_FALSE, nullptr, E_INVALIDARG}));
    }
    EXPECT_EQ(module.canUnloadNow(), S_OK);
    const std::string all = ::testing::PrintToString(module.LogSince(mark));
    EXPECT_TRUE(all.find("[CVCam]") != all.npos && all.find("Prepare/") == all.npos &&
                all.find("OnThreadCreate") == all.npos)
        << all;
}

// Only types that describe a sane frame the delivery produces are accepted, alike by QueryAccept,
// SetFormat (which adopts them, or keeps its type) and Connect; each refusal names its reason, and
// none changes anything: the camera still connects afterwards.
TEST_F(CameraTest, OnlySaneFramesOfTheDeliveryAreAcceptedThroughEveryEntryPoint) {
    const GUID *yuy2 = &MEDIASUBTYPE_YUY2, *nv12 = &MEDIASUBTYPE_NV12, *iyuv = &MEDIASUBTYPE_IYUV;
    struct Case {
        const GUID* subtype;
        std::string reason = ""; // "" accepts
        DWORD imageSize = 0;
        REFERENCE_TIME interval = k2997;
        LONG width = kWidth, height = kHeight;
        GUID major = MEDIATYPE_Video, format = FORMAT_VideoInfo;
        ULONG block = sizeof(VIDEOINFOHEADER);
        std::optional<DWORD> compression = std::nullopt;
        WORD bits = 0;                                 // 0: the subtype's
        std::optional<HRESULT> connect = std::nullopt; // none: what QueryAccept says
    };
    std::vector<Case> cases = {
        {.subtype = yuy2, .imageSize = kYuy2Frame},
        {.subtype = &MEDIASUBTYPE_RGB24, .reason = "invalid subtype", .format = FORMAT_VideoInfo2},
        {.subtype = yuy2, .reason = "invalid info", .format = FORMAT_VideoInfo2},
        {.subtype = yuy2, .reason = "invalid format size", .block = sizeof(VIDEOINFOHEADER) - 1},
        {.subtype = nv12, .reason = "invalid AvgTimePerFrame166665", .interval = 166665},
        {.subtype = nv12, .reason = "invalid AvgTimePerFrame1000001", .interval = 1000001},
        {.subtype = nv12, .reason = "invalid size 800,600", .width = 800, .height = 600},
        {.subtype = yuy2, .reason = "invalid size 1920,-1080", .width = 1920, .height = -1080},
        {.subtype = yuy2, .reason = "invalid major type", .major = MEDIATYPE_Audio},
        // As a partial type in Connect a null major type is a wildcard: the pin's own type matches it.
        {.subtype = yuy2, .reason = "invalid major type", .imageSize = kYuy2Frame, .major = GUID_NULL, .connect = S_OK},
        {.subtype = nv12, .reason = "invalid compression 1448433993", .compression = MAKEFOURCC('I', 'Y', 'U', 'V')},
        {.subtype = nv12, .reason = "invalid bit count 4", .bits = 4},
        // The image size, when given, holds at least one frame and at most two.
        {.subtype = yuy2, .reason = "invalid image size 1843199", .imageSize = kYuy2Frame - 1},
        {.subtype = yuy2, .reason = "invalid image size 2147483647", .imageSize = 0x7FFFFFFF},
        {.subtype = yuy2, .reason = "invalid image size 3686401", .imageSize = 2 * kYuy2Frame + 1},
        {.subtype = yuy2, .imageSize = 2 * kYuy2Frame},
        {.subtype = nv12, .imageSize = kPlanarFrame},
        {.subtype = iyuv, .imageSize = 2 * kPlanarFrame}};
    for (const GUID* subtype : {yuy2, nv12, iyuv}) // also top-down at the fastest, and the slowest
        for (const auto& [height, interval] : {std::pair{kHeight, REFERENCE_TIME{166666}}, std::pair{-kHeight, REFERENCE_TIME{1000000}}})
            cases.push_back({.subtype = subtype, .interval = interval, .height = height});
    Graph g;
    ASSERT_TRUE(g.connected);
    ASSERT_EQ((std::tuple{g.pin->Disconnect(), g.sink->Pin()->Disconnect()}), (std::tuple{S_OK, S_OK}));
    ComPtr<IAMStreamConfig> config;
    ASSERT_EQ(g.pin.As(&config), S_OK);
    EXPECT_EQ(config->SetFormat(nullptr), E_FAIL);
    CMediaType good = MakeVideoType(*yuy2, kWidth, kHeight, k2997, kYuy2Frame);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE("case " + std::to_string(i) + ": " + c.reason);
        CMediaType type = MakeVideoType(*c.subtype, c.width, c.height, c.interval, c.imageSize);
        auto& header = reinterpret_cast<VIDEOINFOHEADER*>(type.pbFormat)->bmiHeader;
        header.biCompression = c.compression.value_or(header.biCompression);
        header.biBitCount = c.bits ? c.bits : header.biBitCount;
        type.majortype = c.major, type.formattype = c.format, type.cbFormat = c.block;
        const bool refused = !c.reason.empty();
        const auto mark = module.LogMark();
        EXPECT_EQ(g.pin->QueryAccept(&type), refused ? S_FALSE : S_OK);
        EXPECT_EQ(config->SetFormat(&type), refused ? E_FAIL : S_OK);
        AM_MEDIA_TYPE* format = nullptr;
        ASSERT_EQ(config->GetFormat(&format), S_OK);
        EXPECT_EQ(Describe(format), Describe(refused ? good : type)); // kept, or adopted
        EXPECT_EQ(g.pin->Connect(g.sink->Pin(), &type), c.connect.value_or(refused ? VFW_E_TYPE_NOT_ACCEPTED : S_OK));
        EXPECT_TRUE(!refused || Contains(module.LogSince(mark), "[CheckMediaType] " + c.reason));
        g.pin->Disconnect(), g.sink->Pin()->Disconnect();
        ASSERT_EQ((std::tuple{config->SetFormat(&good), g.pin->Connect(g.sink->Pin(), nullptr), g.pin->Disconnect(),
                              g.sink->Pin()->Disconnect()}),
                  (std::tuple{S_OK, S_OK, S_OK, S_OK}));
    }
}

// The enumerator and GetStreamCaps offer one list (whose order, sizes and rates the registration
// end-to-end test reads through ffmpeg), each record cropping the centre of the app's 16:9 picture at
// its size's aspect ratio; each type connects, and once chosen is the only one offered.
TEST_F(CameraTest, EveryOfferedTypeIsListedAlikeEverywhereAndConnects) {
    Graph g;
    ASSERT_TRUE(g.connected);
    ComPtr<IAMStreamConfig> config;
    ASSERT_EQ(g.pin.As(&config), S_OK);
    const auto listed = Listed(g.pin.Get());
    ASSERT_EQ(listed.size(), 28u);
    std::vector<CMediaType> offered;
    for (std::size_t i = 0; i < listed.size(); ++i) {
        SCOPED_TRACE(i);
        AM_MEDIA_TYPE* type = nullptr;
        VIDEO_STREAM_CONFIG_CAPS caps{};
        ASSERT_EQ(config->GetStreamCaps(int(i), &type, reinterpret_cast<BYTE*>(&caps)), S_OK);
        offered.emplace_back(*type);
        EXPECT_EQ(Describe(type), listed[i]);
        const LONG w = std::get<4>(listed[i]), h = std::get<5>(listed[i]);
        const LONG cropWidth = w * 3 == h * 4 ? 960 : w * 9 == h * 16 ? kWidth : 1272; // 4:3, 16:9, 53:30
        EXPECT_EQ(std::tuple(caps.MaxCroppingSize.cx, caps.MaxCroppingSize.cy, caps.MinOutputSize.cx, caps.MaxOutputSize.cy),
                  std::tuple(cropWidth, kHeight, w, h));
    }
    for (std::size_t i = 0; i < offered.size(); ++i) {
        SCOPED_TRACE(i);
        g.pin->Disconnect(), g.sink->Pin()->Disconnect();
        ASSERT_EQ(config->SetFormat(&offered[i]), S_OK);
        ASSERT_EQ(g.pin->Connect(g.sink->Pin(), nullptr), S_OK);
        CMediaType connected;
        ASSERT_EQ(g.pin->ConnectionMediaType(&connected), S_OK);
        EXPECT_EQ(Describe(connected), listed[i]);
        EXPECT_EQ(Listed(g.pin.Get()), std::vector{listed[i]});
    }
}

// A new format on a connected pin: a peer that refuses it, when asked or when reconnected, leaves
// the connection with the type both sides agreed to; one that takes it gets it.
TEST_F(CameraTest, SetFormatOnAConnectedPinLeavesTheConnectionConsistent) {
    const CMediaType yuy2 = MakeVideoType(MEDIASUBTYPE_YUY2, kWidth, kHeight, k2997, kYuy2Frame),
                     nv12 = MakeVideoType(MEDIASUBTYPE_NV12, kWidth, kHeight, k2997);
    const TestSink::Check refuseNv12 = [](const AM_MEDIA_TYPE& t) { return t.subtype == MEDIASUBTYPE_NV12 ? S_FALSE : S_OK; };
    Graph g;
    ASSERT_TRUE(g.connected);
    ComPtr<IAMStreamConfig> config;
    ASSERT_EQ(g.pin.As(&config), S_OK);
    const auto connectionType = [](IPin* pin) {
        CMediaType type;
        return pin->ConnectionMediaType(&type) == S_OK ? Describe(type) : decltype(Describe(type)){};
    };
    const auto expectNow = [&](const CMediaType& type, bool sinkToo) {
        AM_MEDIA_TYPE* format = nullptr;
        ASSERT_EQ(config->GetFormat(&format), S_OK);
        EXPECT_EQ((std::tuple{connectionType(g.pin.Get()), Describe(format)}), (std::tuple{Describe(type), Describe(type)}));
        EXPECT_TRUE(!sinkToo || connectionType(g.sink->Pin()) == Describe(type));
    };
    // A refusal leaves the whole list offered: a failed reconnection once left only the type kept.
    const auto offered = Listed(g.pin.Get());
    for (const bool askedFirst : {true, false}) {
        SCOPED_TRACE(askedFirst);
        g.sink->queryAccept = askedFirst ? refuseNv12 : TestSink::Check();
        g.sink->accept = refuseNv12;
        const HRESULT hr = config->SetFormat(const_cast<CMediaType*>(&nv12));
        EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
        expectNow(yuy2, true);
        EXPECT_EQ(Listed(g.pin.Get()), offered);
    }
    // The filter leaves Stopped while SetFormat is under way (here: while the peer is asked):
    // the stream runs with the type its buffers were made for, and SetFormat fails.
    g.sink->accept = nullptr;
    g.sink->queryAccept = [&](const AM_MEDIA_TYPE&) { return g.filter->Pause(), S_OK; };
    EXPECT_EQ(config->SetFormat(const_cast<CMediaType*>(&nv12)), E_FAIL);
    g.sink->queryAccept = nullptr;
    expectNow(yuy2, false);
    ASSERT_EQ(g.filter->Stop(), S_OK);
    ASSERT_EQ(config->SetFormat(const_cast<CMediaType*>(&nv12)), S_OK);
    expectNow(nv12, true);
}

// Host threads reading the format while another sets it see one whole type or the other, never a
// block that is being freed.
TEST_F(CameraTest, FormatReadersRacingSetFormatSeeWholeTypes) {
    auto filter = module.NewFilter();
    auto pin = FirstPin(filter.Get());
    ComPtr<IAMStreamConfig> config;
    ASSERT_TRUE(pin && pin.As(&config) == S_OK);
    CMediaType types[] = {MakeVideoType(MEDIASUBTYPE_YUY2, kWidth, kHeight, k2997, kYuy2Frame),
                          MakeVideoType(MEDIASUBTYPE_NV12, kWidth, -kHeight, 500000, kPlanarFrame)};
    const auto whole = {Describe(types[0]), Describe(types[1])};
    std::atomic<bool> done{false};
    std::atomic<int> torn{0}, reads{0};
    std::thread reader([&] {
        FrameworkTest::ComScope com;
        VIDEO_STREAM_CONFIG_CAPS caps{};
        while (!done) {
            AM_MEDIA_TYPE *a = nullptr, *b = nullptr;
            if (config->GetFormat(&a) != S_OK || config->GetStreamCaps(0, &b, reinterpret_cast<BYTE*>(&caps)) != S_OK ||
                !a || !b || !a->pbFormat || !b->pbFormat) {
                ++torn;
                DestroyMediaType(a), DestroyMediaType(b);
                continue;
            }
            for (auto* type : {a, b})
                torn += std::find(whole.begin(), whole.end(), Describe(type)) == whole.end();
            ++reads;
        }
    });
    // The sets begin once the reader reads and go on until both sides have done enough to meet: 300 sets
    // alone could be over before the reader's thread first ran.
    while (reads.load() == 0 && torn.load() == 0)
        std::this_thread::yield();
    bool set = true;
    for (int i = 0; set && (i < 300 || (reads.load() < 300 && i < 1000000)); ++i)
        set = config->SetFormat(&types[i % 2]) == S_OK;
    done = true;
    reader.join();
    EXPECT_TRUE(set);
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GE(reads.load(), 300);
}

// With the server: frames come, a Stop stops the server's camera, and a new Run starts over; the
// format cannot change under a running stream.
TEST_F(CameraTest, StopAndRunAgainConnectsAndDeliversAgain) {
    ServerProcess server(module.appData.Path());
    ASSERT_TRUE(server.WaitUntilLive());
    {
        Graph g;
        ASSERT_TRUE(g.connected);
        ComPtr<IAMStreamConfig> config;
        ASSERT_EQ(g.pin.As(&config), S_OK);
        CMediaType same = MakeVideoType(MEDIASUBTYPE_YUY2, kWidth, kHeight, k2997);
        for (int run = 1; run <= 2; ++run) {
            SCOPED_TRACE(run);
            const auto mark = module.LogMark();
            ASSERT_EQ(g.control->Run(), S_OK);
            ASSERT_TRUE(module.WaitForLogLine(mark, "[FillBuffer] mFrameClientTask.is_done"));
            const std::size_t before = g.WaitUntil([](auto&) { return true; }).size();
            const auto samples = g.WaitUntil([&](const auto& all) { return all.size() >= before + 3; });
            ASSERT_GE(samples.size(), before + 3);
            EXPECT_EQ(samples.back().bytes.size(), kYuy2Frame);
            EXPECT_EQ(config->SetFormat(&same), E_FAIL);
            ASSERT_EQ(g.control->Stop(), S_OK);
            // Logged only once the app was told to stop its camera.
            ASSERT_TRUE(module.WaitForLogLine(mark, "[ReleaseInternal] WebcamClient: Server Disconnected"))
                << ::testing::PrintToString(module.LogSince(mark));
            EXPECT_EQ(Count(module.LogSince(mark), "[Prepare/StartCamera] webcamClient: Camera Started"), 1u);
        }
    }
    EXPECT_EQ(module.canUnloadNow(), S_OK); // nothing of it is left once the release tasks are done
}

bool KeyExists(const std::wstring& path) {
    HKEY key = nullptr;
    const bool found = RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (found)
        RegCloseKey(key);
    return found;
}

// The class and the device entry, once however often registered (the e2e scripts list the device);
// both go again on unregistering, the class key also where the device entry is already gone (removed
// by hand, or never written). A registration whose device step fails leaves nothing.
TEST_F(CameraTest, RegistersAsAVideoInputDeviceAndUnregistersCleanly) {
    ASSERT_EQ((std::tuple{module.registerServer(), module.registerServer()}), (std::tuple{S_OK, S_OK}));
    EXPECT_EQ(RegistryText(kDeviceKey, L"CLSID"), kClsidText);
    EXPECT_EQ((std::tuple{module.unregisterServer(), KeyExists(kDeviceKey), KeyExists(kClassKey)}),
              (std::tuple{S_OK, false, false}));
    ASSERT_EQ(module.registerServer(), S_OK);
    ASSERT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, kDeviceKey.c_str()), ERROR_SUCCESS);
    EXPECT_EQ((std::tuple{module.unregisterServer(), KeyExists(kClassKey), module.unregisterServer()}),
              (std::tuple{S_OK, false, S_OK}));

    // The filter mapper's class closed to everybody for a moment: the device step cannot start.
    wchar_t mapper[39] = {};
    StringFromGUID2(CLSID_FilterMapper2, mapper, 39);
    HRESULT refused = S_OK;
    bool classLeft = true, deviceLeft = true;
    {
        const LockedKey locked(HKEY_CLASSES_ROOT, L"CLSID\\" + std::wstring(mapper) + L"\\InprocServer32");
        ASSERT_EQ(locked.Result(), ERROR_SUCCESS);
        refused = module.registerServer();
        classLeft = KeyExists(kClassKey), deviceLeft = KeyExists(kDeviceKey);
    }
    EXPECT_EQ((std::tuple{FAILED(refused), classLeft, deviceLeft}), (std::tuple{true, false, false}))
        << std::hex << refused;
    EXPECT_EQ((std::tuple{module.unregisterServer(), module.canUnloadNow()}), (std::tuple{S_OK, S_OK}));
}

// The registered server is the module's own file wherever it lies: in a folder whose name the
// ANSI code page cannot spell (Cyrillic, Greek and Chinese letters) and deeper than MAX_PATH. A
// registration that cannot name it writes nothing.
TEST_F(CameraTest, RegistersTheModulesOwnFileFromAnyFolder) {
    const auto check = [&](const std::wstring& file, HMODULE copy) {
        ASSERT_NE(copy, module.handle);
        const auto registerCopy = ExportFn(reinterpret_cast<void*>(GetProcAddress(copy, "DllRegisterServer")));
        const auto unregisterCopy = ExportFn(reinterpret_cast<void*>(GetProcAddress(copy, "DllUnregisterServer")));

        const HRESULT registered = registerCopy();
        std::wstring server = RegistryText(kClassKey + L"\\InprocServer32");
        if (registered == S_OK) {
            if (server.starts_with(kLongPathPrefix))
                server.erase(0, kLongPathPrefix.size());
            EXPECT_EQ(_wcsicmp(server.c_str(), file.c_str()), 0) << "registered " << ::testing::PrintToString(server);
            EXPECT_NE(GetFileAttributesW((kLongPathPrefix + server).c_str()), INVALID_FILE_ATTRIBUTES);
        } else {
            EXPECT_TRUE(FAILED(registered));
            EXPECT_EQ((std::tuple{KeyExists(kClassKey), KeyExists(kDeviceKey)}), (std::tuple{false, false}));
        }
        EXPECT_EQ(unregisterCopy(), S_OK);
    };
    ForEachCopyInAwkwardFolders(ProgramFolder() + L"ZarvoWebcam.dll", check);
}

// Without the app, one sample per interval of the adopted type, never two in one slot (with the app
// the pacing test of the end-to-end tests has a real host count them), and never an untouched buffer:
// each sample is one whole placeholder frame of the adopted subtype, untimed. The host's Stop does not
// wait for the search for the app.
TEST_F(CameraTest, SamplesComeAtTheAdoptedRateAsWholeUntimedPlaceholdersWithoutTheApp) {
    for (const auto& [subtype, interval] :
         {std::pair{&MEDIASUBTYPE_YUY2, k2997}, std::pair{&MEDIASUBTYPE_NV12, k15},
          std::pair{&MEDIASUBTYPE_IYUV, k2997}}) {
        SCOPED_TRACE(interval);
        StreamGraph g(*subtype, interval);
        ASSERT_TRUE(g.connected);
        ASSERT_EQ(g.control->Run(), S_OK);
        const auto samples = g.WaitUntil([&](const auto& all) {
            return all.size() > 1 && all.back().arrived - all[0].arrived >= std::chrono::seconds(3);
        });
        const double stop = g.TimedStop();
        ASSERT_GT(samples.size(), 1u);
        EXPECT_TRUE(g.classifier.Shows(samples[0], Shown::Starting));
        EXPECT_EQ(g.sink->endOfStreams, 0);
        for (const auto& sample : samples) {
            EXPECT_TRUE(g.classifier.Shows(sample, Shown::Starting) ||
                        g.classifier.Shows(sample, Shown::WaitingForApp));
            EXPECT_EQ(std::tuple(sample.length, sample.start, sample.stop),
                      std::tuple(g.classifier.FrameBytes(), REFERENCE_TIME{0}, REFERENCE_TIME{0}));
        }
        EXPECT_LT(stop, 0.5); // 50 ms unloaded (the camera bench)
        const auto seconds = [&](std::size_t a, std::size_t b) {
            return std::chrono::duration<double>(samples[b].arrived - samples[a].arrived).count();
        };
        const double rate = static_cast<double>(samples.size() - 1) / seconds(0, samples.size() - 1);
        const double wanted = 1e7 / static_cast<double>(interval);
        int close = 0; // consecutive samples less than 0.4 of an interval apart
        for (std::size_t i = 1; i < samples.size(); ++i)
            close += seconds(i - 1, i) < 0.4 / wanted;
        // Within 1 % unloaded (the camera bench); a quarter either way still tells twice the rate, or
        // half of it, from the right one on a loaded machine.
        EXPECT_NEAR(rate, wanted, wanted * 0.25);
        // Two samples in one slot would show as every other gap; a sample the loaded machine held up
        // arrives close to the next one on time, which the slots cannot prevent: a few such in 3 s.
        EXPECT_LE(close, 3) << "of " << samples.size() << " samples";
    }
}

// The host's Stop while the app leaves a per-frame request unanswered (whose bound is 600 ms at
// 10 fps) cuts the request short, and the app is still told to stop its camera, on a new connection.
TEST_F(CameraTest, AStopDuringAHungPerFrameRequestReturnsAtOnceAndStillStopsTheAppsCamera) {
    constexpr REFERENCE_TIME k10 = 1'000'000;
    const std::size_t mark = module.LogMark();
    ServerProcess app(module.appData.Path(), L"--stall-frame-request 25");
    StreamGraph g(MEDIASUBTYPE_YUY2, k10);
    ASSERT_TRUE(g.connected);
    ASSERT_EQ(g.control->Run(), S_OK);
    g.WaitForShown(Shown::Pattern, 0);
    ASSERT_FALSE(HasFailure());
    // The app says when it leaves the request unanswered (a file: nothing signals a new line).
    ASSERT_TRUE(module.WaitForLog(0, [&](const Lines&) { return Count(module.ServerLines(), "per-frame request 25 left unanswered") > 0; }));
    const double stop = g.TimedStop();
    EXPECT_TRUE(module.WaitForLogLine(mark, "[ReleaseInternal] WebcamClient: Camera Stopped"))
        << ::testing::PrintToString(module.LogSince(mark));
    const auto log = module.LogSince(mark);
    // The Stop met the request: the connection it left out of step was replaced.
    EXPECT_EQ(Count(log, "[ReleaseInternal] WebcamClient: Reconnected"), 1u) << ::testing::PrintToString(log);
    EXPECT_EQ(Count(log, "source lost"), 0u);
    EXPECT_LT(stop, 0.3); // 20 ms unloaded (the camera bench); the request's bound is 600 ms
}

// An app whose frames the camera cannot take (another size): the chain connects but brings up no
// frame source. The placeholder stays, the stream goes on, and the chain runs again and again,
// each failed connection telling the app to stop its camera.
TEST_F(CameraTest, AChainThatBringsUpNoFrameSourceKeepsTryingAndStopsTheAppsCameraEachTime) {
    const std::size_t mark = module.LogMark();
    StreamGraph g(MEDIASUBTYPE_YUY2, k2997);
    // The frame channel's name taken first by a section that is no channel: the app does not publish
    // in it and the camera cannot read it, and the texture serves nothing here.
    const Zarvo::UniqueHandleNull squatter(
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 1 << 16, Zarvo::FrameChannel::kSectionName));
    ASSERT_TRUE(squatter);
    ServerProcess app(module.appData.Path());
    ASSERT_TRUE(g.connected);
    ASSERT_EQ(g.control->Run(), S_OK);
    const std::string connected = "webcamClient: Server Connected";
    const std::string stopped = "[ReleaseInternal] WebcamClient: Camera Stopped";
    // Two failed connections while streaming, then the host's Stop right as a third connects:
    // whatever step of the chain the Stop meets, the app hears that each connection is done.
    EXPECT_TRUE(module.WaitForLog(
        mark, [&](const Lines& lines) { return Count(lines, stopped) >= 2 && Count(lines, connected) >= 3; }, 60));
    const auto samples = g.WaitUntil([](const auto&) { return true; });
    const double stop = g.TimedStop();
    EXPECT_TRUE(module.WaitForLog(mark, [&](const Lines& lines) { return Count(lines, stopped) >= Count(lines, connected); }))
        << ::testing::PrintToString(module.LogSince(mark));

    ASSERT_FALSE(samples.empty());
    for (const auto& sample : samples)
        ASSERT_TRUE(g.classifier.Shows(sample, Shown::Starting) || g.classifier.Shows(sample, Shown::WaitingForApp));
    EXPECT_EQ(g.sink->endOfStreams, 0);
    EXPECT_LT(stop, kStopBound);
    const auto log = module.LogSince(mark);
    EXPECT_GE(Count(log, "[FillBuffer] source lost: no new frame for 2 s"), 1u);
    EXPECT_EQ(Count(log, "[FillBuffer] placeholder: "), 2u); // Starting, then waiting for the app
}

// A downstream filter asks the camera for its format, types and interfaces from Receive while the host
// stops the graph (the framework's own answers are the graph tests'): each is answered and Stop
// returns. Stops that come while the worker waits for its next slot end the stream on the app's last
// frame, not on a placeholder filled after Stop began.
TEST_F(CameraTest, QueriesFromReceiveDuringAStopAreAnsweredAndTheStreamEndsOnTheAppsLastFrame) {
    ServerProcess server(module.appData.Path());
    ASSERT_TRUE(server.WaitUntilLive());
    StreamGraph g(MEDIASUBTYPE_YUY2, k2997);
    ASSERT_TRUE(g.connected);
    // Reconnected through an allocator that tells when Stop has begun.
    Zarvo::UniqueHandleNull decommitted(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        inReceive(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ComPtr<IMemAllocator> platform;
    ASSERT_EQ(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&platform)),
              S_OK);
    g.sink->ownAllocator = new SignallingAllocator(platform, decommitted.get());
    ASSERT_EQ((std::tuple{g.graph->Disconnect(g.pin.Get()), g.graph->Disconnect(g.sink->Pin()),
                          g.graph->ConnectDirect(g.pin.Get(), g.sink->Pin(), nullptr)}),
              (std::tuple{S_OK, S_OK, S_OK}));
    const CMediaType adopted = MakeVideoType(MEDIASUBTYPE_YUY2, kWidth, kHeight, k2997);
    ComPtr<IAMStreamConfig> config;
    ASSERT_EQ(g.pin.As(&config), S_OK);
    const std::pair<const char*, std::function<bool()>> queries[] = {
        {"GetFormat",
         [&] {
             AM_MEDIA_TYPE* type = nullptr;
             const bool right = config->GetFormat(&type) == S_OK && adopted == *type;
             return DestroyMediaType(type), right;
         }},
        {"EnumMediaTypes",
         [&] {
             ComPtr<IEnumMediaTypes> types;
             AM_MEDIA_TYPE* type = nullptr;
             const bool right = g.pin->EnumMediaTypes(&types) == S_OK &&
                                types->Next(1, &type, nullptr) == S_OK && adopted == *type;
             return DestroyMediaType(type), right;
         }},
        {"QueryInterface",
         [&] {
             ComPtr<IAMStreamConfig> asConfig;
             ComPtr<IKsPropertySet> properties;
             return g.filter.As(&asConfig) == S_OK && g.filter.As(&properties) == S_OK;
         }},
    };
    std::atomic<bool> armed{false};
    std::vector<std::string> wrong;
    bool answered = false, signalled = false;
    g.sink->onReceive = [&] {
        if (!armed.exchange(false))
            return;
        SetEvent(inReceive.get());
        const bool stopping = WaitForSingleObject(decommitted.get(), 10000) == WAIT_OBJECT_0;
        std::vector<std::string> failed;
        for (const auto& [name, query] : queries)
            if (!query())
                failed.push_back(name);
        g.sink->Update([&] { wrong = failed, answered = true, signalled = stopping; });
    };
    ASSERT_EQ(g.control->Run(), S_OK);
    g.WaitForShown(Shown::Pattern, 0);
    ResetEvent(decommitted.get());
    armed = true;
    ASSERT_EQ(WaitForSingleObject(inReceive.get(), 10000), WAIT_OBJECT_0);
    ASSERT_EQ(g.control->Stop(), S_OK); // a deadlock here ends the program through the watchdog
    EXPECT_EQ((std::tuple{answered, signalled, wrong}), (std::tuple{true, true, std::vector<std::string>{}}));
    g.sink->onReceive = nullptr;

    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        const std::size_t from = g.WaitUntil([](auto&) { return true; }).size();
        ASSERT_EQ(g.control->Run(), S_OK);
        g.WaitForShown(Shown::Pattern, from, 2);
        // The sample just went: the worker now waits for the next one's slot.
        ASSERT_EQ(g.control->Stop(), S_OK);
        const auto samples = g.WaitUntil([](auto&) { return true; });
        ASSERT_GT(samples.size(), from);
        EXPECT_TRUE(g.classifier.Shows(samples.back(), Shown::Pattern));
        EXPECT_EQ(std::count_if(samples.begin() + std::ptrdiff_t(from), samples.end(),
                                [&](const auto& s) { return g.classifier.Shows(s, Shown::AppStopped); }),
                  0);
    }
}
