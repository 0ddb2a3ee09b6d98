#include "log/Log.h"

#include "log/Text.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <ostream>
#include <shared_mutex>

namespace Zarvo {

namespace detail {

// A shared output stream with the lock that serialises its writers: the standard streams
// do not, and interleaved lines are corrupted data.
class LogTarget {
public:
    explicit LogTarget(std::ostream& stream) noexcept : mStream(stream) {}

    void Write(std::string_view line, bool flush) noexcept {
        try {
            std::lock_guard lock(mMutex);
            mStream.write(line.data(), static_cast<std::streamsize>(line.size()));
            if (flush)
                mStream.flush();
            // A failed write drops its line only; later lines try again.
            if (!mStream)
                mStream.clear();
        } catch (...) {
        }
    }

    void Flush() noexcept {
        try {
            std::lock_guard lock(mMutex);
            mStream.flush();
            if (!mStream)
                mStream.clear();
        } catch (...) {
        }
    }

private:
    std::mutex mMutex;
    std::ostream& mStream; // guarded by mMutex
};

} // namespace detail

namespace {

struct Channel {
    std::ofstream file;
    detail::LogTarget target{file};
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

    bool Open(std::string_view name, const std::wstring& path, std::int32_t threshold) {
        std::unique_lock lock(mMutex);
        auto found = mChannels.find(name);
        if (found == mChannels.end())
            found = mChannels.emplace(std::string(name), std::make_unique<Channel>()).first;
        Channel& channel = *found->second;
        if (!channel.file.is_open()) {
            // Text mode: each "\n" is stored as CR LF. Other processes may read the file.
            // Appended, never truncated: hosts that start within the same second get the same
            // name, and truncating would wipe and then overwrite the other's lines.
            channel.file.open(std::filesystem::path(path), std::ios::out | std::ios::app);
        }
        if (!channel.file.is_open()) {
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
    nullbuffer mNullBuffer;
    std::ostream mNullStream{&mNullBuffer};
    detail::LogTarget mNullTarget{mNullStream};
};

std::uint64_t MillisecondsSinceEpoch() noexcept {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

} // namespace

Log::Log(detail::LogTarget* target, std::string tag, std::int32_t threshold) noexcept
    : mTarget(target), mTag(std::move(tag)), mThreshold(threshold) {}

Log::Log(Log&& other) noexcept
    : mLine(std::move(other.mLine)), mTarget(other.mTarget), mTag(std::move(other.mTag)),
      mThreshold(other.mThreshold), mLevel(other.mLevel), mAtLineStart(other.mAtLineStart),
      mLineLost(other.mLineLost) {
    other.mTarget = nullptr;
}

Log::~Log() {
    if (mTarget)
        mTarget->Flush();
}

bool Log::Open(std::string_view name, const std::wstring& path, std::int32_t threshold) noexcept {
    try {
        return Registry::Instance().Open(name, path, threshold);
    } catch (...) {
        return false;
    }
}

Log Log::Get(std::string_view name, std::string tag) noexcept {
    Registry& registry = Registry::Instance();
    const auto entry = registry.Lookup(name);
    if (!entry.target)
        return Log(registry.NullTarget(), std::string(), kUnregisteredThreshold);
    return Log(entry.target, std::move(tag), entry.threshold);
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
            mLine += mTag;
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
            log.mLine += '\n';
            log.mTarget->Write(log.mLine, log.mLevel >= 2);
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
            auto log = std::make_shared<Log>(Log::Get(kFilterLogName, std::move(tag)));
            *log << MillisecondsSinceEpoch() << Log::EndLine;
            return log;
        } catch (...) {
            // Out of memory: a per-thread Log that discards everything, owned by nobody.
            thread_local Log fallback = Log::Get(std::string_view{}, std::string());
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

void InitializeLogging(const std::wstring& folder, const std::wstring& prefix) noexcept {
    if (folder.empty())
        return;
    try {
        const std::wstring timestamp = MakeTimestamp();
        if (!Log::Open(kFilterLogName, MakeLogFilePath(folder, prefix, timestamp), 0))
            return;
        Log log = Log::Get(kFilterLogName, "vcam");
        log << ToUtf8(timestamp) << Log::EndLine;
    } catch (...) {
    }
}

} // namespace Zarvo
