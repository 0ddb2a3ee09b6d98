#include "webcam/Placeholder.h"

#include "webcam/PixelConversion.h"

#include <uuids.h>

#include <cstring>
#include <new>

namespace Zarvo {
namespace {

// The kernel leaves the last column of an odd width and the last row of an odd height unwritten (NV12 has
// no chroma for them): repeat their neighbours rather than show zeros, which read as green.
void FillYuy2Edges(std::uint8_t* yuy2, std::uint32_t width, std::uint32_t height) noexcept {
    const std::size_t rowBytes = std::size_t{2} * width;
    if (width % 2 != 0)
        for (std::uint32_t y = 0; y < height; ++y) {
            std::uint8_t* last = yuy2 + y * rowBytes + rowBytes - 2;
            last[0] = last[-4]; // the pair before: Y0 U
            last[1] = last[-3];
        }
    if (height % 2 != 0)
        std::memcpy(yuy2 + (height - 1) * rowBytes, yuy2 + (height - 2) * rowBytes, rowBytes);
}

} // namespace

void PlaceholderPicture::SetDestination(std::uint32_t width, std::uint32_t height, const GUID& subtype) {
    if (width == mWidth && height == mHeight && IsEqualGUID(subtype, mSubtype))
        return;
    mWidth = width;
    mHeight = height;
    mSubtype = subtype;
    for (auto& picture : mPictures)
        picture.clear();
}

const std::vector<std::uint8_t>& PlaceholderPicture::Picture(PlaceholderReason reason) noexcept {
    auto& picture = mPictures[static_cast<int>(reason)];
    if (!picture.empty() || mWidth < 2 || mHeight < 2)
        return picture;
    try {
        std::vector<std::uint8_t> nv12(nv12_frame_bytes(mWidth, mHeight));
        DrawPlaceholderNv12(mWidth, mHeight, reason, nv12.data());
        auto kernel = convert_format_nv12_yuy2;
        std::uint64_t bytes = yuy2_frame_bytes(mWidth, mHeight);
        if (IsEqualGUID(mSubtype, MEDIASUBTYPE_NV12)) {
            kernel = convert_format_nv12_nv12;
            bytes = nv12_frame_bytes(mWidth, mHeight);
        } else if (IsEqualGUID(mSubtype, MEDIASUBTYPE_IYUV)) {
            kernel = convert_format_nv12_iyuv;
            bytes = iyuv_frame_bytes(mWidth, mHeight);
        }
        picture.assign(bytes, 0);
        kernel(mWidth, nv12.data(), mWidth, mHeight, picture.data());
        if (kernel == convert_format_nv12_yuy2)
            FillYuy2Edges(picture.data(), mWidth, mHeight);
    } catch (const std::bad_alloc&) {
        picture.clear();
    }
    return picture;
}

bool PlaceholderPicture::CopyInto(IMediaSample* sample, PlaceholderReason reason) noexcept {
    BYTE* buffer = nullptr;
    if (!sample || FAILED(sample->GetPointer(&buffer)) || sample->GetSize() < 0)
        return false;
    const std::uint64_t written = CopyInto(buffer, static_cast<std::uint64_t>(sample->GetSize()), reason);
    if (written)
        sample->SetActualDataLength(static_cast<long>(written));
    return written != 0;
}

std::uint64_t PlaceholderPicture::CopyInto(std::uint8_t* buffer, std::uint64_t size, PlaceholderReason reason) noexcept {
    const auto& picture = Picture(reason);
    if (picture.empty() || !buffer || size < picture.size())
        return 0;
    // The same picture every sample, often a whole 1080p frame: CopyFrame streams it past the caches.
    PixelKernels::CopyFrame(buffer, picture.data(), picture.size());
    return picture.size();
}

} // namespace Zarvo
