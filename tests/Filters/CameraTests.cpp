// The product module as a host sees it: loaded from a folder of its own, reached through its
// exports and the published interfaces only, in Wine's filter graph.

#include "../IPC/IpcTestSupport.h"
#include "../framework/TestFilters.h"

#include "Filters/Guids.h"

#include <ks.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <regex>
#include <thread>
#include <tuple>

using namespace Zarvo::Testing;
using FrameworkTest::TestSink;

namespace {

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using ExportFn = HRESULT(STDAPICALLTYPE*)();
const std::wstring kClsidText = L"{7C3E9A41-5B2D-4E8F-A6C1-2D94B7E05F13}";
const std::string kCameraStarted = "[Prepare/StartCamera] webcamClient: Camera Started";

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The module copied to a folder without the server, loaded once, with an APPDATA of its own.
struct Camera {
    static Camera& Instance() {
        static Camera module;
        return module;
    }

    ComPtr<IClassFactory> Factory() {
        ComPtr<IClassFactory> factory;
        EXPECT_EQ(getClassObject(CLSID_ZarvoWebcam, IID_PPV_ARGS(&factory)), S_OK);
        return factory;
    }

    // A new filter reads the settings file, so each one may have a resolution of its own.
    ComPtr<IBaseFilter> NewFilter(const char* resolution = "1920,1080") {
        WriteFileBytes(appData.SettingsFolder() + L"\\ZarvoWebcam.ini",
                       std::string("[Stream]\r\noutputResolution=") + resolution + "\r\n");
        ComPtr<IBaseFilter> filter;
        if (auto factory = Factory())
            EXPECT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&filter)), S_OK);
        return filter;
    }

    // The camera's log from line `mark` on; local time stamps read as "[tag] <time>".
    std::vector<std::string> LogSince(std::size_t mark = 0) const {
        static const std::regex stamp(R"(^(\[[^\]]*\] )\d{8}_\d{6}$)");
        WIN32_FIND_DATAW found{};
        const std::wstring logs = appData.SettingsFolder() + L"\\Logs\\";
        const HANDLE search = FindFirstFileW((logs + L"zvfilter_webcam_*.log").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE || !FindClose(search))
            return {};
        auto lines = ReadLogLines(logs + found.cFileName);
        lines.erase(lines.begin(), lines.begin() + std::min(mark, lines.size()));
        for (auto& line : lines)
            line = std::regex_replace(line, stamp, "$1<time>");
        return lines;
    }
    std::size_t LogMark() const { return LogSince().size(); }

    // Polls (a file: nothing signals a new line) until `line` shows up after `mark`, for 20 s at most.
    bool WaitForLogLine(std::size_t mark, const std::string& line) const {
        for (const auto end = Clock::now() + std::chrono::seconds(20); Clock::now() < end;
             std::this_thread::sleep_for(std::chrono::milliseconds(20)))
            if (Contains(LogSince(mark), line))
                return true;
        return false;
    }

    Camera() : appData("1920,1080") {
        SetEnvironmentVariableW(L"APPDATA", appData.Path().c_str());
        const std::wstring copy = folder / L"ZarvoWebcam.dll";
        EXPECT_TRUE(CopyFileW((ProgramFolder() + L"ZarvoWebcam.dll").c_str(), copy.c_str(), FALSE));
        handle = LoadLibraryW(copy.c_str());
        getClassObject = reinterpret_cast<GetClassObjectFn>(GetProcAddress(handle, "DllGetClassObject"));
        const auto exported = [&](const char* name) { return ExportFn(GetProcAddress(handle, name)); };
        canUnloadNow = exported("DllCanUnloadNow");
        registerServer = exported("DllRegisterServer"), unregisterServer = exported("DllUnregisterServer");
        EXPECT_TRUE(handle && getClassObject && canUnloadNow && registerServer && unregisterServer);
    }

    TempFolder folder;
    AppDataWithSettings appData;
    HMODULE handle = nullptr;
    GetClassObjectFn getClassObject = nullptr;
    ExportFn canUnloadNow = nullptr, registerServer = nullptr, unregisterServer = nullptr;
};

// Every test in the multithreaded apartment, like the host threads the camera serves.
struct CameraTest : ::testing::Test {
    FrameworkTest::ComScope com;
    Camera& module = Camera::Instance();
};

ComPtr<IPin> FirstPin(IBaseFilter* filter) {
    ComPtr<IPin> pin;
    EXPECT_TRUE(filter && filter->FindPin(L"1", &pin) == S_OK);
    return pin;
}

