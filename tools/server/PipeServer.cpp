#include "server/PipeServer.h"

#include "log/Log.h"
#include "log/Text.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace Zarvo::Server {

namespace {

constexpr DWORD kPipeBufferBytes = 4096;
// The completion key that asks the serving thread to stop; connections use their address.
constexpr ULONG_PTR kStopKey = 1;
// Longest wait of the serving thread for cancelled operations when it stops.
constexpr std::uint64_t kStopWaitMs = 5000;

std::uint64_t NowMs() noexcept { return GetTickCount64(); }

Log ClientLog(const ClientState& client) {
    Log log = Log::Get(kServerLogName, "Client");
    log << "client " << client.id << ": ";
    return log;
}

// Adds the count of lines dropped before this one, if any.
void NoteDropped(Log& log, std::uint64_t dropped) {
    if (dropped != 0)
        log << " (" << dropped << " similar lines dropped before)";
}

LogLimiter gUnknownCommandLog{10, 10000};

bool IsKnown(std::uint32_t command) noexcept {
    return command >= static_cast<std::uint32_t>(IPC::Command::OpenSharedTexture) &&
           command <= static_cast<std::uint32_t>(IPC::Command::PublishAcrossSessions);
}

} // namespace

bool LogLimiter::Admit(std::uint64_t nowMs, std::uint64_t& dropped) noexcept {
    std::lock_guard lock(mMutex);
    if (nowMs - mWindowStart >= mWindowMs || nowMs < mWindowStart) {
        mWindowStart = nowMs;
        mCount = 0;
    }
    if (mCount >= mLines) {
        ++mDropped;
        return false;
    }
    ++mCount;
    dropped = std::exchange(mDropped, 0);
    return true;
}

IPC::Status Answer(std::uint32_t command, ClientState& client, Camera& camera) {
    IPC::Status answer{};
    switch (static_cast<IPC::Command>(command)) {
    case IPC::Command::StartCamera: {
        if (!client.cameraStarted) {
            camera.Acquire();
            client.cameraStarted = true;
        }
        answer.is_camera_live = camera.IsLive() ? 1 : 0;
        ClientLog(client) << "StartCamera: is_camera_live, " << answer.is_camera_live << Log::EndLine;
        break;
    }
    case IPC::Command::StopCamera: {
        // Stopped for this client; the generator runs on while other clients use it.
        if (client.cameraStarted) {
            client.cameraStarted = false;
            camera.Release();
        }
        ClientLog(client) << "StopCamera: is_camera_live, 0" << Log::EndLine;
        break;
    }
    case IPC::Command::OpenSharedTexture: {
        std::string whyNot;
        answer.shared_texture = camera.OpenTexture(whyNot);
        answer.is_camera_live = client.cameraStarted && camera.IsLive() ? 1 : 0;
        if (answer.shared_texture != 0) {
            ClientLog(client) << "OpenSharedTexture: shared_texture, " << FormatHex64(answer.shared_texture)
                              << Log::EndLine;
        } else {
            ClientLog(client) << "OpenSharedTexture: answering 0: " << whyNot << Log::EndLine;
        }
        break;
    }
    case IPC::Command::FrameTick: {
        // Once per delivered sample: no log line.
        const std::uint64_t drawn = camera.FramesDrawn();
        answer.frame_flag = drawn > client.lastFrameAsked ? 1 : 0;
        client.lastFrameAsked = drawn;
        ++client.frameRequests;
        answer.shared_texture = (client.id << 32) | (client.frameRequests & 0xFFFFFFFFu);
        answer.is_camera_live = client.cameraStarted && camera.IsLive() ? 1 : 0;
        break;
    }
    case IPC::Command::FrameSize: {
        const FrameSize size = camera.Size();
        answer.shared_texture = size.width | std::uint64_t{size.height} << 32;
        ClientLog(client) << "FrameSize: w/h, " << size.width << "," << size.height << Log::EndLine;
        break;
    }
    case IPC::Command::PublishAcrossSessions: {
        std::string whyNot;
        answer.frame_flag = camera.PublishAcrossSessions(whyNot) ? 1 : 0;
        if (answer.frame_flag)
            ClientLog(client) << "PublishAcrossSessions: frame_flag, 1" << Log::EndLine;
        else
            ClientLog(client) << LogLevel::Error << "ERROR: PublishAcrossSessions: " << whyNot << Log::EndLine;
        break;
    }
    default: {
        // Anyone can send anything: a flood of these must not grow the log without bound.
        std::uint64_t dropped = 0;
        if (gUnknownCommandLog.Admit(NowMs(), dropped)) {
            Log log = ClientLog(client);
            log << "unknown command " << command << ": answering zeros";
            NoteDropped(log, dropped);
            log << Log::EndLine;
        }
        break;
    }
    }
    return answer;
}

