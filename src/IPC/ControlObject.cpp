#include "IPC/ControlObject.h"

#include "log/Text.h"

#include <thread>

namespace Zarvo::IPC {

namespace {

constexpr DWORD kPipeBusyError = 231;

// The steady clock's deadline, however often the sleep is cut short.
void SleepFor(std::chrono::milliseconds pause) {
    const auto deadline = std::chrono::steady_clock::now() + pause;
    while (std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_until(deadline);
}

std::uint64_t HandleValue(HANDLE handle) noexcept {
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle));
}

} // namespace

std::shared_ptr<Log> ObtainLog(const LogFactory& factory, std::string tag) {
    auto log = factory(std::move(tag)); // an empty factory raises std::bad_function_call
    if (!log)
        log = std::make_shared<Log>(Log::Get(std::string_view{}, std::string()));
    return log;
}

ControlObject::ControlObject(LogFactory factory) : mLogFactory(std::move(factory)) {
    // Opens the server's event with its state kept if it exists already.
    mServerLiveEvent.reset(CreateEventW(nullptr, TRUE, FALSE, kServerLiveEventName));
    mIoEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    auto log = Obtain("ControlObject");
    *log << "CreateEvent: " << FormatHex64(HandleValue(mServerLiveEvent.get())) << Log::EndLine;
}

ControlObject::~ControlObject() {
    try {
        Obtain("~ControlObject");
    } catch (...) {
        // A destructor must not throw; the handles are closed by their owners below.
    }
}

std::shared_ptr<Log> ControlObject::Obtain(const char* tag) const { return ObtainLog(mLogFactory, tag); }

bool ControlObject::CheckForServer() {
    auto log = Obtain("CheckForServer");
    const DWORD result = WaitForSingleObject(mServerLiveEvent.get(), kServerEventWaitMs);
    *log << "WaitForSingleObject: server_event_result, " << static_cast<std::uint32_t>(result) << Log::EndLine;
    return result != WAIT_TIMEOUT && result != WAIT_FAILED;
}

bool ControlObject::ConnectToServer(CancellationToken token) {
    auto log = Obtain("ConnectToServer");
    return ConnectControlPipe(std::move(token));
}

bool ControlObject::ConnectControlPipe(CancellationToken token) {
    auto log = Obtain("ConnectControlPipe");
    if (mCommandPipe)
        *log << "mCommandPipe already initialized" << Log::EndLine;

    while (!token.is_canceled() && !mCommandPipe) {
        if (!WaitNamedPipeW(kControlPipeName, kPipeWaitMs)) {
            const DWORD error = GetLastError();
            *log << "WaitNamedPipe: error: " << static_cast<std::uint32_t>(error) << Log::EndLine;
            SleepFor(kRetryPause);
            continue;
        }
        *log << "after WaitNamedPipe" << Log::EndLine;
        if (token.is_canceled())
            break;

        // Overlapped, so that no exchange can block its caller for good.
        mCommandPipe.reset(CreateFileW(kControlPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_OVERLAPPED, nullptr));
        const DWORD error = GetLastError();
        *log << "CreateFile: " << FormatHex64(HandleValue(mCommandPipe.get())) << Log::EndLine;
        if (mCommandPipe) {
            mOutOfStep = false;
            continue;
        }
        *log << "CreateFile: error: " << static_cast<std::uint32_t>(error) << Log::EndLine;
        if (error != kPipeBusyError)
            break;
        // Another client took the free instance first: wait for the next one at once.
        *log << "ERROR_PIPE_BUSY" << Log::EndLine;
    }

    *log << "is_canceled, " << (token.is_canceled() ? "1" : "0") << Log::EndLine;
    return static_cast<bool>(mCommandPipe);
}

bool ControlObject::Disconnect() {
    auto log = Obtain("Disconnect");
    *log << "mCommandPipe, " << FormatHex64(HandleValue(mCommandPipe.get())) << Log::EndLine;
    mCommandPipe.reset();
    mOutOfStep = false;
    return true;
}

ControlObject::IoResult ControlObject::Transfer(bool write, void* data, DWORD size) noexcept {
    if (!mCommandPipe)
        return {IoOutcome::Failed, 0};
    if (!mIoEvent) {
        mIoEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!mIoEvent)
            return {IoOutcome::Failed, 0};
    }
    const HANDLE pipe = mCommandPipe.get();
    OVERLAPPED overlapped{};
    overlapped.hEvent = mIoEvent.get();
    const BOOL started = write ? WriteFile(pipe, data, size, nullptr, &overlapped)
                               : ReadFile(pipe, data, size, nullptr, &overlapped);
    if (!started && GetLastError() != ERROR_IO_PENDING)
        return {IoOutcome::Failed, 0};

    DWORD bytes = 0;
    if (WaitForSingleObject(overlapped.hEvent, kExchangeTimeoutMs) != WAIT_OBJECT_0) {
        CancelIoEx(pipe, &overlapped);
        // The operation may have completed just before the cancel; then it counts.
        if (GetOverlappedResult(pipe, &overlapped, &bytes, TRUE))
            return {IoOutcome::Done, bytes};
        return {GetLastError() == ERROR_OPERATION_ABORTED ? IoOutcome::TimedOut : IoOutcome::Failed, 0};
    }
    if (!GetOverlappedResult(pipe, &overlapped, &bytes, FALSE))
        return {IoOutcome::Failed, bytes};
    return {IoOutcome::Done, bytes};
}

} // namespace Zarvo::IPC
