#include "runtime/Handles.h"
#include "runtime/Task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace Zarvo::Tasks {
namespace {

constexpr DWORD kLimitMs = 20000; // far beyond any honest wait here; only a fault reaches it

UniqueEvent MakeEvent() { return UniqueEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)); }

bool Signaled(const UniqueEvent& event, DWORD milliseconds = kLimitMs) {
    return WaitForSingleObject(event.get(), milliseconds) == WAIT_OBJECT_0;
}

// Calls `call` and returns the invalid_operation message, or a note of what happened instead.
template <class Call>
std::string InvalidOperationMessage(Call&& call) {
    try {
        call();
    } catch (const invalid_operation& error) {
        return error.what();
    } catch (...) {
        return "<another exception>";
    }
    return "<no exception>";
}

// Steps of a chain append here with the thread they ran on.
class StepLog {
public:
    void Add(int step) {
        std::lock_guard lock(mMutex);
        mSteps.emplace_back(step, GetCurrentThreadId());
    }
    std::vector<std::pair<int, DWORD>> Steps() {
        std::lock_guard lock(mMutex);
        return mSteps;
    }

private:
    std::mutex mMutex;
    std::vector<std::pair<int, DWORD>> mSteps;
};

TEST(Task, ChainRunsInOrderOnPoolThreadsPassingEachValueOn) {
    const DWORD caller = GetCurrentThreadId();
    StepLog log;
    auto gate = MakeEvent();
    // The first task waits until the whole chain is attached, so the continuations are queued
    // by its completion rather than at attachment.
    auto first = create_task([&] {
        Signaled(gate);
        log.Add(0);
        return 1;
    });
    auto last = first
                    .then([&](int value) {
                        log.Add(1);
                        return value + 10;
                    })
                    .then([&](int value) {
                        log.Add(2);
                        return std::to_string(value) + "!";
                    })
                    .then([&](const std::string& text) {
                        log.Add(3);
                        EXPECT_EQ(text, "11!");
                    })
                    .then([&] {
                        log.Add(4);
                        return std::make_shared<int>(42);
                    });
    EXPECT_FALSE(last.is_done());
    SetEvent(gate.get());

    EXPECT_EQ(*last.get(), 42);
    EXPECT_EQ(last.wait(), task_status::completed);
    EXPECT_TRUE(first.is_done());
    EXPECT_EQ(first.get(), 1);
    const auto steps = log.Steps();
    ASSERT_EQ(steps.size(), 5u);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(steps[i].first, i);
        EXPECT_NE(steps[i].second, caller) << "step " << i << " ran on the caller's thread";
    }

    // A continuation of a task that is already done still goes to the pool, not inline.
    DWORD lateThread = caller;
    auto late = first.then([&](int value) {
        lateThread = GetCurrentThreadId();
        return value * 3;
    });
    EXPECT_EQ(late.get(), 3);
    EXPECT_NE(lateThread, caller);
}

TEST(Task, StartsAtOnceRunsOnceAndFeedsEveryContinuation) {
    std::atomic<int> runs{0};
    auto started = MakeEvent();
    auto shared = create_task([&] {
        ++runs;
        SetEvent(started.get());
        return 5;
    });
    // Nobody waits on the task: it must have started by itself.
    ASSERT_TRUE(Signaled(started));

    auto doubled = shared.then([](int value) { return value * 2; });
    auto negated = shared.then([](int value) { return -value; });
    EXPECT_EQ(doubled.get(), 10);
    EXPECT_EQ(negated.get(), -5);
    EXPECT_EQ(shared.get(), 5);
    EXPECT_EQ(shared.get(), 5);
    EXPECT_EQ(shared.wait(), task_status::completed);
    EXPECT_EQ(runs.load(), 1);

    // Move-only captures are fine: a task's function is never copied.
    auto owned = create_task([value = std::make_unique<int>(7)] { return *value; }).then([](int v) { return v + 1; });
    EXPECT_EQ(owned.get(), 8);

    task<void> nothing([] {});
    EXPECT_EQ(nothing.wait(), task_status::completed);
    nothing.get();
}

