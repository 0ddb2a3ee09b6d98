// The framework against Wine's filter graph manager, memory allocator and event queue.
#include "TestFilters.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

using namespace FrameworkTest;

namespace {

struct Graph : ::testing::Test {
    ComScope com;
    LONG liveBefore = CBaseObject::LiveObjectCount();

    TestSource* source = nullptr;
    TestStream* stream = nullptr;
    TestSink* sink = nullptr;
    ComPtr<IBaseFilter> sourceFilter;
    ComPtr<IBaseFilter> sinkFilter;
    ComPtr<IGraphBuilder> graph;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaEvent> events;

    void SetUp() override {
        sourceFilter = TestSource::Create(&source, &stream);
        sinkFilter = TestSink::Create(&sink);
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph)), S_OK);
        ASSERT_EQ(graph.As(&control), S_OK);
        ASSERT_EQ(graph->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(events.ReleaseAndGetAddressOf())), S_OK);
        ASSERT_EQ(graph->AddFilter(sourceFilter.Get(), L"source"), S_OK);
        ASSERT_EQ(graph->AddFilter(sinkFilter.Get(), L"sink"), S_OK);
    }

    void TearDown() override {
        if (control)
            control->Stop();
        events.Reset();
        control.Reset();
        graph.Reset();
        sourceFilter.Reset();
        sinkFilter.Reset();
        EXPECT_EQ(CBaseObject::LiveObjectCount(), liveBefore);
    }

    IPin* Out() { return stream; }

    HRESULT ConnectDirect(const AM_MEDIA_TYPE* type = nullptr) { return graph->ConnectDirect(Out(), sink->Pin(), type); }

    bool WaitSink(const std::function<bool()>& done) {
        std::unique_lock lock(sink->mutex);
        return WaitFor(lock, sink->changed, done);
    }
    bool WaitStream(const std::function<bool()>& done) {
        std::unique_lock lock(stream->mutex);
        return WaitFor(lock, stream->changed, done);
    }

    // Every graph event queued now (code and first parameter).
    std::vector<std::pair<long, LONG_PTR>> DrainEvents() {
        std::vector<std::pair<long, LONG_PTR>> got;
        long code = 0;
        LONG_PTR p1 = 0, p2 = 0;
        while (events->GetEvent(&code, &p1, &p2, 0) == S_OK) {
            got.emplace_back(code, p1);
            events->FreeEventParams(code, p1, p2);
        }
        return got;
    }

    void ExpectUnconnected() {
        IPin* peer = nullptr;
        EXPECT_EQ(Out()->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
        EXPECT_FALSE(sink->Connected());
        EXPECT_EQ(stream->Allocator(), nullptr);
    }
};

double MillisecondsSince(LARGE_INTEGER start) {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

} // namespace

TEST_F(Graph, FullySpecifiedTypeIsTheOnlyOneTried) {
    sink->offered = {MakeVideoType(MEDIASUBTYPE_YUY2, 8)};
    const CMediaType unknown = MakeVideoType(MEDIASUBTYPE_YUY2, 16);
    EXPECT_EQ(Out()->Connect(sink->Pin(), &unknown), VFW_E_TYPE_NOT_ACCEPTED);
    EXPECT_EQ(stream->checkedWidths, std::vector<LONG>{16});
    EXPECT_TRUE(sink->receivedTypes.empty());
    ExpectUnconnected();

    // Codes of the type check: S_FALSE, E_FAIL and E_INVALIDARG say "not accepted", others pass.
    stream->checkFailure = S_FALSE;
    EXPECT_EQ(Out()->Connect(sink->Pin(), &unknown), VFW_E_TYPE_NOT_ACCEPTED);
    stream->checkFailure = E_INVALIDARG;
    EXPECT_EQ(Out()->Connect(sink->Pin(), &unknown), VFW_E_TYPE_NOT_ACCEPTED);
    stream->checkFailure = E_ACCESSDENIED;
    EXPECT_EQ(Out()->Connect(sink->Pin(), &unknown), E_ACCESSDENIED);
    ExpectUnconnected();

    const CMediaType mine = MakeVideoType(MEDIASUBTYPE_YUY2, 8);
    ASSERT_EQ(ConnectDirect(&mine), S_OK);
    ASSERT_EQ(sink->receivedTypes.size(), 1u);
    EXPECT_TRUE(sink->receivedTypes[0] == mine);
    AM_MEDIA_TYPE connected{};
    ASSERT_EQ(Out()->ConnectionMediaType(&connected), S_OK);
    EXPECT_TRUE(MediaTypesEqual(connected, mine));
    ReleaseMediaType(connected);
    EXPECT_EQ(Out()->ConnectionMediaType(nullptr), E_POINTER);
    IPin* peer = nullptr;
    ASSERT_EQ(Out()->ConnectedTo(&peer), S_OK);
    EXPECT_EQ(peer, sink->Pin());
    peer->Release();
    EXPECT_EQ(Out()->ConnectedTo(nullptr), E_POINTER);

    EXPECT_EQ(Out()->Connect(sink->Pin(), &mine), VFW_E_ALREADY_CONNECTED);
    EXPECT_EQ(Out()->Connect(nullptr, &mine), E_POINTER);
}

