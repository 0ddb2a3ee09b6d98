// The frame client against a device double (the platform cannot share textures here), real
// media samples from the platform's memory allocator and frame channels of the test's own names.

#include "webcam/WebcamFrameClient.h"

#include "log/Exceptions.h"
#include "log/Log.h"
#include "log/Text.h"
#include "server/Pattern.h"
#include "support/TempFolder.h"
#include "webcam/FrameChannel.h"
#include "webcam/PixelConversion.h"

#include <gtest/gtest.h>

#include <dshow.h>
#include <windows.h>
#include <wrl/client.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;
using namespace Zarvo;
using namespace Zarvo::HAL;

namespace {

const auto kScalar = PixelKernels::Isa::Scalar;

std::string FilterLogText() {
    static Zarvo::Testing::TempFolder folder;
    static const std::wstring path = folder / L"filter.log";
    static const bool opened = Log::Open(kFilterLogName, path, 0);
    return opened ? Zarvo::Testing::ReadFileBytes(path) : std::string();
}

std::size_t CountOf(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++count;
    return count;
}

bool AllBytesAre(const std::vector<std::uint8_t>& bytes, std::uint8_t value) {
    return std::all_of(bytes.begin(), bytes.end(), [value](std::uint8_t b) { return b == value; });
}

// NV12 bytes without a short period, so a wrong row pitch cannot reproduce them by chance.
std::vector<std::uint8_t> PatternNv12(std::uint32_t pitch, std::uint32_t height, std::uint8_t seed) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(pitch) * height * 3 / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(((i + 1) * 2654435761u) >> 24 ^ seed);
    return bytes;
}

// What the double saw and how it fails, shared with the test after the client is gone.
struct DeviceRecord {
    std::vector<std::string> destroyed;
    int copies = 0, locks = 0, unlocks = 0;
    std::uint32_t lastLockMode = 0;
    std::uint64_t openedHandle = 0;
    bool cpuCreateFails = false, gpuOpenFails = false, lockFails = false;
    PixelFormat gpuFormat = PixelFormat::NV12;
    std::uint32_t pitch = 0, gpuWidth = 0; // 0: the destination's width
};

struct FakeSurface : Surface {
    FakeSurface(DeviceRecord& r, std::string surfaceName) : Surface(nullptr, nullptr), record(r) {
        name = std::move(surfaceName);
    }
    ~FakeSurface() override { record.destroyed.push_back(name); }
    DeviceRecord& record;
    std::vector<std::uint8_t> bytes;
    std::uint32_t pitch = 0;
};

// The slots the client never uses: each does nothing and makes nothing.
template <class T> T Nothing() {
    return T();
}
#define NULL_SLOT(Type, Name, ...)                                                                           \
    Type Name(__VA_ARGS__) override {                                                                        \
        return Nothing<Type>();                                                                              \
    }
