#include "CameraCore/Formats.h"

#include <algorithm>

namespace Zarvo {

std::vector<FrameSize> OfferedSizes(FrameSize app) {
    static constexpr FrameSize kUsual[] = {{1920, 1080}, {1280, 720}, {960, 540}, {848, 480}, {640, 480},
                                           {640, 360},   {424, 240},  {320, 240}};
    std::vector<FrameSize> sizes{app};
    for (const FrameSize& size : kUsual) {
        if (size.width <= app.width && size.height <= app.height &&
            std::find(sizes.begin(), sizes.end(), size) == sizes.end())
            sizes.push_back(size);
    }
    return sizes;
}

} // namespace Zarvo
