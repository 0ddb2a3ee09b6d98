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
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;
using namespace Zarvo;
using namespace Zarvo::HAL;

namespace {

std::string FilterLogText() {
    static Zarvo::Testing::TempFolder folder;
    static const std::wstring path = folder / L"filter.log";
    static const bool opened = Log::Open(kFilterLogName, path, 0);
    return opened ? Zarvo::Testing::ReadFileBytes(path) : std::string();
}

// Bytes without a short period, so a wrong row pitch cannot reproduce them by chance.
std::uint8_t PatternByte(std::size_t index, std::uint8_t seed) {
    return static_cast<std::uint8_t>(((index + 1) * 2654435761u) >> 24 ^ seed);
}

std::size_t CountOf(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++count;
    return count;
}

// What the double saw, shared with the test after the client is gone.
struct DeviceRecord {
    std::vector<std::string> destroyed;
    int copies = 0;
    int locks = 0;
    int unlocks = 0;
    std::uint32_t lastLockMode = 0;
    std::uint64_t openedHandle = 0;
    bool cpuCreateFails = false;
    bool gpuOpenFails = false;
    bool lockFails = false;
    PixelFormat gpuFormat = PixelFormat::NV12;
    std::uint32_t pitch = 0; // row pitch of the CPU surface; 0 = width
};

// A surface whose memory is a byte vector, NV12 with the record's pitch.
class FakeSurface : public Surface {
public:
    FakeSurface(DeviceRecord& record, std::string surfaceName) : Surface(nullptr, nullptr), mRecord(record) {
        name = std::move(surfaceName);
    }
    ~FakeSurface() override { mRecord.destroyed.push_back(name); }
    std::vector<std::uint8_t> bytes;
    std::uint32_t pitch = 0;

private:
    DeviceRecord& mRecord;
};

class FakeQueue final : public IGraphicsQueue {
public:
    explicit FakeQueue(DeviceRecord& record) : mRecord(record) {}
    ComPtr<IUnknown> BeginEvent(const std::string&) override { return {}; }
    void EndEvent(ComPtr<IUnknown>) override {}
    void Flush() override {}
    void FlushAndReset() override {}
    void PushViewport(const ViewportRect&) override {}
    void PopViewport() override {}
    void PushRenderTarget(std::shared_ptr<Surface>) override {}
    void PopRenderTarget() override {}
    void Clear(const std::array<float, 4>&) override {}
    void ResizeSwapChain(std::shared_ptr<SwapChain>) override {}
    void Present(std::shared_ptr<SwapChain>) override {}
    void SetInputLayout(std::shared_ptr<InputLayout>) override {}
    void SetVertexShader(std::shared_ptr<Shader>) override {}
    void SetPixelShader(std::shared_ptr<Shader>) override {}
    void SetComputeShader(std::shared_ptr<Shader>) override {}
    void Draw(std::shared_ptr<Geometry>) override {}
    void Dispatch(std::uint32_t, std::uint32_t, std::uint32_t) override {}
    void SetVertexUniforms(std::shared_ptr<UniformBuffer>, std::uint32_t) override {}
    void SetPixelUniforms(std::shared_ptr<UniformBuffer>, std::uint32_t) override {}
    void SetComputeUniforms(std::shared_ptr<UniformBuffer>, std::uint32_t) override {}
    void SetVertexSampler(std::shared_ptr<Sampler>, std::uint32_t) override {}
    void SetPixelSampler(std::shared_ptr<Sampler>, std::uint32_t) override {}
    void SetComputeSampler(std::shared_ptr<Sampler>, std::uint32_t) override {}
    void SetBlendConfig(std::shared_ptr<BlendConfig>) override {}
    void SetVertexTexture(std::shared_ptr<Surface>, std::uint32_t) override {}
    void SetPixelTexture(std::shared_ptr<Surface>, std::uint32_t) override {}
    void SetComputeTexture(std::shared_ptr<Surface>, std::uint32_t) override {}
    void SetComputeOutput(std::shared_ptr<Surface>, std::uint32_t) override {}
    void CopySurface(std::shared_ptr<Surface> source, std::shared_ptr<Surface> destination,
                     std::optional<Region>) override {
        ++mRecord.copies;
        auto* from = static_cast<FakeSurface*>(source.get());
        auto* to = static_cast<FakeSurface*>(destination.get());
        // Like the GPU's whole-resource copy: nothing happens between surfaces that differ.
        if (from->format == to->format && from->width == to->width && from->height == to->height)
            to->bytes = from->bytes;
    }
    std::shared_ptr<LockedResource> Lock(std::shared_ptr<Surface> surface, std::uint32_t modeFlags,
                                         std::uint32_t) override {
        ++mRecord.locks;
        mRecord.lastLockMode = modeFlags;
        if (mRecord.lockFails)
            return {};
        auto* fake = static_cast<FakeSurface*>(surface.get());
        auto locked = std::make_shared<LockedResource>();
        locked->data = fake->bytes.data();
        locked->rowPitch = fake->pitch;
        return locked;
    }
    void Unlock(std::shared_ptr<Surface>, std::uint32_t) override { ++mRecord.unlocks; }
    void ProcessVideo(std::shared_ptr<IVideoProcessor>, std::shared_ptr<Surface>,
                      std::shared_ptr<Surface>) override {}
    std::unique_ptr<LockedContext> LockContext() override { return std::make_unique<LockedContext>(); }

private:
    DeviceRecord& mRecord;
};

class FakeDevice final : public IGraphicsDevice {
public:
    explicit FakeDevice(DeviceRecord& record)
        : mRecord(record), mQueue(std::make_shared<FakeQueue>(record)) {}
    ~FakeDevice() override { mRecord.destroyed.push_back("device"); }

