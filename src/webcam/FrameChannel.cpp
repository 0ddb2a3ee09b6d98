#include "webcam/FrameChannel.h"

#include "log/Text.h"
#include "runtime/Handles.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <cstring>
#include <vector>

namespace Zarvo::FrameChannel {

namespace {

static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free,
              "the channel's counters are shared lock-free");
static_assert(std::atomic_ref<std::uint32_t>::is_always_lock_free, "the channel's magic is shared lock-free");

// The channel's counters live in shared memory: every access goes through these, never a plain load.
// The reader's view is read-only; a lock-free load of an aligned word does not write.
std::uint64_t Load(const std::uint64_t& word, std::memory_order order) noexcept {
    return std::atomic_ref<std::uint64_t>(const_cast<std::uint64_t&>(word)).load(order);
}
std::uint32_t Load(const std::uint32_t& word, std::memory_order order) noexcept {
    return std::atomic_ref<std::uint32_t>(const_cast<std::uint32_t&>(word)).load(order);
}
void Store(std::uint64_t& word, std::uint64_t value, std::memory_order order) noexcept {
    std::atomic_ref<std::uint64_t>(word).store(value, order);
}
void Store(std::uint32_t& word, std::uint32_t value, std::memory_order order) noexcept {
    std::atomic_ref<std::uint32_t>(word).store(value, order);
}

std::uint64_t Ticks() noexcept {
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return static_cast<std::uint64_t>(now.QuadPart);
}

// A mapped view of the section's first `size` bytes (0: all of it) and the bytes the system gave it
// (whole pages, at least those asked for).
class View {
public:
    View() = default;
    View(HANDLE section, DWORD access, std::size_t size = 0) : mBase(MapViewOfFile(section, access, 0, 0, size)) {
        MEMORY_BASIC_INFORMATION info{};
        if (mBase && VirtualQuery(mBase, &info, sizeof(info)) == sizeof(info))
            mBytes = info.RegionSize;
    }
    View(View&& other) noexcept : mBase(std::exchange(other.mBase, nullptr)), mBytes(other.mBytes) {}
    View& operator=(View&& other) noexcept {
        if (this != &other) {
            reset();
            mBase = std::exchange(other.mBase, nullptr);
            mBytes = other.mBytes;
        }
        return *this;
    }
    ~View() { reset(); }
    void reset() noexcept {
        if (mBase)
            UnmapViewOfFile(mBase);
        mBase = nullptr;
        mBytes = 0;
    }
    std::uint8_t* get() const noexcept { return static_cast<std::uint8_t*>(mBase); }
    std::size_t bytes() const noexcept { return mBytes; }
    explicit operator bool() const noexcept { return mBase != nullptr; }

private:
    void* mBase = nullptr;
    std::size_t mBytes = 0;
};

std::string Hex(std::uint32_t value) {
    return "0x" + FormatHex64(value).substr(8);
}

std::string SidText(PSID sid) {
    char* text = nullptr;
    if (!sid || !ConvertSidToStringSidA(sid, &text))
        return "(none)";
    std::string result(text);
    LocalFree(text);
    return result;
}

// The user this process runs as; empty when it cannot be read.
std::vector<std::uint8_t> ProcessUser() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return {};
    const UniqueHandleNull owned(token);
    DWORD bytes = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &bytes);
    // TOKEN_USER holds a pointer: a buffer of pointers keeps it aligned.
    std::vector<void*> buffer(bytes / sizeof(void*) + 1);
    if (!bytes || !GetTokenInformation(token, TokenUser, buffer.data(), bytes, &bytes))
        return {};
    const PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    const auto* first = static_cast<const std::uint8_t*>(sid);
    return {first, first + GetLengthSid(sid)};
}

using Sid = std::vector<std::uint8_t>;

Sid SystemSid() {
    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD bytes = sizeof(system);
    if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &bytes))
        return {};
    return Sid(system, system + bytes);
}

bool AnyEqual(PSID sid, const std::vector<Sid>& sids) {
    for (const Sid& candidate : sids) {
        if (!candidate.empty() && EqualSid(sid, const_cast<std::uint8_t*>(candidate.data())))
            return true;
    }
    return false;
}

