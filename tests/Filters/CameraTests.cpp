// The product module as a host sees it: loaded from a folder of its own, reached through its
// exports and the published interfaces only, in Wine's filter graph.

#include "../IPC/IpcTestSupport.h"
#include "../framework/TestFilters.h"

#include "Filters/Guids.h"

#include <gtest/gtest.h>

#include <dshow.h>
#include <dvdmedia.h>
#include <ks.h>
#include <ksmedia.h>
#include <windows.h>
#include <wrl/client.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

using Microsoft::WRL::ComPtr;
using namespace Zarvo::Testing;
using FrameworkTest::TestSink;

namespace {

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using CanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();

// The built module copied into a folder without the companion server, loaded once, with an
// application-data folder of its own (set before the first filter opens its log there).
class CameraModule {
public:
    static CameraModule& Instance() {
        static CameraModule module;
        return module;
    }

    void WriteResolution(const char* text) {
        const std::wstring folder = mAppData.Path() + L"\\Zarvo\\Zarvo Webcam";
        CreateDirectoryW((mAppData.Path() + L"\\Zarvo").c_str(), nullptr);
        CreateDirectoryW(folder.c_str(), nullptr);
        WriteFileBytes(folder + L"\\ZarvoWebcam.ini",
                       std::string("[Stream]\r\noutputResolution=") + text + "\r\n");
    }

    ComPtr<IClassFactory> Factory() {
        ComPtr<IClassFactory> factory;
        EXPECT_EQ(getClassObject(CLSID_ZarvoWebcam, IID_IClassFactory,
                                 reinterpret_cast<void**>(factory.GetAddressOf())),
                  S_OK);
        return factory;
    }

    ComPtr<IBaseFilter> NewFilter(const char* resolution = "1920,1080") {
        WriteResolution(resolution);
        ComPtr<IBaseFilter> filter;
        auto factory = Factory();
        if (factory)
            EXPECT_EQ(factory->CreateInstance(nullptr, IID_IBaseFilter,
                                              reinterpret_cast<void**>(filter.GetAddressOf())),
                      S_OK);
        return filter;
    }

    // The camera's log since `mark` (bytes). Time lines, in milliseconds or as local time stamps, read as
    // "[tag] <time>".
    std::vector<std::string> LogSince(std::size_t mark) const {
        const std::wstring path = LogPath();
        if (path.empty())
            return {};
        static const std::regex stamp(R"(^(\[[^\]]*\] )\d{8}_\d{6}$)");
        auto lines = ReadLogLines(path, mark);
        for (auto& line : lines) {
            std::smatch match;
            if (std::regex_match(line, match, stamp))
                line = match[1].str() + "<time>";
        }
        return lines;
    }
    std::size_t LogMark() const {
        const std::wstring path = LogPath();
        return path.empty() ? 0 : ReadFileBytes(path).size();
    }

    // Polls the camera's log (a file: nothing signals a new line) until `line` shows up after
    // `mark` `count` times, or 20 s pass.
    bool WaitForLogLine(std::size_t mark, const std::string& line, int count = 1) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            const auto lines = LogSince(mark);
            if (std::count(lines.begin(), lines.end(), line) >= count)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    const std::wstring& AppData() const { return mAppData.Path(); }
    HMODULE Handle() const { return mModule; }

    GetClassObjectFn getClassObject = nullptr;
    CanUnloadNowFn canUnloadNow = nullptr;

private:
    CameraModule() : mAppData("1920,1080") {
        SetEnvironmentVariableW(L"APPDATA", mAppData.Path().c_str());
        const std::wstring copy = mFolder / L"ZarvoWebcam.dll";
        EXPECT_TRUE(CopyFileW((ProgramFolder() + L"ZarvoWebcam.dll").c_str(), copy.c_str(), FALSE));
        mModule = LoadLibraryW(copy.c_str());
        EXPECT_NE(mModule, nullptr);
        getClassObject = reinterpret_cast<GetClassObjectFn>(GetProcAddress(mModule, "DllGetClassObject"));
        canUnloadNow = reinterpret_cast<CanUnloadNowFn>(GetProcAddress(mModule, "DllCanUnloadNow"));
        EXPECT_NE(getClassObject, nullptr);
        EXPECT_NE(canUnloadNow, nullptr);
    }

