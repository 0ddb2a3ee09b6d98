#pragma once
// Test filters: a counting source built on the framework, and a hand-written sink with one
// input pin that records what it was offered and what it received.

#include "framework/MediaType.h"
#include "framework/Source.h"
#include "framework/SourceStream.h"

#include <windows.h>
#include <dshow.h>
#include <uuids.h>
#include <wrl/client.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace FrameworkTest {

inline CMediaType MakeVideoType(const GUID& subtype, LONG width, LONG height = 4) {
    CMediaType type;
    type.majortype = MEDIATYPE_Video;
    type.subtype = subtype;
    type.formattype = FORMAT_VideoInfo;
    VIDEOINFOHEADER info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biSizeImage = static_cast<DWORD>(width * height * 2);
    type.SetFormatBlock(reinterpret_cast<const BYTE*>(&info), sizeof(info));
    type.lSampleSize = static_cast<ULONG>(width * height * 2);
    return type;
}

inline LONG WidthOf(const AM_MEDIA_TYPE& type) {
    if (type.cbFormat < sizeof(VIDEOINFOHEADER) || !type.pbFormat)
        return -1;
    return reinterpret_cast<const VIDEOINFOHEADER*>(type.pbFormat)->bmiHeader.biWidth;
}

inline BYTE PatternByte(int sample, size_t offset) { return static_cast<BYTE>((sample * 7 + offset) & 0xFF); }

// Waits on a condition with a time limit; false when it did not become true.
template <class Predicate>
bool WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, Predicate predicate,
             std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
    return cv.wait_for(lock, limit, predicate);
}

class TestSource;

// Counting source stream: sample n carries PatternByte(n, i) in byte i.
class TestStream : public CSourceStream {
public:
    TestStream(HRESULT* hr, TestSource* filter, const wchar_t* name = L"Out");

    // Configuration, set before the stream runs.
    std::vector<CMediaType> types;          // offered in this order; accepted only these
    HRESULT checkFailure = E_FAIL;          // what CheckMediaType answers to other types
    long bufferSize = 256;
    long bufferCount = 2;
    int endAfter = -1;                      // FillBuffer returns endCode for sample endAfter
    HRESULT endCode = S_FALSE;
    HRESULT createResult = S_OK;

    // Records.
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<GUID> checked;              // subtypes given to CheckMediaType, in order
    std::vector<LONG> checkedWidths;
    ALLOCATOR_PROPERTIES request{};         // as ChooseBufferSize saw it
    IMemAllocator* sizedAllocator = nullptr;
    std::vector<std::pair<std::string, DWORD>> hooks; // hook name and thread id
    int filled = 0;
    int startPlays = 0;
    int freeSampleFailures = 0;

    int CountHook(const std::string& name) {
        std::lock_guard lock(mutex);
        int n = 0;
        for (auto& h : hooks)
            n += h.first == name;
        return n;
    }
    void BumpTypeVersion() { IncrementTypeVersion(); }

    HRESULT CheckMediaType(const CMediaType* type) override {
        {
            std::lock_guard lock(mutex);
            checked.push_back(type->subtype);
            checkedWidths.push_back(WidthOf(*type));
        }
        for (auto& mine : types)
            if (mine == *type)
                return S_OK;
        return checkFailure;
    }
    HRESULT GetMediaType(int position, CMediaType* type) override {
        if (position < 0)
            return E_INVALIDARG;
        if (position >= static_cast<int>(types.size()))
            return VFW_S_NO_MORE_ITEMS;
        return type->Set(types[static_cast<size_t>(position)]);
    }
    using CSourceStream::GetMediaType;

    HRESULT ChooseBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) override {
        {
            std::lock_guard lock(mutex);
            request = *props;
            sizedAllocator = allocator;
        }
        ALLOCATOR_PROPERTIES wanted = *props;
        wanted.cBuffers = bufferCount;
        wanted.cbBuffer = bufferSize;
        ALLOCATOR_PROPERTIES actual{};
        const HRESULT hr = allocator->SetProperties(&wanted, &actual);
        if (FAILED(hr))
            return hr;
        return actual.cbBuffer < bufferSize ? E_FAIL : S_OK;
    }

    HRESULT GetFreeSample(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* stop, DWORD flags) override {
        const HRESULT hr = CSourceStream::GetFreeSample(sample, start, stop, flags);
        if (FAILED(hr)) {
            {
                std::lock_guard lock(mutex);
                ++freeSampleFailures;
            }
            changed.notify_all();
        }
        return hr;
    }

    HRESULT FillBuffer(IMediaSample* sample) override {
        int n;
        {
            std::lock_guard lock(mutex);
            n = filled++;
        }
        changed.notify_all();
        if (n == endAfter)
            return endCode;
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        const long size = sample->GetSize();
        for (long i = 0; i < size; ++i)
            data[i] = PatternByte(n, static_cast<size_t>(i));
        sample->SetActualDataLength(size);
        REFERENCE_TIME start = n * 10, stop = n * 10 + 10;
        sample->SetTime(&start, &stop);
        return S_OK;
    }

    HRESULT OnThreadCreate() override {
        Record("OnThreadCreate");
        return createResult;
    }
    HRESULT OnThreadDestroy() override {
        Record("OnThreadDestroy");
        return S_OK;
    }
    HRESULT OnThreadStartPlay() override {
        {
            std::lock_guard lock(mutex);
            ++startPlays;
        }
        Record("OnThreadStartPlay");
        return S_OK;
    }

