#pragma once
// Registry values read back, and keys that refuse access, to make the platform's own calls fail for real.

#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

namespace Zarvo::Testing {

// A text value of a key under HKEY_CLASSES_ROOT (null: the key's default value), however long;
// "<missing>" when there is none.
inline std::wstring RegistryText(const std::wstring& key, const wchar_t* value = nullptr) {
    DWORD bytes = 0;
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), value, RRF_RT_REG_SZ, nullptr, nullptr, &bytes) !=
        ERROR_SUCCESS)
        return L"<missing>";
    std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), value, RRF_RT_REG_SZ, nullptr, text.data(), &bytes) !=
        ERROR_SUCCESS)
        return L"<missing>";
    text.resize(wcsnlen(text.c_str(), text.size()));
    return text;
}

// Denies everybody every access to a registry key while it lives, then puts the key's own access
// list back (through a handle opened before: the key's owner may always change the list).
class LockedKey {
public:
    LockedKey(HKEY root, const std::wstring& path) {
        if ((mResult = RegOpenKeyExW(root, path.c_str(), 0, READ_CONTROL | WRITE_DAC, &mKey)) !=
            ERROR_SUCCESS)
            return;
        DWORD size = 0;
        RegGetKeySecurity(mKey, DACL_SECURITY_INFORMATION, nullptr, &size);
        mSaved.resize(size);
        if ((mResult = RegGetKeySecurity(mKey, DACL_SECURITY_INFORMATION, mSaved.data(), &size)) !=
            ERROR_SUCCESS)
            return;
        SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
        PSID everyone = nullptr;
        alignas(DWORD) BYTE list[64] = {};
        auto* acl = reinterpret_cast<ACL*>(list);
        SECURITY_DESCRIPTOR denied{};
        if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone) ||
            !InitializeAcl(acl, sizeof(list), ACL_REVISION) ||
            !AddAccessDeniedAce(acl, ACL_REVISION, KEY_ALL_ACCESS, everyone) ||
            !InitializeSecurityDescriptor(&denied, SECURITY_DESCRIPTOR_REVISION) ||
            !SetSecurityDescriptorDacl(&denied, TRUE, acl, FALSE))
            mResult = static_cast<LONG>(GetLastError());
        else
            mResult = RegSetKeySecurity(mKey, DACL_SECURITY_INFORMATION, &denied);
        if (everyone)
            FreeSid(everyone);
    }
    ~LockedKey() {
        if (mResult == ERROR_SUCCESS)
            RegSetKeySecurity(mKey, DACL_SECURITY_INFORMATION, mSaved.data());
        if (mKey)
            RegCloseKey(mKey);
    }
    LockedKey(const LockedKey&) = delete;
    LockedKey& operator=(const LockedKey&) = delete;

    // ERROR_SUCCESS once the key is locked.
    LONG Result() const { return mResult; }

private:
    HKEY mKey = nullptr;
    std::vector<BYTE> mSaved;
    LONG mResult = ERROR_INVALID_HANDLE;
};

} // namespace Zarvo::Testing
