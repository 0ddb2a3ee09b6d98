#pragma once
// A fresh folder under the temporary folder, removed with everything in it at the end.

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace Zarvo::Testing {

class TempFolder {
public:
    TempFolder() {
        wchar_t base[MAX_PATH + 1];
        GetTempPathW(MAX_PATH + 1, base);
        static long counter = 0;
        mPath = std::wstring(base) + L"zarvo-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(InterlockedIncrement(&counter));
        std::filesystem::remove_all(mPath);
        std::filesystem::create_directories(mPath);
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(mPath, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::wstring& Path() const { return mPath; }
    std::wstring operator/(const std::wstring& name) const { return mPath + L"\\" + name; }

private:
    std::wstring mPath;
};

// The bytes of a file as stored (no text-mode translation).
inline std::string ReadFileBytes(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

} // namespace Zarvo::Testing
