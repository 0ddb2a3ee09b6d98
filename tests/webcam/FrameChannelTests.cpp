// The shared-memory frame channel on the platform's real sections: pitched frames through the slots,
// what the reader refuses, and that a reader racing a writer never keeps a torn frame. Every section
// has a name of this program's own, so these tests share nothing system-wide.
#include "webcam/FrameChannel.h"

#include "../IPC/SecurityTestSupport.h"
#include "WebcamTestSupport.h"

#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cwchar>
#include <memory>
#include <thread>
#include <vector>

using namespace Zarvo;
using namespace Zarvo::FrameChannel;
using namespace Zarvo::Testing;

namespace {

// This process's user: the SID's bytes, and its text for the descriptors.
std::vector<std::uint8_t> ProcessUser() {
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    const UniqueHandleNull owned(token);
    return IPC::ObjectSecurity::TokenUserSid(token);
}
std::wstring ProcessUserText() {
    const std::string text = ProcessUserSid();
    return {text.begin(), text.end()};
}

// Security of a descriptor text, kept for a table's lifetime.
struct Security {
    explicit Security(const std::wstring& text) {
        EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1, &descriptor, nullptr));
        attributes = {sizeof(attributes), descriptor, FALSE};
    }
    ~Security() { LocalFree(descriptor); }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    SECURITY_ATTRIBUTES attributes{};
};

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

// A channel lives in the address space of every host that reads it, 32-bit ones too. A reader maps
// the header and the slots it describes, not the whole section, which may be far larger; no writer
// makes a channel for odd sides (which readers refuse) or beyond a channel's limit.
TEST(FrameChannel, AReaderMapsOnlyTheSlotsAndNoWriterMakesAChannelReadersRefuse) {
    constexpr std::uint32_t kWidth = 64, kHeight = 32;
    constexpr std::uint64_t kSection = std::uint64_t{1} << 30;
    const std::wstring name = UniqueName(L"FrameChannel"), small = UniqueName(L"FrameChannel");
    const UniqueHandleNull section(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                                      static_cast<DWORD>(kSection >> 32), static_cast<DWORD>(kSection),
                                                      name.c_str()));
    ASSERT_TRUE(section);
    {   // A whole channel at the start of the large section, as a writer of its own size leaves it.
        Writer writer;
        std::string whyNot;
        ASSERT_TRUE(writer.Open(small, kWidth, kHeight, whyNot)) << whyNot;
        writer.Publish(PatternFrame(kWidth, kHeight, 5).data(), kWidth, 5);
        const std::size_t bytes = SectionBytes(WriterPitch(kWidth), kHeight, kDefaultSlots);
        void* start = MapViewOfFile(section.get(), FILE_MAP_WRITE, 0, 0, bytes);
        ASSERT_NE(start, nullptr);
        std::memcpy(start, writer.Header(), bytes);
        UnmapViewOfFile(start);
    }
    Reader reader;
    ASSERT_EQ(reader.Open(name, kWidth, kHeight), "");
    std::vector<std::uint8_t> yuy2(2 * kWidth * kHeight);
    EXPECT_EQ(reader.ConvertNewest(PixelKernels::Nv12ToYuy2(PixelKernels::Isa::Scalar), yuy2.data()).outcome,
              Reader::Outcome::Frame);
    std::uint64_t largest = 0; // the largest view of a section in this process
    MEMORY_BASIC_INFORMATION info{};
    for (auto* at = static_cast<std::uint8_t*>(nullptr); VirtualQuery(at, &info, sizeof(info)) == sizeof(info);
         at = static_cast<std::uint8_t*>(info.BaseAddress) + info.RegionSize)
        if (info.Type == MEM_MAPPED)
            largest = std::max<std::uint64_t>(largest, info.RegionSize);
    EXPECT_LT(largest, kSection / 2);

    std::string whyNot;
    EXPECT_FALSE(Writer().Open(UniqueName(L"FrameChannel"), 63, 32, whyNot));
    EXPECT_EQ(whyNot, "no channel for 63,32 in 3 slots");
    EXPECT_FALSE(Writer().Open(UniqueName(L"FrameChannel"), 8192, 8192, whyNot)); // 96 MiB a slot
    EXPECT_EQ(whyNot, "no channel for 8192,8192 in 3 slots");
}

// A section someone else made first under the channel's name: a writer with rules of its own (the app)
// does not publish in it, whoever owns it or whatever its rules admit, yet takes up its own leftover;
// a reader told the app's user reads only a section that user owns.
TEST(FrameChannel, ASectionMadeFirstBySomeoneElseIsNeitherWrittenNorRead) {
    constexpr std::uint32_t kWidth = 64, kHeight = 32;
    const std::vector<std::uint8_t> userBytes = ProcessUser();
    const std::wstring user = ProcessUserText();
    Security ours(L"O:" + user + L"D:P(A;;GA;;;" + user + L")(A;;GA;;;SY)");
    const struct {
        const wchar_t* what;
        std::wstring firstMade; // security of the section made first
        const char* writerRefusal; // null: the app takes it up
        const char* readerRefusal; // null: a reader told the user reads it
    } cases[] = {
        {L"another owner", L"O:LSD:(A;;GA;;;WD)", "is not ours (owner S-1-5-19", "not the app's: owner S-1-5-19"},
        {L"rules for everyone", L"O:" + user + L"D:(A;;GA;;;WD)", "is not ours (its rules admit S-1-1-0", nullptr},
        {L"the app's own leftover", L"O:" + user + L"D:P(A;;GA;;;" + user + L")(A;;GA;;;SY)", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.what, c.what + wcslen(c.what)));
        const std::wstring name = UniqueName(L"FrameChannel");
        Security first(c.firstMade);
        Writer squatter(&first.attributes);
        std::string whyNot;
        ASSERT_TRUE(squatter.Open(name, kWidth, kHeight, whyNot)) << whyNot;
        squatter.Publish(PatternFrame(kWidth, kHeight, 5).data(), kWidth, 5);
        Reader reader;
        const std::string read = reader.Open(name, kWidth, kHeight, userBytes);
        EXPECT_EQ(read.empty(), !c.readerRefusal) << read;
        if (c.readerRefusal) {
            EXPECT_NE(read.find(c.readerRefusal), std::string::npos) << read;
        }
        Writer app(&ours.attributes);
        whyNot.clear();
        EXPECT_EQ(app.Open(name, kWidth, kHeight, whyNot), !c.writerRefusal) << whyNot;
        if (c.writerRefusal) {
            EXPECT_NE(whyNot.find(c.writerRefusal), std::string::npos) << whyNot;
        }
    }
}

