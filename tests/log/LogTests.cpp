#include "log/Log.h"
#include "log/Text.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
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

TEST(Log, LinesAreAppendedByteForByteErrorsFlushAndUnopenedNamesDiscardEverything) {
    TempFolder folder;
    const auto name = UniqueName(), errors = UniqueName(), failed = UniqueName();
    ASSERT_TRUE(Log::Open(name, folder / L"lines.log", 0));
    {
        Log log = Log::Get(name, "Tag");
        log << "text " << 42 << Log::EndLine;
        log << Log::EndLine; // nothing inserted: nothing written
        log << "never ended";
    }
    // A second opener of a taken name (a host that started within the same second) writes a file
    // of its own, named after its process, then with a count; neither touches the other's lines.
    const std::wstring pid = std::to_wstring(GetCurrentProcessId());
    const struct {
        std::wstring asked, opened;
    } openers[] = {
        {L"lines.log", L"lines_" + pid + L".log"},
        {L"lines.log", L"lines_" + pid + L"_2.log"},
    };
    for (const auto& opener : openers) {
        const std::string other = UniqueName();
        std::wstring opened;
        ASSERT_TRUE(Log::Open(other, folder / opener.asked, 0, Log::kMaxFileBytes, &opened));
        EXPECT_EQ(opened, folder / opener.opened);
        Log::Get(other, "B") << ToUtf8(opener.opened) << Log::EndLine;
        EXPECT_EQ(ReadFileBytes(opened), "[B] " + ToUtf8(opener.opened) + "\r\n");
    }
    std::wstring kept; // a name keeps its file
    ASSERT_TRUE(Log::Open(name, folder / L"other.log", 0, Log::kMaxFileBytes, &kept));
    EXPECT_EQ(kept, folder / L"lines.log");
    Log::Get(name, "Tag") << "three" << Log::EndLine;
    EXPECT_EQ(ReadFileBytes(folder / L"lines.log"),
              "[Tag] text 42\r\n[Tag] three\r\n");

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
    EXPECT_TRUE(std::regex_match(files[0].filename().wstring(), std::wregex(L"zvfilter_webcam_\\d{8}_\\d{6}\\.log")));
    const std::string text = ReadFileBytes(files[0].wstring());
    EXPECT_TRUE(text.find("[StartCamera] sent\r\n") != std::string::npos && text.find("discarded") == std::string::npos)
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

TEST(Log, AFileAtItsCapGetsExactlyOneLastLine) {
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
        const auto name = UniqueName();
        ASSERT_TRUE(Log::Open(name, file, 0, c.cap));
        for (int i = 0; i < 5; ++i)
            Log::Get(name, "T") << "0123456789" << Log::EndLine;
        EXPECT_EQ(ReadFileBytes(file), c.expected) << c.cap;
    }

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

// The logs of the filter's prefix the tests below start from, one a minute by name, oldest first.
// Some carry the suffixes of a name that was taken (see Log::Open).
constexpr int kOldLogs = 40;
std::wstring OldLogName(int i) {
    const wchar_t* suffix = i % 10 != 7 ? L"" : i % 20 == 7 ? L"_4242" : L"_4242_2";
    return L"zvfilter_webcam_20200101_00" + std::wstring(i < 10 ? L"0" : L"") + std::to_wstring(i) + L"00" +
           suffix + L".log";
}
// Names that only look alike, and a folder with a log's name: never deleted.
const std::vector<std::wstring> kLookalikes = {
    L"zvserver_webcam_20200101_000000.log",
    L"zvfilter_webcam_20200101_000000.log.bak",
    L"zvfilter_webcam_2020-101_000000.log",
    L"zvfilter2_webcam_20200101_000000.log",
    L"zvfilter_webcam_20200101_000000_.log",
    L"zvfilter_webcam_20200101_000000_12x.log",
    L"zvfilter_webcam_20200101_000000_1_2_3.log",
    L"zvfilter_webcam_20200101_000000_12345678901.log",
    L"zvfilter_webcam_20190101_000000.log\\x"}; // a file inside the folder-shaped one

// What old log `i` holds, also when a Log still has it open (as another host's would be).
std::string OldLogText(int i) {
    return "[W] old " + std::to_string(i) + "\r\n";
}

// Sets the creation time of old log `i` to 2020-01-01 plus `minute` minutes. Wine reports the
// earlier of the last write and the last change as the creation time (it keeps none of its own),
// so the last write time is set too.
void SetCreated(const std::wstring& logs, int i, int minute) {
    const HANDLE file = CreateFileW((logs + L"\\" + OldLogName(i)).c_str(), FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << ToUtf8(OldLogName(i));
    SYSTEMTIME day{2020, 1, 0, 1, 0, 0, 0, 0};
    FILETIME time{};
    SystemTimeToFileTime(&day, &time);
    const std::uint64_t ticks =
        ((std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime) + minute * 600'000'000ull;
    time = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    EXPECT_TRUE(SetFileTime(file, &time, nullptr, &time));
    CloseHandle(file);
}

// The old logs, log `i` created at minute `minuteOf(i)` (its place by name unless given); those in
// `writing` are still open in a Log of the name given there.
void MakeOldLogs(
    const std::wstring& logs, const std::map<int, std::string>& writing = {},
    const std::function<int(int)>& minuteOf = [](int i) { return i; }) {
    std::filesystem::create_directories(
        std::filesystem::path(logs + L"\\zvfilter_webcam_20190101_000000.log"));
    for (int i = 0; i < kOldLogs; ++i) {
        const std::wstring path = logs + L"\\" + OldLogName(i);
        if (const auto open = writing.find(i); open != writing.end()) {
            ASSERT_TRUE(Log::Open(open->second, path, 0));
            Log::Get(open->second, "W") << "old " << i << Log::EndLine;
        } else {
            Testing::WriteFileBytes(path, OldLogText(i));
        }
        SetCreated(logs, i, minuteOf(i));
    }
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

std::set<std::wstring> OldLogNames(std::initializer_list<int> indexes, int from = kOldLogs,
                                   int to = kOldLogs) {
    std::set<std::wstring> names;
    for (const int i : indexes)
        names.insert(OldLogName(i));
    for (int i = from; i < to; ++i)
        names.insert(OldLogName(i));
    return names;
}

// The current file and the newest others of its prefix stay (the twenty newest, or as many as asked).
// Names carry local time, which runs back at the autumn clock change or with a new time zone: the
// newest are those created last, whatever their names say, and by name only within one time. A file
// still being written stays whatever its age, its handle still writing into the folder.
TEST(Log, DeleteOldLogFilesKeepsTheCurrentFileAndTheTwentyNewestOfItsPrefixOnly) {
    const std::function<int(int)> byName = [](int i) { return i; },
                                  reversed = [](int i) { return kOldLogs - i; };
    const struct {
        const char* order;
        int current; // the old log that is the current file, open as `writing` is; -1: a new file
        std::size_t keep;
        std::function<int(int)> minuteOf;
        std::set<std::wstring> kept;
    } cases[] = {
        // The clock went back: the current file is among the oldest, and another old one (2) is open.
        {"current among the oldest", 5, kKeptLogFiles, byName, OldLogNames({2, 5}, kOldLogs - 20)},
        {"one kept", 5, 1, byName, OldLogNames({2, 5, kOldLogs - 1})},
        {"names opposite to the times", -1, kKeptLogFiles, reversed, OldLogNames({}, 0, 20)},
        // Logs 19 and 20 were created at the same time: the later name is the newer.
        {"two at one time", -1, kKeptLogFiles, [](int i) { return i == 20 ? kOldLogs - 19 : kOldLogs - i; },
         OldLogNames({20}, 0, 19)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.order);
        TempFolder folder;
        const std::wstring logs = folder.Path(), newFile = L"zvfilter_webcam_20200101_000000_1.log";
        std::map<int, std::string> writing;
        std::set<std::wstring> expected = c.kept;
        if (c.current < 0) {
            Testing::WriteFileBytes(folder / newFile, "current");
            expected.insert(newFile);
        } else {
            writing = {{c.current, UniqueName()}, {2, UniqueName()}};
        }
        MakeOldLogs(logs, writing, c.minuteOf);
        DeleteOldLogFiles(logs + L"\\" + (c.current < 0 ? newFile : OldLogName(c.current)), L"zvfilter",
                          c.keep);
        EXPECT_EQ(LogsLeft(logs), expected);
        for (const auto& [i, name] : writing) {
            Log::Get(name, "W") << "still here" << Log::EndLine;
            EXPECT_EQ(ReadFileBytes(logs + L"\\" + OldLogName(i)), OldLogText(i) + "[W] still here\r\n");
        }
    }
}

constexpr int kThreads = 4, kChildLines = 2000;

// One of the writers of the tests below, started as a program of its own: it opens its log (a
// given file, or a new one in a settings folder as a camera host does) at the moment the parent
// says, then its threads write at once: kChildLines each, or until the parent says stop, telling
// the parent of each line.
TEST(Log, DISABLED_AppendingChildProcess) {
    wchar_t text[4 * MAX_PATH] = {}; // id|tag|cap|until stopped (1 or nothing)|file|settings, from Children
    GetEnvironmentVariableW(L"ZARVO_LOG_CHILD", text, DWORD(std::size(text)));
    std::wistringstream fields(text);
    std::wstring id, tag, cap, untilStopped, file, settings;
    for (std::wstring* field : {&id, &tag, &cap, &untilStopped, &file, &settings})
        std::getline(fields, *field, L'|');
    ASSERT_TRUE(!tag.empty() && !id.empty() && !cap.empty() && file.empty() != settings.empty());
    const HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, (L"ZarvoLogStart-" + id).c_str()),
                 stop = OpenEventW(SYNCHRONIZE, FALSE, (L"ZarvoLogStop-" + id).c_str()),
                 up = OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, (L"ZarvoLogReady-" + id).c_str());
    ASSERT_TRUE(go && stop && up && ReleaseSemaphore(up, 1, nullptr));
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
        threads.emplace_back([&, writer = ToUtf8(tag) + std::to_string(t)] {
            if (untilStopped.empty())
                return WriteNumberedLines(name, writer, kChildLines);
            Log log = Log::Get(name, writer);
            for (int i = 0; WaitForSingleObject(stop, 0) == WAIT_TIMEOUT; ++i) {
                log << "line " << i << kPadding << Log::EndLine;
                ReleaseSemaphore(up, 1, nullptr); // fails harmlessly while the parent is behind
            }
        });
    for (auto& thread : threads)
        thread.join();
    CloseHandle(go), CloseHandle(stop), CloseHandle(up);
}

// Writer processes (DISABLED_AppendingChildProcess), one per tag. Each is up once the object is
// made; a child that hangs is ended after a minute and fails the test.
class Children {
public:
    Children(const std::wstring& file, const std::wstring& settings, std::uint64_t cap,
             std::initializer_list<const wchar_t*> tags, bool untilStopped = false) {
        static int run = 0;
        const std::wstring id = std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++run);
        mGo = CreateEventW(nullptr, TRUE, FALSE, (L"ZarvoLogStart-" + id).c_str());
        mStop = CreateEventW(nullptr, TRUE, FALSE, (L"ZarvoLogStop-" + id).c_str());
        mUp = CreateSemaphoreW(nullptr, 0, 64, (L"ZarvoLogReady-" + id).c_str());
        EXPECT_TRUE(mGo && mStop && mUp);
        wchar_t self[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        for (const wchar_t* tag : tags) {
            SetEnvironmentVariableW(L"ZARVO_LOG_CHILD",
                                    (id + L"|" + tag + L"|" + std::to_wstring(cap) + L"|" +
                                     (untilStopped ? L"1|" : L"|") + file + L"|" + settings)
                                        .c_str());
            std::wstring command =
                L"\"" + std::wstring(self) +
                L"\" --gtest_also_run_disabled_tests --gtest_filter=Log.DISABLED_AppendingChildProcess";
            STARTUPINFOW startup{};
            startup.cb = sizeof(startup);
            PROCESS_INFORMATION child{};
            if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &child))
                mChildren.push_back(child);
        }
        EXPECT_EQ(mChildren.size(), tags.size());
        EXPECT_TRUE(WaitUp()) << "a child did not come up";
    }
    ~Children() {
        SetEvent(mGo), SetEvent(mStop);
        for (const auto& child : mChildren) {
            DWORD code = 1;
            if (WaitForSingleObject(child.hProcess, 60000) != WAIT_OBJECT_0) {
                ADD_FAILURE() << "a child hung";
                TerminateProcess(child.hProcess, 1);
                WaitForSingleObject(child.hProcess, 10000);
            }
            EXPECT_TRUE(GetExitCodeProcess(child.hProcess, &code) && code == 0);
            CloseHandle(child.hProcess), CloseHandle(child.hThread);
        }
        CloseHandle(mGo), CloseHandle(mStop), CloseHandle(mUp);
    }
    Children(const Children&) = delete;
    Children& operator=(const Children&) = delete;

    // All open their logs and write from here on, at the same time.
    void Go() { SetEvent(mGo); }
    // Until each child has said so once more (or a minute has passed); what they said before
    // counts with `fresh` only.
    bool WaitUp(bool fresh = false) {
        while (fresh && WaitForSingleObject(mUp, 0) == WAIT_OBJECT_0) {
        }
        int up = 0;
        while (up < static_cast<int>(mChildren.size()) && WaitForSingleObject(mUp, 60000) == WAIT_OBJECT_0)
            ++up;
        return up == static_cast<int>(mChildren.size());
    }
    HANDLE Process(std::size_t i) const { return mChildren.at(i).hProcess; }

private:
    HANDLE mGo = nullptr, mStop = nullptr, mUp = nullptr;
    std::vector<PROCESS_INFORMATION> mChildren;
};