TEST_F(Graph, PartialTypeTriesReceiversTypesFirstThenOwnFiltered) {
    CMediaType audio;
    audio.majortype = MEDIATYPE_Audio;
    audio.subtype = MEDIASUBTYPE_PCM;
    sink->offered = {MakeVideoType(MEDIASUBTYPE_NV12, 8), audio, MakeVideoType(MEDIASUBTYPE_YUY2, 8)};
    stream->types = {MakeVideoType(MEDIASUBTYPE_RGB24, 8), MakeVideoType(MEDIASUBTYPE_YUY2, 8)};
    int refusals = 0;
    // The second refusal (our own RGB24, in the last pass) is specific and must survive the
    // generic one after it.
    sink->accept = [&](const AM_MEDIA_TYPE&) { return refusals++ == 1 ? E_ACCESSDENIED : E_FAIL; };

    CMediaType video;
    video.majortype = MEDIATYPE_Video;
    EXPECT_EQ(Out()->Connect(sink->Pin(), &video), E_ACCESSDENIED);
    const std::vector<GUID> expectChecked = {MEDIASUBTYPE_NV12, MEDIASUBTYPE_YUY2, MEDIASUBTYPE_RGB24, MEDIASUBTYPE_YUY2};
    EXPECT_EQ(stream->checked, expectChecked); // the audio type never reaches the check
    ASSERT_EQ(sink->receivedTypes.size(), 3u);
    EXPECT_EQ(sink->receivedTypes[1].subtype, MEDIASUBTYPE_RGB24);
    ExpectUnconnected();

    // Only generic refusals: no acceptable types.
    sink->accept = [](const AM_MEDIA_TYPE&) { return E_FAIL; };
    EXPECT_EQ(Out()->Connect(sink->Pin(), &video), VFW_E_NO_ACCEPTABLE_TYPES);
    ExpectUnconnected();

    // No type at all: the receiver's acceptable type wins before our own first.
    sink->accept = nullptr;
    stream->checked.clear();
    ASSERT_EQ(Out()->Connect(sink->Pin(), nullptr), S_OK);
    EXPECT_EQ(sink->receivedTypes.back().subtype, MEDIASUBTYPE_YUY2);
    EXPECT_EQ(stream->CurrentMediaType().subtype, MEDIASUBTYPE_YUY2);
}

TEST_F(Graph, ConnectionStateAndDirectionCodes) {
    // A second source's output pin offering itself to ours.
    TestSource* other = nullptr;
    TestStream* otherStream = nullptr;
    auto otherFilter = TestSource::Create(&other, &otherStream);
    const CMediaType mine = MakeVideoType(MEDIASUBTYPE_YUY2, 8);
    EXPECT_EQ(Out()->ReceiveConnection(otherStream, &mine), VFW_E_INVALID_DIRECTION);
    EXPECT_EQ(Out()->Connect(otherStream, &mine), VFW_E_INVALID_DIRECTION);
    EXPECT_EQ(Out()->ReceiveConnection(nullptr, &mine), E_POINTER);
    EXPECT_EQ(Out()->ReceiveConnection(otherStream, nullptr), E_POINTER);
    ExpectUnconnected();

    ASSERT_EQ(sourceFilter->Pause(), S_OK); // unconnected: allowed, no thread
    EXPECT_FALSE(stream->ThreadExists());
    EXPECT_EQ(stream->CountHook("OnThreadCreate"), 0);
    EXPECT_EQ(Out()->Connect(sink->Pin(), &mine), VFW_E_NOT_STOPPED);
    EXPECT_EQ(Out()->ReceiveConnection(otherStream, &mine), VFW_E_NOT_STOPPED);
    ASSERT_EQ(sourceFilter->Stop(), S_OK);

    // The receiver accepts, then refuses our allocator: it is disconnected again.
    sink->notifyResult = E_ACCESSDENIED;
    EXPECT_EQ(Out()->Connect(sink->Pin(), &mine), E_ACCESSDENIED);
    ExpectUnconnected();
    sink->notifyResult = S_OK;

    ASSERT_EQ(ConnectDirect(&mine), S_OK);
    ASSERT_EQ(control->Pause(), S_OK);
    EXPECT_EQ(Out()->Disconnect(), VFW_E_NOT_STOPPED);
    ASSERT_EQ(control->Stop(), S_OK);
    EXPECT_EQ(Out()->Disconnect(), S_OK);
    EXPECT_EQ(sink->Pin()->Disconnect(), S_OK);
    ExpectUnconnected();
}

