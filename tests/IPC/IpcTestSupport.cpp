#include "IpcTestSupport.h"

#include "AppSettings/AppSettings.h"

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace Zarvo::Testing {

std::vector<std::string> ReadLogLines(const std::wstring& path, std::size_t fromByte) {
    const std::string bytes = ReadFileBytes(path);
    static const std::regex timeLine(R"(^(\[[^\]]*\] )\d{13}$)");
    std::vector<std::string> lines;
    std::size_t at = std::min(fromByte, bytes.size());
    while (at < bytes.size()) {
        std::size_t end = bytes.find('\n', at);
        if (end == std::string::npos)
            end = bytes.size();
        std::string line = bytes.substr(at, end - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::smatch match;
        if (std::regex_match(line, match, timeLine))
            line = match[1].str() + "<time>";
        lines.push_back(std::move(line));
        at = end + 1;
    }
    return lines;
}

namespace {

// Log files stay open until the program ends, so they live in one folder per program.
const TempFolder& LogFolder() {
    static TempFolder folder;
    return folder;
}

std::uint64_t NowMilliseconds() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

} // namespace

TestLog::TestLog() {
    static int counter = 0;
    ++counter;
    mName = "ipc-test-" + std::to_string(counter);
    mPath = LogFolder() / (L"test-" + std::to_wstring(counter) + L".log");
    Log::Open(mName, mPath, 0);
}

LogFactory TestLog::Factory() const {
    return [name = mName](std::string tag) {
        auto log = std::make_shared<Log>(Log::Get(name, std::move(tag)));
        *log << NowMilliseconds() << Log::EndLine;
        return log;
    };
}

FilterLogFile& FilterLogFile::Instance() {
    static FilterLogFile file;
    return file;
}

FilterLogFile::FilterLogFile() : mPath(LogFolder() / L"DsFilter.log") {
    Log::Open(kFilterLogName, mPath, 0);
}

std::size_t FilterLogFile::Mark() const { return ReadFileBytes(mPath).size(); }

bool ScriptedPipe::Finish(OVERLAPPED& overlapped, DWORD& bytes) {
    const HANDLE events[2] = {overlapped.hEvent, mStop};
    if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
        CancelIoEx(mPipe, &overlapped);
        GetOverlappedResult(mPipe, &overlapped, &bytes, TRUE);
        return false;
    }
    return GetOverlappedResult(mPipe, &overlapped, &bytes, FALSE) != FALSE;
}

bool ScriptedPipe::ReadRequest(std::uint32_t& command) {
    auto* bytes = reinterpret_cast<std::uint8_t*>(&command);
    DWORD have = 0;
    while (have < sizeof(command)) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = mIo.get();
        DWORD got = 0;
        if (!ReadFile(mPipe, bytes + have, sizeof(command) - have, nullptr, &overlapped) &&
            GetLastError() != ERROR_IO_PENDING)
            return false;
        if (!Finish(overlapped, got))
            return false;
        have += got;
    }
    return true;
}

bool ScriptedPipe::Write(const void* data, DWORD size) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = mIo.get();
    DWORD written = 0;
    if (!WriteFile(mPipe, data, size, nullptr, &overlapped) && GetLastError() != ERROR_IO_PENDING)
        return false;
    return Finish(overlapped, written) && written == size;
}

bool ScriptedPipe::WaitFor(HANDLE event) {
    const HANDLE events[2] = {event, mStop};
    return WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0;
}

