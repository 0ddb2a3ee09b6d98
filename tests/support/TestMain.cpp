// Test entry point with a per-test watchdog: a test that hangs is reported by name and the
// program ends, instead of stalling the whole run until ctest's time limit.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace {

class Watchdog : public testing::EmptyTestEventListener {
public:
    explicit Watchdog(std::chrono::seconds limit) : mLimit(limit), mThread([this] { Run(); }) {}

    ~Watchdog() override {
        {
            std::lock_guard lock(mMutex);
            mQuit = true;
        }
        mWake.notify_all();
        mThread.join();
    }

    void OnTestStart(const testing::TestInfo& info) override {
        std::lock_guard lock(mMutex);
        mCurrent = std::string(info.test_suite_name()) + "." + info.name();
        mDeadline = std::chrono::steady_clock::now() + mLimit;
        ++mGeneration;
        mWake.notify_all();
    }

    void OnTestEnd(const testing::TestInfo&) override {
        std::lock_guard lock(mMutex);
        mCurrent.clear();
        ++mGeneration;
        mWake.notify_all();
    }

private:
    void Run() {
        std::unique_lock lock(mMutex);
        while (!mQuit) {
            if (mCurrent.empty()) {
                mWake.wait(lock);
                continue;
            }
            const auto generation = mGeneration;
            if (mWake.wait_until(lock, mDeadline, [&] { return mQuit || mGeneration != generation; }))
                continue;
            std::fprintf(stderr, "\nWATCHDOG: %s still running after %lld s; ending the test program\n",
                         mCurrent.c_str(), static_cast<long long>(mLimit.count()));
            std::fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 3);
        }
    }

    const std::chrono::seconds mLimit;
    std::mutex mMutex;
    std::condition_variable mWake;
    std::string mCurrent;
    std::chrono::steady_clock::time_point mDeadline{};
    unsigned mGeneration = 0;
    bool mQuit = false;
    std::thread mThread;
};

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    long seconds = 60;
    if (const char* value = std::getenv("ZARVO_TEST_WATCHDOG_SECONDS"))
        seconds = std::strtol(value, nullptr, 10);
    auto* watchdog = new Watchdog(std::chrono::seconds(seconds));
    testing::UnitTest::GetInstance()->listeners().Append(watchdog); // gtest owns it from here
    return RUN_ALL_TESTS();
}