TEST_F(Graph, AllocatorOfTheInputPinFirstThenTheDefault) {
    sink->reportRequirements = true;
    sink->requirements.cBuffers = 1;
    sink->requirements.cbBuffer = 64;
    sink->requirements.cbAlign = 0;
    sink->requirements.cbPrefix = 16;
    ASSERT_EQ(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER,
                               IID_PPV_ARGS(&sink->ownAllocator)),
              S_OK);
    const CMediaType mine = MakeVideoType(MEDIASUBTYPE_YUY2, 8);
    ASSERT_EQ(ConnectDirect(&mine), S_OK);
    EXPECT_EQ(stream->sizedAllocator, sink->ownAllocator.Get());
    EXPECT_EQ(stream->Allocator(), sink->ownAllocator.Get());
    EXPECT_EQ(sink->notified.Get(), sink->ownAllocator.Get());
    EXPECT_EQ(stream->request.cbAlign, 1);
    EXPECT_EQ(stream->request.cbPrefix, 16);
    EXPECT_EQ(stream->request.cbBuffer, 64);
    ASSERT_EQ(graph->Disconnect(Out()), S_OK);
    ASSERT_EQ(graph->Disconnect(sink->Pin()), S_OK);
    EXPECT_EQ(stream->Allocator(), nullptr);

    // No allocator of its own and no requirements: a fresh memory allocator, alignment 1.
    sink->ownAllocator.Reset();
    sink->reportRequirements = false;
    sink->notified.Reset();
    ASSERT_EQ(ConnectDirect(&mine), S_OK);
    ASSERT_NE(stream->Allocator(), nullptr);
    EXPECT_EQ(sink->notified.Get(), stream->Allocator());
    EXPECT_EQ(stream->sizedAllocator, stream->Allocator());
    EXPECT_EQ(stream->request.cbAlign, 1);
    EXPECT_EQ(stream->request.cbPrefix, 0);
    ALLOCATOR_PROPERTIES actual{};
    ASSERT_EQ(stream->Allocator()->GetProperties(&actual), S_OK);
    EXPECT_EQ(actual.cbBuffer, stream->bufferSize);
    EXPECT_EQ(actual.cBuffers, stream->bufferCount);
}

TEST_F(Graph, StateChangesDriveTheWorkerThroughItsHooks) {
    const CMediaType mine = MakeVideoType(MEDIASUBTYPE_YUY2, 8);
    ASSERT_EQ(ConnectDirect(&mine), S_OK);
    const DWORD host = GetCurrentThreadId();

    ASSERT_EQ(sourceFilter->Pause(), S_OK);
    ASSERT_TRUE(stream->ThreadExists());
    // Streaming starts in Paused already.
    ASSERT_TRUE(WaitSink([&] { return sink->samples.size() >= 2; }));
    ASSERT_EQ(sourceFilter->Pause(), S_OK); // a second Pause starts nothing
    ASSERT_EQ(sourceFilter->Run(0), S_OK);
    ASSERT_EQ(sourceFilter->Pause(), S_OK);
    // A Run command while streaming is answered and the loop goes on without a new start.
    EXPECT_EQ(stream->SendCommand(static_cast<DWORD>(WorkerCommand::Run)), S_OK);
    EXPECT_EQ(stream->SendCommand(99), E_UNEXPECTED);
    ASSERT_EQ(sourceFilter->Stop(), S_OK);
    // Stop returned: the worker has run OnThreadDestroy and is gone.
    EXPECT_FALSE(stream->ThreadExists());
    EXPECT_EQ(stream->SendCommand(static_cast<DWORD>(WorkerCommand::Stop)), E_FAIL);

    std::vector<std::string> names;
    for (auto& [name, thread] : stream->hooks) {
        names.push_back(name);
        EXPECT_NE(thread, host) << name;
        EXPECT_EQ(thread, stream->hooks.front().second) << name;
    }
    EXPECT_EQ(names, (std::vector<std::string>{"OnThreadCreate", "OnThreadStartPlay", "OnThreadDestroy"}));

    // Stop while stopped tells no pin; a new Pause brings up a new worker.
    ASSERT_EQ(sourceFilter->Stop(), S_OK);
    ASSERT_EQ(sourceFilter->Pause(), S_OK);
    EXPECT_EQ(stream->CountHook("OnThreadCreate"), 2);
    ASSERT_EQ(sourceFilter->Stop(), S_OK);
    EXPECT_EQ(stream->CountHook("OnThreadDestroy"), 2);
    EXPECT_NE(stream->hooks[3].second, stream->hooks[0].second);
}

