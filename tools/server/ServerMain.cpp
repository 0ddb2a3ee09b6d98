// "Zarvo Webcam.exe", the reference companion server: a test-pattern source that honours
// everything the camera relies on (the server-live event, the control pipe, the shared
// NV12 texture).
//
//   Zarvo Webcam.exe               run until closed (how the camera launches it)
//   Zarvo Webcam.exe --quit        ask a running server to end and wait for it
//   Zarvo Webcam.exe --frames N    end after N frames were drawn
//   Zarvo Webcam.exe --seconds S   end after S seconds
//   and the test switches --pause-after N, --pause-seconds S, --stall-frame-request N (see
//   Options.h)
//
// Exit codes: 0 done; 1 another server runs already (or, with --quit, none runs); 2 bad
// command line or start-up failure; 3 --quit gave up waiting.

#include "AppSettings/AppSettings.h"
#include "IPC/ObjectSecurity.h"
#include "IPC/Status.h"
#include "log/Log.h"
#include "log/Text.h"
#include "runtime/Handles.h"
#include "server/Camera.h"
#include "server/Options.h"
#include "server/PipeServer.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace Zarvo;

constexpr const wchar_t* kWindowClass = L"ZarvoWebcamReferenceServer";
constexpr DWORD kQuitWaitMs = 10000;

HANDLE gStop = nullptr; // set to end the server

class ServerRun;
ServerRun* gRun = nullptr;

std::optional<Server::Options> ParseCommandLine() {
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!args) {
        std::fputs("Zarvo Webcam: cannot read the command line\n", stderr);
        return std::nullopt;
    }
    const std::vector<std::wstring> arguments(args + (count > 0 ? 1 : 0), args + count);
    LocalFree(args);
    std::string error;
    auto options = Server::ParseOptions(arguments, error);
    if (!options)
        std::fprintf(stderr, "Zarvo Webcam: %s\n%s", error.c_str(), Server::kUsage);
    return options;
}

// Posts the close message to every running server's window and waits for them to end.
int QuitRunningServers() {
    std::vector<Zarvo::UniqueHandleNull> processes;
    for (HWND window = FindWindowExW(nullptr, nullptr, kWindowClass, nullptr); window;
         window = FindWindowExW(nullptr, window, kWindowClass, nullptr)) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        Zarvo::UniqueHandleNull process(OpenProcess(SYNCHRONIZE, FALSE, pid));
        if (PostMessageW(window, WM_CLOSE, 0, 0) && process)
            processes.push_back(std::move(process));
    }
    if (processes.empty()) {
        std::fputs("no running server\n", stderr);
        return 1;
    }
    for (auto& process : processes) {
        if (WaitForSingleObject(process.get(), kQuitWaitMs) != WAIT_OBJECT_0) {
            std::fputs("a server did not end in time\n", stderr);
            return 3;
        }
    }
    return 0;
}

// Ends the server once, from whichever thread gets there first; later callers wait until
// it is over. The session-end and console-close paths must finish before they return,
// because the process is ended right after.
class ServerRun {
public:
    ServerRun(const Server::Options& options, HANDLE live, SECURITY_ATTRIBUTES* security,
              SECURITY_ATTRIBUTES* pipeSecurity)
        : mLive(live),
          mCamera(options.frames, [] { SetEvent(gStop); }, {options.pauseAfter, options.pauseSeconds}, security),
          mPipes(mCamera, pipeSecurity, options.stallFrameRequest, options.textureHandle) {
        mCamera.SetFrameRate(options.framesPerSecond);
    }

    bool Start() {
        if (!mPipes.Start())
            return false;
        SetEvent(mLive);
        return true;
    }

    void Shutdown() {
        std::call_once(mOnce, [this] {
            // No longer accepting: say so before the pipe goes.
            ResetEvent(mLive);
            Log log = Log::Get(Server::kServerLogName, "Server");
            log << "stopping" << Log::EndLine;
            mPipes.Stop();
            mCamera.Shutdown();
            log << "stopped" << Log::EndLine;
        });
    }

private:
    HANDLE mLive;
    Server::Camera mCamera;
    Server::PipeServer mPipes;
    std::once_flag mOnce;
};

