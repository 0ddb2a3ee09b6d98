#pragma once
// Whether captured frames are the reference server's pattern, for the checker of ffmpeg's raw output
// and the host test. The camera's placeholder pictures (or uniform frames), drawn at the capture size,
// may lead before its connection is ready; from the first pattern frame on, every frame must be the
// pattern of the frame number its code strip carries, drawn at the app's size and brought to the
// capture's exactly as the scalar references do (the conversion kernel at the app's size, the frame
// scaler at any other), and at least two numbers must arrive.

#include "server/Pattern.h"
#include "webcam/FrameScaler.h"
#include "webcam/PixelConversion.h"
#include "webcam/PlaceholderArt.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace Zarvo::PixelsTest {

struct Size {
    std::uint32_t width, height;
};

class FrameChecker {
public:
    // Frames of `layout` (I420 for IYUV too) at `capture`, from an app that draws at `app`.
    FrameChecker(ScaledLayout layout, Size app, Size capture)
        : mKernel((layout == ScaledLayout::Yuy2   ? PixelKernels::Nv12ToYuy2
                   : layout == ScaledLayout::Nv12 ? PixelKernels::Nv12ToNv12
                                                  : PixelKernels::Nv12ToIyuv)(PixelKernels::Isa::Scalar)),
          mYuy2(layout == ScaledLayout::Yuy2), mApp(app), mWidth(capture.width), mHeight(capture.height),
          mBytes(static_cast<std::size_t>(mYuy2 ? yuy2_frame_bytes(mWidth, mHeight)
                                                : nv12_frame_bytes(mWidth, mHeight))) {
        if (app.width != capture.width || app.height != capture.height)
            mScaler.emplace(app.width, app.height, capture.width, capture.height, layout);
        std::vector<std::uint8_t> nv12(nv12_frame_bytes(mWidth, mHeight));
        for (const PlaceholderReason reason : kPlaceholderReasons) {
            DrawPlaceholderNv12(mWidth, mHeight, reason, nv12.data());
            mPlaceholders.emplace_back(mBytes);
            mKernel(mWidth, nv12.data(), mWidth, mHeight, mPlaceholders.back().data());
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
                                       number, mApp.width, mApp.height))
            return Fail(which + " carries no frame number in its code strip");
        if (mExpected.empty() || number != mExpectedNumber) { // frames often come twice
            std::vector<std::uint8_t> nv12(Server::PatternFrameBytes(mApp.height, mApp.width));
            Server::DrawPatternNV12(mApp.width, mApp.height, number, nv12.data(), mApp.width);
            mExpected.assign(mBytes, 0);
            if (mScaler)
                mScaler->Run(mApp.width, nv12.data(), mExpected.data());
            else
                mKernel(mWidth, nv12.data(), mWidth, mHeight, mExpected.data());
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
        return std::to_string(mFrames) + " frames: " + std::to_string(mLeading) + " leading placeholders, " +
               std::to_string(mPatternFrames) + " pattern frames of " + std::to_string(mNumbers.size()) +
               " frame numbers, " + std::to_string(mFailures) + " wrong" +
               (mWhy.empty() ? "" : " (" + mWhy + ")");
    }

private:
    bool IsPlaceholder(const std::uint8_t* frame) const {
        if (std::all_of(frame, frame + mBytes, [frame](std::uint8_t b) { return b == frame[0]; }))
            return true;
        return std::any_of(mPlaceholders.begin(), mPlaceholders.end(), [&](const auto& picture) {
            return std::equal(picture.begin(), picture.end(), frame);
        });
    }

    PixelKernels::Kernel mKernel;
    bool mYuy2;
    Size mApp;
    std::uint32_t mWidth, mHeight;
    std::size_t mBytes;
    std::optional<FrameScaler> mScaler;
    std::vector<std::vector<std::uint8_t>> mPlaceholders;
    std::vector<std::uint8_t> mExpected;
    std::uint64_t mExpectedNumber = 0;
    std::set<std::uint64_t> mNumbers;
    std::size_t mFrames = 0, mLeading = 0, mPatternFrames = 0, mFailures = 0;
    std::string mWhy;
};

} // namespace Zarvo::PixelsTest
