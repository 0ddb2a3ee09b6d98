#include "server/PipeServer.h"

#include "log/Log.h"
#include "log/Text.h"

#include <cstring>

namespace Zarvo::Server {

namespace {

constexpr DWORD kPipeBufferBytes = 4096;
// Pause before a failed pipe instance is tried again, so a lasting failure cannot spin.
constexpr DWORD kRetryPauseMs = 100;

HANDLE CreateInstance(bool first, SECURITY_ATTRIBUTES* security) {
    DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
    if (first)
        openMode |= FILE_FLAG_FIRST_PIPE_INSTANCE; // a second server must not share the name
    return CreateNamedPipeW(IPC::kControlPipeName, openMode,
                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                            PIPE_UNLIMITED_INSTANCES, kPipeBufferBytes, kPipeBufferBytes, 0, security);
}

enum class Outcome { Done, Failed, Stopped };

// Waits for an overlapped operation or the stop event; a stop cancels the operation and
// waits until it is over, so its buffer and OVERLAPPED may go.
Outcome Finish(HANDLE handle, OVERLAPPED& overlapped, HANDLE stop, DWORD& bytes) {
    const HANDLE events[2] = {overlapped.hEvent, stop};
    if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
        CancelIoEx(handle, &overlapped);
        GetOverlappedResult(handle, &overlapped, &bytes, TRUE);
        return Outcome::Stopped;
    }
    return GetOverlappedResult(handle, &overlapped, &bytes, FALSE) ? Outcome::Done : Outcome::Failed;
}

Log ClientLog(const ClientState& client) {
    Log log = Log::Get(kServerLogName, "Client");
    log << "client " << client.id << ": ";
    return log;
}

} // namespace

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
        answer.is_camera_live = client.cameraStarted && camera.IsLive() ? 1 : 0;
        break;
    }
    default:
        ClientLog(client) << "unknown command " << command << ": answering zeros" << Log::EndLine;
        break;
    }
    return answer;
}

PipeServer::PipeServer(Camera& camera, SECURITY_ATTRIBUTES* security, std::uint64_t stallFrameRequest)
    : mCamera(camera), mSecurity(security), mStallFrameRequest(stallFrameRequest) {}

PipeServer::~PipeServer() { Stop(); }

bool PipeServer::Start() {
    mStop.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    mListening.reset(CreateInstance(true, mSecurity));
    if (!mStop || !mListening) {
        const DWORD error = GetLastError();
        Log log = Log::Get(kServerLogName, "PipeServer");
        log << LogLevel::Error << "ERROR: CreateNamedPipe failed " << static_cast<std::uint32_t>(error)
            << (error == ERROR_ACCESS_DENIED ? " (another server owns the pipe)" : "") << Log::EndLine;
        return false;
    }
    mAcceptor = std::thread([this] { AcceptLoop(); });
    return true;
}

void PipeServer::Stop() {
    if (mStop)
        SetEvent(mStop.get());
    if (mAcceptor.joinable())
        mAcceptor.join();
    std::list<std::unique_ptr<Session>> sessions;
    {
        std::lock_guard lock(mSessionsMutex);
        sessions.swap(mSessions);
    }
    for (auto& session : sessions) {
        if (session->thread.joinable())
            session->thread.join();
    }
    mListening.reset();
}

void PipeServer::ReapFinished() {
    std::list<std::unique_ptr<Session>> finished;
    {
        std::lock_guard lock(mSessionsMutex);
        for (auto it = mSessions.begin(); it != mSessions.end();) {
            if ((*it)->finished.load()) {
                auto next = std::next(it);
                finished.splice(finished.end(), mSessions, it);
                it = next;
            } else {
                ++it;
            }
        }
    }
    for (auto& session : finished)
        session->thread.join();
}

