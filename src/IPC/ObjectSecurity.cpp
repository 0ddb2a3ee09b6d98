#include "IPC/ObjectSecurity.h"

#include "runtime/Handles.h"

namespace Zarvo::IPC {

std::optional<ObjectSecurity> ObjectSecurity::ForCurrentUser() noexcept {
    return ForTokenUser(false);
}

std::optional<ObjectSecurity> ObjectSecurity::ForCurrentUserAndCameraService() noexcept {
    return ForTokenUser(true);
}

std::optional<ObjectSecurity> ObjectSecurity::ForTokenUser(bool cameraService) noexcept {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return std::nullopt;
    const UniqueHandleNull owned(token);
    std::vector<std::uint8_t> user = TokenUserSid(token);
    if (user.empty())
        return std::nullopt;
    return Make(user.data(), true, cameraService);
}

std::vector<std::uint8_t> ObjectSecurity::TokenUserSid(HANDLE token) noexcept {
    try {
        DWORD bytes = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &bytes);
        if (bytes < sizeof(TOKEN_USER))
            return {};
        // TOKEN_USER points into the same buffer, so the buffer must be aligned for it.
        std::vector<TOKEN_USER> buffer((bytes + sizeof(TOKEN_USER) - 1) / sizeof(TOKEN_USER));
        if (!GetTokenInformation(token, TokenUser, buffer.data(), bytes, &bytes))
            return {};
        const PSID sid = buffer[0].User.Sid;
        if (!IsValidSid(sid))
            return {};
        const auto* first = static_cast<const std::uint8_t*>(sid);
        return std::vector<std::uint8_t>(first, first + GetLengthSid(sid));
    } catch (...) {
        return {};
    }
}

std::optional<ObjectSecurity> ObjectSecurity::ForUser(PSID user) noexcept {
    return Make(user, false);
}

std::optional<ObjectSecurity> ObjectSecurity::Make(PSID user, bool userOwns, bool cameraService) noexcept {
    try {
        if (!user || !IsValidSid(user))
            return std::nullopt;
        BYTE system[SECURITY_MAX_SID_SIZE];
        DWORD systemBytes = sizeof(system);
        if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &systemBytes))
            return std::nullopt;

        BYTE service[SECURITY_MAX_SID_SIZE];
        DWORD serviceBytes = sizeof(service);
        if (!CreateWellKnownSid(WinLocalServiceSid, nullptr, service, &serviceBytes))
            return std::nullopt;

        const PSID granted[] = {user, system};
        DWORD aclBytes = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + serviceBytes;
        for (const PSID sid : granted)
            aclBytes += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(sid);
        // DWORD elements keep the ACL aligned as the functions expect.
        std::vector<DWORD> acl((aclBytes + sizeof(DWORD) - 1) / sizeof(DWORD));
        const auto dacl = reinterpret_cast<PACL>(acl.data());
        if (!InitializeAcl(dacl, aclBytes, ACL_REVISION))
            return std::nullopt;
        for (const PSID sid : granted) {
            if (!AddAccessAllowedAce(dacl, ACL_REVISION, GENERIC_ALL, sid))
                return std::nullopt;
        }
        // Reading and writing messages only: the write right of files includes, for pipes, making
        // instances, with which any process of that account could pose as the app.
        if (cameraService && !AddAccessAllowedAce(dacl, ACL_REVISION, FILE_GENERIC_READ | FILE_WRITE_DATA, service))
            return std::nullopt;

        SECURITY_DESCRIPTOR absolute;
        if (!InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION) ||
            !SetSecurityDescriptorDacl(&absolute, TRUE, dacl, FALSE) ||
            // Nothing inherited from a parent adds to these two entries.
            !SetSecurityDescriptorControl(&absolute, SE_DACL_PROTECTED, SE_DACL_PROTECTED) ||
            (userOwns && !SetSecurityDescriptorOwner(&absolute, user, FALSE)))
            return std::nullopt;
        DWORD bytes = 0;
        MakeSelfRelativeSD(&absolute, nullptr, &bytes);
        if (bytes == 0)
            return std::nullopt;
        ObjectSecurity security;
        security.mDescriptor.resize(bytes);
        if (!MakeSelfRelativeSD(&absolute, security.mDescriptor.data(), &bytes))
            return std::nullopt;
        return security;
    } catch (...) {
        return std::nullopt;
    }
}

SECURITY_ATTRIBUTES* ObjectSecurity::Attributes() noexcept {
    mAttributes.nLength = sizeof(mAttributes);
    mAttributes.lpSecurityDescriptor = mDescriptor.data();
    mAttributes.bInheritHandle = FALSE;
    return &mAttributes;
}

} // namespace Zarvo::IPC
