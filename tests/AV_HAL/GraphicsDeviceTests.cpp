#include "AV_HAL/Direct3D11/GraphicsDevice.h"
#include "AV_HAL/Direct3D11/GraphicsQueue.h"
#include "AV_HAL/Direct3D11/VideoProcessor.h"
#include "log/Exceptions.h"
#include "log/Log.h"
#include "support/AllocationSeam.h"
#include "support/TempFolder.h"

#include <d3d11_1.h>
#include <d3d11_3.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
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

// R8 surfaces with the frame path's geometry (a 64x32 NV12 frame is 48 rows of 64 bytes) in a
// format whose copies Wine carries (it drops every copy between NV12 textures).
constexpr std::uint32_t kW = 64, kRows = 48;

std::vector<std::uint8_t> Rows(unsigned seed) {
    std::vector<std::uint8_t> bytes(kW * kRows);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 6));
    return bytes;
}

// The real Wine device. Without an X display (outside scripts/test) Wine has no Direct3D, and
// the tests that need it are skipped, loudly.
class RealDevice : public testing::Test {
protected:
    void SetUp() override {
        try {
            mDevice = std::make_shared<GraphicsDevice>();
        } catch (const ServiceUnavailableException& e) {
            if (GetEnvironmentVariableW(L"DISPLAY", nullptr, 0) == 0)
                GTEST_SKIP() << "no X display, so no Direct3D device under Wine: " << e.what();
            FAIL() << "display present but no device: " << e.what();
        }
        mQueue = mDevice->GetQueue();
        ASSERT_TRUE(mQueue);
    }

    static std::shared_ptr<Surface> R8(GraphicsDevice& device, UsageFlags usage,
                                       const std::vector<std::uint8_t>* initial = nullptr) {
        return device.CreateSurface2D("r8", usage, PixelFormat::R8, kW, kRows,
                                      initial ? initial->data() : nullptr, kW);
    }

    // Reads `cpu` back and compares it with `bytes`; a non-blocking lock may also map nothing.
    static void ExpectRows(IGraphicsQueue& queue, const std::shared_ptr<Surface>& cpu,
                           const std::vector<std::uint8_t>& bytes, std::uint32_t mode = LockRead) {
        auto locked = queue.Lock(cpu, mode, 0);
        if (!locked && (mode & LockDoNotWait))
            return;
        ASSERT_TRUE(locked && locked->data && locked->rowPitch >= kW);
        std::uint32_t row = 0;
        while (row < kRows &&
               std::memcmp(static_cast<std::uint8_t*>(locked->data) + std::size_t{row} * locked->rowPitch,
                           bytes.data() + row * kW, kW) == 0)
            ++row;
        queue.Unlock(cpu, 0);
        EXPECT_EQ(row, kRows) << "the first wrong row";
    }

    std::shared_ptr<GraphicsDevice> mDevice;
    std::shared_ptr<IGraphicsQueue> mQueue;
};

// Records the calls, so the order of closing the region and letting go shows.
struct RecordingAnnotation final : ID3DUserDefinedAnnotation {
    std::string calls;
    ULONG references = 0;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        const bool known = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ID3DUserDefinedAnnotation);
        *out = known ? this : nullptr;
        return known ? (AddRef(), S_OK) : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override {
        if (--references == 0)
            calls += "released";
        return references;
    }
    INT STDMETHODCALLTYPE BeginEvent(LPCWSTR) override { return 0; }
    INT STDMETHODCALLTYPE EndEvent() override { return calls += "end, ", 0; }
    void STDMETHODCALLTYPE SetMarker(LPCWSTR) override {}
    BOOL STDMETHODCALLTYPE GetStatus() override { return FALSE; }
};

} // namespace

