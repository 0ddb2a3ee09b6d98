#include "framework/ReferenceClock.h"
#include "framework/Schedule.h"

#include <gtest/gtest.h>
#include <mmsystem.h>
#include <tlhelp32.h>
#include <wrl/client.h>

#include <algorithm>
#include <tuple>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

constexpr REFERENCE_TIME kMs = 10000;
constexpr REFERENCE_TIME kMax = CAMSchedule::kMaxTime;
using Times = std::pair<REFERENCE_TIME, REFERENCE_TIME>;

struct Signal { // an auto-reset event, or a semaphore
    HANDLE h;
    explicit Signal(bool semaphore = false)
        : h(semaphore ? CreateSemaphoreW(nullptr, 0, 1000, nullptr)
                      : CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    ~Signal() { CloseHandle(h); }
    int Drain() { // how often it was signalled, without waiting
        int n = 0;
        while (WaitForSingleObject(h, 0) == WAIT_OBJECT_0)
            ++n;
        return n;
    }
    HEVENT Event() const { return reinterpret_cast<HEVENT>(h); }
    HSEMAPHORE Semaphore() const { return reinterpret_cast<HSEMAPHORE>(h); }
};

class ManualClock : public CBaseReferenceClock { // on the test's schedule, with a timer set by hand
public:
    ManualClock(HRESULT* hr, CAMSchedule* schedule) : CBaseReferenceClock(L"manual", nullptr, hr, schedule) {}
    DWORD now = 0;
    void StartAt(DWORD ms) {
        now = mPreviousSystemTime = ms;
        mPrivateTime = static_cast<REFERENCE_TIME>(ms) * kMs;
    }
    using CBaseReferenceClock::AdvisePass;

protected:
    DWORD SystemMilliseconds() override { return now; }
};

ComPtr<IReferenceClock> NewClock() {
    HRESULT hr = S_OK;
    ComPtr<IReferenceClock> clock(new CBaseReferenceClock(L"clock", nullptr, &hr));
    EXPECT_EQ(hr, S_OK);
    return clock;
}

// Threads of this process, and kernel handles found by probing (GetProcessHandleCount is 0 in Wine).
std::pair<LONG, LONG> ThreadsAndHandles() {
    std::pair<LONG, LONG> count{0, 0};
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{sizeof(entry), 0, 0, 0, 0, 0, 0};
    for (BOOL ok = Thread32First(snapshot, &entry); ok; ok = Thread32Next(snapshot, &entry))
        count.first += entry.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snapshot);
    DWORD flags = 0;
    for (ULONG_PTR value = 4; value < 0x8000; value += 4)
        count.second += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) ? 1 : 0;
    return count;
}

} // namespace

