// The filter, its pins, enumerators and media types, called directly.
#include "TestFilters.h"

#include <gtest/gtest.h>

using namespace FrameworkTest;

namespace {

struct Filter : ::testing::Test {
    ComScope com;
    LONG liveBefore = CBaseObject::LiveObjectCount();
    TestSource* source = nullptr;
    TestStream* stream = nullptr;
    ComPtr<IBaseFilter> filter = TestSource::Create(&source, &stream);
    // Every test releases what it made: no framework object may outlive it.
    void TearDown() override {
        filter.Reset();
        EXPECT_EQ(CBaseObject::LiveObjectCount(), liveBefore);
    }
};

// Only the references of the clock count here.
class CountedClock final : public IReferenceClock {
public:
    LONG refs = 1;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOTIMPL; }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }
    HRESULT STDMETHODCALLTYPE GetTime(REFERENCE_TIME*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE AdviseTime(REFERENCE_TIME, REFERENCE_TIME, HEVENT, DWORD_PTR*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE AdvisePeriodic(REFERENCE_TIME, REFERENCE_TIME, HSEMAPHORE,
                                             DWORD_PTR*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD_PTR) override { return E_NOTIMPL; }
};

} // namespace

TEST_F(Filter, NullOutPointersAreRefused) {
    ComPtr<IEnumPins> pins;
    ComPtr<IEnumMediaTypes> types;
    ASSERT_EQ(filter->EnumPins(&pins), S_OK);
    ASSERT_EQ(stream->EnumMediaTypes(&types), S_OK);
    ULONG fetched = 0;
    const CMediaType mine = MakeVideoType(MEDIASUBTYPE_YUY2, 8);
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
                               stream->Connect(nullptr, &mine),
                               stream->ReceiveConnection(nullptr, &mine),
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
        EXPECT_FALSE(none);
    }
    HRESULT hr = S_OK;
    const std::wstring longName(5000, L'x');
    auto* second = new TestStream(&hr, source, longName.c_str());
    auto* nameless = new TestStream(&hr, source, nullptr);
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(second->Name(), longName);
    EXPECT_STREQ(nameless->Name(), L"");
    // The ids follow the list positions; the name in the info is cut to fit its array.
    const std::pair<IPin*, std::wstring> expected[] = {
        {stream, L"Out"}, {second, std::wstring(127, L'x')}, {nameless, L""}};
    for (int i = 0; i < 3; ++i) {
        const std::wstring id = std::to_wstring(i + 1);
        ComPtr<IPin> pin;
        ASSERT_EQ(filter->FindPin(id.c_str(), &pin), S_OK);
        EXPECT_EQ(pin.Get(), expected[i].first);
        LPWSTR got = nullptr;
        ASSERT_EQ(pin->QueryId(&got), S_OK);
        EXPECT_EQ(got, id);
        CoTaskMemFree(got);
        PIN_INFO info{};
        ASSERT_EQ(pin->QueryPinInfo(&info), S_OK);
        EXPECT_TRUE(info.pFilter == filter.Get() && info.dir == PINDIR_OUTPUT);
        EXPECT_EQ(info.achName, expected[i].second);
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
        ASSERT_EQ(filter->JoinFilterGraph(joined, name), S_OK);
        FILTER_INFO info{};
        ASSERT_EQ(filter->QueryFilterInfo(&info), S_OK);
        EXPECT_EQ(info.achName, name ? std::wstring(127, L'n') : L"");
        EXPECT_EQ(info.pGraph, joined);
        if (info.pGraph)
            info.pGraph->Release();
    }
    for (DWORD timeout : {0ul, 10ul, static_cast<unsigned long>(INFINITE)}) {
        FILTER_STATE state = State_Running;
        EXPECT_EQ(filter->GetState(timeout, &state), S_OK);
        EXPECT_EQ(state, State_Stopped);
    }
    CountedClock clock;
    ASSERT_EQ(filter->SetSyncSource(&clock), S_OK);
    EXPECT_EQ(clock.refs, 2);
    ComPtr<IReferenceClock> got;
    ASSERT_EQ(filter->GetSyncSource(&got), S_OK);
    EXPECT_EQ(got.Get(), &clock);
    EXPECT_EQ(clock.refs, 3);
    got.Reset();
    ASSERT_EQ(filter->SetSyncSource(nullptr), S_OK);
    EXPECT_EQ(clock.refs, 1);
    ASSERT_EQ(filter->GetSyncSource(&got), S_OK);
    EXPECT_FALSE(got);
}

TEST_F(Filter, PinReferencesAreTheFiltersAndEverythingIsFreed) {
    EXPECT_EQ(CBaseObject::LiveObjectCount(), liveBefore + 2); // filter and pin; TearDown: none
    EXPECT_EQ(source->RefCount(), 1);
    stream->AddRef();
    EXPECT_EQ(source->RefCount(), 2);
    stream->Release();
    EXPECT_EQ(source->RefCount(), 1);
}

TEST_F(Filter, EnumeratorsRefreshWithoutRepeatingAndCheckTheirArguments) {
    ComPtr<IEnumPins> pins, clone;
    ASSERT_EQ(filter->EnumPins(&pins), S_OK);
    IPin* got[3] = {};
    ULONG fetched = 99;
    EXPECT_EQ(pins->Next(2, got, nullptr), E_INVALIDARG);
    ASSERT_EQ(pins->Next(1, got, &fetched), S_OK);
    EXPECT_EQ(got[0], static_cast<IPin*>(stream));
    got[0]->Release();
    EXPECT_EQ(pins->Next(1, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    // The list changes: Skip and Clone refuse, Next refreshes but never repeats the first pin.
    HRESULT hr = S_OK;
    auto* second = new TestStream(&hr, source, L"Second");
    EXPECT_EQ(pins->Skip(1), VFW_E_ENUM_OUT_OF_SYNC);
    EXPECT_EQ(pins->Clone(&clone), VFW_E_ENUM_OUT_OF_SYNC);
    ASSERT_EQ(pins->Next(3, got, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 1u);
    EXPECT_EQ(got[0], static_cast<IPin*>(second));
    got[0]->Release();
    // Reset forgets what was handed out; Clone copies the position.
    ASSERT_EQ(pins->Reset(), S_OK);
    EXPECT_EQ(pins->Skip(3), S_FALSE);
    ASSERT_EQ(pins->Reset(), S_OK);
    EXPECT_EQ(pins->Skip(1), S_OK);
    ASSERT_EQ(pins->Clone(&clone), S_OK);
    ASSERT_EQ(clone->Next(1, got, &fetched), S_OK);
    EXPECT_EQ(got[0], static_cast<IPin*>(second));
    got[0]->Release();
    EXPECT_EQ(pins->Skip(1), S_OK);
    EXPECT_EQ(pins->Skip(1), S_FALSE);

    ComPtr<IEnumMediaTypes> types;
    ASSERT_EQ(stream->EnumMediaTypes(&types), S_OK);
    AM_MEDIA_TYPE* type[2] = {};
    EXPECT_EQ(types->Next(2, type, nullptr), E_INVALIDARG);
    EXPECT_EQ(types->Next(0, type, &fetched), S_OK);
    EXPECT_EQ(fetched, 0u);
    ASSERT_EQ(types->Next(2, type, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 1u);
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
    EXPECT_TRUE(type.pbFormat == nullptr && type.cbFormat == 0);
}
