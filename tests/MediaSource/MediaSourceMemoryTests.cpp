// The media source linked in directly, with an allocation seam: running out of memory at any
// allocation of the host's calls, or of the stream's worker and the core's background work, gives the
// host a failure code or an MEError event; nothing unwinds into the host or ends its process. The
// program runs from a folder of its own, so the camera finds no app to start.
#include "../IPC/IpcTestSupport.h"
#include "../support/AllocationSeam.h"
#include "MediaSourceTestSupport.h"

#include "MediaSource/MediaSource.h"

#include <mferror.h>

using namespace Zarvo;
using namespace Zarvo::MediaFoundation;
using namespace Zarvo::Testing;

namespace {

struct MemoryTest : testing::Test {
    MemoryTest() { SetEnvironmentVariableW(L"APPDATA", settings.Path().c_str()); }

    // A started source, its stream and MEStreamStarted taken; the codes on the way.
    struct Started {
        ComPtr<IMFMediaSource> source;
        ComPtr<IMFMediaStream> stream;
        HRESULT created = E_FAIL, started = E_FAIL;
    };
    // With a seam on the test's thread, only the calls into the source run armed: the test's own event
    // helpers allocate too.
    Started Start(FailingAllocation* host = nullptr) {
        Started run;
        ComPtr<IMFPresentationDescriptor> presentation;
        if (host)
            host->Resume();
        run.created = CreateMediaSource(IID_PPV_ARGS(&run.source));
        if (SUCCEEDED(run.created) && SUCCEEDED(run.source->CreatePresentationDescriptor(&presentation)))
            run.started = run.source->Start(presentation.Get(), nullptr, nullptr);
        if (host)
            host->Pause();
        if (SUCCEEDED(run.started)) {
            run.stream = AnnouncedStream(run.source.Get());
            EXPECT_EQ(NextTypes(run.stream.Get(), 1), std::vector<MediaEventType>{MEStreamStarted});
        }
        return run;
    }
    // The stream's answer to one request: MEMediaSample, or MEError with its code.
    static std::pair<MediaEventType, HRESULT> Answer(IMFMediaStream* stream) {
        ComPtr<IMFMediaEvent> event;
        NextTypes(stream, 1, &event);
        HRESULT status = S_OK;
        if (event)
            event->GetStatus(&status);
        return {TypeOf(event), status};
    }

    MediaPlatform platform;
    AppDataWithSettings settings{"640,480"};
};

// The host's calls (making a source, starting it, asking for a sample) answer E_OUTOFMEMORY at any
// allocation that fails, and leave a source that still shuts down and lets go of everything.
TEST_F(MemoryTest, HostCallsAnswerOutOfMemoryAtAnyAllocation) {
    const Watchdog watchdog("the host calls' sweep", 240000);
    long failAt = 1;
    for (; failAt < 5000; ++failAt) {
        SCOPED_TRACE(failAt);
        FailingAllocation failing(failAt);
        failing.Pause();
        Started run;
        HRESULT requested = E_FAIL;
        try {
            run = Start(&failing);
            if (run.stream) {
                failing.Resume();
                requested = run.stream->RequestSample(nullptr);
                failing.Pause();
            }
        } catch (const std::exception& error) {
            failing.Pause();
            ADD_FAILURE() << "allocation " << failAt << " raised out of a host call: " << error.what();
        }
        const long allocations = failing.Allocations();
        for (const HRESULT hr : {run.created, run.started, requested})
            EXPECT_TRUE(hr == S_OK || hr == E_OUTOFMEMORY || hr == E_FAIL) << std::hex << hr;
        if (requested == S_OK) {
            EXPECT_EQ(Answer(run.stream.Get()).first, MEMediaSample);
        }
        if (run.source)
            run.source->Shutdown();
        run = {};
        ASSERT_EQ(LiveObjects(), 0) << "after failing allocation " << failAt;
        if (allocations < failAt)
            break; // no allocation was left to fail
    }
    EXPECT_GT(failAt, 10) << "the sweep saw too few allocations to mean anything";
    std::printf("swept %ld allocations of the host's calls\n", failAt - 1);
}

// An allocation of the worker (or the core's background work) that fails gives the host a sample or
// MEError(E_OUTOFMEMORY) for its request, never a hang or an ended process; a stream whose worker
// gave up delivers again once the host starts it again.
TEST_F(MemoryTest, TheWorkerRunningOutOfMemoryReportsMEErrorAndStartsAgain) {
    const Watchdog watchdog("the worker's sweep", 240000);
    int errors = 0;
    long failAt = 1;
    for (; failAt < 2000; ++failAt) {
        SCOPED_TRACE(failAt);
        FailingAllocation failing({.nth = failAt, .otherThreads = true});
        Started run = Start();
        ASSERT_EQ(run.started, S_OK);
        ASSERT_TRUE(run.stream);
        ASSERT_EQ(run.stream->RequestSample(nullptr), S_OK);
        const auto [type, status] = Answer(run.stream.Get());
        const bool failed = failing.Disarm();
        if (type == MEError) {
            ++errors;
            EXPECT_EQ(status, E_OUTOFMEMORY);
            ComPtr<IMFPresentationDescriptor> presentation;
            ASSERT_EQ(run.source->CreatePresentationDescriptor(&presentation), S_OK);
            ASSERT_EQ(run.source->Start(presentation.Get(), nullptr, nullptr), S_OK);
            EXPECT_EQ(NextTypes(run.stream.Get(), 1), std::vector<MediaEventType>{MEStreamStarted});
            ASSERT_EQ(run.stream->RequestSample(nullptr), S_OK);
            EXPECT_EQ(Answer(run.stream.Get()).first, MEMediaSample);
        } else {
            EXPECT_EQ(type, MEMediaSample);
        }
        run.source->Shutdown();
        run = {};
        ASSERT_EQ(LiveObjects(), 0) << "after failing allocation " << failAt;
        if (!failed)
            break;
    }
    EXPECT_GT(errors, 0) << "no failed allocation reached the worker";
    std::printf("swept %ld allocations of the other threads: %d MEError\n", failAt - 1, errors);
}

} // namespace
