#pragma once
// The security of the objects the companion app and the camera share (the control pipe, the
// server-live event, the single-instance mutex, the frame section): full access for the user the
// process runs as and for SYSTEM, nothing for anyone else.
//
// The user comes from the process token's user SID, not from its default DACL: an app launched
// by an elevated host has the elevated default DACL (Administrators and SYSTEM), which would lock
// out the same user's ordinary hosts. For the same reason the descriptor of this process's user
// names that user as the owner (an elevated token's default owner is Administrators): a camera
// checks the owner of the pipe before it sends anything.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace Zarvo::IPC {

class ObjectSecurity {
public:
    // For the user of this process's token, who is also the owner; nullopt when the token cannot
    // be read.
    static std::optional<ObjectSecurity> ForCurrentUser() noexcept;
    // The same, and the rights to read and write messages for LOCAL SERVICE (not to make pipe
    // instances): for the control pipe, which the platform's camera service (that account, in
    // session 0) connects to for a camera of its own.
    static std::optional<ObjectSecurity> ForCurrentUserAndCameraService() noexcept;
    // For the given user SID (and SYSTEM); nullopt for an invalid SID. No system state is read.
    // The owner is left to the creator's default: only a process of that user could create an
    // object owned by it.
    static std::optional<ObjectSecurity> ForUser(PSID user) noexcept;

    // The user SID of a token (TOKEN_QUERY access); empty when it cannot be read.
    static std::vector<std::uint8_t> TokenUserSid(HANDLE token) noexcept;

    // Attributes for the Create* functions: this descriptor, handles not inherited. Valid while
    // this object lives and is not moved.
    SECURITY_ATTRIBUTES* Attributes() noexcept;
    PSECURITY_DESCRIPTOR Descriptor() noexcept { return mDescriptor.data(); }

private:
    ObjectSecurity() = default;
    static std::optional<ObjectSecurity> ForTokenUser(bool cameraService) noexcept;
    static std::optional<ObjectSecurity> Make(PSID user, bool userOwns, bool cameraService = false) noexcept;

    std::vector<std::uint8_t> mDescriptor; // self-relative, so it may move with the vector
    SECURITY_ATTRIBUTES mAttributes{};
};

} // namespace Zarvo::IPC
