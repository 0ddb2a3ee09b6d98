// The client against a scripted pipe server that gives the answers the reference server never
// gives (short, missing, late, cut off), against no server, and against busy instances.
#include "IPC/WebcamClient.h"

#include "IpcTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

namespace Zarvo::IPC {
namespace {

using ::testing::AllOf;
using Testing::Clock;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;
using Testing::SecondsSince;
using ::testing::StartsWith;
using Testing::TestLog;

using Lines = std::vector<std::string>;

Lines After(const Lines& lines, std::size_t mark) {
    return Lines(lines.begin() + static_cast<long>(mark), lines.end());
}

void Connect(WebcamClient& client) {
    Tasks::cancellation_token_source source;
    ASSERT_TRUE(client.ConnectToServer(source.get_token()));
}

// One request of the table: the call, how the server answers it, and what the client makes
// of that.
struct Step {
    enum Reply { Answer, AnswerThenClose, AnswerLate };
    std::function<std::uint64_t(WebcamClient&)> call;
    std::uint32_t command; // 0: the request must not reach the server
    Reply reply;
    DWORD bytes; // of `answer` written
    Status answer;
    std::uint64_t result;
    Lines lines;
    bool reconnectFirst = false;
};

// The lines of one complete exchange of a named request.
Lines Exchange(const std::string& op, const std::string& commandSuccessBytes,
               const std::string& handlerLine) {
    return {"[" + op + "] <time>", "[HandleRequest] <time>",
            "[HandleRequest] command/success/bytes_read, " + commandSuccessBytes, "[" + op + "] <time>",
            "[" + op + "] " + handlerLine};
}

// Serves the control pipe on its only instance, one client after the other, answering each
// request as the next step that reaches the server says. Every wait also ends when the
// server is destroyed, so it can never hang a test.
class ScriptedServer {
public:
    explicit ScriptedServer(const std::vector<Step>& steps)
        : mSteps(steps), mStop(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          mIo(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          mPipe(CreateNamedPipeW(kControlPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                 PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr)),
          mThread([this] { Run(); }) {}
    ~ScriptedServer() { Stop(); }
    // Ends the serving; the commands received, in order.
    std::vector<std::uint32_t> Stop() {
        SetEvent(mStop.get());
        if (mThread.joinable())
            mThread.join();
        return mReceived;
    }
    UniqueEvent late{CreateEventW(nullptr, FALSE, FALSE, nullptr)}; // set: a late answer may go

private:
    bool Wait(HANDLE event) {
        const HANDLE events[2] = {event, mStop.get()};
        return WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0;
    }
    // 0 = write, 1 = read, 2 = connect; the bytes moved.
    DWORD Io(int what, void* data, DWORD size) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = mIo.get();
        DWORD done = 0;
        const BOOL started = what == 0   ? WriteFile(mPipe.get(), data, size, nullptr, &overlapped)
                             : what == 1 ? ReadFile(mPipe.get(), data, size, nullptr, &overlapped)
                                         : ConnectNamedPipe(mPipe.get(), &overlapped);
        if (!started && GetLastError() != ERROR_IO_PENDING)
            return 0;
        if (!Wait(overlapped.hEvent))
            CancelIoEx(mPipe.get(), &overlapped);
        return GetOverlappedResult(mPipe.get(), &overlapped, &done, TRUE) ? done : 0;
    }
    void Run() {
        std::size_t next = 0;
        while (mPipe && WaitForSingleObject(mStop.get(), 0) == WAIT_TIMEOUT) {
            Io(2, nullptr, 0);
            std::uint32_t command = 0;
            while (Io(1, &command, sizeof(command)) == sizeof(command)) {
                mReceived.push_back(command);
                while (next < mSteps.size() && mSteps[next].command == 0)
                    ++next;
                if (next == mSteps.size())
                    break;
                const Step& step = mSteps[next++];
                if (step.reply == Step::AnswerLate && !Wait(late.get()))
                    return;
                Status answer = step.answer;
                if (step.bytes > 0)
                    Io(0, &answer, step.bytes);
                if (step.reply == Step::AnswerThenClose)
                    break;
            }
            DisconnectNamedPipe(mPipe.get());
        }
    }

    const std::vector<Step>& mSteps;
    std::vector<std::uint32_t> mReceived; // guarded by joining mThread
    UniqueEvent mStop, mIo;
    UniqueFile mPipe;
    std::thread mThread;
};

TEST(WebcamClient, EveryRequestSendsItsCodeAndGivesItsResultAndLogLinesForEveryKindOfAnswer) {
    const auto start = [](WebcamClient& c) -> std::uint64_t { return c.StartCamera(); };
    const auto stop = [](WebcamClient& c) -> std::uint64_t { return c.StopCamera(); };
    const auto texture = [](WebcamClient& c) -> std::uint64_t { return c.OpenSharedTexture(); };
    const auto tick = [](WebcamClient& c) -> std::uint64_t { return c.FrameTick(), 0; };
    // The general request hands the whole record to its handler.
    const auto whole = [](WebcamClient& c) -> std::uint64_t {
        return c.HandleRequest(1, WebcamClient::HandleHandler([](const Status& s) {
                                   return s.shared_texture + s.frame_flag + s.is_camera_live;
                               }));
    };
    const std::string timeOut = " ms; later requests on this connection fail";
    const Status live{0x1234, 1, 1};
    const std::vector<Step> steps = {
        {start, 3, Step::Answer, 16, {0, 0, 1}, 1, Exchange("StartCamera", "3,1,16", "is_camera_live, 1")},
        {texture,
         1,
         Step::Answer,
         16,
         {0x1F4, 0, 1},
         0x1F4,
         Exchange("OpenSharedTexture", "1,1,16", "shared_texture, 00000000000001F4")},
        {tick, 2, Step::Answer, 16, {0, 1, 1}, 0, {}}, // the per-frame request writes no line
        {stop, 4, Step::Answer, 16, {0, 0, 0}, 1, Exchange("StopCamera", "4,1,16", "is_camera_live, 0")},
        {whole,
         1,
         Step::Answer,
         16,
         {0x100, 0x20, 3},
         0x123,
         {"[HandleRequest] <time>", "[HandleRequest] command/success/bytes_read, 1,1,16"}},
        // Short answers: the missing bytes read as zeros.
        {start, 3, Step::Answer, 8, live, 0, Exchange("StartCamera", "3,1,8", "is_camera_live, 0")},
        {stop, 4, Step::Answer, 12, live, 1, Exchange("StopCamera", "4,1,12", "is_camera_live, 0")},
        {stop, 4, Step::Answer, 16, live, 0, Exchange("StopCamera", "4,1,16", "is_camera_live, 1")},
        {texture,
         1,
         Step::Answer,
         5,
         {0xAABBCCDDEEFF0011ull, 0, 0},
         0xDDEEFF0011ull,
         Exchange("OpenSharedTexture", "1,1,5", "shared_texture, 000000DDEEFF0011")},
        // Closed mid-answer: the bytes that came count; then every write fails, nothing is
        // read and no handler Log is made.
        {start,
         3,
         Step::AnswerThenClose,
         6,
         {0, 0, 1},
         0,
         Exchange("StartCamera", "3,1,6", "is_camera_live, 0")},
        {stop, 0, Step::Answer, 0, {}, 0, {"[StopCamera] <time>"}},
        {texture, 0, Step::Answer, 0, {}, 0, {"[OpenSharedTexture] <time>"}},
        {tick, 0, Step::Answer, 0, {}, 0, {}},
        // Closed without an answer: the read fails after a good write.
        {texture,
         1,
         Step::AnswerThenClose,
         0,
         {},
         0,
         {"[OpenSharedTexture] <time>", "[HandleRequest] <time>",
          "[HandleRequest] command/success/bytes_read, 1,0,0"},
         true},
        // No answer in time: the exchange fails after 2 s, and later ones at once, although
        // the late answer arrives meanwhile; a new connection is in step again.
        {start,
         3,
         Step::AnswerLate,
         16,
         live,
         0,
         {"[StartCamera] <time>", "[HandleRequest] <time>",
          "[HandleRequest] ERROR: time-out: command 3: no answer within 2000" + timeOut,
          "[HandleRequest] command/success/bytes_read, 3,0,0"},
         true},
        {stop, 0, Step::Answer, 0, {}, 0, {"[StopCamera] <time>"}},
        {texture, 0, Step::Answer, 0, {}, 0, {"[OpenSharedTexture] <time>"}},
        {start,
         3,
         Step::Answer,
         16,
         {0, 0, 1},
         1,
         Exchange("StartCamera", "3,1,16", "is_camera_live, 1"),
         true},
        // A per-frame request that times out does log.
        {tick,
         2,
         Step::AnswerLate,
         16,
         live,
         0,
         {"[HandleRequest] <time>",
          "[HandleRequest] ERROR: time-out: command 2: no answer within 2000" + timeOut}},
    };
    ScriptedServer server(steps);
    TestLog log;
    {
        WebcamClient client(log.Factory());
        EXPECT_THAT(log.Lines(), ElementsAre("[ControlObject] <time>",
                                             AllOf(StartsWith("[ControlObject] CreateEvent: "),
                                                   Not(HasSubstr("0000000000000000"))),
                                             "[WebcamClient] <time>"));
        // Connecting, connecting again while connected, and disconnecting twice.
        Connect(client);
        Connect(client);
        client.Disconnect();
        client.Disconnect();
        const Lines lines = After(log.Lines(), 3);
        ASSERT_EQ(lines.size(), 13u);
        EXPECT_THAT(Lines(lines.begin(), lines.begin() + 3),
                    ElementsAre("[ConnectToServer] <time>", "[ConnectControlPipe] <time>",
                                "[ConnectControlPipe] after WaitNamedPipe"));
        const std::string handle = lines[3].substr(lines[3].rfind(' ') + 1);
        EXPECT_EQ(lines[3], "[ConnectControlPipe] CreateFile: " + handle);
        EXPECT_NE(handle, "FFFFFFFFFFFFFFFF");
        EXPECT_THAT(Lines(lines.begin() + 4, lines.end()),
                    ElementsAre("[ConnectControlPipe] is_canceled, 0", "[ConnectToServer] <time>",
                                "[ConnectControlPipe] <time>",
                                "[ConnectControlPipe] mCommandPipe already initialized",
                                "[ConnectControlPipe] is_canceled, 0", "[Disconnect] <time>",
                                "[Disconnect] mCommandPipe, " + handle, "[Disconnect] <time>",
                                "[Disconnect] mCommandPipe, FFFFFFFFFFFFFFFF"));
        Connect(client);

        for (std::size_t i = 0; i < steps.size(); ++i) {
            SCOPED_TRACE("step " + std::to_string(i));
            const Step& step = steps[i];
            if (step.reconnectFirst) {
                EXPECT_TRUE(client.Disconnect());
                Connect(client);
            }
            const std::size_t mark = log.Lines().size();
            const auto started = Clock::now();
            EXPECT_EQ(step.call(client), step.result);
            const double seconds = SecondsSince(started);
            if (step.reply == Step::AnswerLate) {
                EXPECT_GT(seconds, 1.5);
                EXPECT_LT(seconds, 8.0);
                SetEvent(server.late.get());
            } else {
                EXPECT_LT(seconds, 1.0);
            }
            EXPECT_THAT(After(log.Lines(), mark), ElementsAreArray(step.lines));
        }
    }
    EXPECT_THAT(After(log.Lines(), log.Lines().size() - 2),
                ElementsAre("[~WebcamClient] <time>", "[~ControlObject] <time>"));
    std::vector<std::uint32_t> sent;
    for (const Step& step : steps)
        if (step.command != 0)
            sent.push_back(step.command);
    EXPECT_EQ(server.Stop(), sent);
}

TEST(ConnectToServer, WithoutServerRetriesEveryHalfSecondAndStopsPromptlyWhenCancelled) {
    TestLog log;
    WebcamClient client(log.Factory());
    Tasks::cancellation_token_source source;
    Clock::time_point cancelledAt;
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1200)); // lets a few attempts happen
        cancelledAt = Clock::now();
        source.cancel();
    });
    const auto start = Clock::now();
    EXPECT_FALSE(client.ConnectToServer(source.get_token()));
    const double elapsed = SecondsSince(start);
    canceller.join();
    EXPECT_LT(SecondsSince(cancelledAt), 1.0);

    const Lines lines = After(log.Lines(), 3);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_THAT(Lines(lines.begin(), lines.begin() + 2),
                ElementsAre("[ConnectToServer] <time>", "[ConnectControlPipe] <time>"));
    EXPECT_EQ(lines.back(), "[ConnectControlPipe] is_canceled, 1");
    const Lines attempts(lines.begin() + 2, lines.end() - 1);
    EXPECT_THAT(attempts, ::testing::Each("[ConnectControlPipe] WaitNamedPipe: error: 2"));
    // One attempt per 500 ms pause.
    EXPECT_GE(attempts.size(), static_cast<std::size_t>(elapsed / 0.8));
    EXPECT_LE(attempts.size(), static_cast<std::size_t>(elapsed / 0.4) + 1);
}

