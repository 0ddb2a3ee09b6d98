// The framework's filter, pins, enumerators and media types, with Wine's graph and allocator.
#include "TestFilters.h"

#include "framework/ReferenceClock.h"
#include "runtime/Handles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

using namespace FrameworkTest;

namespace {

using Hooks = std::vector<std::string>;

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
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_ALL, IID_PPV_ARGS(&graph)), S_OK);
        ASSERT_EQ((std::tuple{graph.As(&control),
                              graph->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(events.GetAddressOf())),
                              graph->AddFilter(sourceFilter.Get(), L"source"), graph->AddFilter(sinkFilter.Get(), L"sink")}),
                  (std::tuple{S_OK, S_OK, S_OK, S_OK}));
    }
    void TearDown() override {
        if (control)
            control->Stop();
        events.Reset(), control.Reset(), graph.Reset(), sourceFilter.Reset(), sinkFilter.Reset();
        EXPECT_EQ(CBaseObject::LiveObjectCount(), liveBefore);
    }
    HRESULT Connect(const AM_MEDIA_TYPE& type) { return stream->Connect(sink->Pin(), &type); }
    static ULONG References(IUnknown* object) { return object->AddRef(), object->Release(); }
    Hooks HookNames() { // those run so far, checked to have run on one thread that is not ours
        Hooks names;
        for (auto& [name, thread] : stream->hooks) {
            names.push_back(name);
            EXPECT_TRUE(thread != GetCurrentThreadId() && thread == stream->hooks.front().second) << name;
        }
        return names;
    }
    std::vector<LONG_PTR> ErrorAborts() {
        std::vector<LONG_PTR> got;
        long code = 0;
        LONG_PTR p1 = 0, p2 = 0;
        for (; events->GetEvent(&code, &p1, &p2, 0) == S_OK; events->FreeEventParams(code, p1, p2))
            if (code == EC_ERRORABORT)
                got.push_back(p1);
        return got;
    }
    void ExpectUnconnected() {
        ComPtr<IPin> peer;
        EXPECT_TRUE(stream->ConnectedTo(&peer) == VFW_E_NOT_CONNECTED && !sink->Connected() &&
                    !stream->Allocator());
    }
};

} // namespace

TEST_F(Graph, FullySpecifiedTypeIsTheOnlyOneTriedAndRefusalsMapToTheirCodes) {
    sink->offered = {mine};
    // The type check's S_FALSE, E_FAIL and E_INVALIDARG say "not accepted"; other failures pass.
    const HRESULT notAccepted = VFW_E_TYPE_NOT_ACCEPTED;
    for (auto [check, expected] : {std::pair{E_FAIL, notAccepted}, std::pair{S_FALSE, notAccepted},
                                   std::pair{E_INVALIDARG, notAccepted}, std::pair{E_ACCESSDENIED, E_ACCESSDENIED}}) {
        stream->checkFailure = check, stream->checked.clear();
        EXPECT_EQ(Connect(MakeVideoType(MEDIASUBTYPE_NV12, 8)), expected);
        EXPECT_EQ(stream->checked, std::vector<GUID>{MEDIASUBTYPE_NV12});
        ExpectUnconnected();
    }
    EXPECT_TRUE(sink->receivedTypes.empty());
    // Output to output, and anything but Stop while connected or connecting.
    TestStream* otherStream = nullptr;
    auto otherFilter = TestSource::Create(nullptr, &otherStream);
    EXPECT_EQ((std::tuple{stream->ReceiveConnection(otherStream, &mine), stream->Connect(otherStream, &mine)}),
              (std::tuple{VFW_E_INVALID_DIRECTION, VFW_E_INVALID_DIRECTION}));
    ASSERT_EQ(sourceFilter->Pause(), S_OK); // unconnected: allowed, no thread
    EXPECT_FALSE(stream->ThreadExists() || !stream->hooks.empty());
    EXPECT_EQ((std::tuple{Connect(mine), stream->ReceiveConnection(otherStream, &mine)}),
              (std::tuple{VFW_E_NOT_STOPPED, VFW_E_NOT_STOPPED}));
    ASSERT_EQ(sourceFilter->Stop(), S_OK);
    ASSERT_EQ(graph->ConnectDirect(stream, sink->Pin(), &mine), S_OK);
    EXPECT_TRUE(sink->receivedTypes.size() == 1 && sink->receivedTypes[0] == mine && stream->CurrentMediaType() == mine);
    EXPECT_EQ(Connect(mine), VFW_E_ALREADY_CONNECTED);
    ASSERT_EQ(control->Pause(), S_OK);
    EXPECT_EQ(stream->Disconnect(), VFW_E_NOT_STOPPED);
    ASSERT_EQ(control->Stop(), S_OK);
    EXPECT_EQ((std::tuple{stream->Disconnect(), sink->Pin()->Disconnect()}), (std::tuple{S_OK, S_OK}));
    ExpectUnconnected();
}

