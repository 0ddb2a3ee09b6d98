#include "log/Log.h"
#include "log/Text.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <limits>
#include <map>
#include <regex>
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

TEST(Text, FormatHex64IsSixteenUpperCaseDigitsAndToUtf8EncodesEachUnitOnItsOwn) {
    EXPECT_EQ(FormatHex64(500), "00000000000001F4");
    EXPECT_EQ(FormatHex64(0xFEDCBA9876543210ull), "FEDCBA9876543210");
    EXPECT_EQ(ToUtf8(std::wstring(L"a\0\u00E9\u07FF\u0800\u20AC\uFFFF", 7)),
              std::string("a\0\xC3\xA9\xDF\xBF\xE0\xA0\x80\xE2\x82\xAC\xEF\xBF\xBF", 15));
    // U+1F600 as a surrogate pair: two 3-byte sequences, not one 4-byte sequence.
    const wchar_t pair[] = {0xD83D, 0xDE00, 0};
    EXPECT_EQ(ToUtf8(pair), "\xED\xA0\xBD\xED\xB8\x80");
}

TEST(Log, LinesAreAppendedByteForByteErrorsFlushAndUnopenedNamesDiscardEverything) {
    TempFolder folder;
    const auto name = UniqueName(), second = UniqueName(), errors = UniqueName(), failed = UniqueName();
    ASSERT_TRUE(Log::Open(name, folder / L"lines.log", 0));
    {
        Log log = Log::Get(name, "Tag");
        log << "text " << 42 << "," << -7 << "," << std::numeric_limits<std::uint64_t>::max() << ","
            << std::numeric_limits<std::int64_t>::min() << "," << true << false << 'c' << Log::EndLine;
        log << Log::EndLine; // nothing inserted: nothing written
        log << "never ended";
    }
    // Two hosts starting within the same second open the same file: neither wipes the other's lines.
    ASSERT_TRUE(Log::Open(second, folder / L"lines.log", 0));
    Log::Get(second, "B") << "two" << Log::EndLine;
    Log::Get(name, "Tag") << "three" << Log::EndLine;
    EXPECT_EQ(ReadFileBytes(folder / L"lines.log"),
              "[Tag] text 42,-7,18446744073709551615,-9223372036854775808,10c\r\n[B] two\r\n[Tag] three\r\n");

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
    *FilterLogFactory()("StartCamera") << "sent" << Log::EndLine;
    InitializeLogging(folder / L"other", L"zvfilter"); // a second filter opens no second file
    std::vector<std::filesystem::path> files(std::filesystem::directory_iterator(settings + L"\\Logs"), {});
    ASSERT_EQ(files.size(), 1u);
    std::wsmatch stamp;
    const std::wstring fileName = files[0].filename().wstring();
    ASSERT_TRUE(std::regex_match(fileName, stamp, std::wregex(L"zvfilter_webcam_(\\d{8}_\\d{6})\\.log")))
        << fileName;
    // The file's stamp, milliseconds since 1970 (13 digits in current years), the second filter's stamp.
    const std::string text = ReadFileBytes(files[0].wstring());
    EXPECT_TRUE(std::regex_match(text, std::regex("\\[vcam\\] " + ToUtf8(stamp.str(1)) +
                                                  "\r\n\\[StartCamera\\] \\d{13}\r\n\\[StartCamera\\] "
                                                  "sent\r\n\\[vcam\\] \\d{8}_\\d{6}\r\n")))
        << text;
}

std::string LastLine(std::uint64_t cap) {
    return "[Log] logging stopped: the file is full (" + std::to_string(cap) + " bytes)\r\n";
}

constexpr std::string_view kPadding = " padding-padding-padding-padding-padding";

void WriteNumberedLines(const std::string& name, const std::string& writer, int count) {
    Log log = Log::Get(name, writer);
    for (int i = 0; i < count; ++i)
        log << "line " << i << kPadding << Log::EndLine;
}

// Reads the numbered lines of WriteNumberedLines (skipping the "vcam" time lines): each writer's
// lines must arrive whole, in order and without a gap, and with a `lastLine` the text must end
// with exactly one of it. Returns the number of lines per writer.
std::map<std::string, int> CountWriterLines(const std::string& text, const std::string& lastLine = {}) {
    std::map<std::string, int> next;
    int lastLines = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("[vcam] "))
            continue;
        if (!lastLine.empty() && line + "\n" == lastLine) {
            ++lastLines;
            continue;
        }
        EXPECT_EQ(lastLines, 0) << "written after the last line: " << line;
        char writer[16] = {};
        int i = -1;
        if (std::sscanf(line.c_str(), "[%15[^]]] line %d", writer, &i) != 2) {
            ADD_FAILURE() << "not a numbered line: " << line;
            break;
        }
        EXPECT_EQ(line, "[" + std::string(writer) + "] line " + std::to_string(next[writer]++) +
                            std::string(kPadding) + "\r");
    }
    EXPECT_TRUE(text.empty() || text.ends_with("\r\n"));
    if (!lastLine.empty()) {
        EXPECT_EQ(lastLines, 1);
    }
    return next;
}

