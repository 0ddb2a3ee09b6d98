// The filter, its pins, enumerators and media types, called directly.
#include "TestFilters.h"

#include "framework/ReferenceClock.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace FrameworkTest;

namespace {

struct Filter : ::testing::Test {
    ComScope com;
    LONG liveBefore = CBaseObject::LiveObjectCount();
    TestSource* source = nullptr;
    TestStream* stream = nullptr;
    ComPtr<IBaseFilter> filter = TestSource::Create(&source, &stream);
    void TearDown() override {
        filter.Reset();
        EXPECT_EQ(CBaseObject::LiveObjectCount(), liveBefore); // nothing outlives its test
    }
};

ULONG References(IUnknown* object) {
    return object->AddRef(), object->Release();
}

} // namespace

TEST_F(Filter, NullOutPointersAreRefused) {
    ComPtr<IEnumPins> pins;
    ComPtr<IEnumMediaTypes> types;
    ASSERT_EQ((std::tuple{filter->EnumPins(&pins), stream->EnumMediaTypes(&types)}),
              (std::tuple{S_OK, S_OK}));
    ULONG fetched = 0;
    const HRESULT results[] = {filter->FindPin(L"1", nullptr),
                               filter->QueryFilterInfo(nullptr),
                               filter->GetState(0, nullptr),
                               filter->GetSyncSource(nullptr),
                               filter->EnumPins(nullptr),
                               filter->QueryInterface(IID_IPin, nullptr),
                               source->GetStreamTime(nullptr),
                               stream->QueryId(nullptr),
                               stream->QueryPinInfo(nullptr),
                               stream->QueryDirection(nullptr),
                               stream->ConnectedTo(nullptr),
                               stream->ConnectionMediaType(nullptr),
                               stream->EnumMediaTypes(nullptr),
                               stream->QueryAccept(nullptr),
                               stream->Connect(nullptr, &stream->types[0]),
                               stream->ReceiveConnection(stream, nullptr),
                               pins->Next(1, nullptr, &fetched),
                               pins->Clone(nullptr),
                               types->Next(1, nullptr, &fetched)};
    for (size_t i = 0; i < std::size(results); ++i)
        EXPECT_EQ(results[i], E_POINTER) << "call " << i;
}

TEST_F(Filter, FindPinQueryIdAndPinInfoOfPinsWithNamesOfAnyLength) {
    for (const wchar_t* id : {L"0", L"4", L"Out", L"-1", L"99999999999999999999"}) {
        ComPtr<IPin> none;
        EXPECT_EQ(filter->FindPin(id, &none), VFW_E_NOT_FOUND) << id;
    }
    HRESULT hr = S_OK;
    const std::wstring longName(5000, L'x');
    auto* second = new TestStream(&hr, source, longName.c_str());
    auto* nameless = new TestStream(&hr, source, nullptr);
    ASSERT_EQ(hr, S_OK);
    EXPECT_TRUE(second->Name() == longName && nameless->Name() == std::wstring());
    // The ids follow the list positions; the name in the info is cut to fit its array.
    const std::pair<IPin*, std::wstring> expected[] = {
        {stream, L"Out"}, {second, std::wstring(127, L'x')}, {nameless, L""}};
    for (int i = 0; i < 3; ++i) {
        const std::wstring id = std::to_wstring(i + 1);
        ComPtr<IPin> pin;
        LPWSTR got = nullptr;
        PIN_INFO info{};
        ASSERT_EQ(filter->FindPin(id.c_str(), &pin), S_OK);
        ASSERT_EQ((std::tuple{pin->QueryId(&got), pin->QueryPinInfo(&info)}), (std::tuple{S_OK, S_OK}));
        EXPECT_EQ(
            (std::tuple{pin.Get(), std::wstring(got), info.pFilter, info.dir, std::wstring(info.achName)}),
            (std::tuple{expected[i].first, id, filter.Get(), PINDIR_OUTPUT, expected[i].second}));
        CoTaskMemFree(got);
        info.pFilter->Release();
    }
}

TEST_F(Filter, FilterInfoFollowsTheGraphStateAnswersAnyTimeoutAndTheClockIsReferenced) {
    ComPtr<IFilterGraph> graph;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph)), S_OK);
    const std::wstring longName(300, L'n');
    const std::pair<IFilterGraph*, const wchar_t*> joins[] = {
        {nullptr, nullptr}, {graph.Get(), longName.c_str()}, {nullptr, nullptr}};
    for (auto [joined, name] : joins) {
        FILTER_INFO info{};
        ASSERT_EQ(filter->JoinFilterGraph(joined, name), S_OK);
        ASSERT_EQ(filter->QueryFilterInfo(&info), S_OK);
        EXPECT_EQ((std::tuple{std::wstring(info.achName), info.pGraph}),
                  (std::tuple{name ? std::wstring(127, L'n') : L"", joined}));
        if (info.pGraph)
            info.pGraph->Release();
    }
    for (DWORD timeout : {0ul, 10ul, static_cast<unsigned long>(INFINITE)}) {
        FILTER_STATE state = State_Running;
        EXPECT_EQ((std::tuple{filter->GetState(timeout, &state), state}), (std::tuple{S_OK, State_Stopped}));
    }
    HRESULT hr = S_OK;
    ComPtr<IReferenceClock> clock(new CBaseReferenceClock(L"clock", nullptr, &hr)), got;
    ASSERT_EQ(filter->SetSyncSource(clock.Get()), S_OK);
    EXPECT_EQ(References(clock.Get()), 2u);
    ASSERT_EQ(filter->GetSyncSource(&got), S_OK);
    EXPECT_EQ((std::tuple{got.Get(), References(clock.Get())}), (std::tuple{clock.Get(), 3u}));
    got.Reset();
    ASSERT_EQ(filter->SetSyncSource(nullptr), S_OK);
    EXPECT_EQ(References(clock.Get()), 1u);
    ASSERT_EQ(filter->GetSyncSource(&got), S_OK);
    EXPECT_FALSE(got);
}