TEST_F(Graph, PartialTypeTriesReceiversTypesFirstThenOwnFiltered) {
    CMediaType audio, video;
    audio.majortype = MEDIATYPE_Audio, video.majortype = MEDIATYPE_Video;
    sink->offered = {MakeVideoType(MEDIASUBTYPE_NV12, 8), audio, mine};
    stream->types = {MakeVideoType(MEDIASUBTYPE_RGB24, 8), mine};
    // The second refusal (our own RGB24, in the last pass) is specific and outlives the generic ones.
    int refusals = 0;
    sink->accept = [&](const AM_MEDIA_TYPE&) { return refusals++ == 1 ? E_ACCESSDENIED : E_FAIL; };
    EXPECT_EQ(Connect(video), E_ACCESSDENIED);
    EXPECT_EQ(stream->checked, // the audio type never reaches the check
              (std::vector<GUID>{MEDIASUBTYPE_NV12, MEDIASUBTYPE_YUY2, MEDIASUBTYPE_RGB24, MEDIASUBTYPE_YUY2}));
    EXPECT_TRUE(sink->receivedTypes.size() == 3 && sink->receivedTypes[1].subtype == MEDIASUBTYPE_RGB24);
    ExpectUnconnected();
    sink->accept = [](const AM_MEDIA_TYPE&) { return E_FAIL; }; // only generic refusals
    EXPECT_EQ(Connect(video), VFW_E_NO_ACCEPTABLE_TYPES);
    ExpectUnconnected();
    sink->accept = nullptr; // no type at all: the receiver's acceptable type wins over our first
    ASSERT_EQ(stream->Connect(sink->Pin(), nullptr), S_OK);
    EXPECT_TRUE(sink->receivedTypes.back().subtype == MEDIASUBTYPE_YUY2 && stream->CurrentMediaType() == mine);
}

TEST_F(Graph, AllocatorOfTheInputPinFirstThenTheDefault) {
    sink->requirements = ALLOCATOR_PROPERTIES{1, 64, 0, 16}; // buffers, size, alignment 0, prefix
    ASSERT_EQ(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_ALL, IID_PPV_ARGS(&sink->ownAllocator)),
              S_OK);
    for (IMemAllocator* own : {sink->ownAllocator.Get(), static_cast<IMemAllocator*>(nullptr)}) {
        ASSERT_EQ(Connect(mine), S_OK);
        ASSERT_TRUE(stream->Allocator() && (!own || stream->Allocator() == own));
        EXPECT_TRUE(sink->notified.Get() == stream->Allocator() &&
                    stream->sizedAllocator == stream->Allocator());
        const auto& request = stream->request;
        EXPECT_EQ((std::tuple{request.cbAlign, request.cbPrefix}), (std::tuple{1l, own ? 16l : 0l})); // 0 → 1
        ASSERT_EQ((std::tuple{stream->Disconnect(), sink->Pin()->Disconnect()}), (std::tuple{S_OK, S_OK}));
        sink->ownAllocator.Reset(); // then neither an allocator nor requirements: a fresh one
        sink->requirements.reset();
    }
}

