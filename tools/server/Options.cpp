#include "server/Options.h"

#include "log/Text.h"

#include <cmath>
#include <cwchar>

namespace Zarvo::Server {

namespace {

// Plain decimal digits only: no sign, no spaces, no wrap-around of the C library's parsers.
std::optional<std::uint64_t> ParseCount(const std::wstring& text) {
    if (text.empty() || text.size() > 10)
        return std::nullopt;
    std::uint64_t value = 0;
    for (const wchar_t ch : text) {
        if (ch < L'0' || ch > L'9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(ch - L'0');
    }
    if (value < 1 || value > kMaxCount)
        return std::nullopt;
    return value;
}

// A decimal number of seconds; starts with a digit or a point, so signs, spaces, "nan" and
// "inf" never get to the parser.
std::optional<double> ParseSeconds(const std::wstring& text, bool zeroAllowed) {
    if (text.empty() || !((text[0] >= L'0' && text[0] <= L'9') || text[0] == L'.'))
        return std::nullopt;
    wchar_t* end = nullptr;
    const double value = std::wcstod(text.c_str(), &end);
    if (*end != L'\0' || !std::isfinite(value) || value > kMaxSeconds || value < 0 || (!zeroAllowed && value == 0))
        return std::nullopt;
    return value;
}

} // namespace

std::optional<Options> ParseOptions(const std::vector<std::wstring>& arguments, std::string& error) {
    Options options;
    bool pauseSecondsGiven = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring& name = arguments[i];
        if (name == L"--quit") {
            options.quit = true;
            continue;
        }
        std::uint64_t* count = name == L"--frames"                ? &options.frames
                               : name == L"--pause-after"         ? &options.pauseAfter
                               : name == L"--stall-frame-request" ? &options.stallFrameRequest
                               : name == L"--texture-handle"      ? &options.textureHandle
                                                                  : nullptr;
        const bool seconds = name == L"--seconds" || name == L"--pause-seconds" || name == L"--fps";
        if (!count && !seconds) {
            error = "unknown argument \"" + ToUtf8(name) + "\"";
            return std::nullopt;
        }
        if (i + 1 == arguments.size()) {
            error = ToUtf8(name) + " needs a value";
            return std::nullopt;
        }
        const std::wstring& value = arguments[++i];
        if (count) {
            const auto parsed = ParseCount(value);
            if (!parsed) {
                error = ToUtf8(name) + " takes a whole number from 1 to 1000000000, not \"" + ToUtf8(value) + "\"";
                return std::nullopt;
            }
            *count = *parsed;
        } else if (name == L"--fps") {
            const auto parsed = ParseSeconds(value, false);
            if (!parsed || *parsed < 1 || *parsed > 240) {
                error = "--fps takes a number of frames per second from 1 to 240, not \"" + ToUtf8(value) + "\"";
                return std::nullopt;
            }
            options.framesPerSecond = *parsed;
        } else if (name == L"--seconds") {
            options.seconds = ParseSeconds(value, false);
            if (!options.seconds) {
                error = "--seconds takes a number of seconds above 0 and up to 1000000, not \"" + ToUtf8(value) +
                        "\"";
                return std::nullopt;
            }
        } else {
            const auto parsed = ParseSeconds(value, true);
            if (!parsed) {
                error = "--pause-seconds takes a number of seconds from 0 to 1000000, not \"" + ToUtf8(value) + "\"";
                return std::nullopt;
            }
            options.pauseSeconds = *parsed;
            pauseSecondsGiven = true;
        }
    }
    if (options.quit && arguments.size() > 1) {
        error = "--quit takes no other argument";
        return std::nullopt;
    }
    if (pauseSecondsGiven && options.pauseAfter == 0) {
        error = "--pause-seconds needs --pause-after";
        return std::nullopt;
    }
    return options;
}

} // namespace Zarvo::Server
