#include "log/Log.h"
#include "log/Text.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace Zarvo {
namespace {

using Testing::ReadFileBytes;
using Testing::TempFolder;

// Each test registers its own names: the registry lives as long as the process.
std::string UniqueName(const char* base) {
    static int counter = 0;
    return std::string(base) + "-" + std::to_string(++counter);
}

TEST(Log, LinesAreWrittenByteForByteWithCrLfEnds) {
    TempFolder folder;
    const auto path = folder / L"lines.log";
    const auto name = UniqueName("lines");
    ASSERT_TRUE(Log::Open(name, path, 0));
    {
        Log log = Log::Get(name, "Tag");
        log << "text " << 42 << "," << -7 << "," << std::numeric_limits<std::uint64_t>::max() << ","
            << std::numeric_limits<std::int64_t>::min() << "," << true << false << Log::EndLine;
        log << Log::EndLine; // nothing inserted: nothing written
        log << "second" << Log::EndLine;
        log << "never ended";
    }
    EXPECT_EQ(ReadFileBytes(path), "[Tag] text 42,-7,18446744073709551615,-9223372036854775808,10\r\n"
                                   "[Tag] second\r\n");
}

TEST(Log, ErrorLinesPassAHighThresholdAreFlushedAndTheLevelReturnsToInfo) {
    TempFolder folder;
    const auto path = folder / L"errors.log";
    const auto name = UniqueName("errors");
    ASSERT_TRUE(Log::Open(name, path, 3));

    Log log = Log::Get(name, "Op");
    log << "dropped info" << Log::EndLine;
    log << LogLevel::Error << "ERROR: failed " << 5 << Log::EndLine;
    EXPECT_EQ(log.Level(), LogLevel::Info);
    // The Log is still alive: only the flush of the error line can have put it in the file.
    EXPECT_EQ(ReadFileBytes(path), "[Op] ERROR: failed 5\r\n");

    log << "after the error" << Log::EndLine;
    log.SetLevel(LogLevel::Error);
    log << "again" << Log::EndLine;
    EXPECT_EQ(ReadFileBytes(path), "[Op] ERROR: failed 5\r\n[Op] again\r\n");
}

TEST(Log, UnregisteredAndFailedNamesDiscardEverything) {
    TempFolder folder;
    const auto missing = folder / L"no such folder\\x.log";
    const auto name = UniqueName("failed");
    EXPECT_FALSE(Log::Open(name, missing, 0));
    EXPECT_FALSE(std::filesystem::exists(missing));

    for (const std::string& target : {name, UniqueName("never-opened")}) {
        Log log = Log::Get(target, "Tag");
        log << LogLevel::Error << "ERROR: " << 1 << true << Log::EndLine;
        EXPECT_EQ(log.Level(), LogLevel::Info);
        log << "info" << 2u << Log::EndLine;
    }
    // A later successful Open of the failed name works normally.
    const auto path = folder / L"late.log";
    ASSERT_TRUE(Log::Open(name, path, 0));
    Log::Get(name, "Late") << "here" << Log::EndLine;
    EXPECT_EQ(ReadFileBytes(path), "[Late] here\r\n");
}

TEST(Log, SecondOpenKeepsTheFirstFileAndTakesTheNewThreshold) {
    TempFolder folder;
    const auto first = folder / L"first.log";
    const auto second = folder / L"second.log";
    const auto name = UniqueName("reopen");
    ASSERT_TRUE(Log::Open(name, first, 0));
    Log::Get(name, "A") << "one" << Log::EndLine;

    ASSERT_TRUE(Log::Open(name, second, 3));
    EXPECT_FALSE(std::filesystem::exists(second));
    {
        Log log = Log::Get(name, "B");
        log << "suppressed now" << Log::EndLine;
        log << LogLevel::Error << "two" << Log::EndLine;
    }
    EXPECT_EQ(ReadFileBytes(first), "[A] one\r\n[B] two\r\n");
}

TEST(Log, ConcurrentWritersNeverInterleaveOrLoseLines) {
    TempFolder folder;
    const auto path = folder / L"threads.log";
    const auto name = UniqueName("threads");
    ASSERT_TRUE(Log::Open(name, path, 0));

    constexpr int kThreads = 8;
    constexpr int kLines = 2000;
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

    std::istringstream lines(ReadFileBytes(path));
    std::set<std::pair<int, int>> seen;
    std::string line;
    while (std::getline(lines, line)) {
        int t = -1, i = -1, again = -1;
        char tail[64] = {};
        ASSERT_EQ(std::sscanf(line.c_str(), "[T%d] line %d of %d %63s", &t, &i, &again, tail), 4) << line;
        ASSERT_EQ(t, again) << line;
        ASSERT_EQ(line, "[T" + std::to_string(t) + "] line " + std::to_string(i) + " of " + std::to_string(t) +
                            " padding-padding-padding-padding\r");
        EXPECT_TRUE(seen.emplace(t, i).second) << "duplicate " << line;
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLines));
}

