#pragma once
// Owning wrappers for kernel handles. The type says which value means "no handle":
// null for events, threads, semaphores and processes; INVALID_HANDLE_VALUE for files and pipes.

#include <windows.h>

#include <utility>

namespace Zarvo {

struct NullHandleTraits {
    static HANDLE Invalid() noexcept { return nullptr; }
};

struct FileHandleTraits {
    static HANDLE Invalid() noexcept { return INVALID_HANDLE_VALUE; }
};

template <class Traits>
class UniqueHandle {
public:
    UniqueHandle() noexcept = default;
    explicit UniqueHandle(HANDLE handle) noexcept : mHandle(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : mHandle(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    HANDLE get() const noexcept { return mHandle; }
    explicit operator bool() const noexcept { return mHandle != Traits::Invalid() && mHandle != nullptr; }

    void reset(HANDLE handle = Traits::Invalid()) noexcept {
        if (*this)
            CloseHandle(mHandle);
        mHandle = handle;
    }

    [[nodiscard]] HANDLE release() noexcept { return std::exchange(mHandle, Traits::Invalid()); }

private:
    HANDLE mHandle = Traits::Invalid();
};

// Events, semaphores, threads, processes, mutexes.
using UniqueHandleNull = UniqueHandle<NullHandleTraits>;
using UniqueEvent = UniqueHandle<NullHandleTraits>;
// Files and pipes.
using UniqueFile = UniqueHandle<FileHandleTraits>;

} // namespace Zarvo