TEST(Log, AFileAtItsCapGetsExactlyOneLastLineAlsoWithThreadsWritingAtOnce) {
    TempFolder folder;
    // Lines of 16 bytes: the last line must always fit behind them, so the file never passes its cap.
    const std::string line = "[T] 0123456789\r\n";
    const std::uint64_t room = 3 * line.size() + LastLine(100).size();
    const struct {
        std::uint64_t cap;
        std::string expected;
    } cases[] = {
        {room, line + line + line + LastLine(room)},
        {room - 1, line + line + LastLine(room - 1)},
        {10, ""}, // not even the last line fits
    };
    for (const auto& c : cases) {
        const std::wstring file = folder / (L"cap-" + std::to_wstring(c.cap) + L".log");
        const auto name = UniqueName(), again = UniqueName();
        ASSERT_TRUE(Log::Open(name, file, 0, c.cap));
        for (int i = 0; i < 5; ++i)
            Log::Get(name, "T") << "0123456789" << Log::EndLine;
        // A second opener of the full file (another host of the same second) adds nothing either,
        // even with a larger cap of its own.
        ASSERT_TRUE(Log::Open(again, file, 0));
        Log::Get(again, "T") << "0123456789" << Log::EndLine;
        EXPECT_EQ(ReadFileBytes(file), c.expected) << c.cap;
    }

    // Eight threads at once: the lines stop at one point, followed by one last line.
    const std::uint64_t cap = 64 * 1024;
    const std::wstring shared = folder / L"threads.log";
    const auto name = UniqueName();
    ASSERT_TRUE(Log::Open(name, shared, 0, cap));
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back(WriteNumberedLines, name, "W" + std::to_string(t), 1000);
    for (auto& thread : threads)
        thread.join();
    const std::string text = ReadFileBytes(shared);
    const auto counts = CountWriterLines(text, LastLine(cap));
    EXPECT_LE(text.size(), cap);
    EXPECT_GT(text.size() + 64, cap) << "stopped long before the cap";
    WriteNumberedLines(name, "W0", 1);
    EXPECT_EQ(ReadFileBytes(shared), text);

    // The default cap, written in lines of a megabyte: nine fit, then the last line.
    const std::wstring big = folder / L"big.log";
    const auto bigName = UniqueName();
    ASSERT_TRUE(Log::Open(bigName, big, 0));
    const std::string megabyte(1024 * 1024 - 6, 'x'); // "[B] " + CR LF make a line of 1 MB
    for (int i = 0; i < 11; ++i)
        Log::Get(bigName, "B") << megabyte << Log::EndLine;
    const std::string bigText = ReadFileBytes(big);
    const std::string bigLast = "[Log] logging stopped: the file is full (10 MB)\r\n";
    EXPECT_EQ(bigText.size(), 9 * 1024 * 1024 + bigLast.size());
    EXPECT_TRUE(bigText.ends_with("xx\r\n" + bigLast));
}

// The logs of the filter's prefix the two tests below start from: one a second, oldest first.
constexpr int kOldLogs = 40;
std::wstring OldLogName(int i) {
    return L"zvfilter_webcam_20200101_0000" + std::wstring(i < 10 ? L"0" : L"") + std::to_wstring(i) + L".log";
}
// Names that only look alike, and a folder with a log's name: never deleted.
const std::vector<std::wstring> kLookalikes = {
    L"zvserver_webcam_20200101_000000.log",     L"zvfilter_webcam_20200101_000000.log.bak",
    L"zvfilter_webcam_notes.log",               L"zvfilter_webcam_2020-101_000000.log",
    L"zvfilter2_webcam_20200101_000000.log",    L"zvfilter_webcam_20190101_000000.txt",
    L"zvfilter_webcam_20190101_000000.log\\x"}; // a file inside the folder-shaped one

void MakeOldLogs(const std::wstring& logs) {
    std::filesystem::create_directories(std::filesystem::path(logs + L"\\zvfilter_webcam_20190101_000000.log"));
    for (int i = 0; i < kOldLogs; ++i)
        Testing::WriteFileBytes(logs + L"\\" + OldLogName(i), "old " + std::to_string(i) + "\r\n");
    for (const auto& name : kLookalikes)
        Testing::WriteFileBytes(logs + L"\\" + name, "keep");
}

