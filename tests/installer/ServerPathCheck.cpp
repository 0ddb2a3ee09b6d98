// The companion app's path as each installed camera computes it, checked on the installed layout.
// Reads the module path registered in the 64-bit and in the 32-bit registry view (where hosts of
// either kind find the camera), applies the camera's own rule to its folder, and checks that both
// name the same existing file: the one installed app serves both cameras.
// Prints one line per view; exit code 0 when both hold, 1 when not.
#include "IPC/WebcamClient.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::wstring RegisteredModule(REGSAM view) {
    const wchar_t* key = L"CLSID\\{7C3E9A41-5B2D-4E8F-A6C1-2D94B7E05F13}\\InprocServer32";
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key, 0, KEY_QUERY_VALUE | view, &handle) != ERROR_SUCCESS)
        return {};
    wchar_t path[MAX_PATH] = {};
    DWORD bytes = sizeof(path) - sizeof(wchar_t), type = 0;
    const LONG rc = RegQueryValueExW(handle, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(path), &bytes);
    RegCloseKey(handle);
    return rc == ERROR_SUCCESS && type == REG_SZ ? std::wstring(path) : std::wstring();
}

} // namespace

int main() {
    std::wstring servers[2];
    bool ok = true;
    int index = 0;
    for (const auto& [view, name] : {std::pair{KEY_WOW64_64KEY, "64-bit"}, std::pair{KEY_WOW64_32KEY, "32-bit"}}) {
        const std::wstring module = RegisteredModule(view);
        const auto slash = module.find_last_of(L'\\');
        std::wstring& server = servers[index++];
        if (slash != std::wstring::npos)
            server = Zarvo::IPC::ServerExecutablePath(module.substr(0, slash + 1));
        const bool found = !server.empty() && GetFileAttributesW(server.c_str()) != INVALID_FILE_ATTRIBUTES;
        std::printf("%s camera %ls launches %ls: %s\n", name, module.c_str(), server.c_str(),
                    found ? "found" : "missing");
        ok = ok && found;
    }
    if (servers[0] != servers[1]) {
        std::printf("the two cameras launch different apps\n");
        ok = false;
    }
    return ok ? 0 : 1;
}
