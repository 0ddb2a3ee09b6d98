// The reference server as a process: its answers, clients at once, command line, one per session.
#include "IPC/WebcamClient.h"

#include "IpcTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

namespace Zarvo::IPC {

static bool operator==(const Status& a, const Status& b) {
    return a.shared_texture == b.shared_texture && a.frame_flag == b.frame_flag &&
           a.is_camera_live == b.is_camera_live;
}

namespace {

using namespace Testing;
using namespace ::testing;

// The whole answer to any command; all ones when there is none.
Status Ask(WebcamClient& client, std::uint32_t command) {
    Status answer{~0ull, ~0u, ~0u};
    client.HandleRequest(command,
                         WebcamClient::HandleHandler([&](const Status& s) { return (answer = s), 0; }));
    return answer;
}

TEST(ReferenceServer, AnswersEveryCommandAndServesClientsAtOnceEachWithItsOwnAnswers) {
    AppDataWithSettings appData("1280,720");
    const UniqueEvent live = OpenServerLiveEvent();
    ServerProcess server(appData.Path());
    ASSERT_TRUE(server.WaitUntilLive());

    // While it runs the module launches nothing: the filter log stays empty.
    TestLog log, filterLog{std::string(kFilterLogName)};
    std::vector<std::shared_ptr<WebcamClient>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_shared<WebcamClient>(log.Factory()));
        LaunchServerIfNeeded(clients.back());
        Connect(*clients.back());
    }
    EXPECT_EQ(ReadFileBytes(filterLog.Path()), "");
    EXPECT_THAT(log.Lines(), Contains("[CheckForServer] WaitForSingleObject: server_event_result, 0"));

    WebcamClient& first = *clients[0];
    for (std::uint32_t command : {0u, 5u, 0xFFFFFFFFu})
        EXPECT_EQ(Ask(first, command), (Status{0, 0, 0})) << command;
    EXPECT_EQ(Ask(first, 2), (Status{0, 0, 0})); // nothing drawn, not live
    EXPECT_EQ(Ask(first, 3).is_camera_live, 1u);
    // Asked often enough, a newer frame shows up; the generator runs at about 30 a second.
    Status tick{};
    for (int asked = 0; asked < 100000 && tick.frame_flag == 0; ++asked) {
        tick = Ask(first, 2);
        ASSERT_EQ(tick.is_camera_live, 1u);
    }
    EXPECT_EQ(tick.frame_flag, 1u);
    EXPECT_EQ(Ask(first, 4).is_camera_live, 0u);
    Ask(first, 2); // takes whatever was drawn before the stop
    EXPECT_EQ(Ask(first, 2), (Status{0, 0, 0}));
    EXPECT_EQ(Ask(first, 1).is_camera_live, 0u); // with a handle where the platform shares textures

    // Each client starts and stops the camera in its own rhythm: an answer that reached the
    // wrong client would turn a result around.
    std::vector<int> failures(3);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < 3; ++i) {
        threads.emplace_back([&, i] {
            for (int round = 0; round < 30; ++round) {
                failures[i] += clients[i]->StartCamera() ? 0 : 1;
                for (std::size_t frame = 0; frame <= i; ++frame)
                    clients[i]->FrameTick();
                clients[i]->OpenSharedTexture();
                failures[i] += clients[i]->StopCamera() ? 0 : 1;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures, std::vector<int>(3, 0));
    clients[0] = std::make_shared<WebcamClient>(log.Factory()); // a fourth, once one has left
    Connect(*clients[0]);
    EXPECT_TRUE(clients[0]->StartCamera() && clients[1]->StartCamera());
    EXPECT_TRUE(clients[0]->StopCamera() && clients[1]->StopCamera());
    clients.clear();

    EXPECT_EQ(server.Quit(), 0u);
    EXPECT_NE(WaitForSingleObject(live.get(), 0), WAIT_OBJECT_0); // reset on the way out
    std::vector<std::string> lines;
    for (const auto& entry :
         std::filesystem::directory_iterator(std::filesystem::path(appData.SettingsFolder() + L"\\Logs")))
        lines = ReadLogLines(entry.path().wstring()); // the server's, the only one there
    EXPECT_THAT(lines, Contains("[Client] client 4: connected"));
    EXPECT_THAT(lines, Contains("[Camera] started: w/h, 1280,720"));
}

TEST(ReferenceServer, CommandLineOptionsEndItByItselfWithTheirExitCodesAndASecondServerLeaves) {
    AppDataWithSettings appData("1280,720");
    const std::pair<const wchar_t*, DWORD> misuse[] = {{L"--bogus", 2}, {L"--frames", 2}, {L"--quit", 1}};
    for (const auto& [arguments, code] : misuse)
        EXPECT_EQ(RunProgram(ReferenceServerPath(), arguments, 20000), code) << arguments;
    {
        ServerProcess server(appData.Path(), L"--frames 5"); // ends once 5 frames were drawn
        ASSERT_TRUE(server.WaitUntilLive());
        {
            ScopedEnvironment environment(L"APPDATA", appData.Path());
            EXPECT_EQ(RunProgram(ReferenceServerPath(), L"", 20000), 1u);
        }
        WebcamClient client(TestLog().Factory());
        Connect(client);
        EXPECT_TRUE(client.StartCamera());
        EXPECT_EQ(WaitForExit(server.Process(), 20000), 0u);
    }
    const auto start = Clock::now();
    ServerProcess server(appData.Path(), L"--seconds 1");
    ASSERT_TRUE(server.WaitUntilLive());
    EXPECT_EQ(WaitForExit(server.Process(), 20000), 0u);
    EXPECT_GT(SecondsSince(start), 0.9);
}

} // namespace
} // namespace Zarvo::IPC