// A video type with a VIDEOINFOHEADER, or a block of another type or length; the header's
// compression and bit count are the subtype's unless `header` changes them.
CMediaType VideoType(const GUID& subtype, LONG width, LONG height, REFERENCE_TIME interval = 333666,
                     DWORD imageSize = 0, const GUID& formatType = FORMAT_VideoInfo,
                     ULONG blockSize = sizeof(VIDEOINFOHEADER),
                     const std::function<void(AM_MEDIA_TYPE&, BITMAPINFOHEADER&)>& change = {}) {
    CMediaType type;
    type.majortype = MEDIATYPE_Video, type.subtype = subtype, type.formattype = formatType;
    const WORD bits = subtype == MEDIASUBTYPE_YUY2 ? 16 : 12;
    VIDEOINFOHEADER info{{}, {}, 0, 0, interval, {sizeof(BITMAPINFOHEADER), width, height, 1, bits,
                                                  subtype.Data1, imageSize, 0, 0, 0, 0}};
    if (change)
        change(type, info.bmiHeader);
    type.SetFormatBlock(reinterpret_cast<const BYTE*>(&info), blockSize);
    return type;
}

// What a host reads from a type it was handed and then frees.
auto Describe(AM_MEDIA_TYPE* type) {
    const auto& info = *reinterpret_cast<const VIDEOINFOHEADER*>(type->pbFormat);
    const auto seen = std::tuple(type->majortype, type->subtype, type->formattype,
                                 type->cbFormat >= sizeof(info), info.bmiHeader.biWidth,
                                 info.bmiHeader.biHeight, info.bmiHeader.biSizeImage, info.AvgTimePerFrame);
    DestroyMediaType(type);
    return seen;
}

// `wanted` appear in `lines` in this order (other lines may come between).
bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& wanted) {
    auto at = lines.begin();
    for (const auto& line : wanted)
        if ((at = std::find(at, lines.end(), line)) == lines.end())
            return false;
        else
            ++at;
    return true;
}

// An outer unknown for aggregation: counts the references the inner object passes on.
struct CountingOuter final : IUnknown {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return riid == IID_IUnknown ? (*ppv = this, AddRef(), S_OK)
               : inner              ? inner->QueryInterface(riid, ppv)
                                    : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    ULONG refs = 1;
    IUnknown* inner = nullptr;
};

// A new camera connected to a recording sink in Wine's filter graph.
struct Graph {
    explicit Graph(const char* resolution)
        : filter(Camera::Instance().NewFilter(resolution)), sinkFilter(TestSink::Create(&sink)) {
        EXPECT_EQ((std::tuple{CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER,
                                               IID_PPV_ARGS(&graph)),
                              graph.As(&control), graph->AddFilter(filter.Get(), L"Zarvo Webcam"),
                              graph->AddFilter(sinkFilter.Get(), L"sink")}),
                  (std::tuple{S_OK, S_OK, S_OK, S_OK}));
        connected =
            (pin = FirstPin(filter.Get())) && graph->ConnectDirect(pin.Get(), sink->Pin(), nullptr) == S_OK;
    }
    ~Graph() { control->Stop(); }
    // All samples once `more` arrived after those already there; none if they do not come.
    std::vector<FrameworkTest::ReceivedSample> WaitForMoreSamples(std::size_t more) {
        std::unique_lock lock(sink->mutex);
        const std::size_t wanted = sink->samples.size() + more;
        if (!FrameworkTest::WaitFor(lock, sink->changed, [&] { return sink->samples.size() >= wanted; }))
            return {};
        return sink->samples;
    }

    TestSink* sink = nullptr; // set by the sink filter's creation, so declared before it
    ComPtr<IBaseFilter> filter, sinkFilter;
    ComPtr<IGraphBuilder> graph;
    ComPtr<IMediaControl> control;
    ComPtr<IPin> pin;
    bool connected = false;
};

std::wstring RegistryText(const std::wstring& key, const wchar_t* value = nullptr) {
    wchar_t text[512] = {};
    DWORD bytes = sizeof(text);
    const LONG read =
        RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), value, RRF_RT_REG_SZ, nullptr, text, &bytes);
    return read == ERROR_SUCCESS ? text : L"<missing>";
}

} // namespace

TEST_F(CameraTest, ClassObjectCodesAndWhenTheModuleMayUnload) {
    void* object = nullptr;
    EXPECT_EQ((std::tuple{module.getClassObject(CLSID_ZarvoWebcam, IID_IPersist, &object),
                          static_cast<void*>(object),
                          module.getClassObject(CLSID_FilterGraph, IID_IClassFactory, &object),
                          module.getClassObject(CLSID_ZarvoWebcam, IID_IClassFactory, nullptr),
                          module.canUnloadNow()}),
              (std::tuple{E_NOINTERFACE, nullptr, CLASS_E_CLASSNOTAVAILABLE, E_POINTER, S_OK}));
    auto factory = module.Factory();
    ASSERT_TRUE(factory);
    EXPECT_EQ(module.canUnloadNow(), S_FALSE); // a referenced factory holds the module
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory.Reset();
    EXPECT_EQ(module.canUnloadNow(), S_FALSE); // the lock alone holds it too
    EXPECT_EQ(module.Factory()->LockServer(FALSE), S_OK);
    EXPECT_EQ(module.canUnloadNow(), S_OK);

    // Aggregated, only as the inner unknown; outer identity, references passed on to the outer.
    factory = module.Factory();
    CountingOuter outer;
    EXPECT_EQ((std::tuple{factory->CreateInstance(&outer, IID_IBaseFilter, &object), object}),
              (std::tuple{E_NOINTERFACE, nullptr}));
    IUnknown* inner = nullptr;
    ASSERT_TRUE(factory->CreateInstance(&outer, IID_PPV_ARGS(&inner)) == S_OK && inner);
    outer.inner = inner;
    ComPtr<IBaseFilter> asFilter;
    ComPtr<IUnknown> identity;
    ASSERT_EQ(inner->QueryInterface(IID_PPV_ARGS(&asFilter)), S_OK);
    EXPECT_EQ((std::tuple{ULONG{outer.refs}, asFilter.As(&identity), identity.Get()}),
              (std::tuple{2ul, S_OK, static_cast<IUnknown*>(&outer)}));
    identity.Reset();
    asFilter.Reset();
    EXPECT_EQ((std::tuple{ULONG{outer.refs}, inner->Release()}), (std::tuple{1ul, 0ul}));
    factory.Reset();
    EXPECT_EQ(module.canUnloadNow(), S_OK);
}

