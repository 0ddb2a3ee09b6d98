#pragma once
// The shared-memory frame channel: the companion app publishes its newest NV12 frame in a named
// section, for cameras that cannot open its GPU texture (another adapter, remote sessions, Wine).
//
// Layout (all little-endian, offsets from the start of the section):
//   ChannelHeader at 0, then `slotCount` slots from `slotOffset`, `slotStride` bytes apart. A slot is
//   a SlotHeader followed by one pitched NV12 frame: `height` luma rows of `rowPitch` bytes, then
//   `height / 2` rows of interleaved U,V, `frameBytes` in all.
//
// Publishing: the n-th published frame (n from 1) goes into slot (n - 1) % slotCount. The writer makes
// the slot's `sequence` odd, writes the frame, makes `sequence` even again and only then stores n in
// `published`. A reader takes the slot of the newest `published`, reads an even `sequence`, converts
// the pixels, and keeps the result only if `sequence` is still the same: the writer never waits for a
// reader, and a reader never keeps a frame that changed under it.
//
// Waking: beside the section, a manual-reset event named after it with kPublishedSuffix. The writer
// resets it before it fills a slot and sets it once the frame is published, so a reader that found no
// new frame can sleep until one comes instead of looking again and again. A reader that misses one
// setting (it looked just before a publication and waits just after the next fill began) wakes at the
// next publication; readers bound their waits, so a missing event only costs them that.
//
// The writer stores `magic` last when it sets the channel up and clears it first when it closes it or
// changes the geometry, so a reader that sees the magic sees the fields it guards.

#include "webcam/PixelConversion.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

struct _SECURITY_ATTRIBUTES;

