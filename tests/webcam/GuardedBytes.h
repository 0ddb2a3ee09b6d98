#pragma once
// Memory for kernel tests that catches reads past the end: `bytes` of read-write memory directly
// followed by a no-access page.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>

namespace Zarvo::Testing {

class GuardedBytes {
public:
    explicit GuardedBytes(std::size_t bytes) {
        const std::size_t page = 65536, span = (bytes + page - 1) / page * page; // a multiple of any page size
        DWORD old = 0;
        mBase = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, span + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        if (!mBase || !VirtualProtect(mBase + span, page, PAGE_NOACCESS, &old))
            throw std::runtime_error("guard page");
        data = mBase + span - bytes;
    }
    ~GuardedBytes() { VirtualFree(mBase, 0, MEM_RELEASE); }
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;
    std::uint8_t* data = nullptr;

private:
    std::uint8_t* mBase = nullptr;
};

} // namespace Zarvo::Testing