private:
    void Record(const char* name) {
        {
            std::lock_guard lock(mutex);
            hooks.emplace_back(name, GetCurrentThreadId());
        }
        changed.notify_all();
    }
};

// {B0D1A7E2-3C4F-4A5B-9C6D-7E8F90A1B2C3}
inline constexpr GUID CLSID_TestSource = {0xb0d1a7e2, 0x3c4f, 0x4a5b, {0x9c, 0x6d, 0x7e, 0x8f, 0x90, 0xa1, 0xb2, 0xc3}};

class TestSource : public CSource {
public:
    TestSource() : CSource(L"test source", nullptr, CLSID_TestSource) {}
    // A new filter with one stream and one reference, owned by the caller.
    static ComPtr<IBaseFilter> Create(TestSource** source = nullptr, TestStream** stream = nullptr) {
        auto* filter = new TestSource;
        ComPtr<IBaseFilter> result(static_cast<IBaseFilter*>(filter)); // first AddRef
        HRESULT hr = S_OK;
        auto* s = new TestStream(&hr, filter);
        if (source)
            *source = filter;
        if (stream)
            *stream = s;
        return result;
    }
    using CBaseFilter::IncrementPinVersion;
    LONG RefCount() const { return mRefCount.load(); }
};

inline TestStream::TestStream(HRESULT* hr, TestSource* filter, const wchar_t* name)
    : CSourceStream(L"test stream", hr, filter, name) {
    types.push_back(MakeVideoType(MEDIASUBTYPE_YUY2, 8));
}

struct ReceivedSample {
    std::vector<BYTE> bytes;
    REFERENCE_TIME start = 0, stop = 0;
    HRESULT timeResult = E_FAIL;
};

// Sink filter with one input pin "In".
class TestSink final : public IBaseFilter {
public:
    static ComPtr<IBaseFilter> Create(TestSink** sink) {
        auto* s = new TestSink;
        ComPtr<IBaseFilter> result;
        result.Attach(s);
        *sink = s;
        return result;
    }

    // Configuration.
    std::vector<CMediaType> offered;                    // from EnumMediaTypes
    std::function<HRESULT(const AM_MEDIA_TYPE&)> accept; // ReceiveConnection's answer; null accepts
    bool reportRequirements = false;
    ALLOCATOR_PROPERTIES requirements{};
    ComPtr<IMemAllocator> ownAllocator;                 // null: VFW_E_NO_ALLOCATOR
    int refuseFrom = -1;                                // Receive answers S_FALSE from this sample on
    HRESULT notifyResult = S_OK;

    // Records, guarded by mutex.
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<CMediaType> receivedTypes;
    std::vector<ReceivedSample> samples;
    int endOfStreams = 0;
    int receiveCalls = 0;
    ComPtr<IMemAllocator> notified;