using S = std::string;
using U = std::uint32_t;
template <class T> using P = std::shared_ptr<T>;
// clang-format off
struct NullQueue : IGraphicsQueue {
    NULL_SLOT(ComPtr<IUnknown>, BeginEvent, const S&) NULL_SLOT(void, EndEvent, ComPtr<IUnknown>)
    NULL_SLOT(void, Flush) NULL_SLOT(void, FlushAndReset) NULL_SLOT(void, PopViewport) NULL_SLOT(void, PopRenderTarget)
    NULL_SLOT(void, PushViewport, const ViewportRect&) NULL_SLOT(void, PushRenderTarget, P<Surface>)
    NULL_SLOT(void, Clear, const std::array<float, 4>&) NULL_SLOT(void, ResizeSwapChain, P<SwapChain>)
    NULL_SLOT(void, Present, P<SwapChain>) NULL_SLOT(void, SetInputLayout, P<InputLayout>)
    NULL_SLOT(void, SetVertexShader, P<Shader>) NULL_SLOT(void, SetPixelShader, P<Shader>)
    NULL_SLOT(void, SetComputeShader, P<Shader>) NULL_SLOT(void, Draw, P<Geometry>) NULL_SLOT(void, Dispatch, U, U, U)
    NULL_SLOT(void, SetVertexUniforms, P<UniformBuffer>, U) NULL_SLOT(void, SetPixelUniforms, P<UniformBuffer>, U)
    NULL_SLOT(void, SetComputeUniforms, P<UniformBuffer>, U) NULL_SLOT(void, SetVertexSampler, P<Sampler>, U)
    NULL_SLOT(void, SetPixelSampler, P<Sampler>, U) NULL_SLOT(void, SetComputeSampler, P<Sampler>, U)
    NULL_SLOT(void, SetBlendConfig, P<BlendConfig>) NULL_SLOT(void, SetVertexTexture, P<Surface>, U)
    NULL_SLOT(void, SetPixelTexture, P<Surface>, U) NULL_SLOT(void, SetComputeTexture, P<Surface>, U)
    NULL_SLOT(void, SetComputeOutput, P<Surface>, U) NULL_SLOT(std::unique_ptr<LockedContext>, LockContext)
    NULL_SLOT(void, ProcessVideo, P<IVideoProcessor>, P<Surface>, P<Surface>)
};
struct NullDevice : IGraphicsDevice {
    NULL_SLOT(P<SwapChain>, CreateSwapChain, S, PixelFormat, U, U, U, void*)
    NULL_SLOT(P<SwapChain>, CreateSwapChain, S, PixelFormat, U, void*)
    NULL_SLOT(P<InputLayout>, CreateInputLayout, S, const void*, std::size_t)
    NULL_SLOT(P<Shader>, CreateVertexShader, S, const void*, std::size_t)
    NULL_SLOT(P<Shader>, CreatePixelShader, S, const void*, std::size_t)
    NULL_SLOT(P<Shader>, CreateComputeShader, S, const void*, std::size_t)
    NULL_SLOT(P<UniformBuffer>, CreateUniformBuffer, S, U, const void*)
    NULL_SLOT(P<Geometry>, CreateGeometry, S, U, U, const void*) NULL_SLOT(P<Sampler>, CreateSampler, S, U, U)
    NULL_SLOT(P<BlendConfig>, CreateBlendConfig, S, U, U, U, U, U, U) NULL_SLOT(P<Resource>, CreateReserved, S)
    NULL_SLOT(P<Surface>, CreateSurfaceFromSwapChain, S, P<SwapChain>)
    NULL_SLOT(P<Surface>, CreateSurfaceCube, S, UsageFlags, PixelFormat, U)
    NULL_SLOT(std::uint64_t, GetSharedHandle, IUnknown*) NULL_SLOT(IUnknown*, GetDeviceManager)
    void ReleaseNative(IUnknown*) noexcept override {}
    Result<P<IVideoProcessor>> CreateVideoProcessor(S, const VideoDescription&) override {
        return MakeErrorRecord(14, "NullDevice", __LINE__);
    }
};
// clang-format on
#undef NULL_SLOT

