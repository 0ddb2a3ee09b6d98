#pragma once
// Running out of memory on purpose. Included by exactly one file of a test program, it replaces the
// program's operator new. While a FailingAllocation is armed, the allocations it counts (the arming
// thread's, or with otherThreads every other thread's) go down a countdown: the n-th calls the hook
// and raises std::bad_alloc, and with onward so does every counted one after it. One seam is armed at
// a time. The hook runs uncounted, so it may allocate; it may also wait for what the test wants to
// have happened before the failure.
#include <atomic>
#include <cstdlib>
#include <new>

namespace Zarvo::Testing {

struct FailureRule {
    long nth = 1;
    bool onward = false;
    bool otherThreads = false;
    void (*hook)(void*) = nullptr;
    void* context = nullptr;
};

namespace detail {
// Plain values only: a thread's first allocation may come before anything else of it is set up.
enum Counting : int { kOff, kArmingThread, kOtherThreads };
inline std::atomic<int> gCounting{kOff};
inline std::atomic<long> gCountdown{0}, gAllocations{0};
inline std::atomic<bool> gFailed{false}, gOnward{false};
inline std::atomic<void (*)(void*)> gHook{nullptr};
inline std::atomic<void*> gHookContext{nullptr};
inline thread_local bool tArming = false, tInHook = false;
} // namespace detail

class FailingAllocation {
public:
    explicit FailingAllocation(long nth, void (*hook)(void*) = nullptr, void* context = nullptr) noexcept
        : FailingAllocation(FailureRule{.nth = nth, .hook = hook, .context = context}) {}
    explicit FailingAllocation(const FailureRule& rule) noexcept
        : mCounting(rule.otherThreads ? detail::kOtherThreads : detail::kArmingThread) {
        using namespace detail;
        gCounting = kOff;
        gOnward = rule.onward, gHook = rule.hook, gHookContext = rule.context;
        gCountdown = rule.nth, gAllocations = 0, gFailed = false, tArming = true;
        gCounting = mCounting;
    }
    ~FailingAllocation() { Disarm(); }
    FailingAllocation(const FailingAllocation&) = delete;
    FailingAllocation& operator=(const FailingAllocation&) = delete;

    // Counting stops and goes on where it was (for the test's own allocations between calls).
    void Pause() noexcept { detail::gCounting = detail::kOff; }
    void Resume() noexcept { detail::gCounting = mCounting; }
    long Allocations() const noexcept { return detail::gAllocations; }
    // Ends the arming early; true when the failure came.
    bool Disarm() noexcept {
        detail::gCounting = detail::kOff;
        detail::tArming = false;
        return detail::gFailed;
    }

private:
    const int mCounting;
};

} // namespace Zarvo::Testing

// GCC pairs its own idea of operator new with the free below when it inlines a delete.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
    using namespace Zarvo::Testing::detail;
    const int counting = gCounting;
    if (counting != kOff && !tInHook && (counting == kArmingThread) == tArming) {
        ++gAllocations;
        const long left = --gCountdown;
        if (left == 0 || (left < 0 && gOnward)) {
            gFailed = true;
            if (const auto hook = gHook.load()) {
                tInHook = true;
                hook(gHookContext);
                tInHook = false;
            }
            throw std::bad_alloc();
        }
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