TEST_F(Graph, FailedThreadCreationFailsPauseAndCanBeRetried) {
    const CMediaType mine = MakeVideoType(MEDIASUBTYPE_YUY2, 8);
    ASSERT_EQ(ConnectDirect(&mine), S_OK);
    stream->createResult = E_ACCESSDENIED;
    EXPECT_EQ(sourceFilter->Pause(), E_ACCESSDENIED);
    EXPECT_EQ(source->State(), State_Stopped);
    EXPECT_EQ(stream->CountHook("OnThreadDestroy"), 1);
    EXPECT_FALSE(stream->ThreadExists());
    // The buffers were given back.
    IMediaSample* sample = nullptr;
    EXPECT_EQ(stream->Allocator()->GetBuffer(&sample, nullptr, nullptr, 0), VFW_E_NOT_COMMITTED);

    stream->createResult = S_OK;
    ASSERT_EQ(sourceFilter->Pause(), S_OK);
    ASSERT_TRUE(WaitSink([&] { return !sink->samples.empty(); }));
    ASSERT_EQ(sourceFilter->Stop(), S_OK);
    EXPECT_EQ(stream->CountHook("OnThreadDestroy"), 2);
}

TEST_F(Graph, SamplesArriveInOrderWithTheFilledBytes) {
    const CMediaType mine = MakeVideoType(MEDIASUBTYPE_YUY2, 8);
    ASSERT_EQ(ConnectDirect(&mine), S_OK);
    ASSERT_EQ(control->Run(), S_OK);
    ASSERT_TRUE(WaitSink([&] { return sink->samples.size() >= 20; }));
    ASSERT_EQ(control->Stop(), S_OK);
    EXPECT_EQ(stream->CountHook("OnThreadDestroy"), 1);

    std::lock_guard lock(sink->mutex);
    for (size_t n = 0; n < sink->samples.size(); ++n) {
        const auto& got = sink->samples[n];
        ASSERT_EQ(got.bytes.size(), static_cast<size_t>(stream->bufferSize)) << n;
        for (size_t i = 0; i < got.bytes.size(); ++i)
            ASSERT_EQ(got.bytes[i], PatternByte(static_cast<int>(n), i)) << "sample " << n << " byte " << i;
        EXPECT_EQ(got.timeResult, S_OK);
        EXPECT_EQ(got.start, static_cast<REFERENCE_TIME>(n) * 10);
        EXPECT_EQ(got.stop, static_cast<REFERENCE_TIME>(n) * 10 + 10);
    }
    EXPECT_EQ(sink->endOfStreams, 0);
}

TEST_F(Graph, EndOfStreamGivesOneEndOfStreamAndNoEvent) {
    stream->endAfter = 5;
    stream->endCode = S_FALSE;
    const CMediaType mine = MakeVideoType(MEDIASUBTYPE_YUY2, 8);
    ASSERT_EQ(ConnectDirect(&mine), S_OK);
    ASSERT_EQ(control->Run(), S_OK);
    ASSERT_TRUE(WaitSink([&] { return sink->endOfStreams >= 1; }));
    ASSERT_EQ(control->Stop(), S_OK);
    for (auto& [code, param] : DrainEvents())
        EXPECT_NE(code, EC_ERRORABORT);
    EXPECT_EQ(stream->CountHook("OnThreadDestroy"), 1);
    EXPECT_EQ(sink->endOfStreams, 1);
    EXPECT_EQ(sink->samples.size(), 5u);
    EXPECT_EQ(stream->filled, 6); // the worker idled after the end
}

TEST_F(Graph, ErrorGivesEndOfStreamAndOneErrorAbortWithTheCode) {
    stream->endAfter = 3;
    stream->endCode = E_ACCESSDENIED;
    const CMediaType mine = MakeVideoType(MEDIASUBTYPE_YUY2, 8);
    ASSERT_EQ(ConnectDirect(&mine), S_OK);
    ASSERT_EQ(control->Run(), S_OK);
    ASSERT_TRUE(WaitSink([&] { return sink->endOfStreams >= 1; }));
    // Stop joins the worker, so its event is queued by the time Stop returns.
    ASSERT_EQ(control->Stop(), S_OK);
    int aborts = 0;
    for (auto& [code, param] : DrainEvents()) {
        if (code != EC_ERRORABORT)
            continue;
        ++aborts;
        EXPECT_EQ(static_cast<HRESULT>(param), E_ACCESSDENIED);
    }
    EXPECT_EQ(aborts, 1);
    EXPECT_EQ(sink->endOfStreams, 1);
    EXPECT_EQ(sink->samples.size(), 3u);
    EXPECT_EQ(stream->CountHook("OnThreadDestroy"), 1);
}

