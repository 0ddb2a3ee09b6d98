// Finding the server and opening the control pipe: the event check, the retry loop with its
// waits, pauses and cancellation, busy instances, and closing.
#include "IPC/WebcamClient.h"

#include "IpcTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <regex>

namespace Zarvo::IPC {
namespace {

using Testing::Clock;
using Testing::ScriptedPipe;
using Testing::ScriptedServer;
using Testing::SecondsSince;
using Testing::TestLog;
using ::testing::ElementsAre;

using Lines = std::vector<std::string>;

Lines After(const Lines& lines, std::size_t mark) { return Lines(lines.begin() + static_cast<long>(mark), lines.end()); }

std::size_t Count(const Lines& lines, const std::string& line) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

TEST(CheckForServer, ReportsTheEventStateAndTheWaitResult) {
    UniqueEvent live = Testing::OpenServerLiveEvent();
    ASSERT_TRUE(live);
    ResetEvent(live.get());
    TestLog log;
    WebcamClient client(log.Factory());

    std::size_t mark = log.Lines().size();
    auto start = Clock::now();
    EXPECT_FALSE(client.CheckForServer());
    EXPECT_GT(SecondsSince(start), 0.4);
    EXPECT_THAT(After(log.Lines(), mark),
                ElementsAre("[CheckForServer] <time>", "[CheckForServer] WaitForSingleObject: server_event_result, 258"));

    SetEvent(live.get());
    mark = log.Lines().size();
    start = Clock::now();
    EXPECT_TRUE(client.CheckForServer());
    EXPECT_LT(SecondsSince(start), 0.4);
    EXPECT_THAT(After(log.Lines(), mark),
                ElementsAre("[CheckForServer] <time>", "[CheckForServer] WaitForSingleObject: server_event_result, 0"));

    // A client made while the event is set opens it with its state kept.
    WebcamClient later(log.Factory());
    EXPECT_TRUE(later.CheckForServer());
    ResetEvent(live.get());
}

TEST(CheckForServer, WithoutAnEventTheWaitFailsAndNoServerIsSeen) {
    // Another kind of object holding the name makes the event impossible to create.
    UniqueHandleNull squatter(CreateSemaphoreW(nullptr, 0, 1, kServerLiveEventName));
    ASSERT_TRUE(squatter) << "the name is in use by an event already";
    TestLog log;
    WebcamClient client(log.Factory());
    EXPECT_FALSE(client.CheckForServer());
    EXPECT_THAT(log.Lines(), ElementsAre("[ControlObject] <time>", "[ControlObject] CreateEvent: 0000000000000000",
                                         "[WebcamClient] <time>", "[CheckForServer] <time>",
                                         "[CheckForServer] WaitForSingleObject: server_event_result, 4294967295"));
}

TEST(ConnectToServer, WithoutServerRetriesEveryHalfSecondUntilCancelled) {
    TestLog log;
    WebcamClient client(log.Factory());

    // Cancelled before the first attempt: no attempt at all.
    {
        Tasks::cancellation_token_source source;
        source.cancel();
        EXPECT_FALSE(client.ConnectToServer(source.get_token()));
        EXPECT_THAT(After(log.Lines(), 3), ElementsAre("[ConnectToServer] <time>", "[ConnectControlPipe] <time>",
                                                       "[ConnectControlPipe] is_canceled, 1"));
    }

    const std::size_t mark = log.Lines().size();
    Tasks::cancellation_token_source source;
    Clock::time_point cancelledAt;
    std::thread canceller([&] {
        // Lets a few attempts happen; nothing to wait for but time itself.
        std::this_thread::sleep_for(std::chrono::milliseconds(1600));
        cancelledAt = Clock::now();
        source.cancel();
    });
    const auto start = Clock::now();
    const bool connected = client.ConnectToServer(source.get_token());
    const auto returned = Clock::now();
    canceller.join();

    EXPECT_FALSE(connected);
    EXPECT_LT(std::chrono::duration<double>(returned - cancelledAt).count(), 1.5);
    const double elapsed = std::chrono::duration<double>(returned - start).count();
    const Lines lines = After(log.Lines(), mark);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines.front(), "[ConnectToServer] <time>");
    EXPECT_EQ(lines[1], "[ConnectControlPipe] <time>");
    EXPECT_EQ(lines.back(), "[ConnectControlPipe] is_canceled, 1");
    const Lines attempts(lines.begin() + 2, lines.end() - 1);
    EXPECT_EQ(Count(attempts, "[ConnectControlPipe] WaitNamedPipe: error: 2"), attempts.size());
    // One attempt per 500 ms pause: about elapsed / 0.5 of them.
    EXPECT_GE(attempts.size(), static_cast<std::size_t>(elapsed / 0.8));
    EXPECT_LE(attempts.size(), static_cast<std::size_t>(elapsed / 0.4) + 1);
}

TEST(ConnectToServer, AnOpenPipeIsKeptAndDisconnectClosesItOnce) {
    ScriptedServer server({[](ScriptedPipe& pipe) {
        std::uint32_t command = 0;
        while (pipe.ReadRequest(command)) {
        }
    }});
    TestLog log;
    WebcamClient client(log.Factory());
    Tasks::cancellation_token_source source;

    std::size_t mark = log.Lines().size();
    ASSERT_TRUE(client.ConnectToServer(source.get_token()));
    Lines lines = After(log.Lines(), mark);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "[ConnectToServer] <time>");
    EXPECT_EQ(lines[1], "[ConnectControlPipe] <time>");
    EXPECT_EQ(lines[2], "[ConnectControlPipe] after WaitNamedPipe");
    std::smatch handle;
    ASSERT_TRUE(std::regex_match(lines[3], handle, std::regex(R"(\[ConnectControlPipe\] CreateFile: ([0-9A-F]{16}))")))
        << lines[3];
    EXPECT_NE(handle[1].str(), "FFFFFFFFFFFFFFFF");
    EXPECT_EQ(lines[4], "[ConnectControlPipe] is_canceled, 0");

