#pragma once
// Test filters: a counting source on the framework, and a hand-written recording sink.

#include "framework/MediaType.h"
#include "framework/Source.h"
#include "framework/SourceStream.h"

#include <windows.h>

#include <dshow.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace FrameworkTest {

// A video type with a VIDEOINFOHEADER; the header's compression and bit count are the subtype's.
inline CMediaType MakeVideoType(const GUID& subtype, LONG width, LONG height = 4, REFERENCE_TIME interval = 0,
                                DWORD imageSize = 0) {
    CMediaType type;
    type.majortype = MEDIATYPE_Video, type.subtype = subtype, type.formattype = FORMAT_VideoInfo;
    const WORD bits = subtype == MEDIASUBTYPE_YUY2 ? 16 : 12; // 4:2:2 packed or 4:2:0
    const VIDEOINFOHEADER info{
        {}, {}, 0, 0, interval, {sizeof(BITMAPINFOHEADER), width, height, 1, bits, subtype.Data1, imageSize, 0, 0, 0, 0}};
    type.SetFormatBlock(reinterpret_cast<const BYTE*>(&info), sizeof(info));
    return type;
}

// What a test double recorded, guarded by mutex; changed is signalled after every Update.
struct Records {
    std::mutex mutex;
    std::condition_variable changed;
    template <class F> void Update(F change) {
        std::unique_lock lock(mutex);
        change();
        lock.unlock();
        changed.notify_all();
    }
    template <class P> bool Wait(P done, std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, done);
    }
};

// Counting source stream: sample n carries Pattern(n, i) in byte i.
class TestStream : public CSourceStream, public Records {
public:
    TestStream(HRESULT* hr, CSource* filter, const wchar_t* name = L"Out")
        : CSourceStream(L"test stream", hr, filter, name) {}

    // Configuration, set before the stream runs, then what it recorded.
    std::vector<CMediaType> types{MakeVideoType(MEDIASUBTYPE_YUY2, 8)}; // offered in order; the only accepted
    HRESULT checkFailure = E_FAIL; // what CheckMediaType answers to other types
    long bufferSize = 256;
    int endAfter = -1; // FillBuffer returns endCode for sample endAfter
    HRESULT endCode = S_FALSE, createResult = S_OK; // createResult: what OnThreadCreate answers
    std::function<void()> onDeactivate;             // called in the host's Stop, before the worker is stopped
    bool waitInFill = false;       // FillBuffer waits for a command that ends the run, then fills
    const char* throwIn = nullptr; // the hook (or "FillBuffer") that throws std::bad_alloc

    std::vector<GUID> checked;      // subtypes given to CheckMediaType, in order
    ALLOCATOR_PROPERTIES request{}; // as ChooseBufferSize saw it
    IMemAllocator* sizedAllocator = nullptr;
    std::vector<std::pair<std::string, DWORD>> hooks; // hook name and thread id
    int filled = 0, freeSampleFailures = 0;

    using CSourceStream::GetMediaType;
    static BYTE Pattern(int sample, size_t offset) { return static_cast<BYTE>((sample * 7 + offset) & 0xFF); }