    // The companion app's texture: filled with a known pattern at the given size.
    std::shared_ptr<FakeSurface> MakeNv12(std::string name, PixelFormat format, std::uint32_t width,
                                          std::uint32_t height, std::uint8_t seed) {
        auto surface = std::make_shared<FakeSurface>(mRecord, std::move(name));
        surface->format = format;
        surface->width = width;
        surface->height = height;
        surface->pitch = mRecord.pitch ? mRecord.pitch : width;
        surface->bytes.resize(static_cast<std::size_t>(surface->pitch) * height * 3 / 2);
        for (std::size_t i = 0; i < surface->bytes.size(); ++i)
            surface->bytes[i] = PatternByte(i, seed);
        return surface;
    }

    std::shared_ptr<SwapChain> CreateSwapChain(std::string, PixelFormat, std::uint32_t, std::uint32_t,
                                               std::uint32_t, void*) override {
        return {};
    }
    std::shared_ptr<SwapChain> CreateSwapChain(std::string, PixelFormat, std::uint32_t, void*) override {
        return {};
    }
    std::shared_ptr<InputLayout> CreateInputLayout(std::string, const void*, std::size_t) override {
        return {};
    }
    std::shared_ptr<Shader> CreateVertexShader(std::string, const void*, std::size_t) override { return {}; }
    std::shared_ptr<Shader> CreatePixelShader(std::string, const void*, std::size_t) override { return {}; }
    std::shared_ptr<Shader> CreateComputeShader(std::string, const void*, std::size_t) override { return {}; }
    std::shared_ptr<UniformBuffer> CreateUniformBuffer(std::string, std::uint32_t, const void*) override {
        return {};
    }
    std::shared_ptr<Geometry> CreateGeometry(std::string, std::uint32_t, std::uint32_t,
                                             const void*) override {
        return {};
    }
    std::shared_ptr<Sampler> CreateSampler(std::string, std::uint32_t, std::uint32_t) override { return {}; }
    std::shared_ptr<BlendConfig> CreateBlendConfig(std::string, std::uint32_t, std::uint32_t, std::uint32_t,
                                                   std::uint32_t, std::uint32_t, std::uint32_t) override {
        return {};
    }
    std::shared_ptr<Surface> CreateSurface2D(std::string name, UsageFlags usage, PixelFormat format,
                                             std::uint32_t width, std::uint32_t height, const void*,
                                             std::uint32_t) override {
        if (mRecord.cpuCreateFails || usage != UsageFlags::CpuRead)
            return {};
        // A fresh staging texture holds zeros.
        auto surface = MakeNv12(std::move(name), format, width, height, 0);
        std::fill(surface->bytes.begin(), surface->bytes.end(), std::uint8_t{0});
        return surface;
    }
    std::shared_ptr<Surface> CreateSurface2D(std::string name, UsageFlags usage, std::uint64_t native,
                                             std::uint32_t) override {
        mRecord.openedHandle = native;
        if (mRecord.gpuOpenFails || usage != UsageFlags::Shared)
            return {};
        return MakeNv12(std::move(name), mRecord.gpuFormat, gpuWidth, gpuHeight, 3);
    }
    std::shared_ptr<Surface> CreateSurfaceFromSwapChain(std::string, std::shared_ptr<SwapChain>) override {
        return {};
    }
    std::shared_ptr<Resource> CreateReserved(std::string) override { return {}; }
    std::shared_ptr<Surface> CreateSurfaceCube(std::string, UsageFlags, PixelFormat, std::uint32_t) override {
        return {};
    }
    void ReleaseNative(IUnknown* native) noexcept override {
        if (native)
            native->Release();
    }
    std::uint64_t GetSharedHandle(IUnknown*) override { return 0; }
    Result<std::shared_ptr<IVideoProcessor>> CreateVideoProcessor(std::string,
                                                                  const VideoDescription&) override {
        return MakeErrorRecord(14, "FakeDevice", __LINE__);
    }
    std::shared_ptr<IGraphicsQueue> GetQueue() override { return mQueue; }
    IUnknown* GetDeviceManager() override { return nullptr; }

