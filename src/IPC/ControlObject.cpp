#include "IPC/ControlObject.h"

#include "IPC/ObjectSecurity.h"
#include "log/Text.h"

#include <aclapi.h>
#include <algorithm>
#include <sddl.h>
#include <wtsapi32.h>

namespace Zarvo::IPC {

namespace {

constexpr DWORD kPipeBusyError = 231;

std::uint64_t HandleValue(HANDLE handle) noexcept {
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle));
}

// Below INFINITE however far the deadline is.
DWORD MillisecondsUntil(ULONGLONG deadline) noexcept {
    const ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, INFINITE - 1));
}

// Waits up to `milliseconds` for a free instance of the control pipe: 0 when one is free,
// otherwise the platform's error. The platform's wait cannot be cancelled, so a cancellable
// caller waits in short slices and looks at the token between them.
DWORD WaitForPipeInstance(DWORD milliseconds, const CancellationToken& token) noexcept {
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    for (;;) {
        const DWORD left = MillisecondsUntil(deadline);
        // 0 would mean the pipe's default time-out.
        const DWORD slice =
            std::max<DWORD>(1, token.is_cancelable() ? std::min(left, ControlObject::kCancelPollMs) : left);
        if (WaitNamedPipeW(kControlPipeName, slice))
            return 0;
        const DWORD error = GetLastError();
        if (error != ERROR_SEM_TIMEOUT || token.is_canceled() || MillisecondsUntil(deadline) == 0)
            return error;
    }
}

std::string SidText(const std::vector<BYTE>& sid) {
    if (sid.empty() || !IsValidSid(const_cast<BYTE*>(sid.data())))
        return "(none)";
    char* text = nullptr;
    if (!ConvertSidToStringSidA(const_cast<BYTE*>(sid.data()), &text))
        return "(unreadable)";
    std::string result(text);
    LocalFree(text);
    return result;
}

} // namespace

std::optional<PipeIdentity> LookUpPipeServer(HANDLE pipe) {
    PipeIdentity identity;
    // Recorded when the server end was created; unlike its process id it names no process that
    // could end and be replaced.
    if (!GetNamedPipeServerSessionId(pipe, &identity.session))
        return std::nullopt;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (const DWORD error = GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                            nullptr, nullptr, nullptr, &descriptor)) {
        SetLastError(error);
        return std::nullopt;
    }
    const auto freeLocal = [](void* memory) { LocalFree(memory); }; // LocalFree is __stdcall on x86
    const std::unique_ptr<void, decltype(freeLocal)> ownedDescriptor(descriptor, freeLocal);
    if (!owner || !IsValidSid(owner)) {
        SetLastError(ERROR_INVALID_OWNER);
        return std::nullopt;
    }
    const auto* first = static_cast<const BYTE*>(owner);
    identity.user.assign(first, first + GetLengthSid(owner));
    return identity;
}

std::optional<PipeIdentity> LookUpOwnIdentity() {
    PipeIdentity identity;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &identity.session))
        return std::nullopt;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return std::nullopt;
    const UniqueHandleNull ownedToken(token);
    identity.user = ObjectSecurity::TokenUserSid(token);
    if (identity.user.empty())
        return std::nullopt;
    return identity;
}

std::optional<PipeIdentity> LookUpConsoleIdentity() {
    PipeIdentity identity;
    identity.session = WTSGetActiveConsoleSessionId();
    if (identity.session == 0xFFFFFFFF) {
        SetLastError(ERROR_NO_SUCH_LOGON_SESSION);
        return std::nullopt;
    }
    const auto query = [&identity](WTS_INFO_CLASS what) {
        LPWSTR text = nullptr;
        DWORD bytes = 0;
        if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, identity.session, what, &text, &bytes))
            return std::optional<std::wstring>();
        std::wstring value(text ? text : L"");
        WTSFreeMemory(text);
        return std::optional<std::wstring>(std::move(value));
    };
    const auto user = query(WTSUserName);
    const auto domain = query(WTSDomainName);
    if (!user || !domain)
        return std::nullopt;
    if (user->empty()) { // the console shows the sign-in screen
        SetLastError(ERROR_NO_SUCH_LOGON_SESSION);
        return std::nullopt;
    }
    const std::wstring account = domain->empty() ? *user : *domain + L"\\" + *user;
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidBytes = sizeof(sid);
    wchar_t referenced[256];
    DWORD referencedChars = 256;
    SID_NAME_USE use{};
    if (!LookupAccountNameW(nullptr, account.c_str(), sid, &sidBytes, referenced, &referencedChars, &use))
        return std::nullopt;
    identity.user.assign(sid, sid + GetLengthSid(sid));
    return identity;
}