    HRESULT CheckMediaType(const CMediaType* type) override {
        Update([&] { checked.push_back(type->subtype); });
        return std::count(types.begin(), types.end(), *type) ? S_OK : checkFailure;
    }
    HRESULT GetMediaType(int at, CMediaType* type) override {
        return at < 0 ? E_INVALIDARG : size_t(at) < types.size() ? type->Set(types[size_t(at)]) : VFW_S_NO_MORE_ITEMS;
    }
    HRESULT ChooseBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* props) override {
        Update([&] { request = *props, sizedAllocator = allocator; });
        ALLOCATOR_PROPERTIES wanted{2, bufferSize, props->cbAlign, props->cbPrefix}, actual{};
        const HRESULT hr = allocator->SetProperties(&wanted, &actual);
        return FAILED(hr) ? hr : actual.cbBuffer < bufferSize ? E_FAIL : S_OK;
    }
    HRESULT GetFreeSample(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* stop, DWORD flags) override {
        const HRESULT hr = CSourceStream::GetFreeSample(sample, start, stop, flags);
        if (FAILED(hr))
            Update([&] { ++freeSampleFailures; });
        return hr;
    }
    HRESULT FillBuffer(IMediaSample* sample) override {
        int n = 0;
        Update([&] { n = filled++; });
        Throw("FillBuffer");
        if (waitInFill)
            WaitForStreamCommand(INFINITE);
        if (n == endAfter)
            return endCode;
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        for (long i = 0; i < sample->GetSize(); ++i)
            data[i] = Pattern(n, static_cast<size_t>(i));
        sample->SetActualDataLength(sample->GetSize());
        REFERENCE_TIME start = n * 10, stop = n * 10 + 10;
        return sample->SetTime(&start, &stop), S_OK;
    }
    HRESULT Deactivate() override {
        if (onDeactivate)
            onDeactivate();
        return CSourceStream::Deactivate();
    }
    HRESULT OnThreadCreate() override { return Record("OnThreadCreate"), createResult; }
    HRESULT OnThreadDestroy() override { return Record("OnThreadDestroy"), S_OK; }
    HRESULT OnThreadStartPlay() override { return Record("OnThreadStartPlay"), S_OK; }

private:
    void Record(const char* hook) {
        Update([&] { hooks.emplace_back(hook, GetCurrentThreadId()); });
        Throw(hook);
    }
    void Throw(const char* hook) {
        if (throwIn && std::string_view(throwIn) == hook)
            throw std::bad_alloc();
    }
};

class TestSource : public CSource {
public:
    TestSource() : CSource(L"test source", nullptr, GUID{0xb0d1a7e2, 0x3c4f, 0x4a5b, {0x9c, 0x6d, 0x7e, 0x8f}}) {}
    // A new filter with one stream and one reference, owned by the caller.
    static ComPtr<IBaseFilter> Create(TestSource** source = nullptr, TestStream** stream = nullptr) {
        auto* filter = new TestSource;
        ComPtr<IBaseFilter> result(static_cast<IBaseFilter*>(filter)); // first AddRef
        HRESULT hr = S_OK;
        auto* first = new TestStream(&hr, filter);
        (source ? *source : filter) = filter, (stream ? *stream : first) = first;
        return result;
    }
    LONG RefCount() const { return mRefCount.load(); }
};

struct ReceivedSample {
    std::vector<BYTE> bytes; // empty when the sink keeps a digest instead
    REFERENCE_TIME start = 0, stop = 0;
    long length = 0;
    std::uint64_t digest = 0;
    std::chrono::steady_clock::time_point arrived;
};

// Sink filter whose one input pin "In" is the same object: filter, pin and memory input pin.
class TestSink final : public IBaseFilter, public IPin, public IMemInputPin, public Records {
public:
    using Check = std::function<HRESULT(const AM_MEDIA_TYPE&)>;
    static ComPtr<IBaseFilter> Create(TestSink** sink) { return ComPtr<IBaseFilter>(*sink = new TestSink); }

    // Configuration, then what it recorded.
    std::vector<CMediaType> offered;                        // from EnumMediaTypes
    Check accept, queryAccept;                              // ReceiveConnection's and QueryAccept's; null accepts
    std::optional<ALLOCATOR_PROPERTIES> requirements;       // none: E_NOTIMPL
    ComPtr<IMemAllocator> ownAllocator;                     // null: VFW_E_NO_ALLOCATOR
    std::function<std::uint64_t(const BYTE*, long)> digest; // set: samples keep this, not their bytes
    int refuseFrom = -1;                                    // Receive answers S_FALSE from this sample on
    std::function<void()> onReceive;                        // called on the delivering thread first

    std::vector<CMediaType> receivedTypes;
    std::vector<ReceivedSample> samples;
    int endOfStreams = 0, receiveCalls = 0;
    ComPtr<IMemAllocator> notified;

