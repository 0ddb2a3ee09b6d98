// Launching the server from the component's own folder.
#include "IPC/WebcamClient.h"

#include "IpcTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace Zarvo::IPC {
namespace {

using Testing::TempFolder;
using ::testing::Contains;
using ::testing::Not;
using ::testing::StartsWith;

using Lines = std::vector<std::string>;

TEST(ServerExecutablePath, GoesToTheX86ProgramFilesUnlessThereAlready) {
    EXPECT_EQ(ServerExecutablePath(L"C:\\Program Files\\Zarvo\\Zarvo Webcam\\"),
              L"C:\\Program Files (x86)\\Zarvo\\Zarvo Webcam\\Zarvo Webcam.exe");
    EXPECT_EQ(ServerExecutablePath(L"C:\\Program Files (x86)\\Zarvo\\Zarvo Webcam\\"),
              L"C:\\Program Files (x86)\\Zarvo\\Zarvo Webcam\\Zarvo Webcam.exe");
    EXPECT_EQ(ServerExecutablePath(L"C:\\Apps\\Cam\\"), L"C:\\Apps\\Cam\\Zarvo Webcam.exe");
    // Exact and case-sensitive; only the first occurrence gets the suffix.
    EXPECT_EQ(ServerExecutablePath(L"C:\\program files\\Cam\\"), L"C:\\program files\\Cam\\Zarvo Webcam.exe");
    EXPECT_EQ(ServerExecutablePath(L"D:\\Program Files\\Program Files\\"),
              L"D:\\Program Files (x86)\\Program Files\\Zarvo Webcam.exe");
    EXPECT_EQ(ServerExecutablePath(L"C:\\Program FilesX\\"), L"C:\\Program Files (x86)X\\Zarvo Webcam.exe");
    EXPECT_EQ(ServerExecutablePath(L"E:\\Tools (x86)\\Program Files\\"),
              L"E:\\Tools (x86)\\Program Files\\Zarvo Webcam.exe");
    EXPECT_EQ(ServerExecutablePath(L""), L"Zarvo Webcam.exe");
}

// A folder holding a copy of the probe (and, if asked, of the server): its module folder is
// where the launch looks.
class LaunchFolder {
public:
    explicit LaunchFolder(bool withServer) {
        std::filesystem::copy_file(std::filesystem::path(Testing::ProgramFolder() + L"ipc_launch_probe.exe"),
                                   std::filesystem::path(mFolder / L"ipc_launch_probe.exe"));
        if (withServer) {
            std::filesystem::copy_file(std::filesystem::path(Testing::ReferenceServerPath()),
                                       std::filesystem::path(mFolder / kServerExecutableName));
        }
    }
    // Runs the probe; its exit code, and its log in `lines`.
    std::optional<DWORD> RunProbe(DWORD giveUpMs, Lines& lines) {
        const std::wstring log = mFolder / L"probe.log";
        auto code = Testing::RunProgram(mFolder / L"ipc_launch_probe.exe",
                                        L"\"" + log + L"\" " + std::to_wstring(giveUpMs), giveUpMs + 30000);
        lines = Testing::ReadLogLines(log);
        return code;
    }
    std::wstring Server() const { return mFolder / kServerExecutableName; }

private:
    TempFolder mFolder;
};

std::size_t IndexOf(const Lines& lines, const std::string& line) {
    return static_cast<std::size_t>(std::find(lines.begin(), lines.end(), line) - lines.begin());
}

TEST(LaunchServerIfNeeded, WithoutTheExecutableTheLaunchFailsAndTheConnectionRetriesUntilCancelled) {
    const UniqueEvent live = Testing::OpenServerLiveEvent();
    ASSERT_NE(WaitForSingleObject(live.get(), 0), WAIT_OBJECT_0) << "a server is running";
    LaunchFolder folder(false);
    Lines lines;
    EXPECT_EQ(folder.RunProbe(1500, lines), 1u);

    const std::size_t attempting = IndexOf(lines, "[Prepare/ConnectToServer] WebcamClient: No Server Found - attempting launch");
    const std::size_t failed = IndexOf(lines, "[Prepare/ConnectToServer] CreateProcess failed 2") < lines.size()
                                   ? IndexOf(lines, "[Prepare/ConnectToServer] CreateProcess failed 2")
                                   : IndexOf(lines, "[Prepare/ConnectToServer] CreateProcess failed 3");
    const std::size_t launchFailed = IndexOf(lines, "[Prepare/ConnectToServer] WebcamClient: Server Launch Failed");
    ASSERT_LT(launchFailed, lines.size()) << ::testing::PrintToString(lines);
    EXPECT_LT(attempting, failed);
    EXPECT_LT(failed, launchFailed);
    EXPECT_THAT(lines, Not(Contains("[Prepare/ConnectToServer] Failed to get Module install path")));
    // Then the connection loop: the pipe does not exist, every attempt says so, until cancelled.
    EXPECT_THAT(lines, Contains("[ConnectControlPipe] WaitNamedPipe: error: 2"));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 3], "[ConnectControlPipe] is_canceled, 1") << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[lines.size() - 2], "[~WebcamClient] <time>");
}

TEST(LaunchServerIfNeeded, StartsTheServerBesideTheModuleAndConnects) {
    Testing::AppDataWithSettings appData("1280,720");
    Testing::ScopedEnvironment environment(L"APPDATA", appData.Path()); // inherited by probe and server
    LaunchFolder folder(true);
    Lines lines;
    const auto code = folder.RunProbe(30000, lines);
    // Whatever happened, the server we launched must go again.
    const auto quit = Testing::RunProgram(folder.Server(), L"--quit", 20000);

    EXPECT_EQ(code, 0u) << ::testing::PrintToString(lines);
    EXPECT_EQ(quit, 0u);
    EXPECT_THAT(lines, Contains("[Prepare/ConnectToServer] WebcamClient: No Server Found - attempting launch"));
    EXPECT_THAT(lines, Not(Contains(StartsWith("[Prepare/ConnectToServer] CreateProcess failed"))));
    EXPECT_THAT(lines, Contains("[StartCamera] is_camera_live, 1"));
    EXPECT_THAT(lines, Contains("[ConnectControlPipe] is_canceled, 0"));
    // The server ran with the probe's environment: it logged into this test's settings folder.
    bool serverLogged = false;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(appData.SettingsFolder() + L"\\Logs")))
        serverLogged |= entry.path().filename().wstring().rfind(L"zvserver_webcam_", 0) == 0;
    EXPECT_TRUE(serverLogged);
}

} // namespace
} // namespace Zarvo::IPC
