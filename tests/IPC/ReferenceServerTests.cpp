// The reference server as a process: its answers, clients at once, command line, one per session.
#include "IpcTestSupport.h"

#include <gmock/gmock.h>

#include <thread>
#include <tuple>

namespace Zarvo::IPC {
namespace {

using namespace Testing;
using namespace ::testing;
// An answer as shared_texture, frame_flag, is_camera_live.
using Fields = std::tuple<std::uint64_t, std::uint32_t, std::uint32_t>;

// The whole answer to any command; all ones when there is none.
Fields Ask(WebcamClient& client, std::uint32_t command) {
    Status s{~0ull, ~0u, ~0u};
    client.HandleRequest(command,
                         WebcamClient::HandleHandler([&](const Status& answer) { return (s = answer), 0; }));
    return {s.shared_texture, s.frame_flag, s.is_camera_live};
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
        ASSERT_TRUE(clients.back()->ConnectToServer({}));
    }
    EXPECT_EQ(ReadFileBytes(filterLog.path), "");
    EXPECT_THAT(log.Lines(), Contains("[CheckForServer] WaitForSingleObject: server_event_result, 0"));

    WebcamClient& first = *clients[0];
    for (std::uint32_t command : {0u, 5u, 0xFFFFFFFFu, 2u, 4u}) // unknown ones; nothing drawn, not live
        EXPECT_EQ(Ask(first, command), Fields(0, 0, 0)) << command;
    EXPECT_EQ(Ask(first, 3), Fields(0, 0, 1));
    // Asked often enough, a newer frame shows up; the generator runs at about 30 a second.
    Fields tick{0, 0, 1};
    for (int asked = 0; asked < 100000 && tick == Fields(0, 0, 1); ++asked)
        tick = Ask(first, 2);
    EXPECT_EQ(tick, Fields(0, 1, 1));
    EXPECT_EQ(Ask(first, 4), Fields(0, 0, 0));
    Ask(first, 2); // takes whatever was drawn before the stop
    EXPECT_EQ(Ask(first, 2), Fields(0, 0, 0));
    EXPECT_EQ(std::get<2>(Ask(first, 1)), 0u); // with a handle where the platform shares textures

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
    ASSERT_TRUE(clients[0]->ConnectToServer({}));
    EXPECT_TRUE(clients[0]->StartCamera() && clients[1]->StartCamera());
    EXPECT_TRUE(clients[0]->StopCamera() && clients[1]->StopCamera());
    clients.clear();

    EXPECT_EQ(server.Quit(), 0u);
    EXPECT_NE(WaitForSingleObject(live.get(), 0), WAIT_OBJECT_0); // reset on the way out
    std::vector<std::string> lines;
    for (const auto& entry : std::filesystem::directory_iterator(appData.SettingsFolder() + L"\\Logs"))
        lines = ReadLogLines(entry.path().wstring()); // the server's, the only one there
    EXPECT_THAT(lines, Contains("[Client] client 4: connected"));
    EXPECT_THAT(lines, Contains("[Camera] started: w/h, 1280,720"));
}

TEST(ReferenceServer, CommandLineOptionsEndItByItselfWithTheirExitCodesAndASecondServerLeaves) {
    AppDataWithSettings appData("1280,720");
    for (const auto& [arguments, code] : {std::pair{L"--bogus", 2u}, {L"--frames", 2u}, {L"--quit", 1u}})
        EXPECT_EQ(RunProgram(ReferenceServerPath(), arguments, 20000), code) << arguments;
    {
        ServerProcess server(appData.Path(), L"--frames 5"); // ends once 5 frames were drawn
        ASSERT_TRUE(server.WaitUntilLive());
        EXPECT_EQ(ServerProcess(appData.Path()).WaitForExit(20000), 1u); // a second one leaves
        WebcamClient client(TestLog().Factory());
        ASSERT_TRUE(client.ConnectToServer({}));
        EXPECT_TRUE(client.StartCamera());
        EXPECT_EQ(server.WaitForExit(20000), 0u);
    }
    const auto start = Clock::now();
    ServerProcess server(appData.Path(), L"--seconds 1");
    ASSERT_TRUE(server.WaitUntilLive());
    EXPECT_EQ(server.WaitForExit(20000), 0u);
    EXPECT_GT(SecondsSince(start), 0.9);
}

} // namespace
} // namespace Zarvo::IPC