// Empty when the object's owner is one of `owners` and, when `admitted` is given, its access rules
// admit no one beyond those; otherwise what is not so. Read from the open handle, not looked up by
// name.
std::string RulesBeyond(HANDLE object, const std::vector<Sid>& owners, const std::vector<Sid>* admitted) {
    if (owners.empty() || owners.front().empty())
        return "this process's user is unknown";
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | (admitted ? DACL_SECURITY_INFORMATION : 0);
    if (const DWORD error = GetSecurityInfo(object, SE_KERNEL_OBJECT, wanted, &owner, nullptr,
                                            admitted ? &dacl : nullptr, nullptr, &descriptor))
        return "its security is unreadable (error " + std::to_string(error) + ")";
    const auto freeLocal = [](void* memory) { LocalFree(memory); }; // LocalFree is __stdcall on x86
    const std::unique_ptr<void, decltype(freeLocal)> owned(descriptor, freeLocal);
    if (!owner || !IsValidSid(owner) || !AnyEqual(owner, owners))
        return "owner " + SidText(owner) + ", not " + SidText(const_cast<std::uint8_t*>(owners.front().data()));
    if (!admitted)
        return {};
    if (!dacl)
        return "no access rules: everyone may use it";
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)) || ace->AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;
        PSID sid = &reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
        if (!AnyEqual(sid, *admitted))
            return "its rules admit " + SidText(sid);
    }
    return {};
}

// Owned by `user` (and only usable by it and SYSTEM): what the app's own objects carry.
std::string ForeignRules(HANDLE object, const Sid& user, bool onlyUserAndSystem) {
    const std::vector<Sid> admitted{user, SystemSid()};
    return RulesBeyond(object, {user}, onlyUserAndSystem ? &admitted : nullptr);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Writer

struct Writer::Mapping {
    UniqueHandleNull section;
    UniqueHandleNull publishedEvent; // may be null: readers then only look on their own schedule
    View view;
    // The geometry as this writer set it up: what the shared header says afterwards is not trusted,
    // so nothing another process writes there can send the writer outside its view.
    ChannelHeader geometry{};
    std::uint64_t published = 0;
    ChannelHeader* header() const noexcept { return reinterpret_cast<ChannelHeader*>(view.get()); }
    SlotHeader* slot(std::uint64_t index) const noexcept {
        return reinterpret_cast<SlotHeader*>(view.get() + geometry.slotOffset + index * geometry.slotStride);
    }
};

Writer::Writer(_SECURITY_ATTRIBUTES* security) : mSecurity(security) {}
Writer::~Writer() {
    Close();
}

bool Writer::IsOpen() const noexcept {
    return mMapping != nullptr;
}

ChannelHeader* Writer::Header() noexcept {
    return mMapping ? mMapping->header() : nullptr;
}

namespace {

std::string NoChannelFor(std::uint32_t width, std::uint32_t height, std::uint32_t slots) {
    // Odd sides too: NV12 has none, and readers refuse them.
    if (width == 0 || height == 0 || width % 2 || height % 2 || width > kMaxDimension || height > kMaxDimension ||
        slots < kMinSlots || slots > kMaxSlots || SectionBytes(WriterPitch(width), height, slots) > kMaxChannelBytes)
        return "no channel for " + std::to_string(width) + "," + std::to_string(height) + " in " +
               std::to_string(slots) + " slots";
    return {};
}

} // namespace

bool Writer::Open(const std::wstring& name, std::uint32_t width, std::uint32_t height, std::string& whyNot,
                  std::uint32_t slots) {
    Close();
    if (whyNot = NoChannelFor(width, height, slots); !whyNot.empty())
        return false;
    const std::uint64_t bytes = SectionBytes(WriterPitch(width), height, slots);

    auto mapping = std::make_unique<Mapping>();
    mapping->section.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, mSecurity, PAGE_READWRITE,
                                              static_cast<DWORD>(bytes >> 32), static_cast<DWORD>(bytes),
                                              name.c_str()));
    const DWORD created = GetLastError();
    if (!mapping->section) {
        whyNot = "CreateFileMapping failed " + std::to_string(created);
        return false;
    }
    const bool reused = created == ERROR_ALREADY_EXISTS;
    // A writer with rules of its own uses a section made before only when it carries them: one that
    // someone else made first could feed the camera pictures or read the user's.
    const Sid user = mSecurity ? ProcessUser() : Sid();
    if (reused && mSecurity) {
        if (std::string foreign = ForeignRules(mapping->section.get(), user, true); !foreign.empty()) {
            whyNot = "the section exists already and is not ours (" + foreign + "): frames go by the texture only";
            return false;
        }
    }
    mapping->publishedEvent.reset(CreateEventW(mSecurity, TRUE, FALSE, (name + kPublishedSuffix).c_str()));
    // Nor an event made first by someone else: readers then wake on their own schedule.
    if (mapping->publishedEvent && mSecurity && GetLastError() == ERROR_ALREADY_EXISTS &&
        !ForeignRules(mapping->publishedEvent.get(), user, true).empty())
        mapping->publishedEvent.reset();
    return Adopt(std::move(mapping), width, height, slots, reused, whyNot);
}

