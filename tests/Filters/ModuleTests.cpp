// The camera's classes linked in directly: out-of-memory at every allocation of every host call,
// and the registry helpers of the registration.

#include "../framework/TestFilters.h"
#include "../support/AllocationSeam.h"
#include "../support/RegistryAccess.h"
#include "../support/TempFolder.h"

#include "Filters/Filters.h"
#include "Filters/Guids.h"
#include "Filters/Module.h"
#include "framework/ReferenceClock.h"

#include <gtest/gtest.h>
#include <ks.h>
#include <ksmedia.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv);
extern "C" HRESULT STDAPICALLTYPE DllRegisterServer();
extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer();

using FrameworkTest::ComScope;
using Microsoft::WRL::ComPtr;
using Zarvo::Testing::FailingAllocation;

namespace {

// A class of the tests' own, so that registering it touches nothing the camera uses.
constexpr CLSID kTestClass = {0x5e1f0c2a, 0x7b3d, 0x4c9e, {0x8a, 0x11, 0x2b, 0x3c, 0x4d, 0x5e, 0x6f, 0x70}};
const std::wstring kTestClassKey = L"CLSID\\{5E1F0C2A-7B3D-4C9E-8A11-2B3C4D5E6F70}";

// Every call a host or the COM runtime makes without a connection or a server, results ignored:
// what counts is that nothing throws out of them and nothing is left behind.
void DriveTheInterfaceSurface(const CMediaType& good, const CMediaType& bad) {
    ComPtr<IClassFactory> factory;
    if (FAILED(DllGetClassObject(CLSID_ZarvoWebcam, IID_PPV_ARGS(&factory))))
        return;
    factory->LockServer(TRUE), factory->LockServer(FALSE);
    ComPtr<IBaseFilter> filter;
    if (FAILED(factory->CreateInstance(nullptr, IID_PPV_ARGS(&filter))))
        return;
    ComPtr<IPin> pin;
    ComPtr<IAMStreamConfig> config;
    ComPtr<IKsPropertySet> properties;
    ComPtr<IReferenceClock> clock, chosen;
    ComPtr<IEnumMediaTypes> types;
    ComPtr<IEnumPins> pins;
    if (filter->FindPin(L"1", &pin) != S_OK || filter.As(&config) != S_OK || pin.As(&properties) != S_OK ||
        filter.As(&clock) != S_OK)
        return;

    AM_MEDIA_TYPE* type = nullptr;
    if (config->GetFormat(&type) == S_OK)
        DestroyMediaType(type);
    VIDEO_STREAM_CONFIG_CAPS caps{};
    int count = 0, size = 0;
    config->GetNumberOfCapabilities(&count, &size);
    if (config->GetStreamCaps(0, &type, reinterpret_cast<BYTE*>(&caps)) == S_OK)
        DestroyMediaType(type);
    config->SetFormat(const_cast<CMediaType*>(&bad));
    config->SetFormat(const_cast<CMediaType*>(&good));
    GUID category{};
    DWORD returned = 0, support = 0;
    properties->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &category, sizeof(category), &returned);
    properties->Set(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &category, sizeof(category));
    properties->QuerySupported(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, &support);

    pin->QueryAccept(&good), pin->QueryAccept(&bad);
    ULONG fetched = 0;
    if (pin->EnumMediaTypes(&types) == S_OK && types->Next(1, &type, &fetched) == S_OK)
        DestroyMediaType(type);
    LPWSTR id = nullptr;
    if (pin->QueryId(&id) == S_OK)
        CoTaskMemFree(id);
    PIN_INFO pinInfo{};
    if (pin->QueryPinInfo(&pinInfo) == S_OK && pinInfo.pFilter)
        pinInfo.pFilter->Release();
    IPin* listed = nullptr;
    if (filter->EnumPins(&pins) == S_OK && pins->Next(1, &listed, &fetched) == S_OK)
        listed->Release();
    filter->JoinFilterGraph(nullptr, L"a filter name long enough to need memory of its own");
    FILTER_INFO filterInfo{};
    filter->QueryFilterInfo(&filterInfo);
    filter->SetSyncSource(clock.Get()), filter->GetSyncSource(&chosen), filter->SetSyncSource(nullptr);
    filter->Pause(), filter->Run(0), filter->Stop();

    // The hooks and the pin's Run as the worker and the filter call them.
    auto* stream = static_cast<CVCamStream*>(pin.Get());
    stream->Run(0), stream->OnThreadStartPlay(), stream->OnThreadDestroy();
    chosen.Reset(), clock.Reset(), properties.Reset(), config.Reset(), pin.Reset(), filter.Reset();

    RegisterComServer(kTestClass, L"Zarvo test class", L"C:\\test.dll", L"Both", L"InprocServer32");
    UnregisterComServer(kTestClass);
    DllRegisterServer(), DllUnregisterServer();
}

