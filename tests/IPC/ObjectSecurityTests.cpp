// The descriptor of the shared objects, read back from real objects with the platform's functions.
#include "SecurityTestSupport.h"

#include <cstring>
#include <thread>

namespace Zarvo::IPC {
namespace {

using namespace ::testing;
using namespace Testing;

// Each kind of shared object with its full access, which the platform may store in place of GENERIC_ALL,
// made by name, and opened by name for use (not just for reading its security).
const struct Kind {
    const char* name;
    ACCESS_MASK fullAccess;
    HANDLE (*create)(SECURITY_ATTRIBUTES* attributes, const std::wstring& name);
    HANDLE (*open)(const std::wstring& name);
} kKinds[] = {
    {"event", EVENT_ALL_ACCESS, [](auto a, auto& n) { return CreateEventW(a, TRUE, FALSE, n.c_str()); },
     [](auto& n) { return OpenEventW(EVENT_MODIFY_STATE, FALSE, n.c_str()); }},
    {"mutex", MUTEX_ALL_ACCESS, [](auto a, auto& n) { return CreateMutexW(a, FALSE, n.c_str()); },
     [](auto& n) { return OpenMutexW(MUTEX_ALL_ACCESS, FALSE, n.c_str()); }},
    {"section", SECTION_ALL_ACCESS,
     [](auto a, auto& n) {
         return CreateFileMappingW(INVALID_HANDLE_VALUE, a, PAGE_READWRITE, 0, 4096, n.c_str());
     },
     [](auto& n) { return OpenFileMappingW(FILE_MAP_READ, FALSE, n.c_str()); }},
    {"pipe", FILE_ALL_ACCESS,
     [](auto a, auto& n) {
         return CreateNamedPipeW((L"\\\\.\\pipe\\" + n).c_str(), PIPE_ACCESS_DUPLEX,
                                 PIPE_TYPE_BYTE | PIPE_REJECT_REMOTE_CLIENTS, 4, 16, 16, 0, a);
     },
     [](auto& n) {
         const HANDLE pipe = CreateFileW((L"\\\\.\\pipe\\" + n).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                         nullptr, OPEN_EXISTING, 0, nullptr);
         return pipe == INVALID_HANDLE_VALUE ? nullptr : pipe;
     }},
};

std::wstring UniqueName(const char* what) {
    static int counter = 0;
    return L"ZarvoTest-" + std::wstring(what, what + std::strlen(what)) + L"-" +
           std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
}

TEST(ObjectSecurity, EveryKindOfSharedObjectGrantsExactlyTheUserAndSystem) {
    PSID synthetic = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidA("S-1-5-21-111-222-333-1001", &synthetic));
    const std::string processUser = ProcessUserSid();
    ASSERT_THAT(processUser, StartsWith("S-1-5-"));
    for (const auto& [security, user] :
         {std::pair{ObjectSecurity::ForUser(synthetic), std::string("S-1-5-21-111-222-333-1001")},
          {ObjectSecurity::ForCurrentUser(), processUser}}) {
        ASSERT_TRUE(security) << user;
        ObjectSecurity copy = *security;
        ObjectSecurity moved = std::move(copy); // self-relative: valid wherever it lives
        EXPECT_EQ(moved.Attributes()->lpSecurityDescriptor, moved.Descriptor());
        EXPECT_FALSE(moved.Attributes()->bInheritHandle);
        for (const Kind& kind : kKinds) {
            const std::wstring name = UniqueName(kind.name);
            const UniqueHandleNull object(kind.create(moved.Attributes(), name));
            ASSERT_TRUE(object) << kind.name << " " << GetLastError();
            EXPECT_THAT(DaclOf(object.get()), UserAndSystem(user, kind.fullAccess)) << kind.name;
            // This process's user owns its objects whatever the token's default owner (here a
            // group); another user's descriptor leaves the owner to the creator.
            EXPECT_EQ(OwnerOf(object.get()) == user, user == processUser)
                << kind.name << " " << OwnerOf(object.get());
            // Someone else's object cannot be opened for use. The platform here checks access on
            // kernel objects but not on pipe connections, so the pipe is checked by its DACL alone.
            if (user == processUser) {
                EXPECT_TRUE(UniqueHandleNull(kind.open(name))) << kind.name << " " << GetLastError();
            } else if (std::string(kind.name) != "pipe") {
                EXPECT_FALSE(UniqueHandleNull(kind.open(name))) << kind.name;
                EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED)) << kind.name;
            }
        }
    }
    LocalFree(synthetic);
    BYTE garbage[16] = {9, 9, 9};
    EXPECT_FALSE(ObjectSecurity::ForUser(nullptr) || ObjectSecurity::ForUser(garbage));
}

// An app launched by an elevated host has another default DACL; the descriptor does not use it.
// (This platform applies no default DACL at all: there the objects below would have none.)
TEST(ObjectSecurity, ADifferentDefaultDaclOfTheCreatorChangesNothing) {
    HANDLE processToken = nullptr, token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &processToken));
    const UniqueHandleNull ownedProcessToken(processToken);
    ASSERT_TRUE(DuplicateTokenEx(processToken, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation,
                                 TokenImpersonation, &token));
    const UniqueHandleNull ownedToken(token);
    BYTE world[SECURITY_MAX_SID_SIZE];
    DWORD worldBytes = sizeof(world), aclBuffer[64];
    ASSERT_TRUE(CreateWellKnownSid(WinWorldSid, nullptr, world, &worldBytes));
    TOKEN_DEFAULT_DACL defaultDacl{reinterpret_cast<PACL>(aclBuffer)};
    ASSERT_TRUE(InitializeAcl(defaultDacl.DefaultDacl, sizeof(aclBuffer), ACL_REVISION) &&
                AddAccessAllowedAce(defaultDacl.DefaultDacl, ACL_REVISION, GENERIC_ALL, world) &&
                SetTokenInformation(token, TokenDefaultDacl, &defaultDacl, sizeof(defaultDacl)));

    std::vector<std::vector<Entry>> dacls;
    std::thread([&] {
        if (!SetThreadToken(nullptr, token))
            return;
        auto security = ObjectSecurity::ForCurrentUser();
        for (const Kind& kind : kKinds) {
            const UniqueHandleNull object(
                security ? kind.create(security->Attributes(), UniqueName(kind.name)) : nullptr);
            dacls.push_back(DaclOf(object.get()));
        }
        RevertToSelf();
    }).join();
    ASSERT_EQ(dacls.size(), std::size(kKinds));
    for (std::size_t i = 0; i < dacls.size(); ++i)
        EXPECT_THAT(dacls[i], UserAndSystem(ProcessUserSid(), kKinds[i].fullAccess)) << kKinds[i].name;
}

} // namespace
} // namespace Zarvo::IPC
