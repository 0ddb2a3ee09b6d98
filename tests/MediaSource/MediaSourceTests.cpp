// The media source module as Media Foundation hosts load it (its class factory, from a folder of its
// own), driven directly and through the platform's source reader, with and without the reference app.
#include "../IPC/IpcTestSupport.h"
#include "../support/ModuleCopies.h"
#include "../support/RegistryAccess.h"
#include "MediaSourceTestSupport.h"

#include "MediaSource/MediaSource.h"
#include "MediaSource/PlatformExtras.h"
#include "server/Pattern.h"
#include "webcam/FrameScaler.h"
#include "webcam/Placeholder.h"

#include <devicetopology.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfreadwrite.h>

#include <atomic>
#include <thread>
#include <utility>

using Microsoft::WRL::ComPtr;
using namespace Zarvo;
using namespace Zarvo::MediaFoundation;
using namespace Zarvo::Testing;

namespace {

// The module loaded from `folder` (a copy of it when the folder is not the build's).
struct Module {
    explicit Module(const std::wstring& folder) {
        const std::wstring path = folder + L"ZarvoMediaSource.dll";
        if (folder != ProgramFolder()) {
            EXPECT_TRUE(CopyFileW((ProgramFolder() + L"ZarvoMediaSource.dll").c_str(), path.c_str(), FALSE));
        }
        handle = LoadLibraryW(path.c_str());
        EXPECT_NE(handle, nullptr);
    }
    ~Module() {
        if (handle)
            FreeLibrary(handle);
    }
    template <typename Function> Function Export(const char* name) const {
        return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(handle, name)));
    }
    HRESULT CanUnloadNow() const { return Export<HRESULT(STDAPICALLTYPE*)()>("DllCanUnloadNow")(); }
    // Once the camera's background work (telling an app it stops) has ended; nothing signals that.
    HRESULT CanUnloadSoon() const {
        PollUntil([this] { return CanUnloadNow() == S_OK; }, 10);
        return CanUnloadNow();
    }
    ComPtr<IMFMediaSource> NewSource() const {
        ComPtr<IClassFactory> factory;
        ComPtr<IMFMediaSource> source;
        const auto getClassObject = Export<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>("DllGetClassObject");
        if (getClassObject && SUCCEEDED(getClassObject(kClsidMediaSource, IID_PPV_ARGS(&factory))))
            factory->CreateInstance(nullptr, IID_PPV_ARGS(&source));
        return source;
    }
    HMODULE handle = nullptr;
};

std::vector<std::uint8_t> BytesOf(IMFSample* sample) {
    ComPtr<IMFMediaBuffer> buffer;
    BYTE* data = nullptr;
    DWORD length = 0;
    std::vector<std::uint8_t> bytes;
    if (sample && SUCCEEDED(sample->ConvertToContiguousBuffer(&buffer)) && SUCCEEDED(buffer->Lock(&data, nullptr, &length))) {
        bytes.assign(data, data + length);
        buffer->Unlock();
    }
    return bytes;
}

// The stream's type handler, and its descriptor.
ComPtr<IMFMediaTypeHandler> HandlerOf(IMFPresentationDescriptor* presentation,
                                      ComPtr<IMFStreamDescriptor>* descriptor = nullptr) {
    BOOL selected = FALSE;
    ComPtr<IMFStreamDescriptor> stream;
    ComPtr<IMFMediaTypeHandler> handler;
    if (SUCCEEDED(presentation->GetStreamDescriptorByIndex(0, &selected, &stream)) && selected)
        stream->GetMediaTypeHandler(&handler);
    if (descriptor)
        *descriptor = stream;
    return handler;
}

bool IsType(IMFMediaType* type, const GUID& subtype, FrameSize size) {
    GUID offered{};
    UINT32 width = 0, height = 0;
    return SUCCEEDED(type->GetGUID(MF_MT_SUBTYPE, &offered)) &&
           SUCCEEDED(MFGetAttributeSize(type, MF_MT_FRAME_SIZE, &width, &height)) && offered == subtype &&
           FrameSize{width, height} == size;
}

// Selects the offered type of this subtype and size as the stream's current type; false without one.
bool SelectType(IMFPresentationDescriptor* presentation, const GUID& subtype, FrameSize size) {
    const auto handler = HandlerOf(presentation);
    ComPtr<IMFMediaType> type;
    for (DWORD i = 0; handler && SUCCEEDED(handler->GetMediaTypeByIndex(i, type.ReleaseAndGetAddressOf()));
         ++i)
        if (IsType(type.Get(), subtype, size))
            return SUCCEEDED(handler->SetCurrentMediaType(type.Get()));
    return false;
}