// Never run, it logs only its life: no chain, no server, no thread, nothing that keeps the module.
TEST_F(CameraTest, PublishedInterfacesAnswerAsACaptureDeviceAndANeverRunOneStartsNothing) {
    const auto mark = module.LogMark();
    {
        auto filter = module.NewFilter();
        auto pin = FirstPin(filter.Get());
        ASSERT_TRUE(pin);
        ComPtr<IPin> none;
        PIN_INFO info{};
        EXPECT_EQ((std::tuple{filter->FindPin(L"2", &none), pin->QueryPinInfo(&info),
                              std::wstring(info.achName), info.dir, info.pFilter == filter.Get()}),
                  (std::tuple{VFW_E_NOT_FOUND, S_OK, std::wstring(L"Video"), PINDIR_OUTPUT, true}));
        if (info.pFilter)
            info.pFilter->Release();

        // The filter hands out the pin's IAMStreamConfig itself, with a reference of its own.
        ComPtr<IAMStreamConfig> fromPin, fromFilter;
        ASSERT_EQ(pin.As(&fromPin), S_OK);
        const ULONG before = (fromPin->AddRef(), fromPin->Release()); // its reference count
        EXPECT_EQ(
            (std::tuple{filter.As(&fromFilter), fromFilter.Get(), (fromPin->AddRef(), fromPin->Release())}),
            (std::tuple{S_OK, fromPin.Get(), before + 1}));

        // Its own clock, whatever clock the graph chose.
        ComPtr<IReferenceClock> own, system, again, chosen;
        REFERENCE_TIME now = 0;
        ASSERT_TRUE(filter.As(&own) == S_OK &&
                    CoCreateInstance(CLSID_SystemClock, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_PPV_ARGS(&system)) == S_OK);
        EXPECT_EQ((std::tuple{SUCCEEDED(own->GetTime(&now)), filter->SetSyncSource(system.Get()),
                              filter.As(&again), again.Get(), filter->GetSyncSource(&chosen), chosen.Get(),
                              filter->SetSyncSource(nullptr)}),
                  (std::tuple{true, S_OK, S_OK, own.Get(), S_OK, system.Get(), S_OK}));

        // A capture pin, read-only: size query, short buffer, the category, unknown id and set.
        ComPtr<IKsPropertySet> ks;
        ASSERT_EQ(pin.As(&ks), S_OK);
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
                              ks->QuerySupported(set, id, &support), support,
                              ks->Set(set, id, nullptr, 0, &category, 16)}),
                  (std::tuple{S_OK, 16ul, E_UNEXPECTED, S_OK, PIN_CATEGORY_CAPTURE, E_PROP_ID_UNSUPPORTED,
                              E_PROP_SET_UNSUPPORTED, S_OK, static_cast<DWORD>(KSPROPERTY_SUPPORT_GET),
                              E_NOTIMPL}));
    }
    EXPECT_EQ(module.canUnloadNow(), S_OK);
    const auto lines = module.LogSince(mark);
    const std::string all = ::testing::PrintToString(lines);
    ASSERT_TRUE(lines.size() >= 5 && InOrder(lines, {"[CVCam]  ", "[CVCamStream]  ", "[~CVCamStream]  ",
                                                     "[ReleaseInternal] <time>"}))
        << all;
    const std::regex released(R"(\[ReleaseInternal\] exception: Filters\.cpp:.*)"
                              R"(:This function cannot be called on a default constructed task.*)");
    EXPECT_TRUE(std::regex_match(lines.back(), released)) << lines.back();
    EXPECT_TRUE(all.find("Prepare/") == std::string::npos && all.find("OnThreadCreate") == std::string::npos)
        << all;
}

