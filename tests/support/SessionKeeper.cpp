// The first and last Windows program of a Wine test session. It makes the prefix (when new), then
// brings up what nearly every test program needs from the platform: the service manager with the
// RPC service (COM starts it at load) and the desktop. These system processes are children of the
// program that first needs them and inherit its output; started by a test, they would hold that
// test's output open long after it ended. Started here, before anything else, they stay up for the
// whole session: a new program never meets them shutting down (a second service manager then
// comes up, and every COM program waits 10 s for the RPC service that never starts).
//
//   wine_session_keeper.exe <ready file>   creates the file once all is up, then waits for good
#include <windows.h>

#include <objbase.h>
#include <shellapi.h>
#include <strmif.h>
#include <uuids.h>

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc != 2)
        return 2;
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 1;
    // An in-process class through the COM runtime: what the tests' first COM call does.
    IUnknown* allocator = nullptr;
    if (FAILED(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&allocator))))
        return 1;
    allocator->Release();
    if (!GetDesktopWindow())
        return 1;
    const HANDLE ready = CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (ready == INVALID_HANDLE_VALUE)
        return 1;
    CloseHandle(ready);
    // Ended with the session's wineserver.
    Sleep(INFINITE);
    return 0;
}
