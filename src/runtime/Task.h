#pragma once
// Tasks on the system thread pool: a task runs its function once on a pool thread, value
// continuations run after it on pool threads, and cancellation flows down a chain. Every pool
// callback holds a reference on the module that queued it, so a DLL cannot be unloaded under
// a task that is still queued, running, or just returning.

#include <windows.h>

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

namespace Zarvo::Tasks {

enum class task_status { not_complete, completed, canceled };

// Raised by cancel_current_task; a task whose function lets it out ends cancelled, keeping nothing.
class task_canceled : public std::exception {
public:
    const char* what() const noexcept override { return "The task was canceled"; }
};

// A task operation was called on a handle that has no task.
class invalid_operation : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// Ends the calling task cancelled: its continuations are cancelled without running.
[[noreturn]] void cancel_current_task();

namespace detail {
class CancellationState;
}

// Polled by long-running work to learn that it should give up. The default token is the
// "none" token, which is never cancelled.
class cancellation_token {
public:
    cancellation_token() noexcept = default;
    static cancellation_token none() noexcept { return cancellation_token(); }

    bool is_cancelable() const noexcept { return mState != nullptr; }
    bool is_canceled() const noexcept;
    // Waits up to `milliseconds` (INFINITE allowed) for cancellation: true once cancelled,
    // false when the time ran out. The none token simply waits out the time.
    bool wait_for(DWORD milliseconds) const noexcept;
    // A manual-reset event set once the token is cancelled, for waiting on it together with
    // other objects. It lives as long as any token or source of this cancellation. Null for
    // the none token, and when the platform could not make an event (then poll is_canceled).
    HANDLE wait_handle() const noexcept;

private:
    friend class cancellation_token_source;
    explicit cancellation_token(std::shared_ptr<detail::CancellationState> state) noexcept
        : mState(std::move(state)) {}

    std::shared_ptr<detail::CancellationState> mState;
};

// Copies share one cancellation: cancelling any of them cancels them all and every token.
class cancellation_token_source {
public:
    cancellation_token_source();

    cancellation_token get_token() const noexcept { return cancellation_token(mState); }
    // Once and for good; later calls change nothing.
    void cancel() const noexcept;
    bool is_canceled() const noexcept;

private:
    std::shared_ptr<detail::CancellationState> mState;
};

namespace detail {

[[noreturn]] void ThrowDefaultConstructed();

// One callback's worth of work for the pool. Run must not throw.
class PoolWork {
public:
    virtual ~PoolWork() = default;
    virtual void Run() noexcept = 0;

    // The module reference this work holds while queued and running; set by Submit.
    HMODULE mHeldModule = nullptr;
};

// Queues the work on the process's default pool, holding a reference on this module until the
// callback has returned. Null on success; otherwise the reason, and the work has been destroyed.
std::exception_ptr Submit(std::unique_ptr<PoolWork> work) noexcept;

class StateBase;

// A value continuation, kept by its antecedent until that is done.
class ContinuationBase : public PoolWork {
public:
    explicit ContinuationBase(std::shared_ptr<StateBase> target) noexcept : mTarget(std::move(target)) {}

    std::shared_ptr<StateBase> mTarget;
    // Set when the antecedent completed and queued this continuation.
    std::shared_ptr<StateBase> mAntecedent;
};

// What a task and its handles share. Once done, the status, the kept exception and the value
// (of the derived State) never change again, so they are read without the lock afterwards.
class StateBase : public std::enable_shared_from_this<StateBase> {
public:
    StateBase() noexcept;
    virtual ~StateBase();
    StateBase(const StateBase&) = delete;
    StateBase& operator=(const StateBase&) = delete;

    bool IsDone() const noexcept;
    // Blocks until done; rethrows the kept exception.
    task_status Wait() const;
    // Queues the continuation now when this task has completed, cancels its target when this
    // task was cancelled, otherwise keeps it for later.
    void AddContinuation(std::unique_ptr<ContinuationBase> continuation);

    // The value (if any) is stored before this is called.
    void Complete() noexcept;
    // Null error: plain cancellation.
    void Cancel(std::exception_ptr error) noexcept;

private:
    std::vector<std::unique_ptr<ContinuationBase>> Finish(task_status status, std::exception_ptr error) noexcept;
    void Schedule(std::unique_ptr<ContinuationBase> continuation) noexcept;
    static void CancelTargets(std::vector<std::unique_ptr<ContinuationBase>> continuations,
                              const std::exception_ptr& error) noexcept;

    mutable SRWLOCK mLock = SRWLOCK_INIT;
    mutable CONDITION_VARIABLE mDone = CONDITION_VARIABLE_INIT;
    task_status mStatus = task_status::not_complete;                // guarded by mLock
    std::exception_ptr mError;                                      // guarded by mLock
    std::vector<std::unique_ptr<ContinuationBase>> mContinuations; // guarded by mLock
};

template <class T>
class State final : public StateBase {
public:
    std::optional<T> mValue;
};

template <>
class State<void> final : public StateBase {};

// Task states alive in this module; for leak checks.
long LiveStateCount() noexcept;
// Waits until no task state is alive; false when the time ran out first.
bool WaitForNoLiveStates(DWORD milliseconds) noexcept;

template <class F>
using StartResult = std::remove_cvref_t<std::invoke_result_t<F&>>;

template <class T, class F>
struct ThenResultOf {
    using type = std::remove_cvref_t<std::invoke_result_t<F&, T>>;
};
template <class F>
struct ThenResultOf<void, F> {
    using type = std::remove_cvref_t<std::invoke_result_t<F&>>;
};
template <class T, class F>
using ThenResult = typename ThenResultOf<T, F>::type;

// Runs the function, stores its result and ends the task. The function and its captures are
// destroyed before the task is done, so a waiter sees their destructors' effects too.
template <class U, class F, class Invoke>
void RunAndFinish(State<U>& state, std::optional<F>& function, Invoke&& invoke) noexcept {
    bool canceled = false;
    std::exception_ptr error;
    try {
        if constexpr (std::is_void_v<U>)
            invoke(*function);
        else
            state.mValue.emplace(invoke(*function));
    } catch (const task_canceled&) {
        canceled = true;
    } catch (...) {
        canceled = true;
        error = std::current_exception();
    }
    function.reset();
    if (canceled)
        state.Cancel(std::move(error));
    else
        state.Complete();
}

template <class T, class F>
class StartWork final : public PoolWork {
public:
    StartWork(std::shared_ptr<State<T>> state, F&& function)
        : mState(std::move(state)), mFunction(std::in_place, std::move(function)) {}