// COM identity: every interface the pin answers is reachable from every other, through the same
// IUnknown; the filter's likewise, and the stream-config, property-set and clock interfaces it
// hands out are always the pin's and the clock's own objects.
TEST_F(CameraTest, PinAndFilterInterfacesAreSymmetricTransitiveAndOfOneIdentity) {
    auto filter = module.NewFilter();
    auto pin = FirstPin(filter.Get());
    ASSERT_TRUE(pin);
    const auto query = [](IUnknown* from, REFIID iid) {
        ComPtr<IUnknown> got;
        const HRESULT hr = from->QueryInterface(iid, reinterpret_cast<void**>(got.GetAddressOf()));
        EXPECT_EQ(hr == S_OK, got != nullptr);
        return got;
    };
    const auto identity = [&](IUnknown* from) { return query(from, IID_IUnknown); };
    // Each interface of an object, queried from each of its interfaces, is the same pointer.
    const auto checkObject = [&](IUnknown* object, const std::vector<IID>& iids, const std::vector<IID>& not_) {
        const auto self = identity(object);
        ASSERT_TRUE(self);
        EXPECT_EQ(identity(self.Get()), self);
        for (const auto& iid : iids) {
            const auto first = query(object, iid);
            ASSERT_TRUE(first) << ::testing::PrintToString(iid);
            EXPECT_EQ(identity(first.Get()), self);
            for (const auto& other : iids) {
                const auto there = query(first.Get(), other);
                EXPECT_TRUE(there && query(there.Get(), iid) == first) << ::testing::PrintToString(other);
                EXPECT_EQ(there, query(self.Get(), other));
            }
            for (const auto& absent : not_)
                EXPECT_FALSE(query(first.Get(), absent));
        }
    };
    checkObject(pin.Get(), {IID_IUnknown, IID_IPin, IID_IQualityControl, IID_IAMStreamConfig, IID_IKsPropertySet},
                {IID_IBaseFilter, IID_IReferenceClock, IID_IMemInputPin});
    checkObject(filter.Get(), {IID_IUnknown, IID_IBaseFilter, IID_IMediaFilter, IID_IPersist, IID_IAMovieSetup},
                {IID_IPin, IID_IMemInputPin});
    ComPtr<IReferenceClock> clock;
    ASSERT_EQ(filter.As(&clock), S_OK);
    checkObject(clock.Get(), {IID_IUnknown, IID_IReferenceClock, __uuidof(IReferenceClockTimerControl)},
                {IID_IBaseFilter, IID_IPin});
    for (const auto& iid : {IID_IUnknown, IID_IBaseFilter, IID_IMediaFilter, IID_IPersist, IID_IAMovieSetup}) {
        const auto face = query(filter.Get(), iid);
        EXPECT_EQ((std::tuple{query(face.Get(), IID_IAMStreamConfig), query(face.Get(), IID_IKsPropertySet),
                              query(face.Get(), IID_IReferenceClock)}),
                  (std::tuple{query(pin.Get(), IID_IAMStreamConfig), query(pin.Get(), IID_IKsPropertySet),
                              query(clock.Get(), IID_IReferenceClock)}));
    }
}

// One YUY2 format at 29.97 fps, of the set size; a setting that is not "w,h" gives 1080p.
TEST_F(CameraTest, FormatsFollowTheSettings) {
    for (const auto& [setting, width, height] :
         {std::tuple{"1280,720", 1280L, 720L}, std::tuple{"1920,1080", 1920L, 1080L},
          std::tuple{"1280, 720", 1920L, 1080L}}) {
        SCOPED_TRACE(setting);
        auto filter = module.NewFilter(setting);
        auto pin = FirstPin(filter.Get());
        ASSERT_TRUE(pin);
        ComPtr<IAMStreamConfig> config;
        ASSERT_EQ(pin.As(&config), S_OK);
        const LONG bitsPerSecond = 29 * width * height * 16; // (10^7 / 333666 truncated) frames
        const auto expected = std::tuple(MEDIATYPE_Video, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, true, width,
                                         height, DWORD(width * height * 2), REFERENCE_TIME(333666));

        // The current format, the one capability and the one type the pin offers all describe it.
        AM_MEDIA_TYPE* format = nullptr;
        ASSERT_EQ(config->GetFormat(&format), S_OK);
        EXPECT_EQ(Describe(format), expected);
        int count = 0, size = 0;
        VIDEO_STREAM_CONFIG_CAPS caps{};
        ASSERT_EQ(config->GetStreamCaps(0, &format, reinterpret_cast<BYTE*>(&caps)), S_OK);
        EXPECT_EQ(Describe(format), expected);
        EXPECT_EQ(
            (std::tuple{config->GetNumberOfCapabilities(&count, &size), count, size, caps.InputSize.cx,
                        caps.InputSize.cy, caps.MinFrameInterval, caps.MaxFrameInterval,
                        caps.MinBitsPerSecond, caps.MaxBitsPerSecond,
                        config->GetStreamCaps(1, &format, reinterpret_cast<BYTE*>(&caps))}),
            (std::tuple{S_OK, 1, int(sizeof(VIDEO_STREAM_CONFIG_CAPS)), width, height, REFERENCE_TIME(333666),
                        REFERENCE_TIME(333666), bitsPerSecond, bitsPerSecond, E_INVALIDARG}));
        ComPtr<IEnumMediaTypes> types;
        ASSERT_EQ(pin->EnumMediaTypes(&types), S_OK);
        AM_MEDIA_TYPE* offered[2] = {};
        ULONG fetched = 0;
        ASSERT_EQ((std::tuple{types->Next(2, offered, &fetched), fetched}), (std::tuple{S_FALSE, 1ul}));
        EXPECT_EQ(Describe(offered[0]), expected);
    }
    EXPECT_EQ(module.canUnloadNow(), S_OK);
}

