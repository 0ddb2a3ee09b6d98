#pragma once
// Registry keys that refuse access, to make the platform's own calls fail for real.

#include <windows.h>

#include <string>
#include <vector>

namespace Zarvo::Testing {

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