bool Writer::Join(const std::wstring& name, std::uint32_t width, std::uint32_t height,
                  const std::vector<std::uint8_t>& peer, std::string& whyNot) {
    Close();
    const std::uint32_t slots = kDefaultSlots;
    if (whyNot = NoChannelFor(width, height, slots); !whyNot.empty())
        return false;
    auto mapping = std::make_unique<Mapping>();
    mapping->section.reset(OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE | READ_CONTROL, FALSE, name.c_str()));
    if (!mapping->section) {
        const DWORD error = GetLastError();
        whyNot = error == ERROR_FILE_NOT_FOUND ? std::string("no section")
                                               : "OpenFileMapping failed " + std::to_string(error);
        return false;
    }
    // The user's frames go only where no one but the camera's account, this user and SYSTEM can
    // read them, and where only they could change that.
    const std::vector<Sid> trusted{ProcessUser(), peer, SystemSid()};
    if (trusted[0].empty() || peer.empty()) {
        whyNot = "the users to trust are unknown";
        return false;
    }
    if (std::string foreign = RulesBeyond(mapping->section.get(), trusted, &trusted); !foreign.empty()) {
        whyNot = "the section is not the camera's (" + foreign + ")";
        return false;
    }
    mapping->publishedEvent.reset(
        OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE | READ_CONTROL, FALSE, (name + kPublishedSuffix).c_str()));
    if (mapping->publishedEvent && !RulesBeyond(mapping->publishedEvent.get(), trusted, &trusted).empty())
        mapping->publishedEvent.reset();
    return Adopt(std::move(mapping), width, height, slots, true, whyNot);
}

bool Writer::Adopt(std::unique_ptr<Mapping> mapping, std::uint32_t width, std::uint32_t height,
                   std::uint32_t slots, bool reused, std::string& whyNot) {
    const std::uint32_t pitch = WriterPitch(width);
    const std::uint64_t bytes = SectionBytes(pitch, height, slots);
    mapping->view = View(mapping->section.get(), FILE_MAP_WRITE);
    if (!mapping->view) {
        whyNot = "MapViewOfFile failed " + std::to_string(GetLastError());
        return false;
    }
    // A section a reader still holds keeps its old size.
    if (mapping->view.bytes() < bytes) {
        whyNot = "the section exists already with " + std::to_string(mapping->view.bytes()) +
                 " bytes; frames of " + std::to_string(width) + "," + std::to_string(height) + " need " +
                 std::to_string(bytes);
        return false;
    }

    ChannelHeader& g = mapping->geometry;
    g.version = kVersion;
    g.headerBytes = sizeof(ChannelHeader);
    g.pixelFormat = kFormatNv12;
    g.width = width;
    g.height = height;
    g.rowPitch = pitch;
    g.slotCount = slots;
    g.slotOffset = sizeof(ChannelHeader);
    g.slotStride = SlotStride(pitch, height);
    g.frameBytes = FrameBytes(pitch, height);

    ChannelHeader* header = mapping->header();
    // Readers of an older geometry let go before any field changes under them.
    if (reused)
        Store(header->magic, 0, std::memory_order_release);
    std::memcpy(reinterpret_cast<std::uint8_t*>(header) + sizeof(std::uint32_t),
                reinterpret_cast<const std::uint8_t*>(&g) + sizeof(std::uint32_t),
                kGeometryBytes - sizeof(std::uint32_t));
    // `published` and the slots' sequences keep counting across a reuse, so a reader in the middle
    // of a read never sees the same sequence twice.
    mapping->published = Load(header->published, std::memory_order_relaxed);
    for (std::uint32_t i = 0; i < slots; ++i) {
        SlotHeader* slot = mapping->slot(i);
        const std::uint64_t sequence = Load(slot->sequence, std::memory_order_relaxed);
        if (sequence & 1) // a writer that ended in the middle of a frame
            Store(slot->sequence, sequence + 1, std::memory_order_relaxed);
    }
    Store(header->magic, kMagic, std::memory_order_release);
    mMapping = std::move(mapping);
    return true;
}

