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

// Whom the server end of the control pipe belongs to: the session the pipe reports for its server
// and the pipe's owner (the SID's bytes), which the app sets to the user it runs as. Both are read
// from the pipe itself, so neither can change under the client; a process id looked up afterwards
// could belong to another process by then.
struct PipeIdentity {
    DWORD session = 0;
    std::vector<BYTE> user;
};
// The identity of the server of an open pipe; nullopt, with the platform's error set, when it
// cannot be read (a pipe without an owner included).
using PipeIdentityLookup = std::function<std::optional<PipeIdentity>(HANDLE pipe)>;
std::optional<PipeIdentity> LookUpPipeServer(HANDLE pipe);
// This process's session and token user, for comparison with the above; nullopt when unreadable.
std::optional<PipeIdentity> LookUpOwnIdentity();
// The console session and the user signed in there: whom a camera trusts when it runs in another
// session than any user's (the platform's camera service, in session 0). Nullopt, with the
// platform's error set, when no one is signed in at the console or the user cannot be read.
std::optional<PipeIdentity> LookUpConsoleIdentity();
// Whose app a camera accepts.
using TrustedIdentity = std::function<std::optional<PipeIdentity>()>;

// Opens the client end of the control pipe as the camera does; the handle, or
// INVALID_HANDLE_VALUE with the platform's error set.
using PipeOpener = std::function<HANDLE()>;
HANDLE OpenControlPipe() noexcept;

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
    // `lookup` tells whom the server end of an open pipe belongs to. `opener` is a test seam: it
    // lets a test act between the successful wait for a free instance and the open (the
    // product always uses OpenControlPipe).
    explicit ControlObject(LogFactory factory, PipeIdentityLookup lookup = LookUpPipeServer,
                           PipeOpener opener = OpenControlPipe);
    virtual ~ControlObject();
    ControlObject(const ControlObject&) = delete;
    ControlObject& operator=(const ControlObject&) = delete;

    // True when the server-live event is set within `waitMs` (500 ms by default); false at once when
    // the token is cancelled. For the console user's app: true while the pipe is open.
    bool CheckForServer(CancellationToken token = {}, DWORD waitMs = kServerEventWaitMs);
    // True when the control pipe is open on return.
    bool ConnectToServer(CancellationToken token);
    // Retries until the pipe opens, an unexpected open error occurs or the token is cancelled.
    // A pipe whose server runs in another session or as another user than this process counts
    // as no pipe. Every wait inside ends soon after the cancellation.
    bool ConnectControlPipe(CancellationToken token);
    // Closes the pipe if it is open. Always true.
    bool Disconnect();
    // From now on the app of the console's user is accepted instead of one of this process's own
    // session and user, for a camera outside every user's session. The app's server-live event is
    // out of reach there: CheckForServer then answers whether the pipe is open.
    void TrustConsoleUser() {
        mTrusted = LookUpConsoleIdentity;
        mTrustedName = "the console";
    }
    // The user SID (its bytes) the server end of the open pipe was accepted for: this process's
    // own user, as the pipe's owner reported it. Empty while no pipe is open. Other objects the
    // server shares (the frame section) must have the same owner.
    std::vector<BYTE> AcceptedServerUser() const { return mAcceptedServer.user; }
    // The session the server end of the open pipe reported; meaningful only while a pipe is open.
    DWORD AcceptedServerSession() const { return mAcceptedServer.session; }

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
    // The bytes that have come on the pipe and are not read yet, without waiting; 0 also when the
    // pipe cannot be asked (a broken one: the next transfer tells).
    DWORD BytesWaiting() const noexcept;

    // Set when an exchange failed, timed out or was cancelled, or bytes of an earlier answer were
    // found waiting: an answer may still be on its way and would be taken for the answer to the
    // next command, so no further exchange is attempted on this connection. Cleared when the pipe
    // is closed.
    bool mOutOfStep = false;

    bool PipeOpen() const noexcept { return static_cast<bool>(mCommandPipe); }

private:
    std::shared_ptr<Log> Obtain(const char* tag) const;
    // Empty when the server end of the open pipe reports the trusted session and is owned by the
    // trusted user (then `accepted` is that identity); otherwise what did not match.
    std::string RefusalOfServer(PipeIdentity& accepted) const;

    LogFactory mLogFactory;
    PipeIdentityLookup mIdentityLookup;
    PipeOpener mOpenPipe;
    TrustedIdentity mTrusted = LookUpOwnIdentity;
    std::string mTrustedName; // empty: this host's own, whose server-live event is in reach
    // Set while mCommandPipe is open, to the user its server was accepted for.
    PipeIdentity mAcceptedServer;
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