// Everything about the camera's own log name lives in one test: it can be opened once per process.
TEST(Log, InitializeLoggingCreatesTheFolderAndTheFilterFactoryWritesTimeLines) {
    TempFolder folder;

    // A folder that cannot be created (a file stands in its way) leaves logging off, silently.
    Testing::WriteFileBytes(folder / L"blocked", "x");
    EXPECT_THROW(MakeLogFilePath(folder / L"blocked", L"zvfilter", L"t"), std::filesystem::filesystem_error);
    InitializeLogging(folder / L"blocked", L"zvfilter");
    InitializeLogging(L"", L"zvfilter");
    {
        auto log = FilterLogFactory()("StartCamera");
        ASSERT_NE(log, nullptr);
        *log << LogLevel::Error << "discarded" << Log::EndLine;
    }

    const std::wstring settings = folder / L"deep\\er\\settings";
    InitializeLogging(settings, L"zvfilter");
    const std::filesystem::path logs(settings + L"\\Logs");
    ASSERT_TRUE(std::filesystem::is_directory(logs));
    std::vector<std::filesystem::path> files(std::filesystem::directory_iterator(logs), {});
    ASSERT_EQ(files.size(), 1u);
    const std::wstring fileName = files[0].filename().wstring();
    ASSERT_EQ(fileName.size(), std::wstring(L"zvfilter_webcam_20240131_094502.log").size());
    EXPECT_EQ(fileName.substr(0, 16), L"zvfilter_webcam_");
    EXPECT_EQ(fileName.substr(fileName.size() - 4), L".log");
    const std::string timestamp = ToUtf8(fileName.substr(16, 15));
    EXPECT_EQ(timestamp[8], '_');

    {
        auto log = FilterLogFactory()("StartCamera");
        *log << "sent" << Log::EndLine;
    }
    // A second filter in the same process opens no second file.
    InitializeLogging(folder / L"other", L"zvfilter");

    std::istringstream lines(ReadFileBytes(files[0].wstring()));
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, "[vcam] " + timestamp + "\r");
    ASSERT_TRUE(std::getline(lines, line));
    ASSERT_EQ(line.size(), std::string("[StartCamera] 1700000000000\r").size()) << line;
    EXPECT_EQ(line.substr(0, 14), "[StartCamera] ");
    EXPECT_EQ(line.substr(14, 13).find_first_not_of("0123456789"), std::string::npos) << line;
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, "[StartCamera] sent\r");
    // The second filter's time line goes to the same file.
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line.substr(0, 7), "[vcam] ");
    EXPECT_EQ(line.size(), 7u + 15u + 1u);
    EXPECT_FALSE(std::getline(lines, line));
    const std::filesystem::path otherLogs(folder / L"other\\Logs");
    EXPECT_TRUE(!std::filesystem::exists(otherLogs) || std::filesystem::is_empty(otherLogs));
}

} // namespace
} // namespace Zarvo