    IPin* Pin() { return this; }
    bool Connected() const { return mConnected != nullptr; }

    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override {
        const bool filter = riid == IID_IUnknown || riid == IID_IPersist || riid == IID_IMediaFilter || riid == IID_IBaseFilter;
        *ppv = riid == IID_IPin           ? static_cast<void*>(static_cast<IPin*>(this))
               : riid == IID_IMemInputPin ? static_cast<void*>(static_cast<IMemInputPin*>(this))
               : filter                   ? static_cast<void*>(static_cast<IBaseFilter*>(this))
                                          : nullptr;
        return *ppv ? (AddRef(), S_OK) : E_NOINTERFACE;
    }
    STDMETHOD_(ULONG, AddRef)() override { return static_cast<ULONG>(++mRef); }
    STDMETHOD_(ULONG, Release)() override { const ULONG n = --mRef; return n ? n : (delete this, 0u); }
    STDMETHOD(GetClassID)(CLSID*) override { return E_NOTIMPL; }
    STDMETHOD(Stop)() override { return mState = State_Stopped, S_OK; }
    STDMETHOD(Pause)() override { return mState = State_Paused, S_OK; }
    STDMETHOD(Run)(REFERENCE_TIME) override { return mState = State_Running, S_OK; }
    STDMETHOD(GetState)(DWORD, FILTER_STATE* state) override { return *state = mState, S_OK; }
    STDMETHOD(SetSyncSource)(IReferenceClock*) override { return S_OK; }
    STDMETHOD(GetSyncSource)(IReferenceClock** clock) override { return *clock = nullptr, S_OK; }
    STDMETHOD(EnumPins)(IEnumPins** pins) override {
        *pins = new Enum<IEnumPins, IPin*>(this, [this](size_t at, IPin** pin) { return at == 0 && (*pin = this, AddRef(), true); });
        return S_OK;
    }
    STDMETHOD(FindPin)(LPCWSTR id, IPin** pin) override {
        *pin = nullptr;
        return wcscmp(id, L"In") != 0 ? VFW_E_NOT_FOUND : (*pin = this, AddRef(), S_OK);
    }
    STDMETHOD(QueryFilterInfo)(FILTER_INFO* info) override {
        *info = {L"sink", mGraph};
        return (mGraph ? mGraph->AddRef() : 0), S_OK;
    }
    STDMETHOD(JoinFilterGraph)(IFilterGraph* graph, LPCWSTR) override { return mGraph = graph, S_OK; }
    STDMETHOD(QueryVendorInfo)(LPWSTR*) override { return E_NOTIMPL; }

    STDMETHOD(Connect)(IPin*, const AM_MEDIA_TYPE*) override { return E_UNEXPECTED; }
    STDMETHOD(ReceiveConnection)(IPin* connector, const AM_MEDIA_TYPE* mt) override {
        if (mConnected)
            return VFW_E_ALREADY_CONNECTED;
        Update([&] { receivedTypes.emplace_back(*mt); });
        const HRESULT hr = accept ? accept(*mt) : S_OK;
        return hr != S_OK ? (FAILED(hr) ? hr : VFW_E_TYPE_NOT_ACCEPTED) : (mConnected = connector, mType.Set(*mt));
    }
    STDMETHOD(Disconnect)() override { return mConnected ? (mConnected.Reset(), S_OK) : S_FALSE; }
    STDMETHOD(ConnectedTo)(IPin** pin) override {
        return mConnected ? mConnected.CopyTo(pin) : (*pin = nullptr, VFW_E_NOT_CONNECTED);
    }
    STDMETHOD(ConnectionMediaType)(AM_MEDIA_TYPE* mt) override {
        return mConnected ? CopyMediaTypeInto(mt, mType) : VFW_E_NOT_CONNECTED;
    }
    STDMETHOD(QueryPinInfo)(PIN_INFO* info) override { return *info = {this, PINDIR_INPUT, L"In"}, AddRef(), S_OK; }
    STDMETHOD(QueryDirection)(PIN_DIRECTION* dir) override { return *dir = PINDIR_INPUT, S_OK; }
    STDMETHOD(QueryId)(LPWSTR*) override { return E_NOTIMPL; }
    STDMETHOD(QueryAccept)(const AM_MEDIA_TYPE* mt) override { return queryAccept ? queryAccept(*mt) : S_OK; }
    STDMETHOD(EnumMediaTypes)(IEnumMediaTypes** types) override {
        *types = new Enum<IEnumMediaTypes, AM_MEDIA_TYPE*>(this, [this](size_t at, AM_MEDIA_TYPE** type) {
            return at < offered.size() && (*type = CloneMediaType(offered[at])) != nullptr;
        });
        return S_OK;
    }
    STDMETHOD(QueryInternalConnections)(IPin**, ULONG*) override { return E_NOTIMPL; }
    STDMETHOD(EndOfStream)() override { return Update([&] { ++endOfStreams; }), S_OK; }
    STDMETHOD(BeginFlush)() override { return S_OK; }
    STDMETHOD(EndFlush)() override { return S_OK; }
    STDMETHOD(NewSegment)(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }

