// The reference server as a process: its answers, clients at once, command line, one per session,
// the switches that hold frames and answers back.
#include "IpcTestSupport.h"
#include "SecurityTestSupport.h"
#include "server/Camera.h"
#include "server/Options.h"
#include "webcam/FrameChannel.h"

#include <gmock/gmock.h>

#include <tlhelp32.h>

#include <algorithm>
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
constexpr std::uint64_t Tag(std::uint64_t client, std::uint64_t request) {
    return client << 32 | request;
}

// The server's log, the only file in the Logs folder of its APPDATA.
std::vector<std::string> ServerLog(const AppDataWithSettings& appData) {
    return ReadLogLines(appData.SettingsFolder() + L"\\Logs", L"*.log");
}

// The frame channel as a camera reads it (with the readers' access).
struct Channel : FrameChannel::Reader {
    bool Open() { return FrameChannel::Reader::Open(FrameChannel::kSectionName, 1280, 720).empty(); }
    bool HasFrame() {
        std::vector<std::uint8_t> frame(nv12_frame_bytes(1280, 720));
        return ConvertNewest(PixelKernels::Nv12ToNv12(PixelKernels::Isa::Scalar), frame.data()).outcome ==
               Outcome::Frame;
    }
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

    // Client ids count from 1 in the order of connection.
    WebcamClient& first = *clients[0];
    // Unknown ones, a stop before any start, and publishing for another session's camera before it.
    for (std::uint32_t command : {0u, 7u, 0xFFFFFFFFu, 4u, 6u})
        EXPECT_EQ(Ask(first, command), Fields(0, 0, 0)) << command;
    EXPECT_EQ(Ask(first, 5), Fields(1280 | std::uint64_t{720} << 32, 0, 0)); // the frame size
    std::uint64_t ticks = 0;                                 // the first client's per-frame requests
    EXPECT_EQ(Ask(first, 2), Fields(Tag(1, ++ticks), 0, 0)); // nothing drawn, not live
    EXPECT_EQ(Ask(first, 3), Fields(0, 0, 1));
    EXPECT_EQ(Ask(first, 6), Fields(0, 0, 0)); // no camera of another session made a channel
    // Asked often enough, a newer frame shows up; the generator runs at about 30 a second.
    Fields tick;
    do {
        tick = Ask(first, 2);
    } while (++ticks < 100000 && std::get<1>(tick) == 0);
    EXPECT_EQ(tick, Fields(Tag(1, ticks), 1, 1));
    EXPECT_EQ(Ask(first, 4), Fields(0, 0, 0));
    Ask(first, 2); // takes whatever was drawn before the stop
    ticks += 2;
    EXPECT_EQ(Ask(first, 2), Fields(Tag(1, ticks), 0, 0));
    EXPECT_EQ(std::get<2>(Ask(first, 1)), 0u); // with a handle where the platform shares textures

    // Each client starts and stops the camera in its own rhythm, and each per-frame answer names
    // its client and counts its requests: an answer that reached the wrong client shows.
    std::vector<int> failures(3);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < 3; ++i)
        threads.emplace_back([&, i] {
            std::uint64_t asked = i == 0 ? ticks : 0;
            for (int round = 0; round < 30; ++round) {
                failures[i] += !clients[i]->StartCamera();
                for (std::size_t frame = 0; frame <= i; ++frame)
                    failures[i] += std::get<0>(Ask(*clients[i], 2)) != Tag(i + 1, ++asked);
                clients[i]->OpenSharedTexture();
                failures[i] += !clients[i]->StopCamera();
            }
        });
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
    EXPECT_THAT(ServerLog(appData),
                IsSupersetOf({"[Client] client 4: connected", "[Camera] started: w/h, 1280,720"}));
}

TEST(ReferenceServer, OptionsTakeOnlyValuesInRangeAndNameTheSwitchThatIsWrong) {
    std::string error;
    const auto all =
        Server::ParseOptions({L"--frames", L"1000000000", L"--seconds", L"0.25", L"--pause-after", L"1",
                              L"--pause-seconds", L"1000000", L"--stall-frame-request", L"7", L"--fps", L"25",
                              L"--texture-handle", L"4660"},
                             error);
    ASSERT_TRUE(all) << error;
    EXPECT_EQ(std::tuple(all->quit, all->frames, all->seconds, all->pauseAfter, all->pauseSeconds,
                         all->stallFrameRequest, all->framesPerSecond, all->textureHandle),
              std::tuple(false, 1000000000ull, std::optional(0.25), 1ull, 1e6, 7ull, 25.0, 4660ull));
    const auto forEver = Server::ParseOptions({L"--pause-after", L"30", L"--pause-seconds", L"0"}, error);
    ASSERT_TRUE(forEver) << error;
    EXPECT_EQ(std::pair(forEver->pauseAfter, forEver->pauseSeconds), std::pair(30ull, 0.0));
    ASSERT_TRUE(Server::ParseOptions({L"--quit"}, error) && Server::ParseOptions({}, error));

    // Each refused with the switch (or the argument) it is about in the message.
    const std::pair<std::wstring, std::vector<std::wstring>> badValues[] = {
        {L"--frames", {L"0", L"1000000001", L"18446744073709551617", L"5x"}},
        {L"--seconds", {L"1e999", L"nan", L"0", L"1s"}},
        {L"--pause-after", {L"-3"}},
        {L"--pause-seconds", {L"NaN"}}, // after a valid --pause-after
        {L"--stall-frame-request", {L"4294967297"}},
        {L"--fps", {L"0.5", L"241"}},
        {L"--texture-handle", {L"0x10"}}};
    std::vector<std::pair<std::vector<std::wstring>, std::string>> refused = {
        {{L"--frames"}, "--frames"},
        {{L"--pause-seconds", L"2"}, "--pause-seconds needs --pause-after"},
        {{L"--quit", L"--frames", L"3"}, "--quit"},
        {{L"--bogus"}, "\"--bogus\""}};
    for (const auto& [option, values] : badValues)
        for (const auto& value : values) {
            refused.emplace_back(std::vector{option, value}, std::string(option.begin(), option.end()));
            if (option == L"--pause-seconds")
                refused.back().first.insert(refused.back().first.begin(), {L"--pause-after", L"4"});
        }
    for (const auto& [arguments, named] : refused) {
        error.clear();
        EXPECT_FALSE(Server::ParseOptions(arguments, error)) << PrintToString(arguments);
        EXPECT_THAT(error, HasSubstr(named));
    }
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
        ASSERT_TRUE(client.ConnectToServer({}) && client.StartCamera());
        EXPECT_EQ(server.WaitForExit(20000), 0u);
    }
    const auto start = Clock::now();
    ServerProcess server(appData.Path(), L"--seconds 1");
    ASSERT_TRUE(server.WaitUntilLive());
    EXPECT_EQ(server.WaitForExit(20000), 0u);
    EXPECT_GT(SecondsSince(start), 0.9);
}

