#include "log/Log.h"

#include "log/Text.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <vector>

namespace Zarvo {

namespace detail {

// A log file of this process alone, opened for appending data only. Each process makes a new file
// (see Open), so no line ever waits for another process, and the size, the cap and the one last
// line are all counted here. Without a file the target discards everything.
//
// The file stops growing at its cap: the line that would pass it is replaced by one last line
// saying so, and nothing follows.
class LogTarget {
public:
    LogTarget() noexcept = default;
    ~LogTarget() {
        if (mFile != INVALID_HANDLE_VALUE)
            CloseHandle(mFile);
    }
    LogTarget(const LogTarget&) = delete;
    LogTarget& operator=(const LogTarget&) = delete;

    // Always a new file: `path`, or when that is taken (a host that started within the same second
    // has it), the same name with "_<process id>" and then "_<n>" before the extension. Shared for
    // reading only, so no other writer can join it. Deliberately not shared for deletion either:
    // the pruning of old logs (DeleteOldLogFiles) in any process then fails with a sharing violation
    // on a file that is still open here, and leaves it alone.
    bool Open(const std::wstring& path, std::uint64_t maxBytes) {
        if (mFile != INVALID_HANDLE_VALUE)
            return true;
        std::string lastLine = "[Log] logging stopped: the file is full (";
        lastLine += maxBytes % kMegabyte == 0 ? std::to_string(maxBytes / kMegabyte) + " MB)\r\n"
                                              : std::to_string(maxBytes) + " bytes)\r\n";
        for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
            std::wstring candidate = CandidatePath(path, attempt);
            mFile = CreateFileW(candidate.c_str(), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (mFile != INVALID_HANDLE_VALUE) {
                mPath = std::move(candidate);
                mLastLine = std::move(lastLine);
                mMaxBytes = maxBytes;
                return true;
            }
            // Taken, or being deleted: the next name. Anything else (no folder) fails every name.
            const DWORD error = GetLastError();
            if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS && error != ERROR_ACCESS_DENIED &&
                error != ERROR_SHARING_VIOLATION)
                return false;
        }
        return false;
    }

    const std::wstring& Path() const noexcept { return mPath; }

    // One write per line; a failed write drops its line only. Nothing is buffered here, so
    // there is nothing to flush.
    void Write(std::string_view line) noexcept {
        if (mFile == INVALID_HANDLE_VALUE || line.empty())
            return;
        std::lock_guard lock(mMutex); // keeps the lines in the order they ended, and the count right
        if (mFull)
            return; // the per-sample path costs nothing more once the file is full
        // A line goes out only while the last line still fits behind it, so the file never
        // passes its cap.
        if (mSize + line.size() + mLastLine.size() <= mMaxBytes) {
            mSize += Append(line);
            return;
        }
        mFull = true;
        if (mSize + mLastLine.size() <= mMaxBytes)
            mSize += Append(mLastLine);
    }

private:
    static constexpr int kNameAttempts = 8;
    static constexpr std::uint64_t kMegabyte = 1024 * 1024;

    // `path` itself first, then with "_<process id>" and then "_<process id>_<n>" before the
    // extension of the file name (or at its end when it has none).
    static std::wstring CandidatePath(const std::wstring& path, int attempt) {
        if (attempt == 0)
            return path;
        const auto nameStart = path.find_last_of(L"\\/");
        auto dot = path.rfind(L'.');
        if (dot == std::wstring::npos || (nameStart != std::wstring::npos && dot < nameStart))
            dot = path.size();
        std::wstring suffix = L"_" + std::to_wstring(GetCurrentProcessId());
        if (attempt > 1)
            suffix += L"_" + std::to_wstring(attempt);
        return path.substr(0, dot) + suffix + path.substr(dot);
    }