// Surfaces of byte vectors: the shared texture holds PatternNv12(seed 3), a fresh CPU surface zeros.
class FakeDevice final : public NullDevice,
                         public NullQueue,
                         public std::enable_shared_from_this<FakeDevice> {
public:
    FakeDevice(DeviceRecord& record, U width, U height) : mRecord(record), mWidth(width), mHeight(height) {}
    ~FakeDevice() override { mRecord.destroyed.push_back("device"); }

    P<Surface> CreateSurface2D(S name, UsageFlags usage, PixelFormat format, U width, U height, const void*,
                               U) override {
        if (mRecord.cpuCreateFails || usage != UsageFlags::CpuRead)
            return {};
        return Make(std::move(name), format, width, height, 0);
    }
    P<Surface> CreateSurface2D(S name, UsageFlags usage, std::uint64_t native, U) override {
        mRecord.openedHandle = native;
        if (mRecord.gpuOpenFails || usage != UsageFlags::Shared)
            return {};
        return Make(std::move(name), mRecord.gpuFormat, mRecord.gpuWidth ? mRecord.gpuWidth : mWidth, mHeight,
                    3);
    }
    P<IGraphicsQueue> GetQueue() override { return {shared_from_this(), this}; }

    void CopySurface(P<Surface> source, P<Surface> destination, std::optional<Region>) override {
        ++mRecord.copies;
        auto *from = static_cast<FakeSurface*>(source.get()),
             *to = static_cast<FakeSurface*>(destination.get());
        // Like the GPU's whole-resource copy: nothing happens between surfaces that differ.
        if (from->format == to->format && from->width == to->width && from->height == to->height)
            to->bytes = from->bytes;
    }
    P<LockedResource> Lock(P<Surface> surface, U mode, U) override {
        ++mRecord.locks;
        mRecord.lastLockMode = mode;
        auto* fake = static_cast<FakeSurface*>(surface.get());
        return mRecord.lockFails
                   ? nullptr
                   : std::make_shared<LockedResource>(LockedResource{fake->bytes.data(), fake->pitch});
    }
    void Unlock(P<Surface>, U) override { ++mRecord.unlocks; }

private:
    P<Surface> Make(S name, PixelFormat format, U width, U height, std::uint8_t seed) {
        auto surface = std::make_shared<FakeSurface>(mRecord, std::move(name));
        surface->format = format, surface->width = width, surface->height = height;
        surface->pitch = mRecord.pitch ? mRecord.pitch : width;
        surface->bytes = PatternNv12(surface->pitch, height, seed);
        if (seed == 0)
            std::fill(surface->bytes.begin(), surface->bytes.end(), std::uint8_t{0});
        return surface;
    }
    DeviceRecord& mRecord;
    U mWidth, mHeight;
};

struct ComScope {
    ComScope() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    ~ComScope() { CoUninitialize(); }
};

// Real samples of a given buffer size from the platform's allocator.
class Samples {
public:
    explicit Samples(long size) {
        EXPECT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER,
                                                  IID_PPV_ARGS(&mAllocator)));
        ALLOCATOR_PROPERTIES wanted{1, size, 1, 0}, actual{};
        EXPECT_HRESULT_SUCCEEDED(mAllocator->SetProperties(&wanted, &actual));
        EXPECT_HRESULT_SUCCEEDED(mAllocator->Commit());
    }
    ~Samples() { mAllocator->Decommit(); }

    // Has the client fill a sample of `fill` bytes, length 17, a sync point with times 5..6; checks
    // it comes back without sync point and with times 0; answers all its bytes.
    std::vector<std::uint8_t> Fill(WebcamFrameClient& client, std::uint8_t fill = 0xEE,
                                   long* length = nullptr) {
        ComPtr<IMediaSample> sample;
        EXPECT_HRESULT_SUCCEEDED(mAllocator->GetBuffer(&sample, nullptr, nullptr, 0));
        BYTE* buffer = nullptr;
        sample->GetPointer(&buffer);
        std::memset(buffer, fill, static_cast<std::size_t>(sample->GetSize()));
        REFERENCE_TIME start = 5, stop = 6;
        sample->SetActualDataLength(17), sample->SetSyncPoint(TRUE), sample->SetTime(&start, &stop);
        EXPECT_TRUE(client.FillSample(sample.Get()));
        EXPECT_EQ(sample->IsSyncPoint(), S_FALSE);
        EXPECT_HRESULT_SUCCEEDED(sample->GetTime(&start, &stop));
        EXPECT_TRUE(start == 0 && stop == 0) << start << ".." << stop;
        if (length)
            *length = sample->GetActualDataLength();
        return {buffer, buffer + sample->GetSize()};
    }

private:
    ComPtr<IMemAllocator> mAllocator;
};

// A frame channel name of this program's own; nothing is published under it unless a test does.
std::wstring ChannelName() {
    static int counter = 0;
    return L"Zarvo/Tests/FrameClient/" + std::to_wstring(GetCurrentProcessId()) + L"/" +
           std::to_wstring(++counter);
}

// A client sized and initialised against the double, or against no device at all when `record` is null.
struct Fixture {
    Fixture(DeviceRecord* record, U width, U height, const GUID& subtype = MEDIASUBTYPE_YUY2,
            const std::wstring& channel = ChannelName())
        : client(
              [record, width, height]() -> std::shared_ptr<IGraphicsDevice> {
                  if (!record)
                      throw ServiceUnavailableException(L"Direct3D Device");
                  return std::make_shared<FakeDevice>(*record, width, height);
              },
              channel) {
        client.SetDestinationSize(width, height, subtype);
        try {
            error = client.Initialize(0x1234);
        } catch (const ServiceUnavailableException&) {
            threw = true;
        }
    }
    WebcamFrameClient client;
    ErrorRecordPtr error;
    bool threw = false;
};

