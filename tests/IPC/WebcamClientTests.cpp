// The client against no server, busy instances and a scripted server giving the answers the
// reference server never gives (short, missing, late, cut off); the launch.
#include "IpcTestSupport.h"

#include "SecurityTestSupport.h"
#include <gmock/gmock.h>

#include <functional>
#include <future>
#include <optional>
#include <thread>

namespace Zarvo::IPC {
namespace {

using namespace Testing;
using namespace ::testing;
using Lines = std::vector<std::string>;

// One call of the table: what it sends (0: nothing may reach the server), how the server
// answers (the first `bytes` of `answer`, and past 16 bytes `answer` again), what the client
// makes of it, and a text one of its log lines holds (null: not checked; "": the call logs nothing
// at all). An answer in two writes has `first` bytes in the first.
struct Step {
    enum Reply {
        Answer,
        AnswerThenClose,
        AnswerLate,
        AnswerAfterShortBound,
        AnswerInTwo,     // the second write when the client looks for the rest (tailWanted)
        AnswerInTwoLate, // the second write when `late` is set, after the call
    };
    std::function<std::uint64_t(WebcamClient&)> call;
    std::uint32_t command = 0;
    Reply reply = Answer;
    DWORD bytes = 0;
    Status answer{};
    std::uint64_t result = 0;
    const char* line = nullptr;
    DWORD first = 0;
};

// Cancels a source after `seconds` unless destroyed first: a test whose fault would loop forever ends.
class Watchdog {
public:
    Watchdog(const Tasks::cancellation_token_source& source, DWORD seconds)
        : mThread([this, source, seconds] {
              if (WaitForSingleObject(mDone.get(), seconds * 1000) == WAIT_TIMEOUT)
                  source.cancel();
          }) {}
    ~Watchdog() {
        SetEvent(mDone.get());
        mThread.join();
    }

private:
    UniqueEvent mDone{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::thread mThread;
};

// Serves the control pipe on its only instance, one client after the other, answering each
// request as the next step that reaches the server says. Every wait also ends on Stop, so it
// can never hang a test.
class ScriptedServer {
public:
    explicit ScriptedServer(const std::vector<Step>& steps) : mSteps(steps), mThread([this] { Run(); }) {}
    ~ScriptedServer() { Stop(); }
    // Ends the serving; the commands received, in order.
    std::vector<std::uint32_t> Stop() {
        mPipe.Stop();
        if (mThread.joinable())
            mThread.join();
        return mReceived;
    }
    UniqueEvent late{CreateEventW(nullptr, FALSE, FALSE, nullptr)};  // set: a late answer may go
    UniqueEvent closed{CreateEventW(nullptr, TRUE, FALSE, nullptr)}; // set by the server's disconnects
    UniqueEvent received{CreateEventW(nullptr, TRUE, FALSE, nullptr)}; // set by each command that arrives
    UniqueEvent tailWanted{CreateEventW(nullptr, FALSE, FALSE, nullptr)};  // set: the second write may go
    UniqueEvent tailWritten{CreateEventW(nullptr, FALSE, FALSE, nullptr)}; // set by each second write
    // The impersonation level the first client's request offered; read after Stop.
    std::optional<SECURITY_IMPERSONATION_LEVEL> offered;

private:
    std::optional<SECURITY_IMPERSONATION_LEVEL> OfferedLevel() {
        HANDLE token = nullptr;
        SECURITY_IMPERSONATION_LEVEL level{};
        DWORD size = 0;
        const bool read = ImpersonateNamedPipeClient(mPipe.Handle()) &&
                          OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) &&
                          GetTokenInformation(token, TokenImpersonationLevel, &level, sizeof(level), &size);
        RevertToSelf();
        UniqueHandleNull owned(token);
        return read ? std::optional(level) : std::nullopt;
    }
    void Run() {
        std::size_t next = 0;
        while (mPipe.Serves() && !mPipe.Stopping()) {
            mPipe.Io(false, nullptr, 0);
            for (std::uint32_t command = 0; mPipe.Io(false, &command, sizeof(command)) == sizeof(command);) {
                mReceived.push_back(command);
                SetEvent(received.get());
                if (mReceived.size() == 1)
                    offered = OfferedLevel();
                while (next < mSteps.size() && mSteps[next].command == 0)
                    ++next;
                if (next == mSteps.size())
                    break;
                const Step& step = mSteps[next++];
                if ((step.reply == Step::AnswerLate || step.reply == Step::AnswerAfterShortBound) &&
                    !mPipe.Wait(late.get()))
                    return;
                Status answer[2] = {step.answer, step.answer};
                const DWORD first = step.first ? step.first : step.bytes;
                if (first > 0)
                    mPipe.Io(true, answer, first);
                if (first < step.bytes) {
                    if (!mPipe.Wait(step.reply == Step::AnswerInTwoLate ? late.get() : tailWanted.get()))
                        return;
                    mPipe.Io(true, reinterpret_cast<BYTE*>(answer) + first, step.bytes - first);
                    SetEvent(tailWritten.get());
                }
                // Disconnecting discards what the client has not read yet; the flush returns once it has.
                if (step.reply == Step::AnswerThenClose) {
                    if (step.bytes > 0)
                        FlushFileBuffers(mPipe.Handle());
                    break;
                }
            }
            DisconnectNamedPipe(mPipe.Handle());
            SetEvent(closed.get());
        }
    }

