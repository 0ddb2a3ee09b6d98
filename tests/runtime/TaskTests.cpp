#include "runtime/Handles.h"
#include "runtime/Task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace Zarvo::Tasks {
namespace {

constexpr DWORD kLimitMs = 20000; // far beyond any honest wait here; only a fault reaches it

struct Gate { // a manual-reset event
    UniqueEvent event{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    void Open() const { SetEvent(event.get()); }
    bool Wait(DWORD ms = kLimitMs) const { return WaitForSingleObject(event.get(), ms) == WAIT_OBJECT_0; }
};

// The message of what `call` raised as E, or "" when it returned.
template <class E = std::exception, class F> std::string Raised(F&& call) {
    try {
        call();
    } catch (const E& error) {
        return error.what();
    }
    return "";
}

// Waits for the gate, so what is attached meanwhile is queued by its completion, then `result`.
template <class F> auto Gated(const Gate& gate, F result) {
    return create_task([&gate, result] { return gate.Wait(), result(); });
}

TEST(Task, ChainRunsOnceInOrderOnPoolThreadsPassingEachValueOn) {
    const DWORD caller = GetCurrentThreadId();
    std::atomic<int> next{0};
    DWORD ranOn[6] = {};
    auto pass = [&](int step, auto value) {
        EXPECT_EQ(next++, step);
        ranOn[step] = GetCurrentThreadId();
        return value;
    };
    Gate gate;
    auto first = Gated(gate, [&] { return pass(0, 1); });
    auto last = first.then([&](int value) { return pass(1, value + 10); })
                    .then([&](int value) { return pass(2, std::to_string(value) + "!"); })
                    .then([&](const std::string& text) { EXPECT_EQ(pass(3, text), "11!"); })
                    .then([&, owned = std::make_unique<int>(42)] { return pass(4, *owned); }); // never copied
    auto sibling = first.then([](int value) { return -value; });
    EXPECT_FALSE(last.is_done());
    gate.Open();
    EXPECT_EQ(last.get(), 42);
    EXPECT_EQ(sibling.get(), -1);
    // A continuation of a task already done still goes to the pool, not inline.
    EXPECT_EQ(first.then([&](int value) { return pass(5, value * 3); }).get(), 3);
    EXPECT_EQ(next.load(), 6); // the first task ran once for both continuations
    for (DWORD thread : ranOn)
        EXPECT_NE(thread, caller);
}

TEST(Task, CancellationBeforeOrDuringAChainSkipsTheRestAndLeavesEveryTaskDone) {
    std::atomic<int> skippedRuns{0};
    auto skipped = [&](auto value) { return ++skippedRuns, value; };
    Gate gate;
    auto first = Gated(gate, []() -> int { cancel_current_task(); });
    auto third = first.then(skipped).then(skipped);
    gate.Open();
    EXPECT_EQ(third.wait(), task_status::canceled);
    EXPECT_THROW(first.get(), task_canceled);
    EXPECT_EQ(first.then(skipped).wait(), task_status::canceled); // attached late: never runs

    // A step waits on a token that a copy of its source cancels: what follows is cancelled. The
    // cancel must wake the waiter itself (one that only ran out its time would end 20 s late).
    cancellation_token_source source;
    const cancellation_token_source copy = source;
    const auto token = source.get_token();
    Gate waiting;
    auto afterwards = create_task([&, token]() -> int {
                          waiting.Open();
                          token.wait_for(kLimitMs);
                          cancel_current_task();
                      }).then(skipped);
    ASSERT_TRUE(waiting.Wait());
    EXPECT_FALSE(afterwards.is_done() || token.is_canceled());
    // The waitable form: one event for all tokens, set by the cancel, also when made after it.
    const HANDLE event = token.wait_handle();
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(source.get_token().wait_handle(), event);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    const ULONGLONG cancelledAt = GetTickCount64();
    copy.cancel();
    EXPECT_EQ(afterwards.wait(), task_status::canceled);
    EXPECT_LT(GetTickCount64() - cancelledAt, 5000u) << "the cancel did not wake the waiting step";
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(source.is_canceled() && source.get_token().is_canceled());
    EXPECT_FALSE(cancellation_token_source().get_token().wait_for(10)); // another source: runs out
    cancellation_token_source late;
    late.cancel();
    EXPECT_EQ(WaitForSingleObject(late.get_token().wait_handle(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(skippedRuns.load(), 0);
}

TEST(Task, KeptExceptionReachesTheEndOfALongChainUnchangedAndAnEmptyHandleRaisesInvalidOperation) {
    std::atomic<int> skippedRuns{0};
    auto skipped = [&](int value) { return ++skippedRuns, value; };
    Gate gate;
    auto failing = Gated(gate, []() -> int { throw std::runtime_error("first failed"); });
    // The failure walks the whole chain at once on one thread; recursion would exhaust its stack.
    auto last = failing;
    for (int i = 0; i < 50000; ++i)
        last = last.then(skipped);
    gate.Open();
    for (int attempt = 0; attempt < 2; ++attempt) // each wait raises it anew
        EXPECT_EQ(Raised([&] { last.wait(); }), "first failed");
    EXPECT_EQ(Raised([&] { failing.then(skipped).wait(); }), "first failed"); // attached late
    EXPECT_EQ(skippedRuns.load(), 0);

    // An empty handle says so, whatever is asked of it.
    task<void> none;
    const task<int> noValue;
    const std::function<void()> calls[] = {[&] { none.is_done(); }, [&] { none.wait(); }, [&] { none.get(); },
                                           [&] { none.then([] {}); }, [&] { noValue.get(); }};
    for (const auto& call : calls)
        EXPECT_EQ(Raised<invalid_operation>(call),
                  "This function cannot be called on a default constructed task");
}

TEST(Task, ManyChainsAttachedFromSeveralThreadsWhileTheirStartCompletesEndAsExpectedAndFreeAll) {
    ASSERT_TRUE(detail::WaitForNoLiveStates(kLimitMs)) << detail::LiveStateCount() << " states alive";
    constexpr int kThreads = 4, kPerThread = 250;
    auto probe = std::make_shared<int>(0);
    std::atomic<int> stepRuns{0};
    // Chain i's steps see i - 1, i, ...: chains i % 3 == 1 cancel at step 1, i % 3 == 2 fail at 2.
    auto step = [&](int at) {
        return [probe, &stepRuns, at](int value) {
            ++stepRuns;
            if (at == 1 && value % 3 == 1)
                cancel_current_task();
            if (at == 2 && value % 3 == 0)
                throw std::runtime_error("chain failed");
            return value + 1;
        };
    };
    Gate gate;
    auto start = Gated(gate, [] { return -1; });
    std::vector<task<int>> lasts(kThreads * kPerThread);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = t * kPerThread; i < (t + 1) * kPerThread; ++i) {
                auto first = start.then([i, s = step(0)](int base) { return s(base + i); });
                lasts[i] = first.then(step(1)).then(step(2)).then(step(3));
                if (i == kPerThread / 2) // attachment races with completion from here on
                    gate.Open();
            }
        });
    for (auto& thread : threads)
        thread.join();
    const std::string fates[] = {"", task_canceled().what(), "chain failed"};
    constexpr int kRunsByFate[] = {4, 2, 3};
    int expectedRuns = 0;
    for (int i = 0; i < static_cast<int>(lasts.size()); ++i) {
        EXPECT_EQ(Raised([&] { EXPECT_EQ(lasts[i].get(), i + 3); }), fates[i % 3]) << i;
        expectedRuns += kRunsByFate[i % 3];
    }
    EXPECT_EQ(stepRuns.load(), expectedRuns);
    EXPECT_EQ(probe.use_count(), 1); // functions go before their tasks are done
    lasts.clear();
    start = {};
    EXPECT_TRUE(detail::WaitForNoLiveStates(kLimitMs)) << detail::LiveStateCount() << " states still alive";
}

// The test DLL leaves work on the pool (mode 0 a detached task, mode 1 a chain nobody waits for;
// both end by throwing) and is let go of while it runs: it must stay until the work has ended.
TEST(ModuleReference, WorkLeftOnThePoolKeepsItsModuleLoadedUntilItEnds) {
    using StartHeldWork = BOOL (*)(int mode, HANDLE release, HANDLE running, HANDLE unloaded);
    for (int mode : {0, 1}) {
        SCOPED_TRACE(mode);
        Gate release, running, unloaded;
        HMODULE module = LoadLibraryW(L"runtime_held_module.dll"); // found beside the program
        ASSERT_NE(module, nullptr) << "LoadLibraryW failed: " << GetLastError();
        auto start =
            reinterpret_cast<StartHeldWork>(reinterpret_cast<void*>(GetProcAddress(module, "StartHeldWork")));
        ASSERT_TRUE(start && start(mode, release.event.get(), running.event.get(), unloaded.event.get()));
        ASSERT_TRUE(running.Wait());
        FreeLibrary(module);
        EXPECT_NE(GetModuleHandleW(L"runtime_held_module.dll"), nullptr) << "unloaded under running work";
        EXPECT_FALSE(unloaded.Wait(0));
        release.Open();
        EXPECT_TRUE(unloaded.Wait()) << "the work's module reference was never released";
    }
}

} // namespace
} // namespace Zarvo::Tasks
