#pragma once
// The settings file and the folders the component works from.

#include "AppSettings/ErrorRecord.h"

#include <windows.h>

#include <cstdint>
#include <string>

namespace Zarvo {

// Code of every folder lookup failure.
inline constexpr std::uint32_t kSettingsFolderError = 2;

// The user's roaming application-data folder: "APPDATA", or the platform's roaming
// application-data known folder when the variable is not set.
Result<std::wstring> GetAppDataFolder();

// The full name of a loaded module's file (null: the process's program), however long, into
// `path`. ERROR_SUCCESS, or the system's code and an empty path when the name cannot be read.
// Throws std::bad_alloc when memory runs out.
std::uint32_t GetModuleFilePath(HMODULE module, std::wstring& path);
// The folder holding this component's own file, in long form, ending with a backslash.
Result<std::wstring> GetModuleFolder();
// The folder of a file in long-path form, ending with a backslash, for a name of any length.
Result<std::wstring> LongPathFolder(const std::wstring& fileName);

namespace Network::Webcam {

struct Resolution {
    std::int32_t width;
    std::int32_t height;
};

class WebcamSettings {
public:
    // An empty folder means no application-data folder could be found: the settings then
    // give their defaults and name no folder, rather than paths relative to the host.
    explicit WebcamSettings(const std::wstring& appDataFolder);
    // Those of the user running this process (GetAppDataFolder), or the defaults without a folder.
    static WebcamSettings ForCurrentUser();

    // Reads the settings file on every call; anything but the two accepted texts gives
    // 1920 x 1080.
    Resolution GetOutputResolution() const;

    const std::wstring& SettingsFolder() const noexcept { return mSettingsFolder; }
    const std::wstring& SettingsFilePath() const noexcept { return mSettingsFilePath; }

    static constexpr const wchar_t* kVersion = L"1";
    static constexpr const wchar_t* kStreamSection = L"Stream";
    static constexpr const wchar_t* kOutputResolutionKey = L"outputResolution";
    static constexpr const wchar_t* kResolution720 = L"1280,720";
    static constexpr const wchar_t* kResolution1080 = L"1920,1080";
    static constexpr const wchar_t* kLowLatencyDecoderKey = L"enableLowLatencyDecoder";
    static constexpr const wchar_t* kHardwareDecoderKey = L"enableHardwareDecoder";
    static constexpr const wchar_t* kDefaultResolution = L"1920,1080";

private:
    std::wstring mSettingsFolder;
    std::wstring mSettingsFilePath;
};

} // namespace Network::Webcam
} // namespace Zarvo
