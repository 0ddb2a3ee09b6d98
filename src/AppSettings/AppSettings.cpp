#include "AppSettings/AppSettings.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>


namespace Zarvo {

namespace {

constexpr const char* kFile = "AppSettings";

ErrorRecordPtr FolderError(std::uint32_t line) {
    return MakeErrorRecord(kSettingsFolderError, kFile, line);
}

// Hosts may run without "APPDATA" (services, stripped environments).
bool RoamingKnownFolder(std::wstring& folder) {
    PWSTR path = nullptr;
    const HRESULT hr = SHGetKnownFolderPath(FOLDERID_RoamingAppData, KF_FLAG_DEFAULT, nullptr, &path);
    const bool found = SUCCEEDED(hr) && path && *path;
    if (found)
        folder = path;
    CoTaskMemFree(path);
    return found;
}

} // namespace

Result<std::wstring> GetAppDataFolder() {
    // The process environment, not the C runtime's copy of it: the host may have changed it.
    std::wstring folder(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetEnvironmentVariableW(L"APPDATA", folder.data(), static_cast<DWORD>(folder.size()));
        if (length < folder.size()) {
            folder.resize(length);
            break;
        }
        folder.resize(length);
    }
    // An empty value would make every path relative to the host's current folder.
    if (!folder.empty() || RoamingKnownFolder(folder))
        return folder;
    return FolderError(__LINE__);
}

Result<std::wstring> LongPathFolder(const std::wstring& fileName) {
    // The long form may need more room than the name given (short names grow): ask again with
    // what the call says it needs until it fits.
    std::wstring longName(std::max<std::size_t>(fileName.size() + 1, 1024), L'\0');
    for (;;) {
        const DWORD length = GetLongPathNameW(fileName.c_str(), longName.data(), static_cast<DWORD>(longName.size()));
        if (length == 0)
            return FolderError(__LINE__);
        if (length < longName.size()) {
            longName.resize(length);
            break;
        }
        longName.resize(length);
    }
    return longName.substr(0, longName.find_last_of(L'\\') + 1);
}

std::uint32_t GetModuleFilePath(HMODULE module, std::wstring& path) {
    // A name that fills the buffer may have been cut (and, on some systems, left without its
    // terminator): try a larger one. No name is longer than the system's 32767 characters.
    path.assign(1024, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            const DWORD error = GetLastError();
            path.clear();
            return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
        }
        if (length < path.size()) {
            path.resize(length);
            return ERROR_SUCCESS;
        }
        if (path.size() >= 32768) {
            path.clear();
            return ERROR_FILENAME_EXCED_RANGE;
        }
        path.resize(path.size() * 2);
    }
}

Result<std::wstring> GetModuleFolder() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&GetModuleFolder), &module))
        return FolderError(__LINE__);

    std::wstring fileName;
    if (GetModuleFilePath(module, fileName) != ERROR_SUCCESS)
        return FolderError(__LINE__);
    return LongPathFolder(fileName);
}

namespace Network::Webcam {

WebcamSettings::WebcamSettings(const std::wstring& appDataFolder) {
    if (appDataFolder.empty())
        return;
    mSettingsFolder = appDataFolder + L"\\Zarvo\\Zarvo Webcam";
    mSettingsFilePath = mSettingsFolder + L"\\ZarvoWebcam.ini";
}

WebcamSettings WebcamSettings::ForCurrentUser() {
    const auto folder = GetAppDataFolder();
    return WebcamSettings(folder.HasValue() ? folder.Value() : std::wstring());
}

Resolution WebcamSettings::GetOutputResolution() const {
    wchar_t value[256] = {};
    if (!mSettingsFilePath.empty()) {
        GetPrivateProfileStringW(kStreamSection, kOutputResolutionKey, kDefaultResolution, value,
                                 static_cast<DWORD>(std::size(value)), mSettingsFilePath.c_str());
    }
    const std::wstring_view text(value);
    if (text == kResolution720)
        return {1280, 720};
    return {1920, 1080};
}

} // namespace Network::Webcam
} // namespace Zarvo