TEST_F(Filter, PinReferencesAreTheFiltersAndEverythingIsFreed) {
    EXPECT_EQ(CBaseObject::LiveObjectCount(), liveBefore + 2); // filter and pin; after TearDown none
    EXPECT_EQ((std::tuple{References(filter.Get()), stream->AddRef()}), (std::tuple{1u, 2u}));
    EXPECT_EQ((std::tuple{source->RefCount(), stream->Release(), source->RefCount()}),
              (std::tuple{2l, 1u, 1l}));
}

TEST_F(Filter, EnumeratorsRefreshWithoutRepeatingAndCheckTheirArguments) {
    ComPtr<IEnumPins> pins, clone;
    ASSERT_EQ(filter->EnumPins(&pins), S_OK);
    IPin* got[3] = {};
    ULONG fetched = 99;
    auto next = [&](IEnumPins* from, ULONG count) { // what it answers, how many, the first
        const HRESULT hr = from->Next(count, got, &fetched);
        for (ULONG i = 0; i < fetched; ++i)
            got[i]->Release();
        return std::tuple{hr, fetched, fetched ? got[0] : nullptr};
    };
    EXPECT_EQ(pins->Next(2, got, nullptr), E_INVALIDARG);
    EXPECT_EQ(next(pins.Get(), 1), (std::tuple{S_OK, 1ul, static_cast<IPin*>(stream)}));
    EXPECT_EQ(next(pins.Get(), 1), (std::tuple{S_FALSE, 0ul, nullptr}));
    // The list changes: Skip and Clone refuse, Next refreshes but never repeats the first pin.
    HRESULT hr = S_OK;
    IPin* second = new TestStream(&hr, source, L"Second");
    EXPECT_EQ((std::tuple{pins->Skip(1), pins->Clone(&clone)}),
              (std::tuple{VFW_E_ENUM_OUT_OF_SYNC, VFW_E_ENUM_OUT_OF_SYNC}));
    EXPECT_EQ(next(pins.Get(), 3), (std::tuple{S_FALSE, 1ul, second}));
    // Reset forgets what was handed out; Clone copies the position.
    EXPECT_EQ((std::tuple{pins->Reset(), pins->Skip(3), pins->Reset(), pins->Skip(1)}),
              (std::tuple{S_OK, S_FALSE, S_OK, S_OK}));
    ASSERT_EQ(pins->Clone(&clone), S_OK);
    EXPECT_EQ(next(clone.Get(), 1), (std::tuple{S_OK, 1ul, second}));
    EXPECT_EQ((std::tuple{pins->Skip(1), pins->Skip(1)}), (std::tuple{S_OK, S_FALSE}));

    ComPtr<IEnumMediaTypes> types;
    ASSERT_EQ(stream->EnumMediaTypes(&types), S_OK);
    AM_MEDIA_TYPE* type[2] = {};
    EXPECT_EQ(types->Next(2, type, nullptr), E_INVALIDARG);
    EXPECT_EQ((std::tuple{types->Next(0, type, &fetched), fetched}), (std::tuple{S_OK, 0ul}));
    ASSERT_EQ((std::tuple{types->Next(2, type, &fetched), fetched}), (std::tuple{S_FALSE, 1ul}));
    EXPECT_TRUE(*type[0] == stream->types[0]);
    DestroyMediaType(type[0]);
    stream->IncrementTypeVersion();
    EXPECT_EQ(types->Next(1, type, &fetched), VFW_E_ENUM_OUT_OF_SYNC);
}

TEST(MediaType, InconsistentFormatFieldsAreNeverReadNorFreedTwice) {
    // A length without a block: a copy must not read it, and gets no block of its own.
    AM_MEDIA_TYPE lengthOnly{};
    lengthOnly.cbFormat = 4096;
    const CMediaType fromLength(lengthOnly);
    EXPECT_TRUE(fromLength.pbFormat == nullptr && fromLength.cbFormat == 0);
    EXPECT_FALSE(MediaTypesEqual(lengthOnly, lengthOnly)); // nothing to compare the bytes of
    // A block without a length: the copy must not share the block (which would be freed twice).
    AM_MEDIA_TYPE* blockOnly = CloneMediaType(MakeVideoType(MEDIASUBTYPE_YUY2, 8));
    ASSERT_NE(blockOnly, nullptr);
    blockOnly->cbFormat = 0;
    {
        const CMediaType fromBlock(*blockOnly);
        EXPECT_TRUE(fromBlock.pbFormat == nullptr && fromBlock.cbFormat == 0);
    }
    DestroyMediaType(blockOnly); // frees the block it still owns
    CMediaType type = MakeVideoType(MEDIASUBTYPE_YUY2, 8);
    EXPECT_FALSE(type.SetFormatBlock(nullptr, 4)); // null bytes with a length change nothing
    EXPECT_TRUE(type == MakeVideoType(MEDIASUBTYPE_YUY2, 8));
    ReleaseMediaType(type);
    ReleaseMediaType(type); // a second release is harmless
}
