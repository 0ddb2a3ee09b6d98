#include "log/Exceptions.h"

#include "log/Text.h"

namespace Zarvo {

Exception::Exception(std::uint32_t code, const std::wstring& message)
    : std::runtime_error(ToUtf8(message)), mCode(code) {}

ServiceUnavailableException::ServiceUnavailableException(const std::wstring& serviceName)
    : Exception(kCode, L"Service '" + serviceName + L"' Is Not Available") {}

} // namespace Zarvo
