// The frame client against a device double (the platform cannot share textures here), real
// media samples from the platform's memory allocator and frame channels of the test's own names.
#include "webcam/WebcamFrameClient.h"

#include "FakeDevice.h"
#include "WebcamTestSupport.h"
#include "log/Exceptions.h"
#include "log/Log.h"
#include "log/Text.h"
#include "support/TempFolder.h"
#include "webcam/FrameScaler.h"

#include <array>
#include <chrono>
#include <optional>

using Microsoft::WRL::ComPtr;
using namespace Zarvo;
using namespace Zarvo::HAL;
using namespace Zarvo::Testing;

namespace {

const auto kScalar = PixelKernels::Isa::Scalar;
using Status = WebcamFrameClient::FillResult::Status;

std::string FilterLogText() {
    static TempFolder folder;
    static const std::wstring path = folder / L"filter.log";
    static const bool opened = Log::Open(kFilterLogName, path, 0);
    return opened ? ReadFileBytes(path) : std::string();
}

std::size_t CountOf(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++count;
    return count;
}

// What the client made of a sample from Samples::Get; a sync point or times kept, or a closed
// client, fail the test.
struct Filled {
    Bytes bytes;
    long length;
    Status status;
};
Filled Fill(Samples& samples, WebcamFrameClient& client) {
    const ComPtr<IMediaSample> sample = samples.Get();
    const Status status = client.FillSample(sample.Get()).status;
    REFERENCE_TIME start = 5, stop = 6;
    EXPECT_NE(status, Status::Closed);
    EXPECT_EQ(sample->IsSyncPoint(), S_FALSE);
    EXPECT_TRUE(sample->GetTime(&start, &stop) == S_OK && start == 0 && stop == 0);
    return {Samples::BytesOf(sample.Get()), sample->GetActualDataLength(), status};
}
bool operator==(const Filled& a, const Filled& b) {
    return std::tie(a.bytes, a.length, a.status) == std::tie(b.bytes, b.length, b.status);
}
Filled Untouched(long size, Status status) {
    return {Bytes(size, 0xEE), 17, status};
}

// A client sized and initialised against the double.
struct Fixture {
    Fixture(DeviceRecord& r, U width, U height, const GUID& subtype = MEDIASUBTYPE_YUY2,
            const std::wstring& channel = UniqueName(L"FrameClient"), std::uint64_t handle = 0x1234)
        : client([&r, width, height] { return std::make_shared<FakeDevice>(r, width, height); }, channel) {
        client.SetDestinationSize(width, height, subtype);
        try {
            error = client.Initialize(handle);
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
    Channel(U w, U h, std::wstring n = UniqueName(L"FrameClient")) : name(std::move(n)), width(w), height(h) {
        Open();
    }
    void Open() {
        std::string whyNot;
        EXPECT_TRUE(writer.Open(name, width, height, whyNot)) << whyNot;
    }
    void Publish(std::uint64_t number) {
        writer.Publish(PatternFrame(width, height, number).data(), width, number);
    }
    // Frame `number` as the scalar reference converts it with `kernel`, then `slack` bytes of 0xEE.
    Bytes Expected(PixelKernels::Kernel kernel, std::uint64_t bytes, std::uint64_t number,
                   std::size_t slack = 0) const {
        return Converted(kernel, PatternFrame(width, height, number), width, height, bytes, slack);
    }
    std::wstring name;
    U width, height;
    FrameChannel::Writer writer;
};

} // namespace

// Pitch padding is skipped, odd sizes leave the last column pair and row unwritten, nothing past
// the frame is touched, and the surfaces go before the device.
TEST(FrameClient, DeliversTheTextureConvertedIntoEachSubtype) {
    const auto before = FilterLogText().size();
    // clang-format off
    const struct { const GUID* subtype; PixelKernels::Kernel reference; U width, height, pitch; long bytes; } cases[] = {
        {&MEDIASUBTYPE_YUY2, PixelKernels::Nv12ToYuy2(kScalar), 1280, 720, 1536, 1'843'200},
        {&MEDIASUBTYPE_NV12, PixelKernels::Nv12ToNv12(kScalar), 1280, 720, 1536, 1'382'400},
        {&MEDIASUBTYPE_IYUV, PixelKernels::Nv12ToIyuv(kScalar), 1280, 720, 1536, 1'382'400},
        {&MEDIASUBTYPE_YUY2, PixelKernels::Nv12ToYuy2(kScalar), 7, 5, 7, 70},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.width);
        DeviceRecord record{.pitch = c.pitch};
        {
            Fixture f(record, c.width, c.height, *c.subtype);
            ASSERT_EQ(f.error, nullptr);
            Samples samples(c.bytes + 64); // the reference leaves 0xEE where nothing may be written
            const Bytes expected =
                Converted(c.reference, Hashed(c.pitch, c.height), c.width, c.height, c.bytes, 64, c.pitch);
            EXPECT_TRUE(Fill(samples, f.client) == (Filled{expected, c.bytes, Status::Frame}));
            EXPECT_EQ(record.Counts(), (std::array{1, 1, 1, 1}));
            EXPECT_EQ(record.lastLockMode, U(LockRead));
        }
        EXPECT_EQ(record.destroyed, "Client GPU Surface;Client CPU Surface;device;");
    }
    // A texture that serves needs no channel, but without one a paused app goes unnoticed: said once.
    const std::string log = FilterLogText().substr(before);
    EXPECT_EQ(CountOf(log, "ERROR"), 0u) << log;
    EXPECT_EQ(CountOf(log, "[Initialize] no frame channel (no section"), std::size(cases)) << log;
}

// Beside a texture that serves, the channel only numbers the samples: the pixels stay the
// texture's, the number and time are the channel's newest (the same number again while the app
// publishes nothing), and the channel's closing is the source's.
TEST(FrameClient, TheChannelBesideTheTextureNumbersItsSamples) {
    constexpr U kWidth = 64, kHeight = 32;
    constexpr long kBytes = kWidth * kHeight * 2;
    Channel channel(kWidth, kHeight);
    const auto before = FilterLogText().size();
    DeviceRecord record;
    Fixture f(record, kWidth, kHeight, MEDIASUBTYPE_YUY2, channel.name);
    ASSERT_EQ(f.error, nullptr);
    const Bytes texture = Converted(PixelKernels::Nv12ToYuy2(kScalar), Hashed(kWidth, kHeight), kWidth, kHeight, kBytes);
    Samples samples(kBytes);
    const auto fill = [&] {
        const ComPtr<IMediaSample> sample = samples.Get();
        const auto result = f.client.FillSample(sample.Get());
        EXPECT_EQ(Samples::BytesOf(sample.Get()), texture);
        return std::tuple(result.status, result.numbered, result.frameNumber, result.publishTime != 0);
    };
    EXPECT_EQ(fill(), std::tuple(Status::Frame, false, 0u, false)); // nothing published yet
    for (std::uint64_t number : {3u, 4u}) {
        channel.Publish(number);
        EXPECT_EQ(f.client.Published(), std::optional<std::uint64_t>(number - 2));
        for (int again = 0; again < 2; ++again)
            EXPECT_EQ(fill(), std::tuple(Status::Frame, true, number, true)) << number;
    }
    channel.writer.Close();
    const ComPtr<IMediaSample> sample = samples.Get();
    EXPECT_EQ(f.client.FillSample(sample.Get()).status, Status::SourceClosed);
    EXPECT_EQ(record.copies, 5);
    const std::string log = FilterLogText().substr(before);
    EXPECT_EQ(CountOf(log, "[Initialize] frame source: GPU texture"), 1u) << log;
    EXPECT_EQ(CountOf(log, "frame channel") + CountOf(log, "shared memory"), 1u) << log; // only the closing
}

// No failure of the texture path passes for a picture: without a frame channel every sample comes
// back untouched as NoFrame, with the double's counts as they must be (a texture that cannot serve
// is not even copied); where a channel is there, its newest frame.
TEST(FrameClient, FailuresStillDeliverEverySampleAndFallBackToTheFrameChannel) {
    constexpr U kWidth = 160, kHeight = 90; // the channel's rows are 192 bytes apart
    // clang-format off
    struct Output { const GUID* subtype; PixelKernels::Kernel reference; long bytes; };
    const Output yuy2{&MEDIASUBTYPE_YUY2, PixelKernels::Nv12ToYuy2(kScalar), kWidth * kHeight * 2},
                 nv12{&MEDIASUBTYPE_NV12, PixelKernels::Nv12ToNv12(kScalar), kWidth * kHeight * 3 / 2};
    const struct {
        const char* what; DeviceRecord record; Output output; std::uint32_t code; bool fallsBack;
        std::array<int, 4> counts; long shortBy = 0; // counts as DeviceRecord::Counts
    } cases[] = {
        {"no CPU surface", {.cpuCreateFails = true}, yuy2, 8, true, {0, 0, 0, 0}}, // no GPU surface is tried
        {"no GPU surface", {.gpuOpenFails = true}, nv12, 8, true, {1, 0, 0, 0}},
        {"no device", {.noDevice = true}, yuy2, 0, true, {0, 0, 0, 0}},
        {"failed lock", {.lockFails = true}, yuy2, 0, false, {1, 2, 2, 0}}, // nothing unlocked that was never mapped
        {"sample too small", {}, yuy2, 0, false, {1, 2, 2, 2}, 1}, // never overrun; every lock given back
    };
    // clang-format on
    const auto before = FilterLogText().size();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto& [subtype, reference, bytes] = c.output;
        DeviceRecord record = c.record, withChannel = c.record;
        {
            Fixture f(record, kWidth, kHeight, *subtype);
            EXPECT_EQ(std::pair(f.threw, f.error ? f.error->code : 0u), std::pair(record.noDevice, c.code));
            // A texture that cannot serve keeps no graphics object past Initialize.
            EXPECT_EQ(record.destroyed.ends_with("device;"), c.fallsBack && !record.noDevice) << record.destroyed;
            Samples samples(bytes - c.shortBy);
            for (int i = 0; i < 2; ++i)
                EXPECT_TRUE(Fill(samples, f.client) == Untouched(bytes - c.shortBy, Status::NoFrame));
            EXPECT_EQ(record.Counts(), c.counts);
        }
        if (!c.fallsBack)
            continue;
        Channel channel(kWidth, kHeight);
        channel.Publish(7);
        const auto start = FilterLogText().size();
        Fixture f(withChannel, kWidth, kHeight, *subtype, channel.name);
        EXPECT_EQ(f.error, nullptr);
        const std::string log = FilterLogText().substr(start);
        EXPECT_EQ(CountOf(log, "[Initialize] frame source: shared memory"), 1u) << log;
        Samples samples(bytes + 32);
        for (std::uint64_t number : {7u, 8u}) {
            if (number == 8)
                channel.Publish(8); // the client follows the newest frame
            EXPECT_TRUE(Fill(samples, f.client) ==
                        (Filled{channel.Expected(reference, bytes, number, 32), bytes, Status::Frame}))
                << number;
        }
    }
    const std::string log = FilterLogText().substr(before);
    EXPECT_EQ(CountOf(log, "cannot hold a frame of 28800 bytes"), 1u) << log; // not once per sample
}

