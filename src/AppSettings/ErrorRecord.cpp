#include "AppSettings/ErrorRecord.h"

#include <cstdarg>
#include <cstdio>

namespace Zarvo {

ErrorRecordPtr MakeErrorRecord(std::uint32_t code, const char* file, std::uint32_t line,
                               const char* format, ...) {
    auto record = std::make_unique<ErrorRecord>();
    record->code = code;
    record->file = file ? file : "";
    record->line = line;
    if (format && *format) {
        char buffer[256];
        va_list args;
        va_start(args, format);
        const int written = std::vsnprintf(buffer, sizeof(buffer), format, args);
        va_end(args);
        if (written > 0)
            record->message = buffer;
    }
    return record;
}

} // namespace Zarvo