    const std::vector<Step>& mSteps;
    std::vector<std::uint32_t> mReceived; // guarded by joining mThread
    AppPipe mPipe;
    std::thread mThread;
};

// The calls of the step tables.
const auto start = [](WebcamClient& c) -> std::uint64_t { return c.StartCamera(); };
const auto texture = [](WebcamClient& c) -> std::uint64_t { return c.OpenSharedTexture(); };
const auto tick = [](WebcamClient& c) -> std::uint64_t { return c.FrameTick(); };
const auto connect = [](WebcamClient& c) -> std::uint64_t { return c.ConnectToServer({}); };
const auto disconnect = [](WebcamClient& c) -> std::uint64_t { return c.Disconnect(); };
const Step kReconnect[] = {{disconnect, 0, Step::Answer, 0, {}, 1}, {connect, 0, Step::Answer, 0, {}, 1}};

// One client through the steps against the scripted server: each call's result, its time (only the late
// steps wait, for their bound), its log line, and the commands the server saw.
void RunSteps(const std::vector<Step>& steps) {
    TestLog log;
    ScriptedServer server(steps);
    bool restOnLook = false;
    // The client obtains its request log between its first read and its look for the rest: the app
    // writes the rest then.
    WebcamClient client([&, logs = log.Factory()](std::string tag) {
        if (restOnLook && std::string_view(tag) == "HandleRequest") {
            restOnLook = false;
            SetEvent(server.tailWanted.get());
            EXPECT_EQ(WaitForSingleObject(server.tailWritten.get(), 10000), WAIT_OBJECT_0);
        }
        return logs(std::move(tag));
    });
    std::vector<std::uint32_t> sent;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE("step " + std::to_string(i));
        const Step& step = steps[i];
        const std::size_t mark = log.Lines().size();
        if (step.reply == Step::AnswerThenClose)
            ResetEvent(server.closed.get());
        restOnLook = step.reply == Step::AnswerInTwo;
        const auto started = Clock::now();
        EXPECT_EQ(step.call(client), step.result);
        EXPECT_FALSE(restOnLook) << "the rest was never asked for";
        // Room for a loaded machine.
        const double seconds = SecondsSince(started);
        const double bound = step.reply == Step::AnswerLate              ? 2.0
                             : step.reply == Step::AnswerAfterShortBound ? 0.1
                                                                         : 0;
        EXPECT_TRUE(seconds >= bound * 0.75 && seconds < bound * 3 + 1.5) << seconds;
        if (bound > 0 || step.reply == Step::AnswerInTwoLate)
            SetEvent(server.late.get());
        // The rest is there before the next request, and the next step meets the broken connection
        // rather than race the server's disconnect.
        EXPECT_TRUE(step.reply != Step::AnswerInTwoLate ||
                    WaitForSingleObject(server.tailWritten.get(), 10000) == WAIT_OBJECT_0);
        EXPECT_TRUE(step.reply != Step::AnswerThenClose ||
                    WaitForSingleObject(server.closed.get(), 10000) == WAIT_OBJECT_0);
        Lines lines = log.Lines();
        lines.erase(lines.begin(), lines.begin() + long(mark));
        if (step.line) {
            EXPECT_THAT(lines, *step.line ? Matcher<const Lines&>(Contains(HasSubstr(step.line)).Times(1))
                                          : Matcher<const Lines&>(IsEmpty()));
        }
        if (step.command != 0)
            sent.push_back(step.command);
    }
    EXPECT_EQ(server.Stop(), sent);
}

TEST(WebcamClient, EveryRequestGivesItsCodeResultAndLogLineForEveryKindOfAnswer) {
    { // A name taken by another kind of object: no event, and every wait for it fails.
        const UniqueHandleNull squatter(CreateMutexW(nullptr, FALSE, kServerLiveEventName));
        TestLog log;
        EXPECT_FALSE(WebcamClient(log.Factory()).CheckForServer());
    }
    { // The event the client makes first has the companion app's security, not the default.
        TestLog log;
        const WebcamClient first(log.Factory());
        const UniqueEvent event(OpenEventW(READ_CONTROL, FALSE, kServerLiveEventName));
        ASSERT_TRUE(event);
        EXPECT_THAT(DaclOf(event.get()), UserAndSystem(ProcessUserSid(), EVENT_ALL_ACCESS));
    }
    const auto stop = [](WebcamClient& c) -> std::uint64_t { return c.StopCamera(); };
    const auto shortStop = [](WebcamClient& c) -> std::uint64_t { return c.StopCamera(100); };
    const auto shortTick = [](WebcamClient& c) -> std::uint64_t { return c.FrameTick(std::chrono::milliseconds(100)); };
    const auto sendTick = [](WebcamClient& c) -> std::uint64_t { return c.SendFrameTick(std::chrono::seconds(2), {}); };
    const auto finishTick = [](WebcamClient& c) -> std::uint64_t { return c.FinishFrameTick({}); };
    const Status live{0x1234, 1, 1};
    const UniqueEvent liveEvent = OpenServerLiveEvent();
    const auto check = [](WebcamClient& c) -> std::uint64_t { return c.CheckForServer(); };
    const auto setAndCheck = [&](WebcamClient& c) -> std::uint64_t {
        SetEvent(liveEvent.get());
        const bool found = c.CheckForServer();
        ResetEvent(liveEvent.get());
        return found;
    };
    const auto size = [](WebcamClient& c) -> std::uint64_t {
        const auto got = c.FrameSize();
        return got.width | std::uint64_t{got.height} << 32;
    };
    const auto publish = [](WebcamClient& c) -> std::uint64_t { return c.PublishAcrossSessions(); };
    const auto& reconnect = kReconnect;
    // clang-format off
    const std::vector<Step> steps = {
        {check}, {setAndCheck, 0, Step::Answer, 0, {}, 1},
        // Connects, connects again while connected, disconnects twice.
        {connect, 0, Step::Answer, 0, {}, 1}, {connect, 0, Step::Answer, 0, {}, 1},
        {disconnect, 0, Step::Answer, 0, {}, 1}, reconnect[0], reconnect[1],
        {start, 3, Step::Answer, 16, {0, 0, 1}, 1, "[HandleRequest] command/success/bytes_read, 3,1,16"},
        {texture, 1, Step::Answer, 16, {0x1F4, 0, 1}, 0x1F4, "[OpenSharedTexture] shared_texture, 00000000000001F4"},
        {tick, 2, Step::Answer, 16, {0, 1, 1}, 1, ""}, // the per-frame request writes no line
        // The per-frame request in halves: no answer is read without a request, and a request whose
        // answer was never read leaves the connection out of step.
        {finishTick, 0, Step::Answer, 0, {}, 0, ""}, {sendTick, 2, Step::Answer, 16, {0, 1, 1}, 1, ""}, {stop},
        reconnect[0], reconnect[1],
        {stop, 4, Step::Answer, 16, {0, 0, 0}, 1, "[StopCamera] is_camera_live, 0"},
        // The requests of a camera in another session; an app that predates them answers zeros, and
        // half a size is no size.
        {size, 5, Step::Answer, 16, {1920 | std::uint64_t{1080} << 32, 0, 1}, 1920 | std::uint64_t{1080} << 32, "[FrameSize] w/h, 1920,1080"},
        {size, 5, Step::Answer, 16, {1920, 0, 0}, 0, "[FrameSize] w/h, 1920,0"},
        {publish, 6, Step::Answer, 16, {0, 1, 0}, 1, "[PublishAcrossSessions] frame_flag, 1"},
        {publish, 6, Step::Answer, 16, {0, 2, 1}, 0, "[PublishAcrossSessions] frame_flag, 0"},
        // Short answers: the missing bytes read as zeros.
        {start, 3, Step::Answer, 8, live, 0, "bytes_read, 3,1,8"},
        {stop, 4, Step::Answer, 12, live, 1, "bytes_read, 4,1,12"},
        {stop, 4, Step::Answer, 16, live, 0},
        {texture, 1, Step::Answer, 5, {0xAABBCCDDEEFF0011ull, 0, 0}, 0xDDEEFF0011ull, "bytes_read, 1,1,5"},
        // Closed mid-answer: the bytes that came count; then every write fails.
        {start, 3, Step::AnswerThenClose, 6, {0, 0, 1}, 0, "bytes_read, 3,1,6"}, {stop}, {texture}, {tick, 0, Step::Answer, 0, {}, 0, ""},
        // Closed without an answer: the read fails after a good write.
        reconnect[0], reconnect[1], {texture, 1, Step::AnswerThenClose, 0, {}, 0, "bytes_read, 1,0,0"},
        // No answer in time: fails after 2 s, later ones at once (the late answer came meanwhile);
        // a new connection is in step again.
        reconnect[0], reconnect[1],
        {start, 3, Step::AnswerLate, 16, live, 0, "[HandleRequest] ERROR: time-out: command 3: no answer within 2000 ms; later requests on this connection fail"},
        {stop}, {texture}, reconnect[0], reconnect[1], {start, 3, Step::Answer, 16, {0, 0, 1}, 1},
        // A per-frame request that times out does log, once; with its own bound, or the common one.
        {shortTick, 2, Step::AnswerAfterShortBound, 16, live, 0, "[HandleRequest] ERROR: time-out: command 2: no answer within 100 ms; later requests on this connection fail"},
        {shortTick, 0, Step::Answer, 0, {}, 0, ""}, {start}, reconnect[0], reconnect[1],
        // StopCamera with a bound of its own, as a host's Stop sends it.
        {shortStop, 4, Step::AnswerAfterShortBound, 16, live, 0, "[HandleRequest] ERROR: time-out: command 4: no answer within 100 ms; later requests on this connection fail"},
        {start}, reconnect[0], reconnect[1],
        {tick, 2, Step::AnswerLate, 16, live, 0, "ERROR: time-out: command 2: no answer within 2000 ms"},
    };
    // clang-format on
    RunSteps(steps);
}

// The pipe is a stream of bytes, so an answer written in pieces, or longer than the record, does not
// end where the client's read does. Pieces already there make the record whole; bytes still waiting
// before a request other than the per-frame one belong to an earlier answer and would be read as
// this request's, so it fails and the connection is out of step.
TEST(WebcamClient, AnAnswerInPiecesIsReadWholeAndBytesOfAnEarlierAnswerPutTheConnectionOutOfStep) {
    const auto inStep = [](WebcamClient& c) -> std::uint64_t { return c.InStep(); };
    const Status live{0x1122334455667788, 1, 1};
    const auto& reconnect = kReconnect;
    // clang-format off
    const std::vector<Step> steps = {
        {connect, 0, Step::Answer, 0, {}, 1},
        {start, 3, Step::Answer, 16, live, 1, "[HandleRequest] command/success/bytes_read, 3,1,16"},
        // The rest already there when the client looks: one record, every byte in its place.
        {texture, 1, Step::AnswerInTwo, 16, live, 0x1122334455667788, "[HandleRequest] command/success/bytes_read, 1,1,16", 5},
        {start, 3, Step::AnswerInTwo, 16, live, 1, "bytes_read, 3,1,16", 12},
        // Nothing after a short answer: zeros, and the connection goes on.
        {start, 3, Step::Answer, 8, live, 0, "bytes_read, 3,1,8"}, {inStep, 0, Step::Answer, 0, {}, 1},
        {texture, 1, Step::Answer, 16, live, 0x1122334455667788, "bytes_read, 1,1,16"},
        // The rest comes after the client looked: zeros for that request, and the next one fails.
        {start, 3, Step::AnswerInTwoLate, 16, live, 0, "bytes_read, 3,1,8", 8},
        {texture, 0, Step::Answer, 0, {}, 0, "[HandleRequest] ERROR: command 1: 8 bytes of an earlier answer still in the pipe; later requests on this connection fail"},
        {inStep, 0, Step::Answer, 0, {}, 0}, {start}, reconnect[0], reconnect[1], {inStep, 0, Step::Answer, 0, {}, 1},
        // Bytes past the record, after any request.
        {start, 3, Step::Answer, 20, live, 1, "bytes_read, 3,1,16"},
        {texture, 0, Step::Answer, 0, {}, 0, "ERROR: command 1: 4 bytes of an earlier answer still in the pipe"},
        {inStep, 0, Step::Answer, 0, {}, 0}, reconnect[0], reconnect[1],
        {tick, 2, Step::Answer, 32, live, 1, ""},
        {start, 0, Step::Answer, 0, {}, 0, "ERROR: command 3: 16 bytes of an earlier answer still in the pipe"},
        {inStep, 0, Step::Answer, 0, {}, 0},
    };
    // clang-format on
    RunSteps(steps);
}

TEST(WebcamClient, EveryWaitOfTheConnectionChainEndsSoonAfterCancellation) {
    ASSERT_NE(WaitForSingleObject(OpenServerLiveEvent().get(), 0), WAIT_OBJECT_0) << "a server runs";
    using Call = std::function<std::uint64_t(WebcamClient&, CancellationToken)>;
    using T = CancellationToken;
    enum Setup { NoServer, StaleEvent, BusyPipe, SilentServer };
    const auto launch = [](WebcamClient& c, CancellationToken token) -> std::uint64_t {
        // Not the module's folder: should the launch go ahead, there is nothing to start.
        LaunchServerIfNeeded(std::shared_ptr<WebcamClient>(&c, [](WebcamClient*) {}), token);
        return 0;
    };
    const struct {
        const char* phase;
        Setup setup;
        Call call;
        std::uint32_t sent; // the command that reaches the server
    } rows[] = {
        {"server-live event", NoServer, [](WebcamClient& c, T t) { return c.CheckForServer(t); }, 0},
        {"pause between looks for the pipe", NoServer, [](WebcamClient& c, T t) { return c.ConnectToServer(t); }, 0},
        {"launch check", NoServer, launch, 0},
        {"look for the pipe of a server whose event is set", StaleEvent, launch, 0},
        {"wait for a free instance", BusyPipe, [](WebcamClient& c, T t) { return c.ConnectToServer(t); }, 0},
        {"answer to a request", SilentServer, [](WebcamClient& c, T t) { return c.StartCamera(t); }, 3},
    };
    static const std::vector<Step> silent = {{{}, 1, Step::AnswerLate, 0, {}, 0, {}}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.phase);
        TestLog log;
        WebcamClient client(log.Factory());
        UniqueFile busyServerEnd, busyClient;
        std::optional<ScriptedServer> server;
        const UniqueEvent live = OpenServerLiveEvent();
        if (row.setup == StaleEvent) {
            SetEvent(live.get());
        } else if (row.setup == BusyPipe) { // the only instance, taken
            busyServerEnd.reset(CreateNamedPipeW(kControlPipeName, PIPE_ACCESS_DUPLEX,
                                                 PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr));
            busyClient.reset(CreateFileW(kControlPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(busyServerEnd && busyClient);
        } else if (row.setup == SilentServer) {
            server.emplace(silent);
            ASSERT_TRUE(client.ConnectToServer({}));
        }
        Tasks::cancellation_token_source source;
        Clock::time_point cancelledAt;
        std::thread canceller([&] {
            // The request is in the server's hands, so the client waits for the answer. The other
            // waits give no sign of having begun; 150 ms is well inside each, and a cancellation
            // that comes before one must end the call at once all the same.
            if (server)
                WaitForSingleObject(server->received.get(), 10000);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(150));
            cancelledAt = Clock::now();
            source.cancel();
        });
        EXPECT_EQ(row.call(client, source.get_token()), 0u);
        const auto returnedAt = Clock::now();
        canceller.join();
        const double late = std::chrono::duration<double>(returnedAt - cancelledAt).count();
        ResetEvent(live.get());
        EXPECT_TRUE(late >= 0 && late < 0.25) << late << " s after the cancellation";
        // Without a server a look every 500 ms, not a spin.
        EXPECT_THAT(log.Lines(), Contains(HasSubstr("WaitNamedPipe: error: 2")).Times(Le(2)));
        if (server) { // out of step: the next request does not reach the server
            EXPECT_FALSE(client.StopCamera() || client.FrameTick());
            EXPECT_EQ(server->Stop(), std::vector<std::uint32_t>{row.sent});
        }
    }
}

TEST(ConnectToServer, AServerInAnotherSessionOrOfAnotherUserIsRefusedOnceInTheLogAndSentNothing) {
    const auto real = LookUpOwnIdentity();
    ASSERT_TRUE(real && !real->user.empty());
    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD systemSize = sizeof(system);
    ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &systemSize));
    const PipeIdentity otherSession{real->session + 1, real->user},
        otherUser{real->session, std::vector<BYTE>(system, system + systemSize)};
    const struct {
        const char* what;
        std::optional<PipeIdentity> reported;
        std::string refusal; // empty: accepted
    } rows[] = {
        {"another session", otherSession,
         " runs in session " + std::to_string(real->session + 1) + ", this host in session " +
             std::to_string(real->session)},
        {"another user", otherUser, " runs as user S-1-5-18, this host as S-1-5-"},
        {"unreadable", std::nullopt, ": its identity is unreadable"},
        {"the same user in the same session", real, ""},
    };
    static const std::vector<Step> steps = {{{}, 3, Step::Answer, 16, {0, 0, 1}, 1, {}}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        TestLog log;
        Tasks::cancellation_token_source source;
        // What the real lookup reads from each pipe handle the client asks about: the scripted
        // server's pipe, owned by this user. The second refusal ends the connecting.
        std::vector<std::optional<PipeIdentity>> asked;
        WebcamClient client(log.Factory(), [&](HANDLE pipe) {
            asked.push_back(LookUpPipeServer(pipe));
            if (asked.size() == 2)
                source.cancel();
            return row.reported;
        });
        ScriptedServer server(steps);
        {
            const Watchdog watchdog(source, 20);
            EXPECT_EQ(client.ConnectToServer(source.get_token()), row.refusal.empty());
        }
        EXPECT_EQ(client.AcceptedServerUser(), row.refusal.empty() ? real->user : std::vector<BYTE>());
        EXPECT_EQ(client.StartCamera(), row.refusal.empty());
        EXPECT_EQ(server.Stop(), std::vector<std::uint32_t>(row.refusal.empty() ? 1 : 0, 3));
        EXPECT_THAT(asked, Each(Optional(FieldsAre(real->session, real->user))));
        EXPECT_EQ(asked.size(), row.refusal.empty() ? 1u : 2u);
        const auto refusals = Matcher<const std::string&>(
            StartsWith("[ConnectControlPipe] ERROR: control pipe server refused: process "));
        if (row.refusal.empty()) {
            EXPECT_THAT(log.Lines(), Not(Contains(refusals)));
            // The server may identify us, not act as us. Wine gives the server full impersonation
            // whatever the client asks, so only Windows can show it.
            const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version");
            EXPECT_TRUE(wine || server.offered == SecurityIdentification);
            EXPECT_TRUE(client.Disconnect() && client.AcceptedServerUser().empty());
        } else {
            EXPECT_THAT(log.Lines(), Contains(AllOf(refusals, HasSubstr(row.refusal))).Times(1));
        }
    }
}