// Has a source reader read the native type of this subtype and size; false without one.
constexpr DWORD kVideo = MF_SOURCE_READER_FIRST_VIDEO_STREAM;
bool SelectType(IMFSourceReader* reader, const GUID& subtype, FrameSize size) {
    ComPtr<IMFMediaType> type;
    for (DWORD i = 0; SUCCEEDED(reader->GetNativeMediaType(kVideo, i, type.ReleaseAndGetAddressOf())); ++i)
        if (IsType(type.Get(), subtype, size))
            return SUCCEEDED(reader->SetCurrentMediaType(kVideo, nullptr, type.Get()));
    return false;
}

std::vector<std::vector<std::uint8_t>> Placeholders(FrameSize size, const GUID& subtype) {
    PlaceholderPicture pictures;
    pictures.SetDestination(size.width, size.height, subtype);
    std::vector<std::vector<std::uint8_t>> all;
    for (auto reason : {PlaceholderReason::Starting, PlaceholderReason::WaitingForApp, PlaceholderReason::AppStopped})
        all.push_back(pictures.Picture(reason));
    return all;
}

// The module copied into a folder of its own, so it finds no app to launch, under an APPDATA whose
// settings give the app's size; Media Foundation started.
struct ModuleWithoutApp {
    explicit ModuleWithoutApp(const char* resolution) : settings(resolution) {
        SetEnvironmentVariableW(L"APPDATA", settings.Path().c_str());
    }
    MediaPlatform platform;
    AppDataWithSettings settings;
    TempFolder folder;
    Module module{folder.Path() + L"\\"};
};

const GUID* const kSubtypes[] = {&MFVideoFormat_NV12, &MFVideoFormat_YUY2};

} // namespace

// What a host reads before it starts anything: one live stream, the offered types in order (the app's
// size first, NV12 before YUY2, at 29.97 frames per second), the stream attributes the camera service
// asks for, and the answers of a camera without controls. Making a source starts nothing.
TEST(MediaSource, DescribesOneLiveCaptureStreamWithTheOfferedTypes) {
    ModuleWithoutApp setup("1280,720");
    const Module& module = setup.module;
    auto source = module.NewSource();
    ASSERT_TRUE(source);
    ComPtr<IMFMediaSourceEx> sourceEx;
    ComPtr<IKsControl> control;
    ComPtr<IMFGetService> services;
    ASSERT_EQ(source.As(&sourceEx), S_OK);
    ASSERT_EQ(source.As(&control), S_OK);
    ASSERT_EQ(source.As(&services), S_OK);

    DWORD characteristics = 0;
    EXPECT_EQ(source->GetCharacteristics(&characteristics), S_OK);
    EXPECT_EQ(characteristics, DWORD{MFMEDIASOURCE_IS_LIVE});
    ComPtr<IMFPresentationDescriptor> presentation;
    ASSERT_EQ(source->CreatePresentationDescriptor(&presentation), S_OK);
    DWORD streams = 0;
    ComPtr<IMFStreamDescriptor> stream;
    EXPECT_EQ(presentation->GetStreamDescriptorCount(&streams), S_OK);
    EXPECT_EQ(streams, 1u);
    const auto handler = HandlerOf(presentation.Get(), &stream);
    ASSERT_TRUE(handler) << "no stream, or not selected";

    std::vector<std::tuple<GUID, UINT32, UINT32, UINT32, UINT32>> offered, expected;
    for (const FrameSize size : OfferedSizes({1280, 720}))
        for (const GUID* subtype : kSubtypes)
            expected.emplace_back(*subtype, size.width, size.height, 30000, 1001);
    DWORD count = 0;
    ASSERT_EQ(handler->GetMediaTypeCount(&count), S_OK);
    for (DWORD i = 0; i < count; ++i) {
        ComPtr<IMFMediaType> type;
        GUID major{}, subtype{};
        UINT32 width = 0, height = 0, numerator = 0, denominator = 0;
        ASSERT_EQ(handler->GetMediaTypeByIndex(i, &type), S_OK);
        type->GetGUID(MF_MT_MAJOR_TYPE, &major);
        type->GetGUID(MF_MT_SUBTYPE, &subtype);
        MFGetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, &width, &height);
        MFGetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, &numerator, &denominator);
        EXPECT_EQ(major, MFMediaType_Video);
        offered.emplace_back(subtype, width, height, numerator, denominator);
    }
    EXPECT_EQ(offered, expected);
    ComPtr<IMFMediaType> current;
    ASSERT_EQ(handler->GetCurrentMediaType(&current), S_OK);
    UINT32 width = 0, height = 0;
    MFGetAttributeSize(current.Get(), MF_MT_FRAME_SIZE, &width, &height);
    EXPECT_EQ(FrameSize({width, height}), FrameSize({1280, 720}));

    // The stream's attributes, as the descriptor and the source state them.
    ComPtr<IMFAttributes> attributes;
    ASSERT_EQ(sourceEx->GetStreamAttributes(0, &attributes), S_OK);
    for (IMFAttributes* those : {attributes.Get(), static_cast<IMFAttributes*>(stream.Get())}) {
        GUID category{};
        EXPECT_EQ(those->GetGUID(kDeviceStreamCategory, &category), S_OK);
        EXPECT_EQ(category, kPinNameVideoCapture);
        EXPECT_EQ(MFGetAttributeUINT32(those, kDeviceStreamId, 99), 0u);
        EXPECT_EQ(MFGetAttributeUINT32(those, kDeviceStreamFrameSourceTypes, 0), kFrameSourceTypeColor);
        EXPECT_EQ(MFGetAttributeUINT32(those, kDeviceStreamFrameServerShared, 0), 1u);
    }
    EXPECT_EQ(sourceEx->GetStreamAttributes(1, &attributes), MF_E_INVALIDSTREAMNUMBER);

    // A camera without controls, services or pausing.
    void* service = nullptr;
    KSIDENTIFIER property{};
    ULONG returned = 0;
    EXPECT_EQ(services->GetService(GUID_NULL, IID_IUnknown, &service), MF_E_UNSUPPORTED_SERVICE);
    EXPECT_EQ(control->KsProperty(&property, sizeof property, nullptr, 0, &returned), HRESULT_FROM_WIN32(ERROR_SET_NOT_FOUND));
    EXPECT_EQ(control->KsEvent(nullptr, 0, nullptr, 0, &returned), HRESULT_FROM_WIN32(ERROR_SET_NOT_FOUND));
    EXPECT_EQ(source->Pause(), MF_E_INVALID_STATE_TRANSITION);
    EXPECT_EQ(source->Shutdown(), S_OK);
}

