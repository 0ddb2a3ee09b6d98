#include "runtime/Task.h"

#include <atomic>
#include <system_error>

namespace Zarvo::Tasks {

namespace {

class ExclusiveLock {
public:
    explicit ExclusiveLock(SRWLOCK& lock) noexcept : mLock(lock) { AcquireSRWLockExclusive(&mLock); }
    ~ExclusiveLock() { ReleaseSRWLockExclusive(&mLock); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

private:
    SRWLOCK& mLock;
};

// Milliseconds left until the deadline, for the condition-variable waits.
DWORD Remaining(ULONGLONG deadline) noexcept {
    const ULONGLONG now = GetTickCount64();
    return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

ULONGLONG DeadlineAfter(DWORD milliseconds) noexcept { return GetTickCount64() + milliseconds; }

std::atomic<long> gLiveStates{0};
SRWLOCK gLiveStatesLock = SRWLOCK_INIT;
CONDITION_VARIABLE gNoLiveStates = CONDITION_VARIABLE_INIT;

void CALLBACK RunPoolWork(PTP_CALLBACK_INSTANCE instance, void* context) noexcept {
    std::unique_ptr<detail::PoolWork> work(static_cast<detail::PoolWork*>(context));
    // The pool lets go of the module only after this function has returned into it, which is
    // the one release of our reference that cannot race with our own code still running.
    if (HMODULE module = work->mHeldModule)
        FreeLibraryWhenCallbackReturns(instance, module);
    work->Run();
}

} // namespace

void cancel_current_task() { throw task_canceled(); }

namespace detail {

void ThrowDefaultConstructed() {
    throw invalid_operation("This function cannot be called on a default constructed task");
}

std::exception_ptr Submit(std::unique_ptr<PoolWork> work) noexcept {
    HMODULE module = nullptr;
    // An address inside this module names the DLL when we are one and the program otherwise.
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&RunPoolWork),
                            &module)) {
        const DWORD error = GetLastError();
        return std::make_exception_ptr(
            std::system_error(static_cast<int>(error), std::system_category(), "GetModuleHandleExW"));
    }
    work->mHeldModule = module;
    if (!TrySubmitThreadpoolCallback(&RunPoolWork, work.get(), nullptr)) {
        const DWORD error = GetLastError();
        FreeLibrary(module);
        return std::make_exception_ptr(
            std::system_error(static_cast<int>(error), std::system_category(), "TrySubmitThreadpoolCallback"));
    }
    work.release(); // the callback owns it now
    return nullptr;
}

// ---- Task state ----

StateBase::StateBase() noexcept { gLiveStates.fetch_add(1, std::memory_order_relaxed); }

StateBase::~StateBase() {
    if (gLiveStates.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        // Taking the lock orders this wake after a waiter's check of the count.
        { ExclusiveLock lock(gLiveStatesLock); }
        WakeAllConditionVariable(&gNoLiveStates);
    }
}

bool StateBase::IsDone() const noexcept {
    ExclusiveLock lock(mLock);
    return mStatus != task_status::not_complete;
}

task_status StateBase::Wait() const {
    task_status status;
    std::exception_ptr error;
    {
        ExclusiveLock lock(mLock);
        while (mStatus == task_status::not_complete)
            SleepConditionVariableSRW(&mDone, &mLock, INFINITE, 0);
        status = mStatus;
        error = mError;
    }
    if (error)
        std::rethrow_exception(error);
    return status;
}

void StateBase::AddContinuation(std::unique_ptr<ContinuationBase> continuation) {
    task_status status;
    std::exception_ptr error;
    {
        ExclusiveLock lock(mLock);
        if (mStatus == task_status::not_complete) {
            mContinuations.push_back(std::move(continuation));
            return;
        }
        status = mStatus;
        error = mError;
    }
    if (status == task_status::completed) {
        Schedule(std::move(continuation));
    } else {
        std::vector<std::unique_ptr<ContinuationBase>> single;
        single.push_back(std::move(continuation));
        CancelTargets(std::move(single), error);
    }
}

void StateBase::Complete() noexcept {
    for (auto& continuation : Finish(task_status::completed, nullptr))
        Schedule(std::move(continuation));
}

void StateBase::Cancel(std::exception_ptr error) noexcept {
    auto continuations = Finish(task_status::canceled, error);
    CancelTargets(std::move(continuations), error);
}

std::vector<std::unique_ptr<ContinuationBase>> StateBase::Finish(task_status status,
                                                                 std::exception_ptr error) noexcept {
    std::vector<std::unique_ptr<ContinuationBase>> continuations;
    {
        ExclusiveLock lock(mLock);
        if (mStatus != task_status::not_complete)
            return continuations; // a task ends once
        mStatus = status;
        mError = std::move(error);
        continuations.swap(mContinuations);
    }
    // Whoever finishes a state holds a reference to it, so it outlives this wake.
    WakeAllConditionVariable(&mDone);
    return continuations;
}

void StateBase::Schedule(std::unique_ptr<ContinuationBase> continuation) noexcept {
    continuation->mAntecedent = shared_from_this();
    auto target = continuation->mTarget;
    if (auto error = Submit(std::move(continuation)))
        target->Cancel(std::move(error));
}

void StateBase::CancelTargets(std::vector<std::unique_ptr<ContinuationBase>> continuations,
                              const std::exception_ptr& error) noexcept {
    // Walks the chain with a list instead of recursing, so no chain is too long to cancel. Each
    // continuation's function goes before its task is marked done.
    std::vector<std::shared_ptr<StateBase>> pending;
    auto collect = [&pending](std::vector<std::unique_ptr<ContinuationBase>>& list) {
        for (auto& continuation : list) {
            pending.push_back(std::move(continuation->mTarget));
            continuation.reset();
        }
    };
    collect(continuations);
    while (!pending.empty()) {
        auto next = std::move(pending.back());
        pending.pop_back();
        auto more = next->Finish(task_status::canceled, error);
        collect(more);
    }
}

long LiveStateCount() noexcept { return gLiveStates.load(std::memory_order_acquire); }

bool WaitForNoLiveStates(DWORD milliseconds) noexcept {
    const ULONGLONG deadline = DeadlineAfter(milliseconds);
    ExclusiveLock lock(gLiveStatesLock);
    while (gLiveStates.load(std::memory_order_acquire) != 0) {
        const DWORD left = Remaining(deadline);
        if (left == 0)
            return false;
        SleepConditionVariableSRW(&gNoLiveStates, &gLiveStatesLock, left, 0);
    }
    return true;
}

// ---- Cancellation ----

class CancellationState {
public:
    bool IsCanceled() const noexcept { return mCanceled.load(std::memory_order_acquire); }