// A worker whose OnThreadCreate fails: Pause reports that failure with the filter still stopped,
// the worker has run OnThreadDestroy and is gone, and a later Pause starts afresh.
TEST_F(Graph, StateChangesDriveTheWorkerThroughItsHooksOnItsOwnThread) {
    ASSERT_EQ(Connect(mine), S_OK);
    stream->createResult = E_ACCESSDENIED;
    FILTER_STATE state = State_Running;
    EXPECT_EQ((std::tuple{sourceFilter->Pause(), sourceFilter->GetState(0, &state), state, stream->ThreadExists()}),
              (std::tuple{E_ACCESSDENIED, S_OK, State_Stopped, false}));
    EXPECT_EQ(HookNames(), (Hooks{"OnThreadCreate", "OnThreadDestroy"}));
    EXPECT_TRUE(sink->samples.empty());
    stream->createResult = S_OK, stream->hooks.clear();
    ASSERT_EQ(sourceFilter->Pause(), S_OK);
    ASSERT_TRUE(stream->ThreadExists());
    ASSERT_TRUE(sink->Wait([&] { return sink->samples.size() >= 2; })); // streaming starts in Paused
    ASSERT_EQ(sourceFilter->Pause(), S_OK);                             // a second Pause starts nothing
    ASSERT_EQ(sourceFilter->Run(0), S_OK);
    ASSERT_EQ(sourceFilter->Pause(), S_OK);
    ASSERT_EQ(sourceFilter->Stop(), S_OK);
    EXPECT_FALSE(stream->ThreadExists()); // Stop returned after OnThreadDestroy: the worker is gone
    EXPECT_EQ(HookNames(), (Hooks{"OnThreadCreate", "OnThreadStartPlay", "OnThreadDestroy"}));
    // Dropped while paused, outside any graph and without Stop: the worker ends with the filter.
    const size_t samplesBefore = sink->samples.size();
    ASSERT_EQ((std::tuple{graph->RemoveFilter(sinkFilter.Get()), graph->RemoveFilter(sourceFilter.Get())}),
              (std::tuple{S_OK, S_OK}));
    ASSERT_EQ((std::tuple{Connect(mine), sourceFilter->Pause()}), (std::tuple{S_OK, S_OK}));
    ASSERT_TRUE(sink->Wait([&] { return sink->samples.size() > samplesBefore; }));
    sink->Pin()->Disconnect(); // the sink's hold on our pin
    sourceFilter.Reset();
    EXPECT_EQ(CBaseObject::LiveObjectCount(), liveBefore);
}

TEST_F(Graph, StreamingDeliversTheFilledBytesInOrderAndEndsAsTheSourceOrSinkSays) {
    // The source's last sample and how it ends it, the sample the sink refuses, then what comes.
    using Case = std::tuple<int, HRESULT, int, size_t, int, std::vector<LONG_PTR>>;
    for (auto& [endAfter, endCode, refuseFrom, samples, endOfStreams, errorAborts] :
         {Case{-1, S_OK, -1, 20, 0, {}}, Case{5, S_FALSE, -1, 5, 1, {}},
          Case{3, E_ACCESSDENIED, -1, 3, 1, {E_ACCESSDENIED}}, Case{-1, S_OK, 3, 3, 0, {}}}) {
        SCOPED_TRACE(endAfter * 100 + refuseFrom);
        stream->endAfter = endAfter, stream->endCode = endCode, sink->refuseFrom = refuseFrom;
        sink->samples.clear(), stream->hooks.clear();
        stream->filled = sink->receiveCalls = sink->endOfStreams = 0;
        ASSERT_EQ(Connect(mine), S_OK);
        ASSERT_EQ(control->Run(), S_OK);
        ASSERT_TRUE(sink->Wait([&] {
            return sink->samples.size() >= samples && sink->receiveCalls > refuseFrom &&
                   sink->endOfStreams >= endOfStreams;
        }));
        ASSERT_EQ(control->Stop(), S_OK); // joins the worker: whatever it sent is there now
        EXPECT_EQ((std::tuple{stream->hooks.size(), sink->endOfStreams, ErrorAborts()}),
                  (std::tuple{size_t{3}, endOfStreams, errorAborts}));
        if (endAfter >= 0 || refuseFrom >= 0) { // the worker idled after the end
            EXPECT_EQ((std::tuple{sink->samples.size(), stream->filled}),
                      (std::tuple{samples, int(samples) + 1}));
        }
        for (size_t n = 0; n < sink->samples.size(); ++n) {
            std::vector<BYTE> expected(static_cast<size_t>(stream->bufferSize));
            for (size_t i = 0; i < expected.size(); ++i)
                expected[i] = TestStream::Pattern(static_cast<int>(n), i);
            const auto& got = sink->samples[n];
            const REFERENCE_TIME start = static_cast<REFERENCE_TIME>(n) * 10;
            EXPECT_EQ((std::tuple{got.bytes, got.start, got.stop}), (std::tuple{expected, start, start + 10}))
                << n;
        }
        ASSERT_EQ((std::tuple{stream->Disconnect(), sink->Pin()->Disconnect()}), (std::tuple{S_OK, S_OK}));
    }
}

