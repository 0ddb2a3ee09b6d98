#include "CameraCore/CameraCore.h"

#include "IPC/ObjectSecurity.h"
#include "IPC/Status.h"
#include "IPC/WebcamClient.h"
#include "log/Exceptions.h"
#include "log/Log.h"
#include "log/Text.h"

#include <timeapi.h>

#include <algorithm>
#include <optional>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <utility>

namespace Zarvo {

namespace {

std::atomic<long> gPendingReleaseTasks{0};

std::mutex gDeviceFactoryMutex;
WebcamFrameClient::DeviceFactory gDeviceFactory; // guarded by gDeviceFactoryMutex

std::shared_ptr<WebcamFrameClient> MakeFrameClient() {
    std::lock_guard lock(gDeviceFactoryMutex);
    return gDeviceFactory ? std::make_shared<WebcamFrameClient>(gDeviceFactory)
                          : std::make_shared<WebcamFrameClient>();
}

// Lines for an exception caught at `line` of this file; call from inside a catch block.
void LogCurrentException(Log& log, int line) noexcept {
    try {
        throw;
    } catch (const std::exception& error) {
        const char* message = error.what();
        log << "exception: " << SourceFileName(__FILE__) << ":" << line << ":"
            << (message ? message : "") << Log::EndLine;
    } catch (...) {
        log << "unknown exception: " << SourceFileName(__FILE__) << ":" << line << Log::EndLine;
    }
}

// Performance counter ticks in 100 ns units (the media time unit), without overflow.
std::int64_t ToMediaTime(std::int64_t ticks, std::int64_t frequency) noexcept {
    return ticks / frequency * 10'000'000 + ticks % frequency * 10'000'000 / frequency;
}

std::int64_t CounterFrequency() noexcept {
    static const std::int64_t frequency = [] {
        LARGE_INTEGER value{};
        QueryPerformanceFrequency(&value);
        return static_cast<std::int64_t>(value.QuadPart);
    }();
    return frequency;
}

std::uint64_t CounterNow() noexcept {
    LARGE_INTEGER ticks{};
    QueryPerformanceCounter(&ticks);
    return static_cast<std::uint64_t>(ticks.QuadPart);
}

// Performance counter now, in 100 ns units.
std::int64_t Now() noexcept {
    return ToMediaTime(static_cast<std::int64_t>(CounterNow()), CounterFrequency());
}

// A publication time the app wrote into shared memory, in 100 ns units, when it lies in the last
// few seconds: any other value is no time to pace by (and would overflow the arithmetic).
std::optional<std::int64_t> RecentPublication(std::uint64_t ticks) noexcept {
    const std::uint64_t now = CounterNow(), frequency = static_cast<std::uint64_t>(CounterFrequency());
    if (ticks > now || now - ticks > 10 * frequency)
        return std::nullopt;
    return ToMediaTime(static_cast<std::int64_t>(ticks), CounterFrequency());
}

// CREATE_WAITABLE_TIMER_HIGH_RESOLUTION (Windows 10 1803 on), which the MinGW headers lack.
constexpr DWORD kHighResolutionTimer = 0x00000002;

constexpr std::int64_t kMillisecond = 10'000;
constexpr std::int64_t kSecond = 1000 * kMillisecond;
// A source that sends no new frame for this long while its camera is live counts as lost.
constexpr std::int64_t kStaleSource = 2 * kSecond;
// Pause between two runs of the chain while the app is away.
constexpr std::int64_t kRetryPause = 1 * kSecond;
// "Starting" for this long at most; then the picture says the camera waits for the app.
constexpr std::int64_t kStartingShown = 3 * kSecond;

// The per-frame request's own bound: a few intervals, so that a hung app costs the host little,
// and no less than 200 ms, so that an app on a busy machine is not taken for a hung one.
std::chrono::milliseconds FrameTickBound(std::int64_t interval) {
    return std::chrono::milliseconds(std::clamp<std::int64_t>(6 * interval / kMillisecond, 200, 1000));
}

// Tells the app on `web` to stop its camera within `boundMs` and, once it has, disconnects; false when
// the exchange failed or the app's camera runs on.
bool StopCameraAndDisconnect(IPC::WebcamClient& web, DWORD boundMs, Log& log) {
    if (!web.StopCamera(boundMs))
        return false;
    log << "WebcamClient: Camera Stopped" << Log::EndLine;
    if (web.Disconnect())
        log << "WebcamClient: Server Disconnected" << Log::EndLine;
    return true;
}

// Stops the server's camera and closes the pipe after streaming or after the source was lost,
// without holding up the host. With a chain, first waits for it to end (it gives up soon once
// cancelled) and takes the connection it made. Graphics objects never come here: they go on the
// worker's thread, so none is alive or being torn down once the host's Stop has returned. The
// event, when there is one, is set once the app has been dealt with.
std::shared_ptr<UniqueEvent> StartReleaseTask(std::shared_ptr<IPC::WebcamClient> client,
                                                     std::shared_ptr<ConnectionChainState> chain = {},
                                                     Tasks::task<void> chainTask = {});

} // namespace

// What one run of the chain brings up. Its steps hold it, not the stream, so a chain the host's
// Stop does not wait for can end after the stream is gone.
struct ConnectionChainState {
    std::mutex mutex;
    std::condition_variable graphicsDone;                   // with mutex: the last step left its graphics work
    std::shared_ptr<IPC::WebcamClient> webClient;    // guarded by mutex; set by step 1
    std::shared_ptr<WebcamFrameClient> frameClient; // guarded by mutex; set by step 4
    bool cameraLive = false;                                // guarded by mutex; StartCamera's answer
    // Set by step 3 for an app in another session: the channel made for it and the app's frame size.
    std::shared_ptr<FrameChannel::HostedChannel> hosted;
    std::uint32_t appWidth = 0;
    std::uint32_t appHeight = 0;
    bool closed = false;    // guarded by mutex; set by CloseGraphics: step 4 brings up nothing more
    bool building = false;  // guarded by mutex; step 4 is making the frame client (a graphics device)
    bool abandoned = false; // guarded by mutex; CloseGraphics gave up waiting: step 4 releases what it made
    bool ended = false;     // guarded by mutex; step 4 has made what it makes: the chain's work is done