// Everything in `logs` except the lookalikes (which must all still be there with their bytes).
std::set<std::wstring> LogsLeft(const std::wstring& logs) {
    std::set<std::wstring> left;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(logs)))
        left.insert(entry.path().filename().wstring());
    for (const auto& name : kLookalikes) {
        EXPECT_EQ(ReadFileBytes(logs + L"\\" + name), "keep") << ToUtf8(name);
        left.erase(name.substr(0, name.find(L'\\')));
    }
    return left;
}

TEST(Log, DeleteOldLogFilesKeepsTheCurrentFileAndTheTwentyNewestOfItsPrefixOnly) {
    TempFolder folder;
    const std::wstring logs = folder.Path();
    MakeOldLogs(logs);
    // The current file sorts among the oldest (the clock went back), and another old one is still
    // being written: both stay, with their handles still writing into the folder.
    const auto current = UniqueName(), writing = UniqueName();
    ASSERT_TRUE(Log::Open(current, logs + L"\\" + OldLogName(5), 0));
    ASSERT_TRUE(Log::Open(writing, logs + L"\\" + OldLogName(2), 0));
    DeleteOldLogFiles(logs + L"\\" + OldLogName(5), L"zvfilter");
    std::set<std::wstring> expected = {OldLogName(2), OldLogName(5)};
    for (int i = kOldLogs - 20; i < kOldLogs; ++i)
        expected.insert(OldLogName(i));
    EXPECT_EQ(LogsLeft(logs), expected);

    DeleteOldLogFiles(logs + L"\\" + OldLogName(5), L"zvfilter", 1);
    EXPECT_EQ(LogsLeft(logs), (std::set<std::wstring>{OldLogName(2), OldLogName(5), OldLogName(kOldLogs - 1)}));
    Log::Get(writing, "W") << "still here" << Log::EndLine;
    EXPECT_EQ(ReadFileBytes(logs + L"\\" + OldLogName(2)), "old 2\r\n[W] still here\r\n");
}

constexpr int kThreads = 4, kChildLines = 2000;

std::wstring Environment(const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
    return std::wstring(value, length < MAX_PATH ? length : 0);
}

// One of the two writers of the tests below, started as a program of its own: it opens its log
// (a given file, or a new one in a settings folder as a camera host does) at the moment the
// parent says, then its threads write at once.
TEST(Log, DISABLED_AppendingChildProcess) {
    const std::wstring file = Environment(L"ZARVO_LOG_CHILD_FILE"), settings = Environment(L"ZARVO_LOG_CHILD_SETTINGS"),
                       tag = Environment(L"ZARVO_LOG_CHILD_TAG"), id = Environment(L"ZARVO_LOG_CHILD_ID"),
                       cap = Environment(L"ZARVO_LOG_CHILD_CAP");
    ASSERT_TRUE(!tag.empty() && !id.empty() && !cap.empty() && file.empty() != settings.empty());
    const HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, (L"ZarvoLogStart-" + id).c_str()),
                 up = OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, (L"ZarvoLogReady-" + id).c_str());
    ASSERT_TRUE(go && up && ReleaseSemaphore(up, 1, nullptr));
    ASSERT_EQ(WaitForSingleObject(go, 60000), WAIT_OBJECT_0);
    std::string name = "child";
    if (settings.empty()) {
        ASSERT_TRUE(Log::Open(name, file, 0, std::stoull(cap)));
    } else {
        InitializeLogging(settings, L"zvfilter");
        name = kFilterLogName;
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(WriteNumberedLines, name, ToUtf8(tag) + std::to_string(t), kChildLines);
    for (auto& thread : threads)
        thread.join();
    CloseHandle(go), CloseHandle(up);
}