HANDLE OpenControlPipe() noexcept {
    // Overlapped, so that no exchange can block its caller for good; the server may learn who we
    // are but cannot act as us.
    // Writing needs only FILE_WRITE_DATA, which is all a camera outside the user's session is granted.
    return CreateFileW(kControlPipeName, GENERIC_READ | FILE_WRITE_DATA, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
}

std::optional<DWORD> WaitOrCancel(HANDLE object, DWORD milliseconds, const CancellationToken& token) noexcept {
    if (token.is_canceled())
        return std::nullopt;
    if (!token.is_cancelable())
        return WaitForSingleObject(object, milliseconds);
    if (const HANDLE canceled = token.wait_handle()) {
        const HANDLE both[2] = {object, canceled};
        const DWORD result = WaitForMultipleObjects(2, both, FALSE, milliseconds);
        if (result == WAIT_OBJECT_0 + 1)
            return std::nullopt;
        return result;
    }
    // No event for the cancellation: short slices.
    const ULONGLONG deadline = milliseconds == INFINITE ? ~0ull : GetTickCount64() + milliseconds;
    for (;;) {
        const DWORD result =
            WaitForSingleObject(object, std::min(MillisecondsUntil(deadline), ControlObject::kCancelPollMs));
        if (result != WAIT_TIMEOUT)
            return result;
        if (token.is_canceled())
            return std::nullopt;
        if (MillisecondsUntil(deadline) == 0)
            return result;
    }
}

std::shared_ptr<Log> ObtainLog(const LogFactory& factory, std::string tag) {
    auto log = factory(std::move(tag)); // an empty factory raises std::bad_function_call
    if (!log)
        log = std::make_shared<Log>(Log::Get(std::string_view{}, std::string_view{}));
    return log;
}

ControlObject::ControlObject(LogFactory factory, PipeIdentityLookup lookup, PipeOpener opener)
    : mLogFactory(std::move(factory)), mIdentityLookup(std::move(lookup)),
      mOpenPipe(opener ? std::move(opener) : PipeOpener(OpenControlPipe)) {
    // Opens the server's event with its state kept if it exists already. Made here first, it
    // gets what the server gives its own objects: full access for this user and SYSTEM only,
    // whatever the process's default DACL (an elevated host's would lock out the user's other
    // hosts and the app they launch).
    SECURITY_ATTRIBUTES* attributes = nullptr;
    auto security = ObjectSecurity::ForCurrentUser();
    if (security)
        attributes = security->Attributes();
    mServerLiveEvent.reset(CreateEventW(attributes, TRUE, FALSE, kServerLiveEventName));
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

bool ControlObject::CheckForServer(CancellationToken token, DWORD waitMs) {
    auto log = Obtain("CheckForServer");
    if (!mTrustedName.empty()) {
        *log << "the app's event is out of reach: the pipe is " << (mCommandPipe ? "open" : "closed") << Log::EndLine;
        return static_cast<bool>(mCommandPipe);
    }
    const auto result = WaitOrCancel(mServerLiveEvent.get(), waitMs, token);
    if (!result) {
        *log << "WaitForSingleObject: canceled" << Log::EndLine;
        return false;
    }
    *log << "WaitForSingleObject: server_event_result, " << static_cast<std::uint32_t>(*result) << Log::EndLine;
    return *result != WAIT_TIMEOUT && *result != WAIT_FAILED;
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
        if (const DWORD error = WaitForPipeInstance(kPipeWaitMs, token)) {
            if (token.is_canceled())
                break;
            *log << "WaitNamedPipe: error: " << static_cast<std::uint32_t>(error) << Log::EndLine;
            token.wait_for(static_cast<DWORD>(kRetryPause.count()));
            continue;
        }
        *log << "after WaitNamedPipe" << Log::EndLine;
        if (token.is_canceled())
            break;

        mCommandPipe.reset(mOpenPipe());
        const DWORD error = GetLastError();
        *log << "CreateFile: " << FormatHex64(HandleValue(mCommandPipe.get())) << Log::EndLine;
        if (mCommandPipe) {
            // Anyone may create a pipe of that name first: nothing is sent to a stranger.
            if (std::string refusal = RefusalOfServer(mAcceptedServer); !refusal.empty()) {
                if (refusal != mLoggedRefusal)
                    *log << LogLevel::Error << "ERROR: control pipe server refused: " << refusal << Log::EndLine;
                mLoggedRefusal = std::move(refusal);
                mCommandPipe.reset();
                token.wait_for(static_cast<DWORD>(kRetryPause.count()));
                continue;
            }
            mLoggedRefusal.clear();
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

std::string ControlObject::RefusalOfServer(PipeIdentity& accepted) const {
    accepted = {};
    // The process id only names the server in the log: by now it may belong to another process.
    ULONG serverId = 0;
    const std::string who = GetNamedPipeServerProcessId(mCommandPipe.get(), &serverId)
                                ? "process " + std::to_string(serverId)
                                : std::string("process (unknown)");
    const auto ours = mTrusted ? mTrusted() : std::nullopt;
    const std::string trusted = mTrustedName.empty() ? std::string("this host") : mTrustedName;
    if (!ours) {
        return who + ": " + (mTrustedName.empty() ? std::string("this process's own") : mTrustedName + "'s") +
               " identity is unreadable (error " + std::to_string(GetLastError()) + ")";
    }
    const auto theirs = mIdentityLookup ? mIdentityLookup(mCommandPipe.get()) : std::nullopt;
    if (!theirs)
        return who + ": its identity is unreadable (error " + std::to_string(GetLastError()) + ")";
    if (theirs->session != ours->session) {
        return who + " runs in session " + std::to_string(theirs->session) + ", " + trusted + " in session " +
               std::to_string(ours->session);
    }
    if (theirs->user != ours->user)
        return who + " runs as user " + SidText(theirs->user) + ", " + trusted + " as " + SidText(ours->user);
    accepted = *theirs;
    return {};
}

bool ControlObject::Disconnect() {
    auto log = Obtain("Disconnect");
    *log << "mCommandPipe, " << FormatHex64(HandleValue(mCommandPipe.get())) << Log::EndLine;
    mCommandPipe.reset();
    mAcceptedServer = {};
    mOutOfStep = false;
    return true;
}

DWORD ControlObject::BytesWaiting() const noexcept {
    DWORD available = 0;
    if (!mCommandPipe || !PeekNamedPipe(mCommandPipe.get(), nullptr, 0, nullptr, &available, nullptr))
        return 0;
    return available;
}

ControlObject::IoResult ControlObject::Transfer(bool write, void* data, DWORD size, ULONGLONG deadline,
                                                const CancellationToken& token) noexcept {
    if (!mCommandPipe)
        return {IoOutcome::Failed, 0};
    if (token.is_canceled())
        return {IoOutcome::Canceled, 0};
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
    // Done at once (a request written into the pipe's buffer, an answer already there): no wait, which
    // would cost a call to the system for every sample.
    if (started)
        return GetOverlappedResult(pipe, &overlapped, &bytes, FALSE) ? IoResult{IoOutcome::Done, bytes}
                                                                     : IoResult{IoOutcome::Failed, bytes};
    const auto waited = WaitOrCancel(overlapped.hEvent, MillisecondsUntil(deadline), token);
    if (waited != WAIT_OBJECT_0) {
        CancelIoEx(pipe, &overlapped);
        // The operation may have completed just before the cancel; then it counts.
        if (GetOverlappedResult(pipe, &overlapped, &bytes, TRUE))
            return {IoOutcome::Done, bytes};
        if (GetLastError() != ERROR_OPERATION_ABORTED)
            return {IoOutcome::Failed, 0};
        return {waited ? IoOutcome::TimedOut : IoOutcome::Canceled, 0};
    }
    if (!GetOverlappedResult(pipe, &overlapped, &bytes, FALSE))
        return {IoOutcome::Failed, bytes};
    return {IoOutcome::Done, bytes};
}

} // namespace Zarvo::IPC
