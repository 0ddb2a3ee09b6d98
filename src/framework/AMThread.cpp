#include "framework/AMThread.h"

#include <objbase.h>

CAMThread::CAMThread(HRESULT* result) noexcept
    : mRequest(CreateEventW(nullptr, TRUE, FALSE, nullptr)), mReply(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
    if ((!mRequest || !mReply) && result && SUCCEEDED(*result))
        *result = E_OUTOFMEMORY;
}

CAMThread::~CAMThread() { JoinThread(); }

bool CAMThread::StartThread() {
    CAutoLock lock(&mAccessLock);
    if (mThread || !mRequest || !mReply)
        return false;
    DWORD id = 0;
    mThread.reset(CreateThread(nullptr, 0, &CAMThread::ThreadEntry, this, 0, &id));
    return static_cast<bool>(mThread);
}

HRESULT CAMThread::SendCommand(DWORD command) {
    CAutoLock lock(&mAccessLock);
    if (!mThread)
        return E_FAIL;
    mCommand = command;
    mPending.store(true, std::memory_order_release);
    SetEvent(mRequest.get());
    // A worker that has ended can never answer; waiting for it too keeps the caller from
    // hanging.
    const HANDLE waits[] = {mReply.get(), mThread.get()};
    const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (woke == WAIT_OBJECT_0)
        return mReplyValue;
    mPending.store(false, std::memory_order_relaxed);
    ResetEvent(mRequest.get());
    return E_FAIL;
}

DWORD CAMThread::WaitCommand() {
    WaitForSingleObject(mRequest.get(), INFINITE);
    return mCommand;
}

bool CAMThread::WaitForCommand(DWORD milliseconds) {
    return WaitForSingleObject(mRequest.get(), milliseconds) == WAIT_OBJECT_0;
}

DWORD CAMThread::WaitForCommandOr(const HANDLE* others, DWORD count, DWORD milliseconds) {
    HANDLE handles[MAXIMUM_WAIT_OBJECTS] = {mRequest.get()};
    if (count > MAXIMUM_WAIT_OBJECTS - 1)
        return WAIT_FAILED;
    for (DWORD i = 0; i < count; ++i)
        handles[i + 1] = others[i];
    return WaitForMultipleObjects(count + 1, handles, FALSE, milliseconds);
}

bool CAMThread::PeekCommand(DWORD* command) {
    // The event decides; the flag only spares the call while nothing was sent.
    if (!mPending.load(std::memory_order_acquire) || WaitForSingleObject(mRequest.get(), 0) != WAIT_OBJECT_0)
        return false;
    if (command)
        *command = mCommand;
    return true;
}

void CAMThread::ReplyCommand(HRESULT value) {
    mReplyValue = value;
    mPending.store(false, std::memory_order_relaxed);
    ResetEvent(mRequest.get());
    SetEvent(mReply.get());
}

void CAMThread::JoinThread() {
    Zarvo::UniqueHandleNull thread;
    {
        CAutoLock lock(&mAccessLock);
        thread.reset(mThread.release());
    }
    if (thread)
        WaitForSingleObject(thread.get(), INFINITE);
}

bool CAMThread::ThreadExists() {
    CAutoLock lock(&mAccessLock);
    return static_cast<bool>(mThread);
}

DWORD WINAPI CAMThread::ThreadEntry(LPVOID object) {
    using CoInitializeExFn = HRESULT(WINAPI*)(LPVOID, DWORD);
    using CoUninitializeFn = void(WINAPI*)();
    CoInitializeExFn initialize = nullptr;
    CoUninitializeFn uninitialize = nullptr;
    // Only joins COM when the process has loaded it already: the thread class itself needs no
    // COM import.
    if (HMODULE ole = GetModuleHandleW(L"ole32.dll")) {
        initialize = reinterpret_cast<CoInitializeExFn>(reinterpret_cast<void*>(GetProcAddress(ole, "CoInitializeEx")));
        uninitialize = reinterpret_cast<CoUninitializeFn>(reinterpret_cast<void*>(GetProcAddress(ole, "CoUninitialize")));
    }
    // COINIT_DISABLE_OLE1DDE without COINIT_APARTMENTTHREADED: the multithreaded apartment.
    const HRESULT init = initialize ? initialize(nullptr, COINIT_DISABLE_OLE1DDE) : E_FAIL;
    const DWORD exitCode = static_cast<CAMThread*>(object)->WorkerMain();
    if (SUCCEEDED(init) && uninitialize)
        uninitialize();
    return exitCode;
}