BOOL WINAPI OnConsoleEvent(DWORD event) {
    SetEvent(gStop);
    // After these the process is ended as soon as the handler returns.
    if ((event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) && gRun)
        gRun->Shutdown();
    return TRUE;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CLOSE:
        SetEvent(gStop);
        return 0;
    case WM_QUERYENDSESSION:
        return TRUE;
    case WM_ENDSESSION:
        // The session ends once this returns; the main loop is not coming back.
        if (wParam) {
            SetEvent(gStop);
            if (gRun)
                gRun->Shutdown();
        }
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

// A hidden top-level window: the target of --quit and of the session-end messages.
HWND CreateControlWindow() {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kWindowClass;
    RegisterClassW(&windowClass);
    return CreateWindowExW(0, kWindowClass, L"Zarvo Webcam", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                           windowClass.hInstance, nullptr);
}

std::wstring OpenServerLog() {
    auto appData = GetAppDataFolder();
    const Network::Webcam::WebcamSettings settings(appData ? appData.Value() : std::wstring());
    if (settings.SettingsFolder().empty())
        return {};
    try {
        const std::wstring asked = MakeLogFilePath(settings.SettingsFolder(), L"zvserver", MakeTimestamp());
        std::wstring path; // another with the same name is taken: see Log::Open
        if (!Log::Open(Server::kServerLogName, asked, 0, Log::kMaxFileBytes, &path))
            return {};
        DeleteOldLogFiles(path, L"zvserver");
        return path;
    } catch (...) {
        return {};
    }
}

// Runs the window's messages until the stop event is set or the time limit is reached.
void WaitForStop(const Server::Options& options) {
    const ULONGLONG started = GetTickCount64();
    const std::optional<ULONGLONG> limitMs =
        options.seconds ? std::optional<ULONGLONG>(static_cast<ULONGLONG>(*options.seconds * 1000.0)) : std::nullopt;
    for (;;) {
        DWORD timeout = INFINITE;
        if (limitMs) {
            const ULONGLONG elapsed = GetTickCount64() - started;
            if (elapsed >= *limitMs)
                return;
            timeout = static_cast<DWORD>(*limitMs - elapsed);
        }
        const DWORD woken = MsgWaitForMultipleObjects(1, &gStop, FALSE, timeout, QS_ALLINPUT);
        if (woken == WAIT_OBJECT_0 || woken == WAIT_FAILED)
            return;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

int RunServer(const Server::Options& options) {
    Zarvo::UniqueEvent stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stop)
        return 2;
    gStop = stop.get();

    const std::wstring logPath = OpenServerLog();
    Log log = Log::Get(Server::kServerLogName, "Server");
    log << "start: pid, " << static_cast<std::uint32_t>(GetCurrentProcessId()) << Log::EndLine;

    // Every shared object grants this user and SYSTEM, nobody else.
    // The pipe also admits the platform's camera service, which serves Media Foundation apps from
    // session 0 and checks for itself that this app is the console user's.
    auto security = IPC::ObjectSecurity::ForCurrentUser();
    auto pipeSecurity = IPC::ObjectSecurity::ForCurrentUserAndCameraService();
    if (!security || !pipeSecurity) {
        log << LogLevel::Error << "ERROR: cannot read this process's user" << Log::EndLine;
        std::fputs("Zarvo Webcam: cannot read this process's user\n", stderr);
        return 2;
    }

    // One server per session. The pipe's first-instance flag says the same where the
    // platform honours it (Wine does not), so a named mutex decides. A mutex of that name that
    // denies this user counts as another server too.
    Zarvo::UniqueHandleNull instance(CreateMutexW(security->Attributes(), FALSE, Server::kInstanceMutexName));
    if (!instance || GetLastError() == ERROR_ALREADY_EXISTS) {
        log << LogLevel::Error << "ERROR: another server runs already" << Log::EndLine;
        std::fputs("Zarvo Webcam: another server runs already\n", stderr);
        return 1;
    }

    // A camera may have made the event first, with the same security.
    Zarvo::UniqueEvent live(CreateEventW(security->Attributes(), TRUE, FALSE, IPC::kServerLiveEventName));
    if (!live) {
        log << LogLevel::Error << "ERROR: CreateEvent failed " << static_cast<std::uint32_t>(GetLastError())
            << Log::EndLine;
        return 2;
    }

    const HWND window = CreateControlWindow();
    if (!window) {
        log << LogLevel::Error << "ERROR: CreateWindowEx failed " << static_cast<std::uint32_t>(GetLastError())
            << "; --quit cannot reach this server" << Log::EndLine;
    }

    int exitCode = 0;
    {
        ServerRun run(options, live.get(), security->Attributes(), pipeSecurity->Attributes());
        gRun = &run;
        SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
        if (!run.Start()) {
            std::fputs("Zarvo Webcam: the control pipe is taken (another server runs?)\n", stderr);
            exitCode = 1;
        } else {
            log << "serving " << ToUtf8(IPC::kControlPipeName) << Log::EndLine;
            std::fprintf(stderr, "Zarvo Webcam reference server: serving; log %ls\n",
                         logPath.empty() ? L"(none)" : logPath.c_str());
            WaitForStop(options);
        }
        run.Shutdown();
        SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
        gRun = nullptr;
    }
    if (window)
        DestroyWindow(window);
    log << "end: exit code, " << exitCode << Log::EndLine;
    return exitCode;
}

} // namespace

int main() {
    const auto options = ParseCommandLine();
    if (!options)
        return 2;
    if (options->quit)
        return QuitRunningServers();
    return RunServer(*options);
}
