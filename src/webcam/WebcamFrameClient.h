#pragma once
// Turns the companion app's shared NV12 texture into the pixels of a media sample: a GPU copy
// into a CPU-readable surface, then a conversion on the CPU straight into the sample's buffer.
// Where the texture cannot serve (no device, a texture that cannot be opened or does not match),
// the frames come from the companion's shared-memory frame channel instead, converted straight
// from the channel's newest complete slot.

#include "AV_HAL/GraphicsDevice.h"
#include "AppSettings/ErrorRecord.h"
#include "webcam/FrameChannel.h"

#include <guiddef.h>
#include <strmif.h>
#include <uuids.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace Zarvo {

class Log;

class WebcamFrameClient {
public:
    // Makes the graphics device Initialize brings up; tests hand in a double.
    using DeviceFactory = std::function<std::shared_ptr<HAL::IGraphicsDevice>()>;

    WebcamFrameClient();
    // `frameChannelName` names the section of the frame channel; tests give one of their own.
    explicit WebcamFrameClient(DeviceFactory deviceFactory,
                               std::wstring frameChannelName = FrameChannel::kSectionName);
    ~WebcamFrameClient();
    WebcamFrameClient(const WebcamFrameClient&) = delete;
    WebcamFrameClient& operator=(const WebcamFrameClient&) = delete;

    // `subtype` is the media subtype the samples carry: YUY2, NV12 or IYUV.
    void SetDestinationSize(std::uint64_t width, std::uint64_t height,
                            const GUID& subtype = MEDIASUBTYPE_YUY2);
    // The size the app renders, when it is not the destination's: frames are then scaled (the centre
    // cropped to the destination's aspect ratio, filtered by area). Before Initialize.
    void SetSourceSize(std::uint64_t width, std::uint64_t height);
    // The user (a SID's bytes) who must own the frame channel: the one the camera accepted on the
    // control pipe. Empty: any owner (channels of a test's own making). Before Initialize.
    void SetChannelOwner(std::vector<std::uint8_t> user);
    // The channel the camera made for the app (an app in another session), kept as long as this.
    void HoldChannel(std::shared_ptr<FrameChannel::HostedChannel> hosted) { mHosted = std::move(hosted); }

    // `handle` is the shared texture's legacy handle. Null when the texture serves, or when it
    // cannot and the frame channel does; otherwise what the texture path always answered (the
    // error of a surface that cannot be made; null, after an Error line, for a texture that does
    // not match). A device that cannot be brought up raises ServiceUnavailableException unless the
    // channel serves. Logs "frame source: GPU texture" or "frame source: shared memory". Where the
    // texture cannot serve, its device is released before this returns: only the texture path
    // holds graphics objects.
    ErrorRecordPtr Initialize(std::uint64_t handle);

    struct FillResult {
        enum class Status {
            Frame,        // the sample holds one whole frame
            NoFrame,      // nothing to show (no source serves yet, torn twice, a failed lock): untouched
            SourceClosed, // the app closed its frame channel: untouched
            Closed,       // the client is closed: untouched, not even its times
        };
        Status status = Status::NoFrame;
        bool numbered = false;         // the channel numbered the frame (it brought it, or it was open beside the texture)
        std::uint64_t frameNumber = 0; // the app's number of the frame, when numbered
        std::uint64_t publishTime = 0; // QueryPerformanceCounter when it was published, when numbered
        std::uint64_t length = 0;      // the bytes written, with Frame
    };

    // Converts the newest frame into the sample; sets sync point false and times 0 unless closed.
    // Never waits. Where the texture cannot serve and the channel is not open, looks for the channel
    // again at most twice a second.
    FillResult FillSample(IMediaSample* sample);
    // The same into a buffer of `size` bytes, for hosts without media samples; the length is the result's.
    FillResult Fill(std::uint8_t* buffer, std::uint64_t size);

    // Frames the app has published on the channel so far, for learning that a new one arrived;
    // nullopt while the channel is not open.
    std::optional<std::uint64_t> Published() const noexcept;

    // Set when the app publishes a frame on the channel; null while the channel is not open or the
    // app gives no such event. For waiting, and for resetting once its publication was seen.
    HANDLE PublishedEvent() const noexcept;

    // Bytes one sample of the sized subtype holds.
    std::uint64_t FrameBytes() const noexcept;

private:
    enum class Output { Yuy2, Nv12, Iyuv };

    // Opens the shared texture and the surface it is copied into; `serves` says whether frames can
    // come from it. The error is the one Initialize has always answered.
    ErrorRecordPtr OpenTexture(std::uint64_t handle, Log& log, bool& serves);
    // Converts the locked CPU surface into the buffer: the bytes written, 0 when it is too small.
    std::uint64_t ConvertInto(std::uint8_t* buffer, std::uint64_t size, const HAL::LockedResource& locked);
    // The buffer if it holds a whole frame; null (said once per client) if not.
    std::uint8_t* FrameBuffer(std::uint8_t* buffer, std::uint64_t size);
    PixelKernels::Kernel OutputKernel() const noexcept;
    // The conversion from the app's frames into samples, scaling where the sizes differ.
    void PrepareConversion();
    std::uint64_t SourceWidth() const noexcept { return mSourceWidth ? mSourceWidth : mWidth; }
    std::uint64_t SourceHeight() const noexcept { return mSourceHeight ? mSourceHeight : mHeight; }

    // Opens the frame channel: empty when it opened, otherwise why not. Says nothing.
    std::string TryChannel();
    // The app's frames are `width` x `height`: converted from that size from now on (said once).
    void AdoptSourceSize(std::uint32_t width, std::uint32_t height, Log& log);
    // True when `whyNot` (TryChannel's answer) is empty. A reason not said before is logged, as
    // an Error when the channel is `needed` for the pixels.
    bool ChannelOpened(Log& log, const std::string& whyNot, bool needed);
    // Fills the sample from the channel; NoFrame when the channel is not open or has no frame.
    FillResult FillFromChannel(std::uint8_t* buffer, std::uint64_t size);
    // Fills the buffer from the texture, numbered by the channel when it is open.
    FillResult FillFromTexture(std::uint8_t* buffer, std::uint64_t size);
    // Lets go of the surfaces, then the device.
    void ReleaseGraphics() noexcept;

    DeviceFactory mDeviceFactory;
    std::shared_ptr<HAL::IGraphicsDevice> mDevice;
    std::shared_ptr<HAL::Surface> mGpuSurface;
    std::shared_ptr<HAL::Surface> mCpuSurface;
    std::uint64_t mWidth = 0;
    std::uint64_t mHeight = 0;
    std::vector<std::uint8_t> mChannelOwner;
    std::uint64_t mSourceWidth = 0;  // 0: the destination's
    std::uint64_t mSourceHeight = 0;
    FrameChannel::Reader::Converter mConvert; // empty: no conversion possible (nothing is shown)
    bool mClosed = false;
    Output mOutput = Output::Yuy2;
    bool mReportedSmallSample = false;

    // The frame channel: the pixels when the texture cannot serve (mChannelWanted), otherwise the
    // number and time of the app's newest frame.
    const std::wstring mChannelName;
    FrameChannel::Reader mChannel;
    std::shared_ptr<FrameChannel::HostedChannel> mHosted; // after mChannel: the reader lets go first
    bool mChannelWanted = false;
    std::string mChannelReported; // the last reason logged for a channel that does not serve
    std::chrono::steady_clock::time_point mNextChannelTry{};
};

} // namespace Zarvo