TEST_F(Graph, RefusedSampleEndsTheRunSilently) {
    sink->refuseFrom = 3;
    const CMediaType mine = MakeVideoType(MEDIASUBTYPE_YUY2, 8);
    ASSERT_EQ(ConnectDirect(&mine), S_OK);
    ASSERT_EQ(control->Run(), S_OK);
    ASSERT_TRUE(WaitSink([&] { return sink->receiveCalls >= 4; }));
    ASSERT_EQ(control->Stop(), S_OK);
    EXPECT_EQ(stream->CountHook("OnThreadDestroy"), 1);
    EXPECT_EQ(sink->receiveCalls, 4);
    EXPECT_EQ(sink->endOfStreams, 0);
    for (auto& [code, param] : DrainEvents())
        EXPECT_NE(code, EC_ERRORABORT);
}

// Also the figure for the notes: how long Stop takes while the worker streams, and while it
// waits for buffers the allocator refuses.
TEST_F(Graph, StopIsPromptWhileStreamingAndWhileBuffersAreRefused) {
    ASSERT_EQ(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER,
                               IID_PPV_ARGS(&sink->ownAllocator)),
              S_OK);
    const CMediaType mine = MakeVideoType(MEDIASUBTYPE_YUY2, 8);
    ASSERT_EQ(ConnectDirect(&mine), S_OK);

    constexpr int kRounds = 20;
    std::vector<double> streaming, refused;
    for (int round = 0; round < kRounds; ++round) {
        ASSERT_EQ(sourceFilter->Pause(), S_OK);
        const size_t seen = [&] { std::lock_guard l(sink->mutex); return sink->samples.size(); }();
        ASSERT_TRUE(WaitSink([&] { return sink->samples.size() >= seen + 3; }));
        LARGE_INTEGER start;
        QueryPerformanceCounter(&start);
        ASSERT_EQ(sourceFilter->Stop(), S_OK);
        streaming.push_back(MillisecondsSince(start));

        ASSERT_EQ(sourceFilter->Pause(), S_OK);
        const int failures = [&] { std::lock_guard l(stream->mutex); return stream->freeSampleFailures; }();
        ASSERT_EQ(sink->ownAllocator->Decommit(), S_OK);
        ASSERT_TRUE(WaitStream([&] { return stream->freeSampleFailures >= failures + 2; }));
        QueryPerformanceCounter(&start);
        ASSERT_EQ(sourceFilter->Stop(), S_OK);
        refused.push_back(MillisecondsSince(start));
    }
    std::sort(streaming.begin(), streaming.end());
    std::sort(refused.begin(), refused.end());
    std::printf("Stop while streaming: median %.3f ms, max %.3f ms; while buffers are refused: median %.3f ms, "
                "max %.3f ms (%d rounds)\n",
                streaming[kRounds / 2], streaming.back(), refused[kRounds / 2], refused.back(), kRounds);
    // Far above the expected ~1 ms: only a Stop that waits on something it should not fails.
    EXPECT_LT(refused[kRounds / 2], 50.0);
    EXPECT_LT(streaming[kRounds / 2], 50.0);
}

TEST_F(Graph, ReleasingAnActiveFilterEndsItsWorker) {
    ASSERT_EQ(graph->RemoveFilter(sinkFilter.Get()), S_OK);
    ASSERT_EQ(graph->RemoveFilter(sourceFilter.Get()), S_OK);
    const CMediaType mine = MakeVideoType(MEDIASUBTYPE_YUY2, 8);
    ASSERT_EQ(Out()->Connect(sink->Pin(), &mine), S_OK);
    // Outside any graph, paused, then dropped without Stop.
    ASSERT_EQ(sourceFilter->Pause(), S_OK);
    ASSERT_TRUE(WaitSink([&] { return !sink->samples.empty(); }));
    sink->Pin()->Disconnect(); // the sink's hold on our pin
    sourceFilter.Reset();      // the filter goes; its worker must end first
    EXPECT_EQ(CBaseObject::LiveObjectCount(), liveBefore);
}