    ~CancellationState() {
        if (mEvent)
            CloseHandle(mEvent);
    }

    void Cancel() noexcept {
        {
            ExclusiveLock lock(mLock);
            if (mCanceled.exchange(true, std::memory_order_acq_rel))
                return;
            if (mEvent)
                SetEvent(mEvent);
        }
        WakeAllConditionVariable(&mChanged);
    }

    // Made on first use: most cancellations are only ever polled.
    HANDLE Event() noexcept {
        ExclusiveLock lock(mLock);
        if (!mEvent)
            mEvent = CreateEventW(nullptr, TRUE, IsCanceled() ? TRUE : FALSE, nullptr);
        return mEvent;
    }

    bool WaitFor(DWORD milliseconds) noexcept {
        const ULONGLONG deadline = DeadlineAfter(milliseconds);
        ExclusiveLock lock(mLock);
        while (!IsCanceled()) {
            const DWORD left = milliseconds == INFINITE ? INFINITE : Remaining(deadline);
            if (left == 0)
                return false;
            SleepConditionVariableSRW(&mChanged, &mLock, left, 0);
        }
        return true;
    }

private:
    std::atomic<bool> mCanceled{false};
    SRWLOCK mLock = SRWLOCK_INIT;                     // orders Cancel with WaitFor's check
    CONDITION_VARIABLE mChanged = CONDITION_VARIABLE_INIT;
    HANDLE mEvent = nullptr; // guarded by mLock; set together with mCanceled
};

} // namespace detail

bool cancellation_token::is_canceled() const noexcept { return mState && mState->IsCanceled(); }

bool cancellation_token::wait_for(DWORD milliseconds) const noexcept {
    if (!mState) {
        Sleep(milliseconds);
        return false;
    }
    return mState->WaitFor(milliseconds);
}

HANDLE cancellation_token::wait_handle() const noexcept { return mState ? mState->Event() : nullptr; }

cancellation_token_source::cancellation_token_source() : mState(std::make_shared<detail::CancellationState>()) {}

void cancellation_token_source::cancel() const noexcept {
    if (mState) // a moved-from source has none
        mState->Cancel();
}

bool cancellation_token_source::is_canceled() const noexcept { return mState && mState->IsCanceled(); }

} // namespace Zarvo::Tasks