TEST_F(CameraTest, AcceptsOnlyWhatTheDeliveryProduces) {
    auto filter = module.NewFilter("1280,720");
    auto pin = FirstPin(filter.Get());
    ASSERT_TRUE(pin);
    const GUID &yuy2 = MEDIASUBTYPE_YUY2, &nv12 = MEDIASUBTYPE_NV12, &iyuv = MEDIASUBTYPE_IYUV;

    // Refusals name their reason ("" accepts); the subtype is checked first; a short block is not read.
    std::vector<std::pair<CMediaType, std::string>> cases = {
        {VideoType(yuy2, 1280, 720, 333666, 1280 * 720 * 2), ""},
        {VideoType(nv12, 1280, 720, 333666, 1280 * 720 * 3 / 2), ""},
        {VideoType(MEDIASUBTYPE_RGB24, 1280, 720, 333666, 0, FORMAT_VideoInfo2), "invalid subtype"},
        {VideoType(yuy2, 1280, 720, 333666, 0, FORMAT_VideoInfo2), "invalid info"},
        {VideoType(yuy2, 1280, 720, 333666, 0, FORMAT_VideoInfo, sizeof(VIDEOINFOHEADER) - 1),
         "invalid format size"},
        {VideoType(nv12, 1280, 720, 166665), "invalid AvgTimePerFrame166665"},
        {VideoType(nv12, 1280, 720, 1000001), "invalid AvgTimePerFrame1000001"},
        {VideoType(nv12, 640, 480), "invalid size 640,480"},
        {VideoType(yuy2, 1920, -1080), "invalid size 1920,-1080"},
        {VideoType(yuy2, 1280, 720, 333666, 1280 * 720 * 2 - 1), "invalid image size 1843199"},
        {VideoType(iyuv, 1280, 720, 333666, 1280 * 720 * 3 / 2 - 1), "invalid image size 1382399"}};
    for (const GUID* subtype : {&yuy2, &nv12, &iyuv}) // also top-down at the fastest, and the slowest
        for (const auto& [height, interval] : std::initializer_list<std::pair<LONG, REFERENCE_TIME>>{
                 {720, 333666}, {-720, 166666}, {720, 1000000}})
            cases.emplace_back(VideoType(*subtype, 1280, height, interval), "");
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& [type, reason] = cases[i];
        SCOPED_TRACE("case " + std::to_string(i) + ": " + reason);
        const auto mark = module.LogMark();
        EXPECT_EQ(pin->QueryAccept(&type), reason.empty() ? S_OK : S_FALSE);
        const auto lines = module.LogSince(mark);
        EXPECT_TRUE(reason.empty() || Contains(lines, "[CheckMediaType] " + reason));
        EXPECT_EQ(Contains(lines, "[CheckMediaType] invalid info"), reason == "invalid info");
    }

    // SetFormat adopts an accepted type, and a refused one leaves it in place.
    ComPtr<IAMStreamConfig> config;
    ASSERT_EQ(pin.As(&config), S_OK);
    CMediaType adopted = VideoType(nv12, 1280, 720, 500000), wrong = VideoType(nv12, 640, 480);
    const auto mark = module.LogMark();
    ASSERT_EQ(config->SetFormat(&adopted), S_OK);
    EXPECT_TRUE(Contains(module.LogSince(mark), "[SetMediaType] w/h, 1280,720"));
    EXPECT_EQ((std::tuple{config->SetFormat(&wrong), config->SetFormat(nullptr)}),
              (std::tuple{E_FAIL, E_FAIL}));
    AM_MEDIA_TYPE* format = nullptr;
    ASSERT_EQ(config->GetFormat(&format), S_OK);
    EXPECT_EQ(Describe(format), (std::tuple{MEDIATYPE_Video, nv12, FORMAT_VideoInfo, true, 1280L, 720L,
                                            DWORD(0), REFERENCE_TIME(500000)}));
}

