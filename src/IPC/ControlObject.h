#pragma once
// The server-live event and the client end of the control pipe.

#include "IPC/Status.h"
#include "log/Log.h"
#include "runtime/Handles.h"
#include "runtime/Task.h"

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Zarvo::IPC {

using CancellationToken = Tasks::cancellation_token;

// Whom a process runs as: its session and the user SID of its token (the SID's bytes).
struct ProcessIdentity {
    DWORD session = 0;
    std::vector<BYTE> user;
};
// The identity of a process by its id; nullopt, with the platform's error set, when it cannot
// be read.
using IdentityLookup = std::function<std::optional<ProcessIdentity>(DWORD processId)>;
std::optional<ProcessIdentity> LookUpProcessIdentity(DWORD processId);

class ControlObject {
public:
    // Longest wait for the server-live event and for a free pipe instance.
    static constexpr DWORD kServerEventWaitMs = 500;
    static constexpr DWORD kPipeWaitMs = 500;
    // Pause after a failed wait for the pipe.
    static constexpr std::chrono::milliseconds kRetryPause{500};
    // Longest wait for one exchange (the write and the read) of the requests other than the
    // per-frame one, which brings its own bound.
    static constexpr DWORD kExchangeTimeoutMs = 2000;
    // Longest wait between looks at a cancellation where the platform offers no waitable form
    // (the wait for a free pipe instance).
    static constexpr DWORD kCancelPollMs = 10;

    // Creates the server-live event, or opens it with its state kept when the server made it.
    // `lookup` tells whom the process at the other end of the pipe runs as.
    explicit ControlObject(LogFactory factory, IdentityLookup lookup = LookUpProcessIdentity);
    virtual ~ControlObject();
    ControlObject(const ControlObject&) = delete;
    ControlObject& operator=(const ControlObject&) = delete;

    // True when the server-live event is set within 500 ms; false at once when the token is
    // cancelled.
    bool CheckForServer(CancellationToken token = {});
    // True when the control pipe is open on return.
    bool ConnectToServer(CancellationToken token);
    // Retries until the pipe opens, an unexpected open error occurs or the token is cancelled.
    // A pipe whose server runs in another session or as another user than this process counts
    // as no pipe. Every wait inside ends soon after the cancellation.
    bool ConnectControlPipe(CancellationToken token);
    // Closes the pipe if it is open. Always true.
    bool Disconnect();

protected:
    enum class IoOutcome { Done, Failed, TimedOut, Canceled };
    struct IoResult {
        IoOutcome outcome;
        DWORD bytes;
    };

    // One overlapped write or read on the pipe, waiting until the tick count `deadline` or the
    // token's cancellation. When the wait ends early the pending operation is cancelled and
    // finished before this returns, so the buffer is free again.
    IoResult Transfer(bool write, void* data, DWORD size, ULONGLONG deadline,
                      const CancellationToken& token) noexcept;

    // Set when an exchange failed, timed out or was cancelled: an answer may still be on its
    // way and would be taken for the answer to the next command, so no further exchange is
    // attempted on this connection. Cleared when the pipe is closed.
    bool mOutOfStep = false;

    bool PipeOpen() const noexcept { return static_cast<bool>(mCommandPipe); }

private:
    std::shared_ptr<Log> Obtain(const char* tag) const;
    // Empty when the server at the other end of the open pipe runs in this process's session
    // and as its user; otherwise what did not match.
    std::string RefusalOfServer() const;

    LogFactory mLogFactory;
    IdentityLookup mIdentityLookup;
    // The last refusal logged, so that a retry loop against the same server logs it once.
    std::string mLoggedRefusal;
    UniqueEvent mServerLiveEvent;
    UniqueFile mCommandPipe;
    // Completion event of the overlapped pipe operations; one exchange runs at a time.
    UniqueEvent mIoEvent;
};

// Waits for the object or the token's cancellation: the object's wait result, or nullopt once
// the token is cancelled.
std::optional<DWORD> WaitOrCancel(HANDLE object, DWORD milliseconds, const CancellationToken& token) noexcept;

// Returns a Log that discards everything when a factory hands out none, so an odd factory
// cannot crash the caller.
std::shared_ptr<Log> ObtainLog(const LogFactory& factory, std::string tag);

} // namespace Zarvo::IPC
