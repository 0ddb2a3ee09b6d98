#pragma once
// Colour conversion and scaling on the GPU's video engine.

#include "AV_HAL/GraphicsTypes.h"
#include "AV_HAL/Resources.h"
#include "AppSettings/ErrorRecord.h"

#include <d3d11.h>
#include <wrl/client.h>

#include <memory>

namespace Zarvo::HAL {

namespace Direct3D11 {
class GraphicsDevice;
}

class IVideoProcessor {
public:
    virtual ~IVideoProcessor() = default;

    // Null on success. A missing device, or one without a video device, gives code 14.
    virtual ErrorRecordPtr Initialize(Direct3D11::GraphicsDevice* device,
                                      const VideoDescription& description) = 0;
    // One pass from source to destination; fails silently (the destination keeps its content).
    virtual void Process(Microsoft::WRL::ComPtr<ID3D11VideoDevice> videoDevice,
                         Microsoft::WRL::ComPtr<ID3D11VideoContext> videoContext,
                         std::shared_ptr<Surface> source, std::shared_ptr<Surface> destination) = 0;
};

} // namespace Zarvo::HAL
