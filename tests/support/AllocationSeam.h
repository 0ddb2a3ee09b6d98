#pragma once
// Running out of memory on purpose. Included by exactly one file of a test program, it replaces the
// program's operator new: while a FailingAllocation is armed on a thread, that thread's n-th
// allocation calls the armed hook and then raises std::bad_alloc. Every other thread, and the thread
// once disarmed, allocates as usual. The hook runs disarmed, so it may allocate; it may also wait for
// what the test wants to have happened before the failure.
#include <cstdlib>
#include <new>

namespace Zarvo::Testing {

namespace detail {
// Plain values only: a thread's first allocation may come before anything else of it is set up.
inline thread_local long tCountdown = 0; // 0: disarmed
inline thread_local bool tFailed = false;
inline thread_local void (*tHook)(void*) = nullptr;
inline thread_local void* tHookContext = nullptr;
} // namespace detail

// Arms the calling thread for the life of the object.
class FailingAllocation {
public:
    explicit FailingAllocation(long nth, void (*hook)(void*) = nullptr, void* context = nullptr) noexcept {
        detail::tFailed = false;
        detail::tHook = hook;
        detail::tHookContext = context;
        detail::tCountdown = nth;
    }
    ~FailingAllocation() { Disarm(); }
    FailingAllocation(const FailingAllocation&) = delete;
    FailingAllocation& operator=(const FailingAllocation&) = delete;

    // Ends the arming early; true when the failure came.
    bool Disarm() noexcept {
        detail::tCountdown = 0;
        return detail::tFailed;
    }
};

} // namespace Zarvo::Testing

// GCC pairs its own idea of operator new with the free below when it inlines a delete.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
    using namespace Zarvo::Testing::detail;
    if (tCountdown > 0 && --tCountdown == 0) {
        tFailed = true;
        if (tHook)
            tHook(tHookContext);
        throw std::bad_alloc();
    }
    if (void* block = std::malloc(size ? size : 1))
        return block;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