TEST(AdapterOrder, HigherFeatureLevelThenMoreMemoryFirstAndEqualRanksAreEquivalent) {
    // Best first. Equal ranks must compare equivalent both ways, or the set's choice is undefined.
    const std::pair<AdapterInfo, int> ranked[] = {{Entry(L"small 12_0", 64, D3D_FEATURE_LEVEL_12_0), 0},
                                                  {Entry(L"big 11_1", 8192), 1},
                                                  {Entry(L"first twin", 4096), 2},
                                                  {Entry(L"second twin", 4096), 2},
                                                  {Entry(L"none", 0), 3},
                                                  {Entry(L"failed probe (level 0)", 8192, 0), 4}};
    const AdapterOrder less;
    for (const auto& [a, rankOfA] : ranked)
        for (const auto& [b, rankOfB] : ranked)
            EXPECT_EQ(less(a, b), rankOfA < rankOfB)
                << a.description.Description << " before " << b.description.Description;
}

TEST_F(RealDevice, AddressesWinesAdapterByItsIdentifierAndAnUnknownOneIsAMissingService) {
    const LUID luid = mDevice->Adapter().description.AdapterLuid;
    GraphicsDevice again((std::uint64_t{static_cast<std::uint32_t>(luid.HighPart)} << 32) | luid.LowPart);
    EXPECT_EQ(again.Adapter().description.AdapterLuid.LowPart, luid.LowPart);
    try {
        GraphicsDevice none(0x0123456789ABCDEFull);
        ADD_FAILURE() << "a device was made for an adapter that does not exist";
    } catch (const ServiceUnavailableException& e) {
        EXPECT_EQ(e.Code(), 7u);
    }
}

// Wine creates shared textures but has no ID3D11DeviceContext3: a copy into a shared surface then
// waits on an event query. It must end, deliver the bytes, and say so once per queue (not per copy).
TEST_F(RealDevice, SurfacesAreMadeAsAskedOrNotAtAllCarryKnownBytesAndLeaveNoReferenceOnTheDevice) {
    // A format the device cannot make, or a handle that opens nothing (a server gone), gives no
    // surface rather than half of one.
    EXPECT_TRUE(mDevice->CreateSurface2D("nv12", UsageFlags::CpuRead, PixelFormat::NV12, 64, 32, nullptr, 0));
    EXPECT_FALSE(
        mDevice->CreateSurface2D("bad", UsageFlags::RenderTarget, PixelFormat::Unknown, 64, 32, nullptr, 0));
    EXPECT_FALSE(mDevice->CreateSurface2D("no texture", UsageFlags::None, 0, 0));
    EXPECT_FALSE(mDevice->CreateSurface2D("bogus handle", UsageFlags::Shared, 0x1234, 0));

    static const Testing::TempFolder logs; // the log registry keeps its file until the end
    static const bool opened = Log::Open(kFilterLogName, logs / L"filter.log", 0);
    ASSERT_TRUE(opened);
    const auto saidSo = [&] { // the log's lines about the event query
        const std::string text = Testing::ReadFileBytes(logs / L"filter.log");
        std::size_t count = 0;
        for (auto at = text.find("event query"); at != std::string::npos;
             at = text.find("event query", at + 1))
            ++count;
        return count;
    };
    const std::size_t before = saidSo();
    // The sentinel start of the read-back surface keeps a dropped copy from passing for a good one.
    const auto bytes = Rows(3), sentinel = std::vector<std::uint8_t>(bytes.size(), 0xEE);
    mQueue.reset();
    for (std::size_t round = 1; round <= 2; ++round) { // the second with a device and queue of its own
        SCOPED_TRACE(round);
        auto device = round == 1 ? std::move(mDevice) : std::make_shared<GraphicsDevice>();
        ComPtr<ID3D11Device> d3d = device->Device();
        bool flush1 = false;
        {
            ComPtr<ID3D11DeviceContext> immediate;
            ComPtr<ID3D11DeviceContext3> context3;
            d3d->GetImmediateContext(&immediate);
            flush1 = SUCCEEDED(immediate.As(&context3));
            auto queue = device->GetQueue();
            auto source = R8(*device, UsageFlags::None, &bytes), shared = R8(*device, UsageFlags::Shared),
                 cpu = R8(*device, UsageFlags::CpuRead, &sentinel);
            ASSERT_TRUE(queue && source && shared && cpu);
            for (int i = 0; i < 3; ++i)
                queue->CopySurface(source, shared); // each waits for the GPU (a hang ends in the watchdog)
            queue->CopySurface(shared, cpu);
            ExpectRows(*queue, cpu, bytes);
            // Right after a copy a non-blocking lock either maps memory holding the frame or gives nothing.
            for (int i = 0; i < 20; ++i) {
                queue->CopySurface(shared, cpu);
                ExpectRows(*queue, cpu, bytes, LockRead | LockDoNotWait);
            }
            if (!flush1) {
                EXPECT_EQ(saidSo(), before + round);
            }

            // Views and a wrapped texture hold the device for a while too.
            auto target =
                device->CreateSurface2D("target", UsageFlags::RenderTarget | UsageFlags::ShaderResource,
                                        PixelFormat::RGBA8, 8, 8, nullptr, 0);
            ASSERT_TRUE(target);
            ASSERT_TRUE(device->CreateSurface2D("wrapped", UsageFlags::None,
                                                reinterpret_cast<std::uintptr_t>(cpu->Native()), 0));
            queue->PushRenderTarget(target);
            queue->Clear({0, 1, 0, 1});
            queue->PopRenderTarget();
        }
        device.reset();
        // Ours is the last reference: every texture, view, context and manager reference went back.
        EXPECT_EQ(d3d.Detach()->Release(), 0u);
    }
}

