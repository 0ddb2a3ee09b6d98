#pragma once
// Serves the control pipe: one instance per client, each on its own thread, and always one
// more instance waiting for the next client.

#include "IPC/Status.h"
#include "runtime/Handles.h"
#include "server/Camera.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace Zarvo::Server {

// What one client has asked for so far.
struct ClientState {
    std::uint64_t id = 0;
    bool cameraStarted = false;
    std::uint64_t lastFrameAsked = 0;
    std::uint64_t frameRequests = 0; // per-frame requests answered, logged at the disconnect
};

// The answer to one command. Unknown commands get zeros.
IPC::Status Answer(std::uint32_t command, ClientState& client, Camera& camera);

class PipeServer {
public:
    // `stallFrameRequest` (0: none) is the per-frame request, counted over all clients, that is
    // never answered: its connection stays open and unanswered until the client leaves.
    // Every pipe instance is made with `security` (kept; null: the default).
    PipeServer(Camera& camera, SECURITY_ATTRIBUTES* security, std::uint64_t stallFrameRequest = 0);
    ~PipeServer();
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;

    // Creates the first pipe instance and starts accepting. False when another server owns
    // the pipe name or the pipe cannot be created.
    bool Start();
    // Stops accepting, ends every client's session and waits for their threads.
    void Stop();

private:
    struct Session {
        UniqueFile pipe;
        ClientState state;
        std::thread thread;
        std::atomic<bool> finished{false};
    };

    void AcceptLoop();
    void Serve(Session& session);
    void ReapFinished();

    Camera& mCamera;
    SECURITY_ATTRIBUTES* const mSecurity;
    const std::uint64_t mStallFrameRequest;
    std::atomic<std::uint64_t> mFrameRequests{0}; // per-frame requests received, all clients
    UniqueEvent mStop;      // manual reset; set by Stop
    UniqueFile mListening;  // the instance waiting for the next client
    std::thread mAcceptor;
    std::mutex mSessionsMutex;
    std::list<std::unique_ptr<Session>> mSessions; // guarded by mSessionsMutex
    std::uint64_t mNextClientId = 1;
};

} // namespace Zarvo::Server
