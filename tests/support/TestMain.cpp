// Test entry point with a per-test watchdog: a test that hangs is reported by name and the
// program ends, instead of stalling the whole run until ctest's time limit.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace {

// Armed at each test's start, cancelled at its end. The thread that waits for it is made before
// any test runs, so a test that hangs holding the loader lock or the thread pool is reported too.
const HANDLE gTimer = CreateWaitableTimerW(nullptr, TRUE, nullptr);
std::mutex gMutex; // guards gCurrent
std::string gCurrent;
long long gSeconds = 60;

struct Watchdog : testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo& info) override {
        std::lock_guard lock(gMutex);
        gCurrent = std::string(info.test_suite_name()) + "." + info.name();
        LARGE_INTEGER due;
        due.QuadPart = -gSeconds * 10'000'000; // relative, in 100 ns
        SetWaitableTimer(gTimer, &due, 0, nullptr, nullptr, FALSE);
    }
    void OnTestEnd(const testing::TestInfo&) override { CancelWaitableTimer(gTimer); }
};

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (const char* value = std::getenv("ZARVO_TEST_WATCHDOG_SECONDS"))
        gSeconds = std::strtol(value, nullptr, 10);
    std::thread([] {
        if (WaitForSingleObject(gTimer, INFINITE) != WAIT_OBJECT_0)
            return; // no timer: no watchdog, rather than ending every run at once
        std::lock_guard lock(gMutex);
        std::fprintf(stderr, "\nWATCHDOG: %s still running after %lld s; ending the test program\n",
                     gCurrent.c_str(), gSeconds);
        std::fflush(stderr);
        TerminateProcess(GetCurrentProcess(), 3);
    }).detach();
    testing::UnitTest::GetInstance()->listeners().Append(new Watchdog); // gtest owns it from here
    return RUN_ALL_TESTS();
}
