// The filter, its pins and enumerators, called directly.
#include "TestFilters.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace FrameworkTest;

namespace {

struct Fixture : ::testing::Test {
    ComScope com;
    LONG liveBefore = CBaseObject::LiveObjectCount();
    // Every test releases what it made: no framework object may outlive it.
    void TearDown() override { EXPECT_EQ(CBaseObject::LiveObjectCount(), liveBefore); }
};

ComPtr<IPin> FirstPin(IBaseFilter* filter) {
    ComPtr<IPin> pin;
    EXPECT_EQ(filter->FindPin(L"1", &pin), S_OK);
    return pin;
}

// A minimal clock whose references we can count.
class CountedClock final : public IReferenceClock {
public:
    LONG refs = 1;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }
    HRESULT STDMETHODCALLTYPE GetTime(REFERENCE_TIME* t) override {
        *t = 5000;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE AdviseTime(REFERENCE_TIME, REFERENCE_TIME, HEVENT, DWORD_PTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE AdvisePeriodic(REFERENCE_TIME, REFERENCE_TIME, HSEMAPHORE, DWORD_PTR*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD_PTR) override { return E_NOTIMPL; }
};

} // namespace

using Filter = Fixture;

TEST_F(Filter, FindPinQueryIdAndPinInfo) {
    TestSource* source = nullptr;
    auto filter = TestSource::Create(&source);

    ComPtr<IPin> pin = FirstPin(filter.Get());
    ASSERT_TRUE(pin);
    ComPtr<IPin> none;
    EXPECT_EQ(filter->FindPin(L"0", &none), VFW_E_NOT_FOUND);
    EXPECT_EQ(filter->FindPin(L"2", &none), VFW_E_NOT_FOUND);
    EXPECT_EQ(filter->FindPin(L"Video", &none), VFW_E_NOT_FOUND);
    EXPECT_EQ(filter->FindPin(L"-1", &none), VFW_E_NOT_FOUND);
    EXPECT_EQ(filter->FindPin(L"99999999999999999999", &none), VFW_E_NOT_FOUND);
    EXPECT_FALSE(none);
    EXPECT_EQ(filter->FindPin(L"1", nullptr), E_POINTER);

    LPWSTR id = nullptr;
    ASSERT_EQ(pin->QueryId(&id), S_OK);
    EXPECT_STREQ(id, L"1");
    CoTaskMemFree(id);
    EXPECT_EQ(pin->QueryId(nullptr), E_POINTER);

    PIN_INFO info{};
    ASSERT_EQ(pin->QueryPinInfo(&info), S_OK);
    EXPECT_EQ(info.pFilter, filter.Get());
    EXPECT_STREQ(info.achName, L"Out");
    EXPECT_EQ(info.dir, PINDIR_OUTPUT);
    info.pFilter->Release();
    EXPECT_EQ(pin->QueryPinInfo(nullptr), E_POINTER);
    PIN_DIRECTION dir = PINDIR_INPUT;
    EXPECT_EQ(pin->QueryDirection(&dir), S_OK);
    EXPECT_EQ(dir, PINDIR_OUTPUT);
    EXPECT_EQ(pin->QueryDirection(nullptr), E_POINTER);

    // Unconnected pin: no peer, empty connection type.
    IPin* peer = reinterpret_cast<IPin*>(1);
    EXPECT_EQ(pin->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(peer, nullptr);
    AM_MEDIA_TYPE mt;
    std::memset(&mt, 0xCD, sizeof(mt));
    EXPECT_EQ(pin->ConnectionMediaType(&mt), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(mt.majortype, GUID_NULL);
    EXPECT_EQ(mt.pbFormat, nullptr);
    EXPECT_EQ(mt.pUnk, nullptr);
    EXPECT_EQ(pin->Disconnect(), S_FALSE);
    EXPECT_EQ(pin->EndOfStream(), E_UNEXPECTED);

    // A second stream is "2"; the ids follow the list positions.
    HRESULT hr = S_OK;
    new TestStream(&hr, source, L"Second");
    ASSERT_EQ(hr, S_OK);
    ComPtr<IPin> second;
    ASSERT_EQ(filter->FindPin(L"2", &second), S_OK);
    ASSERT_EQ(second->QueryId(&id), S_OK);
    EXPECT_STREQ(id, L"2");
    CoTaskMemFree(id);
}

TEST_F(Filter, PinNamesOfAnyLengthAreCopiedAndTruncatedInInfo) {
    TestSource* source = nullptr;
    auto filter = TestSource::Create(&source);
    const std::wstring longName(5000, L'x');
    HRESULT hr = S_OK;
    auto* stream = new TestStream(&hr, source, longName.c_str());
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(std::wstring(stream->Name()), longName);
    PIN_INFO info{};
    ASSERT_EQ(stream->QueryPinInfo(&info), S_OK);
    EXPECT_EQ(std::wstring(info.achName), std::wstring(127, L'x'));
    info.pFilter->Release();
    auto* nameless = new TestStream(&hr, source, nullptr);
    ASSERT_EQ(hr, S_OK);
    EXPECT_STREQ(nameless->Name(), L"");
}

TEST_F(Filter, FilterInfoStateClockAndInterfaces) {
    auto filter = TestSource::Create();
    FILTER_INFO info{};
    ASSERT_EQ(filter->QueryFilterInfo(&info), S_OK);
    EXPECT_STREQ(info.achName, L"");
    EXPECT_EQ(info.pGraph, nullptr);
    EXPECT_EQ(filter->QueryFilterInfo(nullptr), E_POINTER);

    ComPtr<IFilterGraph> graph;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&graph)), S_OK);
    ASSERT_EQ(filter->JoinFilterGraph(graph.Get(), std::wstring(300, L'n').c_str()), S_OK);
    ASSERT_EQ(filter->QueryFilterInfo(&info), S_OK);
    EXPECT_EQ(std::wstring(info.achName), std::wstring(127, L'n'));
    EXPECT_EQ(info.pGraph, graph.Get());
    info.pGraph->Release();
    ASSERT_EQ(filter->JoinFilterGraph(nullptr, nullptr), S_OK);
    ASSERT_EQ(filter->QueryFilterInfo(&info), S_OK);
    EXPECT_STREQ(info.achName, L"");
    EXPECT_EQ(info.pGraph, nullptr);