    std::wstring LogPath() const {
        WIN32_FIND_DATAW found{};
        const std::wstring logs = mAppData.Path() + L"\\Zarvo\\Zarvo Webcam\\Logs\\";
        HANDLE search = FindFirstFileW((logs + L"zvfilter_webcam_*.log").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE)
            return {};
        FindClose(search);
        return logs + found.cFileName;
    }

    TempFolder mFolder;
    AppDataWithSettings mAppData;
    HMODULE mModule = nullptr;
};

struct Com {
    Com() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    ~Com() { CoUninitialize(); }
};

ComPtr<IPin> FirstPin(IBaseFilter* filter) {
    ComPtr<IPin> pin;
    EXPECT_EQ(filter->FindPin(L"1", &pin), S_OK);
    return pin;
}

ULONG RefCount(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

// A YUY2/NV12/IYUV video type with a VIDEOINFOHEADER.
CMediaType VideoType(const GUID& subtype, LONG width, LONG height, REFERENCE_TIME interval = 333666,
                     DWORD imageSize = 0) {
    CMediaType type;
    type.majortype = MEDIATYPE_Video;
    type.subtype = subtype;
    type.formattype = FORMAT_VideoInfo;
    VIDEOINFOHEADER info{};
    info.AvgTimePerFrame = interval;
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biSizeImage = imageSize;
    type.SetFormatBlock(reinterpret_cast<const BYTE*>(&info), sizeof(info));
    return type;
}

HRESULT Accept(IPin* pin, const CMediaType& type) {
    return pin->QueryAccept(&type);
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// `wanted` appear in `lines` in this order (other lines may come between).
bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& wanted) {
    auto at = lines.begin();
    for (const auto& line : wanted) {
        at = std::find(at, lines.end(), line);
        if (at == lines.end())
            return false;
        ++at;
    }
    return true;
}

// A unknown of our own for aggregation: counts the references the inner object passes on.
class CountingOuter final : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        return inner ? inner->QueryInterface(riid, ppv) : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    ULONG refs = 1;
    IUnknown* inner = nullptr;
};

} // namespace

TEST(CameraModule, ClassObjectCodesAndWhenTheModuleMayUnload) {
    Com com;
    auto& module = CameraModule::Instance();
    ASSERT_NE(module.getClassObject, nullptr);

    void* object = nullptr;
    EXPECT_EQ((std::tuple{module.getClassObject(CLSID_ZarvoWebcam, IID_IPersist, &object), object,
                          module.getClassObject(CLSID_FilterGraph, IID_IClassFactory, &object),
                          module.getClassObject(CLSID_ZarvoWebcam, IID_IClassFactory, nullptr),
                          module.canUnloadNow()}),
              (std::tuple{E_NOINTERFACE, nullptr, CLASS_E_CLASSNOTAVAILABLE, E_POINTER, S_OK}));
    {
        auto factory = module.Factory();
        ASSERT_TRUE(factory);
        EXPECT_EQ(module.canUnloadNow(), S_FALSE); // a referenced factory holds the module
        EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    }
    EXPECT_EQ(module.canUnloadNow(), S_FALSE); // the lock alone holds it too
    {
        auto factory = module.Factory();
        EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    }
    EXPECT_EQ(module.canUnloadNow(), S_OK);

    // Aggregation: only the inner unknown may be asked for.
    {
        auto factory = module.Factory();
        CountingOuter outer;
        void* filter = nullptr;
        EXPECT_EQ(factory->CreateInstance(&outer, IID_IBaseFilter, &filter), E_NOINTERFACE);
        EXPECT_EQ(filter, nullptr);

        IUnknown* inner = nullptr;
        ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
        ASSERT_NE(inner, nullptr);
        outer.inner = inner;
        IBaseFilter* asFilter = nullptr;
        ASSERT_EQ(inner->QueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&asFilter)), S_OK);
        EXPECT_EQ(outer.refs, 2u); // the interface's reference went to the outer object
        IUnknown* identity = nullptr;
        ASSERT_EQ(asFilter->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
        EXPECT_EQ(identity, &outer); // the aggregate has the outer object's identity
        identity->Release();
        asFilter->Release();
        EXPECT_EQ(outer.refs, 1u);
        EXPECT_EQ(inner->Release(), 0u);
    }
    EXPECT_EQ(module.canUnloadNow(), S_OK);
}

