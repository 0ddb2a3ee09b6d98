#include "AV_HAL/Direct3D11/Formats.h"
#include "AV_HAL/Direct3D11/GraphicsDevice.h"
#include "AV_HAL/Direct3D11/GraphicsQueue.h"
#include "AV_HAL/Direct3D11/VideoProcessor.h"
#include "log/Exceptions.h"
#include "log/Log.h"
#include "support/TempFolder.h"

#include <d3d11_1.h>
#include <d3d11_3.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

using Microsoft::WRL::ComPtr;
using namespace Zarvo;
using namespace Zarvo::HAL;
using namespace Zarvo::HAL::Direct3D11;

namespace {

AdapterInfo Entry(const wchar_t* name, SIZE_T memoryMiB, int level = D3D_FEATURE_LEVEL_11_1) {
    AdapterInfo info;
    info.featureLevel = static_cast<D3D_FEATURE_LEVEL>(level);
    info.description.DedicatedVideoMemory = memoryMiB << 20;
    wcsncpy(info.description.Description, name, 127);
    return info;
}

std::wstring NameOf(const AdapterInfo& info) {
    return info.description.Description;
}

} // namespace

TEST(AdapterOrder, HigherFeatureLevelThenMoreMemoryFirstAndTheEarlierOneOnATie) {
    // Best first. Equal ranks must compare equivalent both ways: the order must be strict and
    // weak, or the set's choice is undefined.
    const std::pair<AdapterInfo, int> ranked[] = {{Entry(L"small 12_0", 64, D3D_FEATURE_LEVEL_12_0), 0},
                                                  {Entry(L"big 11_1", 8192), 1},
                                                  {Entry(L"first twin", 4096), 2},
                                                  {Entry(L"second twin", 4096), 2},
                                                  {Entry(L"none", 0), 3},
                                                  {Entry(L"failed probe (level 0)", 8192, 0), 4}};
    const AdapterOrder less;
    for (const auto& [a, rankOfA] : ranked)
        for (const auto& [b, rankOfB] : ranked)
            EXPECT_EQ(less(a, b), rankOfA < rankOfB) << NameOf(a) << " before " << NameOf(b);
    for (const bool reversed : {false, true}) { // adapters enter in enumeration order
        const AdapterSet twins{ranked[2 + reversed].first, ranked[3 - reversed].first};
        EXPECT_EQ(NameOf(*twins.begin()), NameOf(ranked[2 + reversed].first));
    }
}

namespace {

// The real Wine device. Without an X display (outside scripts/test) Wine has no Direct3D, and
// the tests that need it are skipped, loudly.
class RealDevice : public testing::Test {
protected:
    void SetUp() override {
        try {
            mDevice = std::make_shared<GraphicsDevice>();
        } catch (const ServiceUnavailableException& e) {
            wchar_t display[256];
            if (GetEnvironmentVariableW(L"DISPLAY", display, 256) == 0)
                GTEST_SKIP() << "no X display, so no Direct3D device under Wine: " << e.what();
            FAIL() << "display present but no device: " << e.what();
        }
        mQueue = mDevice->GetQueue();
        ASSERT_TRUE(mQueue);
    }

    std::shared_ptr<GraphicsDevice> mDevice;
    std::shared_ptr<IGraphicsQueue> mQueue;
};

} // namespace

TEST_F(RealDevice, AddressesWinesAdapterByItsIdentifierAndAnUnknownOneIsAMissingService) {
    const LUID luid = mDevice->Adapter().description.AdapterLuid;
    EXPECT_GE(mDevice->Adapter().featureLevel, D3D_FEATURE_LEVEL_11_0);
    EXPECT_TRUE(mDevice->GetDeviceManager());
    GraphicsDevice again((std::uint64_t{static_cast<std::uint32_t>(luid.HighPart)} << 32) | luid.LowPart);
    EXPECT_EQ(again.Adapter().description.AdapterLuid.LowPart, luid.LowPart);
    EXPECT_TRUE(again.Device());
    try {
        GraphicsDevice none(0x0123456789ABCDEFull);
        ADD_FAILURE() << "a device was made for an adapter that does not exist";
    } catch (const ServiceUnavailableException& e) {
        EXPECT_EQ(e.Code(), 7u);
        EXPECT_STREQ(e.what(), "Service 'Direct3D Device' Is Not Available");
    }
}

