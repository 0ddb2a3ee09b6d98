// A misbehaving neighbour of the camera for the flood test: for a few seconds it keeps `idle`
// connections to the control pipe that never send anything and `garbage` connections that send
// unknown commands and pieces of requests, reconnecting (after a pause, as any client turned away
// would) whenever the server drops one.
//   pipe_flood <idle> <garbage> <milliseconds>
// Prints "connections <n> drops <n> answers <n>" and exits 0.
#include "IPC/Status.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// One connection's operations. The platform may complete an operation on a pipe the server has
// broken late or never, so a closed connection's are never freed (this program lives seconds).
struct Io {
    HANDLE readDone = CreateEventW(nullptr, TRUE, FALSE, nullptr),
           writeDone = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    OVERLAPPED read{}, write{};
    unsigned char buffer[64], request[4];
};

struct Connection {
    bool garbage = false;
    HANDLE pipe = INVALID_HANDLE_VALUE;
    std::unique_ptr<Io> io;
    ULONGLONG retryAt = 0;
};

bool StartRead(Connection& c) {
    c.io->read = {};
    c.io->read.hEvent = c.io->readDone;
    return ReadFile(c.pipe, c.io->buffer, sizeof(c.io->buffer), nullptr, &c.io->read) ||
           GetLastError() == ERROR_IO_PENDING;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4)
        return 2;
    const std::size_t idle = std::strtoul(argv[1], nullptr, 10), garbage = std::strtoul(argv[2], nullptr, 10);
    const ULONGLONG end = GetTickCount64() + std::strtoull(argv[3], nullptr, 10);
    std::vector<Connection> connections(idle + garbage);
    for (std::size_t i = 0; i < connections.size();
         ++i) // spread out, so both kinds get their turns at the pipe
        connections[i].garbage = i * garbage / connections.size() != (i + 1) * garbage / connections.size();
    const auto drop = [](Connection& c) {
        CancelIoEx(c.pipe, nullptr);
        CloseHandle(c.pipe);
        c.pipe = INVALID_HANDLE_VALUE;
        c.io.release(); // see Io
    };
    unsigned long long made = 0, drops = 0, answers = 0, round = 0;
    for (; GetTickCount64() < end; Sleep(1), ++round) {
        for (Connection& c : connections) {
            if (c.pipe == INVALID_HANDLE_VALUE) {
                if (GetTickCount64() < c.retryAt)
                    continue;
                c.retryAt = GetTickCount64() + 200;
                c.pipe = CreateFileW(Zarvo::IPC::kControlPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
                if (c.pipe == INVALID_HANDLE_VALUE)
                    continue; // busy: next round
                ++made;
                c.io = std::make_unique<Io>();
                if (!StartRead(c)) {
                    drop(c), ++drops;
                    continue;
                }
            }
            Io& io = *c.io;
            DWORD bytes = 0;
            if (WaitForSingleObject(io.readDone, 0) == WAIT_OBJECT_0) {
                if (!GetOverlappedResult(c.pipe, &io.read, &bytes, FALSE) || !StartRead(c)) {
                    drop(c), ++drops;
                    continue;
                }
                answers += bytes / sizeof(Zarvo::IPC::Status);
            }
            if (c.garbage && WaitForSingleObject(io.writeDone, 0) == WAIT_OBJECT_0) {
                // Unknown commands (never 1 to 4) whole, or a piece of one.
                std::uint32_t command = 5u + static_cast<std::uint32_t>(std::rand()) * 7919u;
                command = command >= 1 && command <= 4 ? 0xDEAD : command;
                std::memcpy(io.request, &command, sizeof(command));
                io.write = {};
                io.write.hEvent = io.writeDone;
                if (!WriteFile(c.pipe, io.request, round % 4 == 0 ? 1 + DWORD(round / 4 % 3) : 4, nullptr,
                               &io.write) &&
                    GetLastError() != ERROR_IO_PENDING)
                    SetEvent(io.writeDone); // failed at once: free to try again
            }
        }
    }
    for (Connection& c : connections)
        if (c.pipe != INVALID_HANDLE_VALUE)
            drop(c);
    std::printf("connections %llu drops %llu answers %llu\n", made, drops, answers);
    return 0;
}
