#pragma once
// What a camera stream does, whatever host it serves: finding and launching the companion app, the
// connection chain, losing the app and finding it again, pacing at the negotiated interval, the
// placeholder, and filling a buffer with the newest picture. The DirectShow pin (and any other front
// door) only translates its host's calls into these.

#include "runtime/Handles.h"
#include "runtime/Task.h"
#include "webcam/Placeholder.h"
#include "webcam/WebcamFrameClient.h"

#include <guiddef.h>
#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>

namespace Zarvo {

class Log;
namespace IPC {
class WebcamClient;
}
struct ConnectionChainState; // what one run of the connection chain brings up; shared with its steps

// The pictures a stream delivers: their size and layout, and one per `interval`.
struct StreamFormat {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    GUID subtype{};              // YUY2, NV12 or IYUV (the media subtype, the same value as a FOURCC format)
    std::int64_t interval = 333666; // 100 ns units from one sample to the next
    // The size the app renders (0: width x height); other sizes are scaled from it.
    std::uint32_t sourceWidth = 0;
    std::uint32_t sourceHeight = 0;
};

class CameraCore {
public:
    // How the stream sleeps: up to `milliseconds` (INFINITE allowed), or until one of the `count`
    // objects is set (Woken), or until the host wants the streaming run to end (Command). A host
    // answers its own requests meanwhile as it needs to.
    enum class WaitResult { Command, Woken, TimedOut };
    using Waiter = std::function<WaitResult(DWORD milliseconds, const HANDLE* objects, DWORD count)>;

    // Where the app is found. Own: in the host's session, as the host's user (any app-facing host).
    // Console: the host runs outside every user's session (the platform's camera service, in
    // session 0), where the app's session-local objects are out of reach and no program of the
    // user's can be started. The core then trusts the app of the console's user, launches nothing,
    // and makes a frame channel of its own in the machine-wide namespace for the app to publish into;
    // the GPU texture is not used.
    enum class AppSession { Own, Console };

    explicit CameraCore(AppSession appSession = AppSession::Own);
    ~CameraCore(); // as Stop, for a host that never stopped
    CameraCore(const CameraCore&) = delete;
    CameraCore& operator=(const CameraCore&) = delete;

    // A streaming run begins, on the thread that will call Fill: the placeholders are drawn and
    // the connection chain starts in the background.
    void Start(const StreamFormat& format, Waiter waiter);
    // The host resumes delivery after a pause: the next sample goes out at once.
    void Restart() noexcept;
    // Any thread: cuts short what would hold up the host's stop (a per-frame request in flight).
    void Interrupt() noexcept;
    // The run ends, on the thread of Start. No graphics object of the run is alive or being torn
    // down once this returns, unless one was still being made after three seconds (the chain releases it
    // once made). The app is told to stop its camera here, within half a second, when the
    // connection is in step and no chain runs; otherwise in the background.
    void Stop();

    // Waits for the next sample's slot (or the host's Command), then fills `buffer` (`size` bytes)
    // with the newest frame of the app, or the placeholder that says why there is none. The bytes
    // written; 0 only when not even the placeholder fits.
    std::uint64_t Fill(std::uint8_t* buffer, std::uint64_t size);

private:
    // Builds and starts one run of the connection chain; a chain that cannot be built starts nothing.
    void PrepareInternal();
    void ReleaseInternal();

    // Fill's parts. Times are the performance counter's, in 100 ns units.
    void UpdateSource(Log& log, std::int64_t now);
    bool WaitForTurn();
    enum class Woken { Time, Event, Command };
    // Sleeps until `when`, or until `wake` (may be null) is set, or the host's Command comes.
    Woken SleepUntil(std::int64_t when, HANDLE wake);
    std::uint64_t FillFromApp(std::uint8_t* buffer, std::uint64_t size, Log& log);
    void LoseSource(Log& log, const char* reason);
    std::uint64_t CopyPlaceholder(std::uint8_t* buffer, std::uint64_t size, Log& log);

    const AppSession mAppSession;
    StreamFormat mFormat;
    Waiter mWaiter;
    std::shared_ptr<IPC::WebcamClient> mWebClient;
    std::shared_ptr<WebcamFrameClient> mFrameClient;
    Tasks::cancellation_token_source mCancellationSource; // of the newest chain
    Tasks::task<void> mFrameClientTask;                   // the newest chain's last step
    std::shared_ptr<ConnectionChainState> mChain; // the newest chain until the stream took what it brought up
    // Cancelled by Interrupt (any thread); made afresh by each Start before Interrupt can come.
    Tasks::cancellation_token_source mStreamingStop;

    // The thread of Start and Fill only.
    Tasks::cancellation_token mStopToken; // of mStreamingStop
    UniqueHandleNull mSlotTimer;          // wakes the stream at a sample's slot
    bool mFineSystemTimer = false;        // timeBeginPeriod(1) is in force for mSlotTimer
    PlaceholderPicture mPlaceholder;
    struct Delivery {
        std::int64_t runStart = 0;       // Start
        std::int64_t due = 0;            // the next sample's slot
        std::int64_t last = 0;           // the previous sample; 0 before the first of a streaming run
        std::int64_t slip = 0;           // how far the slots moved to meet publications, within an interval
        std::int64_t retryAt = 0;        // when to run the chain again while none runs
        std::int64_t lastNewFrame = 0;   // when a frame not shown before last arrived
        std::uint64_t frameNumber = 0;   // the app's number of the newest frame shown
        std::uint64_t publishedSeen = 0; // the channel's publication count when the last sample was filled
        bool numbered = false;           // frameNumber is valid
        bool cameraLive = false;         // StartCamera's answer for the current connection
        bool everLive = false;           // frames flowed in this run
        bool lost = false;               // the source went away and has not come back
        bool placeholderFailed = false;  // said once that a sample could not take the placeholder
        int reason = -1;                 // the placeholder reason last logged
    } mDelivery;
};

// Release tasks that have not ended yet; the module must not be unloaded while any runs.
long PendingReleaseTasks() noexcept;

// The graphics device of each frame client made from now on; empty: Direct3D 11. For tests that link
// the camera's classes, since the platform there cannot share textures.
void SetFrameClientDeviceFactory(WebcamFrameClient::DeviceFactory factory);

} // namespace Zarvo