TEST(CameraFilter, PublishedInterfacesAnswerAsACaptureDevice) {
    Com com;
    auto& module = CameraModule::Instance();
    {
        auto filter = module.NewFilter();
        ASSERT_TRUE(filter);
        auto pin = FirstPin(filter.Get());
        ASSERT_TRUE(pin);
        ComPtr<IPin> none;
        EXPECT_EQ(filter->FindPin(L"2", &none), VFW_E_NOT_FOUND);
        PIN_INFO info{};
        ASSERT_EQ(pin->QueryPinInfo(&info), S_OK);
        EXPECT_STREQ(info.achName, L"Video");
        EXPECT_EQ(info.dir, PINDIR_OUTPUT);
        info.pFilter->Release();

        // The filter hands out the pin's IAMStreamConfig itself.
        ComPtr<IAMStreamConfig> fromPin;
        ASSERT_EQ(pin.As(&fromPin), S_OK);
        const ULONG before = RefCount(fromPin.Get());
        ComPtr<IAMStreamConfig> fromFilter;
        ASSERT_EQ(filter.As(&fromFilter), S_OK);
        EXPECT_EQ(fromFilter.Get(), fromPin.Get());
        EXPECT_EQ(RefCount(fromPin.Get()), before + 1);

        // Its own clock, whatever clock the graph chose.
        ComPtr<IReferenceClock> own;
        ASSERT_EQ(filter.As(&own), S_OK);
        REFERENCE_TIME now = 0;
        EXPECT_TRUE(SUCCEEDED(own->GetTime(&now)));
        ComPtr<IReferenceClock> system;
        ASSERT_EQ(CoCreateInstance(CLSID_SystemClock, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&system)),
                  S_OK);
        ASSERT_EQ(filter->SetSyncSource(system.Get()), S_OK);
        ComPtr<IReferenceClock> again;
        ASSERT_EQ(filter.As(&again), S_OK);
        EXPECT_EQ(again.Get(), own.Get());
        ComPtr<IReferenceClock> chosen;
        ASSERT_EQ(filter->GetSyncSource(&chosen), S_OK);
        EXPECT_EQ(chosen.Get(), system.Get());
        ASSERT_EQ(filter->SetSyncSource(nullptr), S_OK);

        // A capture pin, read-only: size query, short buffer, the category, unknown id and set.
        ComPtr<IKsPropertySet> ks;
        ASSERT_EQ(pin.As(&ks), S_OK);
        DWORD returned = 0, support = 0;
        GUID category = GUID_NULL;
        BYTE small[15] = {};
        const auto& set = AMPROPSETID_Pin;
        const DWORD id = AMPROPERTY_PIN_CATEGORY;
        EXPECT_EQ((std::tuple{ks->Get(set, id, nullptr, 0, nullptr, 0, &returned), returned}),
                  (std::tuple{S_OK, 16ul}));
        EXPECT_EQ(ks->Get(set, id, nullptr, 0, small, 15, &returned), E_UNEXPECTED);
        EXPECT_EQ((std::tuple{ks->Get(set, id, nullptr, 0, &category, 16, &returned), category}),
                  (std::tuple{S_OK, PIN_CATEGORY_CAPTURE}));
        EXPECT_EQ((std::tuple{ks->Get(set, AMPROPERTY_PIN_MEDIUM, nullptr, 0, &category, 16, &returned),
                              ks->Get(PIN_CATEGORY_CAPTURE, id, nullptr, 0, &category, 16, &returned),
                              ks->QuerySupported(set, id, &support), support,
                              ks->Set(set, id, nullptr, 0, &category, 16)}),
                  (std::tuple{E_PROP_ID_UNSUPPORTED, E_PROP_SET_UNSUPPORTED, S_OK,
                              static_cast<DWORD>(KSPROPERTY_SUPPORT_GET), E_NOTIMPL}));
    }
    EXPECT_EQ(module.canUnloadNow(), S_OK);
}

