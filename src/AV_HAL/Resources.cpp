#include "AV_HAL/Resources.h"

#include "AV_HAL/GraphicsDevice.h"

namespace Zarvo::HAL {

void Resource::ReleaseThroughDevice(IUnknown* native) noexcept {
    if (!native)
        return;
    if (mDevice)
        mDevice->ReleaseNative(native);
    else
        native->Release();
}

Resource::~Resource() {
    ReleaseThroughDevice(mNative);
}

Surface::~Surface() {
    for (auto* list : {&shaderResourceViews, &unorderedAccessViews, &renderTargetViews})
        for (IUnknown* view : *list)
            ReleaseThroughDevice(view);
}

} // namespace Zarvo::HAL
