#pragma once
// Shared helpers of the device-layer tests: the real Wine device and the filter log.

#include "AV_HAL/Direct3D11/GraphicsDevice.h"
#include "log/Exceptions.h"
#include "log/Log.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace Zarvo::Testing {

// Registers the filter log to a temporary file once per process; returns everything written so far.
inline std::string FilterLogText() {
    static TempFolder folder;
    static const std::wstring path = folder / L"filter.log";
    static const bool opened = Log::Open(kFilterLogName, path, 0);
    if (!opened)
        return {};
    return ReadFileBytes(path);
}

inline bool HasDisplay() {
    wchar_t value[256];
    return GetEnvironmentVariableW(L"DISPLAY", value, 256) > 0;
}

// The real device, or a loud skip when there is no display (outside scripts/test).
#define ZARVO_MAKE_REAL_DEVICE(device)                                                                       \
    do {                                                                                                     \
        try {                                                                                                \
            device = std::make_shared<::Zarvo::HAL::Direct3D11::GraphicsDevice>();                           \
        } catch (const ::Zarvo::ServiceUnavailableException& e) {                                            \
            if (!::Zarvo::Testing::HasDisplay())                                                             \
                GTEST_SKIP() << "no X display, so no Direct3D device under Wine: " << e.what();              \
            FAIL() << "display present but no device: " << e.what();                                         \
        }                                                                                                    \
    } while (0)

} // namespace Zarvo::Testing