// Types that do not describe a sane frame are refused alike by QueryAccept, SetFormat and Connect,
// each with one line naming its reason, and change nothing: the camera still connects afterwards.
TEST_F(CameraTest, MalformedTypesAreRefusedThroughEveryEntryPoint) {
    using Change = std::function<void(AM_MEDIA_TYPE&, BITMAPINFOHEADER&)>;
    const GUID &yuy2 = MEDIASUBTYPE_YUY2, &nv12 = MEDIASUBTYPE_NV12, &iyuv = MEDIASUBTYPE_IYUV;
    const DWORD yuy2Frame = 1280 * 720 * 2, planarFrame = 1280 * 720 * 3 / 2;
    const auto major = [](GUID g) { return Change([g](AM_MEDIA_TYPE& t, BITMAPINFOHEADER&) { t.majortype = g; }); };
    const auto compression = [](DWORD c) { return Change([c](AM_MEDIA_TYPE&, BITMAPINFOHEADER& h) { h.biCompression = c; }); };
    const auto bits = [](WORD b) { return Change([b](AM_MEDIA_TYPE&, BITMAPINFOHEADER& h) { h.biBitCount = b; }); };
    const struct {
        const GUID& subtype;
        DWORD imageSize;
        Change change;
        std::string reason;
        HRESULT connect = VFW_E_TYPE_NOT_ACCEPTED;
    } cases[] = {
        {yuy2, 0, major(MEDIATYPE_Audio), "invalid major type"},
        // As a partial type in Connect a null major type is a wildcard: the pin's own type matches it.
        {yuy2, yuy2Frame, major(GUID_NULL), "invalid major type", S_OK},
        {nv12, 0, major(CLSID_ZarvoWebcam), "invalid major type"},
        {yuy2, 0x7FFFFFFF, {}, "invalid image size 2147483647"},
        {iyuv, 326269851, {}, "invalid image size 326269851"},
        {yuy2, 2 * yuy2Frame + 1, {}, "invalid image size " + std::to_string(2 * yuy2Frame + 1)},
        {nv12, 2 * planarFrame + 1, {}, "invalid image size " + std::to_string(2 * planarFrame + 1)},
        {nv12, 0, compression(MAKEFOURCC('I', 'Y', 'U', 'V')), "invalid compression 1448433993"},
        {iyuv, 0, compression(BI_RGB), "invalid compression 0"},
        {yuy2, 0, compression(MAKEFOURCC('N', 'V', '1', '2')), "invalid compression 842094158"},
        {yuy2, 0, bits(15), "invalid bit count 15"},
        {nv12, 0, bits(4), "invalid bit count 4"},
        {iyuv, 0, bits(16), "invalid bit count 16"},
        // The bounds themselves are fine: a whole frame, and twice one.
        {yuy2, 2 * yuy2Frame, {}, "", S_OK},
        {nv12, planarFrame, {}, "", S_OK},
        {iyuv, 2 * planarFrame, {}, "", S_OK},
    };
    Graph g("1280,720");
    ASSERT_TRUE(g.connected);
    ASSERT_EQ(g.pin->Disconnect(), S_OK);
    ASSERT_EQ(g.sink->Pin()->Disconnect(), S_OK);
    ComPtr<IAMStreamConfig> config;
    ASSERT_EQ(g.pin.As(&config), S_OK);
    const CMediaType good = VideoType(yuy2, 1280, 720, 333666, yuy2Frame);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason.empty() ? std::to_string(c.imageSize) : c.reason);
        CMediaType type = VideoType(c.subtype, 1280, 720, 333666, c.imageSize, FORMAT_VideoInfo,
                                    sizeof(VIDEOINFOHEADER), c.change);
        const bool refused = !c.reason.empty();
        const auto mark = module.LogMark();
        EXPECT_EQ(g.pin->QueryAccept(&type), refused ? S_FALSE : S_OK);
        EXPECT_EQ(config->SetFormat(&type), refused ? E_FAIL : S_OK);
        AM_MEDIA_TYPE* format = nullptr;
        ASSERT_EQ(config->GetFormat(&format), S_OK);
        EXPECT_EQ(Describe(format), Describe(CloneMediaType(refused ? good : type))); // kept, or adopted
        EXPECT_EQ(g.pin->Connect(g.sink->Pin(), &type), c.connect);
        const auto lines = module.LogSince(mark);
        if (refused)
            EXPECT_EQ(std::count(lines.begin(), lines.end(), "[CheckMediaType] " + c.reason),
                      c.connect == S_OK ? 2 : 3)
                << ::testing::PrintToString(lines);
        // Whatever was refused, the camera still connects to a video sink with its own type.
        g.pin->Disconnect(), g.sink->Pin()->Disconnect();
        ASSERT_EQ(config->SetFormat(const_cast<CMediaType*>(&good)), S_OK);
        ASSERT_EQ(g.pin->Connect(g.sink->Pin(), nullptr), S_OK);
        ASSERT_EQ((std::tuple{g.pin->Disconnect(), g.sink->Pin()->Disconnect()}), (std::tuple{S_OK, S_OK}));
    }
}

