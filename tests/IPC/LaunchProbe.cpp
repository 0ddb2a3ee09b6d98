// A stand-in for the camera module in the launch tests: run from a folder of its own, it
// launches the server from there and connects, logging under the filter's log name.
//   ipc_launch_probe.exe <log file> <give up after ms> [no-folder]
// "no-folder": its own folder cannot be found. Exit code 0 when connected and the camera
// started, 1 when not, 2 on bad use.
#include "IPC/WebcamClient.h"

#include <shellapi.h>
#include <windows.h>

#include <cwchar>
#include <thread>

int main() {
    using namespace Zarvo;
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!args || count < 3 || count > 4 || !Log::Open(kFilterLogName, args[1], 0))
        return 2;
    const DWORD giveUpMs = static_cast<DWORD>(std::wcstoul(args[2], nullptr, 10));
    IPC::ModuleFolderSource folder = GetModuleFolder;
    if (count == 4 && std::wcscmp(args[3], L"no-folder") == 0)
        folder = [] { return Result<std::wstring>(MakeErrorRecord(2, "LaunchProbe", __LINE__)); };
    else if (count == 4)
        return 2;
    auto client = std::make_shared<IPC::WebcamClient>(FilterLogFactory());
    IPC::LaunchServerIfNeeded(client, {}, folder);
    std::thread([giveUpMs] {
        Sleep(giveUpMs);
        ExitProcess(1); // still not connected
    }).detach();
    const bool live = client->ConnectToServer({}) && client->StartCamera(); // until connected
    client->Disconnect();
    return live ? 0 : 1;
}
