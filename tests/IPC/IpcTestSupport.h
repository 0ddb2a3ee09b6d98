#pragma once
// Shared helpers of the IPC tests (and the camera tests): logs to read back, child programs,
// and the reference server as a child process.

#include "IPC/Status.h"
#include "log/Log.h"
#include "runtime/Handles.h"
#include "support/TempFolder.h"

#include <windows.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace Zarvo::Testing {

using Clock = std::chrono::steady_clock;

inline double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The lines of a log file from byte `fromByte` on, without line ends; time lines ("[tag] "
// and 13 digits) read as "[tag] <time>" so whole sequences can be compared.
std::vector<std::string> ReadLogLines(const std::wstring& path, std::size_t fromByte = 0);

// A log name (by default one of its own) in a file that lives as long as the program, and a
// factory for it that writes the time line first, as the filter's factory does.
class TestLog {
public:
    explicit TestLog(std::string name = {});
    LogFactory Factory() const;
    std::vector<std::string> Lines() const { return ReadLogLines(mPath); }
    const std::wstring& Path() const { return mPath; }

private:
    std::string mName;
    std::wstring mPath;
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
    // Waits for the server-live event; false if it does not come within `timeoutMs` or the
    // server exits first.
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
