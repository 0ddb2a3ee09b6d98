#include "Filters/Filters.h"

#include "AppSettings/AppSettings.h"
#include "Filters/Guids.h"
#include "IPC/WebcamClient.h"
#include "log/Log.h"
#include "log/Text.h"
#include "webcam/WebcamFrameClient.h"

#include <timeapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <utility>

using Zarvo::kFilterLogName;
using Zarvo::Log;
using Zarvo::LogLevel;
namespace Tasks = Zarvo::Tasks;

namespace {

std::atomic<long> gPendingReleaseTasks{0};

std::mutex gDeviceFactoryMutex;
Zarvo::WebcamFrameClient::DeviceFactory gDeviceFactory; // guarded by gDeviceFactoryMutex

std::shared_ptr<Zarvo::WebcamFrameClient> MakeFrameClient() {
    std::lock_guard lock(gDeviceFactoryMutex);
    return gDeviceFactory ? std::make_shared<Zarvo::WebcamFrameClient>(gDeviceFactory)
                          : std::make_shared<Zarvo::WebcamFrameClient>();
}

// The application-data folder, or an empty text when there is none (the settings then give
// their defaults and logging stays off).
std::wstring AppDataFolder() {
    auto folder = Zarvo::GetAppDataFolder();
    return folder.HasValue() ? folder.Value() : std::wstring();
}

void WriteTimeLine(const char* tag) noexcept {
    Log log = Log::Get(kFilterLogName, tag);
    log << Zarvo::LocalTimestamp().View() << Log::EndLine;
}

// Lines for an exception caught at `line` of this file; call from inside a catch block.
void LogCurrentException(Log& log, int line) noexcept {
    try {
        throw;
    } catch (const std::exception& error) {
        const char* message = error.what();
        log << "exception: " << Zarvo::SourceFileName(__FILE__) << ":" << line << ":"
            << (message ? message : "") << Log::EndLine;
    } catch (...) {
        log << "unknown exception: " << Zarvo::SourceFileName(__FILE__) << ":" << line << Log::EndLine;
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

// Performance counter now, in 100 ns units.
std::int64_t Now() noexcept {
    LARGE_INTEGER ticks{};
    QueryPerformanceCounter(&ticks);
    return ToMediaTime(static_cast<std::int64_t>(ticks.QuadPart), CounterFrequency());
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
std::chrono::milliseconds FrameTickBound(REFERENCE_TIME interval) {
    return std::chrono::milliseconds(std::clamp<std::int64_t>(6 * interval / kMillisecond, 200, 1000));
}

// Stops the server's camera and closes the pipe after streaming or after the source was lost,
// without holding up the host. With a chain, first waits for it to end (it gives up soon once
// cancelled) and takes the connection it made. Graphics objects never come here: they go on the
// worker's thread, so none is alive or being torn down once the host's Stop has returned. The
// event, when there is one, is set once the app has been dealt with.
std::shared_ptr<Zarvo::UniqueEvent> StartReleaseTask(std::shared_ptr<Zarvo::IPC::WebcamClient> client,
                                                     std::shared_ptr<ConnectionChainState> chain = {},
                                                     Tasks::task<void> chainTask = {});

} // namespace

// What one run of the chain brings up. Its steps hold it, not the stream, so a chain the host's
// Stop does not wait for can end after the stream is gone.
struct ConnectionChainState {
    std::mutex mutex;
    std::condition_variable graphicsDone;                   // with mutex: the last step left its graphics work
    std::shared_ptr<Zarvo::IPC::WebcamClient> webClient;    // guarded by mutex; set by step 1
    std::shared_ptr<Zarvo::WebcamFrameClient> frameClient; // guarded by mutex; set by step 4
    bool cameraLive = false;                                // guarded by mutex; StartCamera's answer
    bool closed = false;   // guarded by mutex; set by CloseGraphics: step 4 brings up nothing more
    bool building = false; // guarded by mutex; step 4 is making the frame client (a graphics device)

    // Step 4's entry: false once the stream closed the chain's graphics side.
    bool BeginGraphics() {
        std::lock_guard lock(mutex);
        building = !closed;
        return building;
    }
    // Step 4's exit, with what it made (null when it failed).
    void EndGraphics(std::shared_ptr<Zarvo::WebcamFrameClient> made) {
        {
            std::lock_guard lock(mutex);
            frameClient = std::move(made);
            building = false;
        }
        graphicsDone.notify_all();
    }
    // Lets no further graphics object be made, waits for one being made, and hands over the frame
    // client, so the caller releases it on its own thread.
    std::shared_ptr<Zarvo::WebcamFrameClient> CloseGraphics() {
        std::unique_lock lock(mutex);
        closed = true;
        graphicsDone.wait(lock, [this] { return !building; });
        return std::move(frameClient);
    }

    // Hands over what the chain brought up; a second call gets nothing.
    void Take(std::shared_ptr<Zarvo::IPC::WebcamClient>& web, std::shared_ptr<Zarvo::WebcamFrameClient>& frames,
              bool& live) {
        std::lock_guard lock(mutex);
        web = std::move(webClient);
        frames = std::move(frameClient);
        live = cameraLive;
    }
};

namespace {

// A per-frame request cut short by the host's Stop leaves its connection out of step: the app is
// told on a new one, found within this bound or not at all.
constexpr DWORD kReconnectBoundMs = 2000;

// Connects `client` again within `boundMs`: false when no pipe could be opened in that time.
bool ReconnectWithin(Zarvo::IPC::WebcamClient& client, DWORD boundMs) {
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

std::shared_ptr<Zarvo::UniqueEvent> StartReleaseTask(std::shared_ptr<Zarvo::IPC::WebcamClient> client,
                                                     std::shared_ptr<ConnectionChainState> chain,
                                                     Tasks::task<void> chainTask) {
    if (!client && !chain)
        return nullptr;
    auto appDone = std::make_shared<Zarvo::UniqueEvent>(CreateEventW(nullptr, TRUE, FALSE, nullptr));
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
            std::shared_ptr<Zarvo::WebcamFrameClient> none; // closed before the chain came here
            bool live = false;
            std::shared_ptr<Zarvo::IPC::WebcamClient> made;
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
            if (web->StopCamera()) {
                log << "WebcamClient: Camera Stopped" << Log::EndLine;
                if (web->Disconnect())
                    log << "WebcamClient: Server Disconnected" << Log::EndLine;
            }
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

// A host often ends its process right after its Stop: give the release task a moment to tell the
// app, without holding up the Stop noticeably when the app does not answer.
void WaitBrieflyFor(const std::shared_ptr<Zarvo::UniqueEvent>& appDone) {
    if (appDone && *appDone)
        WaitForSingleObject(appDone->get(), 20);
}

} // namespace

long PendingReleaseTasks() noexcept {
    return gPendingReleaseTasks.load();
}

void SetFrameClientDeviceFactory(Zarvo::WebcamFrameClient::DeviceFactory factory) {
    std::lock_guard lock(gDeviceFactoryMutex);
    gDeviceFactory = std::move(factory);
}

// ---------------------------------------------------------------------------------------------
// CVCam

CUnknown* WINAPI CVCam::CreateInstance(IUnknown* outer, HRESULT* result) {
    return new (std::nothrow) CVCam(outer, result);
}

CVCam::CVCam(IUnknown* outer, HRESULT* result) : CSource(kZarvoWebcamName, outer, CLSID_ZarvoWebcam) {
    {
        const Zarvo::Network::Webcam::WebcamSettings settings(AppDataFolder());
        Zarvo::InitializeLogging(settings.SettingsFolder(), L"zvfilter");
    }
    Log::Get(kFilterLogName, "CVCam") << " " << Log::EndLine;

    CAutoLock lock(StateLock());
    // The stream attaches itself as pin 0; the filter owns it from here. One that could not
    // attach (out of memory) is owned by nobody: it goes again at once.
    auto* stream = new (std::nothrow) CVCamStream(result, this, L"Video");
    if (stream && StreamIndex(stream) < 0) {
        delete stream;
        stream = nullptr;
    }
    if (!stream && result && SUCCEEDED(*result))
        *result = E_OUTOFMEMORY;
    mReferenceClock = new (std::nothrow) CBaseReferenceClock(nullptr, outer, result, nullptr);
    if (mReferenceClock) {
        // The clock's own count: through IReferenceClock an aggregated filter would hold its
        // outer object and never be released.
        mReferenceClock->InnerAddRef();
    } else if (result) {
        *result = E_OUTOFMEMORY;
    }
}

CVCam::~CVCam() {
    if (mReferenceClock)
        mReferenceClock->InnerRelease();
}

HRESULT STDMETHODCALLTYPE CVCam::InnerQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IAMStreamConfig || riid == IID_IKsPropertySet) {
        CBasePin* pin = PinAt(0);
        if (!pin)
            return E_NOINTERFACE;
        return static_cast<IPin*>(pin)->QueryInterface(riid, ppv);
    }
    if (riid == IID_IReferenceClock) {
        if (!mReferenceClock)
            return E_NOINTERFACE;
        return GetInterface(static_cast<IReferenceClock*>(mReferenceClock), ppv);
    }
    return CSource::InnerQueryInterface(riid, ppv);
}

// ---------------------------------------------------------------------------------------------
// CVCamStream: lifecycle and worker hooks

CVCamStream::CVCamStream(HRESULT* result, CVCam* parent, const wchar_t* pinName)
    : CSourceStream(nullptr, result, parent, pinName), mParent(parent),
      mSettings(std::make_shared<Zarvo::Network::Webcam::WebcamSettings>(AppDataFolder())) {
    Log::Get(kFilterLogName, "CVCamStream") << " " << Log::EndLine;
    const auto resolution = mSettings->GetOutputResolution();
    mOutputWidth = resolution.width;
    mOutputHeight = resolution.height;
    SetDefaultMediaType(resolution.width, resolution.height);
}

CVCamStream::~CVCamStream() {
    Log::Get(kFilterLogName, "~CVCamStream") << " " << Log::EndLine;
    ReleaseInternal();
}

HRESULT STDMETHODCALLTYPE CVCamStream::InnerQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IAMStreamConfig)
        return GetInterface(static_cast<IAMStreamConfig*>(this), ppv);
    if (riid == IID_IKsPropertySet)
        return GetInterface(static_cast<IKsPropertySet*>(this), ppv);
    return CSourceStream::InnerQueryInterface(riid, ppv);
}

HRESULT CVCamStream::OnThreadCreate() {
    WriteTimeLine("OnThreadCreate");
    // Slots are kept to a millisecond or so. A high-resolution timer does that alone; an ordinary
    // one (before Windows 10 1803) only with the system timer at 1 ms instead of 15.6 ms, asked for
    // while this stream runs.
    mSlotTimer.reset(CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionTimer, TIMER_ALL_ACCESS));
    mFineSystemTimer = !mSlotTimer;
    if (mFineSystemTimer) {
        mSlotTimer.reset(CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS));
        timeBeginPeriod(1);
    }
    mDelivery = Delivery{};
    mDelivery.runStart = Now();
    // A fresh one per worker: the host's Stop cancels what it cuts short.
    mStreamingStop = Tasks::cancellation_token_source();
    mStopToken = mStreamingStop.get_token();
    mPlaceholder.SetDestination(static_cast<std::uint32_t>(mDestinationWidth),
                                static_cast<std::uint32_t>(mDestinationHeight), mDestinationSubtype);
    // Drawn now rather than in the middle of the stream, where it would hold up a sample.
    for (const auto reason : {Zarvo::PlaceholderReason::Starting, Zarvo::PlaceholderReason::WaitingForApp,
                              Zarvo::PlaceholderReason::AppStopped})
        mPlaceholder.Picture(reason);
    PrepareInternal();
    return S_OK;
}