    std::uint32_t gpuWidth = 0;
    std::uint32_t gpuHeight = 0;

private:
    DeviceRecord& mRecord;
    std::shared_ptr<FakeQueue> mQueue;
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
        ALLOCATOR_PROPERTIES wanted{1, size, 1, 0};
        ALLOCATOR_PROPERTIES actual{};
        EXPECT_HRESULT_SUCCEEDED(mAllocator->SetProperties(&wanted, &actual));
        EXPECT_HRESULT_SUCCEEDED(mAllocator->Commit());
    }
    ~Samples() { mAllocator->Decommit(); }

    // A sample whose buffer is filled with `fill`, with a known length, sync point and times.
    ComPtr<IMediaSample> Get(std::uint8_t fill = 0xEE) {
        ComPtr<IMediaSample> sample;
        EXPECT_HRESULT_SUCCEEDED(mAllocator->GetBuffer(&sample, nullptr, nullptr, 0));
        BYTE* buffer = nullptr;
        sample->GetPointer(&buffer);
        std::memset(buffer, fill, static_cast<std::size_t>(sample->GetSize()));
        sample->SetActualDataLength(17);
        sample->SetSyncPoint(TRUE);
        REFERENCE_TIME start = 5, stop = 6;
        sample->SetTime(&start, &stop);
        return sample;
    }

private:
    ComPtr<IMemAllocator> mAllocator;
};

std::vector<std::uint8_t> Bytes(IMediaSample* sample, std::size_t count) {
    BYTE* buffer = nullptr;
    sample->GetPointer(&buffer);
    return {buffer, buffer + count};
}

void ExpectDeliveredWithoutTiming(IMediaSample* sample) {
    EXPECT_EQ(sample->IsSyncPoint(), S_FALSE);
    REFERENCE_TIME start = -1, stop = -1;
    EXPECT_HRESULT_SUCCEEDED(sample->GetTime(&start, &stop));
    EXPECT_EQ(start, 0);
    EXPECT_EQ(stop, 0);
}

// A frame channel name of this program's own; nothing is published under it unless a test does.
std::wstring ChannelName() {
    static int counter = 0;
    return L"Zarvo/Tests/FrameClient/" + std::to_wstring(GetCurrentProcessId()) + L"/" +
           std::to_wstring(++counter);
}

