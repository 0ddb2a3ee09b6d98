// The reference server as a real process: several clients at once, its answers, its command
// line, one server per session.
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

using Testing::AppDataWithSettings;
using ::testing::Contains;
using Testing::ServerProcess;
using ::testing::StartsWith;

using Lines = std::vector<std::string>;

// A plain synchronous client of the pipe, for requests WebcamClient never sends.
class RawClient {
public:
    RawClient() {
        for (int tries = 0; !mPipe && tries < 20 && WaitNamedPipeW(kControlPipeName, 5000); ++tries)
            mPipe.reset(CreateFileW(kControlPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    0,
                                    nullptr)); // retried while another client took the instance
    }
    bool Send(const void* data, DWORD size) {
        DWORD written = 0;
        return WriteFile(mPipe.get(), data, size, &written, nullptr) && written == size;
    }
    // One answer; all ones when there is none.
    Status Receive() {
        Status status{~0ull, ~0u, ~0u};
        DWORD read = 0;
        ReadFile(mPipe.get(), &status, sizeof(status), &read, nullptr);
        return status;
    }
    Status Ask(std::uint32_t command) { return Send(&command, 4) ? Receive() : Status{~0ull, ~0u, ~0u}; }
    UniqueFile mPipe;
};

void Connect(WebcamClient& client) {
    Tasks::cancellation_token_source source;
    ASSERT_TRUE(client.ConnectToServer(source.get_token()));
}

// The server's own log, beside the camera's in the settings folder.
Lines ServerLogLines(const AppDataWithSettings& appData) {
    for (const auto& entry :
         std::filesystem::directory_iterator(std::filesystem::path(appData.SettingsFolder() + L"\\Logs")))
        if (entry.path().filename().wstring().rfind(L"zvserver_webcam_", 0) == 0)
            return Testing::ReadLogLines(entry.path().wstring());
    return {};
}