// Driven as the camera service drives it, without the app (the module's folder has none to launch):
// the events of Start, Stop and Start again in order, one placeholder sample per request with the
// request's token, rising times an interval long; requests refused while stopped, and the second start
// in another type delivering that type.
TEST(MediaSource, StartsStopsAndStartsAgainDeliveringThePlaceholderPerRequest) {
    ModuleWithoutApp setup("1280,720");
    const Module& module = setup.module;
    auto source = module.NewSource();
    ASSERT_TRUE(source);
    ComPtr<IMFPresentationDescriptor> presentation;
    ASSERT_EQ(source->CreatePresentationDescriptor(&presentation), S_OK);

    const struct {
        const GUID* subtype;
        FrameSize size;
        MediaEventType announced;
    } runs[] = {{&MFVideoFormat_NV12, {1280, 720}, MENewStream}, {&MFVideoFormat_YUY2, {640, 360}, MEUpdatedStream}};
    ComPtr<IMFMediaStream> stream;
    for (const auto& run : runs) {
        SCOPED_TRACE(run.size.width);
        ASSERT_TRUE(SelectType(presentation.Get(), *run.subtype, run.size));
        PROPVARIANT position{};
        ASSERT_EQ(source->Start(presentation.Get(), nullptr, &position), S_OK);
        ComPtr<IMFMediaEvent> announced;
        ASSERT_EQ(NextTypes(source.Get(), 1, &announced), std::vector<MediaEventType>{run.announced});
        ASSERT_TRUE(stream = ObjectOf<IMFMediaStream>(announced));
        EXPECT_EQ(NextTypes(source.Get(), 1), std::vector<MediaEventType>{MESourceStarted});
        EXPECT_EQ(NextTypes(stream.Get(), 1), std::vector<MediaEventType>{MEStreamStarted});

        const auto placeholders = Placeholders(run.size, *run.subtype);
        ComPtr<IMFAttributes> tokens[3];
        MFCreateAttributes(&tokens[0], 1);
        MFCreateAttributes(&tokens[2], 1); // tokens[1] stays null, as Wine's source reader sends
        for (auto& token : tokens)
            ASSERT_EQ(stream->RequestSample(token.Get()), S_OK);
        LONGLONG previous = 0;
        for (auto& token : tokens) {
            ComPtr<IMFMediaEvent> event;
            ASSERT_EQ(NextTypes(stream.Get(), 1, &event), std::vector<MediaEventType>{MEMediaSample});
            const auto sample = ObjectOf<IMFSample>(event);
            ASSERT_TRUE(sample);
            ComPtr<IUnknown> carried;
            sample->GetUnknown(MFSampleExtension_Token, IID_PPV_ARGS(&carried));
            EXPECT_EQ(carried.Get(), static_cast<IUnknown*>(token.Get()));
            LONGLONG time = 0, duration = 0;
            EXPECT_EQ(sample->GetSampleTime(&time), S_OK);
            EXPECT_EQ(sample->GetSampleDuration(&duration), S_OK);
            EXPECT_EQ(duration, 333666);
            EXPECT_GT(time, previous);
            previous = time;
            EXPECT_EQ(std::count(placeholders.begin(), placeholders.end(), BytesOf(sample.Get())), 1);
        }
        EXPECT_EQ(source->Pause(), MF_E_INVALID_STATE_TRANSITION);
        ASSERT_EQ(source->Stop(), S_OK);
        EXPECT_EQ(NextTypes(source.Get(), 1), std::vector<MediaEventType>{MESourceStopped});
        EXPECT_EQ(NextTypes(stream.Get(), 1), std::vector<MediaEventType>{MEStreamStopped});
        EXPECT_EQ(stream->RequestSample(nullptr), MF_E_MEDIA_SOURCE_WRONGSTATE);
    }
    EXPECT_EQ(source->Shutdown(), S_OK);
}