// The files in `folder` whose names start with `head`, by name.
std::map<std::wstring, std::string> FilesStartingWith(const std::wstring& folder, const std::wstring& head) {
    std::map<std::wstring, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(folder)))
        if (entry.path().filename().wstring().starts_with(head))
            files[entry.path().filename().wstring()] = ReadFileBytes(entry.path().wstring());
    return files;
}

// The numbered lines of each file come from one child's threads only, whole and in order, and
// when `complete`, all of them. (Under a cap the threads that started late may have had no room.)
void ExpectOneChildPerFile(const std::map<std::wstring, std::string>& files, const std::string& lastLine,
                           bool complete) {
    std::set<char> children;
    for (const auto& [file, text] : files) {
        const auto counts = CountWriterLines(text, lastLine);
        EXPECT_FALSE(counts.empty()) << ToUtf8(file);
        if (complete) {
            EXPECT_EQ(counts.size(), std::size_t{kThreads}) << ToUtf8(file);
        }
        for (const auto& [writer, count] : counts) {
            EXPECT_EQ(writer[0], counts.begin()->first[0]) << ToUtf8(file) << " has two children's lines";
            children.insert(writer[0]);
            if (complete) {
                EXPECT_EQ(count, kChildLines) << writer;
            }
        }
    }
    EXPECT_EQ(children.size(), 2u);
}