// The bytes travel in R8, which has the frame path's geometry (a 64x32 NV12 frame is 48 rows of 64
// bytes) in a format whose copies Wine carries (it drops every copy between NV12 textures).
TEST_F(RealDevice, SurfacesAreMadeAsAskedOrNotAtAllCarryKnownBytesAndLeaveNoReferenceOnTheDevice) {
    ComPtr<ID3D11Device> d3d = mDevice->Device();
    {
        auto nv12 =
            mDevice->CreateSurface2D("nv12", UsageFlags::CpuRead, PixelFormat::NV12, 64, 32, nullptr, 0);
        ASSERT_TRUE(nv12);
        EXPECT_TRUE(nv12->format == PixelFormat::NV12 && nv12->width == 64 && nv12->height == 32);
        EXPECT_TRUE(nv12->shaderResourceViews.empty() && nv12->renderTargetViews.empty() &&
                    nv12->unorderedAccessViews.empty());
        // A format the device cannot make, or a handle that opens nothing (a server gone), gives
        // no surface rather than half of one.
        EXPECT_FALSE(mDevice->CreateSurface2D("bad", UsageFlags::RenderTarget, PixelFormat::Unknown, 64, 32,
                                              nullptr, 0));
        EXPECT_FALSE(mDevice->CreateSurface2D("no texture", UsageFlags::None, 0, 0));
        EXPECT_FALSE(mDevice->CreateSurface2D("bogus handle", UsageFlags::Shared, 0x1234, 0));

        constexpr std::uint32_t w = 64, rows = 48;
        std::vector<std::uint8_t> bytes(std::size_t{w} * rows);
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<std::uint8_t>(3 + i * 7 + (i >> 6));
        auto rowOf = [](const LockedResource& locked, std::uint32_t row) {
            return static_cast<std::uint8_t*>(locked.data) + std::size_t{row} * locked.rowPitch;
        };
        auto expectFrame = [&](const LockedResource& locked) {
            ASSERT_TRUE(locked.data);
            ASSERT_GE(locked.rowPitch, w);
            for (std::uint32_t row = 0; row < rows; ++row)
                ASSERT_EQ(std::memcmp(rowOf(locked, row), bytes.data() + std::size_t{row} * w, w), 0) << row;
        };
        // Known bytes go up through a write lock into the DEFAULT surface; the read-back surface
        // starts as a sentinel, so a dropped copy cannot pass for a good one.
        const std::vector<std::uint8_t> sentinel(bytes.size(), 0xEE);
        auto upload =
            mDevice->CreateSurface2D("upload", UsageFlags::CpuRead, PixelFormat::R8, w, rows, nullptr, 0);
        auto gpu = mDevice->CreateSurface2D("gpu", UsageFlags::None, PixelFormat::R8, w, rows, nullptr, 0);
        auto cpu = mDevice->CreateSurface2D("cpu", UsageFlags::CpuRead, PixelFormat::R8, w, rows,
                                            sentinel.data(), w);
        ASSERT_TRUE(upload && gpu && cpu);
        auto writing = mQueue->Lock(upload, LockWrite, 0);
        ASSERT_TRUE(writing);
        for (std::uint32_t row = 0; row < rows; ++row)
            std::memcpy(rowOf(*writing, row), bytes.data() + std::size_t{row} * w, w);
        mQueue->Unlock(upload, 0);
        mQueue->CopySurface(upload, gpu);
        mQueue->CopySurface(gpu, cpu);
        auto locked = mQueue->Lock(cpu, LockRead, 0);
        ASSERT_TRUE(locked);
        expectFrame(*locked);
        mQueue->Unlock(cpu, 0);
        // Right after a copy a non-blocking lock either maps memory holding the frame or gives nothing.
        for (int i = 0; i < 20; ++i) {
            mQueue->CopySurface(gpu, cpu);
            if (auto quick = mQueue->Lock(cpu, LockRead | LockDoNotWait, 0)) {
                expectFrame(*quick);
                mQueue->Unlock(cpu, 0);
            }
        }

        // Views and a wrapped texture hold the device for a while too.
        auto target =
            mDevice->CreateSurface2D("target", UsageFlags::RenderTarget | UsageFlags::ShaderResource,
                                     PixelFormat::RGBA8, 8, 8, nullptr, 0);
        ASSERT_TRUE(target);
        ASSERT_TRUE(mDevice->CreateSurface2D("wrapped", UsageFlags::None,
                                             reinterpret_cast<std::uintptr_t>(cpu->Native()), 0));
        mQueue->PushRenderTarget(target);
        mQueue->Clear({0, 1, 0, 1});
        mQueue->PopRenderTarget();
    }
    mQueue.reset();
    mDevice.reset();
    // Ours is the last reference: every texture, view, context and manager reference went back.
    EXPECT_EQ(d3d.Detach()->Release(), 0u);
}