HRESULT CVCamStream::OnThreadStartPlay() {
    WriteTimeLine("OnThreadStartPlay");
    // A new streaming run: its first sample goes out at once.
    mDelivery.last = 0;
    return S_OK;
}

HRESULT CVCamStream::OnThreadDestroy() {
    WriteTimeLine("OnThreadDestroy");
    ReleaseInternal();
    if (mFineSystemTimer)
        timeEndPeriod(1);
    mFineSystemTimer = false;
    mSlotTimer.reset();
    return S_OK;
}

HRESULT CVCamStream::Deactivate() {
    // Before the worker is told to stop: a per-frame request to a hung app would hold it up for the
    // request's whole bound.
    mStreamingStop.cancel();
    return CSourceStream::Deactivate();
}

HRESULT CVCamStream::Run(REFERENCE_TIME) {
    Log::Get(kFilterLogName, "CVCamStream::Run") << " " << Log::EndLine;
    return S_OK;
}

// ---------------------------------------------------------------------------------------------
// CVCamStream: the connection chain

void CVCamStream::PrepareInternal() {
    Log log = Log::Get(kFilterLogName, "PrepareInternal");
    log << "ENTER" << Log::EndLine;
    Tasks::task<std::shared_ptr<Zarvo::IPC::WebcamClient>> first;
    std::shared_ptr<ConnectionChainState> chain;
    Tasks::cancellation_token_source source;
    try {
        // A fresh source for every run of the chain: a stop cancels only the one that runs.
        source = Tasks::cancellation_token_source();
        chain = std::make_shared<ConnectionChainState>();
        const auto token = source.get_token();
        const auto width = mDestinationWidth;
        const auto height = mDestinationHeight;
        const auto subtype = mDestinationSubtype;
        // Each step gives up once the chain is cancelled; nothing it brought up is lost, since
        // whoever waits for the chain releases what `chain` holds. Once connected, an exchange
        // runs to its answer or its own bound: one cut short by the cancel would leave the pipe
        // unusable, and the release could no longer tell the app to stop the camera it started.
        const auto giveUpIfCancelled = [token] {
            if (token.is_canceled())
                Tasks::cancel_current_task();
        };

        first = Tasks::create_task([chain, token, giveUpIfCancelled] {
            Log step = Log::Get(kFilterLogName, "Prepare/ConnectToServer");
            step << " " << Log::EndLine;
            giveUpIfCancelled();
            auto client = std::make_shared<Zarvo::IPC::WebcamClient>(Zarvo::FilterLogFactory());
            Zarvo::IPC::LaunchServerIfNeeded(client, token);
            if (!client->ConnectToServer(token))
                Tasks::cancel_current_task();
            step << "webcamClient: Server Connected" << Log::EndLine;
            std::lock_guard lock(chain->mutex);
            chain->webClient = client;
            return client;
        });
        auto last = first
                        .then([chain, giveUpIfCancelled](std::shared_ptr<Zarvo::IPC::WebcamClient> client) {
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
                        })
                        .then([giveUpIfCancelled](std::shared_ptr<Zarvo::IPC::WebcamClient> client) {
                            Log::Get(kFilterLogName, "Prepare/OpenSharedTexture") << " " << Log::EndLine;
                            giveUpIfCancelled();
                            return client->OpenSharedTexture();
                        })
                        .then([chain, width, height, subtype, giveUpIfCancelled](std::uint64_t sharedTexture) {
                            Log::Get(kFilterLogName, "Prepare/WebcamFrameClient") << " " << Log::EndLine;
                            giveUpIfCancelled();
                            // A stream that stopped waits for this step rather than leave a graphics
                            // device behind; one that stops before it begins makes none.
                            if (!chain->BeginGraphics())
                                Tasks::cancel_current_task();
                            std::shared_ptr<Zarvo::WebcamFrameClient> frameClient;
                            try {
                                frameClient = MakeFrameClient();
                                frameClient->SetDestinationSize(width, height, subtype);
                                frameClient->Initialize(sharedTexture); // failures show in the samples
                            } catch (...) {
                                chain->EndGraphics(nullptr); // what was made went with the unwinding
                                throw;
                            }
                            chain->EndGraphics(std::move(frameClient));
                        });
        mCancellationSource = source;
        mFrameClientTask = std::move(last);
        mChain = std::move(chain);
    } catch (...) {
        // Out of memory while building: a step that started already must not run on unobserved.
        LogCurrentException(log, __LINE__);
        source.cancel();
        try {
            first.wait();
        } catch (...) {
        }
        if (chain) {
            chain->CloseGraphics();
            StartReleaseTask(nullptr, chain, {});
        }
        mDelivery.retryAt = Now() + kRetryPause;
    }
    log << "EXIT" << Log::EndLine;
}