void Writer::Publish(const std::uint8_t* frame, std::size_t sourcePitch, std::uint64_t frameNumber) noexcept {
    if (!mMapping)
        return;
    const ChannelHeader& g = mMapping->geometry;
    const std::uint64_t published = mMapping->published;
    SlotHeader* slot = mMapping->slot(published % g.slotCount);
    const std::uint64_t sequence = Load(slot->sequence, std::memory_order_relaxed) & ~std::uint64_t{1};
    if (mMapping->publishedEvent)
        ResetEvent(mMapping->publishedEvent.get());

    // Odd first, and visible before any byte of the frame changes.
    Store(slot->sequence, sequence + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);

    Store(slot->frameNumber, frameNumber, std::memory_order_relaxed);
    auto* pixels = reinterpret_cast<std::uint8_t*>(slot + 1);
    const std::uint32_t rows = g.height + g.height / 2;
    for (std::uint32_t row = 0; row < rows; ++row)
        std::memcpy(pixels + std::size_t{g.rowPitch} * row, frame + sourcePitch * row, g.width);
    Store(slot->publishTime, Ticks(), std::memory_order_relaxed);

    Store(slot->sequence, sequence + 2, std::memory_order_release);
    mMapping->published = published + 1;
    Store(mMapping->header()->published, published + 1, std::memory_order_release);
    if (mMapping->publishedEvent)
        SetEvent(mMapping->publishedEvent.get());
}

void Writer::Close() noexcept {
    if (!mMapping)
        return;
    Store(mMapping->header()->magic, 0, std::memory_order_release);
    mMapping.reset();
}

// ---------------------------------------------------------------------------------------------
// HostedChannel

struct HostedChannel::Objects {
    UniqueHandleNull section;
    UniqueHandleNull publishedEvent;
};

HostedChannel::HostedChannel() = default;
HostedChannel::~HostedChannel() = default;

bool HostedChannel::IsOpen() const noexcept {
    return mObjects != nullptr;
}

std::string HostedChannel::Create(const std::wstring& name, std::uint32_t width, std::uint32_t height,
                                  const std::vector<std::uint8_t>& appUser) {
    mObjects.reset();
    if (std::string whyNot = NoChannelFor(width, height, kDefaultSlots); !whyNot.empty())
        return whyNot;
    const Sid own = ProcessUser();
    auto* app = const_cast<std::uint8_t*>(appUser.data());
    if (own.empty() || appUser.empty() || !IsValidSid(app))
        return "the users to admit are unknown";
    const std::string ownText = SidText(const_cast<std::uint8_t*>(own.data()));
    // For the app's user: query, map for reading and writing (the event: query and set), read the
    // rules, wait. The same bits mean that for sections and events alike.
    const std::string rules = "O:" + ownText + "D:P(A;;GA;;;" + ownText + ")(A;;0x120007;;;" + SidText(app) +
                              ")(A;;GA;;;SY)";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(rules.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
        return "no security descriptor (error " + std::to_string(GetLastError()) + ")";
    const auto freeLocal = [](void* memory) { LocalFree(memory); }; // LocalFree is __stdcall on x86
    const std::unique_ptr<void, decltype(freeLocal)> owned(descriptor, freeLocal);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
    const std::vector<Sid> admitted{own, appUser, SystemSid()};

    auto objects = std::make_unique<Objects>();
    const std::uint64_t bytes = SectionBytes(WriterPitch(width), height, kDefaultSlots);
    objects->section.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE,
                                              static_cast<DWORD>(bytes >> 32), static_cast<DWORD>(bytes),
                                              name.c_str()));
    if (!objects->section)
        return "CreateFileMapping failed " + std::to_string(GetLastError());
    // One made first by someone else could feed the camera pictures or read the user's.
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        if (std::string foreign = RulesBeyond(objects->section.get(), {own}, &admitted); !foreign.empty())
            return "the section exists already and is not ours (" + foreign + ")";
    }
    objects->publishedEvent.reset(CreateEventW(&attributes, TRUE, FALSE, (name + kPublishedSuffix).c_str()));
    if (!objects->publishedEvent)
        return "CreateEvent failed " + std::to_string(GetLastError());
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        if (std::string foreign = RulesBeyond(objects->publishedEvent.get(), {own}, &admitted); !foreign.empty())
            return "the event exists already and is not ours (" + foreign + ")";
    }
    mObjects = std::move(objects);
    return {};
}

// ---------------------------------------------------------------------------------------------
// Reader