namespace {

// The filter's log, opened once for the program: the registry keeps its file until the end.
const std::wstring& FilterLog() {
    static const Testing::TempFolder logs;
    static const std::wstring path = logs / L"filter.log";
    static const bool opened = Log::Open(kFilterLogName, path, 0);
    EXPECT_TRUE(opened);
    return path;
}

std::size_t Occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

} // namespace

// Wine creates shared textures but has no ID3D11DeviceContext3: a copy into a shared surface then
// waits on an event query. It must end, deliver the bytes, and say so once per queue.
TEST_F(RealDevice, CopiesIntoASharedSurfaceWaitOnAnEventQueryWithoutFlush1AndSaySoOncePerQueue) {
    ComPtr<ID3D11DeviceContext> immediate;
    mDevice->Device()->GetImmediateContext(&immediate);
    ComPtr<ID3D11DeviceContext3> context3;
    if (SUCCEEDED(immediate.As(&context3)))
        GTEST_SKIP() << "this device offers Flush1: the event-query fallback is not taken here";
    const std::string line =
        "[CopySurface] ID3D11DeviceContext3 not offered: waiting on an event query instead of Flush1\r\n";
    const std::size_t before = Occurrences(Testing::ReadFileBytes(FilterLog()), line);
    constexpr std::uint32_t w = 64, rows = 48;
    std::vector<std::uint8_t> bytes(std::size_t{w} * rows), sentinel(bytes.size(), 0xEE);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(11 + i * 5 + (i >> 6));
    auto device = mDevice;
    for (int queueNumber = 1; queueNumber <= 2; ++queueNumber) {
        SCOPED_TRACE(queueNumber);
        auto queue = device->GetQueue();
        auto source = device->CreateSurface2D("source", UsageFlags::None, PixelFormat::R8, w, rows, bytes.data(), w);
        auto shared = device->CreateSurface2D("shared", UsageFlags::Shared, PixelFormat::R8, w, rows, nullptr, 0);
        auto cpu = device->CreateSurface2D("cpu", UsageFlags::CpuRead, PixelFormat::R8, w, rows, sentinel.data(), w);
        ASSERT_TRUE(queue && source && shared && cpu);
        for (int i = 0; i < 3; ++i)
            queue->CopySurface(source, shared); // each waits for the GPU (a hang ends in the watchdog)
        queue->CopySurface(shared, cpu);
        auto locked = queue->Lock(cpu, LockRead, 0);
        ASSERT_TRUE(locked && locked->data);
        for (std::uint32_t row = 0; row < rows; ++row)
            ASSERT_EQ(std::memcmp(static_cast<std::uint8_t*>(locked->data) + std::size_t{row} * locked->rowPitch,
                                  bytes.data() + std::size_t{row} * w, w),
                      0)
                << row;
        queue->Unlock(cpu, 0);
        EXPECT_EQ(Occurrences(Testing::ReadFileBytes(FilterLog()), line), before + queueNumber);
        if (queueNumber == 1)
            device = std::make_shared<GraphicsDevice>(); // the second round: a device and queue of its own
    }
}

