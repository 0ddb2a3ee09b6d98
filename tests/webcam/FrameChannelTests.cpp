// The shared-memory frame channel on the platform's real sections: pitched frames through the slots,
// what the reader refuses, and that a reader racing a writer never keeps a torn frame. Every section
// has a name of this program's own, so these tests share nothing system-wide.
#include "webcam/FrameChannel.h"

#include "WebcamTestSupport.h"

#include <atomic>
#include <memory>
#include <thread>

using namespace Zarvo;
using namespace Zarvo::FrameChannel;
using namespace Zarvo::Testing;

namespace {

TEST(FrameChannel, ReaderConvertsTheNewestFrameOnlyOnceOneIsPublished) {
    constexpr std::uint32_t kWidth = 100, kHeight = 30; // rows padded to 128 bytes in the section
    const std::wstring name = UniqueName(L"FrameChannel");
    Writer writer;
    std::string whyNot;
    ASSERT_TRUE(writer.Open(name, kWidth, kHeight, whyNot)) << whyNot;

    Reader reader;
    ASSERT_EQ(reader.Open(name, kWidth, kHeight), "");
    Bytes out(yuy2_frame_bytes(kWidth, kHeight), 0xEE);
    EXPECT_EQ(reader.ConvertNewest(convert_format_nv12_yuy2, out.data()).outcome, Reader::Outcome::NoFrame);
    EXPECT_TRUE(AllBytesAre(out, 0xEE));

    // Four frames through three slots: the reader takes the fourth.
    for (std::uint64_t number = 10; number < 14; ++number)
        writer.Publish(PatternFrame(kWidth, kHeight, number).data(), kWidth, number);
    EXPECT_EQ(writer.Header()->published, 4u);
    const auto result = reader.ConvertNewest(convert_format_nv12_yuy2, out.data());
    EXPECT_EQ(std::pair(result.outcome, result.frameNumber),
              std::pair(Reader::Outcome::Frame, std::uint64_t{13}));
    EXPECT_EQ(out, Yuy2(PatternFrame(kWidth, kHeight, 13), kWidth, kHeight));
}

// A writer that closes, or changes the geometry of a section a reader still holds, makes every
// reader let go; a held section is reused only where the new frames fit.
TEST(FrameChannel, ReaderLetsGoWhenTheWriterClosesOrChangesTheChannel) {
    const std::wstring name = UniqueName(L"FrameChannel");
    auto writer = std::make_unique<Writer>();
    std::string whyNot;
    ASSERT_TRUE(writer->Open(name, 64, 32, whyNot)) << whyNot;
    writer->Publish(PatternFrame(64, 32, 1).data(), 64, 1);
    Bytes out(yuy2_frame_bytes(64, 32));
    Reader holder, reader;
    ASSERT_TRUE(holder.Open(name, 64, 32).empty() && reader.Open(name, 64, 32).empty());
    writer.reset();
    EXPECT_EQ(reader.ConvertNewest(convert_format_nv12_yuy2, out.data()).outcome, Reader::Outcome::Closed);
    EXPECT_FALSE(reader.IsOpen());
    EXPECT_EQ(reader.Open(name, 64, 32), "magic 0x00000000, expected 0x4346565A");

    Writer again; // takes the held section over; the count goes on
    ASSERT_TRUE(again.Open(name, 64, 32, whyNot)) << whyNot;
    again.Publish(PatternFrame(64, 32, 2).data(), 64, 2);
    EXPECT_EQ(again.Header()->published, 2u);
    ASSERT_EQ(reader.Open(name, 64, 32), "");
    EXPECT_EQ(reader.ConvertNewest(convert_format_nv12_yuy2, out.data()).frameNumber, 2u);

    Writer smaller, larger;
    ASSERT_TRUE(smaller.Open(name, 32, 16, whyNot)) << whyNot;
    EXPECT_EQ(reader.ConvertNewest(convert_format_nv12_yuy2, out.data()).outcome, Reader::Outcome::Closed);
    EXPECT_EQ(reader.Open(name, 64, 32), "frames of 32,16, expected 64,32");
    EXPECT_FALSE(larger.Open(name, 1920, 1080, whyNot));
    EXPECT_NE(whyNot.find("the section exists already with 12288 bytes"), std::string::npos) << whyNot;
}

// A writer rewriting the slots as fast as it can while the reader converts: every frame the reader
// keeps is one whole frame, the one its slot says, and the newest never goes backwards. The large
// frame also takes the kernels' non-temporal stores; with two slots the writer is back at the one
// being read after a single frame. Whether a racing read finds a whole frame is up to the
// scheduler (a correct reader may answer Torn), so every 16th read is made with the writer held
// between two frames: that one must keep exactly the newest frame.
TEST(FrameChannel, AReaderRacingTheWriterKeepsOnlyWholeFrames) {
    const struct {
        std::uint32_t width, height, slots;
        int reads;
    } cases[] = {{330, 240, kDefaultSlots, 3000}, {1280, 720, kMinSlots, 150}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.width);
        constexpr std::uint64_t kDistinct = 16; // the pattern repeats only after 64 frames
        std::vector<Bytes> frames, expected;
        for (std::uint64_t n = 0; n < kDistinct; ++n) {
            frames.push_back(PatternFrame(c.width, c.height, n));
            expected.push_back(Yuy2(frames.back(), c.width, c.height));
        }
        const std::wstring name = UniqueName(L"FrameChannel");
        Writer writer;
        std::string whyNot;
        ASSERT_TRUE(writer.Open(name, c.width, c.height, whyNot, c.slots)) << whyNot;
        writer.Publish(frames[0].data(), c.width, 0);
        Reader reader;
        ASSERT_EQ(reader.Open(name, c.width, c.height), "");

        // The writer stops between two frames while `hold` is set: it says so by `held` and goes on
        // at `resume`. `published` is set once it has published a frame of its own.
        std::atomic<bool> stop{false}, hold{false};
        std::atomic<std::uint64_t> written{0};
        const auto event = [] {
            return std::shared_ptr<void>(CreateEventW(nullptr, FALSE, FALSE, nullptr), CloseHandle);
        };
        const auto held = event(), resume = event(), published = event();
        std::thread racer([&] {
            for (std::uint64_t n = 1; !stop.load(); ++n) {
                if (hold.load()) {
                    SetEvent(held.get());
                    WaitForSingleObject(resume.get(), INFINITE);
                }
                writer.Publish(frames[n % kDistinct].data(), c.width, n);
                written.store(n);
                if (n == 1)
                    SetEvent(published.get());
            }
        });
        const std::shared_ptr<void> ending(nullptr, [&](void*) { // however the test leaves
            stop = true;
            SetEvent(resume.get());
            racer.join();
        });
        ASSERT_EQ(WaitForSingleObject(published.get(), 20000), WAIT_OBJECT_0);
        Bytes out(yuy2_frame_bytes(c.width, c.height));
        int whole = 0, wrong = 0, heldReads = 0;
        std::uint64_t last = 0;
        bool backwards = false;
        for (int i = 0; i < c.reads; ++i) {
            const bool holding = i % 16 == 0;
            if (holding) {
                hold = true;
                ASSERT_EQ(WaitForSingleObject(held.get(), 20000), WAIT_OBJECT_0);
            }
            const auto result = reader.ConvertNewest(convert_format_nv12_yuy2, out.data());
            if (holding) {
                ++heldReads;
                EXPECT_EQ(std::pair(result.outcome, result.frameNumber),
                          std::pair(Reader::Outcome::Frame, written.load()));
                hold = false;
                SetEvent(resume.get());
            }
            if (result.outcome == Reader::Outcome::Torn)
                continue; // given up after its retries: allowed, keeps nothing
            ASSERT_EQ(result.outcome, Reader::Outcome::Frame);
            ++whole;
            wrong += out != expected[result.frameNumber % kDistinct];
            backwards = backwards || result.frameNumber < last;
            last = result.frameNumber;
        }
        EXPECT_EQ(wrong, 0) << "of " << whole << " frames kept, " << heldReads << " with the writer held";
        EXPECT_FALSE(backwards);
    }
}

} // namespace