TEST(CameraFilter, FormatsFollowTheSettings) {
    Com com;
    auto& module = CameraModule::Instance();
    struct Case {
        const char* setting;
        LONG width, height;
        LONG bitsPerSecond; // (10^7 / 333666 truncated = 29) × w × h × 16
    };
    for (const Case c : {Case{"1280,720", 1280, 720, 29 * 1280 * 720 * 16},
                         Case{"1920,1080", 1920, 1080, 29 * 1920 * 1080 * 16},
                         Case{"1280, 720", 1920, 1080, 29 * 1920 * 1080 * 16}}) {
        SCOPED_TRACE(c.setting);
        auto filter = module.NewFilter(c.setting);
        ASSERT_TRUE(filter);
        auto pin = FirstPin(filter.Get());
        ComPtr<IAMStreamConfig> config;
        ASSERT_EQ(pin.As(&config), S_OK);

        int count = 0, size = 0;
        ASSERT_EQ(config->GetNumberOfCapabilities(&count, &size), S_OK);
        EXPECT_EQ(count, 1);
        EXPECT_EQ(size, static_cast<int>(sizeof(VIDEO_STREAM_CONFIG_CAPS)));

        AM_MEDIA_TYPE* format = nullptr;
        ASSERT_EQ(config->GetFormat(&format), S_OK);
        EXPECT_TRUE(format->majortype == MEDIATYPE_Video && format->subtype == MEDIASUBTYPE_YUY2 &&
                    format->formattype == FORMAT_VideoInfo && format->cbFormat >= sizeof(VIDEOINFOHEADER));
        const auto* info = reinterpret_cast<const VIDEOINFOHEADER*>(format->pbFormat);
        EXPECT_EQ(info->bmiHeader.biWidth, c.width);
        EXPECT_EQ(info->bmiHeader.biHeight, c.height);
        EXPECT_EQ(info->bmiHeader.biSizeImage, static_cast<DWORD>(c.width * c.height * 2));
        EXPECT_EQ(info->AvgTimePerFrame, 333666);
        DestroyMediaType(format);

        VIDEO_STREAM_CONFIG_CAPS caps{};
        ASSERT_EQ(config->GetStreamCaps(0, &format, reinterpret_cast<BYTE*>(&caps)), S_OK);
        EXPECT_EQ(format->subtype, MEDIASUBTYPE_YUY2);
        DestroyMediaType(format);
        EXPECT_EQ(caps.InputSize.cx, c.width);
        EXPECT_EQ(caps.InputSize.cy, c.height);
        EXPECT_EQ(caps.MinFrameInterval, 333666);
        EXPECT_EQ(caps.MaxFrameInterval, 333666);
        EXPECT_EQ(caps.MinBitsPerSecond, c.bitsPerSecond);
        EXPECT_EQ(caps.MaxBitsPerSecond, c.bitsPerSecond);
        EXPECT_EQ(config->GetStreamCaps(1, &format, reinterpret_cast<BYTE*>(&caps)), E_INVALIDARG);

        // The pin offers exactly that one type.
        ComPtr<IEnumMediaTypes> types;
        ASSERT_EQ(pin->EnumMediaTypes(&types), S_OK);
        AM_MEDIA_TYPE* offered[2] = {};
        ULONG fetched = 0;
        EXPECT_EQ(types->Next(2, offered, &fetched), S_FALSE);
        ASSERT_EQ(fetched, 1u);
        EXPECT_EQ(offered[0]->subtype, MEDIASUBTYPE_YUY2);
        DestroyMediaType(offered[0]);
    }
    EXPECT_EQ(module.canUnloadNow(), S_OK);
}

