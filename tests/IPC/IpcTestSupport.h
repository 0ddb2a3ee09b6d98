#pragma once
// Shared helpers of the IPC tests: a log to read back, a scripted pipe server for answers
// the reference server never gives, and the reference server as a child process.

#include "IPC/Status.h"
#include "log/Log.h"
#include "runtime/Handles.h"
#include "support/TempFolder.h"

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace Zarvo::Testing {

using Clock = std::chrono::steady_clock;

inline double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The lines of a log file, without line ends; time lines ("[tag] " and 13 digits) read as
// "[tag] <time>" so whole sequences can be compared.
std::vector<std::string> ReadLogLines(const std::wstring& path, std::size_t fromByte = 0);

// A log name of its own in a temporary file, and a factory for it that writes the time
// line first, as the filter's factory does.
class TestLog {
public:
    TestLog();
    LogFactory Factory() const;
    std::vector<std::string> Lines() const { return ReadLogLines(mPath); }
    const std::wstring& Path() const { return mPath; }

private:
    std::string mName;
    std::wstring mPath;
};

// The filter's log name "DsFilter", bound to one file for the whole test program; Mark and
// LinesSince read what was written after a point.
class FilterLogFile {
public:
    static FilterLogFile& Instance();
    std::size_t Mark() const;
    std::vector<std::string> LinesSince(std::size_t mark) const { return ReadLogLines(mPath, mark); }

private:
    FilterLogFile();
    std::wstring mPath;
};

// One connected client as the scripted server sees it. Every wait also ends when the
// server is destroyed, so a script can never hang a test.
class ScriptedPipe {
public:
    ScriptedPipe(HANDLE pipe, HANDLE stop) : mPipe(pipe), mStop(stop), mIo(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    // Reads one whole 4-byte request; false when the client left or the server stops.
    bool ReadRequest(std::uint32_t& command);
    bool Write(const void* data, DWORD size);
    bool WriteStatus(const IPC::Status& status) { return Write(&status, sizeof(status)); }
    // Waits until the test sets `event` (or the server stops).
    bool WaitFor(HANDLE event);
    // Ends this client's connection at once.
    void Close() { DisconnectNamedPipe(mPipe); }

private:
    bool Finish(OVERLAPPED& overlapped, DWORD& bytes);
    HANDLE mPipe;
    HANDLE mStop;
    UniqueEvent mIo;
};

// Serves the control pipe on one instance, running one script per client in turn. The
// instance exists when the constructor returns.
class ScriptedServer {
public:
    using Script = std::function<void(ScriptedPipe&)>;
    explicit ScriptedServer(std::vector<Script> scripts, DWORD inBufferBytes = 4096);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    bool Created() const { return static_cast<bool>(mPipe); }

private:
    void Run(std::vector<Script> scripts);
    UniqueEvent mStop;
    UniqueFile mPipe;
    std::thread mThread;
};

// Sets a variable of this process (children inherit it) and puts the old value back.
class ScopedEnvironment {
public:
    ScopedEnvironment(const wchar_t* name, const std::wstring& value);
    ~ScopedEnvironment();

private:
    const wchar_t* mName;
    std::optional<std::wstring> mOld;
};

// The folder of this test program, where the build puts the server too.
std::wstring ProgramFolder();
std::wstring ReferenceServerPath();

// Starts a program with the given arguments; no handles are inherited.
UniqueHandleNull StartProgram(const std::wstring& path, const std::wstring& arguments);
// Runs a program to its end (or `timeoutMs`); its exit code, or nullopt on time-out.
std::optional<DWORD> RunProgram(const std::wstring& path, const std::wstring& arguments, DWORD timeoutMs);
// Exit code, or nullopt when the process is still running after `timeoutMs`.
std::optional<DWORD> WaitForExit(HANDLE process, DWORD timeoutMs);

// An APPDATA folder of its own with the given output resolution in the settings file.
class AppDataWithSettings {
public:
    explicit AppDataWithSettings(const char* outputResolution);
    const std::wstring& Path() const { return mFolder.Path(); }
    std::wstring SettingsFolder() const { return mFolder.Path() + L"\\Zarvo\\Zarvo Webcam"; }

private:
    TempFolder mFolder;
};

// The reference server as a child process with its own APPDATA; ended with --quit (and,
// failing that, terminated) when it goes.
class ServerProcess {
public:
    ServerProcess(const std::wstring& appData, const std::wstring& arguments = L"");
    ~ServerProcess();
    // Waits for the server-live event; false if it does not come within `timeoutMs`.
    bool WaitUntilLive(DWORD timeoutMs = 30000);
    HANDLE Process() const { return mProcess.get(); }
    // Asks the server to end with --quit and returns its exit code.
    std::optional<DWORD> Quit();

private:
    UniqueHandleNull mProcess;
};

// The server-live event, opened (or created) by the test.
UniqueEvent OpenServerLiveEvent();

} // namespace Zarvo::Testing