// Starts the two children "A" and "B", lets them open their logs at the same moment and waits
// for both to end well; a child that hangs is ended after a minute and fails the test.
void RunTwoChildren(const std::wstring& file, const std::wstring& settings, std::uint64_t cap) {
    static int run = 0;
    const std::wstring id = std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++run);
    const HANDLE go = CreateEventW(nullptr, TRUE, FALSE, (L"ZarvoLogStart-" + id).c_str());
    const HANDLE up = CreateSemaphoreW(nullptr, 0, 2, (L"ZarvoLogReady-" + id).c_str());
    ASSERT_TRUE(go && up);
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    SetEnvironmentVariableW(L"ZARVO_LOG_CHILD_FILE", file.empty() ? nullptr : file.c_str());
    SetEnvironmentVariableW(L"ZARVO_LOG_CHILD_SETTINGS", settings.empty() ? nullptr : settings.c_str());
    SetEnvironmentVariableW(L"ZARVO_LOG_CHILD_ID", id.c_str());
    SetEnvironmentVariableW(L"ZARVO_LOG_CHILD_CAP", std::to_wstring(cap).c_str());
    std::vector<PROCESS_INFORMATION> children;
    for (const wchar_t* tag : {L"A", L"B"}) {
        SetEnvironmentVariableW(L"ZARVO_LOG_CHILD_TAG", tag);
        std::wstring command =
            L"\"" + std::wstring(self) +
            L"\" --gtest_also_run_disabled_tests --gtest_filter=Log.DISABLED_AppendingChildProcess";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION child{};
        if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child))
            children.push_back(child);
    }
    EXPECT_EQ(children.size(), 2u);
    int ready = 0;
    while (ready < static_cast<int>(children.size()) && WaitForSingleObject(up, 60000) == WAIT_OBJECT_0)
        ++ready;
    EXPECT_EQ(ready, 2) << "a child did not come up";
    SetEvent(go); // both open and write from here on, at the same time
    for (const auto& child : children) {
        DWORD code = 1;
        if (WaitForSingleObject(child.hProcess, 60000) != WAIT_OBJECT_0) {
            ADD_FAILURE() << "a child hung";
            TerminateProcess(child.hProcess, 1);
            WaitForSingleObject(child.hProcess, 10000);
        }
        EXPECT_TRUE(GetExitCodeProcess(child.hProcess, &code) && code == 0);
        CloseHandle(child.hProcess), CloseHandle(child.hThread);
    }
    CloseHandle(go), CloseHandle(up);
}

// Two processes of several threads each appending to one file at the same moment: every line of
// every thread arrives whole and in its order; with a cap, all stop at one point below it,
// followed by exactly one last line.
TEST(Log, TwoProcessesAndTheirThreadsAppendingAtOnceLoseAndCutNoLineAndStopTogetherAtTheCap) {
    TempFolder folder;
    for (const std::uint64_t cap : {Log::kMaxFileBytes, std::uint64_t{64 * 1024}}) {
        const std::wstring file = folder / (L"shared-" + std::to_wstring(cap) + L".log");
        RunTwoChildren(file, {}, cap);
        const std::string text = ReadFileBytes(file);
        if (cap == Log::kMaxFileBytes) {
            const auto counts = CountWriterLines(text);
            EXPECT_EQ(counts.size(), 2u * kThreads);
            for (const auto& [writer, count] : counts)
                EXPECT_EQ(count, kChildLines) << writer;
        } else {
            CountWriterLines(text, LastLine(cap));
            EXPECT_LE(text.size(), cap);
            EXPECT_GT(text.size() + 64, cap) << "stopped long before the cap";
        }
    }
}

// Two camera hosts starting at once in a folder of 40 older logs, three of which other hosts
// still write: each keeps its own file and the 20 newest others, so the newest 21 remain, plus
// the three still open (and the lookalikes, untouched). No line of either host is lost.
TEST(Log, TwoHostsOpeningLogsAtOnceKeepTheNewestAndDeleteNoFileStillBeingWritten) {
    TempFolder folder;
    const std::wstring settings = folder / L"settings", logs = settings + L"\\Logs";
    MakeOldLogs(logs);
    std::map<int, std::string> writing;
    for (const int i : {0, 10, 19}) {
        writing[i] = UniqueName();
        ASSERT_TRUE(Log::Open(writing[i], logs + L"\\" + OldLogName(i), 0));
    }
    RunTwoChildren({}, settings, Log::kMaxFileBytes);

    std::set<std::wstring> left = LogsLeft(logs), hosts;
    std::string hostLines;
    for (const auto& name : left)
        if (!name.starts_with(L"zvfilter_webcam_2020")) {
            hosts.insert(name);
            hostLines += ReadFileBytes(logs + L"\\" + name);
        }
    // One file per host, or one shared when both started within the same second.
    ASSERT_TRUE(hosts.size() == 1 || hosts.size() == 2) << hosts.size();
    const auto counts = CountWriterLines(hostLines);
    EXPECT_EQ(counts.size(), 2u * kThreads);
    for (const auto& [writer, count] : counts)
        EXPECT_EQ(count, kChildLines) << writer;

    std::set<std::wstring> expected = hosts;
    for (int i = kOldLogs - static_cast<int>(kKeptLogFiles + 1 - hosts.size()); i < kOldLogs; ++i)
        expected.insert(OldLogName(i));
    for (const auto& [i, name] : writing) {
        expected.insert(OldLogName(i));
        Log::Get(name, "W") << "still here" << Log::EndLine;
        EXPECT_EQ(ReadFileBytes(logs + L"\\" + OldLogName(i)), "old " + std::to_string(i) + "\r\n[W] still here\r\n");
    }
    EXPECT_EQ(left, expected);
}

} // namespace
} // namespace Zarvo