// An app that could share no texture answers 0 for it. Where its frame channel serves, no graphics
// device is made just to fail on that handle (making one takes half a second under Wine, and a host
// ending its process while one is torn down can die of it); where nothing else can serve, the device
// is still tried.
TEST(FrameClient, NoDeviceIsMadeForANullTextureWhereTheChannelServes) {
    constexpr U kWidth = 160, kHeight = 90;
    const long bytes = kWidth * kHeight * 2;
    Channel channel(kWidth, kHeight);
    channel.Publish(7);
    DeviceRecord record;
    const auto start = FilterLogText().size();
    {
        Fixture f(record, kWidth, kHeight, MEDIASUBTYPE_YUY2, channel.name, 0);
        EXPECT_EQ(f.error, nullptr);
        EXPECT_EQ(record.made, 0);
        Samples samples(bytes);
        EXPECT_TRUE(Fill(samples, f.client) ==
                    (Filled{channel.Expected(PixelKernels::Nv12ToYuy2(kScalar), bytes, 7), bytes, Status::Frame}));
    }
    const std::string log = FilterLogText().substr(start);
    EXPECT_EQ(CountOf(log, "[Initialize] frame source: shared memory"), 1u) << log;
    DeviceRecord alone;
    Fixture f(alone, kWidth, kHeight, MEDIASUBTYPE_YUY2, UniqueName(L"FrameClient"), 0);
    EXPECT_EQ(alone.made, 1);
}

