#include "IpcTestSupport.h"

#include "AppSettings/AppSettings.h"

#include <filesystem>
#include <regex>

namespace Zarvo::Testing {

std::vector<std::string> ReadLogLines(const std::wstring& path, std::size_t fromByte) {
    const std::string bytes = ReadFileBytes(path);
    static const std::regex timeLine(R"(^(\[[^\]]*\] )\d{13}$)");
    std::vector<std::string> lines;
    for (std::size_t at = std::min(fromByte, bytes.size()); at < bytes.size();) {
        const std::size_t end = std::min(bytes.find('\n', at), bytes.size());
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

TestLog::TestLog(std::string name) {
    // Log files stay open until the program ends, so they live in one folder per program.
    static TempFolder folder;
    static int counter = 0;
    mName = name.empty() ? "ipc-test-" + std::to_string(++counter) : std::move(name);
    mPath = folder / (std::wstring(mName.begin(), mName.end()) + L".log");
    Log::Open(mName, mPath, 0);
}

LogFactory TestLog::Factory() const {
    return [name = mName](std::string tag) {
        using namespace std::chrono;
        auto log = std::make_shared<Log>(Log::Get(name, std::move(tag)));
        *log << duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count() << Log::EndLine;
        return log;
    };
}

ScopedEnvironment::ScopedEnvironment(const wchar_t* name, const std::wstring& value) : mName(name) {
    std::wstring buffer(32768, L'\0');
    const DWORD length = GetEnvironmentVariableW(name, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length > 0 && length < buffer.size())
        mOld = buffer.substr(0, length);
    SetEnvironmentVariableW(name, value.c_str());
}

ScopedEnvironment::~ScopedEnvironment() {
    SetEnvironmentVariableW(mName, mOld ? mOld->c_str() : nullptr);
}

std::wstring ProgramFolder() {
    auto folder = GetModuleFolder();
    return folder ? folder.Value() : std::wstring();
}

std::wstring ReferenceServerPath() {
    return ProgramFolder() + IPC::kServerExecutableName;
}

UniqueHandleNull StartProgram(const std::wstring& path, const std::wstring& arguments) {
    std::wstring commandLine = L"\"" + path + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return UniqueHandleNull();
    CloseHandle(process.hThread);
    return UniqueHandleNull(process.hProcess);
}

std::optional<DWORD> WaitForExit(HANDLE process, DWORD timeoutMs) {
    DWORD code = 0;
    if (!process || WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process, &code))
        return std::nullopt;
    return code;
}

std::optional<DWORD> RunProgram(const std::wstring& path, const std::wstring& arguments, DWORD timeoutMs) {
    auto process = StartProgram(path, arguments);
    auto code = WaitForExit(process.get(), timeoutMs);
    if (process && !code)
        TerminateProcess(process.get(), 99);
    return code;
}

AppDataWithSettings::AppDataWithSettings(const char* outputResolution) {
    std::filesystem::create_directories(std::filesystem::path(SettingsFolder()));
    WriteFileBytes(SettingsFolder() + L"\\ZarvoWebcam.ini",
                   std::string("[Stream]\r\noutputResolution=") + outputResolution + "\r\n");
}

ServerProcess::ServerProcess(const std::wstring& appData, const std::wstring& arguments) {
    ScopedEnvironment environment(L"APPDATA", appData);
    mProcess = StartProgram(ReferenceServerPath(), arguments);
}

ServerProcess::~ServerProcess() {
    if (mProcess && !WaitForExit(mProcess.get(), 0) && !Quit()) {
        TerminateProcess(mProcess.get(), 99);
        WaitForSingleObject(mProcess.get(), 10000);
    }
}

bool ServerProcess::WaitUntilLive(DWORD timeoutMs) {
    UniqueEvent live = OpenServerLiveEvent();
    const HANDLE events[2] = {live.get(), mProcess.get()};
    return live && mProcess && WaitForMultipleObjects(2, events, FALSE, timeoutMs) == WAIT_OBJECT_0;
}

std::optional<DWORD> ServerProcess::Quit() {
    RunProgram(ReferenceServerPath(), L"--quit", 20000);
    return WaitForExit(mProcess.get(), 20000);
}

UniqueEvent OpenServerLiveEvent() {
    return UniqueEvent(CreateEventW(nullptr, TRUE, FALSE, IPC::kServerLiveEventName));
}

} // namespace Zarvo::Testing
