// A host of our own for what ffmpeg cannot ask for, through IAMStreamConfig with the reference server
// running: IYUV (ffmpeg takes I420 for both), at the app's size and scaled, and NV12 at the app's size
// for both of its output resolutions.

#include "../IPC/IpcTestSupport.h"
#include "../framework/TestFilters.h"
#include "PixelCheck.h"

#include "Filters/Guids.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

using namespace Zarvo::Testing;
using FrameworkTest::TestSink;

TEST(PixelsHost, Nv12AndIyuvSamplesAreTheServersPatternAtTheAppsSizeAndScaled) {
    using Zarvo::ScaledLayout;
    FrameworkTest::ComScope com;
    // The camera: a copy of the built module, with an application-data folder of its own.
    TempFolder folder;
    AppDataWithSettings appData{"1280,720"};
    SetEnvironmentVariableW(L"APPDATA", appData.Path().c_str());
    const std::wstring copy = folder / L"ZarvoWebcam.dll";
    ASSERT_TRUE(CopyFileW((ProgramFolder() + L"ZarvoWebcam.dll").c_str(), copy.c_str(), FALSE));
    const HMODULE module = LoadLibraryW(copy.c_str());
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    const auto getClassObject = reinterpret_cast<GetClassObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    ASSERT_TRUE(module && getClassObject);
    constexpr std::size_t kPatternFrames = 20;
    struct Format {
        const GUID* subtype;
        ScaledLayout layout;
        const char* name;
    };
    const Format kNv12{&MEDIASUBTYPE_NV12, ScaledLayout::Nv12, "NV12"},
        kIyuv{&MEDIASUBTYPE_IYUV, ScaledLayout::I420, "IYUV"};
    struct Capture {
        Format format;
        int width, height;
    };
    const std::tuple<const char*, Zarvo::PixelsTest::Size, std::vector<Capture>> apps[] = {
        {"1280,720", {1280, 720}, {{kNv12, 1280, 720}, {kIyuv, 1280, 720}, {kIyuv, 640, 480}}},
        {"1920,1080",
         {1920, 1080},
         {{kNv12, 1920, 1080},
          {kIyuv, 1920, 1080},
          {kIyuv, 1280, 720},
          {kIyuv, 640, 480},
          {kIyuv, 320, 240}}}};
    for (const auto& [setting, app, captures] : apps) {
        // The camera and the server both read the size from here.
        WriteFileBytes(appData.SettingsFolder() + L"\\ZarvoWebcam.ini",
                       "[Stream]\r\noutputResolution=" + std::string(setting) + "\r\n");
        ServerProcess server(appData.Path());
        ASSERT_TRUE(server.WaitUntilLive());
        for (const auto& [format, width, height] : captures) {
            const auto& [subtype, layout, name] = format;
            SCOPED_TRACE(std::string(name) + " at " + std::to_string(width) + "x" + std::to_string(height) +
                         " from " + setting);
            ComPtr<IClassFactory> factory;
            ComPtr<IBaseFilter> filter;
            ASSERT_EQ(getClassObject(CLSID_ZarvoWebcam, IID_PPV_ARGS(&factory)), S_OK);
            ASSERT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&filter)), S_OK);
            ComPtr<IPin> pin;
            ComPtr<IAMStreamConfig> config;
            ASSERT_EQ(filter->FindPin(L"1", &pin), S_OK);
            ASSERT_EQ(pin.As(&config), S_OK);
            CMediaType type = FrameworkTest::MakeVideoType(*subtype, width, height, 333666);
            ASSERT_EQ(config->SetFormat(&type), S_OK);

            TestSink* sink = nullptr;
            auto sinkFilter = TestSink::Create(&sink);
            ComPtr<IGraphBuilder> graph;
            ComPtr<IMediaControl> control;
            ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_ALL, IID_PPV_ARGS(&graph)), S_OK);
            ASSERT_EQ(graph.As(&control), S_OK);
            ASSERT_EQ(graph->AddFilter(filter.Get(), L"Zarvo Webcam"), S_OK);
            ASSERT_EQ(graph->AddFilter(sinkFilter.Get(), L"sink"), S_OK);
            ASSERT_EQ(graph->ConnectDirect(pin.Get(), sink->Pin(), &type), S_OK);

            // Each sample is checked as it arrives, and let go: 1080p frames are large.
            Zarvo::PixelsTest::FrameChecker checker(
                layout, app, {static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)});
            ASSERT_TRUE(SUCCEEDED(control->Run()));
            const bool enough = sink->Wait(
                [&] {
                    for (const auto& sample : sink->samples)
                        checker.Check(sample.bytes.data(), sample.bytes.size());
                    sink->samples.clear();
                    return checker.PatternFrames() >= kPatternFrames;
                },
                std::chrono::seconds(30));
            EXPECT_EQ(control->Stop(), S_OK);
            EXPECT_TRUE(enough && checker.Passed(kPatternFrames)) << checker.Summary();
        }
    }
}
