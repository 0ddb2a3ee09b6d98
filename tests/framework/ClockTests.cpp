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

// A clock on a schedule of the test's making, with a timer the test sets by hand.
class ManualClock : public CBaseReferenceClock {
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

LONG ThreadsOfThisProcess() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    LONG count = 0;
    THREADENTRY32 entry{sizeof(entry)};
    for (BOOL ok = Thread32First(snapshot, &entry); ok; ok = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snapshot);
    return count;
}

// Open kernel handles, found by probing the table (GetProcessHandleCount answers 0 under Wine).
LONG OpenHandles() {
    LONG count = 0;
    DWORD flags = 0;
    for (ULONG_PTR value = 4; value < 0x8000; value += 4)
        count += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) ? 1 : 0;
    return count;
}

} // namespace

TEST(Schedule, EntriesFireOnceOrOncePerPeriodDueInOrderAndWakeOnlyForANewEarliest) {
    Signal wake, a, b, periodic(true);
    CAMSchedule schedule(wake.h);
    const DWORD_PTR first = schedule.AddAdvise(200, 0, a.h, false);
    EXPECT_EQ(wake.Drain(), 1);
    const DWORD_PTR second = schedule.AddAdvise(200, 0, b.h, false); // ahead of first
    EXPECT_EQ(wake.Drain(), 1);
    const DWORD_PTR later = schedule.AddAdvise(300, 0, b.h, false);
    EXPECT_EQ(wake.Drain(), 0);
    const DWORD_PTR p = schedule.AddAdvise(100, 100, periodic.h, true);
    EXPECT_EQ(wake.Drain(), 1);
    EXPECT_EQ(schedule.CookiesInOrder(), (std::vector<DWORD_PTR>{p, second, first, later}));
    // Re-armed at 200, the periodic entry goes behind those already due then.
    EXPECT_EQ(schedule.FireDue(150), 200);
    EXPECT_EQ(periodic.Drain(), 1);
    EXPECT_EQ(schedule.CookiesInOrder(), (std::vector<DWORD_PTR>{second, first, p, later}));
    EXPECT_EQ(schedule.RemoveAdvise(second), S_OK);
    EXPECT_EQ(wake.Drain(), 0); // removal never wakes
    // One-shot entries fire once and are gone; late periodic ones once per period due, in one pass.
    EXPECT_EQ(schedule.FireDue(299), 300); // first at 200; p at 200 and 300 - 1 is not yet 300
    EXPECT_EQ((std::vector<int>{a.Drain(), b.Drain(), periodic.Drain()}), (std::vector<int>{1, 0, 1}));
    EXPECT_EQ(schedule.FireDue(335), 400); // later at 300; p at 300
    EXPECT_EQ(schedule.FireDue(635), 700); // p at 400, 500, 600
    EXPECT_EQ((std::vector<int>{a.Drain(), b.Drain(), periodic.Drain()}), (std::vector<int>{0, 1, 4}));
    EXPECT_EQ(schedule.RemoveAdvise(first), S_FALSE);
    EXPECT_EQ(schedule.RemoveAdvise(12345), S_FALSE);
    EXPECT_EQ(schedule.CookiesInOrder(), std::vector<DWORD_PTR>{p});
    // A period running past the largest time parks the entry there instead of wrapping round.
    CAMSchedule huge(wake.h);
    huge.AddAdvise(1, kMax, periodic.h, true);
    EXPECT_EQ(huge.FireDue(10), kMax);
    EXPECT_EQ(huge.FireDue(kMax), kMax);
    EXPECT_EQ(periodic.Drain(), 1);
}

TEST(Schedule, CookiesAreNeverReusedThePacketCacheIsBoundedAndTheDestructorFreesAll) {
    Signal wake, fired;
    const LONG packetsBefore = CAMSchedule::LivePackets();
    const LONG objectsBefore = CBaseObject::LiveObjectCount();
    {
        CAMSchedule schedule(wake.h);
        std::vector<DWORD_PTR> cookies;
        for (int i = 0; i < 8; ++i)
            cookies.push_back(schedule.AddAdvise(1000 + i, 0, fired.h, false));
        EXPECT_EQ(CAMSchedule::LivePackets(), packetsBefore + 8);
        for (DWORD_PTR c : cookies)
            EXPECT_EQ(schedule.RemoveAdvise(c), S_OK);
        EXPECT_EQ(schedule.CacheCount(), 5u);
        EXPECT_EQ(CAMSchedule::LivePackets(), packetsBefore + 5);
        for (int i = 0; i < 3; ++i) // from the cache, with new cookies
            cookies.push_back(schedule.AddAdvise(50, 0, fired.h, false));
        EXPECT_EQ(CAMSchedule::LivePackets(), packetsBefore + 5);
        for (size_t i = 1; i < cookies.size(); ++i)
            EXPECT_GT(cookies[i], cookies[i - 1]);
        schedule.AddAdvise(80, 5, fired.h, true); // left for the destructor
    }
    EXPECT_EQ(CAMSchedule::LivePackets(), packetsBefore);
    EXPECT_EQ(CBaseObject::LiveObjectCount(), objectsBefore);
}

