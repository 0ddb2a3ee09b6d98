#pragma once
// Turns the companion app's shared NV12 texture into the pixels of a media sample: a GPU copy
// into a CPU-readable surface, then a conversion on the CPU straight into the sample's buffer.

#include "AV_HAL/GraphicsDevice.h"
#include "AppSettings/ErrorRecord.h"

#include <guiddef.h>
#include <strmif.h>
#include <uuids.h>

#include <cstdint>
#include <functional>
#include <memory>

namespace Zarvo {

class WebcamFrameClient {
public:
    // Makes the graphics device Initialize brings up; tests hand in a double.
    using DeviceFactory = std::function<std::shared_ptr<HAL::IGraphicsDevice>()>;

    WebcamFrameClient();
    explicit WebcamFrameClient(DeviceFactory deviceFactory);
    ~WebcamFrameClient();
    WebcamFrameClient(const WebcamFrameClient&) = delete;
    WebcamFrameClient& operator=(const WebcamFrameClient&) = delete;

    // `subtype` is the media subtype the samples carry: YUY2, NV12 or IYUV.
    void SetDestinationSize(std::uint64_t width, std::uint64_t height,
                            const GUID& subtype = MEDIASUBTYPE_YUY2);

    // `handle` is the shared texture's legacy handle. Null on success; a device that cannot be
    // brought up raises ServiceUnavailableException.
    ErrorRecordPtr Initialize(std::uint64_t handle);

    // False only when the client is closed.
    bool FillSample(IMediaSample* sample);

    // Bytes one sample of the sized subtype holds.
    std::uint64_t FrameBytes() const noexcept;

private:
    enum class Output { Yuy2, Nv12, Iyuv };

    // Converts the locked CPU surface into the sample; false when the sample is too small.
    bool ConvertInto(IMediaSample* sample, const HAL::LockedResource& locked);

    DeviceFactory mDeviceFactory;
    std::shared_ptr<HAL::IGraphicsDevice> mDevice;
    std::shared_ptr<HAL::Surface> mGpuSurface;
    std::shared_ptr<HAL::Surface> mCpuSurface;
    std::uint64_t mWidth = 0;
    std::uint64_t mHeight = 0;
    bool mClosed = false;
    Output mOutput = Output::Yuy2;
    bool mReportedSmallSample = false;
};

} // namespace Zarvo