TEST_F(Graph, StopIsPromptWhileTheWorkerWaitsForBuffersTheDecommittedAllocatorRefuses) {
    ASSERT_EQ(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_ALL, IID_PPV_ARGS(&sink->ownAllocator)),
              S_OK);
    ASSERT_EQ(Connect(mine), S_OK);
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

// A downstream filter may ask our pin or filter things from Receive while a host thread stops us
// and waits for the worker: no such query may wait for what the host holds meanwhile.
TEST_F(Graph, QueriesFromReceiveDoNotDeadlockAStop) {
    ASSERT_EQ(Connect(mine), S_OK);
    ComPtr<IReferenceClock> clock;
    ASSERT_EQ(CoCreateInstance(CLSID_SystemClock, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&clock)), S_OK);
    ASSERT_EQ(sourceFilter->SetSyncSource(clock.Get()), S_OK);
    IPin* const mePin = stream;
    const auto samePin = [&](auto get) { // get(IPin**): the pin it hands out must be ours
        IPin* pin = nullptr;
        const bool same = get(&pin) == S_OK && pin == mePin;
        if (pin)
            pin->Release();
        return same;
    };
    const std::pair<const char*, std::function<bool()>> queries[] = {
        {"QueryId",
         [&] {
             LPWSTR text = nullptr;
             const bool right = stream->QueryId(&text) == S_OK && std::wstring(text) == L"1";
             return CoTaskMemFree(text), right;
         }},
        {"ConnectionMediaType",
         [&] {
             AM_MEDIA_TYPE type{};
             const bool right = stream->ConnectionMediaType(&type) == S_OK && mine == type;
             return ReleaseMediaType(type), right;
         }},
        {"EnumPins",
         [&] {
             ComPtr<IEnumPins> pins;
             return sourceFilter->EnumPins(&pins) == S_OK &&
                    samePin([&](IPin** pin) { return pins->Next(1, pin, nullptr); });
         }},
        {"FindPin", [&] { return samePin([&](IPin** pin) { return sourceFilter->FindPin(L"1", pin); }); }},
        {"GetSyncSource",
         [&] {
             ComPtr<IReferenceClock> got;
             return sourceFilter->GetSyncSource(&got) == S_OK && got == clock;
         }},
        {"EnumMediaTypes",
         [&] {
             ComPtr<IEnumMediaTypes> types;
             AM_MEDIA_TYPE* type = nullptr;
             const bool right = stream->EnumMediaTypes(&types) == S_OK &&
                                types->Next(1, &type, nullptr) == S_OK && mine == *type;
             return DestroyMediaType(type), right;
         }},
    };
    for (const auto& [name, query] : queries) {
        SCOPED_TRACE(name);
        Zarvo::UniqueHandleNull deactivating(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        int asked = 0; // the worker's
        bool right = false, answered = false;
        sink->onReceive = [&] {
            if (WaitForSingleObject(deactivating.get(), 0) != WAIT_OBJECT_0 || asked++ != 0)
                return;
            const bool result = query();
            sink->Update([&] { right = result, answered = true; });
        };
        ASSERT_EQ(sourceFilter->Pause(), S_OK);
        ASSERT_TRUE(sink->Wait([&] { return !sink->samples.empty(); }));
        // With the host in Stop, the next Receive asks before the worker sees Stop.
        bool waited = false;
        stream->onDeactivate = [&] {
            SetEvent(deactivating.get());
            waited = sink->Wait([&] { return answered; });
        };
        ASSERT_EQ(sourceFilter->Stop(), S_OK); // a deadlock here ends the program through the watchdog
        // More samples may follow before the worker sees Stop: it fills without pacing here, and on a
        // busy machine the host's thread may wait for the processor.
        EXPECT_EQ((std::tuple{waited, answered, right}), (std::tuple{true, true, true}));
        sink->onReceive = nullptr, stream->onDeactivate = nullptr, sink->samples.clear();
    }
    sourceFilter->SetSyncSource(nullptr);
}