struct Reader::Mapping {
    UniqueHandleNull section;
    UniqueHandleNull publishedEvent;
    View view;
    ChannelHeader geometry{}; // the header as validated; only the first kGeometryBytes matter
    const ChannelHeader* header() const noexcept {
        return reinterpret_cast<const ChannelHeader*>(view.get());
    }
    const SlotHeader* slot(std::uint64_t index) const noexcept {
        return reinterpret_cast<const SlotHeader*>(view.get() + geometry.slotOffset +
                                                   index * geometry.slotStride);
    }
};

Reader::Reader() = default;
Reader::~Reader() = default;

bool Reader::IsOpen() const noexcept {
    return mMapping != nullptr;
}
void Reader::Close() noexcept {
    mMapping.reset();
}

std::string Reader::Open(const std::wstring& name, std::uint32_t width, std::uint32_t height,
                         const std::vector<std::uint8_t>& owner) {
    Close();
    auto mapping = std::make_unique<Mapping>();
    mapping->section.reset(OpenFileMappingW(FILE_MAP_READ | READ_CONTROL, FALSE, name.c_str()));
    if (!mapping->section) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? std::string("no section")
                                             : "OpenFileMapping failed " + std::to_string(error);
    }
    if (!owner.empty()) {
        if (std::string foreign = ForeignRules(mapping->section.get(), owner, false); !foreign.empty())
            return "not the app's: " + foreign;
    }
    // The header first, then only the slots it describes: the section may be larger than that (and
    // smaller than a header: the whole of it then).
    mapping->view = View(mapping->section.get(), FILE_MAP_READ, sizeof(ChannelHeader));
    if (!mapping->view)
        mapping->view = View(mapping->section.get(), FILE_MAP_READ);
    if (!mapping->view)
        return "MapViewOfFile failed " + std::to_string(GetLastError());
    if (const std::size_t bytes = mapping->view.bytes(); bytes < sizeof(ChannelHeader))
        return "section of " + std::to_string(bytes) + " bytes is smaller than its header";

    const ChannelHeader* shared = mapping->header();
    const std::uint32_t magic = Load(shared->magic, std::memory_order_acquire);
    ChannelHeader& h = mapping->geometry;
    std::memcpy(&h, shared, kGeometryBytes);
    h.magic = magic;

    if (h.magic != kMagic)
        return "magic " + Hex(h.magic) + ", expected " + Hex(kMagic);
    if (h.version != kVersion)
        return "version " + std::to_string(h.version) + ", expected " + std::to_string(kVersion);
    if (h.headerBytes != sizeof(ChannelHeader))
        return "header of " + std::to_string(h.headerBytes) + " bytes, expected " +
               std::to_string(sizeof(ChannelHeader));
    if (h.pixelFormat != kFormatNv12)
        return "pixel format " + Hex(h.pixelFormat) + ", expected NV12 " + Hex(kFormatNv12);
    const bool anySize = width == 0 && height == 0;
    if (anySize ? !h.width || !h.height || h.width % 2 || h.height % 2 || h.width > kMaxDimension ||
                      h.height > kMaxDimension
                : h.width != width || h.height != height)
        return "frames of " + std::to_string(h.width) + "," + std::to_string(h.height) + ", expected " +
               (anySize ? std::string("even sides up to ") + std::to_string(kMaxDimension)
                        : std::to_string(width) + "," + std::to_string(height));
    if (h.rowPitch < h.width || h.rowPitch > 4 * kMaxDimension)
        return "row pitch " + std::to_string(h.rowPitch) + " for a width of " + std::to_string(h.width);
    if (h.frameBytes != FrameBytes(h.rowPitch, h.height))
        return "frame of " + std::to_string(h.frameBytes) + " bytes, expected " +
               std::to_string(FrameBytes(h.rowPitch, h.height));
    if (h.slotCount < kMinSlots || h.slotCount > kMaxSlots)
        return "slot count " + std::to_string(h.slotCount) + ", expected " + std::to_string(kMinSlots) +
               " to " + std::to_string(kMaxSlots);
    if (h.slotOffset < sizeof(ChannelHeader) || h.slotOffset % 8 != 0 || h.slotOffset > kMaxChannelBytes)
        return "slots at byte " + std::to_string(h.slotOffset);
    if (h.slotStride < sizeof(SlotHeader) + h.frameBytes || h.slotStride % 8 != 0 || h.slotStride > kMaxChannelBytes)
        return "slot stride " + std::to_string(h.slotStride) + " below a slot's " +
               std::to_string(sizeof(SlotHeader) + h.frameBytes) + " bytes";
    // Every operand is bounded above, so this cannot wrap.
    const std::uint64_t end = h.slotOffset + std::uint64_t{h.slotCount} * h.slotStride;
    if (end > kMaxChannelBytes)
        return "slots end at byte " + std::to_string(end) + ", beyond a channel's " + std::to_string(kMaxChannelBytes);
    if (end > mapping->view.bytes()) {
        View slots(mapping->section.get(), FILE_MAP_READ, static_cast<std::size_t>(end));
        if (!slots)
            return "slots end at byte " + std::to_string(end) + ", beyond the section";
        mapping->view = std::move(slots); // the checked copy of the geometry stays what is used
    }

    // An app without the event still serves; the camera then looks on its own schedule.
    // With the right to reset it, a reader that finds it still set from a publication it has seen
    // can wait for the next one (the writer sets it after each publication and resets it only as the
    // next one begins); readers that reset it take nothing from others, who check the count first.
    const std::wstring eventName = name + kPublishedSuffix;
    mapping->publishedEvent.reset(OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE | READ_CONTROL, FALSE, eventName.c_str()));
    if (!mapping->publishedEvent)
        mapping->publishedEvent.reset(OpenEventW(SYNCHRONIZE | READ_CONTROL, FALSE, eventName.c_str()));
    if (mapping->publishedEvent && !owner.empty() && !ForeignRules(mapping->publishedEvent.get(), owner, false).empty())
        mapping->publishedEvent.reset();
    mMapping = std::move(mapping);
    return {};
}

