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

// A log file's lines from byte `fromByte` on; time lines ("[tag] " + 13 digits) read "[tag] <time>".
std::vector<std::string> ReadLogLines(const std::wstring& path, std::size_t fromByte = 0);

// A log name (by default a new one) in a file kept to the end; its factory writes time lines.
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

// Connects to whatever serves the pipe now (the watchdog ends a test that waits for good).
inline void Connect(IPC::WebcamClient& client) {
    ASSERT_TRUE(client.ConnectToServer({})); // the none token: never cancelled
}

// Sets a variable of this process (children inherit it) and puts the old value back.
class ScopedEnvironment {
public:
    ScopedEnvironment(const wchar_t* name, const std::wstring& value) : mName(name) {
        std::wstring old(32768, L'\0');
        const DWORD length = GetEnvironmentVariableW(name, old.data(), static_cast<DWORD>(old.size()));
        if (length > 0 && length < old.size())
            mOld = old.substr(0, length);
        SetEnvironmentVariableW(name, value.c_str());
    }
    ~ScopedEnvironment() { SetEnvironmentVariableW(mName, mOld ? mOld->c_str() : nullptr); }

private:
    const wchar_t* mName;
    std::optional<std::wstring> mOld;
};

// The folder of this test program, where the build puts the server too.
inline std::wstring ProgramFolder() {
    auto folder = GetModuleFolder();
    return folder ? folder.Value() : std::wstring();
}
inline std::wstring ReferenceServerPath() {
    return ProgramFolder() + IPC::kServerExecutableName;
}

// Starts a program with the given arguments; no handles are inherited.
UniqueHandleNull StartProgram(const std::wstring& path, const std::wstring& arguments);

// Exit code, or nullopt when the process is still running after `timeoutMs`.
inline std::optional<DWORD> WaitForExit(HANDLE process, DWORD timeoutMs) {
    DWORD code = 0;
    if (!process || WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process, &code))
        return std::nullopt;
    return code;
}

// Runs a program to its end (or `timeoutMs`); its exit code, or nullopt on time-out.
inline std::optional<DWORD> RunProgram(const std::wstring& path, const std::wstring& arguments,
                                       DWORD timeoutMs) {
    auto process = StartProgram(path, arguments);
    auto code = WaitForExit(process.get(), timeoutMs);
    if (process && !code)
        TerminateProcess(process.get(), 99);
    return code;
}

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

// The server-live event, opened (or created) by the test.
inline UniqueEvent OpenServerLiveEvent() {
    return UniqueEvent(CreateEventW(nullptr, TRUE, FALSE, IPC::kServerLiveEventName));
}

// The reference server as a child with its own APPDATA; ended with --quit (or terminated).
class ServerProcess {
public:
    ServerProcess(const std::wstring& appData, const std::wstring& arguments = L"") {
        ScopedEnvironment environment(L"APPDATA", appData);
        mProcess = StartProgram(ReferenceServerPath(), arguments);
    }
    ~ServerProcess() {
        if (mProcess && !WaitForExit(mProcess.get(), 0) && !Quit()) {
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
    HANDLE Process() const { return mProcess.get(); }
    // Asks the server to end with --quit and returns its exit code.
    std::optional<DWORD> Quit() {
        RunProgram(ReferenceServerPath(), L"--quit", 20000);
        return WaitForExit(mProcess.get(), 20000);
    }

private:
    UniqueHandleNull mProcess;
};

} // namespace Zarvo::Testing