// A Stop that ends FillBuffer's wait for its slot: the sample filled meanwhile is not delivered,
// nor does the stream end with an end-of-stream or an error.
TEST_F(Graph, ASampleWhoseWaitAStopEndedIsNotDelivered) {
    ASSERT_EQ(Connect(mine), S_OK);
    stream->waitInFill = true;
    ASSERT_EQ(sourceFilter->Pause(), S_OK);
    ASSERT_TRUE(stream->Wait([&] { return stream->filled == 1; })); // the worker waits in FillBuffer
    ASSERT_EQ(sourceFilter->Stop(), S_OK);
    EXPECT_EQ((std::tuple{stream->filled, sink->receiveCalls, sink->endOfStreams, ErrorAborts(),
                          stream->ThreadExists()}),
              (std::tuple{1, 0, 0, std::vector<LONG_PTR>{}, false}));
}

// An exception from the worker's hooks becomes a code: the activation fails with E_OUTOFMEMORY, a
// sample ends the stream with an error, and the host's process lives on.
TEST_F(Graph, HooksThatThrowFailCleanlyInsteadOfEndingTheProcess) {
    ASSERT_EQ(Connect(mine), S_OK);
    using Case = std::tuple<const char*, HRESULT, int, std::vector<LONG_PTR>>; // hook, Pause, ends, errors
    for (auto& [hook, paused, endOfStreams, errorAborts] :
         {Case{"OnThreadCreate", E_OUTOFMEMORY, 0, {}}, Case{"OnThreadStartPlay", S_OK, 0, {}},
          Case{"FillBuffer", S_OK, 1, {E_OUTOFMEMORY}}, Case{"OnThreadDestroy", S_OK, 0, {}},
          Case{nullptr, S_OK, 0, {}}}) {
        SCOPED_TRACE(hook ? hook : "none");
        stream->throwIn = hook, sink->endOfStreams = 0, sink->samples.clear();
        ASSERT_EQ(sourceFilter->Pause(), paused);
        if (SUCCEEDED(paused)) // samples flow, or the stream ended
            ASSERT_TRUE(
                sink->Wait([&] { return endOfStreams ? sink->endOfStreams > 0 : !sink->samples.empty(); }));
        FILTER_STATE state = State_Running;
        EXPECT_EQ((std::tuple{sourceFilter->Stop(), sourceFilter->GetState(0, &state), state,
                              stream->ThreadExists(), sink->endOfStreams, ErrorAborts()}),
                  (std::tuple{S_OK, S_OK, State_Stopped, false, endOfStreams, errorAborts}));
    }
}