TEST(Task, CancelInFirstTaskSkipsEveryContinuationAndEndsAllDone) {
    std::atomic<int> continuationRuns{0};
    auto gate = MakeEvent();
    auto first = create_task([&]() -> int {
        Signaled(gate);
        cancel_current_task();
    });
    auto second = first.then([&](int value) {
        ++continuationRuns;
        return value;
    });
    auto third = second.then([&](int) { ++continuationRuns; });
    auto fourth = third.then([&] {
        ++continuationRuns;
        return 1;
    });
    SetEvent(gate.get());

    EXPECT_EQ(fourth.wait(), task_status::canceled);
    EXPECT_THROW(fourth.get(), task_canceled);
    EXPECT_EQ(first.wait(), task_status::canceled);
    EXPECT_THROW(first.get(), task_canceled);
    EXPECT_TRUE(first.is_done());
    EXPECT_TRUE(second.is_done());
    EXPECT_TRUE(third.is_done());
    EXPECT_TRUE(fourth.is_done());

    // Attached after the cancellation: cancelled at once, without running.
    auto late = first.then([&](int) { ++continuationRuns; });
    EXPECT_EQ(late.wait(), task_status::canceled);
    EXPECT_EQ(continuationRuns.load(), 0);
}

TEST(Task, TokenCancelledDuringChainCancelsTheRestButNotWhatCompleted) {
    cancellation_token_source source;
    const auto token = source.get_token();
    auto connected = MakeEvent();
    std::atomic<int> laterRuns{0};

    // Like a step that keeps trying to connect until told to give up.
    auto connect = create_task([&connected] {
        SetEvent(connected.get());
        return std::string("client");
    });
    auto waitForServer = connect.then([token](std::string client) {
        while (!token.wait_for(INFINITE)) {
        }
        cancel_current_task();
        return client;
    });
    auto afterwards = waitForServer.then([&](std::string) { ++laterRuns; });

    ASSERT_TRUE(Signaled(connected));
    EXPECT_EQ(connect.get(), "client");
    EXPECT_FALSE(afterwards.is_done());
    source.cancel();

    EXPECT_EQ(afterwards.wait(), task_status::canceled);
    EXPECT_EQ(waitForServer.wait(), task_status::canceled);
    EXPECT_EQ(connect.wait(), task_status::completed);
    EXPECT_EQ(laterRuns.load(), 0);
}

TEST(Task, KeptExceptionReachesTheLastContinuationUnchanged) {
    std::atomic<int> continuationRuns{0};
    auto gate = MakeEvent();
    auto failing = create_task([&]() -> int {
        Signaled(gate);
        throw std::runtime_error("first failed");
    });
    auto last = failing.then([&](int value) {
                           ++continuationRuns;
                           return value;
                       })
                    .then([&](int) { ++continuationRuns; });
    SetEvent(gate.get());

    // Each wait raises it anew.
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            last.wait();
            ADD_FAILURE() << "wait returned";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "first failed");
        }
    }
    EXPECT_TRUE(last.is_done());
    EXPECT_THROW(failing.get(), std::runtime_error);
    EXPECT_THROW(failing.then([](int) {}).wait(), std::runtime_error);

    // Raised in the middle: what came before stays completed.
    auto start = create_task([] { return 1; });
    auto middle = start.then([](int) -> int { throw std::out_of_range("middle failed"); });
    auto end = middle.then([&](int) { ++continuationRuns; });
    try {
        end.get();
        ADD_FAILURE() << "get returned";
    } catch (const std::out_of_range& error) {
        EXPECT_STREQ(error.what(), "middle failed");
    }
    EXPECT_EQ(start.wait(), task_status::completed);
    EXPECT_EQ(continuationRuns.load(), 0);
}

TEST(Task, EmptyHandleRaisesInvalidOperationWithItsMessage) {
    const std::string expected = "This function cannot be called on a default constructed task";
    task<void> none;
    task<int> noValue;
    EXPECT_EQ(InvalidOperationMessage([&] { none.is_done(); }), expected);
    EXPECT_EQ(InvalidOperationMessage([&] { none.wait(); }), expected);
    EXPECT_EQ(InvalidOperationMessage([&] { none.get(); }), expected);
    EXPECT_EQ(InvalidOperationMessage([&] { none.then([] {}); }), expected);
    EXPECT_EQ(InvalidOperationMessage([&] { noValue.is_done(); }), expected);
    EXPECT_EQ(InvalidOperationMessage([&] { noValue.wait(); }), expected);
    EXPECT_EQ(InvalidOperationMessage([&] { noValue.get(); }), expected);
    // Callers that only know the standard hierarchy still catch it.
    EXPECT_THROW(none.wait(), std::logic_error);

    // Assigning a real task makes the handle usable.
    none = create_task([] {});
    EXPECT_EQ(none.wait(), task_status::completed);
}