namespace Zarvo::FrameChannel {

// In the session's namespace, so each desktop session has its own channel.
inline constexpr wchar_t kSectionName[] = L"Zarvo/Webcam/Frames";
// The published event's name is the section's followed by this.
inline constexpr wchar_t kPublishedSuffix[] = L"/Published";

inline constexpr std::uint32_t kMagic = 0x4346565A;      // "ZVFC"
inline constexpr std::uint32_t kVersion = 1;             // layout version; readers refuse others
inline constexpr std::uint32_t kFormatNv12 = 0x3231564E; // FOURCC "NV12"
inline constexpr std::uint32_t kMinSlots = 2;
inline constexpr std::uint32_t kMaxSlots = 4;
inline constexpr std::uint32_t kDefaultSlots = 3;
inline constexpr std::uint32_t kMaxDimension = 16384; // keeps every size below well inside 64 bits
// A reader maps no more than this, nor a writer makes more: a channel lives in the address space of
// every host that reads it, 32-bit ones too. Four slots of 4096 x 4096 fit.
inline constexpr std::uint64_t kMaxChannelBytes = std::uint64_t{128} << 20;

struct ChannelHeader {
    std::uint32_t magic;
    std::uint32_t version;
    std::uint32_t headerBytes; // sizeof(ChannelHeader)
    std::uint32_t pixelFormat; // kFormatNv12
    std::uint32_t width;
    std::uint32_t height;
    std::uint32_t rowPitch; // bytes from one row to the next, luma and chroma alike; >= width
    std::uint32_t slotCount;
    std::uint64_t slotOffset; // where slot 0 starts
    std::uint64_t slotStride; // from one slot to the next; >= sizeof(SlotHeader) + frameBytes
    std::uint64_t frameBytes; // rowPitch * (height + height / 2)
    std::uint64_t published;  // frames published so far (atomic); 0: none yet
    std::uint8_t reserved[64];
};

struct SlotHeader {
    std::uint64_t sequence;    // odd while the writer fills the slot (atomic)
    std::uint64_t frameNumber; // the writer's number of the frame in the slot
    std::uint64_t publishTime; // QueryPerformanceCounter when the writer finished the frame
    std::uint8_t reserved[40];
};

static_assert(std::is_standard_layout_v<ChannelHeader> && std::is_trivially_copyable_v<ChannelHeader>);
static_assert(std::is_standard_layout_v<SlotHeader> && std::is_trivially_copyable_v<SlotHeader>);
// The 64-bit server writes what 32-bit and 64-bit cameras read: every offset is fixed here, so a build
// whose layout differs does not compile.
static_assert(sizeof(ChannelHeader) == 128);
static_assert(offsetof(ChannelHeader, magic) == 0 && offsetof(ChannelHeader, version) == 4 &&
              offsetof(ChannelHeader, headerBytes) == 8 && offsetof(ChannelHeader, pixelFormat) == 12 &&
              offsetof(ChannelHeader, width) == 16 && offsetof(ChannelHeader, height) == 20 &&
              offsetof(ChannelHeader, rowPitch) == 24 && offsetof(ChannelHeader, slotCount) == 28);
static_assert(offsetof(ChannelHeader, slotOffset) == 32 && offsetof(ChannelHeader, slotStride) == 40 &&
              offsetof(ChannelHeader, frameBytes) == 48 && offsetof(ChannelHeader, published) == 56 &&
              offsetof(ChannelHeader, reserved) == 64);
static_assert(sizeof(SlotHeader) == 64);
static_assert(offsetof(SlotHeader, sequence) == 0 && offsetof(SlotHeader, frameNumber) == 8 &&
              offsetof(SlotHeader, publishTime) == 16 && offsetof(SlotHeader, reserved) == 24);
// The shared words are read and written atomically from both sides: 8-byte aligned in every build.
static_assert(alignof(ChannelHeader) == 8 && alignof(SlotHeader) == 8);

// The fields a reader validates once and then expects unchanged: everything before `published`.
inline constexpr std::size_t kGeometryBytes = offsetof(ChannelHeader, published);

constexpr std::uint64_t FrameBytes(std::uint64_t rowPitch, std::uint64_t height) noexcept {
    return rowPitch * (height + height / 2);
}

// Slots start on a 64-byte boundary, so rows start where the writer's stores are cheapest.
constexpr std::uint64_t SlotStride(std::uint64_t rowPitch, std::uint64_t height) noexcept {
    return (sizeof(SlotHeader) + FrameBytes(rowPitch, height) + 63) / 64 * 64;
}

// The row pitch a writer gives frames of `width` pixels.
constexpr std::uint32_t WriterPitch(std::uint32_t width) noexcept {
    return (width + 63) / 64 * 64;
}

constexpr std::uint64_t SectionBytes(std::uint64_t rowPitch, std::uint64_t height,
                                     std::uint32_t slots) noexcept {
    return sizeof(ChannelHeader) + slots * SlotStride(rowPitch, height);
}

// The server's side: creates (or takes over) the section and publishes frames into it. One thread
// publishes; Open and Close are not concurrent with Publish.
class Writer {
public:
    // `security` (kept, may be null for the default) is the section's security when this writer
    // creates it. A writer with security uses a section (and event) that exists already only when
    // its owner is this process's user and its rules admit no one but that user and SYSTEM.
    explicit Writer(_SECURITY_ATTRIBUTES* security = nullptr);
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Sets the channel up for NV12 frames of the given size under `name`. A section of that name
    // that exists already (a reader still maps it) is reused when it is large enough. False, with
    // `whyNot` filled in, when the channel cannot be set up; nothing is published then.
    bool Open(const std::wstring& name, std::uint32_t width, std::uint32_t height, std::string& whyNot,
              std::uint32_t slots = kDefaultSlots);
    // Publishes into a section made by a camera of another session (one this process's user may not
    // make), at the default slot count. Only when the section's owner and the users its rules admit
    // are this process's user, `peer` (the camera's account) and SYSTEM: the frames are the user's.
    // The event is used on the same terms. False, with `whyNot`, otherwise.
    bool Join(const std::wstring& name, std::uint32_t width, std::uint32_t height,
              const std::vector<std::uint8_t>& peer, std::string& whyNot);
    bool IsOpen() const noexcept;

    // Copies one NV12 frame (luma rows then chroma rows, both `sourcePitch` apart) into the next slot
    // and publishes it as number `frameNumber`. Does nothing when the channel is not open.
    void Publish(const std::uint8_t* frame, std::size_t sourcePitch, std::uint64_t frameNumber) noexcept;

    // Tells readers the channel is gone, then lets go of the section.
    void Close() noexcept;

    // The mapped header, writable: tests use it to make malformed channels.
    ChannelHeader* Header() noexcept;

private:
    struct Mapping;
    // Maps the opened section and sets the channel up in it.
    bool Adopt(std::unique_ptr<Mapping> mapping, std::uint32_t width, std::uint32_t height, std::uint32_t slots,
               bool reused, std::string& whyNot);

