#pragma once
// IVideoProcessor on the Direct3D 11 video processor.

#include "AV_HAL/IVideoProcessor.h"

#include <d3d11.h>
#include <wrl/client.h>

namespace Zarvo::HAL::Direct3D11 {

class VideoProcessor final : public IVideoProcessor {
public:
    // Error codes of Initialize.
    static constexpr std::uint32_t kNoVideoDevice = 14;
    static constexpr std::uint32_t kInputFormatUnsupported = 26;
    static constexpr std::uint32_t kOutputFormatUnsupported = 27;
    static constexpr std::uint32_t kCreationFailed = 36;

    VideoProcessor() = default;
    ~VideoProcessor() override;

    ErrorRecordPtr Initialize(GraphicsDevice* device, const VideoDescription& description) override;
    void Process(Microsoft::WRL::ComPtr<ID3D11VideoDevice> videoDevice,
                 Microsoft::WRL::ComPtr<ID3D11VideoContext> videoContext, std::shared_ptr<Surface> source,
                 std::shared_ptr<Surface> destination) override;

private:
    Microsoft::WRL::ComPtr<ID3D11VideoProcessorEnumerator> mEnumerator;
    Microsoft::WRL::ComPtr<ID3D11VideoProcessor> mProcessor;
};

} // namespace Zarvo::HAL::Direct3D11