    for (DWORD timeout : {0ul, 10ul, static_cast<unsigned long>(INFINITE)}) {
        FILTER_STATE state = State_Running;
        EXPECT_EQ(filter->GetState(timeout, &state), S_OK);
        EXPECT_EQ(state, State_Stopped);
    }
    EXPECT_EQ(filter->GetState(0, nullptr), E_POINTER);

    CLSID clsid{};
    EXPECT_EQ(filter->GetClassID(&clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_TestSource);
    EXPECT_EQ(filter->GetClassID(nullptr), E_POINTER);

    CountedClock clock;
    ASSERT_EQ(filter->SetSyncSource(&clock), S_OK);
    EXPECT_EQ(clock.refs, 2);
    IReferenceClock* got = nullptr;
    ASSERT_EQ(filter->GetSyncSource(&got), S_OK);
    EXPECT_EQ(got, &clock);
    EXPECT_EQ(clock.refs, 3);
    got->Release();
    EXPECT_EQ(filter->GetSyncSource(nullptr), E_POINTER);
    ASSERT_EQ(filter->SetSyncSource(nullptr), S_OK);
    EXPECT_EQ(clock.refs, 1);
    ASSERT_EQ(filter->GetSyncSource(&got), S_OK);
    EXPECT_EQ(got, nullptr);

    ComPtr<IAMovieSetup> setup;
    ASSERT_EQ(filter.As(&setup), S_OK);
    EXPECT_EQ(setup->Register(), S_FALSE);
    EXPECT_EQ(setup->Unregister(), S_FALSE);
    ComPtr<IMediaFilter> mediaFilter;
    EXPECT_EQ(filter.As(&mediaFilter), S_OK);
    ComPtr<IPin> notAPin;
    EXPECT_EQ(filter.As(&notAPin), E_NOINTERFACE);
    EXPECT_EQ(filter->QueryInterface(__uuidof(IPin), nullptr), E_POINTER);
    ComPtr<IUnknown> identity1, identity2;
    ASSERT_EQ(filter.As(&identity1), S_OK);
    ASSERT_EQ(mediaFilter.As(&identity2), S_OK);
    EXPECT_EQ(identity1.Get(), identity2.Get());
}

TEST_F(Filter, StreamTimeAndGraphEventsNeedClockAndSink) {
    TestSource* source = nullptr;
    auto filter = TestSource::Create(&source);
    REFERENCE_TIME t = 0;
    EXPECT_EQ(source->GetStreamTime(nullptr), E_POINTER);
    EXPECT_EQ(source->GetStreamTime(&t), VFW_E_NO_CLOCK);
    EXPECT_EQ(source->PostGraphEvent(EC_COMPLETE, 0, 0), E_NOTIMPL);
    CountedClock clock;
    filter->SetSyncSource(&clock);
    filter->Run(1000); // unconnected: no thread, state Running
    EXPECT_EQ(source->State(), State_Running);
    EXPECT_EQ(source->GetStreamTime(&t), S_OK);
    EXPECT_EQ(t, 4000);
    filter->Stop();
    filter->SetSyncSource(nullptr);
}

TEST_F(Filter, PinReferencesAreTheFiltersAndEverythingIsFreed) {
    {
        TestSource* source = nullptr;
        TestStream* stream = nullptr;
        auto filter = TestSource::Create(&source, &stream);
        EXPECT_EQ(CBaseObject::LiveObjectCount(), liveBefore + 2); // filter and pin
        EXPECT_EQ(source->RefCount(), 1);
        ComPtr<IPin> pin = FirstPin(filter.Get());
        EXPECT_EQ(source->RefCount(), 2);
        pin->AddRef();
        EXPECT_EQ(source->RefCount(), 3);
        pin->Release();
        ComPtr<IQualityControl> quality;
        ASSERT_EQ(pin.As(&quality), S_OK);
        EXPECT_EQ(source->RefCount(), 3);
        EXPECT_EQ(quality->SetSink(nullptr), S_OK);
        Quality q{};
        EXPECT_EQ(quality->Notify(filter.Get(), q), E_NOTIMPL);
        quality.Reset();
        pin.Reset();
        EXPECT_EQ(source->RefCount(), 1);
    }
    EXPECT_EQ(CBaseObject::LiveObjectCount(), liveBefore);
}

TEST_F(Filter, PinEnumeratorRefreshesWithoutRepeatingAndReportsOutOfSync) {
    TestSource* source = nullptr;
    TestStream* first = nullptr;
    auto filter = TestSource::Create(&source, &first);
    ComPtr<IEnumPins> pins;
    ASSERT_EQ(filter->EnumPins(&pins), S_OK);
    EXPECT_EQ(filter->EnumPins(nullptr), E_POINTER);

    IPin* got[3] = {};
    ULONG fetched = 99;
    EXPECT_EQ(pins->Next(2, got, nullptr), E_INVALIDARG);
    EXPECT_EQ(pins->Next(1, nullptr, &fetched), E_POINTER);
    ASSERT_EQ(pins->Next(1, got, &fetched), S_OK);
    EXPECT_EQ(fetched, 1u);
    EXPECT_EQ(got[0], static_cast<IPin*>(first));
    got[0]->Release();
    EXPECT_EQ(pins->Next(1, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);

    // The list changes: Skip and Clone refuse, Next refreshes but never repeats the first pin.
    HRESULT hr = S_OK;
    auto* second = new TestStream(&hr, source, L"Second");
    ComPtr<IEnumPins> clone;
    EXPECT_EQ(pins->Skip(1), VFW_E_ENUM_OUT_OF_SYNC);
    EXPECT_EQ(pins->Clone(&clone), VFW_E_ENUM_OUT_OF_SYNC);
    EXPECT_FALSE(clone);
    ASSERT_EQ(pins->Next(3, got, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 1u);
    EXPECT_EQ(got[0], static_cast<IPin*>(second));
    got[0]->Release();

    // Reset forgets what was handed out; Clone copies the position.
    ASSERT_EQ(pins->Reset(), S_OK);
    EXPECT_EQ(pins->Skip(3), S_FALSE);
    EXPECT_EQ(pins->Skip(1), S_OK);
    ASSERT_EQ(pins->Clone(&clone), S_OK);
    ASSERT_EQ(clone->Next(1, got, &fetched), S_OK);
    EXPECT_EQ(got[0], static_cast<IPin*>(second));
    got[0]->Release();
    EXPECT_EQ(pins->Skip(1), S_OK);
    EXPECT_EQ(pins->Skip(1), S_FALSE);
    EXPECT_EQ(pins->Clone(nullptr), E_POINTER);

    ComPtr<IEnumMediaTypes> asTypes;
    EXPECT_EQ(pins.As(&asTypes), E_NOINTERFACE);
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(pins.As(&unknown), S_OK);
}

TEST_F(Filter, MediaTypeEnumeratorCountsAndVersions) {
    TestStream* stream = nullptr;
    auto filter = TestSource::Create(nullptr, &stream);
    stream->types.push_back(MakeVideoType(MEDIASUBTYPE_NV12, 8));
    ComPtr<IEnumMediaTypes> types;
    EXPECT_EQ(stream->EnumMediaTypes(nullptr), E_POINTER);
    ASSERT_EQ(stream->EnumMediaTypes(&types), S_OK);
    AM_MEDIA_TYPE* got[3] = {};
    ULONG fetched = 99;
    EXPECT_EQ(types->Next(2, got, nullptr), E_INVALIDARG);
    EXPECT_EQ(types->Next(1, nullptr, &fetched), E_POINTER);
    EXPECT_EQ(types->Next(0, got, &fetched), S_OK);
    EXPECT_EQ(fetched, 0u);
    ASSERT_EQ(types->Next(3, got, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(got[0]->subtype, MEDIASUBTYPE_YUY2);
    EXPECT_EQ(got[1]->subtype, MEDIASUBTYPE_NV12);
    EXPECT_EQ(WidthOf(*got[1]), 8);
    DestroyMediaType(got[0]);
    DestroyMediaType(got[1]);

    EXPECT_EQ(types->Skip(0), S_OK);
    ASSERT_EQ(types->Reset(), S_OK);
    EXPECT_EQ(types->Skip(2), S_OK);
    EXPECT_EQ(types->Skip(1), S_FALSE);
    ASSERT_EQ(types->Reset(), S_OK);
    ASSERT_EQ(types->Skip(1), S_OK);
    ComPtr<IEnumMediaTypes> clone;
    ASSERT_EQ(types->Clone(&clone), S_OK);
    ASSERT_EQ(clone->Next(1, got, nullptr), S_OK);
    EXPECT_EQ(got[0]->subtype, MEDIASUBTYPE_NV12);
    DestroyMediaType(got[0]);

    stream->BumpTypeVersion();
    EXPECT_EQ(types->Next(1, got, &fetched), VFW_E_ENUM_OUT_OF_SYNC);
    EXPECT_EQ(types->Skip(1), VFW_E_ENUM_OUT_OF_SYNC);
    EXPECT_EQ(types->Clone(&clone), VFW_E_ENUM_OUT_OF_SYNC);
    ASSERT_EQ(types->Reset(), S_OK);
    EXPECT_EQ(types->Next(1, got, &fetched), S_OK);
    DestroyMediaType(got[0]);
}

TEST_F(Filter, DefaultSingleTypeOperationsOfTheStream) {
    // The framework's own positional GetMediaType and CheckMediaType over the single type.
    struct SingleTypeStream : CSourceStream {
        SingleTypeStream(HRESULT* hr, CSource* f) : CSourceStream(L"single", hr, f, L"S") {}
        HRESULT FillBuffer(IMediaSample*) override { return S_FALSE; }
        HRESULT ChooseBufferSize(IMemAllocator*, ALLOCATOR_PROPERTIES*) override { return S_OK; }
        HRESULT GetMediaType(CMediaType* type) override { return type->Set(MakeVideoType(MEDIASUBTYPE_YUY2, 8)); }
        using CSourceStream::GetMediaType;
    };
    TestSource* source = nullptr;
    auto filter = TestSource::Create(&source);
    HRESULT hr = S_OK;
    auto* single = new SingleTypeStream(&hr, source);
    CBasePin* pin = single;
    CMediaType type;
    EXPECT_EQ(pin->GetMediaType(-1, &type), E_INVALIDARG);
    EXPECT_EQ(pin->GetMediaType(1, &type), VFW_S_NO_MORE_ITEMS);
    ASSERT_EQ(pin->GetMediaType(0, &type), S_OK);
    EXPECT_EQ(type.subtype, MEDIASUBTYPE_YUY2);
    EXPECT_EQ(pin->CheckMediaType(&type), S_OK);
    const CMediaType other = MakeVideoType(MEDIASUBTYPE_YUY2, 9);
    EXPECT_EQ(pin->CheckMediaType(&other), E_FAIL);
    EXPECT_EQ(single->QueryAccept(&other), S_FALSE);
    EXPECT_EQ(single->QueryAccept(&type), S_OK);
    EXPECT_EQ(single->QueryAccept(nullptr), E_POINTER);
}