// The pipe's owner as the platform reports it, without an injected lookup: a stranger's pipe is refused.
TEST(ConnectToServer, APipeOwnedByAnotherUserIsRefused) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"O:S-1-5-21-111-222-333-1001D:(A;;GA;;;WD)", SDDL_REVISION_1, &descriptor, nullptr));
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
    const UniqueFile stranger(CreateNamedPipeW(kControlPipeName, PIPE_ACCESS_DUPLEX,
                                               PIPE_TYPE_BYTE | PIPE_WAIT, 1, 16, 16, 0, &attributes));
    const DWORD error = GetLastError();
    LocalFree(descriptor);
    if (!stranger && error == ERROR_INVALID_OWNER)
        GTEST_SKIP() << "this platform lets no ordinary process make a pipe owned by another user";
    ASSERT_TRUE(stranger) << error;
    TestLog log;
    Tasks::cancellation_token_source source;
    int looks = 0;
    WebcamClient client(log.Factory(), [&](HANDLE pipe) {
        ++looks;
        source.cancel(); // one look is enough
        return LookUpPipeServer(pipe);
    });
    {
        const Watchdog watchdog(source, 20);
        EXPECT_FALSE(client.ConnectToServer(source.get_token()));
    }
    EXPECT_EQ(looks, 1);
    EXPECT_TRUE(client.AcceptedServerUser().empty());
    EXPECT_THAT(log.Lines(),
                Contains(AllOf(HasSubstr("ERROR: control pipe server refused: process "),
                               HasSubstr(" runs as user S-1-5-21-111-222-333-1001, this host as S-1-5-"))));
}

