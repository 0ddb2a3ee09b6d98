#pragma once
// Whether captured frames are the reference server's pattern, for the checker of ffmpeg's raw output
// and the host test. The camera's placeholder pictures (or uniform frames) may lead, before its
// connection is ready; from the first pattern frame on, every frame must be the pattern of the frame
// number its code strip carries, exactly as the scalar reference converts it, and at least two
// numbers must arrive.

#include "server/Pattern.h"
#include "webcam/PixelConversion.h"
#include "webcam/PlaceholderArt.h"

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace Zarvo::PixelsTest {

class FrameChecker {
public:
    FrameChecker(PixelKernels::Kernel (*kernel)(PixelKernels::Isa) noexcept, std::uint32_t width,
                 std::uint32_t height)
        : mKernel(kernel(PixelKernels::Isa::Scalar)), mYuy2(kernel == PixelKernels::Nv12ToYuy2),
          mWidth(width), mHeight(height),
          mBytes(static_cast<std::size_t>(mYuy2 ? yuy2_frame_bytes(width, height)
                                                : nv12_frame_bytes(width, height))) {
        std::vector<std::uint8_t> nv12(nv12_frame_bytes(width, height));
        for (const PlaceholderReason reason : kPlaceholderReasons) {
            DrawPlaceholderNv12(width, height, reason, nv12.data());
            mPlaceholders.push_back(Convert(nv12));
        }
    }

    std::size_t FrameBytes() const { return mBytes; }

    void Check(const std::uint8_t* frame, std::size_t bytes) {
        const std::string which = "frame " + std::to_string(++mFrames);
        if (bytes != FrameBytes())
            return Fail(which + " has " + std::to_string(bytes) + " bytes, expected " +
                        std::to_string(FrameBytes()));
        if (mNumbers.empty() && IsPlaceholder(frame))
            return void(++mLeading);
        std::uint64_t number = 0;
        if (!Server::ReadPatternNumber(frame, mYuy2 ? 2 : 1, mYuy2 ? 2 * mWidth : mWidth, mWidth, mHeight,
                                       number))
            return Fail(which + " carries no frame number in its code strip");
        if (mExpected.empty() || number != mExpectedNumber) { // frames often come twice
            std::vector<std::uint8_t> nv12(Server::PatternFrameBytes(mHeight, mWidth));
            Server::DrawPatternNV12(mWidth, mHeight, number, nv12.data(), mWidth);
            mExpected = Convert(nv12);
            mExpectedNumber = number;
        }
        const auto mismatch = std::mismatch(frame, frame + bytes, mExpected.begin());
        if (mismatch.first != frame + bytes)
            return Fail(which + " is no pattern frame: byte " + std::to_string(mismatch.first - frame) +
                        " is " + std::to_string(*mismatch.first) + ", frame " + std::to_string(number) +
                        " has " + std::to_string(*mismatch.second));
        ++mPatternFrames;
        mNumbers.insert(number);
    }

    void Fail(const std::string& why) {
        if (mFailures++ < 5)
            mWhy += (mWhy.empty() ? "" : "; ") + why;
    }

    bool Passed(std::size_t leastPatternFrames) const {
        return mFailures == 0 && mPatternFrames >= leastPatternFrames && mNumbers.size() >= 2;
    }
    std::size_t PatternFrames() const { return mPatternFrames; }

    std::string Summary() const {
        return std::to_string(mFrames) + " frames: " + std::to_string(mLeading) +
               " leading placeholders, " + std::to_string(mPatternFrames) + " pattern frames of " +
               std::to_string(mNumbers.size()) + " frame numbers, " + std::to_string(mFailures) + " wrong" +
               (mWhy.empty() ? "" : " (" + mWhy + ")");
    }

private:
    std::vector<std::uint8_t> Convert(const std::vector<std::uint8_t>& nv12) const {
        std::vector<std::uint8_t> out(mBytes);
        mKernel(mWidth, nv12.data(), mWidth, mHeight, out.data());
        return out;
    }
    bool IsPlaceholder(const std::uint8_t* frame) const {
        if (std::all_of(frame, frame + mBytes, [frame](std::uint8_t b) { return b == frame[0]; }))
            return true;
        return std::any_of(mPlaceholders.begin(), mPlaceholders.end(),
                           [&](const auto& picture) { return std::equal(picture.begin(), picture.end(), frame); });
    }

    PixelKernels::Kernel mKernel;
    bool mYuy2;
    std::size_t mWidth, mHeight, mBytes;
    std::vector<std::vector<std::uint8_t>> mPlaceholders;
    std::vector<std::uint8_t> mExpected;
    std::uint64_t mExpectedNumber = 0;
    std::set<std::uint64_t> mNumbers;
    std::size_t mFrames = 0, mLeading = 0, mPatternFrames = 0, mFailures = 0;
    std::string mWhy;
};

} // namespace Zarvo::PixelsTest