TEST(Schedule, EntriesFireOnceOrOncePerPeriodDueInOrderAndTheCacheIsBounded) {
    Signal wake, a, b, periodic(true);
    const LONG packetsBefore = CAMSchedule::LivePackets(), objectsBefore = CBaseObject::LiveObjectCount();
    {
        CAMSchedule schedule(wake.h);
        const DWORD_PTR first = schedule.AddAdvise(200, 0, a.h, false);
        const DWORD_PTR second = schedule.AddAdvise(200, 0, b.h, false); // ahead of first
        const DWORD_PTR later = schedule.AddAdvise(300, 0, b.h, false);
        const DWORD_PTR p = schedule.AddAdvise(100, 100, periodic.h, true);
        EXPECT_EQ(schedule.CookiesInOrder(), (std::vector<DWORD_PTR>{p, second, first, later}));
        // Re-armed at 200, the periodic entry goes behind those already due then.
        EXPECT_EQ(schedule.FireDue(150), 200);
        EXPECT_EQ(periodic.Drain(), 1);
        EXPECT_EQ(schedule.CookiesInOrder(), (std::vector<DWORD_PTR>{second, first, p, later}));
        EXPECT_EQ(schedule.RemoveAdvise(second), S_OK);
        // One-shot entries fire once and are gone; late periodic ones once per period due, in one pass.
        EXPECT_EQ(schedule.FireDue(299), 300); // first at 200; p at 200
        EXPECT_EQ((std::vector<int>{a.Drain(), b.Drain(), periodic.Drain()}), (std::vector<int>{1, 0, 1}));
        EXPECT_EQ(schedule.FireDue(335), 400); // later at 300; p at 300
        EXPECT_EQ(schedule.FireDue(635), 700); // p at 400, 500, 600
        EXPECT_EQ((std::vector<int>{a.Drain(), b.Drain(), periodic.Drain()}), (std::vector<int>{0, 1, 4}));
        EXPECT_EQ((std::tuple{schedule.RemoveAdvise(first), schedule.RemoveAdvise(12345)}),
                  (std::tuple{S_FALSE, S_FALSE}));
        // Cookies grow; no more than five spare packets are kept; the destructor frees all.
        std::vector<DWORD_PTR> cookies{first, second, later, p};
        for (int i = 0; i < 8; ++i)
            cookies.push_back(schedule.AddAdvise(1000 + i, 0, a.h, false));
        EXPECT_EQ(CAMSchedule::LivePackets(), packetsBefore + 9);
        for (size_t i = 4; i < cookies.size(); ++i)
            EXPECT_EQ(schedule.RemoveAdvise(cookies[i]), S_OK);
        EXPECT_EQ(std::pair(schedule.CacheCount(), CAMSchedule::LivePackets()),
                  std::pair(5ul, packetsBefore + 6));
        for (int i = 0; i < 3; ++i)
            cookies.push_back(schedule.AddAdvise(50, 0, a.h, false));
        EXPECT_EQ(CAMSchedule::LivePackets(), packetsBefore + 6); // from the cache
        for (size_t i = 1; i < cookies.size(); ++i)
            EXPECT_GT(cookies[i], cookies[i - 1]);
    }
    EXPECT_EQ(std::pair(CAMSchedule::LivePackets(), CBaseObject::LiveObjectCount()),
              std::pair(packetsBefore, objectsBefore));
    // A period running past the largest time parks the entry there instead of wrapping round.
    CAMSchedule huge(wake.h);
    huge.AddAdvise(1, kMax, periodic.h, true);
    EXPECT_EQ((std::tuple{huge.FireDue(10), huge.FireDue(kMax), periodic.Drain()}),
              (std::tuple{kMax, kMax, 1}));
}

TEST(Clock, TimeNeverDecreasesRepeatsWithinAMillisecondAbsorbsTheTimerWrapAndFiresWhatIsDueInAPass) {
    Signal wake;
    CAMSchedule schedule(wake.h);
    HRESULT hr = S_OK;
    auto* manual = new ManualClock(&hr, &schedule);
    ComPtr<IReferenceClock> clock(manual);
    ASSERT_EQ(hr, S_OK);
    // Readings: on, twice within a millisecond, the timer back (the reading stands), on again.
    manual->StartAt(1000);
    for (auto [now, result, reading] :
         {std::tuple{1000u, S_OK, 1000}, std::tuple{1000u, S_FALSE, 1000}, std::tuple{1001u, S_OK, 1001},
          std::tuple{996u, S_FALSE, 1001}, std::tuple{1003u, S_OK, 1003}}) {
        REFERENCE_TIME t = 0;
        manual->now = now;
        EXPECT_EQ((std::tuple{clock->GetTime(&t), t}), (std::tuple{result, reading * kMs})) << now;
    }
    manual->StartAt(0xFFFFFFF0u);
    const REFERENCE_TIME before = manual->PrivateTime();
    manual->now = 0x10;
    EXPECT_EQ(manual->PrivateTime(), before + 0x20 * kMs);

    manual->StartAt(5000);
    EXPECT_EQ(manual->AdvisePass(), INFINITE); // nothing scheduled
    Signal soon, edge, later;
    DWORD_PTR c1 = 0, c2 = 0, c3 = 0;
    ASSERT_EQ(clock->AdviseTime(5000 * kMs, kMs - 1, soon.Event(), &c1), S_OK);
    ASSERT_EQ(clock->AdviseTime(5000 * kMs, kMs, edge.Event(), &c2), S_OK);
    ASSERT_EQ(clock->AdviseTime(5000 * kMs, 25 * kMs + 1, later.Event(), &c3), S_OK);
    EXPECT_EQ(manual->AdvisePass(), 25u);
    EXPECT_EQ((std::vector<int>{soon.Drain(), edge.Drain(), later.Drain()}), (std::vector<int>{1, 1, 0}));
    EXPECT_EQ((std::tuple{clock->Unadvise(c1), clock->Unadvise(c3), clock->Unadvise(424242)}),
              (std::tuple{S_FALSE, S_OK, S_FALSE})); // fired, pending, unknown
}

