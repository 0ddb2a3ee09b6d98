#include "log/Log.h"

#include "log/Text.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <vector>

namespace Zarvo {

namespace detail {

// A log file opened for appending data only, so that every write goes to the end of the file.
// Hosts that start within the same second share the file name; a system-wide lock named after
// the path makes each line one indivisible append among all of them (Wine, unlike Windows, does
// not keep appends of two processes apart by itself). Without a file the target discards
// everything.
//
// The file stops growing at its cap: the line that would pass it is replaced by one last line
// saying so, and nothing follows. The size and the "full" mark live in a small section named
// after the path, beside the lock, so that processes sharing the file agree on both.
//
// Almost always one process has the file: the lock costs two calls to the system per line, so a
// process that is alone with the file writes without it. The section counts the processes that
// opened the file; the one writing alone marks that it does, and an opener that comes meanwhile
// waits for that line before it goes on, so from then on both take the lock.
class LogTarget {
public:
    LogTarget() noexcept = default;
    ~LogTarget() {
        if (mShared) {
            std::atomic_ref(mShared->writers).fetch_sub(1);
            UnmapViewOfFile(mShared);
        }
        if (mSection)
            CloseHandle(mSection);
        if (mFile != INVALID_HANDLE_VALUE)
            CloseHandle(mFile);
        if (mAppendLock)
            CloseHandle(mAppendLock);
    }
    LogTarget(const LogTarget&) = delete;
    LogTarget& operator=(const LogTarget&) = delete;

    // Created if missing, never truncated; other processes may read and append too. Deliberately
    // not shared for deletion: the pruning of old logs (DeleteOldLogFiles) in any process then
    // fails with a sharing violation on a file that is still open here, and leaves it alone.
    bool Open(const std::wstring& path, std::uint64_t maxBytes) {
        if (mFile != INVALID_HANDLE_VALUE)
            return true;
        std::string lastLine = "[Log] logging stopped: the file is full (";
        lastLine += maxBytes % kMegabyte == 0 ? std::to_string(maxBytes / kMegabyte) + " MB)\r\n"
                                               : std::to_string(maxBytes) + " bytes)\r\n";
        mFile = CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
        if (mFile == INVALID_HANDLE_VALUE)
            return false;
        mLastLine = std::move(lastLine);
        mMaxBytes = maxBytes;
        mAppendLock = CreateMutexW(nullptr, FALSE, ObjectName(L"Local\\ZarvoLogAppend-", path).text);
        if (mAppendLock) {
            mSection = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(SizeState),
                                          ObjectName(L"Local\\ZarvoLogSize-", path).text);
            if (mSection)
                mShared = static_cast<SizeState*>(MapViewOfFile(mSection, FILE_MAP_WRITE, 0, 0, sizeof(SizeState)));
        }
        // Without the shared state (or the lock that guards it) the count covers this process only.
        mState = mShared ? mShared : &mLocalState;
        const DWORD waited = mAppendLock ? WaitForSingleObject(mAppendLock, kAppendLockWaitMs) : WAIT_FAILED;
        if (mShared) {
            std::atomic_ref(mShared->writers).fetch_add(1);
            // A process that wrote alone so far finishes its line first; one that died in it (a
            // line takes microseconds) does not hold us up for long.
            for (int i = 0; i < 100 && std::atomic_ref(mShared->writingAlone).load() != 0; ++i)
                Sleep(1);
        }
        if (!mState->initialized) {
            LARGE_INTEGER size{};
            mState->size = GetFileSizeEx(mFile, &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
            mState->initialized = 1;
        }
        if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
            ReleaseMutex(mAppendLock);
        return true;
    }