// A frame channel the test publishes the server's pattern into.
struct Channel {
    Channel(U w, U h, std::wstring channelName = ChannelName())
        : name(std::move(channelName)), width(w), height(h) {
        std::string whyNot;
        EXPECT_TRUE(writer.Open(name, width, height, whyNot)) << whyNot;
    }
    std::vector<std::uint8_t> Frame(std::uint64_t number) const {
        std::vector<std::uint8_t> frame(Server::PatternFrameBytes(height, width));
        Server::DrawPatternNV12(width, height, number, frame.data(), width);
        return frame;
    }
    void Publish(std::uint64_t number) { writer.Publish(Frame(number).data(), width, number); }
    // Frame `number` as the scalar reference converts it with `kernel`.
    std::vector<std::uint8_t> Expected(PixelKernels::Kernel kernel, std::uint64_t bytes,
                                       std::uint64_t number) const {
        std::vector<std::uint8_t> out(bytes);
        kernel(width, Frame(number).data(), width, height, out.data());
        return out;
    }
    std::wstring name;
    U width, height;
    FrameChannel::Writer writer;
};

} // namespace

// Pitch padding is skipped, odd sizes leave the last column pair and row unwritten, nothing past
// the frame is touched, every sample takes at least 10 ms, and the surfaces go before the device.
TEST(FrameClient, DeliversTheTextureConvertedIntoEachSubtype) {
    ComScope com;
    const auto before = FilterLogText().size();
    const struct {
        const GUID* subtype;
        PixelKernels::Kernel reference;
        std::uint32_t width, height, pitch;
        std::uint64_t bytes;
    } cases[] = {
        {&MEDIASUBTYPE_YUY2, PixelKernels::Nv12ToYuy2(kScalar), 1280, 720, 1536, 1'843'200},
        {&MEDIASUBTYPE_NV12, PixelKernels::Nv12ToNv12(kScalar), 1280, 720, 1536, 1'382'400},
        {&MEDIASUBTYPE_IYUV, PixelKernels::Nv12ToIyuv(kScalar), 1280, 720, 1536, 1'382'400},
        {&MEDIASUBTYPE_YUY2, PixelKernels::Nv12ToYuy2(kScalar), 7, 5, 7, 70},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.width);
        DeviceRecord record;
        record.pitch = c.pitch;
        {
            Fixture f(&record, c.width, c.height, *c.subtype);
            ASSERT_EQ(f.error, nullptr);
            EXPECT_EQ(record.openedHandle, 0x1234u);
            EXPECT_EQ(f.client.FrameBytes(), c.bytes);
            // The scalar reference leaves the sample's 0xEE where nothing may be written.
            std::vector<std::uint8_t> expected(c.bytes + 64, 0xEE);
            c.reference(c.pitch, PatternNv12(c.pitch, c.height, 3).data(), c.width, c.height,
                        expected.data());
            Samples samples(static_cast<long>(c.bytes) + 64);
            long length = 0;
            const auto start = std::chrono::steady_clock::now();
            EXPECT_TRUE(samples.Fill(f.client, 0xEE, &length) == expected);
            EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(10));
            EXPECT_EQ(length, static_cast<long>(c.bytes));
            EXPECT_EQ((std::array{record.copies, record.locks, record.unlocks}), (std::array{1, 1, 1}));
            EXPECT_EQ(record.lastLockMode, static_cast<std::uint32_t>(LockRead));
        }
        EXPECT_EQ(record.destroyed,
                  (std::vector<std::string>{"Client GPU Surface", "Client CPU Surface", "device"}));
    }
    const std::string log = FilterLogText().substr(before);
    EXPECT_EQ(CountOf(log, "[Initialize] frame source: GPU texture"), 4u) << log;
    EXPECT_EQ(log.find("frame channel"), std::string::npos) << log; // a texture that serves needs no channel
}

