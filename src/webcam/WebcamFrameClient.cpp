#include "webcam/WebcamFrameClient.h"

#include "AV_HAL/Direct3D11/GraphicsDevice.h"
#include "log/Exceptions.h"
#include "log/Log.h"
#include "log/Text.h"
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
    // Surfaces go back through the device, so the device goes last.
    mGpuSurface.reset();
    mCpuSurface.reset();
    mDevice.reset();
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

ErrorRecordPtr WebcamFrameClient::Initialize(std::uint64_t handle) {
    Log log = Log::Get(kFilterLogName, "Initialize");
    try {
        mDevice = mDeviceFactory();
    } catch (const ServiceUnavailableException&) {
        // Without a device only the channel can serve; without it too, the caller decides as before.
        mChannelWanted = true;
        if (OpenChannel(log))
            return nullptr;
        mChannelWanted = false;
        throw;
    }

    bool textureServes = false;
    ErrorRecordPtr error = OpenTexture(handle, log, textureServes);
    if (textureServes) {
        log << "frame source: GPU texture" << Log::EndLine;
        return nullptr;
    }
    mChannelWanted = true;
    if (OpenChannel(log))
        return nullptr;
    return error;
}

ErrorRecordPtr WebcamFrameClient::OpenTexture(std::uint64_t handle, Log& log, bool& serves) {
    serves = false;
    const auto width = static_cast<std::uint32_t>(mWidth);
    const auto height = static_cast<std::uint32_t>(mHeight);
    mCpuSurface = mDevice->CreateSurface2D("Client CPU Surface", HAL::UsageFlags::CpuRead,
                                           HAL::PixelFormat::NV12, width, height, nullptr, 0);
    if (!mCpuSurface)
        return MakeErrorRecord(8, kSourceName, __LINE__);
    log << "CreateSurface2D: client CPU surface: w/h, " << mWidth << "," << mHeight << Log::EndLine;

    mGpuSurface = mDevice->CreateSurface2D("Client GPU Surface", HAL::UsageFlags::Shared, handle, 0);
    if (!mGpuSurface)
        return MakeErrorRecord(8, kSourceName, __LINE__);
    log << "CreateSurface2D: client GPU surface: surface_handle, " << handle << Log::EndLine;

    // The whole-resource copy silently does nothing between surfaces that differ.
    if (mGpuSurface->format != HAL::PixelFormat::NV12 || mGpuSurface->width != width ||
        mGpuSurface->height != height) {
        log << LogLevel::Error << "ERROR: shared texture is not NV12 at " << mWidth << "," << mHeight
            << ": format " << FormatHex64(static_cast<std::uint32_t>(mGpuSurface->format)) << ", w/h "
            << mGpuSurface->width << "," << mGpuSurface->height << Log::EndLine;
        return nullptr; // the surfaces stay: the samples show what the copy leaves, as they always did
    }
    serves = true;
    return nullptr;
}

bool WebcamFrameClient::OpenChannel(Log& log) {
    mNextChannelTry = std::chrono::steady_clock::now() + kChannelRetryInterval;
    const std::string whyNot =
        mChannel.Open(mChannelName, static_cast<std::uint32_t>(mWidth), static_cast<std::uint32_t>(mHeight));
    if (whyNot.empty()) {
        mChannelReported.clear();
        Log::Get(kFilterLogName, "Initialize") << "frame source: shared memory" << Log::EndLine;
        return true;
    }
    // The retries find the same fault again and again; only a new one is worth a line.
    if (whyNot != mChannelReported) {
        mChannelReported = whyNot;
        log << LogLevel::Error << "ERROR: frame channel " << ToUtf8(mChannelName) << " unusable: " << whyNot
            << Log::EndLine;
    }
    return false;
}

BYTE* WebcamFrameClient::FrameBuffer(IMediaSample* sample) {
    const std::uint64_t frameBytes = FrameBytes();
    BYTE* buffer = nullptr;
    const long size = sample->GetSize();
    if (FAILED(sample->GetPointer(&buffer)) || !buffer || size < 0 ||
        static_cast<std::uint64_t>(size) < frameBytes) {
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

bool WebcamFrameClient::ConvertInto(IMediaSample* sample, const HAL::LockedResource& locked) {
    BYTE* buffer = FrameBuffer(sample);
    if (!buffer)
        return false;
    const auto* source = static_cast<const std::uint8_t*>(locked.data);
    const std::uint64_t written = OutputKernel()(locked.rowPitch, source, mWidth, mHeight, buffer);
    sample->SetActualDataLength(static_cast<long>(written));
    return true;
}

WebcamFrameClient::FillResult WebcamFrameClient::FillFromChannel(IMediaSample* sample) {
    using Outcome = FrameChannel::Reader::Outcome;
    FillResult result;
    if (!mChannel.IsOpen())
        return result;
    BYTE* buffer = FrameBuffer(sample);
    if (!buffer)
        return result;
    auto read = mChannel.ConvertNewest(OutputKernel(), buffer);
    // A torn read means the writer moved on to another slot: the next attempt finds that one whole.
    if (read.outcome == Outcome::Torn)
        read = mChannel.ConvertNewest(OutputKernel(), buffer);
    switch (read.outcome) {
    case Outcome::Frame:
        sample->SetActualDataLength(static_cast<long>(FrameBytes()));
        result = {FillResult::Status::Frame, true, read.frameNumber, read.publishTime};
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

std::optional<std::uint64_t> WebcamFrameClient::Published() const noexcept {
    if (!mChannel.IsOpen())
        return std::nullopt;
    return mChannel.Published();
}

WebcamFrameClient::FillResult WebcamFrameClient::FillSample(IMediaSample* sample) {
    using Status = FillResult::Status;
    if (mClosed)
        return {Status::Closed};

    if (mChannelWanted && !mChannel.IsOpen() && std::chrono::steady_clock::now() >= mNextChannelTry) {
        Log log = Log::Get(kFilterLogName, "FillSample");
        OpenChannel(log);
    }
    FillResult result = FillFromChannel(sample);
    // A texture that cannot serve (the channel is wanted instead) holds no picture worth showing.
    if (result.status == Status::NoFrame && !mChannelWanted && mDevice && mCpuSurface) {
        if (auto queue = mDevice->GetQueue()) {
            if (mGpuSurface)
                queue->CopySurface(mGpuSurface, mCpuSurface);
            if (auto locked = queue->Lock(mCpuSurface, HAL::LockRead, 0)) {
                if (ConvertInto(sample, *locked))
                    result.status = Status::Frame;
                queue->Unlock(mCpuSurface, 0);
            }
        }
    }

    sample->SetSyncPoint(FALSE);
    REFERENCE_TIME start = 0;
    REFERENCE_TIME stop = 0;
    sample->SetTime(&start, &stop);
    return result;
}

} // namespace Zarvo