    IPin* Pin() { return &mPin; }
    bool Connected() { return mPin.connected != nullptr; }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IPersist || riid == IID_IMediaFilter || riid == IID_IBaseFilter)
            *ppv = static_cast<IBaseFilter*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++mRef); }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG n = --mRef;
        if (n == 0)
            delete this;
        return static_cast<ULONG>(n);
    }
    // IPersist / IMediaFilter
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override {
        *clsid = GUID_NULL;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Stop() override {
        mState = State_Stopped;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Pause() override {
        mState = State_Paused;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME) override {
        mState = State_Running;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetState(DWORD, FILTER_STATE* state) override {
        *state = mState;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetSyncSource(IReferenceClock* clock) override {
        mClock = clock;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetSyncSource(IReferenceClock** clock) override {
        *clock = mClock.Get();
        if (*clock)
            (*clock)->AddRef();
        return S_OK;
    }
    // IBaseFilter
    HRESULT STDMETHODCALLTYPE EnumPins(IEnumPins** pins) override {
        *pins = new PinEnum(this);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE FindPin(LPCWSTR id, IPin** pin) override {
        *pin = nullptr;
        if (wcscmp(id, L"In") != 0)
            return VFW_E_NOT_FOUND;
        *pin = &mPin;
        mPin.AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryFilterInfo(FILTER_INFO* info) override {
        wcscpy_s(info->achName, L"sink");
        info->pGraph = mGraph;
        if (mGraph)
            mGraph->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE JoinFilterGraph(IFilterGraph* graph, LPCWSTR) override {
        mGraph = graph;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryVendorInfo(LPWSTR*) override { return E_NOTIMPL; }

private:
    TestSink() : mPin(this) {}
    ~TestSink() = default;

    class TypeEnum final : public IEnumMediaTypes {
    public:
        TypeEnum(TestSink* sink, size_t position) : mSink(sink), mPosition(position) { mSink->AddRef(); }
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
            if (riid != IID_IUnknown && riid != IID_IEnumMediaTypes)
                return E_NOINTERFACE;
            *ppv = this;
            AddRef();
            return S_OK;
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++mRef); }
        ULONG STDMETHODCALLTYPE Release() override {
            const LONG n = --mRef;
            if (n == 0) {
                mSink->Release();
                delete this;
            }
            return static_cast<ULONG>(n);
        }
        HRESULT STDMETHODCALLTYPE Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) override {
            ULONG got = 0;
            while (got < count && mPosition < mSink->offered.size())
                types[got++] = CloneMediaType(mSink->offered[mPosition++]);
            if (fetched)
                *fetched = got;
            return got == count ? S_OK : S_FALSE;
        }
        HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
            mPosition += count;
            return mPosition <= mSink->offered.size() ? S_OK : S_FALSE;
        }
        HRESULT STDMETHODCALLTYPE Reset() override {
            mPosition = 0;
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE Clone(IEnumMediaTypes** clone) override {
            *clone = new TypeEnum(mSink, mPosition);
            return S_OK;
        }

    private:
        ~TypeEnum() = default;
        TestSink* mSink;
        size_t mPosition;
        std::atomic<LONG> mRef{1};
    };

    class PinEnum final : public IEnumPins {
    public:
        explicit PinEnum(TestSink* sink) : mSink(sink) { mSink->AddRef(); }
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
            if (riid != IID_IUnknown && riid != IID_IEnumPins)
                return E_NOINTERFACE;
            *ppv = this;
            AddRef();
            return S_OK;
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++mRef); }
        ULONG STDMETHODCALLTYPE Release() override {
            const LONG n = --mRef;
            if (n == 0) {
                mSink->Release();
                delete this;
            }
            return static_cast<ULONG>(n);
        }
        HRESULT STDMETHODCALLTYPE Next(ULONG count, IPin** pins, ULONG* fetched) override {
            ULONG got = 0;
            if (count > 0 && !mDone) {
                pins[0] = &mSink->mPin;
                pins[0]->AddRef();
                got = 1;
                mDone = true;
            }
            if (fetched)
                *fetched = got;
            return got == count ? S_OK : S_FALSE;
        }
        HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
            if (count == 0)
                return S_OK;
            const bool had = !mDone;
            mDone = true;
            return had && count == 1 ? S_OK : S_FALSE;
        }
        HRESULT STDMETHODCALLTYPE Reset() override {
            mDone = false;
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE Clone(IEnumPins** clone) override {
            auto* copy = new PinEnum(mSink);
            copy->mDone = mDone;
            *clone = copy;
            return S_OK;
        }

    private:
        ~PinEnum() = default;
        TestSink* mSink;
        bool mDone = false;
        std::atomic<LONG> mRef{1};
    };

    class InputPin final : public IPin, public IMemInputPin {
    public:
        explicit InputPin(TestSink* sink) : mSink(sink) {}
        ComPtr<IPin> connected;
        CMediaType type;

        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
            if (!ppv)
                return E_POINTER;
            *ppv = nullptr;
            if (riid == IID_IUnknown || riid == IID_IPin)
                *ppv = static_cast<IPin*>(this);
            else if (riid == IID_IMemInputPin)
                *ppv = static_cast<IMemInputPin*>(this);
            else
                return E_NOINTERFACE;
            AddRef();
            return S_OK;
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return mSink->AddRef(); }
        ULONG STDMETHODCALLTYPE Release() override { return mSink->Release(); }

        HRESULT STDMETHODCALLTYPE Connect(IPin*, const AM_MEDIA_TYPE*) override { return E_UNEXPECTED; }
        HRESULT STDMETHODCALLTYPE ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* mt) override {
            if (!connector || !mt)
                return E_POINTER;
            if (connected)
                return VFW_E_ALREADY_CONNECTED;
            {
                std::lock_guard lock(mSink->mutex);
                mSink->receivedTypes.emplace_back(*mt);
            }
            const HRESULT hr = mSink->accept ? mSink->accept(*mt) : S_OK;
            if (hr != S_OK)
                return FAILED(hr) ? hr : VFW_E_TYPE_NOT_ACCEPTED;
            connected = connector;
            type.Set(*mt);
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE Disconnect() override {
            if (!connected)
                return S_FALSE;
            connected.Reset();
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE ConnectedTo(IPin** pin) override {
            *pin = connected.Get();
            if (!*pin)
                return VFW_E_NOT_CONNECTED;
            (*pin)->AddRef();
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE ConnectionMediaType(AM_MEDIA_TYPE* mt) override {
            if (!connected)
                return VFW_E_NOT_CONNECTED;
            return CopyMediaTypeInto(mt, type);
        }
        HRESULT STDMETHODCALLTYPE QueryPinInfo(PIN_INFO* info) override {
            info->pFilter = mSink;
            mSink->AddRef();
            wcscpy_s(info->achName, L"In");
            info->dir = PINDIR_INPUT;
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE QueryDirection(PIN_DIRECTION* dir) override {
            *dir = PINDIR_INPUT;
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE QueryId(LPWSTR* id) override {
            *id = static_cast<LPWSTR>(CoTaskMemAlloc(3 * sizeof(wchar_t)));
            wcscpy_s(*id, 3, L"In");
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE QueryAccept(const AM_MEDIA_TYPE*) override { return S_OK; }
        HRESULT STDMETHODCALLTYPE EnumMediaTypes(IEnumMediaTypes** types) override {
            *types = new TypeEnum(mSink, 0);
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE EndOfStream() override {
            {
                std::lock_guard lock(mSink->mutex);
                ++mSink->endOfStreams;
            }
            mSink->changed.notify_all();
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE BeginFlush() override { return S_OK; }
        HRESULT STDMETHODCALLTYPE EndFlush() override { return S_OK; }
        HRESULT STDMETHODCALLTYPE NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }

        HRESULT STDMETHODCALLTYPE GetAllocator(IMemAllocator** allocator) override {
            *allocator = mSink->ownAllocator.Get();
            if (!*allocator)
                return VFW_E_NO_ALLOCATOR;
            (*allocator)->AddRef();
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE NotifyAllocator(IMemAllocator* allocator, BOOL) override {
            if (FAILED(mSink->notifyResult))
                return mSink->notifyResult;
            std::lock_guard lock(mSink->mutex);
            mSink->notified = allocator;
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) override {
            if (!mSink->reportRequirements)
                return E_NOTIMPL;
            *props = mSink->requirements;
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE Receive(IMediaSample* sample) override {
            ReceivedSample got;
            BYTE* data = nullptr;
            sample->GetPointer(&data);
            const long length = sample->GetActualDataLength();
            got.bytes.assign(data, data + length);
            got.timeResult = sample->GetTime(&got.start, &got.stop);
            HRESULT hr = S_OK;
            {
                std::lock_guard lock(mSink->mutex);
                const int index = mSink->receiveCalls++;
                if (mSink->refuseFrom >= 0 && index >= mSink->refuseFrom)
                    hr = S_FALSE;
                else
                    mSink->samples.push_back(std::move(got));
            }
            mSink->changed.notify_all();
            return hr;
        }
        HRESULT STDMETHODCALLTYPE ReceiveMultiple(IMediaSample** samples, long count, long* processed) override {
            *processed = 0;
            for (long i = 0; i < count; ++i) {
                const HRESULT hr = Receive(samples[i]);
                if (hr != S_OK)
                    return hr;
                ++*processed;
            }
            return S_OK;
        }
        HRESULT STDMETHODCALLTYPE ReceiveCanBlock() override { return S_FALSE; }

    private:
        TestSink* mSink;
    };

    std::atomic<LONG> mRef{1};
    FILTER_STATE mState = State_Stopped;
    ComPtr<IReferenceClock> mClock;
    IFilterGraph* mGraph = nullptr;
    InputPin mPin;
};

// COM for the calling thread, in the multithreaded apartment like the host threads we serve.
struct ComScope {
    ComScope() { hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    ~ComScope() {
        if (SUCCEEDED(hr))
            CoUninitialize();
    }
    HRESULT hr;
};

} // namespace FrameworkTest
