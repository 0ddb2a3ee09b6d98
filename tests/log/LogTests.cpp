#include "log/Log.h"
#include "log/Text.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <limits>
#include <set>
#include <sstream>
#include <thread>

namespace Zarvo {
namespace {

using Testing::ReadFileBytes;
using Testing::TempFolder;

// Each test registers its own names: the registry lives as long as the process.
std::string UniqueName() {
    static int counter = 0;
    return "log-" + std::to_string(++counter);
}

TEST(Log, LinesAreWrittenByteForByteErrorsFlushAndUnopenedNamesDiscardEverything) {
    TempFolder folder;
    const auto name = UniqueName(), errors = UniqueName(), failed = UniqueName();
    ASSERT_TRUE(Log::Open(name, folder / L"lines.log", 0));
    {
        Log log = Log::Get(name, "Tag");
        log << "text " << 42 << "," << -7 << "," << std::numeric_limits<std::uint64_t>::max() << ","
            << std::numeric_limits<std::int64_t>::min() << "," << true << false << 'c' << Log::EndLine;
        log << Log::EndLine; // nothing inserted: nothing written
        log << "second" << Log::EndLine;
        log << "never ended";
    }
    EXPECT_EQ(ReadFileBytes(folder / L"lines.log"),
              "[Tag] text 42,-7,18446744073709551615,-9223372036854775808,10c\r\n[Tag] second\r\n");

    // Above the threshold only Error lines pass; each is flushed and the level returns to Info.
    ASSERT_TRUE(Log::Open(errors, folder / L"errors.log", 3));
    {
        Log log = Log::Get(errors, "Op");
        log << "dropped info" << Log::EndLine << LogLevel::Error << "ERROR: failed " << 5 << Log::EndLine;
        EXPECT_EQ(log.Level(), LogLevel::Info);
        EXPECT_EQ(ReadFileBytes(folder / L"errors.log"),
                  "[Op] ERROR: failed 5\r\n"); // the Log is still alive
        log << "after the error" << Log::EndLine;
    }
    EXPECT_EQ(ReadFileBytes(folder / L"errors.log"), "[Op] ERROR: failed 5\r\n");

    // A name whose file cannot be opened, and one never opened, take everything and write nothing.
    EXPECT_FALSE(Log::Open(failed, folder / L"no such folder\\x.log", 0));
    for (const std::string& target : {failed, UniqueName()}) {
        Log null = Log::Get(target, "Tag");
        null << LogLevel::Error << "ERROR: " << 1 << true << Log::EndLine;
        EXPECT_EQ(null.Level(), LogLevel::Info);
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(folder / L"no such folder")));
}

TEST(Log, ConcurrentWritersNeverInterleaveOrLoseLines) {
    TempFolder folder;
    const auto name = UniqueName();
    ASSERT_TRUE(Log::Open(name, folder / L"threads.log", 0));
    constexpr int kThreads = 8, kLines = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            Log log = Log::Get(name, "T" + std::to_string(t));
            for (int i = 0; i < kLines; ++i)
                log << "line " << i << " of " << t << " padding-padding-padding-padding" << Log::EndLine;
        });
    }
    for (auto& thread : threads)
        thread.join();

    std::istringstream lines(ReadFileBytes(folder / L"threads.log"));
    std::set<std::pair<int, int>> seen;
    for (std::string line; std::getline(lines, line);) {
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "[T%d] line %d", &t, &i), 2) << line;
        ASSERT_EQ(line, "[T" + std::to_string(t) + "] line " + std::to_string(i) + " of " +
                            std::to_string(t) + " padding-padding-padding-padding\r");
        EXPECT_TRUE(seen.emplace(t, i).second) << "duplicate " << line;
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLines));
}

// Everything about the camera's own log name lives in one test: it can be opened once per process.
TEST(Log, InitializeLoggingCreatesTheFolderAndTheFilterFactoryWritesTimeLines) {
    TempFolder folder;
    // A folder that cannot be created (a file stands in its way) leaves logging off, silently.
    Testing::WriteFileBytes(folder / L"blocked", "x");
    InitializeLogging(folder / L"blocked", L"zvfilter");
    InitializeLogging(L"", L"zvfilter");
    *FilterLogFactory()("StartCamera") << LogLevel::Error << "discarded" << Log::EndLine;

    const std::wstring settings = folder / L"deep\\er\\settings";
    InitializeLogging(settings, L"zvfilter");
    std::vector<std::filesystem::path> files(std::filesystem::directory_iterator(settings + L"\\Logs"), {});
    ASSERT_EQ(files.size(), 1u);
    const std::wstring fileName = files[0].filename().wstring();
    ASSERT_EQ(fileName.size(), std::wstring(L"zvfilter_webcam_20240131_094502.log").size());
    EXPECT_EQ(fileName.substr(0, 16) + fileName.substr(fileName.size() - 4), L"zvfilter_webcam_.log");
    const std::string stamp = ToUtf8(fileName.substr(16, 15));
    EXPECT_EQ(stamp.find_first_not_of("0123456789"), 8u);
    EXPECT_EQ(stamp.find_first_not_of("0123456789", 9), std::string::npos);

    *FilterLogFactory()("StartCamera") << "sent" << Log::EndLine;
    InitializeLogging(folder / L"other", L"zvfilter"); // a second filter opens no second file
    std::istringstream lines(ReadFileBytes(files[0].wstring()));
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, "[vcam] " + stamp + "\r");
    ASSERT_TRUE(std::getline(lines, line));
    ASSERT_EQ(line.size(), std::string("[StartCamera] 1700000000000\r").size()) << line;
    EXPECT_EQ(line.substr(0, 14) + line.substr(27), "[StartCamera] \r");
    EXPECT_EQ(line.substr(14, 13).find_first_not_of("0123456789"), std::string::npos) << line;
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, "[StartCamera] sent\r");
    ASSERT_TRUE(std::getline(lines, line)); // the second filter's time line, in the same file
    EXPECT_EQ(line.substr(0, 7) + std::to_string(line.size()), "[vcam] 23");
    EXPECT_FALSE(std::getline(lines, line));
}

