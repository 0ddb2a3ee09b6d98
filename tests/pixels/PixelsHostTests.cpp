// A host of our own for what ffmpeg cannot ask for: NV12 and IYUV through IAMStreamConfig, at
// both output resolutions, with the reference server running. The camera is a copy of the
// built module, loaded into this process with an application-data folder of its own.

#include "../IPC/IpcTestSupport.h"
#include "../framework/TestFilters.h"
#include "PixelCheck.h"

#include "Filters/Guids.h"

#include <gtest/gtest.h>

#include <dshow.h>
#include <windows.h>
#include <wrl/client.h>

#include <string>

using Microsoft::WRL::ComPtr;
using namespace Zarvo::Testing;
using FrameworkTest::TestSink;

namespace {

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

class CameraCopy {
public:
    CameraCopy() : mAppData("1280,720") {
        SetEnvironmentVariableW(L"APPDATA", mAppData.Path().c_str());
        const std::wstring copy = mFolder / L"ZarvoWebcam.dll";
        EXPECT_TRUE(CopyFileW((ProgramFolder() + L"ZarvoWebcam.dll").c_str(), copy.c_str(), FALSE));
        mModule = LoadLibraryW(copy.c_str());
        EXPECT_NE(mModule, nullptr);
        if (mModule)
            mGetClassObject =
                reinterpret_cast<GetClassObjectFn>(GetProcAddress(mModule, "DllGetClassObject"));
        EXPECT_NE(mGetClassObject, nullptr);
    }

    // The camera and the server both read the size from here.
    void WriteResolution(const std::string& text) {
        WriteFileBytes(mAppData.SettingsFolder() + L"\\ZarvoWebcam.ini",
                       "[Stream]\r\noutputResolution=" + text + "\r\n");
    }

    ComPtr<IBaseFilter> NewFilter() {
        ComPtr<IClassFactory> factory;
        ComPtr<IBaseFilter> filter;
        if (mGetClassObject && SUCCEEDED(mGetClassObject(CLSID_ZarvoWebcam, IID_IClassFactory,
                                                         reinterpret_cast<void**>(factory.GetAddressOf()))))
            factory->CreateInstance(nullptr, IID_IBaseFilter,
                                    reinterpret_cast<void**>(filter.GetAddressOf()));
        return filter;
    }

    // The camera's whole log so far.
    std::string LogText() const {
        WIN32_FIND_DATAW found{};
        const std::wstring logs = mAppData.SettingsFolder() + L"\\Logs\\";
        HANDLE search = FindFirstFileW((logs + L"zvfilter_webcam_*.log").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE)
            return {};
        FindClose(search);
        return ReadFileBytes(logs + found.cFileName);
    }

    const std::wstring& AppData() const { return mAppData.Path(); }

private:
    TempFolder mFolder;
    AppDataWithSettings mAppData;
    HMODULE mModule = nullptr;
    GetClassObjectFn mGetClassObject = nullptr;
};

struct Com {
    Com() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    ~Com() { CoUninitialize(); }
};

CMediaType VideoType(const GUID& subtype, LONG width, LONG height) {
    CMediaType type;
    type.majortype = MEDIATYPE_Video;
    type.subtype = subtype;
    type.formattype = FORMAT_VideoInfo;
    VIDEOINFOHEADER info{};
    info.AvgTimePerFrame = 333666;
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    type.SetFormatBlock(reinterpret_cast<const BYTE*>(&info), sizeof(info));
    return type;
}

std::size_t CountOf(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++count;
    return count;
}

} // namespace

TEST(PixelsHost, Nv12AndIyuvSamplesAreTheServersPatternAtBothResolutions) {
    Com com;
    static CameraCopy camera;
    struct Size {
        const char* setting;
        LONG width, height;
    };
    struct Subtype {
        const GUID* guid;
        Zarvo::PixelsTest::Layout layout;
        const char* name;
    };
    constexpr std::size_t kPatternFrames = 20;
    for (const Size size : {Size{"1280,720", 1280, 720}, Size{"1920,1080", 1920, 1080}}) {
        camera.WriteResolution(size.setting);
        ServerProcess server(camera.AppData());
        ASSERT_TRUE(server.WaitUntilLive());
        for (const Subtype subtype : {Subtype{&MEDIASUBTYPE_NV12, Zarvo::PixelsTest::Layout::Nv12, "NV12"},
                                      Subtype{&MEDIASUBTYPE_IYUV, Zarvo::PixelsTest::Layout::Iyuv, "IYUV"}}) {
            SCOPED_TRACE(std::string(subtype.name) + " at " + size.setting);
            const std::size_t logMark = camera.LogText().size();
            auto filter = camera.NewFilter();
            ASSERT_TRUE(filter);
            ComPtr<IPin> pin;
            ASSERT_EQ(filter->FindPin(L"1", &pin), S_OK);
            ComPtr<IAMStreamConfig> config;
            ASSERT_EQ(pin.As(&config), S_OK);
            CMediaType type = VideoType(*subtype.guid, size.width, size.height);
            ASSERT_EQ(config->SetFormat(&type), S_OK);

            TestSink* sink = nullptr;
            auto sinkFilter = TestSink::Create(&sink);
            ComPtr<IGraphBuilder> graph;
            ASSERT_EQ(
                CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph)),
                S_OK);
            ComPtr<IMediaControl> control;
            ASSERT_EQ(graph.As(&control), S_OK);
            ASSERT_EQ(graph->AddFilter(filter.Get(), L"Zarvo Webcam"), S_OK);
            ASSERT_EQ(graph->AddFilter(sinkFilter.Get(), L"sink"), S_OK);
            ASSERT_EQ(graph->ConnectDirect(pin.Get(), sink->Pin(), &type), S_OK);

            // Each sample is checked as it arrives, and let go: 1080p frames are large.
            Zarvo::PixelsTest::FrameChecker checker(subtype.layout, static_cast<std::uint32_t>(size.width),
                                                    static_cast<std::uint32_t>(size.height));
            ASSERT_TRUE(SUCCEEDED(control->Run()));
            bool enough = false;
            {
                std::unique_lock lock(sink->mutex);
                enough = FrameworkTest::WaitFor(
                    lock, sink->changed,
                    [&] {
                        for (const auto& sample : sink->samples)
                            checker.Check(sample.bytes.data(), sample.bytes.size());
                        sink->samples.clear();
                        return checker.PatternFrames() >= kPatternFrames;
                    },
                    std::chrono::milliseconds(30000));
            }
            EXPECT_EQ(control->Stop(), S_OK);
            EXPECT_TRUE(enough) << checker.Summary();
            EXPECT_TRUE(checker.Passed(kPatternFrames)) << checker.Summary();
            std::printf("%s at %s: %s\n", subtype.name, size.setting, checker.Summary().c_str());

            const std::string log = camera.LogText().substr(logMark);
            // Shared memory here (the platform cannot share textures); either where it can.
            EXPECT_EQ(CountOf(log, "[Initialize] frame source: "), 1u) << log;
            EXPECT_EQ(CountOf(log, "ERROR"), 0u) << log;
            graph->RemoveFilter(filter.Get());
            graph->RemoveFilter(sinkFilter.Get());
        }
    }
}