    DWORD Append(std::string_view text) noexcept {
        DWORD written = 0;
        WriteFile(mFile, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return written;
    }

    std::mutex mMutex;
    HANDLE mFile = INVALID_HANDLE_VALUE;
    std::wstring mPath;
    std::uint64_t mMaxBytes = 0;
    std::string mLastLine;
    std::uint64_t mSize = 0; // guarded by mMutex
    bool mFull = false;      // guarded by mMutex
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

    bool Open(std::string_view name, const std::wstring& path, std::int32_t threshold, std::uint64_t maxBytes,
              std::wstring* openedPath) {
        std::unique_lock lock(mMutex);
        auto found = mChannels.find(name);
        if (found == mChannels.end())
            found = mChannels.emplace(std::string(name), std::make_unique<Channel>()).first;
        Channel& channel = *found->second;
        // A new file of this process's own: see LogTarget.
        if (!channel.target.Open(path, maxBytes)) {
            mChannels.erase(found);
            return false;
        }
        channel.threshold = threshold;
        if (openedPath)
            *openedPath = channel.target.Path();
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
               std::uint64_t maxFileBytes, std::wstring* openedPath) noexcept {
    try {
        return Registry::Instance().Open(name, path, threshold, maxFileBytes, openedPath);
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
        // Exactly <prefix>_webcam_YYYYmmdd_HHMMSS[_<digits>[_<digits>]].log (the suffixes of a name
        // that was taken, see Log::Open): nothing else in the folder is ours to delete.
        const auto isLogName = [&](std::wstring_view name) {
            constexpr std::wstring_view kStamp = L"00000000_000000", kExtension = L".log";
            if (name.size() < head.size() + kStamp.size() + kExtension.size() || !name.starts_with(head) ||
                !name.ends_with(kExtension))
                return false;
            name = name.substr(head.size(), name.size() - head.size() - kExtension.size());
            for (std::size_t i = 0; i < kStamp.size(); ++i)
                if (kStamp[i] == L'_' ? name[i] != L'_' : name[i] < L'0' || name[i] > L'9')
                    return false;
            name.remove_prefix(kStamp.size());
            for (int suffixes = 0; !name.empty(); ++suffixes) {
                std::size_t digits = 1;
                while (digits < name.size() && name[digits] >= L'0' && name[digits] <= L'9')
                    ++digits;
                if (suffixes == 2 || name[0] != L'_' || digits == 1 || digits > 11)
                    return false;
                name.remove_prefix(digits);
            }
            return true;
        };
        struct Candidate {
            std::uint64_t created;
            std::wstring name;
        };
        std::vector<Candidate> logs;
        WIN32_FIND_DATAW found{};
        const HANDLE search = FindFirstFileExW((folder + L"\\" + head + L"*").c_str(), FindExInfoBasic,
                                               &found, FindExSearchNameMatch, nullptr, 0);
        if (search == INVALID_HANDLE_VALUE)
            return;
        do {
            const std::wstring name = found.cFileName;
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && isLogName(name) &&
                name != currentName)
                logs.push_back({(std::uint64_t{found.ftCreationTime.dwHighDateTime} << 32) |
                                    found.ftCreationTime.dwLowDateTime,
                                name});
        } while (FindNextFileW(search, &found));
        FindClose(search);
        if (logs.size() <= keep)
            return;
        // Newest first by creation time: the names carry local time, which runs back at the autumn
        // clock change or with a new time zone. Within one tick the later name counts as newer.
        std::sort(logs.begin(), logs.end(), [](const Candidate& a, const Candidate& b) {
            return a.created != b.created ? a.created > b.created : a.name > b.name;
        });
        // A file that another host still writes fails with a sharing violation (see LogTarget::Open)
        // and stays; one that a concurrent pruner removed first is gone already. Either way: next.
        for (auto log = logs.begin() + static_cast<std::ptrdiff_t>(keep); log != logs.end(); ++log)
            DeleteFileW((folder + L"\\" + log->name).c_str());
    } catch (...) {
    }
}

void InitializeLogging(const std::wstring& folder, const std::wstring& prefix) noexcept {
    if (folder.empty())
        return;
    try {
        const std::wstring timestamp = MakeTimestamp();
        std::wstring path;
        if (!Log::Open(kFilterLogName, MakeLogFilePath(folder, prefix, timestamp), 0, Log::kMaxFileBytes,
                       &path))
            return;
        // Only once our own file is open, so that no other pruner can take it.
        DeleteOldLogFiles(path, prefix);
        Log log = Log::Get(kFilterLogName, "vcam");
        log << ToUtf8(timestamp) << Log::EndLine;
    } catch (...) {
    }
}

} // namespace Zarvo