TEST(CameraFilter, AcceptsOnlyWhatTheDeliveryProduces) {
    Com com;
    auto& module = CameraModule::Instance();
    auto filter = module.NewFilter("1280,720");
    ASSERT_TRUE(filter);
    auto pin = FirstPin(filter.Get());

    for (const GUID* subtype : {&MEDIASUBTYPE_YUY2, &MEDIASUBTYPE_NV12, &MEDIASUBTYPE_IYUV}) {
        EXPECT_EQ(Accept(pin.Get(), VideoType(*subtype, 1280, 720)), S_OK);
        EXPECT_EQ(Accept(pin.Get(), VideoType(*subtype, 1280, -720, 166666)), S_OK); // top-down, fastest
        EXPECT_EQ(Accept(pin.Get(), VideoType(*subtype, 1280, 720, 1000000)), S_OK); // slowest
    }
    EXPECT_EQ(Accept(pin.Get(), VideoType(MEDIASUBTYPE_YUY2, 1280, 720, 333666, 1280 * 720 * 2)), S_OK);
    EXPECT_EQ(Accept(pin.Get(), VideoType(MEDIASUBTYPE_NV12, 1280, 720, 333666, 1280 * 720 * 3 / 2)), S_OK);

    // Each refusal names its reason; the subtype is refused before the format type is read.
    const auto expectRefused = [&](CMediaType type, const std::string& reason) {
        SCOPED_TRACE(reason);
        const auto mark = module.LogMark();
        EXPECT_EQ(pin->QueryAccept(&type), S_FALSE);
        const auto lines = module.LogSince(mark);
        EXPECT_TRUE(Contains(lines, "[CheckMediaType] " + reason));
        EXPECT_EQ(Contains(lines, "[CheckMediaType] invalid info"), reason == "invalid info");
    };
    CMediaType rgbInfo2 = VideoType(MEDIASUBTYPE_RGB24, 1280, 720);
    rgbInfo2.formattype = FORMAT_VideoInfo2;
    expectRefused(rgbInfo2, "invalid subtype");
    CMediaType info2 = VideoType(MEDIASUBTYPE_YUY2, 1280, 720);
    info2.formattype = FORMAT_VideoInfo2;
    expectRefused(info2, "invalid info");
    CMediaType shortBlock = VideoType(MEDIASUBTYPE_YUY2, 1280, 720);
    shortBlock.cbFormat = sizeof(VIDEOINFOHEADER) - 1; // never read past the block
    expectRefused(shortBlock, "invalid format size");
    expectRefused(VideoType(MEDIASUBTYPE_NV12, 1280, 720, 166665), "invalid AvgTimePerFrame166665");
    expectRefused(VideoType(MEDIASUBTYPE_NV12, 1280, 720, 1000001), "invalid AvgTimePerFrame1000001");
    expectRefused(VideoType(MEDIASUBTYPE_NV12, 640, 480), "invalid size 640,480");
    expectRefused(VideoType(MEDIASUBTYPE_YUY2, 1920, -1080), "invalid size 1920,-1080");
    expectRefused(VideoType(MEDIASUBTYPE_YUY2, 1280, 720, 333666, 1280 * 720 * 2 - 1), "invalid image size");
    expectRefused(VideoType(MEDIASUBTYPE_IYUV, 1280, 720, 333666, 1280 * 720 * 3 / 2 - 1),
                  "invalid image size");

    // SetFormat adopts an accepted type: the next queries describe it.
    ComPtr<IAMStreamConfig> config;
    ASSERT_EQ(pin.As(&config), S_OK);
    CMediaType nv12 = VideoType(MEDIASUBTYPE_NV12, 1280, 720, 500000);
    const auto mark = module.LogMark();
    ASSERT_EQ(config->SetFormat(&nv12), S_OK);
    EXPECT_TRUE(Contains(module.LogSince(mark), "[SetMediaType] w/h, 1280,720"));
    AM_MEDIA_TYPE* format = nullptr;
    ASSERT_EQ(config->GetFormat(&format), S_OK);
    EXPECT_EQ(format->subtype, MEDIASUBTYPE_NV12);
    EXPECT_EQ(reinterpret_cast<const VIDEOINFOHEADER*>(format->pbFormat)->AvgTimePerFrame, 500000);
    DestroyMediaType(format);
    CMediaType wrong = VideoType(MEDIASUBTYPE_NV12, 640, 480);
    EXPECT_EQ(config->SetFormat(&wrong), E_FAIL);
    ASSERT_EQ(config->GetFormat(&format), S_OK);
    EXPECT_EQ(reinterpret_cast<const VIDEOINFOHEADER*>(format->pbFormat)->bmiHeader.biWidth, 1280);
    DestroyMediaType(format);
    EXPECT_EQ(config->SetFormat(nullptr), E_FAIL);
}