// Two processes opening one log name at the same moment (hosts that start within the same second),
// several threads each: each writes a file of its own, the second named after its process, and
// every line of every thread arrives whole and in its order; with a cap, each file stops below it
// with exactly one last line.
TEST(Log, TwoProcessesOpeningOneNameAtOnceWriteAFileEachAndLoseNoLine) {
    TempFolder folder;
    for (const std::uint64_t cap : {Log::kMaxFileBytes, std::uint64_t{64 * 1024}}) {
        SCOPED_TRACE(cap);
        const std::wstring head = L"shared-" + std::to_wstring(cap);
        {
            Children children(folder / (head + L".log"), {}, cap, {L"A", L"B"});
            children.Go();
        }
        const auto files = FilesStartingWith(folder.Path(), head);
        ASSERT_EQ(files.size(), 2u);
        EXPECT_TRUE(files.contains(head + L".log"));
        EXPECT_TRUE(std::regex_match(std::prev(files.end())->first, std::wregex(head + L"_\\d+\\.log")));
        ExpectOneChildPerFile(files, cap == Log::kMaxFileBytes ? std::string() : LastLine(cap),
                              cap == Log::kMaxFileBytes);
        for (const auto& [file, text] : files) {
            EXPECT_LE(text.size(), cap);
            if (cap != Log::kMaxFileBytes) {
                EXPECT_GT(text.size() + 64, cap) << "stopped long before the cap";
            }
        }
    }
}

