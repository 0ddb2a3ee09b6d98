#pragma once
// Reading the security of kernel objects back, for the tests of the shared objects' descriptor.

#include "IPC/ObjectSecurity.h"
#include "runtime/Handles.h"

#include <aclapi.h>
#include <gmock/gmock.h>
#include <sddl.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

namespace Zarvo::Testing {

// An access-control entry as type, flags, mask and SID string.
using Entry = std::tuple<int, int, std::uint32_t, std::string>;

inline std::string SidString(PSID sid) {
    char* text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text))
        return "?";
    std::string result = text;
    LocalFree(text);
    return result;
}

// The DACL of a kernel object as the platform reports it; none (everyone) and a failure read as entries.
inline std::vector<Entry> DaclOf(HANDLE object) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (const DWORD error = GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                            nullptr, &dacl, nullptr, &descriptor))
        return {Entry(-2, 0, error, "GetSecurityInfo failed")};
    std::vector<Entry> entries;
    if (!dacl)
        entries.emplace_back(-1, 0, 0, "no DACL: everyone");
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace))
            break;
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace); // same layout as denied
        entries.emplace_back(allowed->Header.AceType, allowed->Header.AceFlags, allowed->Mask,
                             SidString(const_cast<DWORD*>(&allowed->SidStart)));
    }
    LocalFree(descriptor);
    return entries;
}

// The owner of a kernel object as a SID string; "none" or the failure otherwise.
inline std::string OwnerOf(HANDLE object) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (const DWORD error = GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                            nullptr, nullptr, nullptr, &descriptor))
        return "GetSecurityInfo failed " + std::to_string(error);
    std::string result = owner ? SidString(owner) : "none";
    LocalFree(descriptor);
    return result;
}

// Exactly the two allowed entries, in this order, each with full access (generic or mapped).
inline ::testing::Matcher<std::vector<Entry>> UserAndSystem(const std::string& user, ACCESS_MASK fullAccess) {
    using namespace ::testing;
    const auto full = AnyOf(Eq(static_cast<std::uint32_t>(GENERIC_ALL)), Eq(fullAccess));
    return ElementsAre(FieldsAre(ACCESS_ALLOWED_ACE_TYPE, 0, full, user),
                       FieldsAre(ACCESS_ALLOWED_ACE_TYPE, 0, full, "S-1-5-18"));
}

// The control pipe's entries: those two, then reading and writing messages for the platform's camera
// service, without the right to make instances (FILE_APPEND_DATA, for pipes FILE_CREATE_PIPE_INSTANCE).
inline ::testing::Matcher<std::vector<Entry>> UserSystemAndCameraService(const std::string& user) {
    using namespace ::testing;
    const auto full = AnyOf(Eq(static_cast<std::uint32_t>(GENERIC_ALL)), Eq(static_cast<std::uint32_t>(FILE_ALL_ACCESS)));
    return ElementsAre(FieldsAre(ACCESS_ALLOWED_ACE_TYPE, 0, full, user),
                       FieldsAre(ACCESS_ALLOWED_ACE_TYPE, 0, full, "S-1-5-18"),
                       FieldsAre(ACCESS_ALLOWED_ACE_TYPE, 0, static_cast<std::uint32_t>(FILE_GENERIC_READ | FILE_WRITE_DATA),
                                 "S-1-5-19"));
}

// The user SID of this process's token as a string.
inline std::string ProcessUserSid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return "?";
    const UniqueHandleNull owned(token);
    auto sid = IPC::ObjectSecurity::TokenUserSid(token);
    return sid.empty() ? "?" : SidString(sid.data());
}

} // namespace Zarvo::Testing
