#pragma once
// The reference server's camera: a generator of the test pattern at about 30 frames per
// second, shared by every client that started it. Each frame goes into the shared texture and,
// while the camera is live, into the shared-memory frame channel.

#include "server/SharedTexture.h"
#include "webcam/FrameChannel.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace Zarvo::Server {

inline constexpr std::string_view kServerLogName = "Server";
// Held while a server runs: one per session.
inline constexpr const wchar_t* kInstanceMutexName = L"Zarvo/Webcam/Control/ServerInstance";

struct FrameSize {
    std::uint32_t width;
    std::uint32_t height;
};

// The output resolution from the camera's settings file.
FrameSize ReadOutputSize();

// A stretch without new frames while everything else goes on, for tests of a stalled picture.
struct Pause {
    std::uint64_t afterFrames = 0; // starts once this many frames were drawn; 0: never
    double seconds = 0;            // then lasts this long; 0: for ever
};

class Camera {
public:
    // `onFrameLimit` runs once on the generator thread when `frameLimit` frames (0: no limit)
    // have been drawn. `channelName` names the frame channel's section, created with `security`
    // (kept; null: the default).
    Camera(std::uint64_t frameLimit, std::function<void()> onFrameLimit, Pause pause = {},
           SECURITY_ATTRIBUTES* security = nullptr, std::wstring channelName = FrameChannel::kSectionName);
    ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // The publishing rate (30 by default); set before the first Acquire.
    void SetFrameRate(double framesPerSecond) noexcept { mFrameInterval = std::chrono::nanoseconds(static_cast<std::int64_t>(1e9 / framesPerSecond)); }

    // One more user; the first starts the generator at the size of the settings file.
    void Acquire();
    // One user less; the last stops the generator and waits for it.
    void Release();
    // Stops the generator whatever the number of users.
    void Shutdown();

    bool IsLive() const noexcept { return mLive.load(); }
    // Frames drawn since the server started; grows across restarts of the generator.
    std::uint64_t FramesDrawn() const noexcept { return mFramesDrawn.load(); }

    // The shared texture's handle at the current output size, or 0 and the reason.
    std::uint64_t OpenTexture(std::string& whyNot);
    // The size frames have now: the generator's while live, otherwise the settings'.
    FrameSize Size();
    // Publishes, while the generator runs, also into the channel a camera of another session made
    // for this session (see FrameChannel::Writer::Join; the camera's account is the platform's
    // camera service's); the generator's stop ends it. False and the reason when the channel is
    // absent or not fit for the user's frames.
    bool PublishAcrossSessions(std::string& whyNot);

private:
    void Run(FrameSize size);
    // Waits while a pause holds the next frame back; false when the generator is to stop.
    bool WaitOutPause(std::unique_lock<std::mutex>& run);
    void StopGenerator();
    // Sets the channel up at `size`; logs only a reason not logged before.
    void OpenChannel(FrameSize size);

    const std::uint64_t mFrameLimit;
    const std::function<void()> mOnFrameLimit;
    const Pause mPause;
    std::chrono::nanoseconds mFrameInterval{1'000'000'000 / 30};
    SharedTexture mTexture;
    const std::wstring mChannelName;
    // Opened before the generator starts and closed after it ended; in between only the generator
    // touches it.
    FrameChannel::Writer mChannel;
    std::string mChannelReported; // same as mChannel
    std::mutex mHostedMutex; // the generator publishes, a pipe thread joins
    FrameChannel::Writer mHosted; // guarded by mHostedMutex: the channel a camera of another session made

    std::mutex mUsersMutex; // serialises Acquire, Release and Shutdown
    unsigned mUsers = 0;    // guarded by mUsersMutex
    FrameSize mSize{0, 0};  // guarded by mUsersMutex: the generator's size while live
    std::thread mGenerator; // guarded by mUsersMutex

    std::mutex mRunMutex;
    std::condition_variable mRunChanged;
    bool mRunning = false; // guarded by mRunMutex
    // guarded by mRunMutex: set while paused, for ever when it holds no time. A time rather than a
    // state of one generator, so a generator restarted by a new client keeps the pause too.
    bool mPaused = false;
    std::optional<std::chrono::steady_clock::time_point> mPausedUntil;

    std::atomic<bool> mLive{false};
    std::atomic<std::uint64_t> mFramesDrawn{0};
};

} // namespace Zarvo::Server
