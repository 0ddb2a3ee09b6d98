#include "webcam/Placeholder.h"

#include "webcam/PixelConversion.h"

#include <uuids.h>

#include <cstring>
#include <new>

namespace Zarvo {

const char* PlaceholderText(PlaceholderReason reason) noexcept {
    switch (reason) {
    case PlaceholderReason::Starting:
        return "Starting\xE2\x80\xA6";
    case PlaceholderReason::WaitingForApp:
        return "Waiting for the Zarvo Webcam app";
    case PlaceholderReason::AppStopped:
        return "The Zarvo Webcam app stopped sending pictures";
    }
    return "";
}

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
        // A flat dark frame for now; the drawn picture replaces it.
        std::vector<std::uint8_t> nv12(nv12_frame_bytes(mWidth, mHeight), 128);
        std::memset(nv12.data(), 16, std::size_t{mWidth} * mHeight);
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
    } catch (const std::bad_alloc&) {
        picture.clear();
    }
    return picture;
}

bool PlaceholderPicture::CopyInto(IMediaSample* sample, PlaceholderReason reason) noexcept {
    const auto& picture = Picture(reason);
    BYTE* buffer = nullptr;
    if (picture.empty() || !sample || FAILED(sample->GetPointer(&buffer)) || !buffer ||
        sample->GetSize() < 0 || static_cast<std::uint64_t>(sample->GetSize()) < picture.size())
        return false;
    std::memcpy(buffer, picture.data(), picture.size());
    sample->SetActualDataLength(static_cast<long>(picture.size()));
    return true;
}

} // namespace Zarvo
