#pragma once
// The server-live event and the client end of the control pipe.

#include "IPC/Status.h"
#include "log/Log.h"
#include "runtime/Handles.h"
#include "runtime/Task.h"

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace Zarvo::IPC {

using CancellationToken = Tasks::cancellation_token;

class ControlObject {
public:
    // Longest wait for the server-live event and for a free pipe instance.
    static constexpr DWORD kServerEventWaitMs = 500;
    static constexpr DWORD kPipeWaitMs = 500;
    // Pause after a failed wait for the pipe.
    static constexpr std::chrono::milliseconds kRetryPause{500};
    // Longest wait for one half of an exchange (the write or the read).
    static constexpr DWORD kExchangeTimeoutMs = 2000;

    // Creates the server-live event, or opens it with its state kept when the server made it.
    explicit ControlObject(LogFactory factory);
    virtual ~ControlObject();
    ControlObject(const ControlObject&) = delete;
    ControlObject& operator=(const ControlObject&) = delete;

    // True when the server-live event is set within 500 ms.
    bool CheckForServer();
    // True when the control pipe is open on return.
    bool ConnectToServer(CancellationToken token);
    // Retries until the pipe opens, an unexpected open error occurs or the token is cancelled.
    bool ConnectControlPipe(CancellationToken token);
    // Closes the pipe if it is open. Always true.
    bool Disconnect();

protected:
    enum class IoOutcome { Done, Failed, TimedOut };
    struct IoResult {
        IoOutcome outcome;
        DWORD bytes;
    };

    // One overlapped write or read on the pipe, bounded by kExchangeTimeoutMs. On a time-out
    // the pending operation is cancelled and finished before this returns, so the buffer is
    // free again.
    IoResult Transfer(bool write, void* data, DWORD size) noexcept;

    // Set when an exchange timed out: an answer may still be on its way and would be taken
    // for the answer to the next command, so no further exchange is attempted on this
    // connection. Cleared when the pipe is closed.
    bool mOutOfStep = false;

    bool PipeOpen() const noexcept { return static_cast<bool>(mCommandPipe); }

private:
    std::shared_ptr<Log> Obtain(const char* tag) const;

    LogFactory mLogFactory;
    UniqueEvent mServerLiveEvent;
    UniqueFile mCommandPipe;
    // Completion event of the overlapped pipe operations; one exchange runs at a time.
    UniqueEvent mIoEvent;
};

// Returns a Log that discards everything when a factory hands out none, so an odd factory
// cannot crash the caller.
std::shared_ptr<Log> ObtainLog(const LogFactory& factory, std::string tag);

} // namespace Zarvo::IPC