TEST(Task, ContinuationsAddedWhileTheTaskCompletesAllRunOnce) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 200;
    auto gate = MakeEvent();
    auto antecedent = create_task([&] {
        Signaled(gate);
        return 1;
    });
    std::atomic<int> runs{0};
    std::vector<std::vector<task<void>>> continuations(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                continuations[t].push_back(antecedent.then([&](int value) { runs += value; }));
                // Open the gate from one thread mid-way, so attachment races with completion.
                if (t == 0 && i == kPerThread / 2)
                    SetEvent(gate.get());
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (auto& list : continuations)
        for (auto& continuation : list)
            EXPECT_EQ(continuation.wait(), task_status::completed);
    EXPECT_EQ(runs.load(), kThreads * kPerThread);
}

TEST(Task, LongChainsCompleteAndCancelWithoutDeepRecursion) {
    auto sum = create_task([] { return 0; });
    for (int i = 1; i <= 2000; ++i)
        sum = sum.then([i](int value) { return value + i; });
    EXPECT_EQ(sum.get(), 2000 * 2001 / 2);

    // Cancelling walks the whole chain at once on one thread; recursion would exhaust its stack.
    auto gate = MakeEvent();
    auto failing = create_task([&]() -> int {
        Signaled(gate);
        throw std::runtime_error("long chain failed");
    });
    auto last = failing;
    for (int i = 0; i < 50000; ++i)
        last = last.then([](int value) { return value + 1; });
    SetEvent(gate.get());
    EXPECT_THROW(last.wait(), std::runtime_error);
}

TEST(Task, ThousandChainsEndAsExpectedAndFreeEverything) {
    // Whatever earlier tests left behind is let go of first.
    ASSERT_TRUE(detail::WaitForNoLiveStates(kLimitMs)) << detail::LiveStateCount() << " states alive";

    constexpr int kChains = 1000;
    auto probe = std::make_shared<int>(0);
    std::weak_ptr<int> watched = probe;
    std::atomic<int> stepRuns{0};
    std::vector<task<int>> lasts;
    lasts.reserve(kChains);
    for (int i = 0; i < kChains; ++i) {
        // Every chain's functions capture the probe; a third cancel, a third fail.
        auto first = create_task([i, probe, &stepRuns] {
            ++stepRuns;
            return i;
        });
        auto second = first.then([probe, &stepRuns](int value) {
            ++stepRuns;
            if (value % 3 == 1)
                cancel_current_task();
            return value + 1;
        });
        auto third = second.then([probe, &stepRuns](int value) {
            ++stepRuns;
            if (value % 3 == 0) // the chains with i % 3 == 2
                throw std::runtime_error("chain failed");
            return value + 1;
        });
        lasts.push_back(third.then([probe, &stepRuns](int value) {
            ++stepRuns;
            return value + 1;
        }));
    }

    int expectedRuns = 0;
    for (int i = 0; i < kChains; ++i) {
        switch (i % 3) {
        case 0:
            EXPECT_EQ(lasts[i].get(), i + 3);
            expectedRuns += 4;
            break;
        case 1:
            EXPECT_EQ(lasts[i].wait(), task_status::canceled);
            expectedRuns += 2;
            break;
        default:
            EXPECT_THROW(lasts[i].wait(), std::runtime_error);
            expectedRuns += 3;
            break;
        }
    }
    EXPECT_EQ(stepRuns.load(), expectedRuns);
    // Functions go before their tasks are done, so the captures are gone already.
    EXPECT_EQ(probe.use_count(), 1);

    lasts.clear();
    probe.reset();
    EXPECT_TRUE(watched.expired());
    EXPECT_TRUE(detail::WaitForNoLiveStates(kLimitMs)) << detail::LiveStateCount() << " states still alive";
}