// The log registry opens its file once per process: one application-data folder for all tests.
const Zarvo::Testing::TempFolder& AppData() {
    static const Zarvo::Testing::TempFolder folder;
    static const bool set = SetEnvironmentVariableW(L"APPDATA", folder.Path().c_str());
    return (void)set, folder;
}

struct ModuleTest : ::testing::Test {
    ComScope com;
    const Zarvo::Testing::TempFolder& appData = AppData();
};

} // namespace

// Fails each allocation of the sweep in turn, from the first until a pass needs no more: no
// exception may leave a host call, and every object must be gone afterwards.
TEST_F(ModuleTest, EveryHostCallSurvivesRunningOutOfMemoryAtAnyAllocation) {
    const CMediaType good = FrameworkTest::MakeVideoType(MEDIASUBTYPE_YUY2, 1280, 720, 333666, 1280 * 720 * 2),
                     bad = FrameworkTest::MakeVideoType(MEDIASUBTYPE_YUY2, 1280, 720, 333666, 0x7FFFFFFF);
    const LONG liveBefore = CBaseObject::LiveObjectCount();
    DriveTheInterfaceSurface(good, bad); // the log file is open from here on, as in a host
    long failAt = 1;
    for (; failAt < 100000; ++failAt) {
        FailingAllocation failing(failAt);
        try {
            DriveTheInterfaceSurface(good, bad);
        } catch (const std::exception& error) {
            failing.Disarm();
            ADD_FAILURE() << "allocation " << failAt << " failed and raised out of a host call: " << error.what();
        }
        const bool failed = failing.Disarm();
        ASSERT_EQ(CBaseObject::LiveObjectCount(), liveBefore) << "after failing allocation " << failAt;
        if (!failed)
            break; // this pass had no allocation left to fail
    }
    EXPECT_GT(failAt, 20) << "the sweep saw too few allocations to mean anything";
    RecordProperty("allocations", std::to_string(failAt - 1));
    std::printf("swept %ld allocations\n", failAt - 1);
    while (PendingReleaseTasks() > 0)
        Sleep(1); // none are started without a server; a guard against a changed path
}

// The worker's first hook with memory running out from each of its allocations on: E_OUTOFMEMORY
// rather than an exception that would end the host, and OnThreadDestroy after it (as the worker
// runs it) undoes the rest. From the connection chain's first allocation on the chain cannot be
// built, starts nothing, and the stream would show the placeholder: the sweep ends there.
TEST_F(ModuleTest, TheWorkersFirstHookReportsRunningOutOfMemory) {
    ComPtr<IClassFactory> factory;
    ComPtr<IBaseFilter> filter;
    ComPtr<IPin> pin;
    ComPtr<IAMStreamConfig> config;
    AM_MEDIA_TYPE* type = nullptr;
    VIDEO_STREAM_CONFIG_CAPS caps{};
    ASSERT_EQ(
        (std::tuple{DllGetClassObject(CLSID_ZarvoWebcam, IID_PPV_ARGS(&factory)),
                    factory->CreateInstance(nullptr, IID_PPV_ARGS(&filter)), filter->FindPin(L"1", &pin),
                    pin.As(&config), config->GetStreamCaps(0, &type, reinterpret_cast<BYTE*>(&caps))}),
        (std::tuple{S_OK, S_OK, S_OK, S_OK, S_OK}));
    const HRESULT formatSet = config->SetFormat(type);
    DestroyMediaType(type);
    ASSERT_EQ(formatSet, S_OK);
    auto* stream = static_cast<CVCamStream*>(pin.Get());
    long failAt = 1;
    for (HRESULT created = E_OUTOFMEMORY; created == E_OUTOFMEMORY && failAt < 10000; ++failAt) {
        FailingAllocation failing({.nth = failAt, .onward = true});
        try {
            created = stream->OnThreadCreate();
        } catch (const std::exception& error) {
            failing.Disarm(), created = E_UNEXPECTED;
            ADD_FAILURE() << "allocation " << failAt
                          << " failed and raised out of OnThreadCreate: " << error.what();
        }
        failing.Disarm();
        ASSERT_EQ((std::tuple{created == S_OK || created == E_OUTOFMEMORY, stream->OnThreadDestroy()}),
                  (std::tuple{true, S_OK}))
            << "failing from allocation " << failAt;
    }
    EXPECT_GT(failAt, 3) << "the sweep saw too few allocations to mean anything";
    EXPECT_EQ(PendingReleaseTasks(), 0);
    std::printf("OnThreadCreate ran out of memory cleanly at %ld allocations\n", failAt - 2);
}