// A client sized and initialised against the double; `record` outlives it.
struct Fixture {
    explicit Fixture(DeviceRecord& record, std::uint32_t width, std::uint32_t height, const GUID& subtype,
                     std::uint32_t gpuWidth = 0, std::uint32_t gpuHeight = 0,
                     const std::wstring& channel = ChannelName())
        : client(
              [&record, this, width, height, gpuWidth, gpuHeight] {
                  auto made = std::make_shared<FakeDevice>(record);
                  made->gpuWidth = gpuWidth ? gpuWidth : width;
                  made->gpuHeight = gpuHeight ? gpuHeight : height;
                  device = made.get();
                  return made;
              },
              channel) {
        client.SetDestinationSize(width, height, subtype);
        error = client.Initialize(0x1234);
    }
    FakeDevice* device = nullptr;
    WebcamFrameClient client;
    ErrorRecordPtr error;
};

// The texture's bytes as the double's pattern gives them, converted by the scalar reference.
std::vector<std::uint8_t> Expected(PixelKernels::Kernel kernel, std::uint64_t bytes, std::uint32_t pitch,
                                   std::uint32_t width, std::uint32_t height, std::uint8_t seed) {
    std::vector<std::uint8_t> nv12(static_cast<std::size_t>(pitch) * height * 3 / 2);
    for (std::size_t i = 0; i < nv12.size(); ++i)
        nv12[i] = PatternByte(i, seed);
    std::vector<std::uint8_t> out(bytes);
    EXPECT_EQ(kernel(pitch, nv12.data(), width, height, out.data()), bytes);
    return out;
}

// A frame channel the test publishes the server's pattern into; Expected gives frame `number` as
// the scalar reference converts it with `kernel`.
struct Channel {
    Channel(std::uint32_t w, std::uint32_t h, std::wstring channelName = ChannelName())
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
    std::vector<std::uint8_t> Expected(PixelKernels::Kernel kernel, std::uint64_t bytes,
                                       std::uint64_t number) const {
        std::vector<std::uint8_t> out(bytes);
        kernel(width, Frame(number).data(), width, height, out.data());
        return out;
    }
    std::wstring name;
    std::uint32_t width, height;
    FrameChannel::Writer writer;
};

bool AllBytesAre(const std::vector<std::uint8_t>& bytes, std::uint8_t value) {
    return std::all_of(bytes.begin(), bytes.end(), [value](std::uint8_t b) { return b == value; });
}

WebcamFrameClient::DeviceFactory NoDevice() {
    return
        []() -> std::shared_ptr<IGraphicsDevice> { throw ServiceUnavailableException(L"Direct3D Device"); };
}

} // namespace

