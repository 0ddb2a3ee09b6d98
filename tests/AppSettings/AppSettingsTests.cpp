#include "AppSettings/AppSettings.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <shlobj.h>

#include <string>
#include <tuple>

namespace Zarvo {
namespace {

using Network::Webcam::WebcamSettings;

TEST(WebcamSettings, OnlyTheExactAcceptedTextsChooseTheResolutionAndTheFileIsReadOnEveryCall) {
    Testing::TempFolder appData;
    const WebcamSettings settings(appData.Path());
    EXPECT_EQ(settings.SettingsFilePath(), appData.Path() + L"\\Zarvo\\Zarvo Webcam\\ZarvoWebcam.ini");
    const std::string key = "[Stream]\r\noutputResolution=";
    const auto of = [](const WebcamSettings& s) {
        const auto resolution = s.GetOutputResolution();
        return std::pair(resolution.width, resolution.height);
    };
    const std::pair<int, int> k720{1280, 720}, k1080{1920, 1080};
    const std::pair<std::string, std::pair<int, int>> cases[] = {
        {key + "1280,720\r\n", k720},
        {key + "1920,1080\r\n", k1080},
        {key + "1280,720\r\n", k720},
        // Other sections and keys around it; section and key names match in any case.
        {"[other]\r\na=b\r\n[stream]\r\nenableHardwareDecoder=1\r\nOutputResolution=1280,720\r\n", k720},
        // Only the exact text: not a near miss, a prefix, a longer text or one longer than any buffer.
        {key + "1280, 720\r\n", k1080},
        {key + "1280,72\r\n", k1080},
        {key + std::string(400, '1') + "\r\n", k1080},
        {"[Other]\r\noutputResolution=1280,720\r\n", k1080},
    };
    EXPECT_EQ(of(settings), k1080); // no file at all
    std::filesystem::create_directories(std::filesystem::path(settings.SettingsFolder()));
    for (const auto& [text, expected] : cases) {
        Testing::WriteFileBytes(settings.SettingsFilePath(), text);
        EXPECT_EQ(of(settings), expected) << text;
    }
    EXPECT_EQ(of(WebcamSettings(L"")), k1080); // no folder: no file
}

TEST(AppSettings, AppDataFolderComesFromTheVariableOfAnyLengthOrElseTheRoamingKnownFolder) {
    wchar_t* known = nullptr;
    ASSERT_EQ(SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &known), S_OK);
    const std::wstring roaming(known), longer = L"C:\\" + std::wstring(400, L'r'); // beyond MAX_PATH
    CoTaskMemFree(known);
    std::wstring old(32768, L'\0');
    old.resize(GetEnvironmentVariableW(L"APPDATA", old.data(), 32768));
    for (const auto& [value, expected] : {std::pair{longer, longer}, {std::wstring(), roaming}}) {
        SetEnvironmentVariableW(L"APPDATA", value.c_str()); // empty: as good as unset
        const auto folder = GetAppDataFolder();
        ASSERT_TRUE(folder.HasValue()) << folder.Error()->line;
        EXPECT_EQ(folder.Value(), expected);
    }
    SetEnvironmentVariableW(L"APPDATA", old.empty() ? nullptr : old.c_str());
}

// A long form longer than any fixed buffer comes back whole; a failure says where, with code 2.
TEST(AppSettings, LongPathFolderTakesAnyLengthAndFailuresCarryCodeFileAndLine) {
    Testing::TempFolder base;
    std::wstring deep = L"\\\\?\\" + base.Path();
    while (deep.size() < 1500) {
        deep += L"\\a-folder-name-of-forty-characters-length";
        ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr)) << GetLastError();
    }
    const std::wstring file = deep + L"\\module.dll";
    const HANDLE created = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(created, INVALID_HANDLE_VALUE);
    CloseHandle(created);
    const auto folder = LongPathFolder(file);
    ASSERT_TRUE(folder.HasValue()) << folder.Error()->line;
    EXPECT_EQ(folder.Value(), deep + L"\\");
    DeleteFileW(file.c_str());
    for (std::wstring at = deep; at.size() > 4 + base.Path().size(); at.resize(at.find_last_of(L'\\')))
        RemoveDirectoryW(at.c_str());

    const auto missing = LongPathFolder(base.Path() + L"\\no such file.dll");
    ASSERT_FALSE(missing.HasValue());
    const ErrorRecord& error = *missing.Error();
    EXPECT_EQ((std::tuple{error.code, error.file, error.line > 0, error.message}),
              (std::tuple{2u, std::string("AppSettings"), true, std::string()}));
}

} // namespace
} // namespace Zarvo