// A host that sets another type and starts again without stopping gets that type's samples from then
// on (the run in the old type ends, as a stop would end it); a type the stream does not offer is
// refused before anything is announced, and the stream goes on in the type it has.
TEST(MediaSource, StartingAgainInAnotherTypeWhileRunningDeliversThatTypeAndRefusesForeignOnes) {
    ModuleWithoutApp setup("1280,720");
    auto source = setup.module.NewSource();
    ASSERT_TRUE(source);
    ComPtr<IMFPresentationDescriptor> presentation;
    ASSERT_EQ(source->CreatePresentationDescriptor(&presentation), S_OK);
    const auto handler = HandlerOf(presentation.Get());
    ASSERT_TRUE(handler);
    const auto foreign = [](const GUID& subtype, FrameSize size) {
        ComPtr<IMFMediaType> type;
        MFCreateMediaType(&type);
        type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
        type->SetGUID(MF_MT_SUBTYPE, subtype);
        MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, size.width, size.height);
        return type;
    };
    const struct {
        const GUID* subtype;
        FrameSize size;
        ComPtr<IMFMediaType> refused; // set before the start, which is refused; then the run's type
    } runs[] = {{&MFVideoFormat_NV12, {1280, 720}, nullptr},
                {&MFVideoFormat_YUY2, {640, 360}, foreign(MFVideoFormat_NV12, {333, 333})},
                {&MFVideoFormat_NV12, {640, 360}, foreign(MFVideoFormat_RGB32, {640, 360})},
                {&MFVideoFormat_YUY2, {1280, 720}, nullptr}};
    ComPtr<IMFMediaStream> stream;
    bool carried = false; // a request of the run before, left pending across this run's Start
    for (const auto& run : runs) {
        SCOPED_TRACE(testing::Message() << run.size.width << "x" << run.size.height);
        if (run.refused) {
            ASSERT_EQ(handler->SetCurrentMediaType(run.refused.Get()), S_OK);
            EXPECT_EQ(source->Start(presentation.Get(), nullptr, nullptr), MF_E_INVALIDMEDIATYPE);
            ComPtr<IMFMediaEvent> none;
            EXPECT_EQ(source->GetEvent(MF_EVENT_FLAG_NO_WAIT, &none), MF_E_NO_EVENTS_AVAILABLE);
            EXPECT_EQ(stream->GetEvent(MF_EVENT_FLAG_NO_WAIT, &none), MF_E_NO_EVENTS_AVAILABLE);
        }
        ASSERT_TRUE(SelectType(presentation.Get(), *run.subtype, run.size));
        ASSERT_EQ(source->Start(presentation.Get(), nullptr, nullptr), S_OK);
        ComPtr<IMFMediaEvent> announced;
        ASSERT_EQ(NextTypes(source.Get(), 1, &announced), std::vector<MediaEventType>{stream ? MEUpdatedStream : MENewStream});
        ASSERT_TRUE(stream = ObjectOf<IMFMediaStream>(announced));
        EXPECT_EQ(NextTypes(source.Get(), 1), std::vector<MediaEventType>{MESourceStarted});
        // The carried request is answered by the run before if its slot came first, else by this run;
        // it was once answered by neither, and the stream froze.
        std::vector<MediaEventType> started = NextTypes(stream.Get(), 1);
        if (carried && started == std::vector<MediaEventType>{MEMediaSample}) {
            carried = false;
            started = NextTypes(stream.Get(), 1);
        }
        EXPECT_EQ(started, std::vector<MediaEventType>{MEStreamStarted});
        const auto placeholders = Placeholders(run.size, *run.subtype);
        for (int i = 0; i < 2; ++i) {
            if (!std::exchange(carried, false))
                ASSERT_EQ(stream->RequestSample(nullptr), S_OK);
            ComPtr<IMFMediaEvent> event;
            ASSERT_EQ(NextTypes(stream.Get(), 1, &event), std::vector<MediaEventType>{MEMediaSample});
            const auto bytes = BytesOf(ObjectOf<IMFSample>(event).Get());
            EXPECT_EQ(bytes.size(), placeholders[0].size());
            EXPECT_EQ(std::count(placeholders.begin(), placeholders.end(), bytes), 1);
            // A type that is not offered, set while running without a start, changes nothing.
            ASSERT_EQ(handler->SetCurrentMediaType(foreign(MFVideoFormat_NV12, {333, 333}).Get()), S_OK);
        }
        // Into a Start that is not refused (a refused one leaves this run serving).
        const auto next = &run + 1;
        if (next != std::end(runs) && !next->refused) {
            ASSERT_EQ(stream->RequestSample(nullptr), S_OK);
            carried = true;
        }
    }
    EXPECT_EQ(source->Shutdown(), S_OK);
}

