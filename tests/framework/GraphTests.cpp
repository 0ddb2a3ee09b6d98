// The framework against Wine's filter graph manager, memory allocator and event queue.
#include "TestFilters.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace FrameworkTest;

namespace {

struct Graph : ::testing::Test {
    ComScope com;
    LONG liveBefore = CBaseObject::LiveObjectCount();
    TestSource* source = nullptr;
    TestStream* stream = nullptr;
    TestSink* sink = nullptr;
    ComPtr<IBaseFilter> sourceFilter = TestSource::Create(&source, &stream);
    ComPtr<IBaseFilter> sinkFilter = TestSink::Create(&sink);
    ComPtr<IGraphBuilder> graph;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaEvent> events;
    const CMediaType mine = MakeVideoType(MEDIASUBTYPE_YUY2, 8);

    void SetUp() override {
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph)),
                  S_OK);
        ASSERT_EQ(graph.As(&control), S_OK);
        ASSERT_EQ(graph->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(events.GetAddressOf())),
                  S_OK);
        ASSERT_EQ(graph->AddFilter(sourceFilter.Get(), L"source"), S_OK);
        ASSERT_EQ(graph->AddFilter(sinkFilter.Get(), L"sink"), S_OK);
    }
    void TearDown() override {
        if (control)
            control->Stop();
        events.Reset(), control.Reset(), graph.Reset(), sourceFilter.Reset(), sinkFilter.Reset();
        EXPECT_EQ(CBaseObject::LiveObjectCount(), liveBefore);
    }

    IPin* Out() { return stream; }
    void GiveTheSinkAnAllocator() {
        ASSERT_EQ(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_PPV_ARGS(&sink->ownAllocator)),
                  S_OK);
    }
    HRESULT Connect(const AM_MEDIA_TYPE* type) { return Out()->Connect(sink->Pin(), type); }
    // The first parameters of the error-abort events queued now.
    std::vector<LONG_PTR> ErrorAborts() {
        std::vector<LONG_PTR> got;
        long code = 0;
        LONG_PTR p1 = 0, p2 = 0;
        while (events->GetEvent(&code, &p1, &p2, 0) == S_OK) {
            if (code == EC_ERRORABORT)
                got.push_back(p1);
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

} // namespace

TEST_F(Graph, FullySpecifiedTypeIsTheOnlyOneTriedAndRefusalsMapToTheirCodes) {
    const CMediaType other = MakeVideoType(MEDIASUBTYPE_NV12, 8);
    sink->offered = {mine};
    // The type check's S_FALSE, E_FAIL and E_INVALIDARG say "not accepted"; other failures pass.
    const std::pair<HRESULT, HRESULT> refusals[] = {{E_FAIL, VFW_E_TYPE_NOT_ACCEPTED},
                                                    {S_FALSE, VFW_E_TYPE_NOT_ACCEPTED},
                                                    {E_INVALIDARG, VFW_E_TYPE_NOT_ACCEPTED},
                                                    {E_ACCESSDENIED, E_ACCESSDENIED}};
    for (auto [check, expected] : refusals) {
        stream->checkFailure = check;
        stream->checked.clear();
        EXPECT_EQ(Connect(&other), expected);
        EXPECT_EQ(stream->checked, std::vector<GUID>{MEDIASUBTYPE_NV12});
        ExpectUnconnected();
    }
    EXPECT_TRUE(sink->receivedTypes.empty());

    ASSERT_EQ(Connect(&mine), S_OK);
    ASSERT_EQ(sink->receivedTypes.size(), 1u);
    EXPECT_TRUE(sink->receivedTypes[0] == mine);
    AM_MEDIA_TYPE connected{};
    ASSERT_EQ(Out()->ConnectionMediaType(&connected), S_OK);
    EXPECT_TRUE(MediaTypesEqual(connected, mine));
    ReleaseMediaType(connected);
    ComPtr<IPin> peer;
    ASSERT_EQ(Out()->ConnectedTo(&peer), S_OK);
    EXPECT_EQ(peer.Get(), sink->Pin());
    EXPECT_EQ(Connect(&mine), VFW_E_ALREADY_CONNECTED);
}

TEST_F(Graph, PartialTypeTriesReceiversTypesFirstThenOwnFiltered) {
    CMediaType audio, video;
    audio.majortype = MEDIATYPE_Audio;
    video.majortype = MEDIATYPE_Video;
    sink->offered = {MakeVideoType(MEDIASUBTYPE_NV12, 8), audio, mine};
    stream->types = {MakeVideoType(MEDIASUBTYPE_RGB24, 8), mine};
    int refusals = 0;
    // The second refusal (our own RGB24, in the last pass) is specific and must survive the
    // generic one after it.
    sink->accept = [&](const AM_MEDIA_TYPE&) { return refusals++ == 1 ? E_ACCESSDENIED : E_FAIL; };
    EXPECT_EQ(Connect(&video), E_ACCESSDENIED);
    const std::vector<GUID> expectChecked = {MEDIASUBTYPE_NV12, MEDIASUBTYPE_YUY2, MEDIASUBTYPE_RGB24,
                                             MEDIASUBTYPE_YUY2};
    EXPECT_EQ(stream->checked, expectChecked); // the audio type never reaches the check
    ASSERT_EQ(sink->receivedTypes.size(), 3u);
    EXPECT_EQ(sink->receivedTypes[1].subtype, MEDIASUBTYPE_RGB24);
    ExpectUnconnected();

    sink->accept = [](const AM_MEDIA_TYPE&) { return E_FAIL; }; // only generic refusals
    EXPECT_EQ(Connect(&video), VFW_E_NO_ACCEPTABLE_TYPES);
    ExpectUnconnected();

    sink->accept = nullptr; // no type at all: the receiver's acceptable type wins over our first
    ASSERT_EQ(Connect(nullptr), S_OK);
    EXPECT_EQ(sink->receivedTypes.back().subtype, MEDIASUBTYPE_YUY2);
    EXPECT_EQ(stream->CurrentMediaType().subtype, MEDIASUBTYPE_YUY2);
}

TEST_F(Graph, ConnectionStateAndDirectionCodes) {
    TestStream* otherStream = nullptr; // a second source's output pin offering itself to ours
    auto otherFilter = TestSource::Create(nullptr, &otherStream);
    EXPECT_EQ(Out()->ReceiveConnection(otherStream, &mine), VFW_E_INVALID_DIRECTION);
    EXPECT_EQ(Out()->Connect(otherStream, &mine), VFW_E_INVALID_DIRECTION);
    ExpectUnconnected();

    ASSERT_EQ(sourceFilter->Pause(), S_OK); // unconnected: allowed, no thread
    EXPECT_FALSE(stream->ThreadExists());
    EXPECT_EQ(stream->CountHook("OnThreadCreate"), 0);
    EXPECT_EQ(Connect(&mine), VFW_E_NOT_STOPPED);
    EXPECT_EQ(Out()->ReceiveConnection(otherStream, &mine), VFW_E_NOT_STOPPED);
    ASSERT_EQ(sourceFilter->Stop(), S_OK);

    sink->notifyResult = E_ACCESSDENIED; // accepts the type, refuses our allocator: disconnected
    EXPECT_EQ(Connect(&mine), E_ACCESSDENIED);
    ExpectUnconnected();
    sink->notifyResult = S_OK;

    ASSERT_EQ(Connect(&mine), S_OK);
    ASSERT_EQ(control->Pause(), S_OK);
    EXPECT_EQ(Out()->Disconnect(), VFW_E_NOT_STOPPED);
    ASSERT_EQ(control->Stop(), S_OK);
    EXPECT_EQ(Out()->Disconnect(), S_OK);
    EXPECT_EQ(sink->Pin()->Disconnect(), S_OK);
    ExpectUnconnected();
}

TEST_F(Graph, AllocatorOfTheInputPinFirstThenTheDefault) {
    sink->requirements = ALLOCATOR_PROPERTIES{1, 64, 0, 16}; // buffers, size, alignment 0, prefix
    GiveTheSinkAnAllocator();
    ASSERT_EQ(Connect(&mine), S_OK);
    EXPECT_EQ(stream->sizedAllocator, sink->ownAllocator.Get());
    EXPECT_EQ(stream->Allocator(), sink->ownAllocator.Get());
    EXPECT_EQ(sink->notified.Get(), sink->ownAllocator.Get());
    EXPECT_EQ(stream->request.cbAlign, 1);
    EXPECT_EQ(stream->request.cbPrefix, 16);
    EXPECT_EQ(stream->request.cbBuffer, 64);
    ASSERT_EQ(Out()->Disconnect(), S_OK);
    ASSERT_EQ(sink->Pin()->Disconnect(), S_OK);
    EXPECT_EQ(stream->Allocator(), nullptr);

    // No allocator of its own and no requirements: a fresh memory allocator, alignment 1.
    sink->ownAllocator.Reset();
    sink->requirements.reset();
    ASSERT_EQ(Connect(&mine), S_OK);
    ASSERT_NE(stream->Allocator(), nullptr);
    EXPECT_EQ(sink->notified.Get(), stream->Allocator());
    EXPECT_EQ(stream->sizedAllocator, stream->Allocator());
    EXPECT_EQ(stream->request.cbAlign, 1);
    EXPECT_EQ(stream->request.cbPrefix, 0);
}

TEST_F(Graph, StateChangesDriveTheWorkerThroughItsHooksOnItsOwnThread) {
    ASSERT_EQ(Connect(&mine), S_OK);
    // A worker that fails to start fails Pause, gives the buffers back and can be retried.
    stream->createResult = E_ACCESSDENIED;
    EXPECT_EQ(sourceFilter->Pause(), E_ACCESSDENIED);
    EXPECT_EQ(source->State(), State_Stopped);
    EXPECT_FALSE(stream->ThreadExists());
    EXPECT_EQ(stream->CountHook("OnThreadDestroy"), 1);
    IMediaSample* sample = nullptr;
    EXPECT_EQ(stream->Allocator()->GetBuffer(&sample, nullptr, nullptr, 0), VFW_E_NOT_COMMITTED);
    stream->createResult = S_OK;
    stream->hooks.clear();

    ASSERT_EQ(sourceFilter->Pause(), S_OK);
    ASSERT_TRUE(stream->ThreadExists());
    ASSERT_TRUE(sink->Wait([&] { return sink->samples.size() >= 2; })); // streaming starts in Paused
    ASSERT_EQ(sourceFilter->Pause(), S_OK);                             // a second Pause starts nothing
    ASSERT_EQ(sourceFilter->Run(0), S_OK);
    ASSERT_EQ(sourceFilter->Pause(), S_OK);
    // Commands while streaming: Run is answered and the loop goes on, unknown ones are refused.
    EXPECT_EQ(stream->SendCommand(static_cast<DWORD>(WorkerCommand::Run)), S_OK);
    EXPECT_EQ(stream->SendCommand(99), E_UNEXPECTED);
    ASSERT_EQ(sourceFilter->Stop(), S_OK);
    EXPECT_FALSE(stream->ThreadExists()); // Stop returned after OnThreadDestroy: the worker is gone
    EXPECT_EQ(stream->SendCommand(static_cast<DWORD>(WorkerCommand::Stop)), E_FAIL);
    std::vector<std::string> names;
    for (auto& [name, thread] : stream->hooks) {
        names.push_back(name);
        EXPECT_NE(thread, GetCurrentThreadId()) << name;
        EXPECT_EQ(thread, stream->hooks.front().second) << name;
    }
    EXPECT_EQ(names, (std::vector<std::string>{"OnThreadCreate", "OnThreadStartPlay", "OnThreadDestroy"}));

    ASSERT_EQ(sourceFilter->Stop(), S_OK);  // while stopped: nothing
    ASSERT_EQ(sourceFilter->Pause(), S_OK); // a new worker
    ASSERT_EQ(sourceFilter->Stop(), S_OK);
    ASSERT_EQ(stream->hooks.size(), 6u);
    EXPECT_NE(stream->hooks[3].second, stream->hooks[0].second);
}

TEST_F(Graph, StreamingDeliversTheFilledBytesInOrderAndEndsAsTheSourceOrSinkSays) {
    struct Case {
        int endAfter;
        HRESULT endCode;
        int refuseFrom;
        size_t samples;
        int endOfStreams;
        std::vector<LONG_PTR> errorAborts;
    };
    const Case cases[] = {{-1, S_OK, -1, 20, 0, {}},                       // runs until stopped
                          {5, S_FALSE, -1, 5, 1, {}},                      // the source's end of stream
                          {3, E_ACCESSDENIED, -1, 3, 1, {E_ACCESSDENIED}}, // the source's error
                          {-1, S_OK, 3, 3, 0, {}}}; // the sink refuses the fourth sample
    for (const Case& c : cases) {
        SCOPED_TRACE(c.endAfter * 100 + c.refuseFrom);
        stream->endAfter = c.endAfter, stream->endCode = c.endCode, sink->refuseFrom = c.refuseFrom;
        stream->filled = sink->receiveCalls = sink->endOfStreams = 0;
        sink->samples.clear(), stream->hooks.clear();
        ASSERT_EQ(Connect(&mine), S_OK);
        ASSERT_EQ(control->Run(), S_OK);
        ASSERT_TRUE(sink->Wait([&] {
            return sink->samples.size() >= c.samples &&
                   (c.refuseFrom < 0 || sink->receiveCalls > c.refuseFrom) &&
                   sink->endOfStreams >= c.endOfStreams;
        }));
        // Stop joins the worker, so whatever it sends is there when Stop returns.
        ASSERT_EQ(control->Stop(), S_OK);
        EXPECT_EQ(stream->CountHook("OnThreadDestroy"), 1);
        EXPECT_EQ(sink->endOfStreams, c.endOfStreams);
        EXPECT_EQ(ErrorAborts(), c.errorAborts);
        if (c.endAfter >= 0 || c.refuseFrom >= 0) {
            EXPECT_EQ(sink->samples.size(), c.samples);
            EXPECT_EQ(stream->filled, static_cast<int>(c.samples) + 1); // the worker idled after the end
        }
        for (size_t n = 0; n < sink->samples.size(); ++n) {
            const auto& got = sink->samples[n];
            ASSERT_EQ(got.bytes.size(), static_cast<size_t>(stream->bufferSize)) << n;
            for (size_t i = 0; i < got.bytes.size(); ++i)
                ASSERT_EQ(got.bytes[i], PatternByte(static_cast<int>(n), i))
                    << "sample " << n << " byte " << i;
            EXPECT_EQ(got.start, static_cast<REFERENCE_TIME>(n) * 10);
            EXPECT_EQ(got.stop, static_cast<REFERENCE_TIME>(n) * 10 + 10);
        }
        ASSERT_EQ(graph->Disconnect(Out()), S_OK);
        ASSERT_EQ(graph->Disconnect(sink->Pin()), S_OK);
    }
}

// A worker waiting for buffers the decommitted allocator refuses must not hold Stop up.
TEST_F(Graph, StopIsPromptWhileBuffersAreRefused) {
    GiveTheSinkAnAllocator();
    ASSERT_EQ(Connect(&mine), S_OK);
    std::vector<ULONGLONG> stopMs;
    for (int round = 0; round < 7; ++round) {
        ASSERT_EQ(sourceFilter->Pause(), S_OK);
        int failures = 0;
        stream->Update([&] { failures = stream->freeSampleFailures; });
        ASSERT_EQ(sink->ownAllocator->Decommit(), S_OK);
        ASSERT_TRUE(stream->Wait([&] { return stream->freeSampleFailures >= failures + 2; }));
        const ULONGLONG start = GetTickCount64();
        ASSERT_EQ(sourceFilter->Stop(), S_OK);
        stopMs.push_back(GetTickCount64() - start);
    }
    std::sort(stopMs.begin(), stopMs.end());
    EXPECT_LT(stopMs[stopMs.size() / 2], 50u); // ~1 ms expected; only a Stop that waits on something fails
}

TEST_F(Graph, ReleasingAnActiveFilterEndsItsWorker) {
    ASSERT_EQ(graph->RemoveFilter(sinkFilter.Get()), S_OK);
    ASSERT_EQ(graph->RemoveFilter(sourceFilter.Get()), S_OK);
    ASSERT_EQ(Connect(&mine), S_OK);
    ASSERT_EQ(sourceFilter->Pause(), S_OK); // outside any graph, paused, then dropped without Stop
    ASSERT_TRUE(sink->Wait([&] { return !sink->samples.empty(); }));
    sink->Pin()->Disconnect(); // the sink's hold on our pin
    sourceFilter.Reset();      // the filter goes; its worker must end first
    EXPECT_EQ(CBaseObject::LiveObjectCount(), liveBefore);
}