struct PipeServer::Connection {
    enum class Stage { Listening, Reading, Writing };

    UniqueFile pipe;
    OVERLAPPED overlapped{};
    bool pending = false; // an operation owns `overlapped` until its completion arrives
    bool closing = false; // freed once no operation is pending
    Stage stage = Stage::Listening;
    bool counted = false; // one of mClients
    bool proven = false;  // has sent a known command
    bool stalled = false; // its request is left unanswered; whatever else it sends is dropped
    DWORD process = 0;
    std::uint64_t connectedAtMs = 0;
    std::uint8_t request[4]{};
    DWORD have = 0;
    IPC::Status answer{};
    ClientState state;
};

PipeServer::PipeServer(Camera& camera, SECURITY_ATTRIBUTES* security, std::uint64_t stallFrameRequest,
                       std::uint64_t textureHandle)
    : mCamera(camera), mSecurity(security), mStallFrameRequest(stallFrameRequest), mTextureHandle(textureHandle) {}

PipeServer::~PipeServer() { Stop(); }

bool PipeServer::Start() {
    try {
        mPort.reset(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
        auto first = std::make_unique<Connection>();
        // The first instance claims the name: a second server must not share it.
        first->pipe.reset(CreateNamedPipeW(
            IPC::kControlPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, PIPE_UNLIMITED_INSTANCES,
            kPipeBufferBytes, kPipeBufferBytes, 0, mSecurity));
        if (!mPort || !first->pipe ||
            !CreateIoCompletionPort(first->pipe.get(), mPort.get(), reinterpret_cast<ULONG_PTR>(first.get()), 0)) {
            const DWORD error = GetLastError();
            Log log = Log::Get(kServerLogName, "PipeServer");
            log << LogLevel::Error << "ERROR: CreateNamedPipe failed " << static_cast<std::uint32_t>(error)
                << (error == ERROR_ACCESS_DENIED ? " (another server owns the pipe)" : "") << Log::EndLine;
            return false;
        }
        mListening = first.get();
        mConnections.push_back(std::move(first));
        mThread = std::thread([this] { Run(); });
        return true;
    } catch (...) {
        Log::Get(kServerLogName, "PipeServer") << LogLevel::Error << "ERROR: cannot start serving" << Log::EndLine;
        mConnections.clear();
        mListening = nullptr;
        return false;
    }
}

void PipeServer::Stop() {
    if (!mThread.joinable())
        return;
    // Retried: a full port is a resource failure like any other.
    while (!PostQueuedCompletionStatus(mPort.get(), 0, kStopKey, nullptr))
        Sleep(10);
    mThread.join();
}

void PipeServer::Run() {
    std::uint64_t stopDeadline = 0;
    for (;;) {
        try {
            if (!mStopping)
                Listen();
            DWORD bytes = 0;
            ULONG_PTR key = 0;
            OVERLAPPED* overlapped = nullptr;
            const BOOL ok =
                GetQueuedCompletionStatus(mPort.get(), &bytes, &key, &overlapped, NextWakeMs(NowMs()));
            const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
            if (overlapped) {
                auto& connection = *reinterpret_cast<Connection*>(key);
                connection.pending = false;
                SetLastError(error);
                OnCompleted(connection, ok != FALSE, bytes);
            } else if (ok && key == kStopKey && !mStopping) {
                mStopping = true;
                stopDeadline = NowMs() + kStopWaitMs;
                std::vector<Connection*> all;
                for (auto& connection : mConnections)
                    all.push_back(connection.get());
                for (Connection* connection : all)
                    Close(*connection, "the server stops");
            } else if (!ok && error != WAIT_TIMEOUT) {
                Failed("GetQueuedCompletionStatus", error);
                Sleep(kRetryPauseMs);
            }
            if (mStopping) {
                if (mConnections.empty())
                    return;
                if (NowMs() > stopDeadline) {
                    // Operations that never completed keep their memory: freeing it could be written to.
                    for (auto& connection : mConnections)
                        static_cast<void>(connection.release());
                    mConnections.clear();
                    return;
                }
            } else {
                DropLateClients(NowMs());
            }
        } catch (...) {
            // Out of memory or the like: go on after a pause rather than end the app.
            Failed("serving (exception)", ERROR_OUTOFMEMORY);
            Sleep(kRetryPauseMs);
        }
    }
}

void PipeServer::Listen() {
    // Clients that connect and leave at once could keep this going: a few per call.
    for (int attempt = 0; attempt < 16; ++attempt) {
        if (!mListening) {
            if (NowMs() < mRetryAtMs)
                return;
            auto next = std::make_unique<Connection>();
            next->pipe.reset(CreateNamedPipeW(IPC::kControlPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                              PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT |
                                                  PIPE_REJECT_REMOTE_CLIENTS,
                                              PIPE_UNLIMITED_INSTANCES, kPipeBufferBytes, kPipeBufferBytes, 0,
                                              mSecurity));
            if (!next->pipe) {
                Failed("CreateNamedPipe", GetLastError());
                return;
            }
            if (!CreateIoCompletionPort(next->pipe.get(), mPort.get(), reinterpret_cast<ULONG_PTR>(next.get()), 0)) {
                Failed("CreateIoCompletionPort", GetLastError());
                return;
            }
            mListening = next.get();
            mConnections.push_back(std::move(next));
        }
        Connection& listening = *mListening;
        if (listening.pending)
            return;
        listening.overlapped = {};
        if (ConnectNamedPipe(listening.pipe.get(), &listening.overlapped)) {
            listening.pending = true; // its completion is queued
            return;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            listening.pending = true;
            return;
        }
        if (error == ERROR_PIPE_CONNECTED) {
            OnConnected(listening); // no completion follows
        } else if (error == ERROR_NO_DATA) {
            DisconnectNamedPipe(listening.pipe.get()); // came and went already
        } else {
            Failed("ConnectNamedPipe", error);
            Close(listening, "");
            return;
        }
    }
}

void PipeServer::OnConnected(Connection& connection) {
    mFailures = 0;
    DWORD process = 0;
    GetNamedPipeClientProcessId(connection.pipe.get(), &process);
    unsigned unproven = 0;
    for (const auto& other : mConnections) {
        if (other->counted && !other->closing && !other->proven && other->process == process)
            ++unproven;
    }
    if (mClients >= kMaxClients || unproven >= kMaxUnprovenPerProcess) {
        std::uint64_t dropped = 0;
        if (mRefusedLog.Admit(NowMs(), dropped)) {
            Log log = Log::Get(kServerLogName, "PipeServer");
            log << "refused a client of process " << static_cast<std::uint32_t>(process) << ": "
                << (mClients >= kMaxClients ? "clients, " : "waiting for a first request, ")
                << (mClients >= kMaxClients ? mClients : unproven);
            NoteDropped(log, dropped);
            log << Log::EndLine;
        }
        // The same instance waits for the next client.
        DisconnectNamedPipe(connection.pipe.get());
        return;
    }
    mListening = nullptr;
    connection.counted = true;
    ++mClients;
    connection.process = process;
    connection.connectedAtMs = NowMs();
    connection.state.id = mNextClientId++;
    StartRead(connection);
}

void PipeServer::OnCompleted(Connection& connection, bool ok, DWORD bytes) {
    if (connection.closing) {
        Free(connection);
        return;
    }
    switch (connection.stage) {
    case Connection::Stage::Listening:
        if (ok || GetLastError() == ERROR_PIPE_CONNECTED) {
            OnConnected(connection);
        } else if (const DWORD error = GetLastError();
                   error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED) {
            DisconnectNamedPipe(connection.pipe.get()); // a client that came and went: wait for the next
        } else {
            Failed("ConnectNamedPipe", error); // a broken instance: a new one after a pause
            Close(connection, "");
        }
        return;
    case Connection::Stage::Reading:
        if (!ok || bytes == 0) {
            Close(connection, "left");
            return;
        }
        if (connection.stalled) {
            StartRead(connection);
            return;
        }
        connection.have += bytes;
        // A request may arrive in pieces; only a whole one is answered.
        if (connection.have < sizeof(connection.request))
            StartRead(connection);
        else
            HandleRequest(connection);
        return;
    case Connection::Stage::Writing:
        if (!ok || bytes != sizeof(connection.answer)) {
            Close(connection, "left");
            return;
        }
        connection.have = 0;
        StartRead(connection);
        return;
    }
}

void PipeServer::StartRead(Connection& connection) {
    connection.stage = Connection::Stage::Reading;
    connection.overlapped = {};
    const DWORD offset = connection.stalled ? 0 : connection.have;
    if (!ReadFile(connection.pipe.get(), connection.request + offset, sizeof(connection.request) - offset, nullptr,
                  &connection.overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
        Close(connection, "left");
        return;
    }
    connection.pending = true;
}

void PipeServer::HandleRequest(Connection& connection) {
    std::uint32_t command = 0;
    std::memcpy(&command, connection.request, sizeof(command));
    connection.have = 0;
    if (command == static_cast<std::uint32_t>(IPC::Command::FrameTick) && ++mFrameRequests == mStallFrameRequest) {
        ClientLog(connection.state) << "per-frame request " << mStallFrameRequest << " left unanswered"
                                    << Log::EndLine;
        connection.stalled = true;
        connection.proven = true;
        StartRead(connection);
        return;
    }
    if (IsKnown(command) && !connection.proven) {
        connection.proven = true;
        ClientLog(connection.state) << "connected" << Log::EndLine;
    }
    connection.answer = Answer(command, connection.state, mCamera);
    if (command == static_cast<std::uint32_t>(IPC::Command::OpenSharedTexture) && !connection.answer.shared_texture &&
        mTextureHandle) {
        connection.answer.shared_texture = mTextureHandle;
        ClientLog(connection.state) << "OpenSharedTexture: answering " << mTextureHandle << " as told" << Log::EndLine;
    }
    // The whole answer in one write, so the client's single read gets all of it.
    connection.stage = Connection::Stage::Writing;
    connection.overlapped = {};
    if (!WriteFile(connection.pipe.get(), &connection.answer, sizeof(connection.answer), nullptr,
                   &connection.overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
        Close(connection, "left");
        return;
    }
    connection.pending = true;
}

void PipeServer::Close(Connection& connection, const char* why) {
    if (connection.closing)
        return;
    connection.closing = true;
    if (&connection == mListening)
        mListening = nullptr;
    if (connection.counted) {
        connection.counted = false;
        --mClients;
        if (connection.state.cameraStarted) {
            connection.state.cameraStarted = false;
            mCamera.Release();
        }
        if (connection.proven) {
            ClientLog(connection.state) << "disconnected: per-frame requests, " << connection.state.frameRequests
                                        << Log::EndLine;
        } else {
            std::uint64_t dropped = 0;
            if (mDroppedLog.Admit(NowMs(), dropped)) {
                Log log = ClientLog(connection.state);
                log << "dropped without a request: " << why;
                NoteDropped(log, dropped);
                log << Log::EndLine;
            }
        }
    }
    DisconnectNamedPipe(connection.pipe.get());
    if (connection.pending)
        CancelIoEx(connection.pipe.get(), &connection.overlapped);
    else
        Free(connection);
}

void PipeServer::Free(Connection& connection) {
    mConnections.remove_if([&](const auto& owned) { return owned.get() == &connection; });
}

void PipeServer::DropLateClients(std::uint64_t nowMs) {
    std::vector<Connection*> late;
    for (auto& connection : mConnections) {
        if (connection->counted && !connection->closing && !connection->proven &&
            nowMs - connection->connectedAtMs >= kFirstRequestMs)
            late.push_back(connection.get());
    }
    for (Connection* connection : late)
        Close(*connection, "no request in time");
}

DWORD PipeServer::NextWakeMs(std::uint64_t nowMs) const {
    std::uint64_t wake = nowMs + 1000;
    if (!mListening && !mStopping)
        wake = std::min(wake, std::max(mRetryAtMs, nowMs));
    for (const auto& connection : mConnections) {
        if (connection->counted && !connection->closing && !connection->proven)
            wake = std::min(wake, connection->connectedAtMs + kFirstRequestMs);
    }
    return static_cast<DWORD>(wake > nowMs ? wake - nowMs : 0);
}

void PipeServer::Failed(const char* what, DWORD error) {
    ++mFailures;
    const DWORD pause = mFailures >= 3 ? kLongRetryPauseMs : kRetryPauseMs;
    mRetryAtMs = NowMs() + pause;
    std::uint64_t dropped = 0;
    if (mFailureLog.Admit(NowMs(), dropped)) {
        Log log = Log::Get(kServerLogName, "PipeServer");
        log << LogLevel::Error << "ERROR: " << what << " failed " << static_cast<std::uint32_t>(error)
            << "; trying again in " << static_cast<std::uint32_t>(pause) << " ms";
        NoteDropped(log, dropped);
        log << Log::EndLine;
    }
}

} // namespace Zarvo::Server
