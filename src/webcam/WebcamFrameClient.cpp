#include "webcam/WebcamFrameClient.h"

#include "AV_HAL/Direct3D11/GraphicsDevice.h"
#include "log/Exceptions.h"
#include "log/Log.h"
#include "log/Text.h"
#include "webcam/FrameScaler.h"
#include "webcam/PixelConversion.h"

#include <chrono>

namespace Zarvo {

namespace {

constexpr const char* kSourceName = "WebcamFrameClient";

// A server may publish its channel after the client started; looking again costs one failed open,
// so twice a second keeps the cost invisible and the wait for the picture short.
constexpr auto kChannelRetryInterval = std::chrono::milliseconds(500);

std::shared_ptr<HAL::IGraphicsDevice> MakeDirect3D11Device() {
    return std::make_shared<HAL::Direct3D11::GraphicsDevice>(HAL::Direct3D11::kAnyAdapter);
}

// A surface locked for the CPU, unlocked again on every way out of the scope: one left locked would
// fail every later lock, and the texture would show nothing until the stream gives the app up.
class ScopedSurfaceLock {
public:
    ScopedSurfaceLock(HAL::IGraphicsQueue& queue, std::shared_ptr<HAL::Surface> surface, std::uint32_t mode)
        : mQueue(queue), mSurface(std::move(surface)), mLocked(mQueue.Lock(mSurface, mode, 0)) {}
    ~ScopedSurfaceLock() {
        if (mLocked)
            mQueue.Unlock(mSurface, 0);
    }
    ScopedSurfaceLock(const ScopedSurfaceLock&) = delete;
    ScopedSurfaceLock& operator=(const ScopedSurfaceLock&) = delete;