TEST(ConnectToServer, BusyInstancesAreRetriedAtOnceUntilOneIsFree) {
    // The only instance is held by another client and freed again and again for an instant,
    // taken back at once by that client: the waiting client wakes to find it taken.
    bool sawBusy = false;
    for (int round = 0; round < 5 && !sawBusy; ++round) {
        UniqueFile serverEnd(CreateNamedPipeW(kControlPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                              PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr));
        UniqueEvent listening(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        const auto open = [] {
            return UniqueFile(CreateFileW(kControlPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
        };
        UniqueFile other = open();
        ASSERT_TRUE(serverEnd && listening && other);
        TestLog log;
        WebcamClient client(log.Factory());
        std::atomic<bool> connected{false}, done{false};
        std::thread connector([&] {
            Tasks::cancellation_token_source source;
            connected = client.ConnectToServer(source.get_token());
            done = true;
        });
        OVERLAPPED listen{};
        const auto free = [&] {
            other.reset();
            DisconnectNamedPipe(serverEnd.get());
            listen = OVERLAPPED{};
            listen.hEvent = listening.get();
            ConnectNamedPipe(serverEnd.get(), &listen);
        };
        const auto start = Clock::now();
        while (!done && SecondsSince(start) < 2.0 && (free(), other = open()))
            ;
        if (other)
            free(); // now let the client in
        connector.join();
        DWORD ignored = 0;
        CancelIoEx(serverEnd.get(), &listen);
        GetOverlappedResult(serverEnd.get(), &listen, &ignored, TRUE);
        EXPECT_TRUE(connected);

        const Lines lines = log.Lines();
        EXPECT_EQ(lines.back(), "[ConnectControlPipe] is_canceled, 0");
        for (std::size_t i = 1; i + 2 < lines.size(); ++i) {
            if (lines[i] != "[ConnectControlPipe] CreateFile: error: 231")
                continue;
            sawBusy = true;
            EXPECT_EQ(lines[i - 1], "[ConnectControlPipe] CreateFile: FFFFFFFFFFFFFFFF");
            EXPECT_EQ(lines[i + 1], "[ConnectControlPipe] ERROR_PIPE_BUSY");
            // Straight into the next wait: its result is the next line.
            EXPECT_THAT(lines[i + 2], StartsWith("[ConnectControlPipe] ")) << lines[i + 2];
            EXPECT_TRUE(lines[i + 2] == "[ConnectControlPipe] after WaitNamedPipe" ||
                        lines[i + 2].rfind("[ConnectControlPipe] WaitNamedPipe: error: ", 0) == 0)
                << lines[i + 2];
        }
    }
    EXPECT_TRUE(sawBusy) << "no round produced a busy instance after a successful wait";
}

} // namespace
} // namespace Zarvo::IPC