// Wine's source reader takes a new type while streaming by setting it on the stream's handler
// only, without starting the source again: what it reads afterwards is of the new type all the same.
TEST(MediaSource, SourceReaderChangingTheTypeWhileStreamingReadsTheNewType) {
    ModuleWithoutApp setup("1280,720");
    auto source = setup.module.NewSource();
    ASSERT_TRUE(source);
    ComPtr<IMFSourceReader> reader;
    ASSERT_EQ(MFCreateSourceReaderFromMediaSource(source.Get(), nullptr, &reader), S_OK);
    const Watchdog watchdog("reading through a type change", 120000);
    const struct {
        const GUID* subtype;
        FrameSize size;
    } runs[] = {{&MFVideoFormat_NV12, {1280, 720}},
                {&MFVideoFormat_YUY2, {640, 360}},
                {&MFVideoFormat_NV12, {320, 240}}};
    for (const auto& run : runs) {
        SCOPED_TRACE(testing::Message() << run.size.width << "x" << run.size.height);
        ASSERT_TRUE(SelectType(reader.Get(), *run.subtype, run.size));
        const auto placeholders = Placeholders(run.size, *run.subtype);
        for (int i = 0; i < 3; ++i) {
            DWORD flags = 0;
            LONGLONG time = 0;
            ComPtr<IMFSample> sample;
            ASSERT_EQ(reader->ReadSample(kVideo, 0, nullptr, &flags, &time, &sample), S_OK);
            const auto bytes = BytesOf(sample.Get());
            EXPECT_EQ(bytes.size(), placeholders[0].size()) << "sample " << i;
            EXPECT_EQ(std::count(placeholders.begin(), placeholders.end(), bytes), 1) << "sample " << i;
        }
    }
}

