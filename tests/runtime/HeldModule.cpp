// A DLL that leaves work on the pool and reports its own unloading.
#include "runtime/Task.h"

#include <windows.h>

#include <stdexcept>

static HANDLE gUnloaded = nullptr; // set by StartHeldWork, signalled when the module is unloaded

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    // reserved is null for FreeLibrary and set for process exit, where nobody is listening.
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr && gUnloaded) {
        SetEvent(gUnloaded);
        CloseHandle(gUnloaded);
    }
    return TRUE;
}

// Mode 0: a detached task; mode 1: a task with a continuation whose handles are dropped. Either
// signals `running`, waits for `release`, then raises an exception nobody sees.
extern "C" __declspec(dllexport) BOOL
    StartHeldWork(int mode, HANDLE release, HANDLE running, HANDLE unloaded) {
    if (!DuplicateHandle(GetCurrentProcess(), unloaded, GetCurrentProcess(), &gUnloaded, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return FALSE;
    auto hold = [release, running] { return SetEvent(running), WaitForSingleObject(release, 30000); };
    if (mode == 0)
        return Zarvo::Tasks::run_detached(
            [hold] { hold(), throw std::runtime_error("dropped by a detached task"); });
    Zarvo::Tasks::create_task(hold).then(
        [](DWORD) { throw std::runtime_error("kept by a task nobody waits for"); });
    return TRUE;
}