std::pair<std::uint32_t, std::uint32_t> Reader::FrameSize() const noexcept {
    return mMapping ? std::pair(mMapping->geometry.width, mMapping->geometry.height) : std::pair(0u, 0u);
}

void* Reader::PublishedEvent() const noexcept {
    return mMapping ? mMapping->publishedEvent.get() : nullptr;
}

std::uint64_t Reader::Published() const noexcept {
    return mMapping ? Load(mMapping->header()->published, std::memory_order_acquire) : 0;
}

bool Reader::GeometryUnchanged() const noexcept {
    const ChannelHeader* shared = mMapping->header();
    return Load(shared->magic, std::memory_order_acquire) == kMagic &&
           std::memcmp(reinterpret_cast<const std::uint8_t*>(shared) + sizeof(std::uint32_t),
                       reinterpret_cast<const std::uint8_t*>(&mMapping->geometry) + sizeof(std::uint32_t),
                       kGeometryBytes - sizeof(std::uint32_t)) == 0;
}

Reader::Result Reader::ConvertNewest(PixelKernels::Kernel kernel, std::uint8_t* destination) noexcept {
    if (!kernel)
        return ConvertNewest(Converter(), destination);
    return ConvertNewest(
        [kernel, this](std::uint64_t pitch, const std::uint8_t* frame, std::uint8_t* to) {
            kernel(pitch, frame, mMapping->geometry.width, mMapping->geometry.height, to);
        },
        destination);
}

Reader::Result Reader::ConvertNewest(const Converter& convert, std::uint8_t* destination) noexcept {
    if (!mMapping)
        return {Outcome::Closed};
    const ChannelHeader& h = mMapping->geometry;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (!GeometryUnchanged()) {
            Close();
            return {Outcome::Closed};
        }
        const std::uint64_t published = Load(mMapping->header()->published, std::memory_order_acquire);
        if (published == 0)
            return {Outcome::NoFrame};
        const SlotHeader* slot = mMapping->slot((published - 1) % h.slotCount);
        const std::uint64_t before = Load(slot->sequence, std::memory_order_acquire);
        if (before & 1) {
            ++mTornAttempts;
            continue;
        }
        Result result{Outcome::Frame, Load(slot->frameNumber, std::memory_order_relaxed),
                      Load(slot->publishTime, std::memory_order_relaxed)};
        if (convert)
            convert(h.rowPitch, reinterpret_cast<const std::uint8_t*>(slot + 1), destination);
        // Every read of the frame happens before the second look at the sequence.
        std::atomic_thread_fence(std::memory_order_acquire);
        if (Load(slot->sequence, std::memory_order_relaxed) == before && GeometryUnchanged())
            return result;
        ++mTornAttempts;
    }
    return {Outcome::Torn};
}

} // namespace Zarvo::FrameChannel