// A malformed channel is never read: one Error line naming the fault, and no picture.
TEST(FrameClient, RefusesAMalformedFrameChannelWithOneErrorLine) {
    constexpr U kWidth = 64, kHeight = 32;
    // clang-format off
    const struct { std::string reason; void (*spoil)(FrameChannel::ChannelHeader&); } cases[] = {
        {"magic 0x12345678, expected 0x4346565A", [](auto& h) { h.magic = 0x12345678; }},
        {"version 2, expected 1", [](auto& h) { h.version = 2; }},
        {"pixel format 0x32595559, expected NV12 0x3231564E", [](auto& h) { h.pixelFormat = 0x32595559; }},
        {"frames of 63,32, expected even sides up to 16384", [](auto& h) { h.width = 63; }},
        {"row pitch 60 for a width of 64", [](auto& h) { h.rowPitch = 60; }},
        {"slot count 9, expected 2 to 4", [](auto& h) { h.slotCount = 9; }},
        {"slots end at byte 24704, beyond the section", [](auto& h) { h.slotStride = 8192; }},
        {"slots end at byte 201326720, beyond a channel's 134217728", [](auto& h) { h.slotStride = 64 << 20; }},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        Channel channel(kWidth, kHeight);
        channel.Publish(1);
        c.spoil(*channel.writer.Header());
        const auto before = FilterLogText().size();
        DeviceRecord record{.gpuOpenFails = true};
        Fixture f(record, kWidth, kHeight, MEDIASUBTYPE_YUY2, channel.name);
        const std::string log = FilterLogText().substr(before);
        const std::string line = "ERROR: frame channel " + ToUtf8(channel.name) + " unusable: " + c.reason;
        EXPECT_EQ(CountOf(log, "[Initialize] " + line), 1u) << log;
        EXPECT_EQ(CountOf(log, "ERROR: frame channel") + CountOf(log, "frame source:"), 1u) << log;
        Samples samples(kWidth * kHeight * 2);
        EXPECT_TRUE(Fill(samples, f.client) == Untouched(kWidth * kHeight * 2, Status::NoFrame));
    }
}