ScriptedServer::ScriptedServer(std::vector<Script> scripts, DWORD inBufferBytes)
    : mStop(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      mPipe(CreateNamedPipeW(IPC::kControlPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                             PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, inBufferBytes, 0, nullptr)) {
    if (mPipe)
        mThread = std::thread([this, scripts = std::move(scripts)]() mutable { Run(std::move(scripts)); });
}

ScriptedServer::~ScriptedServer() {
    SetEvent(mStop.get());
    if (mThread.joinable())
        mThread.join();
}

void ScriptedServer::Run(std::vector<Script> scripts) {
    UniqueEvent connected(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    for (auto& script : scripts) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = connected.get();
        if (!ConnectNamedPipe(mPipe.get(), &overlapped)) {
            const DWORD error = GetLastError();
            if (error == ERROR_IO_PENDING) {
                const HANDLE events[2] = {connected.get(), mStop.get()};
                if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
                    CancelIoEx(mPipe.get(), &overlapped);
                    DWORD ignored = 0;
                    GetOverlappedResult(mPipe.get(), &overlapped, &ignored, TRUE);
                    return;
                }
            } else if (error != ERROR_PIPE_CONNECTED) {
                return;
            }
        }
        ScriptedPipe pipe(mPipe.get(), mStop.get());
        script(pipe);
        DisconnectNamedPipe(mPipe.get());
    }
}

ScopedEnvironment::ScopedEnvironment(const wchar_t* name, const std::wstring& value) : mName(name) {
    std::wstring buffer(32768, L'\0');
    const DWORD length = GetEnvironmentVariableW(name, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length > 0 && length < buffer.size())
        mOld = buffer.substr(0, length);
    SetEnvironmentVariableW(name, value.c_str());
}

ScopedEnvironment::~ScopedEnvironment() { SetEnvironmentVariableW(mName, mOld ? mOld->c_str() : nullptr); }

std::wstring ProgramFolder() {
    auto folder = GetModuleFolder();
    return folder ? folder.Value() : std::wstring();
}

std::wstring ReferenceServerPath() { return ProgramFolder() + IPC::kServerExecutableName; }

UniqueHandleNull StartProgram(const std::wstring& path, const std::wstring& arguments) {
    std::wstring commandLine = L"\"" + path + L"\"";
    if (!arguments.empty())
        commandLine += L" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return UniqueHandleNull();
    CloseHandle(process.hThread);
    return UniqueHandleNull(process.hProcess);
}

std::optional<DWORD> WaitForExit(HANDLE process, DWORD timeoutMs) {
    if (!process || WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0)
        return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    return code;
}

std::optional<DWORD> RunProgram(const std::wstring& path, const std::wstring& arguments, DWORD timeoutMs) {
    auto process = StartProgram(path, arguments);
    if (!process)
        return std::nullopt;
    auto code = WaitForExit(process.get(), timeoutMs);
    if (!code)
        TerminateProcess(process.get(), 99);
    return code;
}

AppDataWithSettings::AppDataWithSettings(const char* outputResolution) {
    const std::wstring folder = SettingsFolder();
    std::filesystem::create_directories(std::filesystem::path(folder));
    WriteFileBytes(folder + L"\\ZarvoWebcam.ini",
                   std::string("[Stream]\r\noutputResolution=") + outputResolution + "\r\n");
}

ServerProcess::ServerProcess(const std::wstring& appData, const std::wstring& arguments) {
    ScopedEnvironment environment(L"APPDATA", appData);
    mProcess = StartProgram(ReferenceServerPath(), arguments);
}

ServerProcess::~ServerProcess() {
    if (!mProcess || WaitForExit(mProcess.get(), 0))
        return;
    if (!Quit()) {
        TerminateProcess(mProcess.get(), 99);
        WaitForSingleObject(mProcess.get(), 10000);
    }
}

bool ServerProcess::WaitUntilLive(DWORD timeoutMs) {
    UniqueEvent live = OpenServerLiveEvent();
    const HANDLE events[2] = {live.get(), mProcess.get()};
    // Ends early, and false, if the server exits instead.
    return live && mProcess && WaitForMultipleObjects(2, events, FALSE, timeoutMs) == WAIT_OBJECT_0;
}

std::optional<DWORD> ServerProcess::Quit() {
    RunProgram(ReferenceServerPath(), L"--quit", 20000);
    return WaitForExit(mProcess.get(), 20000);
}

UniqueEvent OpenServerLiveEvent() { return UniqueEvent(CreateEventW(nullptr, TRUE, FALSE, IPC::kServerLiveEventName)); }

} // namespace Zarvo::Testing