// Shutdown from another thread while the host keeps requesting samples: no crash, every later call of
// the source and its stream answers MF_E_SHUTDOWN, and once the host lets go the module can unload.
TEST(MediaSource, ShutdownFromAnotherThreadWhileSamplesAreRequested) {
    ModuleWithoutApp setup("640,480");
    const Module& module = setup.module;
    {
        auto source = module.NewSource();
        ASSERT_TRUE(source);
        ComPtr<IMFPresentationDescriptor> presentation;
        ASSERT_EQ(source->CreatePresentationDescriptor(&presentation), S_OK);
        ASSERT_EQ(source->Start(presentation.Get(), nullptr, nullptr), S_OK);
        const auto stream = AnnouncedStream(source.Get());
        ASSERT_TRUE(stream);
        ASSERT_EQ(stream->RequestSample(nullptr), S_OK);
        EXPECT_EQ(NextTypes(stream.Get(), 2), (std::vector<MediaEventType>{MEStreamStarted, MEMediaSample}));

        std::atomic<int> requests{0};
        HRESULT last = S_OK;
        std::thread host([&] {
            // Until the Shutdown refuses one: a count would run out first on a machine that stalls.
            const ULONGLONG giveUp = GetTickCount64() + 60000;
            while ((last = stream->RequestSample(nullptr)) == S_OK && GetTickCount64() < giveUp)
                ++requests;
        });
        while (requests < 3)
            SwitchToThread();
        std::thread other([&] { EXPECT_EQ(source->Shutdown(), S_OK); });
        other.join();
        host.join();
        EXPECT_EQ(last, MF_E_SHUTDOWN);

        ComPtr<IMFMediaSourceEx> sourceEx;
        ComPtr<IKsControl> control;
        ComPtr<IMFGetService> services;
        ASSERT_EQ(source.As(&sourceEx), S_OK);
        ASSERT_EQ(source.As(&control), S_OK);
        ASSERT_EQ(source.As(&services), S_OK);
        DWORD word = 0;
        ComPtr<IMFPresentationDescriptor> copy;
        ComPtr<IMFMediaEvent> event;
        ComPtr<IMFAttributes> attributes;
        ComPtr<IMFStreamDescriptor> descriptor;
        ComPtr<IMFMediaSource> parent;
        MF_STREAM_STATE state{};
        ComPtr<IMediaStream2> stream2;
        ASSERT_EQ(stream->QueryInterface(kIIDMediaStream2, reinterpret_cast<void**>(stream2.GetAddressOf())), S_OK);
        void* service = nullptr;
        KSIDENTIFIER property{};
        const HRESULT calls[] = {
            source->GetCharacteristics(&word),
            source->CreatePresentationDescriptor(&copy),
            source->Start(presentation.Get(), nullptr, nullptr),
            source->Stop(),
            source->Pause(),
            source->Shutdown(),
            source->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event),
            source->QueueEvent(MEUnknown, GUID_NULL, S_OK, nullptr),
            sourceEx->GetSourceAttributes(&attributes),
            sourceEx->GetStreamAttributes(0, &attributes),
            sourceEx->SetD3DManager(nullptr),
            services->GetService(GUID_NULL, IID_IUnknown, &service),
            control->KsProperty(&property, sizeof property, nullptr, 0, &word),
            stream->RequestSample(nullptr),
            stream->GetStreamDescriptor(&descriptor),
            stream->GetMediaSource(&parent),
            stream->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event),
            stream2->SetStreamState(MF_STREAM_STATE_RUNNING),
            stream2->GetStreamState(&state),
        };
        for (std::size_t i = 0; i < std::size(calls); ++i)
            EXPECT_EQ(calls[i], MF_E_SHUTDOWN) << "call " << i;
    }
    EXPECT_EQ(module.CanUnloadSoon(), S_OK);
}

