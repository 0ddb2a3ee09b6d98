// The reference server as a real process: several clients at once, its answers, its
// resilience to bad clients, its command line, and the pattern it draws.
#include "IPC/WebcamClient.h"

#include "IpcTestSupport.h"
#include "server/Pattern.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <vector>

namespace Zarvo::IPC {
namespace {

using Testing::AppDataWithSettings;
using Testing::Clock;
using Testing::SecondsSince;
using Testing::ServerProcess;
using Testing::TestLog;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

using Lines = std::vector<std::string>;

// A plain synchronous client of the pipe, for requests WebcamClient never sends.
class RawClient {
public:
    RawClient() {
        if (WaitNamedPipeW(kControlPipeName, 5000)) {
            mPipe.reset(CreateFileW(kControlPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                    nullptr));
        }
    }
    bool Open() const { return static_cast<bool>(mPipe); }
    bool Send(const void* data, DWORD size) {
        DWORD written = 0;
        return WriteFile(mPipe.get(), data, size, &written, nullptr) && written == size;
    }
    bool Send(std::uint32_t command) { return Send(&command, sizeof(command)); }
    // Reads one whole answer; the server writes each in one piece.
    std::optional<Status> Receive() {
        Status status{};
        DWORD read = 0;
        if (!ReadFile(mPipe.get(), &status, sizeof(status), &read, nullptr) || read != sizeof(status))
            return std::nullopt;
        return status;
    }
    std::optional<Status> Ask(std::uint32_t command) {
        if (!Send(command))
            return std::nullopt;
        return Receive();
    }
    void Close() { mPipe.reset(); }

private:
    UniqueFile mPipe;
};

void Connect(WebcamClient& client) {
    Tasks::cancellation_token_source source;
    ASSERT_TRUE(client.ConnectToServer(source.get_token()));
}

// The server's own log lines (its log sits beside the camera's in the settings folder).
Lines ServerLogLines(const AppDataWithSettings& appData) {
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(appData.SettingsFolder() + L"\\Logs"))) {
        if (entry.path().filename().wstring().rfind(L"zvserver_webcam_", 0) == 0)
            return Testing::ReadLogLines(entry.path().wstring());
    }
    return {};
}

