#include "IpcTestSupport.h"

#include "IPC/ObjectSecurity.h"

#include <cstdio>
#include <regex>
#include <sstream>

namespace Zarvo::Testing {

std::vector<std::string> ReadLogLines(const std::wstring& path) {
    std::istringstream in(ReadFileBytes(path));
    static const std::regex timeLine(R"(^(\[[^\]]*\] )\d{13}$)");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::regex_replace(line, timeLine, "$1<time>"));
    }
    return lines;
}

std::vector<std::string> ReadLogLines(const std::wstring& folder, const std::wstring& pattern) {
    std::vector<std::string> lines;
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileW((folder + L"\\" + pattern).c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
        const auto file = ReadLogLines(folder + L"\\" + found.cFileName);
        lines.insert(lines.end(), file.begin(), file.end());
    }
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    return lines;
}

TestLog::TestLog(std::string logName) : name(std::move(logName)) {
    static TempFolder folder; // log files stay open until the program ends
    static int counter = 0;
    if (name.empty())
        name = "ipc-test-" + std::to_string(++counter);
    path = folder / (std::wstring(name.begin(), name.end()) + L".log");
    Log::Open(name, path, 0);
}

LogFactory TestLog::Factory() const {
    return [name = name](std::string tag) {
        using namespace std::chrono;
        auto log = std::make_shared<Log>(Log::Get(name, std::move(tag)));
        *log << duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count() << Log::EndLine;
        return log;
    };
}

UniqueFile CreateControlPipe(DWORD instances) {
    auto security = IPC::ObjectSecurity::ForCurrentUser();
    return UniqueFile(security
                          ? CreateNamedPipeW(IPC::kControlPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                             PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, instances, 4096,
                                             4096, 0, security->Attributes())
                          : INVALID_HANDLE_VALUE);
}

UniqueHandleNull StartProgram(const std::wstring& path, const std::wstring& arguments) {
    std::wstring commandLine = L"\"" + path + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        // Says why, for the test that then finds no exit code: a start that fails is rare and not ours.
        std::fprintf(stderr, "CreateProcessW(%ls) failed: error %lu\n", path.c_str(), GetLastError());
        return UniqueHandleNull();
    }
    CloseHandle(process.hThread);
    return UniqueHandleNull(process.hProcess);
}

std::optional<DWORD> WaitForExit(HANDLE process, DWORD timeoutMs) {
    DWORD code = 0;
    if (!process)
        return std::nullopt;
    const DWORD waited = WaitForSingleObject(process, timeoutMs);
    if (waited != WAIT_OBJECT_0 || !GetExitCodeProcess(process, &code)) {
        if (waited != WAIT_TIMEOUT) // rare and not ours, as a failed start
            std::fprintf(stderr, "waiting for a program's exit failed: %lu, error %lu\n", waited, GetLastError());
        return std::nullopt;
    }
    return code;
}

std::optional<DWORD> RunProgram(const std::wstring& path, const std::wstring& arguments, DWORD timeoutMs) {
    auto process = StartProgram(path, arguments);
    const auto code = WaitForExit(process.get(), timeoutMs);
    if (process && !code)
        TerminateProcess(process.get(), 99);
    return code;
}

} // namespace Zarvo::Testing