// A host that lets go of the source without Shutdown (a source reader told to leave that to the app,
// the camera service reading types) ends the stream's run with it, whichever goes last: a stream held
// longer answers MF_E_SHUTDOWN, for its source too, and a host thread asking the stream for its source
// while the last reference goes never brings it back. Each time the module may go afterwards.
TEST(MediaSource, ReleasedWithoutShutdownEndsTheStreamAndLetsTheModuleGo) {
    ModuleWithoutApp setup("640,480");
    const Module& module = setup.module;
    const Watchdog watchdog("releasing sources without Shutdown", 55000);
    const auto started = [&module](ComPtr<IMFMediaSource>& source, ComPtr<IMFMediaStream>& stream) {
        ComPtr<IMFPresentationDescriptor> presentation;
        ASSERT_TRUE(source = module.NewSource());
        ASSERT_EQ(source->CreatePresentationDescriptor(&presentation), S_OK);
        ASSERT_EQ(source->Start(presentation.Get(), nullptr, nullptr), S_OK);
        ASSERT_TRUE(stream = AnnouncedStream(source.Get()));
        ASSERT_EQ(stream->RequestSample(nullptr), S_OK);
        ASSERT_EQ(NextTypes(stream.Get(), 2), (std::vector<MediaEventType>{MEStreamStarted, MEMediaSample}));
    };

    for (const bool streamLast : {false, true}) {
        SCOPED_TRACE(streamLast ? "stream released last" : "source released last");
        ComPtr<IMFMediaSource> source, parent;
        ComPtr<IMFMediaStream> stream;
        ASSERT_NO_FATAL_FAILURE(started(source, stream));
        ASSERT_EQ(stream->GetMediaSource(&parent), S_OK);
        EXPECT_EQ(parent.Get(), source.Get());
        parent.Reset();
        ASSERT_EQ(stream->RequestSample(nullptr), S_OK); // still being filled as the source goes
        if (streamLast) {
            source.Reset();
            ComPtr<IMFStreamDescriptor> descriptor;
            ComPtr<IMFMediaEvent> event;
            EXPECT_EQ(stream->GetMediaSource(&parent), MF_E_SHUTDOWN);
            EXPECT_FALSE(parent);
            EXPECT_EQ(stream->RequestSample(nullptr), MF_E_SHUTDOWN);
            EXPECT_EQ(stream->GetStreamDescriptor(&descriptor), MF_E_SHUTDOWN);
            EXPECT_EQ(stream->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event), MF_E_SHUTDOWN);
        }
        stream.Reset();
        source.Reset();
        EXPECT_EQ(module.CanUnloadSoon(), S_OK);
    }

    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        ComPtr<IMFMediaSource> source;
        ComPtr<IMFMediaStream> stream;
        ASSERT_NO_FATAL_FAILURE(started(source, stream));
        std::atomic<int> asked{0};
        std::atomic<bool> refused{false};
        HRESULT last = S_OK;
        std::thread host([&] {
            const auto giveUp = Clock::now() + std::chrono::seconds(2);
            ComPtr<IMFMediaSource> parent;
            while ((last = stream->GetMediaSource(&parent)) == S_OK && Clock::now() < giveUp) {
                parent.Reset();
                ++asked;
            }
            refused = true;
        });
        while (asked < 50 && !refused)
            SwitchToThread();
        source.Reset();
        host.join();
        EXPECT_EQ(last, MF_E_SHUTDOWN);
        EXPECT_GE(asked, 50);
        stream.Reset();
        EXPECT_EQ(module.CanUnloadSoon(), S_OK);
    }
}

// Registration as a COM class of this module (both threading models), and its removal. Publishing as
// a camera where the platform has no virtual cameras (here) logs one line and is no failure. The
// registered server is the module's own file wherever it lies: in a folder whose name the ANSI code
// page cannot spell, and deeper than MAX_PATH, where the registration refused before.
TEST(MediaSource, RegistersItsClassAndPublishesOnlyWhereThePlatformCan) {
    AppDataWithSettings settings("1280,720");
    SetEnvironmentVariableW(L"APPDATA", settings.Path().c_str());
    wchar_t clsid[39] = {};
    StringFromGUID2(kClsidMediaSource, clsid, 39);
    const std::wstring key = std::wstring(L"CLSID\\") + clsid, server = key + L"\\InprocServer32";
    const auto registers = [&](const std::wstring& file, HMODULE module) {
        const auto call = [module](const char* name) {
            return reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
                reinterpret_cast<void (*)()>(GetProcAddress(module, name)))();
        };
        ASSERT_EQ(call("DllRegisterServer"), S_OK);
        std::wstring registered = RegistryText(server);
        if (registered.starts_with(kLongPathPrefix))
            registered.erase(0, kLongPathPrefix.size());
        EXPECT_EQ(_wcsicmp(registered.c_str(), file.c_str()), 0)
            << "registered " << ::testing::PrintToString(registered);
        EXPECT_EQ(RegistryText(server, L"ThreadingModel"), L"Both");
        EXPECT_EQ(call("DllUnregisterServer"), S_OK);
        EXPECT_EQ(RegistryText(key), L"<missing>");
        HKEY left = nullptr;
        EXPECT_NE(RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &left), ERROR_SUCCESS);
    };
    Module module(ProgramFolder());
    registers(ProgramFolder() + L"ZarvoMediaSource.dll", module.handle);
    ForEachCopyInAwkwardFolders(ProgramFolder() + L"ZarvoMediaSource.dll", registers);

    const auto install = module.Export<HRESULT(STDAPICALLTYPE*)(BOOL, PCWSTR)>("DllInstall");
    ASSERT_NE(install, nullptr);
    EXPECT_EQ(install(TRUE, L""), S_OK);
    EXPECT_EQ(install(FALSE, L""), S_OK);
    const auto lines = ReadLogLines(settings.SettingsFolder() + L"\\Logs", L"*.log");
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) {
                                return line.find("Media Foundation apps cannot use the camera") != line.npos;
                            }),
              2)
        << "one line per call";
}