TEST(Clock, TimeNeverDecreasesRepeatsWithinAMillisecondAndAbsorbsTheTimerWrap) {
    Signal wake;
    CAMSchedule schedule(wake.h);
    HRESULT hr = S_OK;
    auto* manual = new ManualClock(&hr, &schedule);
    ComPtr<IReferenceClock> clock(manual);
    ASSERT_EQ(hr, S_OK);
    // Readings: on, twice within a millisecond, the timer back (the reading stands), on again.
    manual->StartAt(1000);
    const std::tuple<DWORD, HRESULT, REFERENCE_TIME> steps[] = {{1000, S_OK, 1000 * kMs},
                                                                {1000, S_FALSE, 1000 * kMs},
                                                                {1001, S_OK, 1001 * kMs},
                                                                {996, S_FALSE, 1001 * kMs},
                                                                {1003, S_OK, 1003 * kMs}};
    for (auto [now, result, reading] : steps) {
        REFERENCE_TIME t = 0;
        manual->now = now;
        EXPECT_EQ(clock->GetTime(&t), result) << now;
        EXPECT_EQ(t, reading) << now;
    }
    // Across the 32-bit wrap the time goes on by the real difference.
    manual->StartAt(0xFFFFFFF0u);
    const REFERENCE_TIME before = manual->PrivateTime();
    manual->now = 0x10;
    EXPECT_EQ(manual->PrivateTime(), before + 0x20 * kMs);

    // One pass of the advise thread fires what is due within the next millisecond.
    manual->StartAt(5000);
    EXPECT_EQ(manual->AdvisePass(), INFINITE); // nothing scheduled
    Signal soon, edge, later;
    DWORD_PTR c1 = 0, c2 = 0, c3 = 0;
    ASSERT_EQ(clock->AdviseTime(5000 * kMs, kMs - 1, soon.Event(), &c1), S_OK);
    ASSERT_EQ(clock->AdviseTime(5000 * kMs, kMs, edge.Event(), &c2), S_OK);
    ASSERT_EQ(clock->AdviseTime(5000 * kMs, 25 * kMs + 1, later.Event(), &c3), S_OK);
    EXPECT_EQ(manual->AdvisePass(), 25u);
    EXPECT_EQ((std::vector<int>{soon.Drain(), edge.Drain(), later.Drain()}), (std::vector<int>{1, 1, 0}));
    EXPECT_EQ(clock->Unadvise(c1), S_FALSE); // fired
    EXPECT_EQ(clock->Unadvise(c3), S_OK);
    EXPECT_EQ(clock->Unadvise(424242), S_FALSE); // unknown
}

TEST(Clock, AdviseRefusesBadTimesAndPeriodsAndTimerResolutionKeepsToTheDevice) {
    auto clock = NewClock();
    Signal event, semaphore(true);
    using Times = std::pair<REFERENCE_TIME, REFERENCE_TIME>;
    const Times sums[] = {{0, 0},    {-5, 2},      {kMax, 0},      {kMax - 1, 1},
                          {kMax, 1}, {kMax, kMax}, {-kMax - 1, -1}};
    for (auto [base, stream] : sums) {
        DWORD_PTR cookie = 77;
        EXPECT_EQ(clock->AdviseTime(base, stream, event.Event(), &cookie), E_INVALIDARG)
            << base << "+" << stream;
        EXPECT_EQ(cookie, 0u);
    }
    for (auto [start, period] : {Times{100, 0}, Times{100, -1}, Times{0, 10}, Times{kMax, 10}}) {
        DWORD_PTR cookie = 77;
        EXPECT_EQ(clock->AdvisePeriodic(start, period, semaphore.Semaphore(), &cookie), E_INVALIDARG)
            << start;
        EXPECT_EQ(cookie, 0u);
    }
    EXPECT_EQ(clock->GetTime(nullptr), E_POINTER);
    // Timer resolution: 0 stays, below the device minimum is raised to it, whole milliseconds.
    ComPtr<IReferenceClockTimerControl> control;
    ASSERT_EQ(clock.As(&control), S_OK);
    TIMECAPS caps{};
    ASSERT_EQ(timeGetDevCaps(&caps, sizeof(caps)), static_cast<MMRESULT>(MMSYSERR_NOERROR));
    const REFERENCE_TIME minimum = static_cast<REFERENCE_TIME>(std::max<UINT>(caps.wPeriodMin, 1)) * kMs;
    for (auto [set, expected] :
         {Times{0, 0}, Times{1, minimum}, Times{minimum + 7 * kMs + 5, minimum + 7 * kMs}}) {
        REFERENCE_TIME got = -1;
        EXPECT_EQ(control->SetDefaultTimerResolution(set), S_OK);
        ASSERT_EQ(control->GetDefaultTimerResolution(&got), S_OK);
        EXPECT_EQ(got, expected) << set;
    }
    EXPECT_EQ(control->GetDefaultTimerResolution(nullptr), E_POINTER);
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
    const LONG threads = ThreadsOfThisProcess();
    const LONG handles = OpenHandles();
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
    EXPECT_LE(ThreadsOfThisProcess(), threads);
    EXPECT_LE(OpenHandles(), handles + 3); // a leak shows as a handle or more per clock
}
