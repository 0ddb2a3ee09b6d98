#pragma once
// Helpers of the IPC and camera tests: logs to read back, child programs, the reference server.

#include "AppSettings/AppSettings.h"
#include "IPC/WebcamClient.h"
#include "log/Log.h"
#include "runtime/Handles.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace Zarvo::Testing {

using Clock = std::chrono::steady_clock;
inline double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Calls `done` every `intervalMs` until it holds; false after `seconds`. For states nothing signals
// (a frame counter, a log line, the end of the camera's background work).
template <class Done> bool PollUntil(Done done, double seconds = 20, DWORD intervalMs = 5) {
    for (const auto start = Clock::now(); !done(); Sleep(intervalMs))
        if (SecondsSince(start) > seconds)
            return false;
    return true;
}

// A log file's lines; time lines ("[tag] " + 13 digits) read "[tag] <time>".
std::vector<std::string> ReadLogLines(const std::wstring& path);
// The lines of every file in `folder` whose name matches `pattern` (wildcards), file after file.
std::vector<std::string> ReadLogLines(const std::wstring& folder, const std::wstring& pattern);

// A log of its own (by default a new name) in a file kept to the end; its factory writes time lines.
struct TestLog {
    explicit TestLog(std::string logName = {});
    LogFactory Factory() const;
    std::vector<std::string> Lines() const { return ReadLogLines(path); }
    std::string name;
    std::wstring path;
};

// The folder of this test program, where the build puts the module and the server too.
inline std::wstring ProgramFolder() {
    auto folder = GetModuleFolder();
    return folder ? folder.Value() : std::wstring();
}
inline std::wstring ReferenceServerPath() {
    return ProgramFolder() + IPC::kServerExecutableName;
}

// Starts a program with the given arguments (no handles inherited); null when it cannot.
UniqueHandleNull StartProgram(const std::wstring& path, const std::wstring& arguments);
// The exit code, or nullopt when the process still runs after `timeoutMs`.
std::optional<DWORD> WaitForExit(HANDLE process, DWORD timeoutMs);
// Runs a program to its end; its exit code, or nullopt (and terminated) after `timeoutMs`.
std::optional<DWORD> RunProgram(const std::wstring& path, const std::wstring& arguments, DWORD timeoutMs);

// An APPDATA folder of its own with the given output resolution in the settings file.
class AppDataWithSettings {
public:
    explicit AppDataWithSettings(const char* outputResolution) {
        std::filesystem::create_directories(std::filesystem::path(SettingsFolder()));
        WriteFileBytes(SettingsFolder() + L"\\ZarvoWebcam.ini",
                       std::string("[Stream]\r\noutputResolution=") + outputResolution + "\r\n");
    }
    const std::wstring& Path() const { return mFolder.Path(); }
    std::wstring SettingsFolder() const { return mFolder.Path() + L"\\Zarvo\\Zarvo Webcam"; }

private:
    TempFolder mFolder;
};

// The control pipe with `instances` instances and the app's security (the owner is this user, as
// the client demands); its first instance.
UniqueFile CreateControlPipe(DWORD instances);

// The app's end of the control pipe on its only instance, for the scripted apps of the tests: every
// wait also ends on Stop, so that none can hang a test.
class AppPipe {
public:
    bool Serves() const { return static_cast<bool>(mPipe); }
    HANDLE Handle() const { return mPipe.get(); }
    void Stop() { SetEvent(mStop.get()); }
    bool Stopping(DWORD milliseconds = 0) const {
        return WaitForSingleObject(mStop.get(), milliseconds) == WAIT_OBJECT_0;
    }
    // Until `event` is set; false when stopping first.
    bool Wait(HANDLE event) const {
        const HANDLE events[2] = {event, mStop.get()};
        return WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0;
    }
    // A connect (no data: 1 once a client is there), a read or a write (the bytes moved); 0 on failure.
    DWORD Io(bool write, void* data, DWORD size) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = mIo.get();
        DWORD done = 0;
        const BOOL started = !data   ? ConnectNamedPipe(mPipe.get(), &overlapped)
                             : write ? WriteFile(mPipe.get(), data, size, nullptr, &overlapped)
                                     : ReadFile(mPipe.get(), data, size, nullptr, &overlapped);
        if (!started && !data && GetLastError() == ERROR_PIPE_CONNECTED)
            return 1; // a client that came before the connect
        if (!started && GetLastError() != ERROR_IO_PENDING)
            return 0;
        if (!Wait(overlapped.hEvent))
            CancelIoEx(mPipe.get(), &overlapped);
        return GetOverlappedResult(mPipe.get(), &overlapped, &done, TRUE) ? (data ? done : 1) : 0;
    }

private:
    UniqueFile mPipe = CreateControlPipe(1);
    UniqueEvent mStop{CreateEventW(nullptr, TRUE, FALSE, nullptr)},
        mIo{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

// The server-live event, opened (or created) by the test.
inline UniqueEvent OpenServerLiveEvent() {
    return UniqueEvent(CreateEventW(nullptr, TRUE, FALSE, IPC::kServerLiveEventName));
}

// The reference server as a child with an APPDATA of its own; ended with --quit (or terminated).
class ServerProcess {
public:
    ServerProcess(const std::wstring& appData, const std::wstring& arguments = L"") {
        SetEnvironmentVariableW(L"APPDATA", appData.c_str()); // each test that starts one sets its own
        mProcess = StartProgram(ReferenceServerPath(), arguments);
    }
    ~ServerProcess() {
        if (mProcess && !WaitForExit(0) && !Quit()) {
            TerminateProcess(mProcess.get(), 99);
            WaitForSingleObject(mProcess.get(), 10000);
        }
    }
    // Waits for the server-live event; false when it does not come in time or the server exits.
    bool WaitUntilLive(DWORD timeoutMs = 30000) {
        UniqueEvent live = OpenServerLiveEvent();
        const HANDLE events[2] = {live.get(), mProcess.get()};
        return live && mProcess && WaitForMultipleObjects(2, events, FALSE, timeoutMs) == WAIT_OBJECT_0;
    }
    std::optional<DWORD> WaitForExit(DWORD timeoutMs) const {
        return Testing::WaitForExit(mProcess.get(), timeoutMs);
    }
    HANDLE Handle() const { return mProcess.get(); }
    // Asks the server to end with --quit; its exit code.
    std::optional<DWORD> Quit() {
        RunProgram(ReferenceServerPath(), L"--quit", 20000);
        return WaitForExit(20000);
    }

private:
    UniqueHandleNull mProcess;
};

} // namespace Zarvo::Testing