// Running out of memory at any allocation of a lock leaves the surface as the lock found it: the
// next lock maps it and reads its bytes. Before, the record was made after the map, and a failure
// there left the surface mapped with nothing to unlock it by, so every later lock of it failed.
TEST_F(RealDevice, ALockThatRunsOutOfMemoryLeavesTheSurfaceUnlocked) {
    const auto bytes = Rows(5);
    const auto cpu = R8(*mDevice, UsageFlags::CpuRead, &bytes);
    ASSERT_TRUE(cpu);
    long failures = 0;
    for (long nth = 1; nth < 100; ++nth) {
        SCOPED_TRACE(nth);
        bool failed = false;
        {
            Testing::FailingAllocation failing(nth);
            try {
                if (mQueue->Lock(cpu, LockRead, 0))
                    mQueue->Unlock(cpu, 0);
            } catch (const std::bad_alloc&) {
            }
            failed = failing.Disarm();
        }
        ExpectRows(*mQueue, cpu, bytes);
        if (!failed)
            break;
        ++failures;
    }
    EXPECT_GT(failures, 0) << "no allocation of the lock failed";
}

TEST_F(RealDevice, VideoProcessorWithoutVideoDeviceIsErrorFourteen) {
    const VideoDescription description{30, 1, 64, 32, PixelFormat::NV12, 30, 1, 32, 16, PixelFormat::YUY2};
    auto result = mDevice->CreateVideoProcessor("vp", description);
    if (mDevice->VideoDevice()) { // a real video engine: a processor or one of its documented codes
        EXPECT_TRUE(result || result.Error()->code == 26 || result.Error()->code == 27 ||
                    result.Error()->code == 36);
        return;
    }
    ASSERT_FALSE(result);
    EXPECT_EQ(result.Error()->code, 14u);
    auto none = VideoProcessor().Initialize(nullptr, description);
    ASSERT_TRUE(none);
    EXPECT_EQ(none->code, 14u);
}

TEST_F(RealDevice, EndEventClosesTheRegionBeforeReleasingTheAnnotation) {
    RecordingAnnotation annotation;
    mQueue->EndEvent(ComPtr<IUnknown>(&annotation)); // the only reference
    EXPECT_EQ(annotation.calls, "end, released");
    EXPECT_EQ(annotation.references, 0u); // let go of exactly once
    mQueue->EndEvent(nullptr);
}

TEST_F(RealDevice, ContextGuardKeepsOtherQueueCallsOutUntilItIsDropped) {
    auto guard = mQueue->LockContext();
    ASSERT_TRUE(guard && dynamic_cast<Direct3D11::LockedContext&>(*guard).Get());
    auto flushed = std::async(std::launch::async, [&] { mQueue->Flush(); });
    // Nothing can signal "still blocked": give the other thread time to get past the mutex if it
    // wrongly could. A guard that never lets go hangs below, and the watchdog reports it.
    EXPECT_EQ(flushed.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    guard.reset();
    flushed.get();
}