// Across sessions the camera (the platform's camera service, LOCAL SERVICE) makes the channel and the
// app joins it. The app publishes the user's frames only into a section whose owner and rules admit
// no one beyond the camera's account, the user and SYSTEM; the camera uses a section of that name only
// when it is its own. Here the camera's account is this test's user, as the app's is.
TEST(FrameChannel, AChannelMadeForAnAppOfAnotherSessionCarriesOnlyRulesBothTrust) {
    constexpr std::uint32_t kWidth = 64, kHeight = 32;
    const std::vector<std::uint8_t> user = ProcessUser();
    const std::wstring userText = ProcessUserText();
    BYTE service[SECURITY_MAX_SID_SIZE];
    DWORD serviceBytes = sizeof(service);
    ASSERT_TRUE(CreateWellKnownSid(WinLocalServiceSid, nullptr, service, &serviceBytes));
    const std::vector<std::uint8_t> cameraService(service, service + serviceBytes);

    {
        const std::wstring name = L"Global\\" + UniqueName(L"FrameChannel");
        HostedChannel hosted, again;
        ASSERT_EQ(hosted.Create(name, kWidth, kHeight, user), "");
        Writer app;
        std::string whyNot;
        ASSERT_TRUE(app.Join(name, kWidth, kHeight, cameraService, whyNot)) << whyNot;
        app.Publish(PatternFrame(kWidth, kHeight, 7).data(), kWidth, 7);
        Reader camera;
        ASSERT_EQ(camera.Open(name, kWidth, kHeight, user), "");
        EXPECT_NE(camera.PublishedEvent(), nullptr);
        Bytes out(yuy2_frame_bytes(kWidth, kHeight));
        const auto result = camera.ConvertNewest(convert_format_nv12_yuy2, out.data());
        EXPECT_EQ(std::pair(result.outcome, result.frameNumber), std::pair(Reader::Outcome::Frame, std::uint64_t{7}));
        EXPECT_EQ(out, Yuy2(PatternFrame(kWidth, kHeight, 7), kWidth, kHeight));
        EXPECT_EQ(again.Create(name, kWidth, kHeight, user), ""); // a camera coming back takes up its own
    }

    const struct {
        const char* what;
        std::wstring firstMade;  // security of the section someone made first; empty: none
        const char* joinRefusal; // null: the app publishes there
        const char* hostRefusal; // null: the camera takes it up
    } cases[] = {
        {"none", L"", "no section", nullptr},
        {"the camera service's", L"O:LSD:P(A;;GA;;;LS)(A;;0x120007;;;" + userText + L")(A;;GA;;;SY)", nullptr,
         "CreateFileMapping failed 5"}, // made for the user, not by it: the rules deny it the making
        {"another owner", L"O:BAD:P(A;;GA;;;" + userText + L")(A;;GA;;;SY)", "not the camera's (owner S-1-5-32-544",
         "not ours (owner S-1-5-32-544"},
        {"rules for everyone", L"O:" + userText + L"D:(A;;GA;;;WD)", "not the camera's (its rules admit S-1-1-0",
         "not ours (its rules admit S-1-1-0"},
        {"rules for administrators", L"O:" + userText + L"D:P(A;;GA;;;" + userText + L")(A;;GR;;;BA)",
         "its rules admit S-1-5-32-544", "its rules admit S-1-5-32-544"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring name = L"Global\\" + UniqueName(L"FrameChannel");
        std::unique_ptr<Security> first;
        std::unique_ptr<Writer> squatter;
        std::string whyNot;
        if (!c.firstMade.empty()) {
            first = std::make_unique<Security>(c.firstMade);
            squatter = std::make_unique<Writer>(&first->attributes);
            ASSERT_TRUE(squatter->Open(name, kWidth, kHeight, whyNot)) << whyNot;
        }
        Writer app;
        EXPECT_EQ(app.Join(name, kWidth, kHeight, cameraService, whyNot), !c.joinRefusal) << whyNot;
        if (c.joinRefusal) {
            EXPECT_NE(whyNot.find(c.joinRefusal), std::string::npos) << whyNot;
        }
        HostedChannel camera;
        const std::string made = camera.Create(name, kWidth, kHeight, user);
        EXPECT_EQ(made.empty(), !c.hostRefusal) << made;
        if (c.hostRefusal) {
            EXPECT_NE(made.find(c.hostRefusal), std::string::npos) << made;
        }
    }
}