    std::unique_ptr<Mapping> mMapping;
    _SECURITY_ATTRIBUTES* mSecurity;
};

// A camera's side when the app runs in another session, where neither can reach the other's
// session-local objects and only the camera's account may make machine-wide ones: the camera makes
// the section and its event for the app's user to publish into (Writer::Join), and reads it as any
// channel, owned by its own account. The objects live as long as this.
class HostedChannel {
public:
    HostedChannel();
    ~HostedChannel();
    HostedChannel(const HostedChannel&) = delete;
    HostedChannel& operator=(const HostedChannel&) = delete;

    // Makes `name` for frames of `width` x `height` at the default slot count: owned by this
    // process's user, which alone has full access; `appUser` (a SID's bytes) may map it, read and
    // write it, and set the event; SYSTEM has full access. An existing object of that name is used
    // only when it carries exactly these rules. Empty on success, otherwise why not.
    std::string Create(const std::wstring& name, std::uint32_t width, std::uint32_t height,
                       const std::vector<std::uint8_t>& appUser);
    bool IsOpen() const noexcept;

private:
    struct Objects;
    std::unique_ptr<Objects> mObjects;
};

// The camera's side: opens the section read-only and converts its newest complete frame.
class Reader {
public:
    enum class Outcome {
        Frame,   // the destination holds one whole frame
        NoFrame, // nothing published yet; the destination is untouched
        Torn,    // the writer overtook every attempt; the destination holds no whole frame
        Closed,  // the writer closed or changed the channel; the reader closed its side
    };
    struct Result {
        Outcome outcome = Outcome::NoFrame;
        std::uint64_t frameNumber = 0;
        std::uint64_t publishTime = 0;
    };

    Reader();
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Opens `name` and accepts it only for NV12 frames of exactly `width` x `height` (of any even size
    // up to kMaxDimension when both are 0) whose slots fit in the section, and, when `owner` (a SID's
    // bytes) is given, only when that user owns the section. Empty on success, otherwise what was wrong
    // (the channel stays closed).
    std::string Open(const std::wstring& name, std::uint32_t width, std::uint32_t height,
                     const std::vector<std::uint8_t>& owner = {});
    bool IsOpen() const noexcept;
    // The frames' width and height as the channel was opened; 0, 0 when closed.
    std::pair<std::uint32_t, std::uint32_t> FrameSize() const noexcept;
    void Close() noexcept;

    // Converts the newest complete frame with `kernel` (a convert_format_nv12_* function) straight into
    // `destination`, which must hold what the kernel writes for the channel's size. A null kernel
    // converts nothing.
    Result ConvertNewest(PixelKernels::Kernel kernel, std::uint8_t* destination) noexcept;
    // The same with a conversion of the caller's (a scaling one): it gets the frame's row pitch, its
    // first byte and the destination.
    using Converter = std::function<void(std::uint64_t pitch, const std::uint8_t* frame, std::uint8_t* destination)>;
    Result ConvertNewest(const Converter& convert, std::uint8_t* destination) noexcept;

    // The number and time of the newest complete frame, without its pixels: what a camera that
    // takes its pictures from elsewhere (the GPU texture) learns of the app's publications.
    Result PeekNewest() noexcept { return ConvertNewest(Converter(), nullptr); }

    // Frames the writer has published so far; 0 when closed. Cheap: one load, for polling.
    std::uint64_t Published() const noexcept;
    // Set by the writer when it publishes a frame (see the layout above); null when closed or when
    // the writer made none. A reader may reset it to wait for the next publication, where the
    // writer's access rules allow (they do for the writer's own user).
    void* PublishedEvent() const noexcept;

    // Attempts that found their slot changed under them, since the reader was made.
    std::uint64_t TornAttempts() const noexcept { return mTornAttempts; }

    // Attempts per ConvertNewest before it answers Torn.
    static constexpr int kAttempts = 3;

private:
    bool GeometryUnchanged() const noexcept;

    struct Mapping;
    std::unique_ptr<Mapping> mMapping;
    std::uint64_t mTornAttempts = 0;
};

} // namespace Zarvo::FrameChannel