// A command to a worker that has ended, or to none, fails at once instead of waiting for ever.
TEST(WorkerThread, SendCommandFailsWhenThereIsNoWorkerToAnswer) {
    struct EndsAtOnce : CAMThread {
        DWORD WorkerMain() override { return 0; }
    } thread;
    EXPECT_EQ(thread.SendCommand(1), E_FAIL); // never started
    ASSERT_TRUE(thread.StartThread());
    EXPECT_EQ((std::tuple{thread.SendCommand(1), thread.SendCommand(2)}), (std::tuple{E_FAIL, E_FAIL}));
    EXPECT_FALSE(thread.PeekCommand(nullptr)); // the unanswered request was withdrawn
    thread.JoinThread();
    EXPECT_EQ(thread.SendCommand(1), E_FAIL);
}

// Names longer than the info's array are cut to fit; ids follow the list positions.
TEST_F(Graph, PinAndFilterNamesOfAnyLengthIdsAndReferences) {
    ComPtr<IPin> none;
    for (const wchar_t* id : {L"0", L"Out", L"99999999999999999999"})
        EXPECT_EQ(sourceFilter->FindPin(id, &none), VFW_E_NOT_FOUND) << id;
    HRESULT hr = S_OK;
    const std::wstring longName(5000, L'x');
    auto* second = new TestStream(&hr, source, longName.c_str());
    auto* nameless = new TestStream(&hr, source, nullptr);
    ASSERT_EQ(hr, S_OK);
    const std::pair<IPin*, std::wstring> expected[] = {{stream, L"Out"}, {second, longName.substr(0, 127)}, {nameless, L""}};
    for (int i = 0; i < 3; ++i) {
        const std::wstring id = std::to_wstring(i + 1);
        ComPtr<IPin> pin;
        LPWSTR got = nullptr;
        PIN_INFO info{};
        ASSERT_EQ((std::tuple{sourceFilter->FindPin(id.c_str(), &pin), pin->QueryId(&got), pin->QueryPinInfo(&info)}),
                  (std::tuple{S_OK, S_OK, S_OK}));
        EXPECT_EQ((std::tuple{pin.Get(), std::wstring(got), info.pFilter, info.dir, std::wstring(info.achName)}),
                  (std::tuple{expected[i].first, id, sourceFilter.Get(), PINDIR_OUTPUT, expected[i].second}));
        CoTaskMemFree(got);
        info.pFilter->Release();
    }
    // The filter's name likewise; the graph it joins is not referenced (it holds the filter).
    for (auto [joined, name] : {std::pair<IFilterGraph*, const wchar_t*>{graph.Get(), longName.c_str()}, {nullptr, nullptr}}) {
        FILTER_INFO info{};
        const ULONG graphRefs = References(graph.Get());
        ASSERT_EQ(sourceFilter->JoinFilterGraph(joined, name), S_OK);
        ASSERT_EQ(sourceFilter->QueryFilterInfo(&info), S_OK);
        EXPECT_EQ((std::tuple{std::wstring(info.achName), info.pGraph, References(graph.Get())}),
                  (std::tuple{name ? longName.substr(0, 127) : L"", joined, graphRefs + (joined ? 1 : 0)}));
        if (info.pGraph)
            info.pGraph->Release();
    }
    // A pin's references are the filter's; the clock is held while it is the filter's.
    const ULONG held = References(sourceFilter.Get());
    EXPECT_EQ((std::tuple{stream->AddRef(), source->RefCount()}), (std::tuple{held + 1, LONG(held) + 1}));
    EXPECT_EQ((std::tuple{stream->Release(), source->RefCount()}), (std::tuple{held, LONG(held)}));
    ComPtr<IReferenceClock> clock(new CBaseReferenceClock(L"clock", nullptr, &hr)), got;
    ASSERT_EQ(sourceFilter->SetSyncSource(clock.Get()), S_OK);
    EXPECT_EQ((std::tuple{References(clock.Get()), sourceFilter->GetSyncSource(&got), got.Get()}),
              (std::tuple{2u, S_OK, clock.Get()})); // a reference leaked by Get shows in TearDown's count
    ASSERT_EQ(sourceFilter->SetSyncSource(nullptr), S_OK);
    EXPECT_EQ(References(clock.Get()), 2u); // the test's and got's
}