// Through the platform's source reader with the reference app: every frame after the leading
// placeholders is the app's pattern, pixel for pixel, in NV12 and YUY2 at two sizes the app renders;
// then the app is killed, the placeholder says so, and the app's frames come back once the camera
// has started it again.
TEST(MediaSource, SourceReaderGetsTheAppsFramesExactlyAndRecoversWhenTheAppIsKilled) {
    MediaPlatform platform;
    const struct {
        const char* resolution;
        FrameSize size;
    } apps[] = {{"1280,720", {1280, 720}}, {"1920,1080", {1920, 1080}}};
    for (const auto& app : apps) {
        AppDataWithSettings settings(app.resolution);
        auto server = std::make_unique<ServerProcess>(settings.Path());
        ASSERT_TRUE(server->WaitUntilLive());
        Module module(ProgramFolder());
        for (const GUID* subtype : kSubtypes) {
            const bool yuy2 = *subtype == MFVideoFormat_YUY2;
            SCOPED_TRACE(std::string(app.resolution) + (yuy2 ? " YUY2" : " NV12"));
            auto source = module.NewSource();
            ASSERT_TRUE(source);
            ComPtr<IMFSourceReader> reader;
            ASSERT_EQ(MFCreateSourceReaderFromMediaSource(source.Get(), nullptr, &reader), S_OK);
            ASSERT_TRUE(SelectType(reader.Get(), *subtype, app.size));

            const auto placeholders = Placeholders(app.size, *subtype);
            const std::uint32_t w = app.size.width, h = app.size.height;
            std::vector<std::uint8_t> nv12(Server::PatternFrameBytes(h, w));
            const FrameScaler scaler(w, h, w, h, yuy2 ? ScaledLayout::Yuy2 : ScaledLayout::Nv12);
            // Reads until `frames` pattern frames came (or 450 samples); what each sample was.
            struct Tally {
                int pattern = 0, placeholder = 0, stopped = 0, other = 0;
            };
            LONGLONG previous = 0;
            const auto read = [&](int frames, bool untilStopped = false) {
                Tally tally;
                for (int i = 0; i < 450 && tally.pattern < frames && !(untilStopped && tally.stopped); ++i) {
                    DWORD flags = 0;
                    LONGLONG time = 0, duration = 0;
                    ComPtr<IMFSample> sample;
                    if (FAILED(reader->ReadSample(kVideo, 0, nullptr, &flags, &time, &sample)) || !sample) {
                        ++tally.other;
                        break;
                    }
                    sample->GetSampleDuration(&duration);
                    EXPECT_EQ(duration, 333666);
                    EXPECT_GT(time, previous);
                    previous = time;
                    const auto bytes = BytesOf(sample.Get());
                    std::uint64_t number = 0;
                    if (bytes == placeholders[2])
                        ++tally.stopped;
                    else if (std::count(placeholders.begin(), placeholders.end(), bytes))
                        ++tally.placeholder;
                    else if (bytes.size() > w * 2 &&
                             Server::ReadPatternNumber(bytes.data(), yuy2 ? 2 : 1, yuy2 ? 2 * w : w, w, h, number)) {
                        Server::DrawPatternNV12(w, h, number, nv12.data(), w);
                        std::vector<std::uint8_t> expected(bytes.size());
                        scaler.Run(w, nv12.data(), expected.data());
                        ++(expected == bytes ? tally.pattern : tally.other);
                    } else {
                        ++tally.other;
                    }
                }
                return tally;
            };
            const Tally first = read(5);
            EXPECT_EQ(std::tuple(first.pattern, first.stopped, first.other), std::tuple(5, 0, 0));
            if (yuy2 && app.size == FrameSize{1920, 1080}) {
                // Killed: the placeholder says the app stopped; the camera starts it again from its folder.
                TerminateProcess(server->Handle(), 1);
                server->WaitForExit(10000);
                const Tally lost = read(1000, true);
                EXPECT_EQ(std::tuple(lost.stopped, lost.other), std::tuple(1, 0));
                EXPECT_LE(lost.pattern + lost.placeholder, 105)
                    << "the placeholder came later than 3.5 s after the kill";
                const Tally back = read(5);
                EXPECT_EQ(std::tuple(back.pattern, back.other), std::tuple(5, 0));
            }
        }
        server.reset();
        RunProgram(ReferenceServerPath(), L"--quit", 20000); // the one the camera started, if any
    }
}