TEST(ReferenceServer, ServesThreeClientsAtOnceEachWithItsOwnAnswersAndAFourthAfterOneLeaves) {
    AppDataWithSettings appData("1280,720");
    ServerProcess server(appData.Path());
    ASSERT_TRUE(server.WaitUntilLive());

    TestLog log;
    std::vector<std::unique_ptr<WebcamClient>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<WebcamClient>(log.Factory()));
        Connect(*clients.back());
    }
    // Each client starts and stops the camera in its own rhythm: an answer that reached the
    // wrong client would turn a StartCamera or StopCamera result around.
    std::array<std::atomic<int>, 3> failures{};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&, i] {
            WebcamClient& client = *clients[static_cast<std::size_t>(i)];
            for (int round = 0; round < 30; ++round) {
                failures[static_cast<std::size_t>(i)] += client.StartCamera() ? 0 : 1;
                for (int tick = 0; tick < i + 1; ++tick)
                    client.FrameTick();
                client.OpenSharedTexture();
                failures[static_cast<std::size_t>(i)] += client.StopCamera() ? 0 : 1;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (auto& count : failures)
        EXPECT_EQ(count.load(), 0);

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

TEST(ReferenceServer, AnswersEveryCommandAndTellsWhenANewerFrameExists) {
    AppDataWithSettings appData("1920,1080");
    ServerProcess server(appData.Path());
    ASSERT_TRUE(server.WaitUntilLive());

    RawClient client;
    ASSERT_TRUE(client.Open());
    // Unknown commands get zeros.
    for (std::uint32_t command : {0u, 5u, 0xFFFFFFFFu}) {
        const auto answer = client.Ask(command);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->shared_texture, 0u);
        EXPECT_EQ(answer->frame_flag, 0u);
        EXPECT_EQ(answer->is_camera_live, 0u);
    }
    // Nothing drawn yet: no newer frame, camera not live.
    auto tick = client.Ask(2);
    ASSERT_TRUE(tick);
    EXPECT_EQ(tick->frame_flag, 0u);
    EXPECT_EQ(tick->is_camera_live, 0u);

    // A request that arrives in two pieces is one request.
    const std::uint32_t start = 3;
    ASSERT_TRUE(client.Send(&start, 2));
    ASSERT_TRUE(client.Send(reinterpret_cast<const std::uint8_t*>(&start) + 2, 2));
    auto started = client.Receive();
    ASSERT_TRUE(started);
    EXPECT_EQ(started->is_camera_live, 1u);

    // Asked often enough, a newer frame shows up; the generator runs at about 30 per second.
    int asked = 0;
    do {
        tick = client.Ask(2);
        ASSERT_TRUE(tick);
        EXPECT_EQ(tick->is_camera_live, 1u);
        ++asked;
    } while (tick->frame_flag == 0 && asked < 100000);
    EXPECT_EQ(tick->frame_flag, 1u);

    const auto stopped = client.Ask(4);
    ASSERT_TRUE(stopped);
    EXPECT_EQ(stopped->is_camera_live, 0u);
    client.Ask(2); // takes whatever was drawn before the stop
    tick = client.Ask(2);
    ASSERT_TRUE(tick);
    EXPECT_EQ(tick->frame_flag, 0u); // stopped: nothing newer any more
    EXPECT_EQ(tick->is_camera_live, 0u);

    // The texture: a handle where the platform shares textures, else 0 and the reason logged.
    const auto texture = client.Ask(1);
    ASSERT_TRUE(texture);
    client.Close();
    EXPECT_EQ(server.Quit(), 0u);
    const Lines serverLines = ServerLogLines(appData);
    if (texture->shared_texture == 0) {
        EXPECT_THAT(serverLines, Contains(StartsWith("[Client] client 1: OpenSharedTexture: answering 0: ")));
    } else {
        EXPECT_THAT(serverLines, Contains(StartsWith("[Client] client 1: OpenSharedTexture: shared_texture, ")));
    }
    EXPECT_THAT(serverLines, Contains("[Client] client 1: unknown command 5: answering zeros"));
}

TEST(ReferenceServer, SurvivesClientsThatLeaveMidRequestSendHalfRequestsOrFlood) {
    AppDataWithSettings appData("1280,720");
    ServerProcess server(appData.Path());
    ASSERT_TRUE(server.WaitUntilLive());

    {
        RawClient half; // two bytes of a request, then gone
        ASSERT_TRUE(half.Open());
        const std::uint32_t start = 3;
        ASSERT_TRUE(half.Send(&start, 2));
    }
    {
        RawClient leaver; // starts the camera and leaves without reading the answer
        ASSERT_TRUE(leaver.Open());
        ASSERT_TRUE(leaver.Send(3));
    }
    {
        // Requests without reading any answer, far beyond what the pipe buffers: the server
        // stalls writing answers to this client, and the rest of the flood stays pending.
        ASSERT_TRUE(WaitNamedPipeW(kControlPipeName, 5000));
        UniqueFile flood(CreateFileW(kControlPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_OVERLAPPED, nullptr));
        ASSERT_TRUE(flood);
        UniqueEvent written(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        const std::vector<std::uint32_t> requests(64 * 1024, 2);
        OVERLAPPED overlapped{};
        overlapped.hEvent = written.get();
        const BOOL done = WriteFile(flood.get(), requests.data(), static_cast<DWORD>(requests.size() * 4), nullptr,
                                    &overlapped);
        ASSERT_TRUE(done || GetLastError() == ERROR_IO_PENDING);

        // A well-behaved client is served meanwhile.
        TestLog log;
        WebcamClient client(log.Factory());
        Connect(client);
        EXPECT_TRUE(client.StartCamera());
        EXPECT_TRUE(client.StopCamera());
        client.Disconnect();

        CancelIoEx(flood.get(), &overlapped);
        DWORD ignored = 0;
        GetOverlappedResult(flood.get(), &overlapped, &ignored, TRUE);
    }
    // Still answering, and still ending cleanly.
    RawClient after;
    ASSERT_TRUE(after.Open());
    const auto answer = after.Ask(3);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->is_camera_live, 1u);
    after.Close();
    EXPECT_EQ(server.Quit(), 0u);
}

TEST(ReferenceServer, CommandLineEndsItByItselfAndRefusesASecondServer) {
    AppDataWithSettings appData("1280,720");
    const UniqueEvent live = Testing::OpenServerLiveEvent();

    EXPECT_EQ(Testing::RunProgram(Testing::ReferenceServerPath(), L"--bogus", 20000), 2u);
    EXPECT_EQ(Testing::RunProgram(Testing::ReferenceServerPath(), L"--frames", 20000), 2u);
    EXPECT_EQ(Testing::RunProgram(Testing::ReferenceServerPath(), L"--quit", 20000), 1u); // none running

    {
        // --frames N: ends once N frames were drawn.
        ServerProcess server(appData.Path(), L"--frames 5");
        ASSERT_TRUE(server.WaitUntilLive());
        // A second server finds the pipe taken and leaves at once.
        {
            Testing::ScopedEnvironment environment(L"APPDATA", appData.Path());
            EXPECT_EQ(Testing::RunProgram(Testing::ReferenceServerPath(), L"", 20000), 1u);
        }
        EXPECT_EQ(WaitForSingleObject(live.get(), 0), WAIT_OBJECT_0); // the first still runs
        RawClient client;
        ASSERT_TRUE(client.Open());
        ASSERT_TRUE(client.Ask(3));
        EXPECT_EQ(Testing::WaitForExit(server.Process(), 20000), 0u);
        EXPECT_NE(WaitForSingleObject(live.get(), 0), WAIT_OBJECT_0); // reset on the way out
    }
    {
        // --seconds S: ends after about S seconds.
        const auto start = Clock::now();
        ServerProcess server(appData.Path(), L"--seconds 1");
        ASSERT_TRUE(server.WaitUntilLive());
        EXPECT_EQ(Testing::WaitForExit(server.Process(), 20000), 0u);
        EXPECT_GT(SecondsSince(start), 0.9);
        EXPECT_NE(WaitForSingleObject(live.get(), 0), WAIT_OBJECT_0);
    }
}

TEST(ReferenceServer, WhileItRunsTheLaunchIsSkippedAndTheFirstAttemptConnects) {
    AppDataWithSettings appData("1280,720");
    ServerProcess server(appData.Path());
    ASSERT_TRUE(server.WaitUntilLive());

    auto& filterLog = Testing::FilterLogFile::Instance();
    const std::size_t mark = filterLog.Mark();
    auto client = std::make_shared<WebcamClient>(FilterLogFactory());
    const auto start = Clock::now();
    LaunchServerIfNeeded(client);
    EXPECT_LT(SecondsSince(start), 0.4); // the event is set: no wait
    Tasks::cancellation_token_source source;
    EXPECT_TRUE(client->ConnectToServer(source.get_token()));
    const Lines lines = filterLog.LinesSince(mark);
    EXPECT_THAT(lines, ::testing::Not(Contains(StartsWith("[Prepare/ConnectToServer]"))));
    EXPECT_THAT(lines, ::testing::Not(Contains(StartsWith("[ConnectControlPipe] WaitNamedPipe: error: "))));
    EXPECT_THAT(lines, Contains("[ConnectControlPipe] after WaitNamedPipe"));
    // The filter's factory writes real times: 13 digits in current years.
    EXPECT_THAT(lines, Contains("[CheckForServer] <time>"));
    EXPECT_THAT(lines, Contains("[CheckForServer] WaitForSingleObject: server_event_result, 0"));
    client->Disconnect();
    EXPECT_EQ(server.Quit(), 0u);
}

TEST(ServerPattern, EveryByteIsItsKnownFunctionAndRowPaddingIsLeftAlone) {
    constexpr std::uint32_t kWidth = 6, kHeight = 4;
    constexpr std::size_t kPitch = 8;
    for (std::uint64_t frame : {0ull, 1ull, 77ull}) {
        std::vector<std::uint8_t> image(Server::PatternFrameBytes(kHeight, kPitch), 0xEE);
        Server::DrawPatternNV12(kWidth, kHeight, frame, image.data(), kPitch);
        for (std::uint32_t y = 0; y < kHeight; ++y) {
            for (std::uint32_t x = 0; x < kPitch; ++x) {
                const std::uint8_t expected = x < kWidth ? Server::PatternLuma(x, y, frame) : 0xEE;
                EXPECT_EQ(image[y * kPitch + x], expected) << "luma " << x << "," << y;
            }
        }
        for (std::uint32_t cy = 0; cy < kHeight / 2; ++cy) {
            const std::uint8_t* row = image.data() + kPitch * kHeight + kPitch * cy;
            for (std::uint32_t cx = 0; cx < kWidth / 2; ++cx) {
                EXPECT_EQ(row[2 * cx], Server::PatternU(cx, cy, frame));
                EXPECT_EQ(row[2 * cx + 1], Server::PatternV(cx, cy, frame));
            }
            EXPECT_EQ(row[kWidth], 0xEE);
            EXPECT_EQ(row[kWidth + 1], 0xEE);
        }
    }
    // The picture moves: consecutive frames differ in every luma byte.
    EXPECT_NE(Server::PatternLuma(3, 2, 10), Server::PatternLuma(3, 2, 11));
}

} // namespace
} // namespace Zarvo::IPC