    void Run() noexcept override {
        RunAndFinish(*mState, mFunction, [](F& function) { return std::invoke(function); });
    }

private:
    std::shared_ptr<State<T>> mState;
    std::optional<F> mFunction;
};

template <class T, class U, class F>
class ThenWork final : public ContinuationBase {
public:
    ThenWork(std::shared_ptr<State<U>> target, F&& function)
        : ContinuationBase(std::move(target)), mFunction(std::in_place, std::move(function)) {}

    void Run() noexcept override {
        auto& target = static_cast<State<U>&>(*mTarget);
        if constexpr (std::is_void_v<T>) {
            RunAndFinish(target, mFunction, [](F& function) { return std::invoke(function); });
        } else {
            auto& antecedent = static_cast<State<T>&>(*mAntecedent);
            RunAndFinish(target, mFunction, [&antecedent](F& function) {
                // Each continuation gets its own copy: an antecedent may have several.
                T value = *antecedent.mValue;
                return std::invoke(function, std::move(value));
            });
        }
    }

private:
    std::optional<F> mFunction;
};

template <class F>
class DetachedWork final : public PoolWork {
public:
    explicit DetachedWork(F&& function) : mFunction(std::move(function)) {}

    void Run() noexcept override {
        try {
            std::invoke(mFunction);
        } catch (...) {
            // Nobody is there to hear about it.
        }
    }

private:
    F mFunction;
};

} // namespace detail

// A handle to a task; copies refer to the same task. A default constructed handle has none,
// and every operation on it raises invalid_operation.
template <class T>
class task {
public:
    using result_type = T;

    task() noexcept = default;

    // Starts the function on a pool thread at once.
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, task> && std::is_invocable_v<std::decay_t<F>&>)
    explicit task(F&& function) : mState(std::make_shared<detail::State<T>>()) {
        using Function = std::decay_t<F>;
        static_assert(std::is_same_v<detail::StartResult<Function>, T>,
                      "the function's result type must be the task's value type");
        auto work = std::make_unique<detail::StartWork<T, Function>>(mState, Function(std::forward<F>(function)));
        if (auto error = detail::Submit(std::move(work)))
            mState->Cancel(std::move(error));
    }

    // Completed or cancelled.
    bool is_done() const { return Checked().IsDone(); }

    // Blocks until done. Rethrows the kept exception; plain cancellation returns canceled.
    task_status wait() const { return Checked().Wait(); }

    // Blocks until done and gives the value. Rethrows the kept exception; plain cancellation
    // raises task_canceled.
    T get() const {
        auto& state = Checked();
        if (state.Wait() == task_status::canceled)
            throw task_canceled();
        if constexpr (!std::is_void_v<T>)
            return *state.mValue;
    }

    // Runs the function on a pool thread once this task has completed, with a copy of its
    // value (nothing for task<void>). When this task is cancelled, so is the continuation,
    // without running, and it keeps the same exception.
    template <class F>
    auto then(F&& function) const -> task<detail::ThenResult<T, std::decay_t<F>>> {
        using Function = std::decay_t<F>;
        using U = detail::ThenResult<T, Function>;
        auto& antecedent = Checked();
        auto target = std::make_shared<detail::State<U>>();
        antecedent.AddContinuation(
            std::make_unique<detail::ThenWork<T, U, Function>>(target, Function(std::forward<F>(function))));
        return task<U>(std::move(target));
    }

private:
    template <class>
    friend class task;

    explicit task(std::shared_ptr<detail::State<T>> state) noexcept : mState(std::move(state)) {}

    detail::State<T>& Checked() const {
        if (!mState)
            detail::ThrowDefaultConstructed();
        return *mState;
    }

    std::shared_ptr<detail::State<T>> mState;
};

// A task of whatever the function returns, started at once.
template <class F>
auto create_task(F&& function) -> task<detail::StartResult<std::decay_t<F>>> {
    return task<detail::StartResult<std::decay_t<F>>>(std::forward<F>(function));
}

// Runs the function on a pool thread with nothing to wait for. Its exceptions are dropped. The
// module stays loaded until the function has returned, so a DLL may start this on its way out.
// False when the work could not be queued (then the function never runs).
template <class F>
bool run_detached(F&& function) noexcept {
    try {
        using Function = std::decay_t<F>;
        return detail::Submit(std::make_unique<detail::DetachedWork<Function>>(Function(std::forward<F>(function)))) ==
               nullptr;
    } catch (...) {
        return false;
    }
}

} // namespace Zarvo::Tasks
