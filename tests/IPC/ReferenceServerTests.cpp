// The reference server as a process: its answers, clients at once, command line, one per session,
// the switches that hold frames and answers back.
#include "IpcTestSupport.h"
#include "SecurityTestSupport.h"
#include "server/Camera.h"
#include "server/Options.h"
#include "webcam/FrameChannel.h"

#include <gmock/gmock.h>

#include <tlhelp32.h>

#include <cmath>
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

// What the per-frame answer carries besides the flags: the client's id and its request number.
constexpr std::uint64_t Tag(std::uint64_t client, std::uint64_t request) { return client << 32 | request; }
// The per-frame answer's frame_flag and is_camera_live.
std::pair<std::uint32_t, std::uint32_t> Flags(const Fields& answer) { return {std::get<1>(answer), std::get<2>(answer)}; }

// Calls `done` every few milliseconds until it holds; false after `seconds`. For states the
// server signals to nobody (a frame counter, a log line).
template <class Done>
bool PollUntil(Done done, double seconds = 20) {
    for (const auto start = Clock::now(); !done(); Sleep(5)) {
        if (SecondsSince(start) > seconds)
            return false;
    }
    return true;
}

// The server's log, the only file in the Logs folder of its APPDATA.
std::vector<std::string> ServerLog(const AppDataWithSettings& appData) {
    std::vector<std::string> lines;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(appData.SettingsFolder() + L"\\Logs", ignored))
        lines = ReadLogLines(entry.path().wstring());
    return lines;
}
bool LogHas(const AppDataWithSettings& appData, const std::string& line) {
    const auto lines = ServerLog(appData);
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// A client of the pipe without the camera's rules: any bytes, and a read that may stay open.
class RawClient {
public:
    RawClient()
        : mPipe(CreateFileW(kControlPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr)),
          mEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~RawClient() {
        if (mReading) {
            CancelIoEx(mPipe.get(), &mRead);
            DWORD bytes = 0;
            GetOverlappedResult(mPipe.get(), &mRead, &bytes, TRUE);
        }
    }
    bool IsOpen() const { return static_cast<bool>(mPipe); }

    bool Send(const void* data, DWORD size) {
        OVERLAPPED overlapped{};
        UniqueEvent done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        overlapped.hEvent = done.get();
        DWORD bytes = 0;
        if (!WriteFile(mPipe.get(), data, size, nullptr, &overlapped) && GetLastError() != ERROR_IO_PENDING)
            return false;
        if (WaitForSingleObject(done.get(), 10000) != WAIT_OBJECT_0) {
            CancelIoEx(mPipe.get(), &overlapped);
            GetOverlappedResult(mPipe.get(), &overlapped, &bytes, TRUE);
            return false;
        }
        return GetOverlappedResult(mPipe.get(), &overlapped, &bytes, FALSE) && bytes == size;
    }
    // Starts reading one answer.
    bool StartRead() {
        mRead = {};
        mRead.hEvent = mEvent.get();
        mReading = ReadFile(mPipe.get(), &mAnswer, sizeof(mAnswer), nullptr, &mRead) ||
                   GetLastError() == ERROR_IO_PENDING;
        return mReading;
    }
    // True when the read started has ended (answered or failed) within `timeoutMs`.
    bool ReadEnded(DWORD timeoutMs) const { return WaitForSingleObject(mEvent.get(), timeoutMs) == WAIT_OBJECT_0; }
    // The answer the read got within `timeoutMs`.
    std::optional<Fields> FinishRead(DWORD timeoutMs = 10000) {
        if (!mReading || WaitForSingleObject(mEvent.get(), timeoutMs) != WAIT_OBJECT_0)
            return std::nullopt;
        mReading = false;
        DWORD bytes = 0;
        if (!GetOverlappedResult(mPipe.get(), &mRead, &bytes, FALSE) || bytes != sizeof(mAnswer))
            return std::nullopt;
        return Fields{mAnswer.shared_texture, mAnswer.frame_flag, mAnswer.is_camera_live};
    }
    std::optional<Fields> Request(std::uint32_t command) {
        if (!Send(&command, sizeof(command)) || !StartRead())
            return std::nullopt;
        return FinishRead();
    }

private:
    UniqueFile mPipe;
    UniqueEvent mEvent;
    OVERLAPPED mRead{};
    Status mAnswer{};
    bool mReading = false;
};

// The frame channel's header, mapped read-only the way a camera maps it.
class ChannelView {
public:
    ChannelView() : mSection(OpenFileMappingW(FILE_MAP_READ, FALSE, FrameChannel::kSectionName)) {
        if (mSection)
            mHeader = static_cast<const FrameChannel::ChannelHeader*>(
                MapViewOfFile(mSection.get(), FILE_MAP_READ, 0, 0, sizeof(FrameChannel::ChannelHeader)));
    }
    ~ChannelView() {
        if (mHeader)
            UnmapViewOfFile(mHeader);
    }
    bool IsOpen() const { return mHeader != nullptr; }
    std::uint64_t Published() const { return *static_cast<const volatile std::uint64_t*>(&mHeader->published); }

private:
    UniqueHandleNull mSection;
    const FrameChannel::ChannelHeader* mHeader = nullptr;
};

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

    // Client ids count from 1 in the order of connection.
    WebcamClient& first = *clients[0];
    for (std::uint32_t command : {0u, 5u, 0xFFFFFFFFu, 4u}) // unknown ones, and a stop before any start
        EXPECT_EQ(Ask(first, command), Fields(0, 0, 0)) << command;
    std::uint64_t ticks = 0; // the first client's per-frame requests
    EXPECT_EQ(Ask(first, 2), Fields(Tag(1, ++ticks), 0, 0)); // nothing drawn, not live
    EXPECT_EQ(Ask(first, 3), Fields(0, 0, 1));
    // Asked often enough, a newer frame shows up; the generator runs at about 30 a second.
    Fields tick;
    do {
        tick = Ask(first, 2);
    } while (++ticks < 100000 && std::get<1>(tick) == 0);
    EXPECT_EQ(tick, Fields(Tag(1, ticks), 1, 1));
    EXPECT_EQ(Ask(first, 4), Fields(0, 0, 0));
    Ask(first, 2); // takes whatever was drawn before the stop
    ++ticks;
    EXPECT_EQ(Ask(first, 2), Fields(Tag(1, ++ticks), 0, 0));
    EXPECT_EQ(std::get<2>(Ask(first, 1)), 0u); // with a handle where the platform shares textures

    // Each client starts and stops the camera in its own rhythm, and each per-frame answer names
    // its client and counts its requests: an answer that reached the wrong client shows.
    std::vector<int> failures(3);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < 3; ++i) {
        threads.emplace_back([&, i] {
            std::uint64_t asked = i == 0 ? ticks : 0;
            for (int round = 0; round < 30; ++round) {
                failures[i] += clients[i]->StartCamera() ? 0 : 1;
                for (std::size_t frame = 0; frame <= i; ++frame)
                    failures[i] += std::get<0>(Ask(*clients[i], 2)) == Tag(i + 1, ++asked) ? 0 : 1;
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

TEST(ReferenceServer, OptionsTakeOnlyValuesInRangeAndNameTheSwitchThatIsWrong) {
    using Server::Options;
    const auto parse = [](std::vector<std::wstring> arguments, std::string& error) {
        return Server::ParseOptions(arguments, error);
    };
    std::string error;
    const auto all = parse({L"--frames", L"1000000000", L"--seconds", L"0.25", L"--pause-after", L"1",
                            L"--pause-seconds", L"1000000", L"--stall-frame-request", L"7"},
                           error);
    ASSERT_TRUE(all) << error;
    EXPECT_EQ(std::tuple(all->quit, all->frames, all->seconds, all->pauseAfter, all->pauseSeconds,
                         all->stallFrameRequest),
              std::tuple(false, 1000000000ull, std::optional(0.25), 1ull, 1e6, 7ull));
    const auto forEver = parse({L"--pause-after", L"30", L"--pause-seconds", L"0"}, error);
    ASSERT_TRUE(forEver) << error;
    EXPECT_EQ(std::pair(forEver->pauseAfter, forEver->pauseSeconds), std::pair(30ull, 0.0));
    ASSERT_TRUE(parse({L"--quit"}, error) && parse({}, error));

    // Each refused with the switch (or the argument) it is about in the message.
    const std::vector<std::pair<std::vector<std::wstring>, std::string>> refused = {
        {{L"--frames", L"-1"}, "--frames"},
        {{L"--frames", L"0"}, "--frames"},
        {{L"--frames", L"1000000001"}, "--frames"},
        {{L"--frames", L"99999999999999999999"}, "--frames"},
        {{L"--frames", L"18446744073709551617"}, "--frames"},
        {{L"--frames", L"+5"}, "--frames"},
        {{L"--frames", L"5x"}, "--frames"},
        {{L"--frames", L""}, "--frames"},
        {{L"--frames"}, "--frames"},
        {{L"--seconds", L"1e300"}, "--seconds"},
        {{L"--seconds", L"1e999"}, "--seconds"},
        {{L"--seconds", L"1000000.5"}, "--seconds"},
        {{L"--seconds", L"nan"}, "--seconds"},
        {{L"--seconds", L"inf"}, "--seconds"},
        {{L"--seconds", L"-1"}, "--seconds"},
        {{L"--seconds", L"0"}, "--seconds"},
        {{L"--seconds", L" 1"}, "--seconds"},
        {{L"--seconds", L"1s"}, "--seconds"},
        {{L"--pause-after", L"-3"}, "--pause-after"},
        {{L"--pause-after", L"4", L"--pause-seconds", L"-0.5"}, "--pause-seconds"},
        {{L"--pause-after", L"4", L"--pause-seconds", L"NaN"}, "--pause-seconds"},
        {{L"--pause-seconds", L"2"}, "--pause-seconds needs --pause-after"},
        {{L"--stall-frame-request", L"0"}, "--stall-frame-request"},
        {{L"--stall-frame-request", L"4294967297"}, "--stall-frame-request"},
        {{L"--quit", L"--frames", L"3"}, "--quit"},
        {{L"--bogus"}, "\"--bogus\""},
    };
    for (const auto& [arguments, named] : refused) {
        error.clear();
        EXPECT_FALSE(parse(arguments, error)) << ::testing::PrintToString(arguments);
        EXPECT_THAT(error, HasSubstr(named));
    }
}

TEST(ReferenceServer, CommandLineOptionsEndItByItselfWithTheirExitCodesAndASecondServerLeaves) {
    AppDataWithSettings appData("1280,720");
    for (const auto& [arguments, code] : {std::pair{L"--bogus", 2u}, {L"--frames", 2u}, {L"--frames -1", 2u},
                                          {L"--seconds 1e300", 2u}, {L"--quit", 1u}})
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

TEST(ReferenceServer, PauseHoldsFramesBackForItsTimeWhileEveryRequestIsAnswered) {
    AppDataWithSettings appData("1280,720");
    ServerProcess server(appData.Path(), L"--pause-after 5 --pause-seconds 2");
    ASSERT_TRUE(server.WaitUntilLive());
    WebcamClient client(TestLog().Factory());
    ASSERT_TRUE(client.ConnectToServer({}) && client.StartCamera());
    ChannelView channel;
    ASSERT_TRUE(channel.IsOpen());
    ASSERT_TRUE(PollUntil([&] { return channel.Published() >= 5; }));
    const auto paused = Clock::now();
    EXPECT_EQ(channel.Published(), 5u);

    // Answered throughout, live, with no newer frame after the first look.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> answers;
    ASSERT_TRUE(PollUntil([&] {
        answers.push_back(Flags(Ask(client, 2)));
        return channel.Published() > 5;
    }));
    const double pause = SecondsSince(paused);
    EXPECT_GE(pause, 1.8);
    EXPECT_LT(pause, 15.0);
    // The first two may still see frame 5 arrive (it is counted as drawn just after it is published).
    ASSERT_GE(answers.size(), 4u);
    EXPECT_THAT(std::vector(answers.begin() + 2, answers.end() - 1), Each(std::pair(0u, 1u)));

    // Resumed with the next number: the newest frame of publication n is frame n - 1.
    FrameChannel::Reader reader;
    ASSERT_EQ(reader.Open(FrameChannel::kSectionName, 1280, 720), "");
    std::vector<std::uint8_t> frame(nv12_frame_bytes(1280, 720));
    std::optional<std::pair<std::uint64_t, std::uint64_t>> seen; // published, frame number
    ASSERT_TRUE(PollUntil([&] {
        const std::uint64_t before = channel.Published();
        const auto result = reader.ConvertNewest(PixelKernels::Nv12ToNv12(PixelKernels::Isa::Scalar), frame.data());
        if (result.outcome == FrameChannel::Reader::Outcome::Frame && before == channel.Published())
            seen = std::pair(before, result.frameNumber);
        return seen.has_value();
    }));
    EXPECT_EQ(seen->second + 1, seen->first);
    EXPECT_TRUE(client.StopCamera());
    EXPECT_EQ(server.Quit(), 0u);
    EXPECT_THAT(ServerLog(appData), IsSupersetOf({"[Camera] paused after frame 5", "[Camera] resumed at frame 6"}));
}

TEST(ReferenceServer, StalledFrameRequestStaysOpenWhileOtherClientsAreServedAndThePauseLastsForEver) {
    AppDataWithSettings appData("1280,720");
    ServerProcess server(appData.Path(), L"--stall-frame-request 3 --pause-after 3");
    ASSERT_TRUE(server.WaitUntilLive());
    RawClient stalled;
    ASSERT_TRUE(stalled.IsOpen());
    EXPECT_EQ(stalled.Request(3), Fields(0, 0, 1));
    for (int tick = 0; tick < 2; ++tick)
        EXPECT_TRUE(stalled.Request(2).has_value()) << tick;
    const std::uint32_t third = 2;
    ASSERT_TRUE(stalled.Send(&third, sizeof(third)) && stalled.StartRead());
    ASSERT_TRUE(PollUntil([&] { return LogHas(appData, "[Client] client 1: per-frame request 3 left unanswered"); }));

    // Another client's per-frame requests are answered; the frames stop at 3 and stay there.
    WebcamClient other(TestLog().Factory());
    ASSERT_TRUE(other.ConnectToServer({}) && other.StartCamera());
    ChannelView channel;
    ASSERT_TRUE(channel.IsOpen());
    ASSERT_TRUE(PollUntil([&] { return channel.Published() >= 3; }));
    Ask(other, 2);
    const auto start = Clock::now();
    while (SecondsSince(start) < 1.0) // about 30 frame intervals
        EXPECT_EQ(Flags(Ask(other, 2)), std::pair(0u, 1u));
    EXPECT_EQ(channel.Published(), 3u);
    EXPECT_FALSE(stalled.ReadEnded(0));
    EXPECT_TRUE(other.StopCamera());

    // Ends with the stalled client still there, which learns that the pipe broke.
    EXPECT_EQ(server.Quit(), 0u);
    ASSERT_TRUE(stalled.ReadEnded(10000));
    EXPECT_EQ(stalled.FinishRead(0), std::nullopt);
}

// Here the camera does not make the event first, so the server's own security is what is read back.
TEST(ReferenceServer, ItsPipeEventMutexAndSectionGrantOnlyItsUserAndSystem) {
    AppDataWithSettings appData("1280,720");
    ServerProcess server(appData.Path());
    UniqueEvent live;
    ASSERT_TRUE(PollUntil([&] {
        live.reset(OpenEventW(SYNCHRONIZE | READ_CONTROL, FALSE, kServerLiveEventName));
        return static_cast<bool>(live);
    }));
    ASSERT_EQ(WaitForSingleObject(live.get(), 30000), WAIT_OBJECT_0);
    WebcamClient client(TestLog().Factory());
    ASSERT_TRUE(client.ConnectToServer({}) && client.StartCamera()); // makes the section

    const UniqueHandleNull mutex(OpenMutexW(READ_CONTROL, FALSE, Server::kInstanceMutexName));
    const UniqueHandleNull section(
        OpenFileMappingW(FILE_MAP_READ | READ_CONTROL, FALSE, FrameChannel::kSectionName)); // readers' access
    const UniqueFile pipe(
        CreateFileW(kControlPipeName, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    const std::string user = ProcessUserSid();
    EXPECT_THAT(DaclOf(live.get()), UserAndSystem(user, EVENT_ALL_ACCESS));
    EXPECT_THAT(DaclOf(mutex.get()), UserAndSystem(user, MUTEX_ALL_ACCESS));
    EXPECT_THAT(DaclOf(section.get()), UserAndSystem(user, SECTION_ALL_ACCESS));
    EXPECT_THAT(DaclOf(pipe.get()), UserAndSystem(user, FILE_ALL_ACCESS));
    EXPECT_TRUE(ChannelView().IsOpen());
    EXPECT_TRUE(client.StopCamera());
    EXPECT_EQ(server.Quit(), 0u);
}

// A process's threads (from a system snapshot) and handles.
std::pair<unsigned, DWORD> UsageOf(HANDLE process) {
    unsigned threads = 0;
    const UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry))
        threads += entry.th32OwnerProcessID == GetProcessId(process) ? 1 : 0;
    DWORD handles = 0;
    GetProcessHandleCount(process, &handles);
    return {threads, handles};
}

// A camera's whole session: connects, starts the camera, sees new frames announced and one in the
// frame channel, stops.
AssertionResult CameraSession() {
    WebcamClient client(TestLog().Factory());
    if (!client.ConnectToServer({}) || !client.StartCamera())
        return AssertionFailure() << "no camera";
    client.OpenSharedTexture();
    FrameChannel::Reader reader;
    if (const std::string whyNot = reader.Open(FrameChannel::kSectionName, 1280, 720); !whyNot.empty())
        return AssertionFailure() << whyNot;
    std::uint32_t newFrames = 0;
    if (!PollUntil([&] {
            const Fields answer = Ask(client, 2);
            newFrames += std::get<2>(answer) == 1 ? std::get<1>(answer) : 100; // a failed exchange ends it
            return newFrames >= 3;
        }) || newFrames >= 100)
        return AssertionFailure() << "new frames: " << newFrames;
    std::vector<std::uint8_t> frame(nv12_frame_bytes(1280, 720));
    FrameChannel::Reader::Outcome outcome{};
    if (!PollUntil([&] {
            outcome = reader.ConvertNewest(PixelKernels::Nv12ToNv12(PixelKernels::Isa::Scalar), frame.data()).outcome;
            return outcome == FrameChannel::Reader::Outcome::Frame;
        }))
        return AssertionFailure() << "no frame in the channel: " << static_cast<int>(outcome);
    if (!client.StopCamera())
        return AssertionFailure() << "StopCamera";
    return AssertionSuccess();
}

TEST(ReferenceServer, AFloodOfIdleAndGarbageClientsLeavesACameraWorkingAndNoThreadsHandlesOrLogBehind) {
    AppDataWithSettings appData("1280,720");
    ServerProcess server(appData.Path());
    ASSERT_TRUE(server.WaitUntilLive());
    // Shows what the server saw when anything below fails.
    struct DumpLogOnFailure {
        const AppDataWithSettings& appData;
        ~DumpLogOnFailure() {
            if (::testing::Test::HasFailure()) {
                for (const auto& line : ServerLog(appData))
                    std::printf("server: %s\n", line.c_str());
            }
        }
    } dump{appData};
    // What a camera makes once (the graphics device, which may take longer than one answer under
    // load, and the log) exists from here on.
    ASSERT_TRUE(CameraSession());
    ASSERT_TRUE(CameraSession());
    const auto before = UsageOf(server.Handle());
    const std::size_t linesBefore = ServerLog(appData).size();

    const UniqueHandleNull flood = StartProgram(ProgramFolder() + L"pipe_flood.exe", L"200 50 5000");
    ASSERT_TRUE(flood);
    ASSERT_TRUE(PollUntil([&] {
        const auto lines = ServerLog(appData);
        return std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
            return line.find("refused a client of process") != std::string::npos;
        });
    }));
    EXPECT_TRUE(CameraSession());
    unsigned peakThreads = 0;
    while (WaitForSingleObject(flood.get(), 20) == WAIT_TIMEOUT)
        peakThreads = std::max(peakThreads, UsageOf(server.Handle()).first);
    EXPECT_EQ(WaitForExit(flood.get(), 0), 0u);

    // No thread per connection, and everything given back once the flood is over.
    EXPECT_LE(peakThreads, before.first + 2); // the generator's, while the camera ran
    std::pair<unsigned, DWORD> after;
    // This platform reports no handle count (0); there only the threads are compared.
    EXPECT_TRUE(PollUntil([&] { return (after = UsageOf(server.Handle())) == before; }, 10))
        << "threads, handles: " << before.first << ", " << before.second << " before; " << after.first << ", "
        << after.second << " after";
    EXPECT_FALSE(server.WaitForExit(0));
    const auto lines = ServerLog(appData);
    EXPECT_LE(lines.size() - linesBefore, 100u);
    EXPECT_TRUE(CameraSession());
    EXPECT_EQ(server.Quit(), 0u);
}

} // namespace
} // namespace Zarvo::IPC