// A channel missing at Initialize is looked for again at most twice a second without another
// Error line, taken up once it appears, never read in part, and let go when the server closes it.
TEST(FrameClient, TakesUpAFrameChannelThatAppearsLaterAndLetsGoWhenItCloses) {
    using std::chrono::steady_clock;
    constexpr U kWidth = 64, kHeight = 32;
    constexpr long kBytes = kWidth * kHeight * 2;
    const auto before = FilterLogText().size();
    DeviceRecord record{.gpuOpenFails = true};
    const std::wstring name = UniqueName(L"FrameClient");
    Fixture f(record, kWidth, kHeight, MEDIASUBTYPE_YUY2, name);
    const auto initialised = steady_clock::now();
    Samples samples(kBytes);
    // Past the first retry, still without a channel: no picture.
    for (; steady_clock::now() - initialised < std::chrono::milliseconds(700); Sleep(5))
        EXPECT_TRUE(Fill(samples, f.client) == Untouched(kBytes, Status::NoFrame));

    Channel channel(kWidth, kHeight, name);
    const auto frame = [&](std::uint64_t number) {
        return Filled{channel.Expected(PixelKernels::Nv12ToYuy2(kScalar), kBytes, number), kBytes,
                      Status::Frame};
    };
    // A frame must arrive within the next retry, half a second on.
    const auto arrives = [&](std::uint64_t number) {
        channel.Publish(number);
        for (const auto end = steady_clock::now() + std::chrono::seconds(2); steady_clock::now() < end;
             Sleep(5))
            if (Fill(samples, f.client) == frame(number))
                return true;
        return false;
    };
    EXPECT_TRUE(arrives(4));
    // Its slot stuck mid-write (a writer that overtook every attempt, also the one retry): no
    // part-frame goes out and the sample keeps its length; once the slot is whole again, a frame.
    auto* header = channel.writer.Header();
    auto* slot = reinterpret_cast<FrameChannel::SlotHeader*>(reinterpret_cast<std::uint8_t*>(header) +
                                                             header->slotOffset);
    ++slot->sequence;
    EXPECT_TRUE(Fill(samples, f.client) == Untouched(kBytes, Status::NoFrame));
    ++slot->sequence;
    EXPECT_TRUE(Fill(samples, f.client) == frame(4));
    channel.writer.Close();
    EXPECT_TRUE(Fill(samples, f.client) == Untouched(kBytes, Status::SourceClosed));
    channel.Open();
    EXPECT_TRUE(arrives(5));

    const std::string log = FilterLogText().substr(before);
    EXPECT_EQ(CountOf(log, "ERROR: frame channel " + ToUtf8(name) + " unusable: no section"), 1u) << log;
    EXPECT_EQ(CountOf(log, "ERROR: frame channel"), 1u) << log; // the retries find the same fault
    EXPECT_EQ(CountOf(log, "[FillSample] frame channel closed by the server"), 1u) << log;
    EXPECT_EQ(CountOf(log, "[FillSample] frame source: shared memory"), 2u) << log;
}