// A new format on a connected pin: a peer that refuses it, when asked or when reconnected, leaves
// the connection with the type both sides agreed to; one that takes it gets it.
TEST_F(CameraTest, SetFormatOnAConnectedPinLeavesTheConnectionConsistent) {
    const CMediaType yuy2 = VideoType(MEDIASUBTYPE_YUY2, 1280, 720, 333666, 1280 * 720 * 2),
                     nv12 = VideoType(MEDIASUBTYPE_NV12, 1280, 720);
    const std::function<HRESULT(const AM_MEDIA_TYPE&)> refuseNv12 = [](const AM_MEDIA_TYPE& t) {
        return t.subtype == MEDIASUBTYPE_NV12 ? S_FALSE : S_OK;
    };
    Graph g("1280,720");
    ASSERT_TRUE(g.connected);
    ComPtr<IAMStreamConfig> config;
    ASSERT_EQ(g.pin.As(&config), S_OK);
    const auto connectionType = [](IPin* pin) {
        CMediaType type;
        return pin->ConnectionMediaType(&type) == S_OK ? Describe(CloneMediaType(type)) : decltype(Describe(nullptr)){};
    };
    for (const bool askedFirst : {true, false}) {
        SCOPED_TRACE(askedFirst);
        g.sink->queryAccept = askedFirst ? refuseNv12 : std::function<HRESULT(const AM_MEDIA_TYPE&)>();
        g.sink->accept = refuseNv12;
        const HRESULT hr = config->SetFormat(const_cast<CMediaType*>(&nv12));
        EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
        AM_MEDIA_TYPE* format = nullptr;
        ASSERT_EQ(config->GetFormat(&format), S_OK);
        EXPECT_EQ((std::tuple{connectionType(g.pin.Get()), connectionType(g.sink->Pin()), Describe(format)}),
                  (std::tuple{Describe(CloneMediaType(yuy2)), Describe(CloneMediaType(yuy2)),
                              Describe(CloneMediaType(yuy2))}));
    }
    // The filter leaves Stopped while SetFormat is under way (here: while the peer is asked):
    // the stream runs with the type its buffers were made for, and SetFormat fails.
    g.sink->accept = nullptr;
    g.sink->queryAccept = [&](const AM_MEDIA_TYPE&) { return g.filter->Pause(), S_OK; };
    EXPECT_EQ(config->SetFormat(const_cast<CMediaType*>(&nv12)), E_FAIL);
    g.sink->queryAccept = nullptr;
    AM_MEDIA_TYPE* format = nullptr;
    ASSERT_EQ(config->GetFormat(&format), S_OK);
    EXPECT_EQ((std::tuple{connectionType(g.pin.Get()), Describe(format)}),
              (std::tuple{Describe(CloneMediaType(yuy2)), Describe(CloneMediaType(yuy2))}));
    ASSERT_EQ(g.filter->Stop(), S_OK);

    ASSERT_EQ(config->SetFormat(const_cast<CMediaType*>(&nv12)), S_OK);
    EXPECT_EQ((std::tuple{connectionType(g.pin.Get()), connectionType(g.sink->Pin())}),
              (std::tuple{Describe(CloneMediaType(nv12)), Describe(CloneMediaType(nv12))}));
}

// Host threads reading the format while another sets it see one whole type or the other, never a
// block that is being freed.
TEST_F(CameraTest, FormatReadersRacingSetFormatSeeWholeTypes) {
    auto filter = module.NewFilter("1280,720");
    auto pin = FirstPin(filter.Get());
    ComPtr<IAMStreamConfig> config;
    ASSERT_TRUE(pin && pin.As(&config) == S_OK);
    CMediaType types[] = {VideoType(MEDIASUBTYPE_YUY2, 1280, 720, 333666, 1280 * 720 * 2),
                          VideoType(MEDIASUBTYPE_NV12, 1280, -720, 500000, 1280 * 720 * 3 / 2)};
    const auto whole = {Describe(CloneMediaType(types[0])), Describe(CloneMediaType(types[1]))};
    std::atomic<bool> done{false};
    std::atomic<int> torn{0}, reads{0};
    std::thread reader([&] {
        FrameworkTest::ComScope com;
        VIDEO_STREAM_CONFIG_CAPS caps{};
        while (!done) {
            AM_MEDIA_TYPE* a = nullptr;
            AM_MEDIA_TYPE* b = nullptr;
            if (config->GetFormat(&a) != S_OK || config->GetStreamCaps(0, &b, reinterpret_cast<BYTE*>(&caps)) != S_OK ||
                !a || !b || !a->pbFormat || !b->pbFormat) {
                ++torn;
                DestroyMediaType(a), DestroyMediaType(b);
                continue;
            }
            for (auto* type : {a, b})
                if (std::find(whole.begin(), whole.end(), Describe(type)) == whole.end())
                    ++torn;
            ++reads;
        }
    });
    for (int i = 0; i < 300; ++i)
        ASSERT_EQ(config->SetFormat(&types[i % 2]), S_OK);
    done = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(reads.load(), 0);
}