TEST(CameraFilter, AFilterNeverRunLogsItsLifeAndStartsNothing) {
    Com com;
    auto& module = CameraModule::Instance();
    module.NewFilter().Reset(); // the log file exists from the first filter on
    const auto mark = module.LogMark();
    module.NewFilter().Reset();
    const auto lines = module.LogSince(mark);
    ASSERT_FALSE(lines.empty());
    // Only the life of the filter: no chain, no server, no thread.
    std::vector<std::string> expected = {"[CVCam]  ", "[CVCamStream]  ", "[~CVCamStream]  ",
                                         "[ReleaseInternal] <time>"};
    ASSERT_GE(lines.size(), expected.size() + 1);
    EXPECT_TRUE(InOrder(lines, expected)) << ::testing::PrintToString(lines);
    const std::string& last = lines.back();
    EXPECT_EQ(last.rfind("[ReleaseInternal] exception: Filters.cpp:", 0), 0u) << last;
    EXPECT_NE(last.find(":This function cannot be called on a default constructed task"), std::string::npos)
        << last;
    for (const auto& line : lines) {
        EXPECT_EQ(line.find("Prepare/"), std::string::npos) << line;
        EXPECT_EQ(line.find("OnThreadCreate"), std::string::npos) << line;
    }
    EXPECT_EQ(module.canUnloadNow(), S_OK);
}

// A new camera connected to a recording sink in Wine's filter graph.
struct CameraGraph {
    explicit CameraGraph(const char* resolution) : filter(CameraModule::Instance().NewFilter(resolution)) {
        sinkFilter = TestSink::Create(&sink);
        EXPECT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph)),
                  S_OK);
        EXPECT_EQ(graph.As(&control), S_OK);
        EXPECT_EQ(graph->AddFilter(filter.Get(), L"Zarvo Webcam"), S_OK);
        EXPECT_EQ(graph->AddFilter(sinkFilter.Get(), L"sink"), S_OK);
        pin = FirstPin(filter.Get());
        connected = graph->ConnectDirect(pin.Get(), sink->Pin(), nullptr) == S_OK;
    }
    ~CameraGraph() {
        control->Stop();
        graph->RemoveFilter(filter.Get());
        graph->RemoveFilter(sinkFilter.Get());
    }
    // Waits until `more` samples arrived after those already there.
    bool WaitForMoreSamples(std::size_t more) {
        std::unique_lock lock(sink->mutex);
        const std::size_t wanted = sink->samples.size() + more;
        return FrameworkTest::WaitFor(lock, sink->changed, [&] { return sink->samples.size() >= wanted; });
    }

    ComPtr<IBaseFilter> filter;
    TestSink* sink = nullptr;
    ComPtr<IBaseFilter> sinkFilter;
    ComPtr<IGraphBuilder> graph;
    ComPtr<IMediaControl> control;
    ComPtr<IPin> pin;
    bool connected = false;
};