// Each failure still delivers every sample, without timing: a sample untouched (0x5A, length 17)
// or the CPU surface's zeros (a fresh texture), with the double's counts as they must be.
TEST(FrameClient, FailuresStillDeliverEverySampleWithoutTiming) {
    ComScope com;
    constexpr U kWidth = 64, kHeight = 32;
    constexpr long kBytes = kWidth * kHeight * 2;
    const struct {
        const char* what;
        std::function<void(DeviceRecord&)> setUp; // null: no device
        long sampleBytes;
        bool error; // code 8; no device: an exception
        std::uint8_t content;
        long length;
        std::array<int, 4> opened_copies_locks_unlocks;
    } cases[] = {
        // No GPU surface is attempted.
        {"no CPU surface",
         [](DeviceRecord& r) { r.cpuCreateFails = true; },
         kBytes,
         true,
         0x5A,
         17,
         {0, 0, 0, 0}},
        {"no GPU surface",
         [](DeviceRecord& r) { r.gpuOpenFails = true; },
         kBytes,
         true,
         0,
         kBytes,
         {1, 0, 2, 2}},
        // Nothing is unlocked that was never mapped.
        {"failed lock", [](DeviceRecord& r) { r.lockFails = true; }, kBytes, false, 0x5A, 17, {1, 2, 2, 0}},
        {"texture of another size",
         [](DeviceRecord& r) { r.gpuWidth = kWidth * 2; },
         kBytes,
         false,
         0,
         kBytes,
         {1, 2, 2, 2}},
        // Never overrun; every lock given back.
        {"sample too small", [](DeviceRecord&) {}, kBytes - 1, false, 0x5A, 17, {1, 2, 2, 2}},
        {"no device", nullptr, kBytes, true, 0x5A, 17, {0, 0, 0, 0}},
    };
    const auto before = FilterLogText().size();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DeviceRecord record;
        if (c.setUp)
            c.setUp(record);
        Fixture f(c.setUp ? &record : nullptr, kWidth, kHeight);
        EXPECT_EQ(f.threw, !c.setUp);
        EXPECT_EQ(f.error ? f.error->code : 0u, c.error && c.setUp ? 8u : 0u);
        Samples samples(c.sampleBytes);
        for (int i = 0; i < 2; ++i) {
            long length = 0;
            EXPECT_TRUE(AllBytesAre(samples.Fill(f.client, 0x5A, &length), c.content));
            EXPECT_EQ(length, c.length);
        }
        EXPECT_EQ((std::array{int(record.openedHandle != 0), record.copies, record.locks, record.unlocks}),
                  c.opened_copies_locks_unlocks);
    }
    const std::string log = FilterLogText().substr(before);
    EXPECT_EQ(CountOf(log, "ERROR: shared texture is not NV12 at 64,32"), 1u) << log;
    EXPECT_EQ(CountOf(log, "cannot hold a frame of 4096 bytes"), 1u) << log; // once per client
}

