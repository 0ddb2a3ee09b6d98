// Round trip of the per-frame request (command 2) against the reference server.
//
// Uses a running server, or starts the one beside this program and ends it again. Prints
// the median and the 99th percentile of 1000 timed requests, after 100 untimed ones.
#include "IPC/WebcamClient.h"

#include "AppSettings/AppSettings.h"
#include "log/Log.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

using namespace Zarvo;

namespace {

constexpr int kWarmUp = 100;
constexpr int kTimed = 1000;

bool RunServer(const std::wstring& exe, const wchar_t* arguments, DWORD waitMs) {
    std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return false;
    if (waitMs)
        WaitForSingleObject(process.hProcess, waitMs);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

} // namespace

int main() {
    // Logs that write nothing: the figure is the request, not the log.
    const LogFactory quiet = [](std::string) { return std::make_shared<Log>(Log::Get("", "")); };
    auto client = std::make_shared<IPC::WebcamClient>(quiet);

    auto folder = GetModuleFolder();
    if (!folder) {
        std::fputs("no module folder\n", stderr);
        return 2;
    }
    const std::wstring exe = folder.Value() + IPC::kServerExecutableName;
    bool started = false;
    if (!client->CheckForServer()) {
        // A time limit, so a bench that dies cannot leave a server behind for long.
        if (!RunServer(exe, L"--seconds 300", 0)) {
            std::fprintf(stderr, "cannot start %ls: %lu\n", exe.c_str(), GetLastError());
            return 2;
        }
        started = true;
    }

    Tasks::cancellation_token_source giveUp;
    std::thread watchdog([&] {
        if (!giveUp.get_token().wait_for(30000))
            giveUp.cancel();
    });
    const bool ok = client->ConnectToServer(giveUp.get_token());
    giveUp.cancel();
    watchdog.join();
    if (!ok) {
        std::fputs("could not connect to the server\n", stderr);
        return 2;
    }
    client->StartCamera();

    for (int i = 0; i < kWarmUp; ++i)
        client->FrameTick();
    std::vector<double> micros;
    micros.reserve(kTimed);
    for (int i = 0; i < kTimed; ++i) {
        const auto begin = std::chrono::steady_clock::now();
        client->FrameTick();
        const auto end = std::chrono::steady_clock::now();
        micros.push_back(std::chrono::duration<double, std::micro>(end - begin).count());
    }
    // A request that failed would have made the figures meaningless: the connection must
    // still be in step.
    const bool inStep = client->StopCamera();
    client->Disconnect();
    if (started)
        RunServer(exe, L"--quit", 15000);
    if (!inStep) {
        std::fputs("the connection broke during the run\n", stderr);
        return 1;
    }

    std::sort(micros.begin(), micros.end());
    const double median = (micros[kTimed / 2 - 1] + micros[kTimed / 2]) / 2;
    const double p99 = micros[static_cast<std::size_t>(kTimed * 0.99) - 1];
    std::printf("per-frame request round trip over %d requests: median %.1f us, p99 %.1f us, min %.1f us, "
                "max %.1f us\n",
                kTimed, median, p99, micros.front(), micros.back());
    return 0;
}
