#pragma once
// A module's file copied into folders whose names trip up code that reads its own file name into
// MAX_PATH characters or through the ANSI code page.

#include "support/TempFolder.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace Zarvo::Testing {

// Lets the platform's file calls take names longer than MAX_PATH.
inline const std::wstring kLongPathPrefix = L"\\\\?\\";

// Copies `module` into a folder of Cyrillic, Greek and Chinese letters, then into one deeper than
// MAX_PATH, and calls `use(file, copy)` with the copy's full name (without kLongPathPrefix) and the
// copy loaded; then unloads the copy and removes it with its folders.
template <class Use>
void ForEachCopyInAwkwardFolders(const std::wstring& module, Use use) {
    const TempFolder base;
    const std::wstring name = module.substr(module.find_last_of(L'\\') + 1), letters = base / L"Камера Ζ 相机";
    std::wstring deep = base / L"deep";
    for (wchar_t part = L'a'; deep.size() <= MAX_PATH; ++part)
        deep += L"\\" + std::wstring(48, part);
    for (const std::wstring& folder : {letters, deep}) {
        SCOPED_TRACE(folder.size());
        for (std::size_t at = base.Path().size(); at != std::wstring::npos; at = folder.find(L'\\', at + 1))
            CreateDirectoryW((kLongPathPrefix + folder.substr(0, folder.find(L'\\', at + 1))).c_str(), nullptr);
        const std::wstring file = folder + L"\\" + name;
        ASSERT_TRUE(CopyFileW(module.c_str(), (kLongPathPrefix + file).c_str(), FALSE)) << GetLastError();
        const HMODULE copy = LoadLibraryW((kLongPathPrefix + file).c_str());
        ASSERT_TRUE(copy) << "the copy did not load: " << GetLastError();
        use(file, copy);
        FreeLibrary(copy);
        DeleteFileW((kLongPathPrefix + file).c_str());
        for (std::wstring at = folder; at.size() > base.Path().size(); at.resize(at.find_last_of(L'\\')))
            RemoveDirectoryW((kLongPathPrefix + at).c_str());
    }
}

} // namespace Zarvo::Testing