TEST(Clock, AdviseRefusesBadTimesAndPeriodsAndTimerResolutionKeepsToTheDevice) {
    auto clock = NewClock();
    Signal event, semaphore(true);
    for (auto [base, stream] : {Times{0, 0}, Times{-5, 2}, Times{kMax, 0}, Times{kMax - 1, 1}, Times{kMax, 1},
                                Times{kMax, kMax}, Times{-kMax - 1, -1}}) {
        DWORD_PTR cookie = 77;
        EXPECT_EQ((std::tuple{clock->AdviseTime(base, stream, event.Event(), &cookie), cookie}),
                  (std::tuple{E_INVALIDARG, 0ull}))
            << base << "+" << stream;
    }
    for (auto [start, period] : {Times{100, 0}, Times{100, -1}, Times{0, 10}, Times{kMax, 10}}) {
        DWORD_PTR cookie = 77;
        EXPECT_EQ((std::tuple{clock->AdvisePeriodic(start, period, semaphore.Semaphore(), &cookie), cookie}),
                  (std::tuple{E_INVALIDARG, 0ull}))
            << start << "/" << period;
    }
    EXPECT_EQ(clock->GetTime(nullptr), E_POINTER);
    ComPtr<IReferenceClockTimerControl> control;
    ASSERT_EQ(clock.As(&control), S_OK);
    TIMECAPS caps{};
    ASSERT_EQ(timeGetDevCaps(&caps, sizeof(caps)), static_cast<MMRESULT>(MMSYSERR_NOERROR));
    const REFERENCE_TIME minimum = static_cast<REFERENCE_TIME>(std::max<UINT>(caps.wPeriodMin, 1)) * kMs;
    for (auto [set, expected] :
         {Times{0, 0}, Times{1, minimum}, Times{minimum + 7 * kMs + 5, minimum + 7 * kMs}}) {
        REFERENCE_TIME got = -1;
        ASSERT_EQ(control->SetDefaultTimerResolution(set), S_OK);
        EXPECT_EQ((std::tuple{control->GetDefaultTimerResolution(&got), got}), (std::tuple{S_OK, expected}));
    }
}

TEST(Clock, AdviseThreadSignalsInTimeAndManyClocksLeaveNoThreadHandleOrObjectBehind) {
    Signal event, semaphore(true);
    {
        auto clock = NewClock(); // also loads what the first clock loads once per process
        REFERENCE_TIME now = 0, fired = 0;
        clock->GetTime(&now);
        DWORD_PTR once = 0, periodic = 0;
        ASSERT_EQ(clock->AdviseTime(now, 20 * kMs, event.Event(), &once), S_OK);
        ASSERT_EQ(WaitForSingleObject(event.h, 5000), WAIT_OBJECT_0);
        clock->GetTime(&fired);
        EXPECT_GE(fired, now + 19 * kMs); // not early by more than the millisecond it may be
        ASSERT_EQ(clock->AdvisePeriodic(fired + 5 * kMs, 5 * kMs, semaphore.Semaphore(), &periodic), S_OK);
        for (int i = 0; i < 3; ++i)
            ASSERT_EQ(WaitForSingleObject(semaphore.h, 5000), WAIT_OBJECT_0) << i;
    }
    const LONG objects = CBaseObject::LiveObjectCount();
    const auto [threads, handles] = ThreadsAndHandles();
    ASSERT_GT(handles, 0);
    for (int i = 0; i < 50; ++i) {
        auto clock = NewClock();
        REFERENCE_TIME now = 0;
        clock->GetTime(&now);
        DWORD_PTR cookie = 0;
        // Wake the advise thread once, and leave one entry pending at release.
        ASSERT_EQ(clock->AdviseTime(now, kMs, event.Event(), &cookie), S_OK);
        ASSERT_EQ(WaitForSingleObject(event.h, 5000), WAIT_OBJECT_0);
        ASSERT_EQ(clock->AdviseTime(now, 1000 * kMs, event.Event(), &cookie), S_OK);
    }
    EXPECT_EQ(CBaseObject::LiveObjectCount(), objects);
    const auto [threadsAfter, handlesAfter] = ThreadsAndHandles();
    EXPECT_LE(threadsAfter, threads);
    EXPECT_LE(handlesAfter, handles + 3); // a leak shows as a handle or more per clock
}