    // Null when nothing was mapped.
    const HAL::LockedResource* get() const noexcept { return mLocked.get(); }

private:
    HAL::IGraphicsQueue& mQueue;
    const std::shared_ptr<HAL::Surface> mSurface;
    const std::shared_ptr<HAL::LockedResource> mLocked;
};

} // namespace

WebcamFrameClient::WebcamFrameClient() : WebcamFrameClient(MakeDirect3D11Device) {}

WebcamFrameClient::WebcamFrameClient(DeviceFactory deviceFactory, std::wstring frameChannelName)
    : mDeviceFactory(std::move(deviceFactory)), mChannelName(std::move(frameChannelName)) {
    Log::Get(kFilterLogName, "WebcamFrameClient") << " " << Log::EndLine;
}

WebcamFrameClient::~WebcamFrameClient() {
    Log::Get(kFilterLogName, "~WebcamFrameClient") << " " << Log::EndLine;
    mClosed = true;
    mChannel.Close();
    ReleaseGraphics();
}

void WebcamFrameClient::SetDestinationSize(std::uint64_t width, std::uint64_t height, const GUID& subtype) {
    mWidth = width;
    mHeight = height;
    if (IsEqualGUID(subtype, MEDIASUBTYPE_NV12))
        mOutput = Output::Nv12;
    else if (IsEqualGUID(subtype, MEDIASUBTYPE_IYUV))
        mOutput = Output::Iyuv;
    else
        mOutput = Output::Yuy2;
    Log::Get(kFilterLogName, "SetDestinationSize") << "w/h, " << width << "," << height << Log::EndLine;
}

std::uint64_t WebcamFrameClient::FrameBytes() const noexcept {
    switch (mOutput) {
    case Output::Nv12:
        return nv12_frame_bytes(mWidth, mHeight);
    case Output::Iyuv:
        return iyuv_frame_bytes(mWidth, mHeight);
    case Output::Yuy2:
        break;
    }
    return yuy2_frame_bytes(mWidth, mHeight);
}

void WebcamFrameClient::SetChannelOwner(std::vector<std::uint8_t> user) {
    mChannelOwner = std::move(user);
}

void WebcamFrameClient::SetSourceSize(std::uint64_t width, std::uint64_t height) {
    mSourceWidth = width;
    mSourceHeight = height;
}

void WebcamFrameClient::PrepareConversion() {
    const auto sw = static_cast<std::uint32_t>(SourceWidth()), sh = static_cast<std::uint32_t>(SourceHeight());
    const auto dw = static_cast<std::uint32_t>(mWidth), dh = static_cast<std::uint32_t>(mHeight);
    if (sw == dw && sh == dh) {
        mConvert = [kernel = OutputKernel(), dw, dh](std::uint64_t pitch, const std::uint8_t* frame, std::uint8_t* to) {
            kernel(pitch, frame, dw, dh, to);
        };
        return;
    }
    const ScaledLayout layout = mOutput == Output::Nv12   ? ScaledLayout::Nv12
                                : mOutput == Output::Iyuv ? ScaledLayout::I420
                                                          : ScaledLayout::Yuy2;
    auto scaler = std::make_shared<const FrameScaler>(sw, sh, dw, dh, layout);
    if (!scaler->Valid()) {
        Log::Get(kFilterLogName, "Initialize") << LogLevel::Error << "ERROR: no scaling from " << sw << "," << sh
                                                << " to " << dw << "," << dh << Log::EndLine;
        mConvert = nullptr;
        return;
    }
    mConvert = [scaler](std::uint64_t pitch, const std::uint8_t* frame, std::uint8_t* to) { scaler->Run(pitch, frame, to); };
}

ErrorRecordPtr WebcamFrameClient::Initialize(std::uint64_t handle) {
    Log log = Log::Get(kFilterLogName, "Initialize");
    PrepareConversion();
    // The channel numbers and times the app's frames: from it the stream learns that a new one
    // arrived (the pace, and an app that stopped publishing), also while the texture brings the
    // pixels. A missing channel is only an error once the texture cannot serve either.
    const std::string channelFault = TryChannel();
    const bool channelOpen = channelFault.empty();
    // The app could share no texture: a device would only be made and torn down again, which takes
    // a while (half a second under Wine) and is what a host ending its process can die of.
    if (handle == 0 && channelOpen) {
        mChannelWanted = true;
        log << "frame source: shared memory" << Log::EndLine;
        return nullptr;
    }
    try {
        mDevice = mDeviceFactory();
    } catch (const ServiceUnavailableException&) {
        // Without a device only the channel can serve; without it too, the caller decides as before.
        if (!ChannelOpened(log, channelFault, true))
            throw;
        mChannelWanted = true;
        log << "frame source: shared memory" << Log::EndLine;
        return nullptr;
    }

    bool textureServes = false;
    ErrorRecordPtr error = OpenTexture(handle, log, textureServes);
    if (textureServes) {
        log << "frame source: GPU texture" << Log::EndLine;
        if (!channelOpen) {
            // Said once; the channel is looked for again as when it brings the pixels.
            mChannelReported = channelFault;
            log << "no frame channel (" << channelFault
                << "): new frames are not told apart, so an app that pauses keeps showing its last picture"
                << Log::EndLine;
        }
        return nullptr;
    }
    // The texture shows nothing: the device goes now rather than with the client, which may be on
    // a thread that a host ending its process does not wait for.
    ReleaseGraphics();
    mChannelWanted = true;
    if (ChannelOpened(log, channelFault, true)) {
        log << "frame source: shared memory" << Log::EndLine;
        return nullptr;
    }
    return error;
}

void WebcamFrameClient::ReleaseGraphics() noexcept {
    // Surfaces go back through the device, so the device goes last.
    mGpuSurface.reset();
    mCpuSurface.reset();
    mDevice.reset();
}

ErrorRecordPtr WebcamFrameClient::OpenTexture(std::uint64_t handle, Log& log, bool& serves) {
    serves = false;
    const auto width = static_cast<std::uint32_t>(SourceWidth());
    const auto height = static_cast<std::uint32_t>(SourceHeight());
    mCpuSurface = mDevice->CreateSurface2D("Client CPU Surface", HAL::UsageFlags::CpuRead,
                                           HAL::PixelFormat::NV12, width, height, nullptr, 0);
    if (!mCpuSurface)
        return MakeErrorRecord(8, kSourceName, __LINE__);
    log << "CreateSurface2D: client CPU surface: w/h, " << width << "," << height << Log::EndLine;

    mGpuSurface = mDevice->CreateSurface2D("Client GPU Surface", HAL::UsageFlags::Shared, handle, 0);
    if (!mGpuSurface)
        return MakeErrorRecord(8, kSourceName, __LINE__);
    log << "CreateSurface2D: client GPU surface: surface_handle, " << handle << Log::EndLine;

    // An NV12 texture of another size: the app's size, which the settings no longer say. The copy
    // surface and the conversion follow it.
    if (mGpuSurface->format == HAL::PixelFormat::NV12 && mGpuSurface->width && mGpuSurface->height &&
        (mGpuSurface->width != width || mGpuSurface->height != height)) {
        AdoptSourceSize(mGpuSurface->width, mGpuSurface->height, log);
        mCpuSurface = mDevice->CreateSurface2D("Client CPU Surface", HAL::UsageFlags::CpuRead, HAL::PixelFormat::NV12,
                                               mGpuSurface->width, mGpuSurface->height, nullptr, 0);
        if (!mCpuSurface)
            return MakeErrorRecord(8, kSourceName, __LINE__);
        log << "CreateSurface2D: client CPU surface: w/h, " << mGpuSurface->width << "," << mGpuSurface->height
            << Log::EndLine;
        serves = true;
        return nullptr;
    }
    // The whole-resource copy silently does nothing between surfaces that differ.
    if (mGpuSurface->format != HAL::PixelFormat::NV12 || mGpuSurface->width != width ||
        mGpuSurface->height != height) {
        log << LogLevel::Error << "ERROR: shared texture is not NV12 at " << width << "," << height
            << ": format " << FormatHex64(static_cast<std::uint32_t>(mGpuSurface->format)) << ", w/h "
            << mGpuSurface->width << "," << mGpuSurface->height << Log::EndLine;
        return nullptr; // the surfaces stay: the samples show what the copy leaves, as they always did
    }
    serves = true;
    return nullptr;
}

std::string WebcamFrameClient::TryChannel() {
    mNextChannelTry = std::chrono::steady_clock::now() + kChannelRetryInterval;
    // Of any size: the app's frames keep the size it had when its first camera started, which
    // need not be the one the settings say now (see AdoptSourceSize).
    return mChannel.Open(mChannelName, 0, 0, mChannelOwner);
}

void WebcamFrameClient::AdoptSourceSize(std::uint32_t width, std::uint32_t height, Log& log) {
    if (width == SourceWidth() && height == SourceHeight())
        return;
    log << "the app's frames are " << width << "," << height << ", not " << SourceWidth() << ","
        << SourceHeight() << ": scaled from its size" << Log::EndLine;
    SetSourceSize(width, height);
    PrepareConversion();
}

bool WebcamFrameClient::ChannelOpened(Log& log, const std::string& whyNot, bool needed) {
    if (whyNot.empty()) {
        mChannelReported.clear();
        return true;
    }
    // The retries find the same fault again and again; only a new one is worth a line, and only
    // an error where nothing else brings the pictures.
    if (whyNot != mChannelReported) {
        mChannelReported = whyNot;
        if (needed)
            log << LogLevel::Error << "ERROR: ";
        log << "frame channel " << ToUtf8(mChannelName) << " unusable: " << whyNot << Log::EndLine;
    }
    return false;
}

std::uint8_t* WebcamFrameClient::FrameBuffer(std::uint8_t* buffer, std::uint64_t size) {
    const std::uint64_t frameBytes = FrameBytes();
    if (!buffer || size < frameBytes) {
        if (!mReportedSmallSample) {
            mReportedSmallSample = true;
            Log::Get(kFilterLogName, "FillSample")
                << LogLevel::Error << "ERROR: sample of " << size << " bytes cannot hold a frame of "
                << frameBytes << " bytes" << Log::EndLine;
        }
        return nullptr;
    }
    return buffer;
}

PixelKernels::Kernel WebcamFrameClient::OutputKernel() const noexcept {
    switch (mOutput) {
    case Output::Nv12:
        return convert_format_nv12_nv12;
    case Output::Iyuv:
        return convert_format_nv12_iyuv;
    case Output::Yuy2:
        break;
    }
    return convert_format_nv12_yuy2;
}

std::uint64_t WebcamFrameClient::ConvertInto(std::uint8_t* buffer, std::uint64_t size,
                                             const HAL::LockedResource& locked) {
    buffer = FrameBuffer(buffer, size);
    if (!buffer || !mConvert)
        return 0;
    mConvert(locked.rowPitch, static_cast<const std::uint8_t*>(locked.data), buffer);
    return FrameBytes();
}

WebcamFrameClient::FillResult WebcamFrameClient::FillFromChannel(std::uint8_t* buffer, std::uint64_t size) {
    using Outcome = FrameChannel::Reader::Outcome;
    FillResult result;
    if (!mChannel.IsOpen())
        return result;
    // The conversion reads the channel's frames, so it is made for their size.
    if (const auto [width, height] = mChannel.FrameSize(); width != SourceWidth() || height != SourceHeight()) {
        Log log = Log::Get(kFilterLogName, "FillSample");
        AdoptSourceSize(width, height, log);
    }
    if (!mConvert)
        return result;
    buffer = FrameBuffer(buffer, size);
    if (!buffer)
        return result;
    auto read = mChannel.ConvertNewest(mConvert, buffer);
    // A torn read means the writer moved on to another slot: the next attempt finds that one whole.
    if (read.outcome == Outcome::Torn)
        read = mChannel.ConvertNewest(mConvert, buffer);
    switch (read.outcome) {
    case Outcome::Frame:
        result = {FillResult::Status::Frame, true, read.frameNumber, read.publishTime, FrameBytes()};
        break;
    case Outcome::Closed:
        Log::Get(kFilterLogName, "FillSample") << "frame channel closed by the server" << Log::EndLine;
        mNextChannelTry = std::chrono::steady_clock::now() + kChannelRetryInterval;
        result.status = FillResult::Status::SourceClosed;
        break;
    case Outcome::Torn:    // part of one frame and part of another is no picture
    case Outcome::NoFrame: // nothing published yet
        break;
    }
    return result;
}

HANDLE WebcamFrameClient::PublishedEvent() const noexcept {
    return mChannel.PublishedEvent();
}

std::optional<std::uint64_t> WebcamFrameClient::Published() const noexcept {
    if (!mChannel.IsOpen())
        return std::nullopt;
    return mChannel.Published();
}

WebcamFrameClient::FillResult WebcamFrameClient::FillSample(IMediaSample* sample) {
    if (mClosed)
        return {FillResult::Status::Closed};
    BYTE* buffer = nullptr;
    const long size = sample->GetSize();
    if (FAILED(sample->GetPointer(&buffer)) || size < 0)
        buffer = nullptr;
    const FillResult result = Fill(buffer, buffer ? static_cast<std::uint64_t>(size) : 0);
    if (result.status == FillResult::Status::Frame)
        sample->SetActualDataLength(static_cast<long>(result.length));
    sample->SetSyncPoint(FALSE);
    REFERENCE_TIME start = 0;
    REFERENCE_TIME stop = 0;
    sample->SetTime(&start, &stop);
    return result;
}

WebcamFrameClient::FillResult WebcamFrameClient::Fill(std::uint8_t* buffer, std::uint64_t size) {
    using Status = FillResult::Status;
    if (mClosed)
        return {Status::Closed};

    if (!mChannel.IsOpen() && std::chrono::steady_clock::now() >= mNextChannelTry &&
        (mChannelWanted || mCpuSurface)) {
        Log log = Log::Get(kFilterLogName, "FillSample");
        if (ChannelOpened(log, TryChannel(), mChannelWanted))
            log << "frame source: " << (mChannelWanted ? "shared memory" : "GPU texture, numbered by the frame channel")
                << Log::EndLine;
    }
    if (mChannelWanted)
        return FillFromChannel(buffer, size);
    if (mDevice && mCpuSurface)
        return FillFromTexture(buffer, size);
    return {};
}

WebcamFrameClient::FillResult WebcamFrameClient::FillFromTexture(std::uint8_t* buffer, std::uint64_t size) {
    using Outcome = FrameChannel::Reader::Outcome;
    FillResult result;
    auto queue = mDevice->GetQueue();
    if (!queue)
        return result;
    // The channel's newest number before the copy: a frame published during the copy counts as new
    // at the next sample, never as seen before it was.
    const auto newest = mChannel.IsOpen() ? mChannel.PeekNewest() : FrameChannel::Reader::Result{};
    if (newest.outcome == Outcome::Closed) {
        Log::Get(kFilterLogName, "FillSample") << "frame channel closed by the server" << Log::EndLine;
        mNextChannelTry = std::chrono::steady_clock::now() + kChannelRetryInterval;
        result.status = FillResult::Status::SourceClosed;
        return result;
    }
    if (mGpuSurface)
        queue->CopySurface(mGpuSurface, mCpuSurface);
    if (const ScopedSurfaceLock locked(*queue, mCpuSurface, HAL::LockRead); locked.get()) {
        if ((result.length = ConvertInto(buffer, size, *locked.get())) != 0)
            result.status = FillResult::Status::Frame;
    }
    if (result.status == FillResult::Status::Frame && newest.outcome == Outcome::Frame) {
        result.numbered = true;
        result.frameNumber = newest.frameNumber;
        result.publishTime = newest.publishTime;
    }
    return result;
}

} // namespace Zarvo
