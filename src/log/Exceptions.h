#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace Zarvo {

// A runtime error with a UTF-8 message and a numeric code.
class Exception : public std::runtime_error {
public:
    Exception(std::uint32_t code, const std::wstring& message);

    std::uint32_t Code() const noexcept { return mCode; }

private:
    std::uint32_t mCode;
};

// A platform service the component needs is missing ("Direct3D Device", "MediaFoundation").
class ServiceUnavailableException : public Exception {
public:
    static constexpr std::uint32_t kCode = 7;

    explicit ServiceUnavailableException(const std::wstring& serviceName);
};

} // namespace Zarvo