// A destination of another size than the app's frames: each frame scaled as the scaler does it (the
// centre cropped to the destination's aspect ratio, filtered by area), from the channel and from the
// texture alike; equal sizes keep the plain conversion.
// Also when the client was told another size (the settings' size, which the app's frames need not
// have): the texture and the channel say theirs, and the client scales from that.
TEST(FrameClient, ScalesTheAppsFramesToTheDestinationSizeFromTheSizeTheyHave) {
    constexpr U kSourceWidth = 128, kSourceHeight = 72; // 16:9, as the app renders
    const struct {
        U width, height;
        const GUID* subtype;
        ScaledLayout layout;
    } cases[] = {{96, 72, &MEDIASUBTYPE_YUY2, ScaledLayout::Yuy2},
                 {64, 36, &MEDIASUBTYPE_NV12, ScaledLayout::Nv12},
                 {48, 36, &MEDIASUBTYPE_IYUV, ScaledLayout::I420}};
    for (const auto& c : cases)
    for (const auto& [toldWidth, toldHeight] : {std::pair(kSourceWidth, kSourceHeight), std::pair(64u, 48u)}) {
        SCOPED_TRACE(std::to_string(c.width) + ", told " + std::to_string(toldWidth));
        const auto before = FilterLogText().size();
        const long bytes = long(c.layout == ScaledLayout::Yuy2 ? c.width * c.height * 2 : c.width * c.height * 3 / 2);
        const FrameScaler scaler(kSourceWidth, kSourceHeight, c.width, c.height, c.layout);
        const auto scaled = [&](const Bytes& nv12, U pitch) {
            Bytes out(std::size_t(bytes) + 16, 0xEE);
            scaler.Run(pitch, nv12.data(), out.data());
            return out;
        };
        // From the channel (a texture that cannot be opened).
        Channel channel(kSourceWidth, kSourceHeight);
        channel.Publish(9);
        DeviceRecord failing{.gpuOpenFails = true};
        WebcamFrameClient fromChannel([&] { return std::make_shared<FakeDevice>(failing, kSourceWidth, kSourceHeight); },
                                      channel.name);
        fromChannel.SetDestinationSize(c.width, c.height, *c.subtype);
        fromChannel.SetSourceSize(toldWidth, toldHeight);
        EXPECT_EQ(fromChannel.Initialize(0x1234), nullptr);
        Samples samples(bytes + 16);
        EXPECT_TRUE(Fill(samples, fromChannel) == (Filled{scaled(PatternFrame(kSourceWidth, kSourceHeight, 9), kSourceWidth), bytes, Status::Frame}));
        // From the texture, at a pitch wider than the picture.
        DeviceRecord record{.pitch = kSourceWidth + 32};
        WebcamFrameClient fromTexture([&] { return std::make_shared<FakeDevice>(record, kSourceWidth, kSourceHeight); },
                                      UniqueName(L"FrameClient"));
        fromTexture.SetDestinationSize(c.width, c.height, *c.subtype);
        fromTexture.SetSourceSize(toldWidth, toldHeight);
        EXPECT_EQ(fromTexture.Initialize(0x1234), nullptr);
        EXPECT_TRUE(Fill(samples, fromTexture) == (Filled{scaled(Hashed(kSourceWidth + 32, kSourceHeight), kSourceWidth + 32), bytes, Status::Frame}));
        const std::string log = FilterLogText().substr(before);
        EXPECT_EQ(CountOf(log, "the app's frames are 128,72, not 64,48: scaled from its size"),
                  toldWidth == kSourceWidth ? 0u : 2u) << log; // once per client
        EXPECT_EQ(CountOf(log, "ERROR"), 0u) << log;
    }
}
