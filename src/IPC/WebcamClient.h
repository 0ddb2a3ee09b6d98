#pragma once
// The filter's link to the companion server: discovery, launch, and the requests of the
// control pipe.

#include "AppSettings/AppSettings.h"
#include "IPC/ControlObject.h"
#include "IPC/Status.h"
#include "log/Log.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace Zarvo::IPC {

class WebcamClient : private ControlObject {
public:
    using HandleHandler = std::function<std::uint64_t(const Status&)>;
    using FlagHandler = std::function<bool(const Status&)>;

    explicit WebcamClient(LogFactory factory, PipeIdentityLookup lookup = LookUpPipeServer);
    ~WebcamClient() override;

    using ControlObject::AcceptedServerSession;
    using ControlObject::AcceptedServerUser;
    using ControlObject::CheckForServer;
    using ControlObject::ConnectControlPipe;
    using ControlObject::ConnectToServer;
    using ControlObject::Disconnect;
    using ControlObject::kExchangeTimeoutMs;
    using ControlObject::TrustConsoleUser;

    // The shared texture's handle; 0 when the exchange fails or the token is cancelled.
    std::uint64_t OpenSharedTexture(CancellationToken token = {});
    // True when the server answers that its camera is live; false when the exchange fails or
    // the token is cancelled.
    bool StartCamera(CancellationToken token = {});
    // True when the server answers within `boundMs` that its camera is no longer live.
    bool StopCamera(DWORD boundMs = kExchangeTimeoutMs);
    // The app's frame size; 0,0 when the exchange fails or the app does not know the request.
    struct Size {
        std::uint32_t width = 0;
        std::uint32_t height = 0;
    };
    Size FrameSize();
    // Asks the app to publish into the channel made for it by a camera of another session; true
    // when it does.
    bool PublishAcrossSessions();
    // The per-frame request, bounded as a whole by `bound` and ended early by the token: false
    // when it failed, ran out of time or was cancelled (the connection is then out of step and
    // later requests fail at once). Writes no line except the one error line at the time-out.
    bool FrameTick(std::chrono::milliseconds bound = std::chrono::milliseconds(kExchangeTimeoutMs),
                   CancellationToken token = {});
    // The same in two halves, so that the app answers while the caller copies the frame and the
    // answer is then read without a wait: SendFrameTick writes the request, FinishFrameTick reads the
    // answer, both within `bound` from the send. FinishFrameTick is false without a sent request.
    bool SendFrameTick(std::chrono::milliseconds bound, const CancellationToken& token);
    bool FinishFrameTick(const CancellationToken& token);

    // True while the pipe is open and no exchange on it failed, timed out or was cancelled, nor
    // met bytes of an earlier answer still in the pipe.
    bool InStep() const noexcept { return PipeOpen() && !mOutOfStep; }

    // Sends one command and hands the answer to the handler. 0 or false when the write or the
    // read fails or times out, or bytes of an earlier answer wait in the pipe; the handler is
    // then not called.
    std::uint64_t HandleRequest(std::uint32_t command, HandleHandler handler);
    bool HandleRequest(std::uint32_t command, FlagHandler handler);

private:
    // One request, bounded as a whole by `boundMs` and ended early by the token.
    template <class Handler>
    auto Exchange(std::uint32_t command, Handler& handler, DWORD boundMs, const CancellationToken& token)
        -> decltype(handler(Status{}));
    // The exchange's halves, each until the tick count `deadline`; `boundMs` is for the log.
    bool Request(std::uint32_t command, ULONGLONG deadline, DWORD boundMs, const CancellationToken& token);
    bool Answer(std::uint32_t command, ULONGLONG deadline, DWORD boundMs, const CancellationToken& token,
                Status& status);
    // The pipe is a stream of bytes: a read ends with what has come, which may be the first piece of
    // an answer written in pieces. The pieces already there complete the record after its first
    // `have` bytes, without a wait; the bytes of the record now read. What has not come reads as
    // zeros, and the next request other than the per-frame one finds it.
    DWORD WholeAnswer(Status& status, DWORD have, ULONGLONG deadline);

    // The per-frame request sent and not yet answered, and its bound.
    bool mTickSent = false;
    ULONGLONG mTickDeadline = 0;
    DWORD mTickBoundMs = 0;

    LogFactory mLogFactory;
};

// The server's executable for a module folder (ending with a backslash): " (x86)" goes right
// after the first "Program Files" unless the folder already holds " (x86)".
std::wstring ServerExecutablePath(std::wstring moduleFolder);

// Launches the server from the component's own folder when the server-live event stays
// unset, or stays set for 2 s without a control pipe (left behind by a server that crashed).
// Returns soon after the token is cancelled, launching nothing from then on.
// `moduleFolder` gives the component's own folder.
using ModuleFolderSource = std::function<Result<std::wstring>()>;
void LaunchServerIfNeeded(const std::shared_ptr<WebcamClient>& client, CancellationToken token = {},
                          const ModuleFolderSource& moduleFolder = GetModuleFolder);

} // namespace Zarvo::IPC