    STDMETHOD(GetAllocator)(IMemAllocator** allocator) override {
        return ownAllocator ? ownAllocator.CopyTo(allocator) : (*allocator = nullptr, VFW_E_NO_ALLOCATOR);
    }
    STDMETHOD(NotifyAllocator)(IMemAllocator* allocator, BOOL) override { return Update([&] { notified = allocator; }), S_OK; }
    STDMETHOD(GetAllocatorRequirements)(ALLOCATOR_PROPERTIES* props) override {
        return requirements ? (*props = *requirements, S_OK) : E_NOTIMPL;
    }
    STDMETHOD(Receive)(IMediaSample* sample) override {
        if (onReceive)
            onReceive();
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        ReceivedSample got{{}, 0, 0, sample->GetActualDataLength(), 0, std::chrono::steady_clock::now()};
        if (digest)
            got.digest = digest(data, got.length);
        else
            got.bytes.assign(data, data + got.length);
        sample->GetTime(&got.start, &got.stop);
        bool refused = false;
        Update([&] {
            if (!(refused = refuseFrom >= 0 && receiveCalls >= refuseFrom))
                samples.push_back(std::move(got));
            ++receiveCalls;
        });
        return refused ? S_FALSE : S_OK;
    }
    STDMETHOD(ReceiveMultiple)(IMediaSample**, long, long*) override { return E_NOTIMPL; }
    STDMETHOD(ReceiveCanBlock)() override { return S_FALSE; }

private:
    TestSink() = default;
    ~TestSink() = default;

    // Hands out what fetch(position, item) gives until it answers false; holds the sink.
    template <class Interface, class Item> class Enum final : public Interface {
    public:
        Enum(TestSink* sink, std::function<bool(size_t, Item*)> fetch) : mSink(sink), mFetch(std::move(fetch)) {}
        STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override {
            const bool known = riid == IID_IUnknown || riid == __uuidof(Interface);
            return known ? (*ppv = this, AddRef(), S_OK) : (*ppv = nullptr, E_NOINTERFACE);
        }
        STDMETHOD_(ULONG, AddRef)() override { return static_cast<ULONG>(++mRef); }
        STDMETHOD_(ULONG, Release)() override { const ULONG n = --mRef; return n ? n : (delete this, 0u); }
        STDMETHOD(Next)(ULONG count, Item* items, ULONG* fetched) override {
            ULONG got = 0;
            while (got < count && mFetch(mPosition, &items[got]))
                ++got, ++mPosition;
            if (fetched)
                *fetched = got;
            return got == count ? S_OK : S_FALSE;
        }
        STDMETHOD(Skip)(ULONG) override { return E_NOTIMPL; }
        STDMETHOD(Reset)() override { return mPosition = 0, S_OK; }
        STDMETHOD(Clone)(Interface**) override { return E_NOTIMPL; }

    private:
        ~Enum() = default;
        ComPtr<IBaseFilter> mSink; // held while the enumerator lives
        std::function<bool(size_t, Item*)> mFetch;
        size_t mPosition = 0;
        std::atomic<LONG> mRef{1};
    };

    std::atomic<LONG> mRef{0};
    FILTER_STATE mState = State_Stopped;
    IFilterGraph* mGraph = nullptr;
    ComPtr<IPin> mConnected;
    CMediaType mType;
};

// COM for the calling thread, in the multithreaded apartment like the host threads we serve.
struct ComScope {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ~ComScope() { SUCCEEDED(hr) ? CoUninitialize() : void(); }
};

} // namespace FrameworkTest