TEST(FrameClient, DeliversTheTextureConvertedIntoEachSubtype) {
    ComScope com;
    const auto before = FilterLogText().size();
    struct Case {
        const GUID* subtype;
        PixelKernels::Kernel reference;
        std::uint64_t bytes;
    };
    constexpr std::uint32_t kWidth = 1280, kHeight = 720, kPitch = 1536;
    const Case cases[] = {
        {&MEDIASUBTYPE_YUY2, PixelKernels::Nv12ToYuy2(PixelKernels::Isa::Scalar), 1'843'200},
        {&MEDIASUBTYPE_NV12, PixelKernels::Nv12ToNv12(PixelKernels::Isa::Scalar), 1'382'400},
        {&MEDIASUBTYPE_IYUV, PixelKernels::Nv12ToIyuv(PixelKernels::Isa::Scalar), 1'382'400},
    };
    for (const auto& c : cases) {
        DeviceRecord record;
        record.pitch = kPitch; // padding at every row end must be skipped
        {
            Fixture f(record, kWidth, kHeight, *c.subtype);
            ASSERT_EQ(f.error, nullptr);
            EXPECT_EQ(record.openedHandle, 0x1234u);
            EXPECT_EQ(f.client.FrameBytes(), c.bytes);

            Samples samples(static_cast<long>(c.bytes) + 64);
            auto sample = samples.Get();
            ASSERT_TRUE(f.client.FillSample(sample.Get()));
            EXPECT_EQ(sample->GetActualDataLength(), static_cast<long>(c.bytes));
            EXPECT_EQ(Bytes(sample.Get(), c.bytes),
                      Expected(c.reference, c.bytes, kPitch, kWidth, kHeight, 3));
            // Bytes past the frame stay as they were.
            const auto all = Bytes(sample.Get(), c.bytes + 64);
            EXPECT_TRUE(std::all_of(all.begin() + static_cast<long>(c.bytes), all.end(),
                                    [](std::uint8_t b) { return b == 0xEE; }));
            ExpectDeliveredWithoutTiming(sample.Get());
            EXPECT_EQ(record.copies, 1);
            EXPECT_EQ(record.locks, 1);
            EXPECT_EQ(record.unlocks, 1);
            EXPECT_EQ(record.lastLockMode, static_cast<std::uint32_t>(LockRead));
        }
        // Surfaces go back before the device that made them.
        EXPECT_EQ(record.destroyed,
                  (std::vector<std::string>{"Client GPU Surface", "Client CPU Surface", "device"}));
    }
    const std::string log = FilterLogText().substr(before);
    EXPECT_NE(log.find("w/h, 1280,720"), std::string::npos);
    EXPECT_NE(log.find("CreateSurface2D: client CPU surface: w/h, 1280,720"), std::string::npos);
    EXPECT_NE(log.find("CreateSurface2D: client GPU surface: surface_handle, 4660"), std::string::npos);
    EXPECT_EQ(CountOf(log, "~WebcamFrameClient"), 3u);
    EXPECT_EQ(CountOf(log, "[Initialize] frame source: GPU texture"), 3u);
    EXPECT_EQ(log.find("frame channel"), std::string::npos); // a texture that serves needs no channel
}

TEST(FrameClient, OddSizesLeaveTheLastColumnPairAndRowUnwritten) {
    ComScope com;
    DeviceRecord record;
    constexpr std::uint32_t kWidth = 7, kHeight = 5;
    Fixture f(record, kWidth, kHeight, MEDIASUBTYPE_YUY2);
    ASSERT_EQ(f.error, nullptr);
    Samples samples(kWidth * kHeight * 2);
    auto sample = samples.Get(0xEE);
    ASSERT_TRUE(f.client.FillSample(sample.Get()));
    EXPECT_EQ(sample->GetActualDataLength(), 70);
    const auto out = Bytes(sample.Get(), 70);
    const auto expected =
        Expected(PixelKernels::Nv12ToYuy2(PixelKernels::Isa::Scalar), 70, kWidth, kWidth, kHeight, 3);
    for (std::uint32_t y = 0; y < kHeight; ++y) {
        for (std::uint32_t x = 0; x < kWidth * 2; ++x) {
            const bool written = y < 4 && x < 12;
            const std::uint8_t byte = out[y * kWidth * 2 + x];
            if (written)
                EXPECT_EQ(byte, expected[y * kWidth * 2 + x]) << y << "," << x;
            else
                EXPECT_EQ(byte, 0xEE) << y << "," << x;
        }
    }
}