    // One write per line; a failed write drops its line only. Nothing is buffered here, so
    // there is nothing to flush.
    void Write(std::string_view line) noexcept {
        if (mFile == INVALID_HANDLE_VALUE || line.empty())
            return;
        std::lock_guard lock(mMutex); // keeps this process's lines in the order they ended
        if (mFull)
            return; // the per-sample path costs nothing more once the file is full
        const bool alone = BeginWritingAlone();
        // A writer that stopped while holding the lock must not stop us for good: after a
        // while the line goes out anyway.
        const DWORD waited =
            mAppendLock && !alone ? WaitForSingleObject(mAppendLock, kAppendLockWaitMs) : WAIT_FAILED;
        SizeState& state = *mState;
        // A line goes out only while the last line still fits behind it, so the file never
        // passes its cap.
        if (state.full) {
            mFull = true;
        } else if (state.size + line.size() + mLastLine.size() <= mMaxBytes) {
            state.size += Append(line);
        } else {
            state.full = 1;
            mFull = true;
            if (state.size + mLastLine.size() <= mMaxBytes)
                state.size += Append(mLastLine);
        }
        if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
            ReleaseMutex(mAppendLock);
        if (alone)
            std::atomic_ref(mShared->writingAlone).store(0);
    }

private:
    // True when this process is the only one with the file, marked so until the line is written.
    // Sequentially consistent on both sides: either the opener sees the mark and waits, or this
    // sees the opener's count and takes the lock.
    bool BeginWritingAlone() noexcept {
        if (!mShared || std::atomic_ref(mShared->writers).load() != 1)
            return false;
        std::atomic_ref(mShared->writingAlone).store(1);
        if (std::atomic_ref(mShared->writers).load() == 1)
            return true;
        std::atomic_ref(mShared->writingAlone).store(0);
        return false;
    }

    static constexpr DWORD kAppendLockWaitMs = 2000;
    static constexpr std::uint64_t kMegabyte = 1024 * 1024;

    // Guarded by the append lock (and mMutex within a process).
    struct SizeState {
        std::uint64_t size;
        std::uint32_t full;
        std::uint32_t initialized; // a new section is zero: the first opener reads the file's size
        // Not guarded by the lock: the processes that have the file open (one that died without
        // closing it stays counted, and the others then keep taking the lock), and the mark of the
        // only one writing a line without the lock.
        std::uint32_t writers;
        std::uint32_t writingAlone;
    };

    DWORD Append(std::string_view text) noexcept {
        DWORD written = 0;
        WriteFile(mFile, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return written;
    }

    struct ObjectNameText {
        wchar_t text[64];
    };
    // The same for every process that names the file alike (case does not matter to the file
    // system), without allocating.
    static ObjectNameText ObjectName(const wchar_t* prefix, const std::wstring& path) noexcept {
        std::uint64_t hash = 14695981039346656037ull; // FNV-1a
        for (const wchar_t ch : path) {
            hash ^= static_cast<std::uint16_t>(ch < L'a' || ch > L'z' ? ch : ch - L'a' + L'A');
            hash *= 1099511628211ull;
        }
        ObjectNameText name{};
        std::size_t at = std::char_traits<wchar_t>::length(prefix);
        std::char_traits<wchar_t>::copy(name.text, prefix, at);
        for (int shift = 60; shift >= 0; shift -= 4)
            name.text[at++] = L"0123456789ABCDEF"[(hash >> shift) & 0xF];
        name.text[at] = L'\0';
        return name;
    }

    std::mutex mMutex;
    HANDLE mFile = INVALID_HANDLE_VALUE;
    HANDLE mAppendLock = nullptr; // null when it could not be made: in-process order only
    HANDLE mSection = nullptr;
    SizeState* mShared = nullptr;
    SizeState mLocalState{};
    SizeState* mState = &mLocalState; // mShared when there is one
    std::uint64_t mMaxBytes = 0;
    std::string mLastLine;
    bool mFull = false; // guarded by mMutex; set once this process has seen the file full
};

} // namespace detail

namespace {

struct Channel {
    detail::LogTarget target;
    std::int32_t threshold = 0;
};

// Created on first use (at the latest when the module loads and the first Log is asked
// for), destroyed at unload, which closes the files.
class Registry {
public:
    static Registry& Instance() {
        static Registry registry;
        return registry;
    }