    // Step 4's entry: false once the stream closed the chain's graphics side.
    bool BeginGraphics() {
        std::lock_guard lock(mutex);
        building = !closed;
        return building;
    }
    // Step 4's exit, with what it made (null when it failed). What no one will take any more goes
    // here, on the step's thread.
    void EndGraphics(std::shared_ptr<WebcamFrameClient> made) {
        {
            std::lock_guard lock(mutex);
            building = false;
            ended = true;
            if (!abandoned)
                frameClient = std::move(made);
        }
        graphicsDone.notify_all();
        made.reset();
    }
    // Lets no further graphics object be made, waits up to `bound` for one being made, and hands
    // over the frame client, so the caller releases it on its own thread. Null when the time ran
    // out: step 4 then releases what it makes itself. `stepEnded`, if given: step 4 had ended (so the
    // chain has only its return left), and not after the time ran out.
    std::shared_ptr<WebcamFrameClient> CloseGraphics(std::chrono::milliseconds bound, bool* stepEnded = nullptr) {
        std::unique_lock lock(mutex);
        closed = true;
        const bool done = graphicsDone.wait_for(lock, bound, [this] { return !building; });
        if (stepEnded)
            *stepEnded = done && ended;
        if (!done) {
            abandoned = true;
            return nullptr;
        }
        return std::move(frameClient);
    }