// A host's thread never waits for another process to write a line: here another process of the
// same log name is frozen (as a debugger does) while its threads write, again and again.
TEST(Log, ALineNeverWaitsForAnotherProcessOfTheSameNameFrozenWhileItWrites) {
    using Suspend = LONG(WINAPI*)(HANDLE);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto suspend =
        reinterpret_cast<Suspend>(reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "NtSuspendProcess")));
    const auto resume =
        reinterpret_cast<Suspend>(reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "NtResumeProcess")));
    ASSERT_TRUE(suspend && resume);
    TempFolder folder;
    const std::wstring file = folder / L"frozen.log";
    const auto name = UniqueName();
    ASSERT_TRUE(Log::Open(name, file, 0));
    // Only a line that the frozen process was in the middle of holds a shared lock, so it is frozen
    // many times, each time while it writes.
    constexpr int kRounds = 300, kLinesPerRound = 5;
    double slowestMs = 0;
    {
        Children child(file, {}, Log::kMaxFileBytes, {L"A"}, true);
        child.Go();
        for (int round = 0; round < kRounds && slowestMs < 1000; ++round) {
            WriteNumberedLines(name, "P" + std::to_string(round), kLinesPerRound - 1);
            ASSERT_TRUE(child.WaitUp(true)) << "the child does not write";
            ASSERT_EQ(suspend(child.Process(0)), 0);
            const auto start = std::chrono::steady_clock::now();
            Log::Get(name, "F" + std::to_string(round)) << "line 0" << kPadding << Log::EndLine;
            const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
            ASSERT_EQ(resume(child.Process(0)), 0);
            slowestMs = std::max(slowestMs, took.count());
        }
    }
    EXPECT_LT(slowestMs, 1000) << "a line waited for the frozen process";
    // Every line of ours is in our file; the child wrote a file of its own.
    const auto files = FilesStartingWith(folder.Path(), L"frozen");
    ASSERT_EQ(files.size(), 2u);
    const auto ours = CountWriterLines(files.at(L"frozen.log"));
    EXPECT_EQ(ours.size(), 2u * kRounds);
    for (const auto& [writer, count] : ours)
        EXPECT_EQ(count, writer[0] == 'P' ? kLinesPerRound - 1 : 1) << writer;
}