// With the reference server running: the chain connects, frames are delivered, a Stop stops the
// server's camera, and the same filter run again connects and delivers again.
TEST(CameraGraph, StopAndRunAgainConnectsAndDeliversAgain) {
    Com com;
    auto& module = CameraModule::Instance();
    ServerProcess server(module.AppData());
    ASSERT_TRUE(server.WaitUntilLive());
    const auto mark = module.LogMark();
    {
        CameraGraph g("1280,720");
        ASSERT_TRUE(g.connected);
        for (int run = 1; run <= 2; ++run) {
            SCOPED_TRACE(run);
            const auto runMark = module.LogMark();
            ASSERT_EQ(g.control->Run(), S_OK);
            ASSERT_TRUE(module.WaitForLogLine(runMark, "[FillBuffer] mFrameClientTask.is_done"));
            ASSERT_TRUE(g.WaitForMoreSamples(3));
            {
                std::lock_guard lock(g.sink->mutex); // a delivered frame has the whole YUY2 length
                EXPECT_EQ(g.sink->samples.back().bytes.size(), 1280u * 720u * 2u);
            }

            // The format cannot change under a running stream, and is not even looked at.
            ComPtr<IAMStreamConfig> config;
            ASSERT_EQ(g.pin.As(&config), S_OK);
            CMediaType same = VideoType(MEDIASUBTYPE_YUY2, 1280, 720);
            const auto setMark = module.LogMark();
            EXPECT_EQ(config->SetFormat(&same), E_FAIL);
            const auto setLines = module.LogSince(setMark);
            EXPECT_TRUE(Contains(setLines, "[SetFormat] state: 2"));
            for (const auto& line : setLines)
                EXPECT_EQ(line.rfind("[CheckMediaType]", 0), std::string::npos) << line;

            ASSERT_EQ(g.control->Stop(), S_OK);
            ASSERT_TRUE(
                module.WaitForLogLine(runMark, "[ReleaseInternal] WebcamClient: Server Disconnected"));
            const auto lines = module.LogSince(runMark);
            // The chain's lines come from pool threads and may pass "EXIT".
            EXPECT_TRUE(InOrder(
                lines, {"[OnThreadCreate] <time>", "[PrepareInternal] ENTER", "[PrepareInternal] EXIT"}));
            EXPECT_TRUE(InOrder(lines, {"[PrepareInternal] ENTER", "[Prepare/ConnectToServer]  ",
                                        "[Prepare/ConnectToServer] webcamClient: Server Connected",
                                        "[Prepare/StartCamera] webcamClient: Camera Started",
                                        "[Prepare/OpenSharedTexture]  ", "[Prepare/WebcamFrameClient]  ",
                                        "[OnThreadDestroy] <time>", "[ReleaseInternal] <time>",
                                        "[ReleaseInternal] WebcamClient: Found Server",
                                        "[ReleaseInternal] WebcamClient: Camera Stopped",
                                        "[ReleaseInternal] WebcamClient: Server Disconnected"}))
                << ::testing::PrintToString(lines);
        }
    }
    // Nothing of the module is left once the release tasks are done.
    EXPECT_EQ(module.canUnloadNow(), S_OK);
    const auto lines = module.LogSince(mark);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "[Prepare/StartCamera] webcamClient: Camera Started"),
              2);
}

// Without any server: placeholder samples flow and the host's Stop still returns.
TEST(CameraGraph, WithoutAServerPlaceholdersFlowAndStopReturns) {
    Com com;
    auto& module = CameraModule::Instance();
    const auto live = OpenServerLiveEvent();
    ASSERT_NE(WaitForSingleObject(live.get(), 0), WAIT_OBJECT_0)
        << "a server from another test is still live";
    CameraGraph g("1280,720");
    ASSERT_TRUE(g.connected);
    const auto mark = module.LogMark();
    ASSERT_TRUE(SUCCEEDED(g.control->Run()));
    ASSERT_TRUE(g.WaitForMoreSamples(5));
    {
        std::lock_guard lock(g.sink->mutex);
        for (const auto& sample : g.sink->samples)
            EXPECT_TRUE(sample.start == 0 && sample.stop == 0);
    }
    ASSERT_EQ(g.control->Stop(), S_OK);
    const auto lines = module.LogSince(mark);
    EXPECT_FALSE(Contains(lines, "[FillBuffer] mFrameClientTask.is_done"));
    EXPECT_FALSE(Contains(lines, "[Prepare/StartCamera] webcamClient: Camera Started"));
    EXPECT_TRUE(Contains(lines, "[OnThreadDestroy] <time>"));
}

