#pragma once
// Descriptions of failures worth keeping, handed to the caller.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>

namespace Zarvo {

struct ErrorRecord {
    std::uint32_t code = 0;
    std::string file;  // base name of the source file, e.g. "AppSettings"
    std::uint32_t line = 0;
    std::string message; // at most 255 characters; empty where none is given
};

// Owned by the caller; null means success.
using ErrorRecordPtr = std::unique_ptr<ErrorRecord>;

// printf-style message, cut to 255 characters.
ErrorRecordPtr MakeErrorRecord(std::uint32_t code, const char* file, std::uint32_t line,
                               const char* format = nullptr, ...);

// Either a value or an owned ErrorRecord.
template <class T>
class Result {
public:
    Result(T value) : mContent(std::move(value)) {}
    Result(ErrorRecordPtr error) : mContent(std::move(error)) {}

    bool HasValue() const noexcept { return mContent.index() == 0; }
    explicit operator bool() const noexcept { return HasValue(); }

    T& Value() & { return std::get<0>(mContent); }
    const T& Value() const& { return std::get<0>(mContent); }
    T&& Value() && { return std::get<0>(std::move(mContent)); }

    // Null when the result holds a value.
    const ErrorRecord* Error() const noexcept {
        return HasValue() ? nullptr : std::get<1>(mContent).get();
    }
    ErrorRecordPtr TakeError() noexcept { return HasValue() ? nullptr : std::move(std::get<1>(mContent)); }

private:
    std::variant<T, ErrorRecordPtr> mContent;
};

} // namespace Zarvo