// Two camera hosts starting at once in a folder of 40 older logs, three of which other hosts
// still write: each writes a file of its own (also when both started within the same second) and
// keeps it and the 20 newest others, so the newest 21 remain, plus the three still open (and the
// lookalikes, untouched). No line of either host is lost.
TEST(Log, TwoHostsOpeningLogsAtOnceKeepTheNewestAndDeleteNoFileStillBeingWritten) {
    TempFolder folder;
    const std::wstring settings = folder / L"settings", logs = settings + L"\\Logs";
    const std::map<int, std::string> writing = {{0, UniqueName()}, {10, UniqueName()}, {19, UniqueName()}};
    MakeOldLogs(logs, writing);
    {
        Children hosts({}, settings, Log::kMaxFileBytes, {L"A", L"B"});
        hosts.Go();
    }
    std::set<std::wstring> left = LogsLeft(logs);
    std::map<std::wstring, std::string> hosts;
    for (const auto& name : left)
        if (!name.starts_with(L"zvfilter_webcam_2020"))
            hosts[name] = ReadFileBytes(logs + L"\\" + name);
    ASSERT_EQ(hosts.size(), 2u);
    ExpectOneChildPerFile(hosts, {}, true);

    std::set<std::wstring> expected = OldLogNames({}, kOldLogs - static_cast<int>(kKeptLogFiles - 1));
    for (const auto& [name, text] : hosts)
        expected.insert(name);
    for (const auto& [i, name] : writing) {
        expected.insert(OldLogName(i));
        Log::Get(name, "W") << "still here" << Log::EndLine;
        EXPECT_EQ(ReadFileBytes(logs + L"\\" + OldLogName(i)), OldLogText(i) + "[W] still here\r\n");
    }
    EXPECT_EQ(left, expected);
}

} // namespace
} // namespace Zarvo