namespace {

std::wstring RegistryText(HKEY root, const std::wstring& key, const wchar_t* value) {
    wchar_t text[512] = {};
    DWORD bytes = sizeof(text);
    if (RegGetValueW(root, key.c_str(), value, RRF_RT_REG_SZ, nullptr, text, &bytes) != ERROR_SUCCESS)
        return L"<missing>";
    return text;
}

// Friendly names of the registered video input devices whose class is the camera's.
std::vector<std::wstring> RegisteredCameras() {
    std::vector<std::wstring> names;
    ComPtr<ICreateDevEnum> devices;
    if (FAILED(
            CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&devices))))
        return names;
    ComPtr<IEnumMoniker> monikers;
    if (devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &monikers, 0) != S_OK)
        return names;
    ComPtr<IMoniker> moniker;
    while (monikers->Next(1, &moniker, nullptr) == S_OK) {
        ComPtr<IPropertyBag> bag;
        if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_PPV_ARGS(&bag)))) {
            VARIANT clsid;
            VariantInit(&clsid);
            VARIANT name;
            VariantInit(&name);
            if (SUCCEEDED(bag->Read(L"CLSID", &clsid, nullptr)) && clsid.vt == VT_BSTR &&
                std::wstring(clsid.bstrVal) == L"{7C3E9A41-5B2D-4E8F-A6C1-2D94B7E05F13}" &&
                SUCCEEDED(bag->Read(L"FriendlyName", &name, nullptr)) && name.vt == VT_BSTR)
                names.emplace_back(name.bstrVal);
            VariantClear(&clsid);
            VariantClear(&name);
        }
        moniker.Reset();
    }
    return names;
}

} // namespace

// Registration writes the COM class and the device entry; unregistration removes both, and a
// second one reports what the filter mapper says.
TEST(CameraModule, RegistersAsAVideoInputDeviceAndUnregistersCleanly) {
    Com com;
    auto& module = CameraModule::Instance();
    const auto registerServer =
        reinterpret_cast<CanUnloadNowFn>(GetProcAddress(module.Handle(), "DllRegisterServer"));
    const auto unregisterServer =
        reinterpret_cast<CanUnloadNowFn>(GetProcAddress(module.Handle(), "DllUnregisterServer"));
    ASSERT_NE(registerServer, nullptr);
    ASSERT_NE(unregisterServer, nullptr);

    const std::wstring key = L"CLSID\\{7C3E9A41-5B2D-4E8F-A6C1-2D94B7E05F13}";
    ASSERT_EQ(registerServer(), S_OK);
    EXPECT_EQ(RegistryText(HKEY_CLASSES_ROOT, key, nullptr), L"Zarvo Webcam");
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module.Handle(), path, MAX_PATH);
    EXPECT_EQ(_wcsicmp(RegistryText(HKEY_CLASSES_ROOT, key + L"\\InprocServer32", nullptr).c_str(), path), 0);
    EXPECT_EQ(RegistryText(HKEY_CLASSES_ROOT, key + L"\\InprocServer32", L"ThreadingModel"), L"Both");
    EXPECT_EQ(RegisteredCameras(), std::vector<std::wstring>{L"Zarvo Webcam"});
    ASSERT_EQ(registerServer(), S_OK); // again: still one device
    EXPECT_EQ(RegisteredCameras().size(), 1u);

    ASSERT_EQ(unregisterServer(), S_OK);
    EXPECT_TRUE(RegisteredCameras().empty());
    HKEY gone = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &gone), ERROR_FILE_NOT_FOUND);

    ComPtr<IFilterMapper2> mapper;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&mapper)),
              S_OK);
    const HRESULT mapperSays =
        mapper->UnregisterFilter(&CLSID_VideoInputDeviceCategory, nullptr, CLSID_ZarvoWebcam);
    EXPECT_EQ(unregisterServer(), SUCCEEDED(mapperSays) ? S_OK : mapperSays);
    EXPECT_EQ(module.canUnloadNow(), S_OK);
}
