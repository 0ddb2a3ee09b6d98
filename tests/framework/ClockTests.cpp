#include "framework/ReferenceClock.h"
#include "framework/Schedule.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>
#include <wrl/client.h>

#include <chrono>
#include <tuple>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

constexpr REFERENCE_TIME kMs = 10000, kMax = CAMSchedule::kMaxTime;
using Times = std::pair<REFERENCE_TIME, REFERENCE_TIME>;

struct Signal { // an auto-reset event, or a semaphore
    HANDLE h;
    explicit Signal(bool semaphore = false)
        : h(semaphore ? CreateSemaphoreW(nullptr, 0, 1000, nullptr) : CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    ~Signal() { CloseHandle(h); }
};
// How often each was signalled, without waiting.
std::vector<int> Drain(std::initializer_list<const Signal*> signals) {
    std::vector<int> counts;
    for (auto* s : signals)
        for (counts.push_back(0); WaitForSingleObject(s->h, 0) == WAIT_OBJECT_0;)
            ++counts.back();
    return counts;
}

class ManualClock : public CBaseReferenceClock { // on the test's schedule, with a timer set by hand
public:
    ManualClock(HRESULT* hr, CAMSchedule* schedule) : CBaseReferenceClock(L"manual", nullptr, hr, schedule) {}
    DWORD now = 0;
    void StartAt(DWORD ms) { now = mPreviousSystemTime = ms, mPrivateTime = REFERENCE_TIME{ms} * kMs; }
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

TEST(Schedule, EntriesFireOnceOrOncePerPeriodDueInOrderAndNoPacketOutlivesIt) {
    Signal wake, a, b, periodic(true);
    const LONG packetsBefore = CAMSchedule::LivePackets(), objectsBefore = CBaseObject::LiveObjectCount();
    {
        CAMSchedule schedule(wake.h);
        const DWORD_PTR first = schedule.AddAdvise(200, 0, a.h, false), second = schedule.AddAdvise(200, 0, b.h, false),
                        later = schedule.AddAdvise(300, 0, b.h, false), p = schedule.AddAdvise(100, 100, periodic.h, true);
        EXPECT_EQ(schedule.CookiesInOrder(), (std::vector<DWORD_PTR>{p, second, first, later}));
        // Re-armed at 200, the periodic entry goes behind those already due then.
        EXPECT_EQ((std::tuple{schedule.FireDue(150), Drain({&periodic})}), (std::tuple{200, std::vector{1}}));
        EXPECT_EQ(schedule.CookiesInOrder(), (std::vector<DWORD_PTR>{second, first, p, later}));
        EXPECT_EQ(schedule.RemoveAdvise(second), S_OK);
        // One-shot entries fire once and are gone; late periodic ones once per period due, in one pass.
        EXPECT_EQ(schedule.FireDue(299), 300); // first at 200; p at 200
        EXPECT_EQ(Drain({&a, &b, &periodic}), (std::vector<int>{1, 0, 1}));
        EXPECT_EQ((std::tuple{schedule.FireDue(335), schedule.FireDue(635)}), (std::tuple{400, 700}));
        EXPECT_EQ(Drain({&a, &b, &periodic}), (std::vector<int>{0, 1, 4})); // later; p at 300 to 600
        EXPECT_EQ((std::tuple{schedule.RemoveAdvise(first), schedule.RemoveAdvise(12345)}), (std::tuple{S_FALSE, S_FALSE}));
        // A cookie is never handed out twice, though its packet is used again.
        EXPECT_GT(schedule.AddAdvise(50, 0, a.h, false), p);
    }
    EXPECT_EQ(std::pair(CAMSchedule::LivePackets(), CBaseObject::LiveObjectCount()), std::pair(packetsBefore, objectsBefore));
    // A period running past the largest time parks the entry there instead of wrapping round.
    CAMSchedule huge(wake.h);
    huge.AddAdvise(1, kMax, periodic.h, true);
    EXPECT_EQ((std::tuple{huge.FireDue(10), huge.FireDue(kMax), Drain({&periodic})}), (std::tuple{kMax, kMax, std::vector{1}}));
    // A start long past with the shortest period: every period due is signalled in one pass, as far as
    // each semaphore's maximum lets it, without a turn per period under the lock (300 000 turns took
    // seconds; a start at 1 against a clock at its usual time would take for ever).
    CAMSchedule behind(wake.h);
    const HANDLE roomy = CreateSemaphoreW(nullptr, 0, LONG_MAX, nullptr);
    behind.AddAdvise(1, 1, roomy, true);
    behind.AddAdvise(1, 1, periodic.h, true);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(behind.FireDue(300'000), 300'001);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    LONG count = 0;
    ReleaseSemaphore(roomy, 1, &count);
    EXPECT_EQ(count, 300'000);
    CloseHandle(roomy);
    EXPECT_EQ(Drain({&periodic}), std::vector{1000}); // its maximum
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
    for (auto [now, result, reading] : {std::tuple{1000u, S_OK, 1000}, std::tuple{1000u, S_FALSE, 1000},
                                        std::tuple{1001u, S_OK, 1001}, std::tuple{996u, S_FALSE, 1001},
                                        std::tuple{1003u, S_OK, 1003}}) {
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
    for (auto [delay, signal, cookie] : {std::tuple{kMs - 1, &soon, &c1}, std::tuple{kMs, &edge, &c2},
                                         std::tuple{25 * kMs + 1, &later, &c3}})
        ASSERT_EQ(clock->AdviseTime(5000 * kMs, delay, reinterpret_cast<HEVENT>(signal->h), cookie), S_OK);
    EXPECT_EQ(manual->AdvisePass(), 25u);
    EXPECT_EQ(Drain({&soon, &edge, &later}), (std::vector<int>{1, 1, 0}));
    EXPECT_EQ((std::tuple{clock->Unadvise(c1), clock->Unadvise(c3), clock->Unadvise(424242)}),
              (std::tuple{S_FALSE, S_OK, S_FALSE})); // fired, pending, unknown
}

TEST(Clock, ReadingsUpTo49DaysApartAreRightAcrossTheTimerWrapAndAdvisesAfterThemWaitTheRightTime) {
    // A clock left unused that long, then read: past 2^31 ms, and just short of the 2^32 ms wrap.
    for (DWORD start : {1000u, 0xFFFF0000u})
        for (LONGLONG gapMs : {(1LL << 31) + 60000, (1LL << 32) - 60000}) {
            Signal wake, due;
            CAMSchedule schedule(wake.h);
            HRESULT hr = S_OK;
            auto* manual = new ManualClock(&hr, &schedule);
            ComPtr<IReferenceClock> clock(manual);
            ASSERT_EQ(hr, S_OK);
            manual->StartAt(start);
            REFERENCE_TIME first = 0, later = 0;
            clock->GetTime(&first);
            manual->now = static_cast<DWORD>(start + gapMs);
            EXPECT_EQ((std::tuple{clock->GetTime(&later), later - first}), (std::tuple{S_OK, gapMs * kMs}))
                << start << "+" << gapMs;
            DWORD_PTR cookie = 0;
            ASSERT_EQ(clock->AdviseTime(later, 1000 * kMs, reinterpret_cast<HEVENT>(due.h), &cookie), S_OK);
            EXPECT_EQ(manual->AdvisePass(), 1000u) << start << "+" << gapMs;
        }
}

TEST(Clock, AdviseRefusesBadTimesAndPeriods) {
    auto clock = NewClock();
    Signal event, semaphore(true);
    const auto refused = [&](REFERENCE_TIME t, REFERENCE_TIME d, bool periodic) {
        DWORD_PTR cookie = 77;
        const HRESULT hr = periodic ? clock->AdvisePeriodic(t, d, reinterpret_cast<HSEMAPHORE>(semaphore.h), &cookie)
                                    : clock->AdviseTime(t, d, reinterpret_cast<HEVENT>(event.h), &cookie);
        return hr == E_INVALIDARG && cookie == 0;
    };
    for (auto [base, stream] : {Times{0, 0}, Times{-5, 2}, Times{kMax, 1}, Times{-kMax - 1, -1}})
        EXPECT_TRUE(refused(base, stream, false)) << base << "+" << stream;
    for (auto [start, period] : {Times{100, 0}, Times{0, 10}, Times{kMax, 10}})
        EXPECT_TRUE(refused(start, period, true)) << start << "/" << period;
    EXPECT_EQ(clock->GetTime(nullptr), E_POINTER);
}

TEST(Clock, AdviseThreadSignalsInTimeAndManyClocksLeaveNoThreadHandleOrObjectBehind) {
    Signal event, semaphore(true);
    const auto advise = [&](IReferenceClock* clock, REFERENCE_TIME base, REFERENCE_TIME delay) {
        DWORD_PTR cookie = 0;
        return clock->AdviseTime(base, delay, reinterpret_cast<HEVENT>(event.h), &cookie);
    };
    {
        auto clock = NewClock(); // also loads what the first clock loads once per process
        REFERENCE_TIME now = 0, fired = 0;
        clock->GetTime(&now);
        DWORD_PTR periodic = 0;
        ASSERT_EQ(advise(clock.Get(), now, 20 * kMs), S_OK);
        ASSERT_EQ(WaitForSingleObject(event.h, 5000), WAIT_OBJECT_0);
        clock->GetTime(&fired);
        EXPECT_GE(fired, now + 19 * kMs); // not early by more than the millisecond it may be
        ASSERT_EQ(clock->AdvisePeriodic(fired + 5 * kMs, 5 * kMs, reinterpret_cast<HSEMAPHORE>(semaphore.h), &periodic), S_OK);
        for (int i = 0; i < 3; ++i)
            ASSERT_EQ(WaitForSingleObject(semaphore.h, 5000), WAIT_OBJECT_0) << i;
    }
    const LONG objects = CBaseObject::LiveObjectCount();
    const auto [threads, handles] = ThreadsAndHandles();
    ASSERT_GT(handles, 0);
    for (int i = 0; i < 50; ++i) { // wakes the advise thread once, and leaves one entry pending at release
        auto clock = NewClock();
        REFERENCE_TIME now = 0;
        clock->GetTime(&now);
        ASSERT_EQ(advise(clock.Get(), now, kMs), S_OK);
        ASSERT_EQ(WaitForSingleObject(event.h, 5000), WAIT_OBJECT_0);
        ASSERT_EQ(advise(clock.Get(), now, 1000 * kMs), S_OK);
    }
    const auto [threadsAfter, handlesAfter] = ThreadsAndHandles();
    EXPECT_EQ(CBaseObject::LiveObjectCount(), objects);
    EXPECT_LE(threadsAfter, threads);
    EXPECT_LE(handlesAfter, handles + 3); // a leak shows as a handle or more per clock
}