TEST_F(RealDevice, VideoProcessorWithoutVideoDeviceIsErrorFourteenAndLogged) {
    const VideoDescription description{30, 1, 64, 32, PixelFormat::NV12, 30, 1, 32, 16, PixelFormat::YUY2};
    const std::wstring& log = FilterLog();
    auto result = mDevice->CreateVideoProcessor("vp", description);
    if (mDevice->VideoDevice()) {
        // A real video engine: either a processor or one of its documented codes.
        EXPECT_TRUE(result || result.Error()->code == 26 || result.Error()->code == 27 ||
                    result.Error()->code == 36);
        return;
    }
    ASSERT_FALSE(result);
    EXPECT_EQ(result.Error()->code, 14u);
    EXPECT_EQ(result.Error()->file, "VideoProcessor");
    EXPECT_NE(Testing::ReadFileBytes(log).find("ID3D11VideoDevice not offered"), std::string::npos);
    auto none = VideoProcessor().Initialize(nullptr, description);
    ASSERT_TRUE(none);
    EXPECT_EQ(none->code, 14u);
}

namespace {

// Records what it is asked to do, so the order of closing the region and releasing shows.
class RecordingAnnotation final : public ID3DUserDefinedAnnotation {
public:
    explicit RecordingAnnotation(std::vector<std::string>& calls) : mCalls(calls) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        const bool known = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ID3DUserDefinedAnnotation);
        *out = known ? static_cast<ID3DUserDefinedAnnotation*>(this) : nullptr;
        return known ? (AddRef(), S_OK) : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++mReferences; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --mReferences;
        if (left == 0) {
            mCalls.push_back("released");
            delete this;
        }
        return left;
    }
    INT STDMETHODCALLTYPE BeginEvent(LPCWSTR) override { return mCalls.push_back("begin"), 0; }
    INT STDMETHODCALLTYPE EndEvent() override { return mCalls.push_back("end"), 0; }
    void STDMETHODCALLTYPE SetMarker(LPCWSTR) override {}
    BOOL STDMETHODCALLTYPE GetStatus() override { return FALSE; }

private:
    std::vector<std::string>& mCalls;
    std::atomic<ULONG> mReferences{0};
};

} // namespace

TEST_F(RealDevice, EndEventClosesTheRegionBeforeReleasingTheAnnotation) {
    std::vector<std::string> calls;
    ComPtr<IUnknown> annotation = static_cast<ID3DUserDefinedAnnotation*>(new RecordingAnnotation(calls));
    mQueue->EndEvent(std::move(annotation)); // the only reference
    // Closed once, and the reference handed over was dropped exactly once.
    EXPECT_EQ(calls, (std::vector<std::string>{"end", "released"}));
    mQueue->EndEvent(nullptr);
}

TEST_F(RealDevice, ContextGuardKeepsOtherQueueCallsOutUntilItIsDropped) {
    auto guard = mQueue->LockContext();
    ASSERT_TRUE(guard);
    auto* d3d = dynamic_cast<Direct3D11::LockedContext*>(guard.get());
    ASSERT_TRUE(d3d && d3d->Get());
    std::promise<void> flushed;
    auto done = flushed.get_future();
    std::thread other([&] {
        mQueue->Flush();
        flushed.set_value();
    });
    // Nothing can signal "still blocked": give the other thread time to get past the mutex if
    // it wrongly could. A broken guard fails here; a working one never does. A guard that never
    // lets go hangs below, and the test program's watchdog reports it.
    EXPECT_EQ(done.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    guard.reset();
    done.wait();
    other.join();
}
