#include "server/Camera.h"

#include "AppSettings/AppSettings.h"
#include "IPC/Status.h"
#include "log/Log.h"
#include "log/Text.h"
#include "server/Pattern.h"

#include <chrono>
#include <vector>

namespace Zarvo::Server {

FrameSize ReadOutputSize() {
    auto folder = GetAppDataFolder();
    const Network::Webcam::WebcamSettings settings(folder ? folder.Value() : std::wstring());
    const auto resolution = settings.GetOutputResolution();
    return {static_cast<std::uint32_t>(resolution.width), static_cast<std::uint32_t>(resolution.height)};
}

Camera::Camera(std::uint64_t frameLimit, std::function<void()> onFrameLimit, Pause pause,
               SECURITY_ATTRIBUTES* security, std::wstring channelName)
    : mFrameLimit(frameLimit), mOnFrameLimit(std::move(onFrameLimit)), mPause(pause),
      mChannelName(std::move(channelName)), mChannel(security) {}

Camera::~Camera() {
    Shutdown();
    mTexture.Release();
}

void Camera::Acquire() {
    std::lock_guard lock(mUsersMutex);
    if (mUsers++ > 0)
        return;
    mSize = ReadOutputSize();
    {
        std::lock_guard run(mRunMutex);
        mRunning = true;
    }
    mLive = true;
    Log log = Log::Get(kServerLogName, "Camera");
    log << "started: w/h, " << mSize.width << "," << mSize.height << Log::EndLine;
    // Before the first answer that the camera runs, so a camera initialised right after finds it.
    mChannelReported.clear();
    OpenChannel(mSize);
    mGenerator = std::thread([this, size = mSize] { Run(size); });
}

void Camera::Release() {
    std::lock_guard lock(mUsersMutex);
    if (mUsers == 0 || --mUsers > 0)
        return;
    StopGenerator();
}

void Camera::Shutdown() {
    std::lock_guard lock(mUsersMutex);
    mUsers = 0;
    StopGenerator();
}

void Camera::StopGenerator() {
    if (!mGenerator.joinable())
        return;
    {
        std::lock_guard run(mRunMutex);
        mRunning = false;
    }
    mRunChanged.notify_all();
    mGenerator.join();
    mChannel.Close();
    {
        std::lock_guard lock(mHostedMutex);
        mHosted.Close();
    }
    mLive = false;
    Log log = Log::Get(kServerLogName, "Camera");
    log << "stopped: frames drawn, " << mFramesDrawn.load() << Log::EndLine;
}

void Camera::OpenChannel(FrameSize size) {
    std::string whyNot;
    if (mChannel.Open(mChannelName, size.width, size.height, whyNot)) {
        Log::Get(kServerLogName, "Camera") << "frame channel: " << ToUtf8(mChannelName) << Log::EndLine;
        mChannelReported.clear();
        return;
    }
    if (whyNot != mChannelReported) {
        mChannelReported = whyNot;
        Log::Get(kServerLogName, "Camera") << LogLevel::Error << "ERROR: frame channel "
                                           << ToUtf8(mChannelName) << ": " << whyNot << Log::EndLine;
    }
}

FrameSize Camera::Size() {
    std::lock_guard lock(mUsersMutex);
    return mUsers > 0 ? mSize : ReadOutputSize();
}

std::uint64_t Camera::OpenTexture(std::string& whyNot) {
    const FrameSize size = Size();
    return mTexture.Open(size.width, size.height, whyNot);
}

bool Camera::PublishAcrossSessions(std::string& whyNot) {
    std::lock_guard users(mUsersMutex); // the generator neither starts nor stops meanwhile
    if (mUsers == 0) {
        whyNot = "the camera is not started";
        return false;
    }
    DWORD session = 0;
    BYTE service[SECURITY_MAX_SID_SIZE];
    DWORD serviceBytes = sizeof(service);
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &session) ||
        !CreateWellKnownSid(WinLocalServiceSid, nullptr, service, &serviceBytes)) {
        whyNot = "this process's session is unknown";
        return false;
    }
    std::lock_guard lock(mHostedMutex);
    if (mHosted.IsOpen())
        return true;
    const std::wstring name = IPC::AcrossSessionsChannelName(session);
    if (!mHosted.Join(name, mSize.width, mSize.height, std::vector<std::uint8_t>(service, service + serviceBytes),
                      whyNot)) {
        whyNot = ToUtf8(name) + ": " + whyNot;
        return false;
    }
    Log::Get(kServerLogName, "Camera") << "frame channel: " << ToUtf8(name) << Log::EndLine;
    return true;
}

void Camera::Run(FrameSize size) {
    using Clock = std::chrono::steady_clock;
    const std::size_t pitch = size.width;
    std::vector<std::uint8_t> frame(PatternFrameBytes(size.height, pitch));
    auto deadline = Clock::now();
    for (;;) {
        {
            std::unique_lock run(mRunMutex);
            const bool wasPaused = mPaused;
            if (!WaitOutPause(run))
                return;
            if (wasPaused)
                deadline = Clock::now();
        }
        const std::uint64_t number = mFramesDrawn.load();
        DrawPatternNV12(size.width, size.height, number, frame.data(), pitch);
        mTexture.Write(frame.data(), pitch, size.width, size.height);
        // A section a camera of the previous size still maps cannot grow: look again now and then.
        if (!mChannel.IsOpen() && number % 15 == 0)
            OpenChannel(size);
        mChannel.Publish(frame.data(), pitch, number);
        {
            std::lock_guard lock(mHostedMutex);
            mHosted.Publish(frame.data(), pitch, number);
        }
        mFramesDrawn = number + 1;
        if (mFrameLimit != 0 && number + 1 == mFrameLimit && mOnFrameLimit)
            mOnFrameLimit();
        if (number + 1 == mPause.afterFrames) {
            std::lock_guard run(mRunMutex);
            mPaused = true;
            if (mPause.seconds > 0)
                mPausedUntil = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>(mPause.seconds));
            Log::Get(kServerLogName, "Camera") << "paused after frame " << number + 1 << Log::EndLine;
        }

        deadline += std::chrono::duration_cast<Clock::duration>(mFrameInterval);
        // A late frame starts the next interval now rather than bursting to catch up.
        if (deadline < Clock::now())
            deadline = Clock::now();
        std::unique_lock run(mRunMutex);
        if (mRunChanged.wait_until(run, deadline, [this] { return !mRunning; }))
            return;
    }
}

bool Camera::WaitOutPause(std::unique_lock<std::mutex>& run) {
    while (mRunning && mPaused) {
        if (!mPausedUntil) {
            mRunChanged.wait(run);
        } else if (mRunChanged.wait_until(run, *mPausedUntil) == std::cv_status::timeout &&
                   std::chrono::steady_clock::now() >= *mPausedUntil) {
            mPaused = false;
            Log::Get(kServerLogName, "Camera") << "resumed at frame " << mFramesDrawn.load() + 1 << Log::EndLine;
        }
    }
    return mRunning;
}

} // namespace Zarvo::Server
