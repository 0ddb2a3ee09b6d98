#pragma once
// The filter's link to the companion server: discovery, launch, and the requests of the
// control pipe.

#include "IPC/ControlObject.h"
#include "IPC/Status.h"
#include "log/Log.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace Zarvo::IPC {

class WebcamClient : private ControlObject {
public:
    using HandleHandler = std::function<std::uint64_t(const Status&)>;
    using FlagHandler = std::function<bool(const Status&)>;

    explicit WebcamClient(LogFactory factory);
    ~WebcamClient() override;

    using ControlObject::CheckForServer;
    using ControlObject::ConnectControlPipe;
    using ControlObject::ConnectToServer;
    using ControlObject::Disconnect;
    using ControlObject::kExchangeTimeoutMs;

    // The shared texture's handle; 0 when the exchange fails.
    std::uint64_t OpenSharedTexture();
    // True when the server answers that its camera is live.
    bool StartCamera();
    // True when the server answers that its camera is no longer live.
    bool StopCamera();
    // The per-frame request: no Log, the answer is dropped.
    void FrameTick();

    // Sends one command and hands the answer to the handler. 0 or false when the write or the
    // read fails or times out; the handler is then not called.
    std::uint64_t HandleRequest(std::uint32_t command, HandleHandler handler);
    bool HandleRequest(std::uint32_t command, FlagHandler handler);

private:
    template <class Handler>
    auto Exchange(std::uint32_t command, Handler& handler) -> decltype(handler(Status{}));

    LogFactory mLogFactory;
};

// The server's executable for a module folder (ending with a backslash): " (x86)" goes right
// after the first "Program Files" unless the folder already holds " (x86)".
std::wstring ServerExecutablePath(std::wstring moduleFolder);

// Launches the server from the component's own folder when the server-live event stays
// unset.
void LaunchServerIfNeeded(const std::shared_ptr<WebcamClient>& client);

} // namespace Zarvo::IPC
