#include "AppSettings/AppSettings.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace Zarvo {
namespace {

using Network::Webcam::Resolution;
using Network::Webcam::WebcamSettings;
using Testing::TempFolder;

// Sets or removes a variable of this process and puts the old value back at the end.
class ScopedEnvironment {
public:
    ScopedEnvironment(const wchar_t* name, const wchar_t* value) : mName(name) {
        wchar_t buffer[32768];
        const DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
        if (length > 0 && length < 32768)
            mOld = std::wstring(buffer, length);
        SetEnvironmentVariableW(name, value);
    }
    ~ScopedEnvironment() {
        SetEnvironmentVariableW(mName, mOld ? mOld->c_str() : nullptr);
    }

private:
    const wchar_t* mName;
    std::optional<std::wstring> mOld;
};

Resolution ResolutionFor(const TempFolder& appData, const std::string& iniText) {
    const WebcamSettings settings(appData.Path());
    std::filesystem::create_directories(std::filesystem::path(settings.SettingsFolder()));
    Testing::WriteFileBytes(settings.SettingsFilePath(), iniText);
    return settings.GetOutputResolution();
}

bool Is(const Resolution& r, int width, int height) { return r.width == width && r.height == height; }

TEST(WebcamSettings, PathsAreBuiltFromTheGivenFolderWithoutTouchingTheDisk) {
    TempFolder appData;
    const WebcamSettings settings(appData.Path());
    EXPECT_EQ(settings.SettingsFolder(), appData.Path() + L"\\Zarvo\\Zarvo Webcam");
    EXPECT_EQ(settings.SettingsFilePath(), appData.Path() + L"\\Zarvo\\Zarvo Webcam\\ZarvoWebcam.ini");
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(settings.SettingsFolder())));
    EXPECT_TRUE(Is(settings.GetOutputResolution(), 1920, 1080)); // no file at all

    const WebcamSettings none(L"");
    EXPECT_TRUE(none.SettingsFolder().empty());
    EXPECT_TRUE(none.SettingsFilePath().empty());
    EXPECT_TRUE(Is(none.GetOutputResolution(), 1920, 1080));
}

TEST(WebcamSettings, OnlyTheExactAcceptedTextsChooseTheResolution) {
    TempFolder appData;
    EXPECT_TRUE(Is(ResolutionFor(appData, "[Stream]\r\noutputResolution=1280,720\r\n"), 1280, 720));
    EXPECT_TRUE(Is(ResolutionFor(appData, "[Stream]\r\noutputResolution=1920,1080\r\n"), 1920, 1080));
    // Section and key names are matched without regard to case by the platform reader.
    EXPECT_TRUE(Is(ResolutionFor(appData, "[other]\r\na=b\r\n[Stream]\r\nenableHardwareDecoder=1\r\n"
                                          "outputResolution=1280,720\r\n"),
                   1280, 720));

    for (const char* value : {"1280, 720", "640,480", "1280x720", "", "1280,7200", "1280,720,", "1280,72",
                              "+1280,720"}) {
        EXPECT_TRUE(Is(ResolutionFor(appData, std::string("[Stream]\r\noutputResolution=") + value + "\r\n"),
                       1920, 1080))
            << value;
    }
    EXPECT_TRUE(Is(ResolutionFor(appData, "[Stream]\r\nenableLowLatencyDecoder=1\r\n"), 1920, 1080));
    EXPECT_TRUE(Is(ResolutionFor(appData, "[Other]\r\noutputResolution=1280,720\r\n"), 1920, 1080));
    EXPECT_TRUE(Is(ResolutionFor(appData, "[Stream]\r\noutputResolution=" + std::string(400, '1') + "\r\n"),
                   1920, 1080));
}

TEST(WebcamSettings, TheFileIsReadAgainOnEveryCall) {
    TempFolder appData;
    const WebcamSettings settings(appData.Path());
    std::filesystem::create_directories(std::filesystem::path(settings.SettingsFolder()));
    Testing::WriteFileBytes(settings.SettingsFilePath(), "[Stream]\r\noutputResolution=1280,720\r\n");
    EXPECT_TRUE(Is(settings.GetOutputResolution(), 1280, 720));
    Testing::WriteFileBytes(settings.SettingsFilePath(), "[Stream]\r\noutputResolution=1920,1080\r\n");
    EXPECT_TRUE(Is(settings.GetOutputResolution(), 1920, 1080));
}

TEST(AppSettings, AppDataFolderComesFromTheVariableOrTheRoamingKnownFolder) {
    {
        ScopedEnvironment appData(L"APPDATA", L"C:\\somewhere\\Roaming");
        auto folder = GetAppDataFolder();
        ASSERT_TRUE(folder.HasValue());
        EXPECT_EQ(folder.Value(), L"C:\\somewhere\\Roaming");
    }
    for (const wchar_t* value : {static_cast<const wchar_t*>(nullptr), L""}) {
        ScopedEnvironment appData(L"APPDATA", value);
        auto folder = GetAppDataFolder();
        ASSERT_TRUE(folder.HasValue()) << folder.Error()->line;
        EXPECT_FALSE(folder.Value().empty());
        EXPECT_EQ(folder.Value().find(L"\\"), 2u) << "an absolute path, not one relative to the current folder";
    }
}

TEST(AppSettings, ModuleFolderIsTheFolderOfThisProgramWithATrailingBackslash) {
    auto folder = GetModuleFolder();
    ASSERT_TRUE(folder.HasValue());
    wchar_t self[1024];
    ASSERT_NE(GetModuleFileNameW(nullptr, self, 1024), 0u);
    wchar_t longSelf[1024];
    ASSERT_NE(GetLongPathNameW(self, longSelf, 1024), 0u);
    const std::wstring expected(longSelf);
    EXPECT_EQ(folder.Value(), expected.substr(0, expected.find_last_of(L'\\') + 1));
    EXPECT_EQ(folder.Value().back(), L'\\');
}

TEST(ErrorRecord, MessagesAreFormattedAndCutTo255Characters) {
    auto record = MakeErrorRecord(8, "WebcamFrameClient", 77, "hr=%d %s", -5, "surface");
    EXPECT_EQ(record->code, 8u);
    EXPECT_EQ(record->file, "WebcamFrameClient");
    EXPECT_EQ(record->line, 77u);
    EXPECT_EQ(record->message, "hr=-5 surface");
    EXPECT_EQ(MakeErrorRecord(2, "AppSettings", 1)->message, "");
    EXPECT_EQ(MakeErrorRecord(2, "AppSettings", 1, "%s", std::string(600, 'x').c_str())->message,
              std::string(255, 'x'));

    Result<int> failed(MakeErrorRecord(2, "AppSettings", 9));
    EXPECT_FALSE(failed.HasValue());
    ASSERT_NE(failed.Error(), nullptr);
    EXPECT_EQ(failed.Error()->line, 9u);
    Result<int> value(5);
    EXPECT_TRUE(value.HasValue());
    EXPECT_EQ(value.Error(), nullptr);
    EXPECT_EQ(value.Value(), 5);
}

} // namespace
} // namespace Zarvo
