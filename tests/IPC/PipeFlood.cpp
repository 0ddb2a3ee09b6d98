// A misbehaving neighbour of the camera for the flood test: for a few seconds it keeps `idle`
// connections to the control pipe that never send anything and `garbage` connections that send
// unknown commands and pieces of requests, reconnecting whenever the server drops one.
//
// Like any client that was turned away, each tries again after a pause of its own.
//
//   pipe_flood <idle> <garbage> <milliseconds>
// Prints "connections <n> drops <n> answers <n>" and exits 0.

#include "IPC/Status.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// One connection's operations. Freed only once they are over: the platform may complete an
// operation on a pipe the server has broken late or never, so a busy one is left behind.
struct Io {
    Io() : readDone(CreateEventW(nullptr, TRUE, FALSE, nullptr)), writeDone(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Io() {
        CloseHandle(readDone);
        CloseHandle(writeDone);
    }
    bool Idle() const {
        return WaitForSingleObject(readDone, 0) == WAIT_OBJECT_0 &&
               (!writing || WaitForSingleObject(writeDone, 0) == WAIT_OBJECT_0);
    }
    HANDLE readDone;
    OVERLAPPED read{};
    unsigned char buffer[64];
    HANDLE writeDone;
    OVERLAPPED write{};
    unsigned char request[4];
    bool writing = false;
};

struct Connection {
    bool garbage = false;
    HANDLE pipe = INVALID_HANDLE_VALUE;
    Io* io = nullptr;
    ULONGLONG retryAt = 0; // a connection that failed or was dropped tries again after a pause
};

constexpr ULONGLONG kRetryPauseMs = 200;

void Disconnect(Connection& c) {
    CancelIoEx(c.pipe, nullptr);
    CloseHandle(c.pipe);
    c.pipe = INVALID_HANDLE_VALUE;
    if (c.io->Idle())
        delete c.io;
    c.io = nullptr;
}

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
    const int idle = std::atoi(argv[1]);
    const int garbage = std::atoi(argv[2]);
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(std::atoi(argv[3]));
    std::vector<Connection> connections(static_cast<std::size_t>(idle + garbage));
    for (std::size_t i = 0; i < connections.size(); ++i) {
        // Spread out, so both kinds get their turns at the pipe.
        connections[i].garbage = i * static_cast<std::size_t>(garbage) / connections.size() !=
                                 (i + 1) * static_cast<std::size_t>(garbage) / connections.size();
    }
    unsigned long long made = 0, drops = 0, answers = 0, round = 0;
    while (GetTickCount64() < end) {
        ++round;
        for (Connection& c : connections) {
            if (c.pipe == INVALID_HANDLE_VALUE) {
                if (GetTickCount64() < c.retryAt)
                    continue;
                c.retryAt = GetTickCount64() + kRetryPauseMs;
                c.pipe = CreateFileW(Zarvo::IPC::kControlPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
                if (c.pipe == INVALID_HANDLE_VALUE)
                    continue; // busy: next round
                ++made;
                c.io = new Io;
                if (!StartRead(c)) {
                    Disconnect(c);
                    ++drops;
                    continue;
                }
            }
            if (WaitForSingleObject(c.io->readDone, 0) == WAIT_OBJECT_0) {
                DWORD bytes = 0;
                if (!GetOverlappedResult(c.pipe, &c.io->read, &bytes, FALSE) || !StartRead(c)) {
                    Disconnect(c);
                    ++drops;
                    continue;
                }
                answers += bytes / sizeof(Zarvo::IPC::Status);
            }
            Io& io = *c.io;
            if (c.garbage && (!io.writing || WaitForSingleObject(io.writeDone, 0) == WAIT_OBJECT_0)) {
                // Unknown commands (never 1 to 4) whole, or a piece of one.
                std::uint32_t command = 5u + static_cast<std::uint32_t>(std::rand()) * 7919u;
                if (command >= 1 && command <= 4)
                    command = 0xDEAD;
                std::memcpy(io.request, &command, sizeof(command));
                const DWORD size = round % 4 == 0 ? 1 + static_cast<DWORD>(round / 4 % 3) : 4;
                io.write = {};
                io.write.hEvent = io.writeDone;
                io.writing = WriteFile(c.pipe, io.request, size, nullptr, &io.write) || GetLastError() == ERROR_IO_PENDING;
            }
        }
        Sleep(1);
    }

    for (Connection& c : connections) {
        if (c.pipe != INVALID_HANDLE_VALUE)
            Disconnect(c);
    }
    std::printf("connections %llu drops %llu answers %llu\n", made, drops, answers);
    return 0;
}