// With the server: frames come, a Stop stops the server's camera, and a new Run starts over.
TEST_F(CameraTest, StopAndRunAgainConnectsAndDeliversAgain) {
    ServerProcess server(module.appData.Path());
    ASSERT_TRUE(server.WaitUntilLive());
    {
        Graph g("1280,720");
        ASSERT_TRUE(g.connected);
        ComPtr<IAMStreamConfig> config;
        ASSERT_EQ(g.pin.As(&config), S_OK);
        for (int run = 1; run <= 2; ++run) {
            SCOPED_TRACE(run);
            const auto runMark = module.LogMark();
            ASSERT_EQ(g.control->Run(), S_OK);
            ASSERT_TRUE(module.WaitForLogLine(runMark, "[FillBuffer] mFrameClientTask.is_done"));
            const auto samples = g.WaitForMoreSamples(3);
            ASSERT_FALSE(samples.empty());
            EXPECT_EQ(samples.back().bytes.size(), 1280u * 720u * 2u); // the whole YUY2 frame

            // The format cannot change under a running stream, and is not even looked at.
            CMediaType same = VideoType(MEDIASUBTYPE_YUY2, 1280, 720);
            const auto setMark = module.LogMark();
            EXPECT_EQ(config->SetFormat(&same), E_FAIL);
            const auto setLines = module.LogSince(setMark);
            EXPECT_TRUE(Contains(setLines, "[SetFormat] state: 2"));
            EXPECT_EQ(::testing::PrintToString(setLines).find("[CheckMediaType]"), std::string::npos);

            ASSERT_EQ(g.control->Stop(), S_OK);
            ASSERT_TRUE(
                module.WaitForLogLine(runMark, "[ReleaseInternal] WebcamClient: Server Disconnected"))
                << ::testing::PrintToString(module.LogSince(runMark));
            // Once per run (the steps between are the e2e scripts' to check).
            const auto lines = module.LogSince(runMark);
            EXPECT_EQ(std::count(lines.begin(), lines.end(), kCameraStarted), 1);
            EXPECT_TRUE(InOrder(
                lines, {"[OnThreadCreate] <time>", "[Prepare/ConnectToServer] webcamClient: Server Connected",
                        kCameraStarted, "[OnThreadDestroy] <time>", "[ReleaseInternal] <time>",
                        "[ReleaseInternal] WebcamClient: Camera Stopped",
                        "[ReleaseInternal] WebcamClient: Server Disconnected"}))
                << ::testing::PrintToString(lines);
        }
    }
    EXPECT_EQ(module.canUnloadNow(), S_OK); // nothing of it is left once the release tasks are done
}

// Without any server: placeholder samples (untimed) flow and the host's Stop still returns.
TEST_F(CameraTest, WithoutAServerPlaceholdersFlowAndStopReturns) {
    ASSERT_NE(WaitForSingleObject(OpenServerLiveEvent().get(), 0), WAIT_OBJECT_0) << "a server still runs";
    Graph g("1280,720");
    ASSERT_TRUE(g.connected);
    const auto mark = module.LogMark();
    ASSERT_TRUE(SUCCEEDED(g.control->Run()));
    const auto samples = g.WaitForMoreSamples(5);
    ASSERT_FALSE(samples.empty());
    for (const auto& sample : samples)
        EXPECT_TRUE(sample.start == 0 && sample.stop == 0);
    ASSERT_EQ(g.control->Stop(), S_OK);
    const auto lines = module.LogSince(mark);
    EXPECT_FALSE(Contains(lines, "[FillBuffer] mFrameClientTask.is_done") || Contains(lines, kCameraStarted));
    EXPECT_TRUE(Contains(lines, "[OnThreadDestroy] <time>"));
}

// The class and the device entry, once however often registered (the e2e scripts list the device),
// go again; unregistering twice reports what the filter mapper says.
TEST_F(CameraTest, RegistersAsAVideoInputDeviceAndUnregistersCleanly) {
    const std::wstring key = L"CLSID\\" + kClsidText,
                       device = L"CLSID\\{860BB310-5D01-11D0-BD3B-00A0C911CE86}\\Instance\\" + kClsidText;
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module.handle, path, MAX_PATH);
    ASSERT_EQ((std::tuple{module.registerServer(), module.registerServer()}), (std::tuple{S_OK, S_OK}));
    EXPECT_EQ(_wcsicmp(RegistryText(key + L"\\InprocServer32").c_str(), path), 0);
    EXPECT_EQ((std::tuple{RegistryText(key), RegistryText(key + L"\\InprocServer32", L"ThreadingModel"),
                          RegistryText(device, L"FriendlyName"), RegistryText(device, L"CLSID")}),
              (std::tuple{std::wstring(L"Zarvo Webcam"), std::wstring(L"Both"), std::wstring(L"Zarvo Webcam"),
                          kClsidText}));
    HKEY gone = nullptr;
    EXPECT_EQ((std::tuple{module.unregisterServer(),
                          RegOpenKeyExW(HKEY_CLASSES_ROOT, device.c_str(), 0, KEY_READ, &gone),
                          RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &gone)}),
              (std::tuple{S_OK, LONG(ERROR_FILE_NOT_FOUND), LONG(ERROR_FILE_NOT_FOUND)}));
    ComPtr<IFilterMapper2> mapper;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&mapper)),
              S_OK);
    const HRESULT mapperSays =
        mapper->UnregisterFilter(&CLSID_VideoInputDeviceCategory, nullptr, CLSID_ZarvoWebcam);
    EXPECT_EQ(module.unregisterServer(), SUCCEEDED(mapperSays) ? S_OK : mapperSays);
    EXPECT_EQ(module.canUnloadNow(), S_OK);
}
