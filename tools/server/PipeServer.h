#pragma once
// Serves the control pipe to any number of local processes without letting them exhaust it: all
// connections run on one thread through a completion port (no thread per client), at most
// kMaxClients at once (one more is disconnected at once), a connection that sends no known
// command soon after it connected is dropped, one client process holds at most a few such
// connections, and lines about misbehaving clients are rate-limited.

#include "IPC/Status.h"
#include "runtime/Handles.h"
#include "server/Camera.h"

#include <windows.h>

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

// The answer to one command. Unknown commands get zeros. The per-frame answer carries in its
// otherwise unused shared_texture field the client's id (high half) and the number of its
// per-frame request (low half), so tests can tell the answers of clients apart.
IPC::Status Answer(std::uint32_t command, ClientState& client, Camera& camera);

// Logs at most `lines` lines per `windowMs`; the first line after a window with dropped lines
// says how many were dropped. Thread-safe.
class LogLimiter {
public:
    LogLimiter(unsigned lines, std::uint64_t windowMs) : mLines(lines), mWindowMs(windowMs) {}
    // True when a line may be written now; `dropped` is set to the lines dropped before it.
    bool Admit(std::uint64_t nowMs, std::uint64_t& dropped) noexcept;

private:
    const unsigned mLines;
    const std::uint64_t mWindowMs;
    std::mutex mMutex; // guards the three below
    std::uint64_t mWindowStart = 0;
    unsigned mCount = 0;
    std::uint64_t mDropped = 0;
};

class PipeServer {
public:
    static constexpr unsigned kMaxClients = 32;
    // Connections of one process that have not yet sent a known command.
    static constexpr unsigned kMaxUnprovenPerProcess = 8;
    // Time a new connection has to send its first known command.
    static constexpr DWORD kFirstRequestMs = 2000;
    // Pauses before a failed pipe instance is made again: short at first, longer when it keeps failing.
    static constexpr DWORD kRetryPauseMs = 50;
    static constexpr DWORD kLongRetryPauseMs = 1000;

    // Every pipe instance is made with `security` (kept; null: the default). `stallFrameRequest`
    // (0: none) is the per-frame request, counted over all clients, that is never answered: its
    // connection stays open and unanswered until the client leaves. `textureHandle` (0: none) is
    // answered for the texture where none can be shared, for cameras on a device double.
    PipeServer(Camera& camera, SECURITY_ATTRIBUTES* security, std::uint64_t stallFrameRequest = 0,
               std::uint64_t textureHandle = 0);
    ~PipeServer();
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;

    // Creates the first pipe instance and starts serving. False when another server owns the
    // pipe name or the pipe cannot be created.
    bool Start();
    // Stops accepting, ends every client's session and waits for the serving thread.
    void Stop();

private:
    struct Connection;

    void Run();
    // Makes and arms the instance that waits for the next client, unless one is armed or a
    // pause after failures is running.
    void Listen();
    void OnConnected(Connection& connection);
    void OnCompleted(Connection& connection, bool ok, DWORD bytes);
    void StartRead(Connection& connection);
    void HandleRequest(Connection& connection);
    // Ends a connection: cancels its operation and frees it once that has completed.
    void Close(Connection& connection, const char* why);
    void Free(Connection& connection);
    void DropLateClients(std::uint64_t nowMs);
    DWORD NextWakeMs(std::uint64_t nowMs) const;
    void Failed(const char* what, DWORD error);

    Camera& mCamera;
    SECURITY_ATTRIBUTES* const mSecurity;
    const std::uint64_t mStallFrameRequest;
    const std::uint64_t mTextureHandle;
    UniqueHandleNull mPort;
    std::thread mThread;

    // Touched by the serving thread only.
    std::list<std::unique_ptr<Connection>> mConnections; // clients and the listening instance
    Connection* mListening = nullptr;
    unsigned mClients = 0;
    std::uint64_t mNextClientId = 1;
    std::uint64_t mFrameRequests = 0; // per-frame requests received, all clients
    unsigned mFailures = 0;           // pipe failures in a row
    std::uint64_t mRetryAtMs = 0;     // no new instance before this time after a failure
    bool mStopping = false;
    LogLimiter mRefusedLog{10, 10000};
    LogLimiter mDroppedLog{10, 10000};
    LogLimiter mFailureLog{10, 10000};
};

} // namespace Zarvo::Server