// Another client takes the only instance between the camera's successful wait for it and its open,
// three times over (the opener seam acts between the two): each busy open is followed at once by the
// next wait, without the retry pause, and the fourth open connects.
TEST(ConnectToServer, BusyInstancesAreRetriedAtOnceUntilOneIsFree) {
    const UniqueFile serverEnd = CreateControlPipe(1);
    const UniqueEvent listening(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(serverEnd && listening);
    OVERLAPPED listen{};
    const auto listenAgain = [&] { // the only instance free for the next client
        DisconnectNamedPipe(serverEnd.get());
        listen = {};
        listen.hEvent = listening.get();
        return !ConnectNamedPipe(serverEnd.get(), &listen) && GetLastError() == ERROR_IO_PENDING;
    };
    ASSERT_TRUE(listenAgain());

    constexpr std::size_t kBusyOpens = 3;
    struct Open {
        bool taken;  // the other client got the instance the wait had found free
        DWORD error; // of the camera's open
        Clock::time_point at;
    };
    std::vector<Open> opens;
    const PipeOpener opener = [&]() -> HANDLE {
        UniqueFile other;
        if (opens.size() < kBusyOpens)
            other.reset(CreateFileW(kControlPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    0, nullptr));
        const HANDLE pipe = OpenControlPipe();
        const DWORD error = pipe == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        opens.push_back({static_cast<bool>(other), error, Clock::now()});
        if (other) {
            other.reset();
            listenAgain();
        }
        SetLastError(error);
        return pipe;
    };
    TestLog log;
    ControlObject client(log.Factory(), LookUpPipeServer, opener);
    Tasks::cancellation_token_source source;
    {
        const Watchdog watchdog(source, 20);
        EXPECT_TRUE(client.ConnectToServer(source.get_token()));
    }
    DWORD ignored = 0;
    EXPECT_TRUE(GetOverlappedResult(serverEnd.get(), &listen, &ignored, FALSE))
        << "the camera is not connected";
    CancelIoEx(serverEnd.get(), &listen);
    GetOverlappedResult(serverEnd.get(), &listen, &ignored, TRUE);
    EXPECT_EQ(client.AcceptedServerUser(), LookUpOwnIdentity().value_or(PipeIdentity{}).user);

    ASSERT_EQ(opens.size(), kBusyOpens + 1);
    for (std::size_t i = 0; i < kBusyOpens; ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(opens[i].taken);
        EXPECT_EQ(opens[i].error, DWORD(ERROR_PIPE_BUSY));
        // A retry pause would make this gap at least the pause (500 ms, a timer tick less on
        // Windows); without one it is a few calls (about 1 ms), so half the pause leaves a loaded
        // machine its room and still sees every pause.
        EXPECT_LT(opens[i + 1].at - opens[i].at, ControlObject::kRetryPause / 2);
    }
    EXPECT_EQ(opens.back().error, 0u);
}

// A plain launch, with and without the server beside the module, is what the end-to-end tests do
// with a real host; here what they cannot arrange: no module folder, a crashed server's event left set.
TEST(LaunchServerIfNeeded, StartsTheServerBesideTheModuleOrLogsWhyNotAlsoWhenACrashedServerLeftItsEventSet) {
    const UniqueEvent live = OpenServerLiveEvent();
    ASSERT_NE(WaitForSingleObject(live.get(), 0), WAIT_OBJECT_0) << "a server runs";
    AppDataWithSettings appData("1280,720");
    SetEnvironmentVariableW(L"APPDATA", appData.Path().c_str()); // inherited by probe and server
    // A copy of the probe (a stand-in module) in a folder of its own, first without the server.
    TempFolder folder;
    ASSERT_TRUE(CopyFileW((ProgramFolder() + L"ipc_launch_probe.exe").c_str(),
                          (folder / L"probe.exe").c_str(), TRUE));
    const struct {
        const wchar_t* log; // each run logs to a file of its own: the log appends
        bool serverThere, eventLeftSet;
        DWORD giveUpMs, code; // code 0: connected, and the camera started
    } runs[] = {
        {L"without-folder.log", false, false, 500, 1},
        {L"without-server-stale-event.log", false, true, 500, 1},
        {L"with-server-stale-event.log", true, true, 30000, 0},
    };
    for (const auto& run : runs) {
        SCOPED_TRACE(PrintToString(std::wstring(run.log)));
        const std::wstring server = folder / kServerExecutableName;
        if (run.serverThere)
            CopyFileW(ReferenceServerPath().c_str(), server.c_str(), TRUE);
        if (run.eventLeftSet)
            SetEvent(live.get()); // as a server that crashed leaves it
        const auto start = Clock::now();
        const auto code = RunProgram(folder / L"probe.exe",
                                     L"\"" + (folder / run.log) + L"\" " + std::to_wstring(run.giveUpMs) +
                                         (run.eventLeftSet ? L"" : L" no-folder"),
                                     run.giveUpMs + 30000);
        const double seconds = SecondsSince(start);
        EXPECT_EQ(run.serverThere ? RunProgram(server, L"--quit", 20000) : 0u, 0u); // what it launched must go
        ResetEvent(live.get());
        const Lines lines = ReadLogLines(folder / run.log);
        EXPECT_EQ(code, run.code) << PrintToString(lines);
        const auto has = [&](const std::string& line) {
            return int(std::count(lines.begin(), lines.end(), "[Prepare/ConnectToServer] " + line));
        };
        if (!run.eventLeftSet) { // nothing to start: said so, before the launch failure
            EXPECT_THAT(lines, Not(Contains(HasSubstr("CreateProcess"))));
            EXPECT_THAT(
                lines,
                IsSupersetOf({"[Prepare/ConnectToServer] WebcamClient: No Server Found - attempting launch",
                              "[Prepare/ConnectToServer] Failed to get Module install path",
                              "[Prepare/ConnectToServer] WebcamClient: Server Launch Failed"}));
            continue;
        }
        EXPECT_GT(seconds, 1.9); // the pipe of the server whose event is set was given its 2 s
        EXPECT_EQ(has("WebcamClient: Server Event Set but no Pipe - attempting launch"), 1);
        EXPECT_EQ(has("WebcamClient: No Server Found - attempting launch"), 0);
        // The event of a server that is gone still reads as set: no launch failure to tell.
        EXPECT_EQ(std::pair(has("CreateProcess failed 2") + has("CreateProcess failed 3"),
                            has("WebcamClient: Server Launch Failed")),
                  std::pair(run.serverThere ? 0 : 1, 0));
    }
}

} // namespace
} // namespace Zarvo::IPC
