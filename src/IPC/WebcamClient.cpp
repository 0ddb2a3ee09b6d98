#include "IPC/WebcamClient.h"

#include "AppSettings/AppSettings.h"
#include "log/Text.h"

#include <windows.h>

#include <algorithm>
#include <utility>

namespace Zarvo::IPC {

namespace {

constexpr auto kPerFrame = static_cast<std::uint32_t>(Command::FrameTick);

} // namespace

WebcamClient::WebcamClient(LogFactory factory, PipeIdentityLookup lookup)
    : ControlObject(factory, std::move(lookup)), mLogFactory(std::move(factory)) {
    ObtainLog(mLogFactory, "WebcamClient");
}

WebcamClient::~WebcamClient() {
    try {
        ObtainLog(mLogFactory, "~WebcamClient");
    } catch (...) {
    }
}

bool WebcamClient::Request(std::uint32_t command, ULONGLONG deadline, DWORD boundMs, const CancellationToken& token) {
    // A per-frame request whose answer was never read leaves that answer in the way, too.
    if (std::exchange(mTickSent, false))
        mOutOfStep = true;
    // After a failed exchange an answer may still arrive and would be read as this command's.
    if (mOutOfStep)
        return false;
    // Bytes already waiting belong to an earlier answer (one longer than the record, or the tail of
    // one that came after the record was read) and would be read as this command's. Not looked for
    // before the per-frame request, which runs once per sample: the next other request finds them.
    if (command != kPerFrame) {
        if (const DWORD left = BytesWaiting()) {
            mOutOfStep = true;
            auto log = ObtainLog(mLogFactory, "HandleRequest");
            *log << LogLevel::Error << "ERROR: command " << command << ": " << static_cast<std::uint32_t>(left)
                 << " bytes of an earlier answer still in the pipe; later requests on this connection fail"
                 << Log::EndLine;
            return false;
        }
    }
    std::uint32_t code = command;
    const IoResult written = Transfer(true, &code, sizeof(code), deadline, token);
    if (written.outcome == IoOutcome::Done)
        return true;
    mOutOfStep = true;
    if (written.outcome == IoOutcome::TimedOut) {
        auto log = ObtainLog(mLogFactory, "HandleRequest");
        *log << LogLevel::Error << "ERROR: time-out: command " << command << ": request not taken within " << boundMs
             << " ms; later requests on this connection fail" << Log::EndLine;
    }
    return false;
}

bool WebcamClient::Answer(std::uint32_t command, ULONGLONG deadline, DWORD boundMs, const CancellationToken& token,
                          Status& status) {
    IoResult read = Transfer(false, &status, sizeof(status), deadline, token);
    const bool success = read.outcome == IoOutcome::Done;
    if (!success)
        mOutOfStep = true;

    // Obtained between the first read and the look for the rest: the tests' log factory can deliver
    // a piece of the answer at exactly that point.
    std::shared_ptr<Log> log;
    if (command != kPerFrame || read.outcome == IoOutcome::TimedOut)
        log = ObtainLog(mLogFactory, "HandleRequest");
    if (success)
        read.bytes = WholeAnswer(status, read.bytes, deadline);
    if (log) {
        if (read.outcome == IoOutcome::TimedOut) {
            *log << LogLevel::Error << "ERROR: time-out: command " << command << ": no answer within " << boundMs
                 << " ms; later requests on this connection fail" << Log::EndLine;
        }
        if (command != kPerFrame) {
            *log << "command/success/bytes_read, " << command << "," << success << ","
                 << static_cast<std::uint32_t>(read.bytes) << Log::EndLine;
        }
    }
    return success;
}

DWORD WebcamClient::WholeAnswer(Status& status, DWORD have, ULONGLONG deadline) {
    auto* record = reinterpret_cast<BYTE*>(&status);
    while (have < sizeof(status)) {
        const DWORD waiting = std::min<DWORD>(BytesWaiting(), sizeof(status) - have);
        if (waiting == 0)
            break;
        // The bytes are there, so the read takes no wait. No cancellation either: the answer is in
        // hand, and its tail left behind would only fail the next request.
        const IoResult more = Transfer(false, record + have, waiting, deadline, CancellationToken::none());
        if (more.outcome != IoOutcome::Done || more.bytes == 0)
            break;
        have += more.bytes;
    }
    return have;
}

template <class Handler>
auto WebcamClient::Exchange(std::uint32_t command, Handler& handler, DWORD boundMs, const CancellationToken& token)
    -> decltype(handler(Status{})) {
    using ResultType = decltype(handler(Status{}));
    const ULONGLONG deadline = GetTickCount64() + boundMs;
    Status status{};
    if (!Request(command, deadline, boundMs, token) || !Answer(command, deadline, boundMs, token, status))
        return ResultType{};
    return handler(status);
}

std::uint64_t WebcamClient::HandleRequest(std::uint32_t command, HandleHandler handler) {
    return Exchange(command, handler, kExchangeTimeoutMs, CancellationToken::none());
}

bool WebcamClient::HandleRequest(std::uint32_t command, FlagHandler handler) {
    return Exchange(command, handler, kExchangeTimeoutMs, CancellationToken::none());
}

std::uint64_t WebcamClient::OpenSharedTexture(CancellationToken token) {
    auto log = ObtainLog(mLogFactory, "OpenSharedTexture");
    HandleHandler handler([this](const Status& status) -> std::uint64_t {
        auto handlerLog = ObtainLog(mLogFactory, "OpenSharedTexture");
        *handlerLog << "shared_texture, " << FormatHex64(status.shared_texture) << Log::EndLine;
        return status.shared_texture;
    });
    return Exchange(static_cast<std::uint32_t>(Command::OpenSharedTexture), handler, kExchangeTimeoutMs, token);
}

bool WebcamClient::StartCamera(CancellationToken token) {
    auto log = ObtainLog(mLogFactory, "StartCamera");
    FlagHandler handler([this](const Status& status) {
        auto handlerLog = ObtainLog(mLogFactory, "StartCamera");
        *handlerLog << "is_camera_live, " << status.is_camera_live << Log::EndLine;
        return status.is_camera_live != 0;
    });
    return Exchange(static_cast<std::uint32_t>(Command::StartCamera), handler, kExchangeTimeoutMs, token);
}

bool WebcamClient::StopCamera(DWORD boundMs) {
    auto log = ObtainLog(mLogFactory, "StopCamera");
    FlagHandler handler([this](const Status& status) {
        auto handlerLog = ObtainLog(mLogFactory, "StopCamera");
        *handlerLog << "is_camera_live, " << status.is_camera_live << Log::EndLine;
        return status.is_camera_live == 0;
    });
    return Exchange(static_cast<std::uint32_t>(Command::StopCamera), handler, boundMs,
                    CancellationToken::none());
}

WebcamClient::Size WebcamClient::FrameSize() {
    const std::uint64_t packed = HandleRequest(static_cast<std::uint32_t>(Command::FrameSize),
                                               HandleHandler([](const Status& status) { return status.shared_texture; }));
    const Size size{static_cast<std::uint32_t>(packed), static_cast<std::uint32_t>(packed >> 32)};
    *ObtainLog(mLogFactory, "FrameSize") << "w/h, " << size.width << "," << size.height << Log::EndLine;
    return size.width && size.height ? size : Size{};
}

bool WebcamClient::PublishAcrossSessions() {
    const bool publishes = HandleRequest(static_cast<std::uint32_t>(Command::PublishAcrossSessions),
                                         FlagHandler([](const Status& status) { return status.frame_flag == 1; }));
    *ObtainLog(mLogFactory, "PublishAcrossSessions") << "frame_flag, " << (publishes ? 1 : 0) << Log::EndLine;
    return publishes;
}

bool WebcamClient::FrameTick(std::chrono::milliseconds bound, CancellationToken token) {
    return SendFrameTick(bound, token) && FinishFrameTick(token);
}

bool WebcamClient::SendFrameTick(std::chrono::milliseconds bound, const CancellationToken& token) {
    mTickBoundMs = static_cast<DWORD>(std::clamp<std::chrono::milliseconds::rep>(bound.count(), 0, 0x7FFFFFFF));
    mTickDeadline = GetTickCount64() + mTickBoundMs;
    mTickSent = Request(static_cast<std::uint32_t>(Command::FrameTick), mTickDeadline, mTickBoundMs, token);
    return mTickSent;
}

bool WebcamClient::FinishFrameTick(const CancellationToken& token) {
    if (!std::exchange(mTickSent, false))
        return false;
    // The answer's flag means nothing to us: any answer in time is a success.
    Status status{};
    return Answer(static_cast<std::uint32_t>(Command::FrameTick), mTickDeadline, mTickBoundMs, token, status);
}

std::wstring ServerExecutablePath(std::wstring moduleFolder) {
    static constexpr std::wstring_view kProgramFiles = L"Program Files";
    if (moduleFolder.find(L" (x86)") == std::wstring::npos) {
        const auto at = moduleFolder.find(kProgramFiles);
        if (at != std::wstring::npos)
            moduleFolder.insert(at + kProgramFiles.size(), L" (x86)");
    }
    return moduleFolder + kServerExecutableName;
}

namespace {

// How long a set server-live event may go without a control pipe before it counts as left
// behind by a server that ended without resetting it.
constexpr DWORD kStaleEventMs = 2000;
constexpr DWORD kPipeLookMs = 50;

// True when no instance of the control pipe exists, busy or free, for `milliseconds`; false
// as soon as one shows up or the token is cancelled.
bool PipeStaysAbsent(DWORD milliseconds, const CancellationToken& token) {
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    for (;;) {
        // Fails at once with "file not found" when there is no instance at all.
        if (WaitNamedPipeW(kControlPipeName, 1) || GetLastError() != ERROR_FILE_NOT_FOUND)
            return false;
        if (GetTickCount64() >= deadline)
            return true;
        if (token.wait_for(kPipeLookMs))
            return false;
    }
}

} // namespace

void LaunchServerIfNeeded(const std::shared_ptr<WebcamClient>& client, CancellationToken token,
                          const ModuleFolderSource& moduleFolder) {
    if (!client)
        return;
    Log log = Log::Get(kFilterLogName, "Prepare/ConnectToServer");
    if (client->CheckForServer(token)) {
        // A server that crashed leaves the event set; a new one refuses to run twice by itself.
        if (!PipeStaysAbsent(kStaleEventMs, token) || token.is_canceled())
            return;
        log << "WebcamClient: Server Event Set but no Pipe - attempting launch" << Log::EndLine;
    } else {
        if (token.is_canceled())
            return;
        log << "WebcamClient: No Server Found - attempting launch" << Log::EndLine;
    }

    auto folder = moduleFolder ? moduleFolder() : GetModuleFolder();
    if (!folder) {
        // Without our own folder there is nowhere to start the server from.
        log << LogLevel::Error << "Failed to get Module install path" << Log::EndLine;
    } else {
        const std::wstring path = ServerExecutablePath(std::move(folder).Value());
        // The path holds a space: quoted, the server sees no arguments.
        std::wstring commandLine = L"\"" + path + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        // The server outlives the host: it must not share the host's console (a Ctrl+C or a
        // closed console window there would end it, and a windowless host would give it a
        // console window of its own) nor hold the host's standard handles open.
        if (CreateProcessW(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                           nullptr, &startup, &process)) {
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        } else {
            const DWORD error = GetLastError();
            log << LogLevel::Error << "CreateProcess failed " << static_cast<std::uint32_t>(error) << Log::EndLine;
        }
    }

    if (!client->CheckForServer(token) && !token.is_canceled())
        log << "WebcamClient: Server Launch Failed" << Log::EndLine;
}

} // namespace Zarvo::IPC