// Two hosts starting within the same second open the same file name: neither may wipe or
// overwrite the other's lines.
TEST(Log, ASecondOpenOfTheSameFileKeepsWhatTheFirstWrote) {
    TempFolder folder;
    const auto first = UniqueName(), second = UniqueName();
    ASSERT_TRUE(Log::Open(first, folder / L"shared.log", 0));
    Log::Get(first, "A") << "one" << Log::EndLine;
    ASSERT_TRUE(Log::Open(second, folder / L"shared.log", 0));
    Log::Get(second, "B") << "two" << Log::EndLine;
    Log::Get(first, "A") << "three" << Log::EndLine;
    EXPECT_EQ(ReadFileBytes(folder / L"shared.log"), "[A] one\r\n[B] two\r\n[A] three\r\n");
}

constexpr int kChildLines = 4000;

// One of the two writers of the test below, started as a program of its own.
TEST(Log, DISABLED_AppendingChildProcess) {
    wchar_t path[MAX_PATH] = {}, tag[8] = {}, start[64] = {}, ready[64] = {};
    ASSERT_TRUE(GetEnvironmentVariableW(L"ZARVO_LOG_CHILD_FILE", path, MAX_PATH) &&
                GetEnvironmentVariableW(L"ZARVO_LOG_CHILD_TAG", tag, 8) &&
                GetEnvironmentVariableW(L"ZARVO_LOG_CHILD_START", start, 64) &&
                GetEnvironmentVariableW(L"ZARVO_LOG_CHILD_READY", ready, 64));
    ASSERT_TRUE(Log::Open("child", path, 0));
    const HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, start), up = OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, ready);
    ASSERT_TRUE(go && up && ReleaseSemaphore(up, 1, nullptr));
    ASSERT_EQ(WaitForSingleObject(go, 60000), WAIT_OBJECT_0);
    const std::string name = ToUtf8(tag);
    for (int i = 0; i < kChildLines; ++i)
        Log::Get("child", name) << "line " << i << " padding-padding-padding-padding-padding" << Log::EndLine;
    CloseHandle(go), CloseHandle(up);
}

// Two processes appending to one file at the same moment: every line of both arrives whole.
TEST(Log, TwoProcessesAppendingAtOnceLoseAndCutNoLine) {
    TempFolder folder;
    const std::wstring file = folder / L"shared.log", suffix = std::to_wstring(GetCurrentProcessId());
    const std::wstring start = L"ZarvoLogStart-" + suffix, ready = L"ZarvoLogReady-" + suffix;
    const HANDLE go = CreateEventW(nullptr, TRUE, FALSE, start.c_str());
    const HANDLE up = CreateSemaphoreW(nullptr, 0, 2, ready.c_str());
    ASSERT_TRUE(go && up);
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::vector<PROCESS_INFORMATION> children;
    for (const wchar_t* tag : {L"A", L"B"}) {
        SetEnvironmentVariableW(L"ZARVO_LOG_CHILD_FILE", file.c_str());
        SetEnvironmentVariableW(L"ZARVO_LOG_CHILD_TAG", tag);
        SetEnvironmentVariableW(L"ZARVO_LOG_CHILD_START", start.c_str());
        SetEnvironmentVariableW(L"ZARVO_LOG_CHILD_READY", ready.c_str());
        std::wstring command = L"\"" + std::wstring(self) +
                               L"\" --gtest_also_run_disabled_tests --gtest_filter=Log.DISABLED_AppendingChildProcess";
        STARTUPINFOW startup{sizeof(startup)};
        PROCESS_INFORMATION child{};
        ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                   &child));
        children.push_back(child);
    }
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(WaitForSingleObject(up, 60000), WAIT_OBJECT_0) << "a child did not come up";
    SetEvent(go); // both write from here on, at the same time
    for (const auto& child : children) {
        DWORD code = 1;
        EXPECT_EQ(WaitForSingleObject(child.hProcess, 60000), WAIT_OBJECT_0);
        EXPECT_TRUE(GetExitCodeProcess(child.hProcess, &code) && code == 0);
        CloseHandle(child.hProcess), CloseHandle(child.hThread);
    }
    CloseHandle(go), CloseHandle(up);

    std::istringstream lines(ReadFileBytes(file));
    int next[2] = {0, 0};
    for (std::string line; std::getline(lines, line);) {
        char tag = 0;
        int i = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "[%c] line %d", &tag, &i), 2) << line;
        ASSERT_TRUE(tag == 'A' || tag == 'B') << line;
        ASSERT_EQ(line, std::string("[") + tag + "] line " + std::to_string(next[tag - 'A']) +
                            " padding-padding-padding-padding-padding\r");
        ++next[tag - 'A'];
    }
    EXPECT_EQ((std::pair{next[0], next[1]}), (std::pair{kChildLines, kChildLines}));
}

} // namespace
} // namespace Zarvo