    bool Open(std::string_view name, const std::wstring& path, std::int32_t threshold, std::uint64_t maxBytes) {
        std::unique_lock lock(mMutex);
        auto found = mChannels.find(name);
        if (found == mChannels.end())
            found = mChannels.emplace(std::string(name), std::make_unique<Channel>()).first;
        Channel& channel = *found->second;
        // Appended, never truncated: see LogTarget.
        if (!channel.target.Open(path, maxBytes)) {
            mChannels.erase(found);
            return false;
        }
        channel.threshold = threshold;
        return true;
    }

    struct Entry {
        detail::LogTarget* target;
        std::int32_t threshold;
    };

    // No allocation and no I/O: only a lookup under a shared lock.
    Entry Lookup(std::string_view name) noexcept {
        std::shared_lock lock(mMutex);
        const auto found = mChannels.find(name);
        if (found == mChannels.end())
            return {nullptr, 0};
        return {&found->second->target, found->second->threshold};
    }

    detail::LogTarget* NullTarget() noexcept { return &mNullTarget; }

private:
    Registry() = default;

    std::shared_mutex mMutex;
    // Channels are never removed once their file is open, so targets handed to Logs stay valid.
    std::map<std::string, std::unique_ptr<Channel>, std::less<>> mChannels; // guarded by mMutex
    detail::LogTarget mNullTarget; // never opened: discards everything
};

std::uint64_t MillisecondsSinceEpoch() noexcept {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

} // namespace

Log::Log(detail::LogTarget* target, std::string_view tag, std::int32_t threshold) noexcept
    : mTarget(target), mTagLength(std::min(tag.size(), kMaxTagLength)), mThreshold(threshold) {
    std::copy_n(tag.data(), mTagLength, mTag);
}

Log::Log(Log&& other) noexcept
    : mLine(std::move(other.mLine)), mTarget(other.mTarget), mTagLength(other.mTagLength),
      mThreshold(other.mThreshold), mLevel(other.mLevel), mAtLineStart(other.mAtLineStart),
      mLineLost(other.mLineLost) {
    std::copy_n(other.mTag, mTagLength, mTag);
    other.mTarget = nullptr;
}

Log::~Log() = default;

bool Log::Open(std::string_view name, const std::wstring& path, std::int32_t threshold,
               std::uint64_t maxFileBytes) noexcept {
    try {
        return Registry::Instance().Open(name, path, threshold, maxFileBytes);
    } catch (...) {
        return false;
    }
}

Log Log::Get(std::string_view name, std::string_view tag) noexcept {
    Registry& registry = Registry::Instance();
    const auto entry = registry.Lookup(name);
    if (!entry.target)
        return Log(registry.NullTarget(), std::string_view(), kUnregisteredThreshold);
    return Log(entry.target, tag, entry.threshold);
}

Log& Log::operator<<(std::string_view text) noexcept {
    if (!Admits())
        return *this;
    return Append(text);
}

Log& Log::Append(std::string_view text) noexcept {
    if (mLineLost)
        return *this;
    try {
        if (mAtLineStart) {
            mLine += '[';
            mLine.append(mTag, mTagLength);
            mLine += "] ";
            mAtLineStart = false;
        }
        mLine += text;
    } catch (...) {
        mLine.clear();
        mLineLost = true;
    }
    return *this;
}

Log& Log::EndLine(Log& log) noexcept {
    if (!log.mLine.empty() && !log.mLineLost && log.mTarget) {
        try {
            // Stored as text: each line feed, also one inside an item, becomes CR LF.
            for (std::size_t at = log.mLine.find('\n'); at != std::string::npos; at = log.mLine.find('\n', at + 2))
                log.mLine.insert(at, 1, '\r');
            log.mLine += "\r\n";
            log.mTarget->Write(log.mLine);
        } catch (...) {
        }
    }
    log.mLine.clear();
    log.mLineLost = false;
    log.mAtLineStart = true;
    log.mLevel = static_cast<std::int32_t>(LogLevel::Info);
    return log;
}

LogFactory FilterLogFactory() {
    return [](std::string tag) -> std::shared_ptr<Log> {
        try {
            auto log = std::make_shared<Log>(Log::Get(kFilterLogName, tag));
            *log << MillisecondsSinceEpoch() << Log::EndLine;
            return log;
        } catch (...) {
            // Out of memory: a per-thread Log that discards everything, owned by nobody.
            thread_local Log fallback = Log::Get(std::string_view{}, std::string_view{});
            return std::shared_ptr<Log>(std::shared_ptr<Log>(), &fallback);
        }
    };
}

std::wstring MakeLogFilePath(const std::wstring& folder, const std::wstring& prefix,
                             const std::wstring& timestamp) {
    const std::wstring logs = folder + L"\\Logs";
    std::filesystem::create_directories(std::filesystem::path(logs));
    return logs + L"\\" + prefix + L"_" + L"webcam_" + timestamp + L".log";
}

void DeleteOldLogFiles(const std::wstring& current, const std::wstring& prefix, std::size_t keep) noexcept {
    try {
        const auto cut = current.find_last_of(L"\\/");
        const std::wstring folder = cut == std::wstring::npos ? std::wstring(L".") : current.substr(0, cut);
        const std::wstring currentName = cut == std::wstring::npos ? current : current.substr(cut + 1);
        const std::wstring head = prefix + L"_webcam_";
        // Exactly <prefix>_webcam_YYYYmmdd_HHMMSS.log: nothing else in the folder is ours to delete.
        const auto isLogName = [&](const std::wstring& name) {
            constexpr std::wstring_view kStamp = L"00000000_000000", kExtension = L".log";
            if (name.size() != head.size() + kStamp.size() + kExtension.size() || name.compare(0, head.size(), head) ||
                name.compare(head.size() + kStamp.size(), kExtension.size(), kExtension))
                return false;
            for (std::size_t i = 0; i < kStamp.size(); ++i) {
                const wchar_t ch = name[head.size() + i];
                if (kStamp[i] == L'_' ? ch != L'_' : ch < L'0' || ch > L'9')
                    return false;
            }
            return true;
        };
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW found{};
        const HANDLE search = FindFirstFileExW((folder + L"\\" + head + L"*").c_str(), FindExInfoBasic, &found,
                                               FindExSearchNameMatch, nullptr, 0);
        if (search == INVALID_HANDLE_VALUE)
            return;
        do {
            const std::wstring name = found.cFileName;
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && isLogName(name) && name != currentName)
                names.push_back(name);
        } while (FindNextFileW(search, &found));
        FindClose(search);
        if (names.size() <= keep)
            return;
        // The names are the start times, the same to every process: newest first.
        std::sort(names.begin(), names.end(), std::greater<>());
        // A file that another host still writes fails with a sharing violation (see LogTarget::Open)
        // and stays; one that a concurrent pruner removed first is gone already. Either way: next.
        for (auto name = names.begin() + static_cast<std::ptrdiff_t>(keep); name != names.end(); ++name)
            DeleteFileW((folder + L"\\" + *name).c_str());
    } catch (...) {
    }
}

void InitializeLogging(const std::wstring& folder, const std::wstring& prefix) noexcept {
    if (folder.empty())
        return;
    try {
        const std::wstring timestamp = MakeTimestamp();
        const std::wstring path = MakeLogFilePath(folder, prefix, timestamp);
        if (!Log::Open(kFilterLogName, path, 0))
            return;
        // Only once our own file is open, so that no other pruner can take it.
        DeleteOldLogFiles(path, prefix);
        Log log = Log::Get(kFilterLogName, "vcam");
        log << ToUtf8(timestamp) << Log::EndLine;
    } catch (...) {
    }
}

} // namespace Zarvo