void PipeServer::AcceptLoop() {
    UniqueEvent connected(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!connected)
        return;
    for (;;) {
        if (!mListening) {
            if (WaitForSingleObject(mStop.get(), kRetryPauseMs) == WAIT_OBJECT_0)
                return;
            mListening.reset(CreateInstance(false, mSecurity));
            continue;
        }
        OVERLAPPED overlapped{};
        overlapped.hEvent = connected.get();
        bool haveClient = false;
        if (ConnectNamedPipe(mListening.get(), &overlapped)) {
            haveClient = true;
        } else {
            const DWORD error = GetLastError();
            if (error == ERROR_PIPE_CONNECTED) {
                haveClient = true;
            } else if (error == ERROR_IO_PENDING) {
                DWORD ignored = 0;
                const Outcome outcome = Finish(mListening.get(), overlapped, mStop.get(), ignored);
                if (outcome == Outcome::Stopped)
                    return;
                haveClient = outcome == Outcome::Done;
            }
        }
        if (!haveClient) {
            // A client that came and went already, or a broken instance: start it afresh.
            DisconnectNamedPipe(mListening.get());
            if (WaitForSingleObject(mStop.get(), 0) == WAIT_OBJECT_0)
                return;
            continue;
        }

        auto session = std::make_unique<Session>();
        session->pipe = std::move(mListening);
        session->state.id = mNextClientId++;
        Session& started = *session;
        {
            std::lock_guard lock(mSessionsMutex);
            mSessions.push_back(std::move(session));
        }
        started.thread = std::thread([this, &started] { Serve(started); });
        mListening.reset(CreateInstance(false, mSecurity));
        ReapFinished();
    }
}

void PipeServer::Serve(Session& session) {
    ClientLog(session.state) << "connected" << Log::EndLine;
    UniqueEvent io(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const HANDLE pipe = session.pipe.get();
    bool open = static_cast<bool>(io);
    while (open) {
        // A request may arrive in pieces; only a whole one is answered.
        std::uint8_t request[4];
        DWORD have = 0;
        while (open && have < sizeof(request)) {
            OVERLAPPED overlapped{};
            overlapped.hEvent = io.get();
            DWORD bytes = 0;
            if (!ReadFile(pipe, request + have, sizeof(request) - have, nullptr, &overlapped) &&
                GetLastError() != ERROR_IO_PENDING) {
                open = false;
                break;
            }
            open = Finish(pipe, overlapped, mStop.get(), bytes) == Outcome::Done;
            have += bytes;
        }
        if (!open)
            break;

        std::uint32_t command = 0;
        std::memcpy(&command, request, sizeof(command));
        if (command == static_cast<std::uint32_t>(IPC::Command::FrameTick) &&
            ++mFrameRequests == mStallFrameRequest) {
            ClientLog(session.state) << "per-frame request " << mStallFrameRequest << " left unanswered"
                                     << Log::EndLine;
            // Whatever else comes is read and dropped until the client leaves.
            while (open) {
                OVERLAPPED overlapped{};
                overlapped.hEvent = io.get();
                DWORD bytes = 0;
                if (!ReadFile(pipe, request, sizeof(request), nullptr, &overlapped) &&
                    GetLastError() != ERROR_IO_PENDING)
                    break;
                open = Finish(pipe, overlapped, mStop.get(), bytes) == Outcome::Done;
            }
            break;
        }
        const IPC::Status answer = Answer(command, session.state, mCamera);

        // The whole answer in one write, so the client's single read gets all of it.
        OVERLAPPED overlapped{};
        overlapped.hEvent = io.get();
        DWORD written = 0;
        if (!WriteFile(pipe, &answer, sizeof(answer), nullptr, &overlapped) && GetLastError() != ERROR_IO_PENDING)
            break;
        open = Finish(pipe, overlapped, mStop.get(), written) == Outcome::Done && written == sizeof(answer);
    }

    if (session.state.cameraStarted) {
        session.state.cameraStarted = false;
        mCamera.Release();
    }
    DisconnectNamedPipe(pipe);
    session.pipe.reset();
    ClientLog(session.state) << "disconnected: per-frame requests, " << session.state.frameRequests << Log::EndLine;
    session.finished = true;
}

} // namespace Zarvo::Server
