// The requests of the control pipe against a scripted server: bytes on the wire, results,
// every log line, short and missing answers, and the bounded exchange.
#include "IPC/WebcamClient.h"

#include "IpcTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <regex>

namespace Zarvo::IPC {
namespace {

using Testing::Clock;
using Testing::ScriptedPipe;
using Testing::ScriptedServer;
using Testing::SecondsSince;
using Testing::TestLog;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

using Lines = std::vector<std::string>;

Status Answer(std::uint64_t texture, std::uint32_t frameFlag, std::uint32_t live) {
    Status status{};
    status.shared_texture = texture;
    status.frame_flag = frameFlag;
    status.is_camera_live = live;
    return status;
}

// Connects to whatever serves the pipe now; fails the test rather than waiting forever.
void Connect(WebcamClient& client) {
    Tasks::cancellation_token_source source;
    ASSERT_TRUE(client.ConnectToServer(source.get_token()));
}

// The log lines from `mark` on.
Lines After(const Lines& lines, std::size_t mark) { return Lines(lines.begin() + static_cast<long>(mark), lines.end()); }

TEST(WebcamClient, ConstructionAndDestructionWriteTheirLines) {
    TestLog log;
    { WebcamClient client(log.Factory()); }
    const Lines lines = log.Lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "[ControlObject] <time>");
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(\[ControlObject\] CreateEvent: [0-9A-F]{16})"))) << lines[1];
    EXPECT_NE(lines[1], "[ControlObject] CreateEvent: 0000000000000000");
    EXPECT_EQ(lines[2], "[WebcamClient] <time>");
    EXPECT_EQ(lines[3], "[~WebcamClient] <time>");
    EXPECT_EQ(lines[4], "[~ControlObject] <time>");
}

TEST(WebcamClient, EachRequestSendsItsCodeAndLogsItsExchange) {
    std::vector<std::uint32_t> received;
    auto server = std::make_unique<ScriptedServer>(std::vector<ScriptedServer::Script>{[&](ScriptedPipe& pipe) {
        std::uint32_t command = 0;
        while (pipe.ReadRequest(command)) {
            received.push_back(command);
            const Status answers[] = {Answer(0, 0, 0), Answer(0x1F4, 0, 1), Answer(0, 1, 1), Answer(0, 0, 1),
                                      Answer(0, 0, 0)};
            pipe.WriteStatus(command <= 4 ? answers[command] : Answer(0, 0, 0));
        }
    }});
    ASSERT_TRUE(server->Created());
    TestLog log;
    WebcamClient client(log.Factory());
    Connect(client);

    std::size_t mark = log.Lines().size();
    EXPECT_TRUE(client.StartCamera());
    EXPECT_THAT(After(log.Lines(), mark), ElementsAre("[StartCamera] <time>", "[HandleRequest] <time>",
                                                      "[HandleRequest] command/success/bytes_read, 3,1,16",
                                                      "[StartCamera] <time>", "[StartCamera] is_camera_live, 1"));

    mark = log.Lines().size();
    EXPECT_EQ(client.OpenSharedTexture(), 0x1F4u);
    EXPECT_THAT(After(log.Lines(), mark),
                ElementsAre("[OpenSharedTexture] <time>", "[HandleRequest] <time>",
                            "[HandleRequest] command/success/bytes_read, 1,1,16", "[OpenSharedTexture] <time>",
                            "[OpenSharedTexture] shared_texture, 00000000000001F4"));

    // The per-frame request writes nothing and creates no Log.
    mark = log.Lines().size();
    for (int i = 0; i < 20; ++i)
        client.FrameTick();
    EXPECT_THAT(After(log.Lines(), mark), IsEmpty());

    mark = log.Lines().size();
    EXPECT_TRUE(client.StopCamera());
    EXPECT_THAT(After(log.Lines(), mark), ElementsAre("[StopCamera] <time>", "[HandleRequest] <time>",
                                                      "[HandleRequest] command/success/bytes_read, 4,1,16",
                                                      "[StopCamera] <time>", "[StopCamera] is_camera_live, 0"));

    // Both forms of the general request hand the whole record to their handler.
    Status seen{};
    EXPECT_EQ(client.HandleRequest(1, WebcamClient::HandleHandler([&](const Status& s) {
                  seen = s;
                  return s.shared_texture + 1;
              })),
              0x1F5u);
    EXPECT_EQ(seen.is_camera_live, 1u);
    EXPECT_TRUE(client.HandleRequest(2, WebcamClient::FlagHandler([](const Status& s) { return s.frame_flag == 1; })));

    client.Disconnect();
    server.reset(); // its thread has seen every request
    std::vector<std::uint32_t> expected = {3, 1};
    expected.insert(expected.end(), 20, 2);
    expected.insert(expected.end(), {4, 1, 2});
    EXPECT_EQ(received, expected);
}

TEST(WebcamClient, ShortAnswersReadAsZerosAndStopWithALiveCameraFails) {
    ScriptedServer server({[](ScriptedPipe& pipe) {
        std::uint32_t command = 0;
        // StartCamera: only the handle field arrives.
        ASSERT_TRUE(pipe.ReadRequest(command));
        Status live = Answer(0x1234, 1, 1);
        pipe.Write(&live, 8);
        // StopCamera: 12 bytes, is_camera_live missing.
        ASSERT_TRUE(pipe.ReadRequest(command));
        pipe.Write(&live, 12);
        // StopCamera answered with a live camera.
        ASSERT_TRUE(pipe.ReadRequest(command));
        pipe.WriteStatus(live);
        // OpenSharedTexture: 5 bytes, the upper bytes of the handle missing.
        ASSERT_TRUE(pipe.ReadRequest(command));
        const Status handle = Answer(0xAABBCCDDEEFF0011ull, 0, 0);
        pipe.Write(&handle, 5);
        pipe.ReadRequest(command);
    }});
    TestLog log;
    WebcamClient client(log.Factory());
    Connect(client);

    std::size_t mark = log.Lines().size();
    EXPECT_FALSE(client.StartCamera());
    EXPECT_THAT(After(log.Lines(), mark), ElementsAre("[StartCamera] <time>", "[HandleRequest] <time>",
                                                      "[HandleRequest] command/success/bytes_read, 3,1,8",
                                                      "[StartCamera] <time>", "[StartCamera] is_camera_live, 0"));
    EXPECT_TRUE(client.StopCamera());
    mark = log.Lines().size();
    EXPECT_FALSE(client.StopCamera());
    EXPECT_THAT(After(log.Lines(), mark), ElementsAre("[StopCamera] <time>", "[HandleRequest] <time>",
                                                      "[HandleRequest] command/success/bytes_read, 4,1,16",
                                                      "[StopCamera] <time>", "[StopCamera] is_camera_live, 1"));
    EXPECT_EQ(client.OpenSharedTexture(), 0xDDEEFF0011ull); // little-endian bytes 11 00 FF EE DD
}

TEST(WebcamClient, ABrokenPipeFailsTheReadThenTheWriteWithoutHandlerLogs) {
    ScriptedServer server({
        // Closes mid-answer: 6 of the 16 bytes, then the connection goes.
        [](ScriptedPipe& pipe) {
            std::uint32_t command = 0;
            ASSERT_TRUE(pipe.ReadRequest(command));
            const Status live = Answer(0, 0, 1);
            pipe.Write(&live, 6);
            pipe.Close();
        },
        // Reads the request and leaves without a word.
        [](ScriptedPipe& pipe) {
            std::uint32_t command = 0;
            pipe.ReadRequest(command);
            pipe.Close();
        },
    });
    TestLog log;
    WebcamClient client(log.Factory());
    Connect(client);

    std::size_t mark = log.Lines().size();
    EXPECT_FALSE(client.StartCamera()); // the 6 bytes read; is_camera_live is beyond them
    EXPECT_THAT(After(log.Lines(), mark), ElementsAre("[StartCamera] <time>", "[HandleRequest] <time>",
                                                      "[HandleRequest] command/success/bytes_read, 3,1,6",
                                                      "[StartCamera] <time>", "[StartCamera] is_camera_live, 0"));

    // The pipe is broken now: every write fails, nothing is read and nothing logged beyond
    // the operation's own time line.
    mark = log.Lines().size();
    EXPECT_FALSE(client.StopCamera());
    EXPECT_EQ(client.OpenSharedTexture(), 0u);
    client.FrameTick();
    EXPECT_THAT(After(log.Lines(), mark), ElementsAre("[StopCamera] <time>", "[OpenSharedTexture] <time>"));

    // A read that fails after a good write still logs its exchange, with success 0.
    client.Disconnect();
    Connect(client);
    mark = log.Lines().size();
    EXPECT_EQ(client.OpenSharedTexture(), 0u);
    EXPECT_THAT(After(log.Lines(), mark), ElementsAre("[OpenSharedTexture] <time>", "[HandleRequest] <time>",
                                                      "[HandleRequest] command/success/bytes_read, 1,0,0"));

    // After Disconnect requests fail at the write.
    client.Disconnect();
    mark = log.Lines().size();
    EXPECT_FALSE(client.StartCamera());
    EXPECT_THAT(After(log.Lines(), mark), ElementsAre("[StartCamera] <time>"));
}

TEST(WebcamClient, AServerThatNeverAnswersFailsTheExchangeInTwoSecondsAndLaterOnesAtOnce) {
    UniqueEvent late(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<std::uint32_t> secondClient;
    auto server = std::make_unique<ScriptedServer>(std::vector<ScriptedServer::Script>{
        [&](ScriptedPipe& pipe) {
            std::uint32_t command = 0;
            ASSERT_TRUE(pipe.ReadRequest(command));
            // The answer comes only after the client gave up on it.
            pipe.WaitFor(late.get());
            pipe.WriteStatus(Answer(0, 0, 1));
            while (pipe.ReadRequest(command)) {
            }
        },
        [&](ScriptedPipe& pipe) {
            std::uint32_t command = 0;
            while (pipe.ReadRequest(command)) {
                secondClient.push_back(command);
                pipe.WriteStatus(Answer(0, 0, 1));
            }
        },
    });
    TestLog log;
    WebcamClient client(log.Factory());
    Connect(client);

    std::size_t mark = log.Lines().size();
    auto start = Clock::now();
    EXPECT_FALSE(client.StartCamera());
    const double waited = SecondsSince(start);
    EXPECT_GT(waited, 1.5);
    EXPECT_LT(waited, 8.0);
    EXPECT_THAT(After(log.Lines(), mark),
                ElementsAre("[StartCamera] <time>", "[HandleRequest] <time>",
                            "[HandleRequest] ERROR: time-out: command 3: no answer within 2000 ms; later requests "
                            "on this connection fail",
                            "[HandleRequest] command/success/bytes_read, 3,0,0"));

    // The late answer must not be taken for the answer to the next command.
    SetEvent(late.get());
    mark = log.Lines().size();
    start = Clock::now();
    EXPECT_FALSE(client.StopCamera());
    EXPECT_EQ(client.OpenSharedTexture(), 0u);
    client.FrameTick();
    EXPECT_LT(SecondsSince(start), 1.0);
    EXPECT_THAT(After(log.Lines(), mark), ElementsAre("[StopCamera] <time>", "[OpenSharedTexture] <time>"));

    // Disconnect still works, and a new connection is in step again.
    mark = log.Lines().size();
    EXPECT_TRUE(client.Disconnect());
    const Lines disconnect = After(log.Lines(), mark);
    ASSERT_EQ(disconnect.size(), 2u);
    EXPECT_NE(disconnect[1], "[Disconnect] mCommandPipe, FFFFFFFFFFFFFFFF");
    Connect(client);
    EXPECT_TRUE(client.StartCamera());
    client.Disconnect();
    server.reset();
    EXPECT_EQ(secondClient, (std::vector<std::uint32_t>{3}));
}

TEST(WebcamClient, ARequestThePipeDoesNotTakeAlsoTimesOut) {
    // No inbound buffer and nobody reading: the request itself cannot be delivered (or, where
    // the platform buffers it anyway, its answer never comes). Either way the per-frame
    // request, which normally logs nothing, reports the time-out.
    UniqueEvent release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ScriptedServer server({[&](ScriptedPipe& pipe) { pipe.WaitFor(release.get()); }}, 0);
    TestLog log;
    WebcamClient client(log.Factory());
    Connect(client);

    std::size_t mark = log.Lines().size();
    const auto start = Clock::now();
    client.FrameTick();
    const double waited = SecondsSince(start);
    EXPECT_GT(waited, 1.5);
    EXPECT_LT(waited, 8.0);
    const Lines lines = After(log.Lines(), mark);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "[HandleRequest] <time>");
    EXPECT_THAT(lines[1], HasSubstr("[HandleRequest] ERROR: time-out: command 2: "));
    EXPECT_THAT(lines[1], HasSubstr("2000 ms; later requests on this connection fail"));

    mark = log.Lines().size();
    const auto again = Clock::now();
    EXPECT_FALSE(client.StartCamera());
    EXPECT_LT(SecondsSince(again), 1.0);
    EXPECT_THAT(After(log.Lines(), mark), ElementsAre("[StartCamera] <time>"));
    EXPECT_TRUE(client.Disconnect());
    SetEvent(release.get());
}

} // namespace
} // namespace Zarvo::IPC