    mark = log.Lines().size();
    EXPECT_TRUE(client.ConnectToServer(source.get_token()));
    EXPECT_THAT(After(log.Lines(), mark),
                ElementsAre("[ConnectToServer] <time>", "[ConnectControlPipe] <time>",
                            "[ConnectControlPipe] mCommandPipe already initialized",
                            "[ConnectControlPipe] is_canceled, 0"));

    mark = log.Lines().size();
    EXPECT_TRUE(client.Disconnect());
    EXPECT_TRUE(client.Disconnect());
    EXPECT_THAT(After(log.Lines(), mark),
                ElementsAre("[Disconnect] <time>", "[Disconnect] mCommandPipe, " + handle[1].str(),
                            "[Disconnect] <time>", "[Disconnect] mCommandPipe, FFFFFFFFFFFFFFFF"));
}

// One round: the only pipe instance is held by another client and freed again and again for
// an instant, taken back at once by that client. A client waiting for the pipe wakes up to
// find it taken. Returns the client's log.
Lines ContendForTheOnlyInstance(bool& connected) {
    UniqueFile serverEnd(CreateNamedPipeW(kControlPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                          PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr));
    UniqueEvent connectedEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    EXPECT_TRUE(serverEnd && connectedEvent);
    auto openClient = [] {
        return UniqueFile(
            CreateFileW(kControlPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    };
    UniqueFile other = openClient();
    EXPECT_TRUE(other);

    TestLog log;
    WebcamClient client(log.Factory());
    Tasks::cancellation_token_source source;
    std::atomic<bool> done{false};
    std::thread connector([&] {
        connected = client.ConnectToServer(source.get_token());
        done = true;
    });

    OVERLAPPED listen{};
    auto freeInstance = [&] {
        other.reset();
        DisconnectNamedPipe(serverEnd.get());
        listen = OVERLAPPED{};
        listen.hEvent = connectedEvent.get();
        ConnectNamedPipe(serverEnd.get(), &listen);
    };
    const auto start = Clock::now();
    while (!done && SecondsSince(start) < 2.0) {
        freeInstance();
        other = openClient();
        if (!other)
            break; // the waiting client won this race and holds the instance
    }
    if (other)
        freeInstance(); // now let the client in
    connector.join();
    client.Disconnect();
    DWORD ignored = 0;
    CancelIoEx(serverEnd.get(), &listen);
    GetOverlappedResult(serverEnd.get(), &listen, &ignored, TRUE);
    return log.Lines();
}

TEST(ConnectToServer, BusyInstancesAreRetriedAtOnceUntilOneIsFree) {
    bool sawBusy = false;
    for (int round = 0; round < 5 && !sawBusy; ++round) {
        bool connected = false;
        const Lines lines = ContendForTheOnlyInstance(connected);
        EXPECT_TRUE(connected);
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(lines[lines.size() - 3], "[ConnectControlPipe] is_canceled, 0"); // then Disconnect's two
        for (std::size_t i = 0; i + 2 < lines.size(); ++i) {
            if (lines[i] != "[ConnectControlPipe] CreateFile: error: 231")
                continue;
            sawBusy = true;
            EXPECT_EQ(lines[i - 1], "[ConnectControlPipe] CreateFile: FFFFFFFFFFFFFFFF");
            EXPECT_EQ(lines[i + 1], "[ConnectControlPipe] ERROR_PIPE_BUSY");
            // Straight into the next wait: its result is the next line.
            EXPECT_TRUE(lines[i + 2] == "[ConnectControlPipe] after WaitNamedPipe" ||
                        lines[i + 2].rfind("[ConnectControlPipe] WaitNamedPipe: error: ", 0) == 0)
                << lines[i + 2];
        }
    }
    EXPECT_TRUE(sawBusy) << "no round produced a busy instance after a successful wait";
}

} // namespace
} // namespace Zarvo::IPC
