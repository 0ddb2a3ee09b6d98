// Registration of in-process COM classes, shared by the camera's modules.
#include "Filters/ComRegistration.h"

#include <algorithm>
#include <cwchar>
#include <string_view>

namespace {

HRESULT FromWin32(LONG code) {
    return static_cast<HRESULT>(0x80070000u | static_cast<ULONG>(code));
}

// Closes a registry key at the end of a scope.
class RegistryKey {
public:
    RegistryKey() = default;
    ~RegistryKey() {
        if (mKey)
            RegCloseKey(mKey);
    }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    HKEY* put() { return &mKey; }
    HKEY get() const { return mKey; }

private:
    HKEY mKey = nullptr;
};

// "CLSID\{...}" in a buffer of its own: registration allocates nothing, so it cannot throw.
struct ClassKeyPath {
    explicit ClassKeyPath(const CLSID& clsid) noexcept {
        constexpr std::wstring_view prefix = L"CLSID\\";
        std::copy(prefix.begin(), prefix.end(), text);
        StringFromGUID2(clsid, text + prefix.size(), 39);
    }
    const wchar_t* c_str() const noexcept { return text; }
    wchar_t text[6 + 39] = {};
};

LONG SetString(HKEY key, const wchar_t* name, const wchar_t* value) {
    const auto bytes = static_cast<DWORD>((std::wcslen(value) + 1) * sizeof(wchar_t));
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), bytes);
}

} // namespace

HRESULT RegisterComServer(const CLSID& clsid, const wchar_t* description, const wchar_t* serverPath,
                          const wchar_t* threadingModel, const wchar_t* serverType) {
    const ClassKeyPath path(clsid);

    RegistryKey classKey;
    if (LONG rc = RegCreateKeyW(HKEY_CLASSES_ROOT, path.c_str(), classKey.put()); rc != ERROR_SUCCESS)
        return FromWin32(rc);
    if (LONG rc = SetString(classKey.get(), nullptr, description); rc != ERROR_SUCCESS)
        return FromWin32(rc);

    RegistryKey serverKey;
    if (LONG rc = RegCreateKeyW(classKey.get(), serverType, serverKey.put()); rc != ERROR_SUCCESS)
        return FromWin32(rc);
    if (LONG rc = SetString(serverKey.get(), nullptr, serverPath); rc != ERROR_SUCCESS)
        return FromWin32(rc);
    const LONG rc = SetString(serverKey.get(), L"ThreadingModel", threadingModel);
    return rc == ERROR_SUCCESS ? S_OK : FromWin32(rc & 0xFFFF);
}

HRESULT UnregisterComServer(const CLSID& clsid) {
    const ClassKeyPath path(clsid);
    return DeleteKeyTree(HKEY_CLASSES_ROOT, path.c_str());
}

HRESULT DeleteKeyTree(HKEY parent, const wchar_t* name) {
    if (!name || !*name)
        return E_FAIL;
    {
        RegistryKey key;
        if (const LONG rc = RegOpenKeyExW(parent, name, 0, MAXIMUM_ALLOWED, key.put()); rc != ERROR_SUCCESS)
            return rc == ERROR_FILE_NOT_FOUND ? S_OK : FromWin32(rc); // not there: nothing to delete
        wchar_t child[MAX_PATH];
        wchar_t previous[MAX_PATH] = {};
        for (;;) {
            DWORD length = MAX_PATH;
            if (RegEnumKeyExW(key.get(), 0, child, &length, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS)
                break;
            // A child that cannot be removed would come back at index 0 forever.
            if (std::wcscmp(previous, child) == 0)
                break;
            DeleteKeyTree(key.get(), child);
            std::copy(child, child + length + 1, previous);
        }
    }
    // A child that stayed keeps this key too: its code tells of the whole tree.
    const LONG rc = RegDeleteKeyW(parent, name);
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND ? S_OK : FromWin32(rc);
}