// Here the camera does not make the event first, so the server's own security is what is read back.
TEST(ReferenceServer, ItsObjectsGrantOnlyItsUserAndSystemAndItsPipeAlsoTheCameraService) {
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

    const UniqueHandleNull mutex(OpenMutexW(READ_CONTROL, FALSE, Server::kInstanceMutexName)),
        section(OpenFileMappingW(FILE_MAP_READ | READ_CONTROL, FALSE, FrameChannel::kSectionName));
    const UniqueFile pipe(CreateFileW(kControlPipeName, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED, nullptr));
    const std::string user = ProcessUserSid();
    EXPECT_THAT(DaclOf(live.get()), UserAndSystem(user, EVENT_ALL_ACCESS));
    EXPECT_THAT(DaclOf(mutex.get()), UserAndSystem(user, MUTEX_ALL_ACCESS));
    EXPECT_THAT(DaclOf(section.get()), UserAndSystem(user, SECTION_ALL_ACCESS));
    EXPECT_THAT(DaclOf(pipe.get()), UserSystemAndCameraService(user));
    // Owned by that user too, whatever the token's default owner: that is what a camera checks.
    for (const HANDLE object : {live.get(), mutex.get(), section.get(), pipe.get()})
        EXPECT_EQ(OwnerOf(object), user);
    const auto own = LookUpOwnIdentity();
    ASSERT_TRUE(own);
    EXPECT_THAT(LookUpPipeServer(pipe.get()), Optional(FieldsAre(own->session, own->user)));
    EXPECT_EQ(client.AcceptedServerUser(), own->user);
    // A camera outside the user's session accepts the console user's app (here: this session's, as
    // the platform has one), and learns from the pipe alone that it serves.
    WebcamClient console(TestLog().Factory());
    console.TrustConsoleUser();
    EXPECT_FALSE(console.CheckForServer());
    ASSERT_TRUE(console.ConnectToServer({}));
    EXPECT_TRUE(console.CheckForServer());
    EXPECT_EQ(std::pair(console.AcceptedServerSession(), console.AcceptedServerUser()), std::pair(own->session, own->user));
    EXPECT_TRUE(Channel().Open());
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
        threads += entry.th32OwnerProcessID == GetProcessId(process);
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
    Channel channel;
    if (!channel.Open())
        return AssertionFailure() << "no frame channel";
    std::uint32_t newFrames = 0;
    if (!PollUntil([&] {
            const Fields answer = Ask(client, 2);
            newFrames += std::get<2>(answer) == 1 ? std::get<1>(answer) : 100; // a failed exchange ends it
            return newFrames >= 3;
        }) ||
        newFrames >= 100)
        return AssertionFailure() << "new frames: " << newFrames;
    if (!PollUntil([&] { return channel.HasFrame(); }))
        return AssertionFailure() << "no frame in the channel";
    return client.StopCamera() ? AssertionSuccess() : AssertionFailure() << "StopCamera";
}

TEST(ReferenceServer, AFloodOfIdleAndGarbageClientsLeavesACameraWorkingAndNoThreadsHandlesOrLogBehind) {
    AppDataWithSettings appData("1280,720");
    ServerProcess server(appData.Path());
    ASSERT_TRUE(server.WaitUntilLive());
    // Shows what the server saw when anything below fails.
    struct DumpLogOnFailure {
        const AppDataWithSettings& appData;
        ~DumpLogOnFailure() {
            for (const auto& line : Test::HasFailure() ? ServerLog(appData) : std::vector<std::string>())
                std::printf("server: %s\n", line.c_str());
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
        return std::ranges::any_of(ServerLog(appData), [](const std::string& line) {
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
    EXPECT_LE(ServerLog(appData).size() - linesBefore, 100u);
    EXPECT_TRUE(CameraSession());
    EXPECT_EQ(server.Quit(), 0u);
}

} // namespace
} // namespace Zarvo::IPC