TEST(FrameClient, FailuresStillDeliverEverySampleWithoutTiming) {
    ComScope com;
    FilterLogText();
    constexpr std::uint32_t kWidth = 64, kHeight = 32;
    constexpr long kBytes = kWidth * kHeight * 2;

    { // No CPU surface: no GPU surface is attempted; samples go out untouched.
        DeviceRecord record;
        record.cpuCreateFails = true;
        Fixture f(record, kWidth, kHeight, MEDIASUBTYPE_YUY2);
        ASSERT_NE(f.error, nullptr);
        EXPECT_EQ(f.error->code, 8u);
        EXPECT_EQ(f.error->file, "WebcamFrameClient");
        EXPECT_TRUE(f.error->message.empty());
        EXPECT_EQ(record.openedHandle, 0u);
        Samples samples(kBytes);
        auto sample = samples.Get(0x5A);
        EXPECT_TRUE(f.client.FillSample(sample.Get()));
        EXPECT_EQ(sample->GetActualDataLength(), 17);
        const auto bytes = Bytes(sample.Get(), kBytes);
        EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0x5A; }));
        ExpectDeliveredWithoutTiming(sample.Get());
        EXPECT_EQ(record.locks, 0);
    }
    { // No GPU surface: the CPU surface's content (zeros of a fresh texture), no copy, every time.
        DeviceRecord record;
        record.gpuOpenFails = true;
        Fixture f(record, kWidth, kHeight, MEDIASUBTYPE_YUY2);
        ASSERT_NE(f.error, nullptr);
        EXPECT_EQ(f.error->code, 8u);
        Samples samples(kBytes);
        for (int i = 0; i < 2; ++i) {
            auto sample = samples.Get(0x5A);
            EXPECT_TRUE(f.client.FillSample(sample.Get()));
            EXPECT_EQ(sample->GetActualDataLength(), kBytes);
            const auto bytes = Bytes(sample.Get(), kBytes);
            EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; }));
        }
        EXPECT_EQ(record.copies, 0);
        EXPECT_EQ(record.locks, 2);
    }
    { // A failed lock: untouched sample, still true, no unlock of what was never mapped.
        DeviceRecord record;
        record.lockFails = true;
        Fixture f(record, kWidth, kHeight, MEDIASUBTYPE_YUY2);
        ASSERT_EQ(f.error, nullptr);
        Samples samples(kBytes);
        auto sample = samples.Get(0x5A);
        EXPECT_TRUE(f.client.FillSample(sample.Get()));
        EXPECT_EQ(sample->GetActualDataLength(), 17);
        EXPECT_EQ(Bytes(sample.Get(), 1)[0], 0x5A);
        ExpectDeliveredWithoutTiming(sample.Get());
        EXPECT_EQ(record.unlocks, 0);
    }
    { // A texture of another size: Initialize says so, the copy changes nothing.
        DeviceRecord record;
        Fixture f(record, kWidth, kHeight, MEDIASUBTYPE_YUY2, kWidth * 2, kHeight);
        ASSERT_EQ(f.error, nullptr);
        EXPECT_NE(FilterLogText().find("ERROR: shared texture is not NV12 at 64,32"), std::string::npos);
    }
    { // A device that cannot be brought up raises out of Initialize.
        WebcamFrameClient client(NoDevice(), ChannelName());
        client.SetDestinationSize(kWidth, kHeight);
        EXPECT_THROW(client.Initialize(1), ServiceUnavailableException);
        Samples samples(kBytes);
        auto sample = samples.Get(0x5A);
        EXPECT_TRUE(client.FillSample(sample.Get()));
        ExpectDeliveredWithoutTiming(sample.Get());
    }
}

TEST(FrameClient, NeverWritesPastASampleTooSmallAndSaysSoOnce) {
    ComScope com;
    const auto before = CountOf(FilterLogText(), "cannot hold a frame of");
    DeviceRecord record;
    constexpr std::uint32_t kWidth = 64, kHeight = 32;
    Fixture f(record, kWidth, kHeight, MEDIASUBTYPE_YUY2);
    ASSERT_EQ(f.error, nullptr);
    Samples samples(kWidth * kHeight * 2 - 1);
    for (int i = 0; i < 3; ++i) {
        auto sample = samples.Get(0x5A);
        EXPECT_TRUE(f.client.FillSample(sample.Get()));
        EXPECT_EQ(sample->GetActualDataLength(), 17);
        const auto bytes = Bytes(sample.Get(), static_cast<std::size_t>(sample->GetSize()));
        EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0x5A; }));
        ExpectDeliveredWithoutTiming(sample.Get());
    }
    EXPECT_EQ(record.unlocks, 3); // every lock is given back
    EXPECT_EQ(CountOf(FilterLogText(), "cannot hold a frame of 4096 bytes") - before, 1u);
}