// Wherever the texture cannot serve, the samples are the channel's newest frame, and the log says so.
TEST(FrameClient, FallsBackToTheFrameChannelWhereTheTextureCannotServe) {
    ComScope com;
    constexpr std::uint32_t kWidth = 160, kHeight = 90; // the channel's rows are 192 bytes apart
    const struct {
        const char* what;
        std::function<void(DeviceRecord&)> setUp; // null: no device at all
        const GUID* subtype;
        PixelKernels::Kernel reference;
        std::uint64_t bytes;
    } cases[] = {
        {"no texture", [](DeviceRecord& r) { r.gpuOpenFails = true; }, &MEDIASUBTYPE_YUY2,
         PixelKernels::Nv12ToYuy2(kScalar), kWidth * kHeight * 2},
        {"no texture, NV12", [](DeviceRecord& r) { r.gpuOpenFails = true; }, &MEDIASUBTYPE_NV12,
         PixelKernels::Nv12ToNv12(kScalar), kWidth * kHeight * 3 / 2},
        {"texture of another size, IYUV", [](DeviceRecord& r) { r.gpuWidth = kWidth * 2; },
         &MEDIASUBTYPE_IYUV, PixelKernels::Nv12ToIyuv(kScalar), kWidth * kHeight * 3 / 2},
        {"texture in another format", [](DeviceRecord& r) { r.gpuFormat = PixelFormat::YUY2; },
         &MEDIASUBTYPE_YUY2, PixelKernels::Nv12ToYuy2(kScalar), kWidth * kHeight * 2},
        {"no CPU surface", [](DeviceRecord& r) { r.cpuCreateFails = true; }, &MEDIASUBTYPE_YUY2,
         PixelKernels::Nv12ToYuy2(kScalar), kWidth * kHeight * 2},
        {"no device", nullptr, &MEDIASUBTYPE_YUY2, PixelKernels::Nv12ToYuy2(kScalar), kWidth * kHeight * 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Channel channel(kWidth, kHeight);
        channel.Publish(7);
        const auto before = FilterLogText().size();
        DeviceRecord record;
        if (c.setUp)
            c.setUp(record);
        Fixture f(c.setUp ? &record : nullptr, kWidth, kHeight, *c.subtype, channel.name);
        EXPECT_EQ(f.error, nullptr);
        const std::string log = FilterLogText().substr(before);
        EXPECT_EQ(CountOf(log, "[Initialize] frame source: shared memory"), 1u) << log;
        EXPECT_EQ(CountOf(log, "GPU texture") + CountOf(log, "ERROR: frame channel"), 0u) << log;

        Samples samples(static_cast<long>(c.bytes) + 32);
        for (std::uint64_t number : {7u, 8u}) {
            if (number == 8)
                channel.Publish(8); // the client follows the newest frame
            long length = 0;
            auto all = samples.Fill(f.client, 0xEE, &length);
            EXPECT_EQ(length, static_cast<long>(c.bytes));
            EXPECT_TRUE(AllBytesAre({all.begin() + static_cast<long>(c.bytes), all.end()}, 0xEE));
            all.resize(c.bytes);
            EXPECT_EQ(all, channel.Expected(c.reference, c.bytes, number)) << number;
        }
        EXPECT_EQ(record.copies + record.locks, 0); // the texture path is not taken at all
    }

    // A slot stuck in the middle of a write (a writer that overtook every attempt): no part-frame
    // goes out, the sample says it carries nothing; once the slot is whole again, it does.
    DeviceRecord record;
    record.gpuOpenFails = true;
    Channel channel(kWidth, kHeight);
    channel.Publish(3);
    Fixture f(&record, kWidth, kHeight, MEDIASUBTYPE_YUY2, channel.name);
    auto* header = channel.writer.Header();
    auto& sequence = reinterpret_cast<FrameChannel::SlotHeader*>(reinterpret_cast<std::uint8_t*>(header) +
                                                                 header->slotOffset)
                         ->sequence;
    Samples samples(kWidth * kHeight * 2);
    for (const long expected : {0l, static_cast<long>(kWidth * kHeight * 2)}) {
        ++sequence;
        long length = -1;
        samples.Fill(f.client, 0xEE, &length);
        EXPECT_EQ(length, expected);
    }
}

// A channel that is missing or malformed changes nothing: one Error line naming the fault, and
// the samples and answers of a client without a channel.
TEST(FrameClient, RefusesAMalformedFrameChannelWithOneErrorLineAndKeepsTheOldBehaviour) {
    ComScope com;
    constexpr std::uint32_t kWidth = 64, kHeight = 32;
    using FrameChannel::ChannelHeader;
    const struct {
        std::string reason;
        std::function<void(ChannelHeader&)> spoil; // null: nothing published under the name
        std::uint32_t channelWidth = kWidth;
    } cases[] = {
        {"no section", nullptr},
        {"magic 0x12345678, expected 0x4346565A", [](ChannelHeader& h) { h.magic = 0x12345678; }},
        {"version 2, expected 1", [](ChannelHeader& h) { h.version = 2; }},
        {"pixel format 0x32595559, expected NV12 0x3231564E",
         [](ChannelHeader& h) { h.pixelFormat = 0x32595559; }},
        {"frames of 128,32, expected 64,32", [](ChannelHeader&) {}, kWidth * 2},
        {"row pitch 60 for a width of 64", [](ChannelHeader& h) { h.rowPitch = 60; }},
        {"slot count 9, expected 2 to 4", [](ChannelHeader& h) { h.slotCount = 9; }},
        {"slots end at byte 24704, beyond the section's 12288",
         [](ChannelHeader& h) { h.slotStride = 8192; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        Channel channel(c.channelWidth, kHeight);
        channel.Publish(1);
        const std::wstring name = c.spoil ? channel.name : ChannelName();
        if (c.spoil)
            c.spoil(*channel.writer.Header());
        const auto before = FilterLogText().size();
        {
            DeviceRecord record;
            record.gpuOpenFails = true;
            Fixture f(&record, kWidth, kHeight, MEDIASUBTYPE_YUY2, name);
            ASSERT_NE(f.error, nullptr);
            EXPECT_EQ(f.error->code, 8u);
            Samples samples(kWidth * kHeight * 2);
            for (int i = 0; i < 2; ++i) // the CPU surface's zeros
                EXPECT_TRUE(AllBytesAre(samples.Fill(f.client, 0x5A), 0));
        }
        EXPECT_TRUE(Fixture(nullptr, kWidth, kHeight, MEDIASUBTYPE_YUY2, name).threw); // no device at all

        const std::string log = FilterLogText().substr(before);
        const std::string line =
            "[Initialize] ERROR: frame channel " + ToUtf8(name) + " unusable: " + c.reason;
        EXPECT_EQ(CountOf(log, line), 2u) << log; // one for each client
        EXPECT_EQ(CountOf(log, "ERROR: frame channel"), 2u) << log;
        EXPECT_EQ(CountOf(log, "frame source:"), 0u) << log;
    }
}

// A channel missing at Initialize is looked for again at most twice a second without another
// Error line, taken up once it appears, and let go when the server closes it.
TEST(FrameClient, TakesUpAFrameChannelThatAppearsLaterAndLetsGoWhenItCloses) {
    ComScope com;
    constexpr std::uint32_t kWidth = 64, kHeight = 32;
    constexpr std::uint64_t kBytes = kWidth * kHeight * 2;
    const auto before = FilterLogText().size();
    DeviceRecord record;
    record.gpuOpenFails = true;
    const std::wstring name = ChannelName();
    Fixture f(&record, kWidth, kHeight, MEDIASUBTYPE_YUY2, name);
    const auto initialised = std::chrono::steady_clock::now();
    Samples samples(static_cast<long>(kBytes));
    // Past the first retry, still without a channel: the old zeros.
    while (std::chrono::steady_clock::now() - initialised < std::chrono::milliseconds(700))
        EXPECT_TRUE(AllBytesAre(samples.Fill(f.client), 0));

    Channel channel(kWidth, kHeight, name);
    // Each sample takes at least 10 ms: a frame must arrive within the next retry.
    auto arrives = [&](std::uint64_t number) {
        const auto expected = channel.Expected(PixelKernels::Nv12ToYuy2(kScalar), kBytes, number);
        for (int i = 0; i < 60; ++i)
            if (samples.Fill(f.client) == expected)
                return true;
        return false;
    };
    channel.Publish(4);
    EXPECT_TRUE(arrives(4));
    channel.writer.Close();
    EXPECT_TRUE(AllBytesAre(samples.Fill(f.client), 0));
    std::string whyNot;
    ASSERT_TRUE(channel.writer.Open(channel.name, kWidth, kHeight, whyNot)) << whyNot;
    channel.Publish(5);
    EXPECT_TRUE(arrives(5));

    const std::string log = FilterLogText().substr(before);
    EXPECT_EQ(CountOf(log, "ERROR: frame channel"), 1u) << log;
    EXPECT_EQ(CountOf(log, "ERROR: frame channel " + ToUtf8(name) + " unusable: no section"), 1u) << log;
    EXPECT_EQ(CountOf(log, "[FillSample] frame channel closed by the server"), 1u) << log;
    EXPECT_EQ(CountOf(log, "[Initialize] frame source: shared memory"), 2u) << log;
}