    // Hands over what the chain brought up; a second call gets nothing.
    void Take(std::shared_ptr<IPC::WebcamClient>& web, std::shared_ptr<WebcamFrameClient>& frames,
              bool& live) {
        std::lock_guard lock(mutex);
        web = std::move(webClient);
        frames = std::move(frameClient);
        live = cameraLive;
    }
};

namespace {

// Step 3 for an app in another session: learns the app's frame size, makes the machine-wide channel
// for the app's user and asks the app to publish there. Hands the channel to step 4 through `chain`;
// the texture handle is always 0 (the texture is not shared across sessions).
std::uint64_t HostChannelFor(IPC::WebcamClient& client, ConnectionChainState& chain) {
    Log step = Log::Get(kFilterLogName, "Prepare/HostChannel");
    const auto size = client.FrameSize();
    if (!size.width) {
        step << LogLevel::Error << "ERROR: the app does not share its frames with a camera in another session"
             << Log::EndLine;
        return 0;
    }
    const std::wstring name = IPC::AcrossSessionsChannelName(client.AcceptedServerSession());
    auto hosted = std::make_shared<FrameChannel::HostedChannel>();
    if (std::string whyNot = hosted->Create(name, size.width, size.height, client.AcceptedServerUser());
        !whyNot.empty()) {
        step << LogLevel::Error << "ERROR: frame channel " << ToUtf8(name) << ": " << whyNot << Log::EndLine;
        return 0;
    }
    step << "frame channel: " << ToUtf8(name) << Log::EndLine;
    if (!client.PublishAcrossSessions())
        step << LogLevel::Error << "ERROR: the app does not publish into " << ToUtf8(name) << Log::EndLine;
    std::lock_guard lock(chain.mutex);
    chain.hosted = std::move(hosted);
    chain.appWidth = size.width;
    chain.appHeight = size.height;
    return 0;
}

// A frame client for the channel this camera made (kept alive with it) and no graphics device.
std::shared_ptr<WebcamFrameClient> MakeHostedFrameClient(DWORD session,
                                                         std::shared_ptr<FrameChannel::HostedChannel> hosted) {
    auto client = std::make_shared<WebcamFrameClient>(
        []() -> std::shared_ptr<HAL::IGraphicsDevice> {
            throw ServiceUnavailableException(L"the GPU texture, across sessions");
        },
        IPC::AcrossSessionsChannelName(session));
    const auto own = IPC::LookUpOwnIdentity();
    if (!own)
        throw ServiceUnavailableException(L"this camera's own identity");
    client->SetChannelOwner(own->user);
    client->HoldChannel(std::move(hosted));
    return client;
}

// A per-frame request cut short by the host's Stop leaves its connection out of step: the app is
// told on a new one, found within this bound or not at all.
constexpr DWORD kReconnectBoundMs = 2000;

// The host's Stop tells the app itself when nothing else needs the connection: a host may end its
// process right after, before a release task queued on a busy pool has run. An app answers within a
// few ms, and a loaded machine has been seen to hold it up for some hundred; half a second is still
// no hang to the host. An app that has not answered by then hears it from the release task.
constexpr DWORD kStopOnHostThreadMs = 500;

// How long the host's Stop waits for a graphics device being made. Making one takes tens of ms, a few
// hundred while the driver first loads, more on a loaded machine; one still being made after three
// seconds is stuck in a broken driver. The step then releases the device itself, once it has one. The
// bound is generous because that release runs on a pool thread: a host that ends its process while a
// device is made or torn down on another thread can die with it (seen under Wine).
constexpr std::chrono::milliseconds kGraphicsCloseBound{3000};

// Connects `client` again within `boundMs`: false when no pipe could be opened in that time.
bool ReconnectWithin(IPC::WebcamClient& client, DWORD boundMs) {
    client.Disconnect();
    const Tasks::cancellation_token_source bound;
    // Ends the connect once the time is up; ends itself at once when the connect ended first.
    Tasks::run_detached([bound, boundMs] {
        bound.get_token().wait_for(boundMs);
        bound.cancel();
    });
    const bool connected = client.ConnectToServer(bound.get_token());
    bound.cancel();
    return connected;
}

std::shared_ptr<UniqueEvent> StartReleaseTask(std::shared_ptr<IPC::WebcamClient> client,
                                                     std::shared_ptr<ConnectionChainState> chain,
                                                     Tasks::task<void> chainTask) {
    if (!client && !chain)
        return nullptr;
    auto appDone = std::make_shared<UniqueEvent>(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ++gPendingReleaseTasks;
    const bool queued = Tasks::run_detached([client = std::move(client), chain = std::move(chain),
                                             chainTask = std::move(chainTask), appDone]() mutable {
        struct Done {
            ~Done() { --gPendingReleaseTasks; }
        } done;
        // Declared after `done`, so destroyed before it: the count drops only once nothing is left.
        auto web = std::move(client);
        const auto state = std::move(chain);
        const auto task = std::move(chainTask);
        Log log = Log::Get(kFilterLogName, "ReleaseInternal");
        if (state) {
            try {
                task.wait();
            } catch (...) {
                LogCurrentException(log, __LINE__);
            }
            std::shared_ptr<WebcamFrameClient> none; // closed before the chain came here
            bool live = false;
            std::shared_ptr<IPC::WebcamClient> made;
            state->Take(made, none, live);
            if (made)
                web = std::move(made);
        }
        if (web && web->CheckForServer()) {
            log << "WebcamClient: Found Server" << Log::EndLine;
            if (!web->InStep()) {
                if (ReconnectWithin(*web, kReconnectBoundMs))
                    log << "WebcamClient: Reconnected" << Log::EndLine;
                else
                    log << LogLevel::Error << "ERROR: no new connection to tell the app to stop its camera" << Log::EndLine;
            }
            StopCameraAndDisconnect(*web, IPC::WebcamClient::kExchangeTimeoutMs, log);
        }
        web.reset();
        if (*appDone)
            SetEvent(appDone->get());
    });
    if (!queued) {
        --gPendingReleaseTasks;
        return nullptr;
    }
    return appDone;
}

// Tells the app on `web`, a connection in step that no other thread uses, to stop its camera within
// `boundMs`, then disconnects. False when the exchange failed or ran out of time: the connection is
// then out of step, and a new one is needed to tell the app.
bool StopAppsCameraWithin(IPC::WebcamClient& web, DWORD boundMs) {
    Log log = Log::Get(kFilterLogName, "ReleaseInternal");
    // An app that serves has its event set; no wait for one that is going away.
    if (!web.CheckForServer({}, 0))
        return true;
    log << "WebcamClient: Found Server" << Log::EndLine;
    // In step after a failure: the app answered that its camera runs on.
    return StopCameraAndDisconnect(web, boundMs, log) || web.InStep();
}

// A host often ends its process right after its Stop: give the release task a moment to tell the
// app, without holding up the Stop noticeably when the app does not answer.
void WaitBrieflyFor(const std::shared_ptr<UniqueEvent>& appDone) {
    if (appDone && *appDone)
        WaitForSingleObject(appDone->get(), 20);
}

} // namespace

long PendingReleaseTasks() noexcept {
    return gPendingReleaseTasks.load();
}

void SetFrameClientDeviceFactory(WebcamFrameClient::DeviceFactory factory) {
    std::lock_guard lock(gDeviceFactoryMutex);
    gDeviceFactory = std::move(factory);
}

// ---------------------------------------------------------------------------------------------
// CVCamStream: the connection chain

void CameraCore::PrepareInternal() {
    Log log = Log::Get(kFilterLogName, "PrepareInternal");
    log << "ENTER" << Log::EndLine;
    // Each step's task, so that a failure while building can wait for every one already queued.
    Tasks::task<std::shared_ptr<IPC::WebcamClient>> first, second;
    Tasks::task<std::uint64_t> third;
    Tasks::task<void> last;
    std::shared_ptr<ConnectionChainState> chain;
    Tasks::cancellation_token_source source;
    try {
        // A fresh source for every run of the chain: a stop cancels only the one that runs.
        source = Tasks::cancellation_token_source();
        chain = std::make_shared<ConnectionChainState>();
        const auto token = source.get_token();
        const auto width = mFormat.width;
        const auto height = mFormat.height;
        const auto subtype = mFormat.subtype;
        const auto sourceWidth = mFormat.sourceWidth ? mFormat.sourceWidth : width;
        const auto sourceHeight = mFormat.sourceHeight ? mFormat.sourceHeight : height;
        // Each step gives up once the chain is cancelled; nothing it brought up is lost, since
        // whoever waits for the chain releases what `chain` holds. Once connected, an exchange
        // runs to its answer or its own bound: one cut short by the cancel would leave the pipe
        // unusable, and the release could no longer tell the app to stop the camera it started.
        const auto giveUpIfCancelled = [token] {
            if (token.is_canceled())
                Tasks::cancel_current_task();
        };

        const bool console = mAppSession == AppSession::Console;
        first = Tasks::create_task([chain, token, giveUpIfCancelled, console] {
            Log step = Log::Get(kFilterLogName, "Prepare/ConnectToServer");
            step << " " << Log::EndLine;
            giveUpIfCancelled();
            auto client = std::make_shared<IPC::WebcamClient>(FilterLogFactory());
            // No program of the user's can be started from outside the user's session.
            if (console)
                client->TrustConsoleUser();
            else
                IPC::LaunchServerIfNeeded(client, token);
            if (!client->ConnectToServer(token))
                Tasks::cancel_current_task();
            step << "webcamClient: Server Connected" << Log::EndLine;
            std::lock_guard lock(chain->mutex);
            chain->webClient = client;
            return client;
        });
        second = first.then([chain, giveUpIfCancelled](std::shared_ptr<IPC::WebcamClient> client) {
            Log step = Log::Get(kFilterLogName, "Prepare/StartCamera");
            step << " " << Log::EndLine;
            giveUpIfCancelled();
            const bool live = client->StartCamera();
            {
                std::lock_guard lock(chain->mutex);
                chain->cameraLive = live;
            }
            step << "webcamClient: Camera Started" << Log::EndLine;
            return client;
        });
        third = second.then([chain, console, giveUpIfCancelled](std::shared_ptr<IPC::WebcamClient> client) {
            if (console)
                return HostChannelFor(*client, *chain);
            Log::Get(kFilterLogName, "Prepare/OpenSharedTexture") << " " << Log::EndLine;
            giveUpIfCancelled();
            return client->OpenSharedTexture();
        });
        last = third.then([chain, width, height, subtype, sourceWidth, sourceHeight, console,
                           giveUpIfCancelled](std::uint64_t sharedTexture) {
            Log::Get(kFilterLogName, "Prepare/WebcamFrameClient") << " " << Log::EndLine;
            giveUpIfCancelled();
            // A stream that stopped waits for this step (for a while) rather than leave a
            // graphics device behind; one that stops before it begins makes none.
            if (!chain->BeginGraphics())
                Tasks::cancel_current_task();
            std::shared_ptr<WebcamFrameClient> frameClient;
            try {
                // Taken under the lock, which the device's making must not hold: the stream's
                // Stop waits for it only so long.
                std::shared_ptr<IPC::WebcamClient> web;
                std::shared_ptr<FrameChannel::HostedChannel> hosted;
                std::uint32_t appWidth = 0, appHeight = 0;
                {
                    std::lock_guard lock(chain->mutex);
                    web = chain->webClient;
                    hosted = std::move(chain->hosted);
                    appWidth = chain->appWidth;
                    appHeight = chain->appHeight;
                }
                if (console) {
                    // The channel this camera made, if it could: its owner is this
                    // camera's account. No graphics device is made.
                    frameClient = MakeHostedFrameClient(web->AcceptedServerSession(), std::move(hosted));
                    frameClient->SetSourceSize(appWidth, appHeight);
                } else {
                    frameClient = MakeFrameClient();
                    frameClient->SetSourceSize(sourceWidth, sourceHeight);
                    // Frames only from the app the pipe accepted.
                    if (web)
                        frameClient->SetChannelOwner(web->AcceptedServerUser());
                }
                frameClient->SetDestinationSize(width, height, subtype);
                frameClient->Initialize(sharedTexture); // failures show in the samples
            } catch (...) {
                // What was made goes here, before the step's end is told: a stop
                // waits for that, and must find no device left to tear down.
                frameClient.reset();
                chain->EndGraphics(nullptr);
                throw;
            }
            chain->EndGraphics(std::move(frameClient));
        });
        mCancellationSource = source;
        mFrameClientTask = std::move(last);
        mChain = std::move(chain);
    } catch (...) {
        // Out of memory while building. The steps queued so far would run on: one still using the
        // connection (StartCamera) beside the release below, which tells the app to stop its camera
        // on that connection, would use the pipe from two threads, and its StartCamera could reach
        // the app after the StopCamera. So each ends first: it gives up at its next look at the
        // cancel, or finishes its exchange within that exchange's own bound; none waits for this
        // thread or for anything it holds.
        LogCurrentException(log, __LINE__);
        source.cancel();
        const auto waitFor = [](const auto& step) {
            try {
                step.wait(); // one never made raises invalid_operation
            } catch (...) {
            }
        };
        waitFor(first);
        waitFor(second);
        waitFor(third);
        waitFor(last);
        if (chain) {
            // A frame client the last step made goes here, on this thread.
            chain->CloseGraphics(kGraphicsCloseBound);
            std::shared_ptr<IPC::WebcamClient> web;
            std::shared_ptr<WebcamFrameClient> none;
            bool live = false;
            chain->Take(web, none, live);
            StartReleaseTask(std::move(web));
        }
        mDelivery.retryAt = Now() + kRetryPause;
    }
    log << "EXIT" << Log::EndLine;
}

void CameraCore::ReleaseInternal() {
    Log log = Log::Get(kFilterLogName, "ReleaseInternal");
    log << LocalTimestamp().View() << Log::EndLine;
    auto chain = std::move(mChain);
    auto web = std::move(mWebClient);
    auto frames = std::move(mFrameClient);
    try {
        mCancellationSource.cancel();
        // The graphics device goes here, on the thread the host's Stop waits for: a host may end
        // its process right after, and a device torn down on another thread as the process goes
        // can take the host with it. A chain making one is waited for, within a bound (a broken
        // driver can take seconds or hang); it makes none afterwards.
        // A chain whose last step has ended is done but for its return, which the host's thread
        // waits for: the task may not say so yet when the step's end woke this thread.
        bool chainDone = !chain;
        if (chain) {
            if (auto made = chain->CloseGraphics(kGraphicsCloseBound, &chainDone))
                frames = std::move(made);
        }
        frames.reset();
        if (!chainDone && !mFrameClientTask.is_done()) {
            // The running step gives up soon after the cancel; the host's Stop does not wait for it.
            StartReleaseTask(std::move(web), std::move(chain), mFrameClientTask);
        } else {
            if (chain) {
                try {
                    mFrameClientTask.wait();
                } catch (...) {
                    // The server's camera is stopped also when the chain failed after connecting.
                    LogCurrentException(log, __LINE__);
                }
                std::shared_ptr<IPC::WebcamClient> made;
                bool live = false;
                chain->Take(made, frames, live);
                if (made)
                    web = std::move(made);
            }
            // No thread but this one uses the connection now. One out of step needs a new
            // connection, which the release task makes.
            if (web && web->InStep() && StopAppsCameraWithin(*web, kStopOnHostThreadMs))
                web.reset();
            else
                WaitBrieflyFor(StartReleaseTask(std::move(web)));
        }
    } catch (...) {
        LogCurrentException(log, __LINE__);
    }
}

// ---------------------------------------------------------------------------------------------
// Delivery

void CameraCore::UpdateSource(Log& log, std::int64_t now) {
    auto& d = mDelivery;
    if (mWebClient)
        return; // connected; FillFromApp watches the connection
    if (mChain) {
        if (!mFrameClientTask.is_done())
            return;
        // The chain ended: take what it brought up.
        std::shared_ptr<IPC::WebcamClient> web;
        std::shared_ptr<WebcamFrameClient> frames;
        bool live = false;
        const auto chain = std::move(mChain);
        chain->Take(web, frames, live);
        if (!web || !frames)
            log << "mFrameClientTask.is_done" << Log::EndLine;
        if (!web) {
            log << LogLevel::Error << "ERROR: null mWebClient" << Log::EndLine;
            frames.reset();
            d.retryAt = now + kRetryPause;
            return;
        }
        if (!frames) {
            log << LogLevel::Error << "ERROR: null mFrameClient" << Log::EndLine;
            StartReleaseTask(std::move(web)); // the app is told to stop its camera again
            d.retryAt = now + kRetryPause;
            return;
        }
        mWebClient = std::move(web);
        mFrameClient = std::move(frames);
        d.cameraLive = live;
        d.numbered = false;
        d.lastNewFrame = now; // the first frame has as long to come as any later one
        return;
    }
    if (now >= d.retryAt)
        PrepareInternal();
}

CameraCore::Woken CameraCore::SleepUntil(std::int64_t when, HANDLE wake) {
    HANDLE handles[2] = {};
    DWORD count = 0;
    const std::int64_t left = when - Now();
    if (left <= 0)
        return Woken::Time;
    if (mSlotTimer) {
        LARGE_INTEGER due{};
        due.QuadPart = -left; // relative, in 100 ns units
        if (SetWaitableTimer(mSlotTimer.get(), &due, 0, nullptr, nullptr, FALSE))
            handles[count++] = mSlotTimer.get();
    }
    const DWORD timer = count;
    if (wake)
        handles[count++] = wake;
    // The timer ends the wait; the timeout only where it could not be set, and as a safety net.
    const auto timeout = static_cast<DWORD>((left + kMillisecond - 1) / kMillisecond + (timer ? 1 : 0));
    switch (mWaiter(timeout, handles, count)) {
    case WaitResult::Command:
        return Woken::Command;
    case WaitResult::TimedOut:
        return Woken::Time;
    case WaitResult::Woken:
        break;
    }
    // Which one, by the clock rather than by asking the event (a call to the system): a timer that
    // fired a little early by this clock reads as the event, and the caller then only stops
    // listening to the event for the rest of the slot.
    return wake && Now() < when ? Woken::Event : Woken::Time;
}

// Waits for this sample's slot. Slots are one interval apart, on a schedule that moves towards the
// app's publications (FillFromApp), so that a new frame goes out soon after it arrives: a frame that
// the app publishes from an eighth of an interval before its slot on goes at once.
// Consecutive samples are thus one interval apart within an eighth of an interval, and a host that
// stamps samples as they arrive never sees two in one frame slot. Sleeps on the slot timer and the
// app's published event; never polls. False when a command that ends streaming came first.
bool CameraCore::WaitForTurn() {
    auto& d = mDelivery;
    const std::int64_t interval = mFormat.interval;
    if (d.last == 0) {
        d.due = Now(); // the first sample of a streaming run goes at once
    } else {
        // The last sample went out late (the host or the app held it up, by less than an interval):
        // this one keeps its distance from it rather than catch up with the slots.
        d.due = std::max(d.due, d.last + interval - interval / 8);
    }
    const std::int64_t earliest = std::max(d.last + interval - interval / 8, d.due - interval / 8);
    HANDLE published = mFrameClient ? mFrameClient->PublishedEvent() : nullptr;
    // One sleep until the slot, which the app's next publication also ends. One made before the
    // window only re-arms the event: its frame waits for the slot, or an app that publishes faster
    // than the host asks would have one ready at every window's start, and samples would go out
    // early with frames up to an app's interval old. A stream that the app keeps in step (its
    // publications fall in the window) thus sleeps once per sample.
    const auto count = [&] {
        const auto counted = mFrameClient ? mFrameClient->Published() : std::nullopt;
        return counted.value_or(d.publishedSeen);
    };
    std::optional<std::uint64_t> before; // the count as last seen before the window, or as it found it
    const auto publishedInWindow = [&](std::int64_t now) {
        const std::uint64_t seen = count();
        if (now < earliest || !before) {
            before = seen;
            return false;
        }
        return seen != *before && seen != d.publishedSeen;
    };
    bool armed = false;
    for (std::int64_t now = Now(); now < d.due; now = Now()) {
        if (publishedInWindow(now))
            break;
        if (!armed && published) {
            // Still set from the publication the last sample took, or from the one that woke us:
            // reset, then look again, so a publication from here on sets it again.
            armed = true;
            if (!ResetEvent(published))
                published = nullptr;
            else if (publishedInWindow(now))
                break;
        }
        const std::uint64_t seen = count();
        const Woken woken = SleepUntil(d.due, published);
        if (woken == Woken::Command)
            return false;
        if (woken == Woken::Event) {
            armed = false;
            // Set without a new frame (not by the app): it wakes no more in this slot.
            if (count() == seen)
                published = nullptr;
        }
    }
    const std::int64_t now = Now();
    d.due += interval;
    if (d.due < now) {
        // More than an interval late (the host or the app held us up): start afresh from now
        // rather than catch up in a burst.
        d.due = now + interval;
        d.slip = 0;
    }
    return true;
}

void CameraCore::LoseSource(Log& log, const char* reason) {
    log << "source lost: " << reason << Log::EndLine;
    mFrameClient.reset(); // here, not in the background: see ReleaseInternal
    StartReleaseTask(std::move(mWebClient));
    mWebClient.reset();
    mDelivery.lost = mDelivery.everLive;
    mDelivery.retryAt = Now() + kRetryPause;
}

std::uint64_t CameraCore::FillFromApp(std::uint8_t* buffer, std::uint64_t size, Log& log) {
    using Status = WebcamFrameClient::FillResult::Status;
    auto& d = mDelivery;
    const auto tickFailed = [&] {
        if (mStopToken.is_canceled())
            return std::uint64_t{0}; // the host stops; the release tells the app on a new connection
        LoseSource(log, "the app did not answer the per-frame request");
        return std::uint64_t{0};
    };
    // The app answers while the frame is copied; its answer is then read without waiting for it.
    if (!mWebClient->SendFrameTick(FrameTickBound(mFormat.interval), mStopToken))
        return tickFailed();
    // Taken before the fill, so a frame published during it counts as new at the next sample.
    d.publishedSeen = mFrameClient->Published().value_or(0);
    const auto result = mFrameClient->Fill(buffer, size);
    if (!mWebClient->FinishFrameTick(mStopToken))
        return tickFailed();
    const std::int64_t now = Now();
    if (result.status == Status::SourceClosed || result.status == Status::Closed) {
        LoseSource(log, "the app closed its frame channel");
        return 0;
    }
    if (result.status == Status::Frame && (!result.numbered || !d.numbered || result.frameNumber != d.frameNumber)) {
        d.lastNewFrame = now;
        if (const auto published = result.numbered ? RecentPublication(result.publishTime) : std::nullopt) {
            // Move the slots towards a sixteenth of an interval after the app's publications (a
            // frame then goes out as it arrives): the nearest such point one interval on, by at
            // most a sixteenth of an interval per sample, so consecutive samples stay within an
            // eighth of one interval apart, and by an interval in all, so the rate stays the
            // negotiated one whatever the app's.
            const std::int64_t interval = mFormat.interval;
            std::int64_t shift = (*published + interval / 16 - d.due) % interval;
            if (shift > interval / 2)
                shift -= interval;
            else if (shift < -interval / 2)
                shift += interval;
            shift = std::clamp(shift, -interval / 16, interval / 16);
            const std::int64_t slip = std::clamp(d.slip + shift, -interval, interval);
            d.due += slip - d.slip;
            d.slip = slip;
        }
        d.numbered = result.numbered;
        d.frameNumber = result.frameNumber;
        if (d.lost)
            log << "source back" << Log::EndLine;
        d.lost = false;
        d.everLive = true;
    }
    if (d.cameraLive && now - d.lastNewFrame > kStaleSource) {
        LoseSource(log, "no new frame for 2 s");
        return 0;
    }
    return result.status == Status::Frame ? result.length : 0;
}

std::uint64_t CameraCore::CopyPlaceholder(std::uint8_t* buffer, std::uint64_t size, Log& log) {
    auto& d = mDelivery;
    // Starting until the first connection attempt failed or took long; then waiting for the app,
    // or, once frames came in this run, that the app stopped sending them.
    PlaceholderReason reason = PlaceholderReason::Starting;
    if (d.everLive)
        reason = PlaceholderReason::AppStopped;
    else if (d.retryAt != 0 || Now() - d.runStart > kStartingShown)
        reason = PlaceholderReason::WaitingForApp;
    if (static_cast<int>(reason) != d.reason) {
        d.reason = static_cast<int>(reason);
        log << "placeholder: " << PlaceholderText(reason) << Log::EndLine;
    }
    const std::uint64_t written = mPlaceholder.CopyInto(buffer, size, reason);
    if (!written && !d.placeholderFailed) {
        d.placeholderFailed = true; // said once; the sample goes out as the host gave it
        log << LogLevel::Error << "ERROR: no placeholder picture for a sample of " << size << " bytes" << Log::EndLine;
    }
    return written;
}

// ---------------------------------------------------------------------------------------------
// The stream's run

CameraCore::CameraCore(AppSession appSession) : mAppSession(appSession) {}

CameraCore::~CameraCore() {
    ReleaseInternal();
}

void CameraCore::Start(const StreamFormat& format, Waiter waiter) {
    mFormat = format;
    mWaiter = std::move(waiter);
    // Slots are kept to a millisecond or so. A high-resolution timer does that alone; an ordinary
    // one (before Windows 10 1803) only with the system timer at 1 ms instead of 15.6 ms, asked for
    // while this stream runs. Manual reset, so that each setting clears a firing that no wait took
    // (the app's publication ended the sleep first): Wine keeps that of an auto-reset timer through
    // the next setting, and the next sleep would end at once.
    constexpr DWORD kManualReset = CREATE_WAITABLE_TIMER_MANUAL_RESET;
    mSlotTimer.reset(CreateWaitableTimerExW(nullptr, nullptr, kManualReset | kHighResolutionTimer, TIMER_ALL_ACCESS));
    mFineSystemTimer = !mSlotTimer;
    if (mFineSystemTimer) {
        mSlotTimer.reset(CreateWaitableTimerExW(nullptr, nullptr, kManualReset, TIMER_ALL_ACCESS));
        timeBeginPeriod(1);
    }
    mDelivery = Delivery{};
    mDelivery.runStart = Now();
    // A fresh one per run: the host's stop cancels what it cuts short.
    mStreamingStop = Tasks::cancellation_token_source();
    mStopToken = mStreamingStop.get_token();
    mPlaceholder.SetDestination(mFormat.width, mFormat.height, mFormat.subtype);
    // Drawn now rather than in the middle of the stream, where it would hold up a sample.
    for (const auto reason : {PlaceholderReason::Starting, PlaceholderReason::WaitingForApp, PlaceholderReason::AppStopped})
        mPlaceholder.Picture(reason);
    PrepareInternal();
}

void CameraCore::Restart() noexcept {
    mDelivery.last = 0;
}

void CameraCore::Interrupt() noexcept {
    mStreamingStop.cancel();
}

void CameraCore::Stop() {
    ReleaseInternal();
    if (mFineSystemTimer)
        timeEndPeriod(1);
    mFineSystemTimer = false;
    mSlotTimer.reset();
}

std::uint64_t CameraCore::Fill(std::uint8_t* buffer, std::uint64_t size) {
    Log log = Log::Get(kFilterLogName, "FillBuffer");
    UpdateSource(log, Now());
    std::uint64_t written = 0;
    if (WaitForTurn() && mWebClient && mFrameClient) {
        log << "mFrameClientTask.is_done" << Log::EndLine;
        written = FillFromApp(buffer, size, log);
    }
    if (!written)
        written = CopyPlaceholder(buffer, size, log);
    // The next sample keeps its distance from the moment this one is handed on.
    mDelivery.last = Now();
    return written;
}

} // namespace Zarvo