TEST_F(ModuleTest, RegistryHelpersReportThePlatformsCodesAndDeleteWholeTrees) {
    // A server type the registry refuses (names are limited to 255 characters): its code, as an HRESULT.
    const std::wstring tooLong(300, L'k');
    HKEY probe = nullptr;
    const LONG refused = RegCreateKeyW(HKEY_CURRENT_USER, (L"Software\\" + tooLong).c_str(), &probe);
    ASSERT_NE(refused, ERROR_SUCCESS);
    EXPECT_EQ(RegisterComServer(kTestClass, L"d", L"C:\\test.dll", L"Both", tooLong.c_str()),
              HRESULT(0x80070000u | ULONG(refused)));
    EXPECT_EQ(RegisterComServer(kTestClass, L"d", L"C:\\test.dll", L"Both", L"InprocServer32"), S_OK);

    // A tree three levels deep with values and siblings goes as a whole; the class key likewise.
    const std::wstring root = L"Software\\ZarvoDeleteKeyTreeTest";
    for (const wchar_t* path : {L"\\a\\b\\c", L"\\a\\b2", L"\\a2", L"\\a\\b\\c\\d"}) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyW(HKEY_CURRENT_USER, (root + path).c_str(), &key), ERROR_SUCCESS);
        RegSetValueExW(key, L"v", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"x"), 4);
        RegCloseKey(key);
    }
    HKEY gone = nullptr;
    EXPECT_EQ((std::tuple{DeleteKeyTree(HKEY_CURRENT_USER, root.c_str()),
                          RegOpenKeyExW(HKEY_CURRENT_USER, root.c_str(), 0, KEY_READ, &gone),
                          DeleteKeyTree(HKEY_CURRENT_USER, root.c_str()), DeleteKeyTree(HKEY_CURRENT_USER, L""),
                          DeleteKeyTree(HKEY_CURRENT_USER, nullptr), UnregisterComServer(kTestClass),
                          RegOpenKeyExW(HKEY_CLASSES_ROOT, kTestClassKey.c_str(), 0, KEY_READ, &gone)}),
              (std::tuple{S_OK, LONG(ERROR_FILE_NOT_FOUND), S_OK, E_FAIL, E_FAIL, S_OK, LONG(ERROR_FILE_NOT_FOUND)}));

    // A child that refuses to show its own children keeps the tree, and the caller hears why.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyW(HKEY_CURRENT_USER, (root + L"\\locked\\inner").c_str(), &key), ERROR_SUCCESS);
    RegCloseKey(key);
    HRESULT kept = S_OK;
    LONG stayed = ERROR_FILE_NOT_FOUND;
    {
        const Zarvo::Testing::LockedKey locked(HKEY_CURRENT_USER, root + L"\\locked");
        ASSERT_EQ(locked.Result(), ERROR_SUCCESS);
        kept = DeleteKeyTree(HKEY_CURRENT_USER, root.c_str());
        if ((stayed = RegOpenKeyExW(HKEY_CURRENT_USER, root.c_str(), 0, KEY_READ, &key)) == ERROR_SUCCESS)
            RegCloseKey(key);
    }
    EXPECT_EQ((std::tuple{kept, stayed, DeleteKeyTree(HKEY_CURRENT_USER, root.c_str())}),
              (std::tuple{HRESULT(0x80070005), LONG(ERROR_SUCCESS), S_OK}));
}

// A type without a block (or none at all) is refused without being read.
TEST_F(ModuleTest, CheckMediaTypeRefusesATypeWithoutItsBlock) {
    ComPtr<IClassFactory> factory;
    ComPtr<IBaseFilter> filter;
    ComPtr<IPin> pin;
    ASSERT_EQ(DllGetClassObject(CLSID_ZarvoWebcam, IID_PPV_ARGS(&factory)), S_OK);
    ASSERT_EQ((std::tuple{factory->CreateInstance(nullptr, IID_PPV_ARGS(&filter)), filter->FindPin(L"1", &pin)}),
              (std::tuple{S_OK, S_OK}));
    auto* stream = static_cast<CVCamStream*>(pin.Get());
    CMediaType blockless;
    blockless.majortype = MEDIATYPE_Video, blockless.subtype = MEDIASUBTYPE_NV12;
    EXPECT_EQ((std::tuple{stream->CheckMediaType(nullptr), stream->CheckMediaType(&blockless)}),
              (std::tuple{E_FAIL, E_FAIL}));
}

// A clock whose schedule cannot be made reports it, refuses advise requests and still tells time.
TEST_F(ModuleTest, AClockWithoutItsScheduleReportsOutOfMemoryAndStillTellsTime) {
    HRESULT result = S_OK;
    FailingAllocation failing(1);
    CBaseReferenceClock clock(L"clock", nullptr, &result);
    const long allocations = failing.Allocations();
    failing.Disarm();
    REFERENCE_TIME now = 0;
    DWORD_PTR cookie = 1;
    const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ((std::tuple{result, allocations, clock.GetTime(&now) == S_OK && now > 0,
                          clock.AdviseTime(now, 10000, reinterpret_cast<HEVENT>(event), &cookie), cookie,
                          clock.Unadvise(1)}),
              (std::tuple{E_OUTOFMEMORY, 1L, true, E_OUTOFMEMORY, DWORD_PTR{0}, S_FALSE}));
    CloseHandle(event);
}
