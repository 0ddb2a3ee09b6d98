#pragma once
// Whether captured frames are the reference server's pattern: shared by the checker of ffmpeg's
// raw output and the test host that asks for the other subtypes.

#include "server/Pattern.h"
#include "webcam/PixelConversion.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace Zarvo::PixelsTest {

enum class Layout { Yuy2, Nv12, Iyuv };

inline std::optional<Layout> ParseLayout(const std::string& name) {
    if (name == "yuy2")
        return Layout::Yuy2;
    if (name == "nv12")
        return Layout::Nv12;
    if (name == "iyuv")
        return Layout::Iyuv;
    return std::nullopt;
}

class FrameChecker {
public:
    FrameChecker(Layout layout, std::uint32_t width, std::uint32_t height)
        : mLayout(layout), mWidth(width), mHeight(height) {}

    std::size_t FrameBytes() const {
        return static_cast<std::size_t>(mLayout == Layout::Yuy2 ? yuy2_frame_bytes(mWidth, mHeight)
                                                                : nv12_frame_bytes(mWidth, mHeight));
    }

    // One captured frame of `bytes` bytes, in arrival order.
    void Check(const std::uint8_t* frame, std::size_t bytes) {
        ++mFrames;
        if (bytes == FrameBytes()) {
            // The frame number (modulo the pattern's period of 128) from the first U sample.
            const std::uint8_t u = mLayout == Layout::Yuy2 ? frame[1] : frame[std::size_t{mWidth} * mHeight];
            const std::uint64_t number = static_cast<std::uint8_t>(u - 64) & 127;
            const auto& expected = Expected(number);
            const auto mismatch = std::mismatch(frame, frame + bytes, expected.begin());
            if (mismatch.first == frame + bytes) {
                ++mPatternFrames;
                mNumbers.insert(number);
                return;
            }
            if (mPatternFrames == 0 && IsUniform(frame, bytes)) {
                ++mPlaceholders;
                return;
            }
            Fail("frame " + std::to_string(mFrames) + " is no pattern frame: byte " +
                 std::to_string(mismatch.first - frame) + " is " + std::to_string(*mismatch.first) +
                 ", frame " + std::to_string(number) + " has " + std::to_string(*mismatch.second));
            return;
        }
        if (mPatternFrames == 0 && IsUniform(frame, bytes)) {
            ++mPlaceholders;
            return;
        }
        Fail("frame " + std::to_string(mFrames) + " has " + std::to_string(bytes) + " bytes, expected " +
             std::to_string(FrameBytes()));
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
        std::string text = std::to_string(mFrames) + " frames: " + std::to_string(mPlaceholders) +
                           " leading placeholders, " + std::to_string(mPatternFrames) +
                           " pattern frames of " + std::to_string(mNumbers.size()) + " frame numbers, " +
                           std::to_string(mFailures) + " wrong";
        if (!mWhy.empty())
            text += " (" + mWhy + ")";
        return text;
    }

private:
    static bool IsUniform(const std::uint8_t* frame, std::size_t bytes) {
        return bytes == 0 ||
               std::all_of(frame, frame + bytes, [first = frame[0]](std::uint8_t b) { return b == first; });
    }

    const std::vector<std::uint8_t>& Expected(std::uint64_t number) {
        auto found = mExpected.find(number);
        if (found != mExpected.end())
            return found->second;
        if (mExpected.size() > 8) // 1080p frames are large; a capture spans few numbers at once
            mExpected.erase(mExpected.begin());
        std::vector<std::uint8_t> nv12(Server::PatternFrameBytes(mHeight, mWidth));
        Server::DrawPatternNV12(mWidth, mHeight, number, nv12.data(), mWidth);
        std::vector<std::uint8_t> out(FrameBytes());
        const auto scalar = PixelKernels::Isa::Scalar;
        const auto kernel = mLayout == Layout::Yuy2   ? PixelKernels::Nv12ToYuy2(scalar)
                            : mLayout == Layout::Nv12 ? PixelKernels::Nv12ToNv12(scalar)
                                                      : PixelKernels::Nv12ToIyuv(scalar);
        kernel(mWidth, nv12.data(), mWidth, mHeight, out.data());
        return mExpected.emplace(number, std::move(out)).first->second;
    }

    Layout mLayout;
    std::uint32_t mWidth, mHeight;
    std::map<std::uint64_t, std::vector<std::uint8_t>> mExpected;
    std::set<std::uint64_t> mNumbers;
    std::size_t mFrames = 0, mPlaceholders = 0, mPatternFrames = 0, mFailures = 0;
    std::string mWhy;
};

} // namespace Zarvo::PixelsTest