TEST(FrameClient, EverySampleTakesAtLeastTenMilliseconds) {
    ComScope com;
    DeviceRecord record;
    Fixture f(record, 16, 16, MEDIASUBTYPE_YUY2);
    Samples samples(16 * 16 * 2);
    for (int i = 0; i < 5; ++i) {
        auto sample = samples.Get();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(f.client.FillSample(sample.Get()));
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(10));
    }
}

// Wherever the texture cannot serve, the samples are the channel's newest frame, and the log says so.
TEST(FrameClient, FallsBackToTheFrameChannelWhereTheTextureCannotServe) {
    ComScope com;
    constexpr std::uint32_t kWidth = 160, kHeight = 90; // the channel's rows are 192 bytes apart
    const auto scalar = PixelKernels::Isa::Scalar;
    struct Case {
        const char* what;
        std::function<void(DeviceRecord&)> setUp; // null: no device at all
        const GUID* subtype;
        PixelKernels::Kernel reference;
        std::uint64_t bytes;
        std::uint32_t gpuWidth = 0;
    };
    const Case cases[] = {
        {"no texture", [](DeviceRecord& r) { r.gpuOpenFails = true; }, &MEDIASUBTYPE_YUY2,
         PixelKernels::Nv12ToYuy2(scalar), kWidth * kHeight * 2},
        {"no texture, NV12", [](DeviceRecord& r) { r.gpuOpenFails = true; }, &MEDIASUBTYPE_NV12,
         PixelKernels::Nv12ToNv12(scalar), kWidth * kHeight * 3 / 2},
        {"texture of another size, IYUV", [](DeviceRecord&) {}, &MEDIASUBTYPE_IYUV,
         PixelKernels::Nv12ToIyuv(scalar), kWidth * kHeight * 3 / 2, kWidth * 2},
        {"texture in another format", [](DeviceRecord& r) { r.gpuFormat = PixelFormat::YUY2; },
         &MEDIASUBTYPE_YUY2, PixelKernels::Nv12ToYuy2(scalar), kWidth * kHeight * 2},
        {"no CPU surface", [](DeviceRecord& r) { r.cpuCreateFails = true; }, &MEDIASUBTYPE_YUY2,
         PixelKernels::Nv12ToYuy2(scalar), kWidth * kHeight * 2},
        {"no device", nullptr, &MEDIASUBTYPE_YUY2, PixelKernels::Nv12ToYuy2(scalar), kWidth * kHeight * 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Channel channel(kWidth, kHeight);
        channel.Publish(7);
        const auto before = FilterLogText().size();
        DeviceRecord record;
        std::optional<Fixture> f;
        std::optional<WebcamFrameClient> bare;
        if (c.setUp) {
            c.setUp(record);
            f.emplace(record, kWidth, kHeight, *c.subtype, c.gpuWidth, 0, channel.name);
            EXPECT_EQ(f->error, nullptr);
        } else {
            bare.emplace(NoDevice(), channel.name);
            bare->SetDestinationSize(kWidth, kHeight, *c.subtype);
            EXPECT_EQ(bare->Initialize(0x1234), nullptr);
        }
        WebcamFrameClient& client = f ? f->client : *bare;
        const std::string log = FilterLogText().substr(before);
        EXPECT_EQ(CountOf(log, "[Initialize] frame source: shared memory"), 1u) << log;
        EXPECT_EQ(CountOf(log, "GPU texture") + CountOf(log, "ERROR: frame channel"), 0u) << log;

        Samples samples(static_cast<long>(c.bytes) + 32);
        for (std::uint64_t number : {7u, 8u}) {
            if (number == 8)
                channel.Publish(8); // the client follows the newest frame
            auto sample = samples.Get();
            ASSERT_TRUE(client.FillSample(sample.Get()));
            EXPECT_EQ(sample->GetActualDataLength(), static_cast<long>(c.bytes));
            auto all = Bytes(sample.Get(), c.bytes + 32);
            EXPECT_TRUE(AllBytesAre({all.begin() + static_cast<long>(c.bytes), all.end()}, 0xEE));
            all.resize(c.bytes);
            EXPECT_EQ(all, channel.Expected(c.reference, c.bytes, number)) << number;
            ExpectDeliveredWithoutTiming(sample.Get());
        }
        EXPECT_EQ(record.copies + record.locks, 0); // the texture path is not taken at all
    }

    // A slot stuck in the middle of a write (a writer that overtook every attempt): no part-frame
    // goes out, the sample says it carries nothing; once the slot is whole again, it does.
    DeviceRecord record;
    record.gpuOpenFails = true;
    Channel channel(kWidth, kHeight);
    channel.Publish(3);
    Fixture f(record, kWidth, kHeight, MEDIASUBTYPE_YUY2, 0, 0, channel.name);
    auto* header = channel.writer.Header();
    auto& sequence = reinterpret_cast<FrameChannel::SlotHeader*>(reinterpret_cast<std::uint8_t*>(header) +
                                                                 header->slotOffset)
                         ->sequence;
    Samples samples(kWidth * kHeight * 2);
    for (const long expected : {0l, static_cast<long>(kWidth * kHeight * 2)}) {
        ++sequence;
        auto sample = samples.Get();
        ASSERT_TRUE(f.client.FillSample(sample.Get()));
        EXPECT_EQ(sample->GetActualDataLength(), expected);
        ExpectDeliveredWithoutTiming(sample.Get());
    }
}

// A channel that is missing or malformed changes nothing: one Error line naming the fault, and
// the samples and answers of a client without a channel.
TEST(FrameClient, RefusesAMalformedFrameChannelWithOneErrorLineAndKeepsTheOldBehaviour) {
    ComScope com;
    constexpr std::uint32_t kWidth = 64, kHeight = 32;
    using FrameChannel::ChannelHeader;
    struct Case {
        std::string reason;
        std::function<void(ChannelHeader&)> spoil; // null: nothing published under the name
        std::uint32_t channelWidth = kWidth;
    };
    const std::vector<Case> cases = {
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
            Fixture f(record, kWidth, kHeight, MEDIASUBTYPE_YUY2, 0, 0, name);
            ASSERT_NE(f.error, nullptr);
            EXPECT_EQ(f.error->code, 8u);
            Samples samples(kWidth * kHeight * 2);
            for (int i = 0; i < 2; ++i) { // the CPU surface's zeros
                auto sample = samples.Get(0x5A);
                EXPECT_TRUE(f.client.FillSample(sample.Get()));
                EXPECT_TRUE(AllBytesAre(Bytes(sample.Get(), kWidth * kHeight * 2), 0));
            }
        }
        WebcamFrameClient deviceless(NoDevice(), name);
        deviceless.SetDestinationSize(kWidth, kHeight);
        EXPECT_THROW(deviceless.Initialize(1), ServiceUnavailableException);

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
    Fixture f(record, kWidth, kHeight, MEDIASUBTYPE_YUY2, 0, 0, name);
    const auto initialised = std::chrono::steady_clock::now();
    Samples samples(static_cast<long>(kBytes));
    auto fill = [&] {
        auto sample = samples.Get();
        EXPECT_TRUE(f.client.FillSample(sample.Get()));
        return Bytes(sample.Get(), kBytes);
    };
    // Past the first retry, still without a channel: the old zeros.
    while (std::chrono::steady_clock::now() - initialised < std::chrono::milliseconds(700))
        EXPECT_TRUE(AllBytesAre(fill(), 0));

    Channel channel(kWidth, kHeight, name);
    // Each sample takes at least 10 ms: a frame must arrive within the next retry.
    auto arrives = [&](std::uint64_t number) {
        const auto expected =
            channel.Expected(PixelKernels::Nv12ToYuy2(PixelKernels::Isa::Scalar), kBytes, number);
        for (int i = 0; i < 60; ++i)
            if (fill() == expected)
                return true;
        return false;
    };
    channel.Publish(4);
    EXPECT_TRUE(arrives(4));
    channel.writer.Close();
    EXPECT_TRUE(AllBytesAre(fill(), 0));
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