TEST(CancellationToken, CancelReachesEverySourceCopyAndTokenOnceAndForGood) {
    cancellation_token_source source;
    const auto early = source.get_token();
    const auto copy = source;
    EXPECT_TRUE(early.is_cancelable());
    EXPECT_FALSE(early.is_canceled());
    EXPECT_FALSE(early.wait_for(0));
    EXPECT_FALSE(source.is_canceled());

    copy.cancel();
    EXPECT_TRUE(source.is_canceled());
    EXPECT_TRUE(early.is_canceled());
    EXPECT_TRUE(source.get_token().is_canceled());
    EXPECT_TRUE(early.wait_for(0));
    source.cancel();
    EXPECT_TRUE(early.is_canceled());

    // Another source is not touched.
    cancellation_token_source other;
    EXPECT_FALSE(other.get_token().is_canceled());

    const cancellation_token none = cancellation_token::none();
    const cancellation_token defaulted;
    EXPECT_FALSE(none.is_cancelable());
    EXPECT_FALSE(none.is_canceled());
    EXPECT_FALSE(defaulted.is_canceled());
    EXPECT_FALSE(defaulted.wait_for(1));
}

TEST(CancellationToken, WaitForWakesWhenAnotherThreadCancels) {
    cancellation_token_source source;
    const auto token = source.get_token();
    auto waiting = MakeEvent();
    auto waiter = create_task([&] {
        SetEvent(waiting.get());
        return token.wait_for(kLimitMs);
    });
    ASSERT_TRUE(Signaled(waiting));
    source.cancel();
    EXPECT_TRUE(waiter.get());
    // A wait that runs out without cancellation says so.
    cancellation_token_source idle;
    EXPECT_FALSE(idle.get_token().wait_for(10));
}

TEST(RunDetached, RunsAndSwallowsItsExceptions) {
    auto threw = MakeEvent();
    auto threwOther = MakeEvent();
    auto ranAfter = MakeEvent();
    EXPECT_TRUE(run_detached([&] {
        SetEvent(threw.get());
        throw std::runtime_error("nobody hears this");
    }));
    EXPECT_TRUE(run_detached([&] {
        SetEvent(threwOther.get());
        throw 42;
    }));
    // An exception that escaped would have ended the program by now or soon after.
    ASSERT_TRUE(Signaled(threw));
    ASSERT_TRUE(Signaled(threwOther));
    const DWORD caller = GetCurrentThreadId();
    std::atomic<DWORD> ranOn{caller};
    EXPECT_TRUE(run_detached([&] {
        ranOn = GetCurrentThreadId();
        SetEvent(ranAfter.get());
    }));
    ASSERT_TRUE(Signaled(ranAfter));
    EXPECT_NE(ranOn.load(), caller);
}

// ---- Module references ----

using StartHeldWorkFunction = BOOL (*)(int mode, HANDLE release, HANDLE running, HANDLE unloaded);

std::wstring HeldModulePath() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    folder.resize(folder.find_last_of(L"\\/") + 1);
    return folder + L"runtime_held_module.dll";
}

// Loads the test DLL, has it leave work on the pool, and lets go of it while the work runs:
// the DLL must stay until the work has ended and then unload.
void ExpectWorkHoldsItsModule(int mode) {
    auto release = MakeEvent();
    auto running = MakeEvent();
    auto unloaded = MakeEvent();
    HMODULE module = LoadLibraryW(HeldModulePath().c_str());
    ASSERT_NE(module, nullptr) << "LoadLibraryW failed: " << GetLastError();
    auto start = reinterpret_cast<StartHeldWorkFunction>(
        reinterpret_cast<void*>(GetProcAddress(module, "StartHeldWork")));
    ASSERT_NE(start, nullptr);
    ASSERT_TRUE(start(mode, release.get(), running.get(), unloaded.get()));
    ASSERT_TRUE(Signaled(running));

    FreeLibrary(module);
    EXPECT_NE(GetModuleHandleW(L"runtime_held_module.dll"), nullptr) << "unloaded under running work";
    EXPECT_FALSE(Signaled(unloaded, 0));

    SetEvent(release.get());
    EXPECT_TRUE(Signaled(unloaded)) << "the work's module reference was never released";
}

TEST(ModuleReference, DetachedTaskKeepsTheModuleLoadedUntilItEnds) { ExpectWorkHoldsItsModule(0); }

TEST(ModuleReference, ChainNobodyWaitsForKeepsTheModuleLoadedUntilItEnds) { ExpectWorkHoldsItsModule(1); }

} // namespace
} // namespace Zarvo::Tasks