TEST_F(Graph, EnumeratorsRefreshWithoutRepeatingAndCheckTheirArguments) {
    ComPtr<IEnumPins> pins, clone;
    ASSERT_EQ(sourceFilter->EnumPins(&pins), S_OK);
    IPin* got[3] = {};
    ULONG fetched = 99;
    auto next = [&](IEnumPins* from, ULONG count) { // what it answers, how many, the first
        const HRESULT hr = from->Next(count, got, &fetched);
        for (ULONG i = 0; i < fetched; ++i)
            got[i]->Release();
        return std::tuple{hr, fetched, fetched ? got[0] : nullptr};
    };
    EXPECT_EQ(pins->Next(2, got, nullptr), E_INVALIDARG);
    EXPECT_EQ(next(pins.Get(), 1), (std::tuple{S_OK, 1ul, static_cast<IPin*>(stream)}));
    EXPECT_EQ(next(pins.Get(), 1), (std::tuple{S_FALSE, 0ul, nullptr}));
    // The list changes: Skip and Clone refuse, Next refreshes but never repeats the first pin.
    HRESULT hr = S_OK;
    IPin* second = new TestStream(&hr, source, L"Second");
    EXPECT_EQ((std::tuple{pins->Skip(1), pins->Clone(&clone)}),
              (std::tuple{VFW_E_ENUM_OUT_OF_SYNC, VFW_E_ENUM_OUT_OF_SYNC}));
    EXPECT_EQ(next(pins.Get(), 3), (std::tuple{S_FALSE, 1ul, second}));
    // Reset forgets what was handed out; Clone copies the position.
    EXPECT_EQ((std::tuple{pins->Reset(), pins->Skip(3), pins->Reset(), pins->Skip(1)}),
              (std::tuple{S_OK, S_FALSE, S_OK, S_OK}));
    ASSERT_EQ(pins->Clone(&clone), S_OK);
    EXPECT_EQ(next(clone.Get(), 1), (std::tuple{S_OK, 1ul, second}));
    EXPECT_EQ((std::tuple{pins->Skip(1), pins->Skip(1)}), (std::tuple{S_OK, S_FALSE}));

    ComPtr<IEnumMediaTypes> types;
    AM_MEDIA_TYPE* type[2] = {};
    ASSERT_EQ(stream->EnumMediaTypes(&types), S_OK);
    EXPECT_EQ((std::tuple{types->Next(2, type, nullptr), types->Next(0, type, &fetched), fetched}),
              (std::tuple{E_INVALIDARG, S_OK, 0ul}));
}

TEST(MediaType, InconsistentFormatFieldsAreNeverReadNorFreedTwice) {
    // A length without a block: a copy must not read it, and gets no block of its own.
    AM_MEDIA_TYPE lengthOnly{};
    lengthOnly.cbFormat = 4096;
    const CMediaType fromLength(lengthOnly);
    EXPECT_TRUE(fromLength.pbFormat == nullptr && fromLength.cbFormat == 0);
    EXPECT_FALSE(MediaTypesEqual(lengthOnly, lengthOnly)); // nothing to compare the bytes of
    // A block without a length: the copy must not share the block (which would be freed twice).
    AM_MEDIA_TYPE* blockOnly = CloneMediaType(MakeVideoType(MEDIASUBTYPE_YUY2, 8));
    ASSERT_NE(blockOnly, nullptr);
    blockOnly->cbFormat = 0;
    {
        const CMediaType fromBlock(*blockOnly);
        EXPECT_TRUE(fromBlock.pbFormat == nullptr && fromBlock.cbFormat == 0);
    }
    DestroyMediaType(blockOnly); // frees the block it still owns
    CMediaType type = MakeVideoType(MEDIASUBTYPE_YUY2, 8);
    ReleaseMediaType(type);
    ReleaseMediaType(type); // a second release is harmless
}