void CVCamStream::ReleaseInternal() {
    Log log = Log::Get(kFilterLogName, "ReleaseInternal");
    log << Zarvo::LocalTimestamp().View() << Log::EndLine;
    auto chain = std::move(mChain);
    auto web = std::move(mWebClient);
    auto frames = std::move(mFrameClient);
    try {
        mCancellationSource.cancel();
        // The graphics device goes here, on the thread the host's Stop waits for: a host may end
        // its process right after, and a device torn down on another thread as the process goes
        // can take the host with it. A chain making one is waited for; it makes none afterwards.
        if (chain) {
            if (auto made = chain->CloseGraphics())
                frames = std::move(made);
        }
        frames.reset();
        if (chain && !mFrameClientTask.is_done()) {
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
                std::shared_ptr<Zarvo::IPC::WebcamClient> made;
                bool live = false;
                chain->Take(made, frames, live);
                if (made)
                    web = std::move(made);
            }
            WaitBrieflyFor(StartReleaseTask(std::move(web)));
        }
    } catch (...) {
        LogCurrentException(log, __LINE__);
    }
}

// ---------------------------------------------------------------------------------------------
// CVCamStream: delivery

void CVCamStream::UpdateSource(Log& log, std::int64_t now) {
    auto& d = mDelivery;
    if (mWebClient)
        return; // connected; FillFromApp watches the connection
    if (mChain) {
        if (!mFrameClientTask.is_done())
            return;
        // The chain ended: take what it brought up.
        std::shared_ptr<Zarvo::IPC::WebcamClient> web;
        std::shared_ptr<Zarvo::WebcamFrameClient> frames;
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

CVCamStream::Woken CVCamStream::SleepUntil(std::int64_t when, HANDLE wake) {
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
    switch (WaitForStreamCommand(timeout, handles, count)) {
    case StreamWait::Command:
        return Woken::Command;
    case StreamWait::TimedOut:
        return Woken::Time;
    case StreamWait::Woken:
        break;
    }
    // Which one: the timer may have fired together with the event.
    return wake && WaitForSingleObject(wake, 0) == WAIT_OBJECT_0 && Now() < when ? Woken::Event : Woken::Time;
}

// Waits for this sample's slot. Slots are one interval apart, on a schedule that moves towards the
// app's publications (FillFromApp), so that a new frame goes out soon after it arrives: a frame that
// is new since the previous sample goes at once from an eighth of an interval before its slot on.
// Consecutive samples are thus one interval apart within an eighth of an interval, and a host that
// stamps samples as they arrive never sees two in one frame slot. Sleeps on the slot timer and the
// app's published event; never polls. False when a command that ends streaming came first.
bool CVCamStream::WaitForTurn() {
    auto& d = mDelivery;
    const std::int64_t interval = mFrameInterval;
    if (d.last == 0)
        d.due = Now(); // the first sample of a streaming run goes at once
    const std::int64_t earliest = std::max(d.last + interval - interval / 8, d.due - interval / 8);
    HANDLE published = mFrameClient ? mFrameClient->PublishedEvent() : nullptr;
    const auto fresh = [&] {
        const auto count = mFrameClient ? mFrameClient->Published() : std::nullopt;
        return count && *count != d.publishedSeen;
    };
    for (std::int64_t now = Now(); now < d.due; now = Now()) {
        if (now >= earliest && fresh())
            break;
        // Before the window, only the clock; in it, also the app's next publication.
        const bool inWindow = now >= earliest;
        const Woken woken = SleepUntil(inWindow || !published ? d.due : earliest, inWindow ? published : nullptr);
        if (woken == Woken::Command)
            return false;
        // An event that stays set without a new frame (not the app's) wakes no more in this slot.
        if (woken == Woken::Event && !fresh())
            published = nullptr;
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

void CVCamStream::LoseSource(Log& log, const char* reason) {
    log << "source lost: " << reason << Log::EndLine;
    mFrameClient.reset(); // here, not in the background: see ReleaseInternal
    StartReleaseTask(std::move(mWebClient));
    mWebClient.reset();
    mDelivery.lost = mDelivery.everLive;
    mDelivery.retryAt = Now() + kRetryPause;
}

bool CVCamStream::FillFromApp(IMediaSample* sample, Log& log) {
    using Status = Zarvo::WebcamFrameClient::FillResult::Status;
    auto& d = mDelivery;
    if (!mWebClient->FrameTick(FrameTickBound(mFrameInterval), mStopToken)) {
        if (mStopToken.is_canceled())
            return false; // the host stops; the release tells the app on a new connection
        LoseSource(log, "the app did not answer the per-frame request");
        return false;
    }
    // Taken before the fill, so a frame published during it counts as new at the next sample.
    d.publishedSeen = mFrameClient->Published().value_or(0);
    const auto result = mFrameClient->FillSample(sample);
    const std::int64_t now = Now();
    if (result.status == Status::SourceClosed || result.status == Status::Closed) {
        LoseSource(log, "the app closed its frame channel");
        return false;
    }
    if (result.status == Status::Frame && (!result.numbered || !d.numbered || result.frameNumber != d.frameNumber)) {
        d.lastNewFrame = now;
        if (result.numbered) {
            // Move the slots towards a sixteenth of an interval after the app's publications (a
            // frame then goes out as it arrives): the nearest such point one interval on, by at
            // most a sixteenth of an interval per sample, so consecutive samples stay within an
            // eighth of one interval apart, and by an interval in all, so the rate stays the
            // negotiated one whatever the app's.
            const std::int64_t interval = mFrameInterval;
            const std::int64_t published = ToMediaTime(static_cast<std::int64_t>(result.publishTime), CounterFrequency());
            std::int64_t shift = (published + interval / 16 - d.due) % interval;
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
        return false;
    }
    return result.status == Status::Frame;
}

void CVCamStream::CopyPlaceholder(IMediaSample* sample, Log& log) {
    auto& d = mDelivery;
    // Starting until the first connection attempt failed or took long; then waiting for the app,
    // or, once frames came in this run, that the app stopped sending them.
    Zarvo::PlaceholderReason reason = Zarvo::PlaceholderReason::Starting;
    if (d.everLive)
        reason = Zarvo::PlaceholderReason::AppStopped;
    else if (d.retryAt != 0 || Now() - d.runStart > kStartingShown)
        reason = Zarvo::PlaceholderReason::WaitingForApp;
    if (static_cast<int>(reason) != d.reason) {
        d.reason = static_cast<int>(reason);
        log << "placeholder: " << Zarvo::PlaceholderText(reason) << Log::EndLine;
    }
    if (!mPlaceholder.CopyInto(sample, reason) && !d.placeholderFailed) {
        d.placeholderFailed = true; // said once; the sample goes out as the allocator gave it
        log << LogLevel::Error << "ERROR: no placeholder picture for a sample of " << sample->GetSize()
            << " bytes" << Log::EndLine;
    }
}

HRESULT CVCamStream::FillBuffer(IMediaSample* sample) {
    Log log = Log::Get(kFilterLogName, "FillBuffer");
    try {
        UpdateSource(log, Now());
        bool filled = false;
        if (WaitForTurn() && mWebClient && mFrameClient) {
            log << "mFrameClientTask.is_done" << Log::EndLine;
            filled = FillFromApp(sample, log);
        }
        if (!filled)
            CopyPlaceholder(sample, log);
        sample->SetSyncPoint(FALSE);
        REFERENCE_TIME start = 0;
        REFERENCE_TIME stop = 0;
        sample->SetTime(&start, &stop);
        // The next sample keeps its distance from the moment this one is handed on.
        mDelivery.last = Now();
        return S_OK;
    } catch (...) {
        LogCurrentException(log, __LINE__);
        return S_FALSE;
    }
}