TEST(ReferenceServer, ServesThreeClientsAtOnceEachWithItsOwnAnswersAndAFourthAfterOneLeaves) {
    AppDataWithSettings appData("1280,720");
    ServerProcess server(appData.Path());
    ASSERT_TRUE(server.WaitUntilLive());

    // While it runs the module launches nothing: the filter log stays empty.
    Testing::TestLog log, filterLog{std::string(kFilterLogName)};
    std::vector<std::shared_ptr<WebcamClient>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_shared<WebcamClient>(log.Factory()));
        LaunchServerIfNeeded(clients.back());
        Connect(*clients.back());
    }
    EXPECT_EQ(Testing::ReadFileBytes(filterLog.Path()), "");
    EXPECT_THAT(log.Lines(), Contains("[CheckForServer] WaitForSingleObject: server_event_result, 0"));
    // Each client starts and stops the camera in its own rhythm: an answer that reached the
    // wrong client would turn a result around.
    std::vector<int> failures(3);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < 3; ++i) {
        threads.emplace_back([&, i] {
            for (int round = 0; round < 30; ++round) {
                failures[i] += clients[i]->StartCamera() ? 0 : 1;
                for (std::size_t tick = 0; tick <= i; ++tick)
                    clients[i]->FrameTick();
                clients[i]->OpenSharedTexture();
                failures[i] += clients[i]->StopCamera() ? 0 : 1;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures, std::vector<int>(3, 0));

    clients[0]->Disconnect();
    WebcamClient fourth(log.Factory());
    Connect(fourth);
    EXPECT_TRUE(fourth.StartCamera());
    EXPECT_TRUE(clients[1]->StartCamera());
    EXPECT_TRUE(fourth.StopCamera());
    EXPECT_TRUE(clients[1]->StopCamera());
    fourth.Disconnect();
    clients.clear();

    EXPECT_EQ(server.Quit(), 0u);
    const Lines serverLines = ServerLogLines(appData);
    EXPECT_THAT(serverLines, Contains("[Client] client 4: connected"));
    EXPECT_THAT(serverLines, Contains("[Camera] started: w/h, 1280,720"));
    EXPECT_THAT(serverLines, Contains("[Server] end: exit code, 0"));
}

TEST(ReferenceServer, AnswersEveryCommandUnknownOnesWithZerosAndIsTheOnlyServer) {
    AppDataWithSettings appData("1920,1080");
    const UniqueEvent live = Testing::OpenServerLiveEvent();
    std::optional<DWORD> exitCode;
    {
        ServerProcess server(appData.Path());
        ASSERT_TRUE(server.WaitUntilLive());
        {
            Testing::ScopedEnvironment environment(L"APPDATA", appData.Path());
            EXPECT_EQ(Testing::RunProgram(Testing::ReferenceServerPath(), L"", 20000), 1u); // refused
        }
        EXPECT_EQ(WaitForSingleObject(live.get(), 0), WAIT_OBJECT_0); // set while serving

        RawClient client;
        ASSERT_TRUE(client.mPipe);
        for (std::uint32_t command : {0u, 5u, 0xFFFFFFFFu})
            EXPECT_EQ(client.Ask(command), (Status{0, 0, 0})) << command;
        EXPECT_EQ(client.Ask(2), (Status{0, 0, 0})); // nothing drawn, not live
        // A request that arrives in two pieces is one request.
        const std::uint32_t start = 3;
        ASSERT_TRUE(client.Send(&start, 2) && client.Send(reinterpret_cast<const char*>(&start) + 2, 2));
        EXPECT_EQ(client.Receive().is_camera_live, 1u);
        // Asked often enough, a newer frame shows up; the generator runs at about 30 a second.
        Status tick{};
        for (int asked = 0; asked < 100000 && tick.frame_flag == 0; ++asked) {
            tick = client.Ask(2);
            ASSERT_EQ(tick.is_camera_live, 1u);
        }
        EXPECT_EQ(tick.frame_flag, 1u);
        EXPECT_EQ(client.Ask(4).is_camera_live, 0u);
        client.Ask(2); // takes whatever was drawn before the stop
        EXPECT_EQ(client.Ask(2), (Status{0, 0, 0}));
        // The texture: a handle where the platform shares textures, else 0 and the reason logged.
        const std::uint64_t texture = client.Ask(1).shared_texture;
        client.mPipe.reset();
        exitCode = server.Quit();
        EXPECT_THAT(ServerLogLines(appData),
                    Contains(StartsWith(texture ? "[Client] client 1: OpenSharedTexture: shared_texture, "
                                                : "[Client] client 1: OpenSharedTexture: answering 0: ")));
        EXPECT_THAT(ServerLogLines(appData),
                    Contains("[Client] client 1: unknown command 5: answering zeros"));
    }
    EXPECT_EQ(exitCode, 0u);
    EXPECT_NE(WaitForSingleObject(live.get(), 0), WAIT_OBJECT_0); // reset on the way out
}

TEST(ReferenceServer, CommandLineOptionsEndItByItselfWithTheirExitCodes) {
    AppDataWithSettings appData("1280,720");
    const std::pair<const wchar_t*, DWORD> misuse[] = {{L"--bogus", 2}, {L"--frames", 2}, {L"--quit", 1}};
    for (const auto& [arguments, code] : misuse)
        EXPECT_EQ(Testing::RunProgram(Testing::ReferenceServerPath(), arguments, 20000), code) << arguments;
    {
        ServerProcess server(appData.Path(), L"--frames 5"); // ends once 5 frames were drawn
        ASSERT_TRUE(server.WaitUntilLive());
        RawClient client;
        EXPECT_EQ(client.Ask(3).is_camera_live, 1u);
        EXPECT_EQ(Testing::WaitForExit(server.Process(), 20000), 0u);
    }
    const auto start = Testing::Clock::now();
    ServerProcess server(appData.Path(), L"--seconds 1");
    ASSERT_TRUE(server.WaitUntilLive());
    EXPECT_EQ(Testing::WaitForExit(server.Process(), 20000), 0u);
    EXPECT_GT(Testing::SecondsSince(start), 0.9);
}

} // namespace
} // namespace Zarvo::IPC
