#pragma once
// The process-wide line log.
//
// A function opens a short-lived Log for a registered log name and a tag, inserts items and
// ends each line; a whole line reaches the file in one write. Names that were never
// registered, or whose file could not be opened, give Logs that discard everything, so
// logging can never stop the component from working.

#include <concepts>
#include <charconv>
#include <cstdint>
#include <functional>
#include <memory>
#include <streambuf>
#include <string>
#include <string_view>
#include <type_traits>

namespace Zarvo {

enum class LogLevel : std::int32_t {
    Info = 1,
    Error = 3,
};

// A stream buffer that accepts every character and drops it; streams over it never fail.
class nullbuffer : public std::streambuf {
protected:
    int_type overflow(int_type ch) override { return traits_type::not_eof(ch); }
};

namespace detail {
class LogTarget;
}

class Log {
public:
    // Threshold of the Logs handed out for a name that is not registered.
    static constexpr std::int32_t kUnregisteredThreshold = 3;

    // A file stops growing at this size: see Open.
    static constexpr std::uint64_t kMaxFileBytes = 10ull * 1024 * 1024;

    // Registers `name` as a log written to a new file at `path`. A process never shares a file,
    // and never writes into one that is there already: when `path` exists (a host that started
    // within the same second made it), the file is `path` with "_<process id>", then
    // "_<process id>_<n>", before the extension. `openedPath`, when given, receives the path used.
    // Once a name has an open file, further calls keep that file (and its cap), record the new
    // threshold and return true. The file never grows past `maxFileBytes`: the line that would pass
    // it is replaced by one last line, "[Log] logging stopped: the file is full (10 MB)" (the cap in
    // bytes when it is not a whole number of MB), and nothing more is written to it.
    static bool Open(std::string_view name, const std::wstring& path, std::int32_t threshold,
                     std::uint64_t maxFileBytes = kMaxFileBytes, std::wstring* openedPath = nullptr) noexcept;

    // A Log for `name` with a copy of the tag (cut to kMaxTagLength characters). Does no file
    // I/O and allocates nothing, so no caller can be made to throw by asking for a Log.
    static Log Get(std::string_view name, std::string_view tag) noexcept;
    static constexpr std::size_t kMaxTagLength = 63;

    // Ends the current line; inserted like an item: log << "x" << Log::EndLine.
    static Log& EndLine(Log& log) noexcept;

    Log(Log&& other) noexcept;
    Log& operator=(Log&&) = delete;
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;
    // A line that was not ended is dropped. Ended lines are already in the file.
    ~Log();

    void SetLevel(LogLevel level) noexcept { mLevel = static_cast<std::int32_t>(level); }
    LogLevel Level() const noexcept { return static_cast<LogLevel>(mLevel); }

    Log& operator<<(Log& (*manipulator)(Log&)) noexcept { return manipulator(*this); }
    // Inserting a level sets the level of the current line.
    Log& operator<<(LogLevel level) noexcept {
        SetLevel(level);
        return *this;
    }
    Log& operator<<(std::string_view text) noexcept;
    Log& operator<<(const char* text) noexcept { return *this << std::string_view(text ? text : ""); }
    Log& operator<<(const std::string& text) noexcept { return *this << std::string_view(text); }
    Log& operator<<(char ch) noexcept { return *this << std::string_view(&ch, 1); }
    Log& operator<<(bool value) noexcept { return *this << std::string_view(value ? "1" : "0"); }

    template <std::integral T>
        requires(!std::same_as<T, bool> && !std::same_as<T, char>)
    Log& operator<<(T value) noexcept {
        if (!Admits())
            return *this;
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof(digits), value).ptr;
        return Append(std::string_view(digits, static_cast<std::size_t>(end - digits)));
    }

private:
    Log(detail::LogTarget* target, std::string_view tag, std::int32_t threshold) noexcept;

    bool Admits() const noexcept { return mLevel >= mThreshold; }
    Log& Append(std::string_view text) noexcept;

    // Grows only inside Append and EndLine, which drop the line when memory runs out.
    std::string mLine;
    detail::LogTarget* mTarget;
    char mTag[kMaxTagLength + 1] = {};
    std::size_t mTagLength = 0;
    std::int32_t mThreshold;
    std::int32_t mLevel = static_cast<std::int32_t>(LogLevel::Info);
    bool mAtLineStart = true;
    // Set when an item could not be appended (out of memory): the rest of the line is dropped
    // rather than written incomplete.
    bool mLineLost = false;
};

// The log name the camera registers and every part writes to.
inline constexpr std::string_view kFilterLogName = "DsFilter";

// Hands out a new Log per operation. Given to the IPC classes.
using LogFactory = std::function<std::shared_ptr<Log>(std::string tag)>;

// The factory for kFilterLogName: each Log it returns has already written one line with the
// current time in milliseconds since 1970-01-01 UTC. Never returns null.
LogFactory FilterLogFactory();

// folder + "\Logs\" + prefix + "_webcam_" + timestamp + ".log"; creates the Logs folder with
// its parents and raises std::filesystem::filesystem_error when that fails.
std::wstring MakeLogFilePath(const std::wstring& folder, const std::wstring& prefix,
                             const std::wstring& timestamp);

// How many earlier logs of a prefix DeleteOldLogFiles keeps beside the one just opened.
inline constexpr std::size_t kKeptLogFiles = 20;

// Deletes the files <prefix>_webcam_YYYYmmdd_HHMMSS.log (also with the suffixes of Log::Open) in
// the folder of `current` beyond the `keep` newest by creation time (the later name first within
// one time); `current`, the file just opened, is never counted nor deleted, so keep + 1 logs
// remain. Files that some process still has open for writing are skipped, as is everything else
// in the folder. Call it once `current` is open. Never raises.
void DeleteOldLogFiles(const std::wstring& current, const std::wstring& prefix,
                       std::size_t keep = kKeptLogFiles) noexcept;

// Opens kFilterLogName in a new file under `folder` (MakeLogFilePath, suffixed as Log::Open says
// when another host of the same second has the name), deletes the older files of the prefix
// (DeleteOldLogFiles) and writes the time line of the "vcam" tag. Any failure leaves logging
// off; nothing is raised. An empty folder means there is no settings folder: logging stays off
// rather than writing relative to the host's folder.
void InitializeLogging(const std::wstring& folder, const std::wstring& prefix) noexcept;

} // namespace Zarvo
