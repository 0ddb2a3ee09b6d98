// Launching the server from the component's own folder.
#include "IPC/WebcamClient.h"

#include "IpcTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace Zarvo::IPC {
namespace {

using ::testing::Contains;
using ::testing::Not;
using ::testing::StartsWith;

using Lines = std::vector<std::string>;

TEST(ServerExecutablePath, GoesToTheX86ProgramFilesUnlessThereAlready) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"C:\\Program Files\\Zarvo\\", L"C:\\Program Files (x86)\\Zarvo\\"},
        {L"C:\\Program Files (x86)\\Zarvo\\", L"C:\\Program Files (x86)\\Zarvo\\"},
        {L"C:\\Apps\\Cam\\", L"C:\\Apps\\Cam\\"},
        {L"C:\\program files\\Cam\\", L"C:\\program files\\Cam\\"}, // case-sensitive
        {L"D:\\Program Files\\Program Files\\", L"D:\\Program Files (x86)\\Program Files\\"}, // first only
        {L"C:\\Program FilesX\\", L"C:\\Program Files (x86)X\\"},
        {L"E:\\Tools (x86)\\Program Files\\", L"E:\\Tools (x86)\\Program Files\\"},
        {L"", L""},
    };
    for (const auto& [folder, expected] : cases)
        EXPECT_EQ(ServerExecutablePath(folder), std::wstring(expected) + L"Zarvo Webcam.exe");
}

// Runs a copy of the probe (a stand-in module) from a folder of its own, with a copy of the
// server beside it if asked; its exit code, and its log in `lines`.
std::optional<DWORD> RunProbe(bool withServer, DWORD giveUpMs, Lines& lines) {
    Testing::TempFolder folder;
    const auto copy = [&](const std::wstring& from, const wchar_t* name) {
        std::filesystem::copy_file(std::filesystem::path(from), std::filesystem::path(folder / name));
    };
    copy(Testing::ProgramFolder() + L"ipc_launch_probe.exe", L"probe.exe");
    if (withServer)
        copy(Testing::ReferenceServerPath(), kServerExecutableName);
    const std::wstring log = folder / L"probe.log";
    auto code = Testing::RunProgram(folder / L"probe.exe", L"\"" + log + L"\" " + std::to_wstring(giveUpMs),
                                    giveUpMs + 30000);
    lines = Testing::ReadLogLines(log);
    // Whatever happened, the server it launched must go again.
    if (withServer)
        EXPECT_EQ(Testing::RunProgram(folder / kServerExecutableName, L"--quit", 20000), 0u);
    return code;
}

TEST(LaunchServerIfNeeded, WithoutTheExecutableTheLaunchFailsAndTheModuleKeepsWaiting) {
    ASSERT_NE(WaitForSingleObject(Testing::OpenServerLiveEvent().get(), 0), WAIT_OBJECT_0) << "a server runs";
    Lines lines;
    EXPECT_EQ(RunProbe(false, 500, lines), 1u);
    const auto at = [&](const char* line) {
        return std::find(lines.begin(), lines.end(), std::string("[Prepare/ConnectToServer] ") + line) -
               lines.begin();
    };
    const auto createFailed = std::min(at("CreateProcess failed 2"), at("CreateProcess failed 3"));
    EXPECT_LT(at("WebcamClient: No Server Found - attempting launch"), createFailed);
    EXPECT_LT(createFailed, at("WebcamClient: Server Launch Failed"));
    EXPECT_LT(at("WebcamClient: Server Launch Failed"), static_cast<long>(lines.size()))
        << ::testing::PrintToString(lines);
}

TEST(LaunchServerIfNeeded, StartsTheServerBesideTheModuleAndConnects) {
    Testing::AppDataWithSettings appData("1280,720");
    Testing::ScopedEnvironment environment(L"APPDATA", appData.Path()); // inherited by probe and server
    Lines lines;
    EXPECT_EQ(RunProbe(true, 30000, lines), 0u) << ::testing::PrintToString(lines);
    EXPECT_THAT(lines,
                Contains("[Prepare/ConnectToServer] WebcamClient: No Server Found - attempting launch"));
    EXPECT_THAT(lines, Not(Contains(StartsWith("[Prepare/ConnectToServer] CreateProcess failed"))));
    EXPECT_THAT(lines, Contains("[ConnectControlPipe] is_canceled, 0"));
    EXPECT_THAT(lines, Contains("[StartCamera] is_camera_live, 1"));
}

} // namespace
} // namespace Zarvo::IPC
