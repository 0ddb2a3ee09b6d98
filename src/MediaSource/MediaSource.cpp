#include "MediaSource/MediaSource.h"

#include "AppSettings/AppSettings.h"
#include "CameraCore/CameraCore.h"
#include "MediaSource/PlatformExtras.h"
#include "runtime/Handles.h"
#include "webcam/PixelConversion.h"

#include <devicetopology.h>
#include <mfapi.h>
#include <mferror.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

using Microsoft::WRL::ComPtr;

namespace Zarvo::MediaFoundation {
namespace {

// The platform's camera service loads the source in session 0, where no user's app runs; any other
// host is an app of the user's own session.
CameraCore::AppSession AppSessionOfThisProcess() {
    DWORD session = 0;
    return ProcessIdToSessionId(GetCurrentProcessId(), &session) && session == 0 ? CameraCore::AppSession::Console
                                                                                   : CameraCore::AppSession::Own;
}

std::atomic<long> gLiveObjects{0};

constexpr std::int64_t kDefaultInterval = 333666; // 29.97 frames per second
constexpr DWORD kPooledSamples = 8;               // samples a host may hold before new ones are made
constexpr UINT32 kOfferedRate[] = {30000, 1001};

const HRESULT kSetNotFound = HRESULT_FROM_WIN32(ERROR_SET_NOT_FOUND);

// The size the app renders: the settings' output resolution of the user running the host.
FrameSize AppSize() {
    const auto resolution = Network::Webcam::WebcamSettings::ForCurrentUser().GetOutputResolution();
    return {static_cast<std::uint32_t>(resolution.width), static_cast<std::uint32_t>(resolution.height)};
}

std::uint64_t FrameBytes(const StreamFormat& format) {
    return format.subtype == MFVideoFormat_YUY2 ? yuy2_frame_bytes(format.width, format.height)
                                               : nv12_frame_bytes(format.width, format.height);
}

HRESULT MakeMediaType(FrameSize size, const GUID& subtype, ComPtr<IMFMediaType>& type) {
    const bool yuy2 = subtype == MFVideoFormat_YUY2;
    const auto bytes = yuy2 ? yuy2_frame_bytes(size.width, size.height) : nv12_frame_bytes(size.width, size.height);
    HRESULT hr = MFCreateMediaType(&type);
    const auto step = [&hr](HRESULT next) { hr = SUCCEEDED(hr) ? next : hr; };
    if (FAILED(hr))
        return hr;
    step(type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video));
    step(type->SetGUID(MF_MT_SUBTYPE, subtype));
    step(MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, size.width, size.height));
    step(MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, kOfferedRate[0], kOfferedRate[1]));
    step(MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE_RANGE_MIN, 10, 1));
    step(MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE_RANGE_MAX, 60, 1));
    step(MFSetAttributeRatio(type.Get(), MF_MT_PIXEL_ASPECT_RATIO, 1, 1));
    step(type->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive));
    step(type->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, TRUE));
    step(type->SetUINT32(MF_MT_FIXED_SIZE_SAMPLES, TRUE));
    step(type->SetUINT32(MF_MT_SAMPLE_SIZE, static_cast<UINT32>(bytes)));
    step(type->SetUINT32(MF_MT_DEFAULT_STRIDE, yuy2 ? size.width * 2 : size.width));
    return hr;
}

// What a media type asks the core for; false for a type that is not one of ours.
bool FormatOf(IMFMediaType* type, FrameSize app, StreamFormat& format) {
    GUID subtype{};
    UINT32 width = 0, height = 0, numerator = 0, denominator = 0;
    if (!type || FAILED(type->GetGUID(MF_MT_SUBTYPE, &subtype)) ||
        FAILED(MFGetAttributeSize(type, MF_MT_FRAME_SIZE, &width, &height)))
        return false;
    if (subtype != MFVideoFormat_NV12 && subtype != MFVideoFormat_YUY2)
        return false;
    // The subtypes of both hosts are the same values.
    format = {width, height, subtype, kDefaultInterval, app.width, app.height};
    // A rate within the range the types state; anything else keeps the offered one.
    if (SUCCEEDED(MFGetAttributeRatio(type, MF_MT_FRAME_RATE, &numerator, &denominator)) && numerator && denominator &&
        std::uint64_t{numerator} >= 10ull * denominator && std::uint64_t{numerator} <= 60ull * denominator)
        format.interval = static_cast<std::int64_t>(10'000'000ull * denominator / numerator);
    return true;
}

// The same run of the core: a host's new type (or rate) needs a new one.
bool SameFormat(const StreamFormat& a, const StreamFormat& b) {
    return a.width == b.width && a.height == b.height && a.subtype == b.subtype && a.interval == b.interval;
}

// The code for the exception being handled: nothing may unwind into the host.
HRESULT CurrentExceptionCode() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const std::system_error& error) {
        return error.code().category() == std::system_category() && error.code().value()
                   ? HRESULT_FROM_WIN32(static_cast<unsigned long>(error.code().value()))
                   : E_UNEXPECTED;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// One reference count and the module's count of live objects, for the classes below.
class RefCounted {
protected:
    RefCounted() noexcept { ++gLiveObjects; }
    ~RefCounted() { --gLiveObjects; }
    std::atomic<ULONG> mRefs{1};
};

class MediaSource;

// Takes over the reference a new object starts with. (MinGW's ComPtr::Attach adds one of its own, and
// its move assignment copies: neither is used here.)
template <typename T> ComPtr<T> Adopt(T* object) {
    ComPtr<T> pointer;
    *pointer.GetAddressOf() = object;
    return pointer;
}

// The event generator of `Interface`: the calls go to the object's event queue outside its lock
// (GetEvent blocks until an event comes), MF_E_SHUTDOWN once it has none.
template <typename Interface> class EventGenerator : public Interface {
public:
    HRESULT STDMETHODCALLTYPE GetEvent(DWORD flags, IMFMediaEvent** event) override {
        const auto events = Events();
        return events ? events->GetEvent(flags, event) : MF_E_SHUTDOWN;
    }
    HRESULT STDMETHODCALLTYPE BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override {
        const auto events = Events();
        return events ? events->BeginGetEvent(callback, state) : MF_E_SHUTDOWN;
    }
    HRESULT STDMETHODCALLTYPE EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override {
        const auto events = Events();
        return events ? events->EndGetEvent(result, event) : MF_E_SHUTDOWN;
    }
    HRESULT STDMETHODCALLTYPE QueueEvent(MediaEventType type, REFGUID extended, HRESULT status,
                                         const PROPVARIANT* value) override {
        const auto events = Events();
        return events ? events->QueueEventParamVar(type, extended, status, value) : MF_E_SHUTDOWN;
    }

protected:
    // The queue, null after Shutdown.
    virtual ComPtr<IMFMediaEventQueue> Events() = 0;
};

// ---------------------------------------------------------------------------------------------
// The stream: delivers a sample per request from a worker thread of its own, which runs the core
// (the core's Fill waits for the sample's slot, so it cannot run on the host's thread).

class MediaStream final : public EventGenerator<IMediaStream2>, RefCounted {
public:
    MediaStream(MediaSource* source, ComPtr<IMFStreamDescriptor> descriptor, ComPtr<IMFMediaEventQueue> events,
                FrameSize app);

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return ++mRefs; }
    ULONG STDMETHODCALLTYPE Release() override;
    // IMFMediaStream
    HRESULT STDMETHODCALLTYPE GetMediaSource(IMFMediaSource** source) override;
    HRESULT STDMETHODCALLTYPE GetStreamDescriptor(IMFStreamDescriptor** descriptor) override;
    HRESULT STDMETHODCALLTYPE RequestSample(IUnknown* token) override;
    // IMFMediaStream2
    HRESULT STDMETHODCALLTYPE SetStreamState(MF_STREAM_STATE value) override;
    HRESULT STDMETHODCALLTYPE GetStreamState(MF_STREAM_STATE* value) override;

    // From the source, under its lock. Start begins delivery in the current type (or goes on with it),
    // and says so with MEStreamStarted; Stop ends it, MEStreamStopped when `announce`.
    HRESULT Start();
    void Stop(bool announce);
    // What Start would refuse the current type with, S_OK for an offered one.
    HRESULT CheckCurrentType() const {
        std::lock_guard lock(mLock);
        StreamFormat format;
        ComPtr<IMFMediaType> type;
        return mShutdown ? MF_E_SHUTDOWN : CurrentType(format, type);
    }
    void Shutdown();

private:
    ~MediaStream() { Shutdown(); }
    HRESULT CheckShutdown() const { return mShutdown ? MF_E_SHUTDOWN : S_OK; }
    ComPtr<IMFMediaEventQueue> Events() override;
    // The current type of the stream's descriptor, refused unless it is one of the offered ones.
    HRESULT CurrentType(StreamFormat& format, ComPtr<IMFMediaType>& type) const;
    // Ends a worker's run and waits for it; the requests stay queued.
    void EndWorker(std::thread worker) noexcept;
    void Deliver(StreamFormat format, ComPtr<IMFMediaType> type) noexcept;
    void Run(CameraCore& core, StreamFormat format, IMFVideoSampleAllocatorEx* allocator);
    void StartCore(CameraCore& core, const StreamFormat& format);
    // The handler's current type when a host set another offered one since `running` without
    // starting again (Wine's source reader does); false while it is the running one or not offered.
    bool TypeChanged(const StreamFormat& running, StreamFormat& format, ComPtr<IMFMediaType>& type) const;
    HRESULT MakeSample(CameraCore& core, const StreamFormat& format, IMFVideoSampleAllocatorEx* allocator, IUnknown* token,
                       std::vector<std::uint8_t>& scratch, ComPtr<IMFSample>& sample);

    const FrameSize mApp;
    // Start, Stop and Shutdown one at a time (the source's and the host's SetStreamState).
    std::mutex mControl;
    // The state below; never held while waiting for the worker.
    mutable std::mutex mLock;
    // No reference: a host may release the source without Shutdown, and the source's own references
    // to the stream would keep both alive for good. Cleared under mLock before the source goes.
    MediaSource* mSource = nullptr;
    ComPtr<IMFStreamDescriptor> mDescriptor;
    ComPtr<IMFMediaEventQueue> mEvents;
    MF_STREAM_STATE mState = MF_STREAM_STATE_STOPPED;
    bool mShutdown = false;
    std::deque<ComPtr<IUnknown>> mRequests; // tokens, null where the host gave none
    // Set once per request, reset by the worker's wake, which then takes every request waiting.
    UniqueEvent mRequested{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    UniqueEvent mStopping{CreateEventW(nullptr, TRUE, FALSE, nullptr)}; // the worker is to end
    std::atomic<bool> mStopRequested{false}; // mStopping as the worker reads it between samples
    std::unique_ptr<CameraCore> mCore; // the worker's; Interrupt from any thread once its Start returned
    // Held by the worker while the core starts: Start replaces what Interrupt cancels, and the two
    // must not overlap. A stop that waits here finds the worker's wait on mStopping set after it.
    std::mutex mCoreStarting;
    std::thread mWorker;
    StreamFormat mRunning;                 // the worker's format
    std::atomic<bool> mWorkerEnded{false}; // the worker gave up (an error went to the host)
};

// ---------------------------------------------------------------------------------------------
// The source

class MediaSource final : public EventGenerator<IMFMediaSourceEx>, public IMFGetService, public IKsControl, RefCounted {
public:
    HRESULT Initialize();
    // A reference for the stream's GetMediaSource, unless the last one already went: the source is
    // then on its way out (its destructor waits for the stream's lock) and must not come back.
    bool AddRefUnlessReleased() noexcept {
        ULONG refs = mRefs.load();
        while (refs != 0 && !mRefs.compare_exchange_weak(refs, refs + 1)) {
        }
        return refs != 0;
    }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return ++mRefs; }
    ULONG STDMETHODCALLTYPE Release() override;
    // IMFMediaSource
    HRESULT STDMETHODCALLTYPE GetCharacteristics(DWORD* characteristics) override;
    HRESULT STDMETHODCALLTYPE CreatePresentationDescriptor(IMFPresentationDescriptor** descriptor) override;
    HRESULT STDMETHODCALLTYPE Start(IMFPresentationDescriptor* descriptor, const GUID* timeFormat,
                                    const PROPVARIANT* startPosition) override;
    HRESULT STDMETHODCALLTYPE Stop() override;
    HRESULT STDMETHODCALLTYPE Pause() override;
    HRESULT STDMETHODCALLTYPE Shutdown() override;
    // IMFMediaSourceEx
    HRESULT STDMETHODCALLTYPE GetSourceAttributes(IMFAttributes** attributes) override;
    HRESULT STDMETHODCALLTYPE GetStreamAttributes(DWORD streamId, IMFAttributes** attributes) override;
    HRESULT STDMETHODCALLTYPE SetD3DManager(IUnknown* manager) override;
    // IMFGetService
    HRESULT STDMETHODCALLTYPE GetService(REFGUID service, REFIID riid, void** ppv) override;
    // IKsControl: the camera has no properties, methods or events of its own.
    HRESULT STDMETHODCALLTYPE KsProperty(PKSPROPERTY, ULONG, void*, ULONG, ULONG*) override { return Unsupported(); }
    HRESULT STDMETHODCALLTYPE KsMethod(PKSMETHOD, ULONG, void*, ULONG, ULONG*) override { return Unsupported(); }
    HRESULT STDMETHODCALLTYPE KsEvent(PKSEVENT, ULONG, void*, ULONG, ULONG*) override { return Unsupported(); }

private:
    // Released without Shutdown (a host may leave it out): the stream's run ends as Shutdown ends it,
    // and the stream, which a host may hold longer, no longer leads back here.
    ~MediaSource() {
        if (mStream)
            mStream->Shutdown();
        if (mEvents)
            mEvents->Shutdown();
    }
    HRESULT CheckShutdown() const { return mShutdown ? MF_E_SHUTDOWN : S_OK; }
    HRESULT Unsupported() const {
        std::lock_guard lock(mLock);
        return mShutdown ? MF_E_SHUTDOWN : kSetNotFound;
    }
    ComPtr<IMFMediaEventQueue> Events() override;

    mutable std::mutex mLock;
    bool mShutdown = false;
    bool mStarted = false;
    bool mStreamAnnounced = false; // MENewStream went out: later starts update the stream
    ComPtr<IMFMediaEventQueue> mEvents;
    ComPtr<IMFPresentationDescriptor> mPresentation;
    ComPtr<IMFAttributes> mAttributes;
    ComPtr<IMFAttributes> mStreamAttributes;
    ComPtr<MediaStream> mStream;
};

// ---------------------------------------------------------------------------------------------
// MediaStream

MediaStream::MediaStream(MediaSource* source, ComPtr<IMFStreamDescriptor> descriptor, ComPtr<IMFMediaEventQueue> events,
                         FrameSize app)
    : mApp(app), mSource(source), mDescriptor(std::move(descriptor)), mEvents(std::move(events)) {}

HRESULT MediaStream::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IMFMediaEventGenerator || riid == IID_IMFMediaStream ||
        riid == kIIDMediaStream2) {
        *ppv = static_cast<IMediaStream2*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG MediaStream::Release() {
    const ULONG refs = --mRefs;
    if (refs == 0)
        delete this;
    return refs;
}

ComPtr<IMFMediaEventQueue> MediaStream::Events() {
    std::lock_guard lock(mLock);
    return mShutdown ? nullptr : mEvents;
}


HRESULT MediaStream::GetMediaSource(IMFMediaSource** source) {
    if (!source)
        return E_POINTER;
    *source = nullptr;
    std::lock_guard lock(mLock);
    if (mShutdown || !mSource || !mSource->AddRefUnlessReleased())
        return MF_E_SHUTDOWN;
    *source = static_cast<IMFMediaSource*>(mSource);
    return S_OK;
}

HRESULT MediaStream::GetStreamDescriptor(IMFStreamDescriptor** descriptor) {
    if (!descriptor)
        return E_POINTER;
    std::lock_guard lock(mLock);
    if (mShutdown)
        return MF_E_SHUTDOWN;
    return mDescriptor.CopyTo(descriptor);
}

HRESULT MediaStream::RequestSample(IUnknown* token) {
    std::lock_guard lock(mLock);
    if (mShutdown)
        return MF_E_SHUTDOWN;
    if (mState != MF_STREAM_STATE_RUNNING)
        return MF_E_MEDIA_SOURCE_WRONGSTATE;
    try {
        mRequests.emplace_back(token);
    } catch (...) {
        return CurrentExceptionCode();
    }
    SetEvent(mRequested.get());
    return S_OK;
}

HRESULT MediaStream::SetStreamState(MF_STREAM_STATE value) {
    {
        std::lock_guard lock(mLock);
        if (mShutdown)
            return MF_E_SHUTDOWN;
        if (value == mState)
            return S_OK;
    }
    switch (value) {
    case MF_STREAM_STATE_RUNNING:
        return Start();
    case MF_STREAM_STATE_STOPPED:
        Stop(true);
        return S_OK;
    default:
        return MF_E_INVALID_STATE_TRANSITION; // a live camera does not pause
    }
}

HRESULT MediaStream::GetStreamState(MF_STREAM_STATE* value) {
    if (!value)
        return E_POINTER;
    std::lock_guard lock(mLock);
    if (mShutdown)
        return MF_E_SHUTDOWN;
    *value = mState;
    return S_OK;
}

HRESULT MediaStream::CurrentType(StreamFormat& format, ComPtr<IMFMediaType>& type) const {
    ComPtr<IMFMediaTypeHandler> handler;
    DWORD count = 0;
    HRESULT hr = mDescriptor->GetMediaTypeHandler(&handler);
    if (SUCCEEDED(hr))
        hr = handler->GetCurrentMediaType(&type);
    if (SUCCEEDED(hr))
        hr = handler->GetMediaTypeCount(&count);
    if (FAILED(hr))
        return hr;
    if (!FormatOf(type.Get(), mApp, format))
        return MF_E_INVALIDMEDIATYPE;
    // The handler keeps whatever type a host sets: only the offered subtypes and sizes are made.
    for (DWORD i = 0; i < count; ++i) {
        ComPtr<IMFMediaType> offered;
        StreamFormat candidate;
        if (SUCCEEDED(handler->GetMediaTypeByIndex(i, &offered)) && FormatOf(offered.Get(), mApp, candidate) &&
            candidate.width == format.width && candidate.height == format.height && candidate.subtype == format.subtype)
            return S_OK;
    }
    return MF_E_INVALIDMEDIATYPE;
}

HRESULT MediaStream::Start() {
    std::lock_guard control(mControl);
    try {
        StreamFormat format;
        ComPtr<IMFMediaType> type;
        std::thread previous;
        {
            std::lock_guard lock(mLock);
            if (mShutdown)
                return MF_E_SHUTDOWN;
            if (const HRESULT hr = CurrentType(format, type); FAILED(hr))
                return hr;
            // A host may set another type and start again without stopping (Wine's source reader
            // does): the run in the old type ends first, as a stop would end it.
            if (mWorker.joinable() && (!SameFormat(format, mRunning) || mWorkerEnded))
                previous = std::move(mWorker);
        }
        EndWorker(std::move(previous));
        std::lock_guard lock(mLock);
        if (mShutdown)
            return MF_E_SHUTDOWN;
        if (!mWorker.joinable()) {
            auto core = std::make_unique<CameraCore>(AppSessionOfThisProcess());
            ResetEvent(mStopping.get());
            mStopRequested = false;
            mWorkerEnded = false;
            mCore = std::move(core);
            mRunning = format;
            mWorker = std::thread([this, format, type] { Deliver(format, type); });
        }
        mState = MF_STREAM_STATE_RUNNING;
    } catch (...) {
        const HRESULT hr = CurrentExceptionCode();
        std::lock_guard lock(mLock);
        if (!mWorker.joinable())
            mState = MF_STREAM_STATE_STOPPED; // the run in the old type may have ended
        return hr;
    }
    const HRESULT started = mEvents->QueueEventParamVar(MEStreamStarted, GUID_NULL, S_OK, nullptr);
    // Requests the run this Start ended left queued (one it was filling goes back to the front) wake
    // the new worker, after the stream has said it started: no new request may come to do it.
    std::lock_guard lock(mLock);
    if (!mRequests.empty())
        SetEvent(mRequested.get());
    return started;
}

void MediaStream::EndWorker(std::thread worker) noexcept {
    if (!worker.joinable())
        return;
    mStopRequested = true;
    SetEvent(mStopping.get());
    {
        std::lock_guard starting(mCoreStarting);
        mCore->Interrupt();
    }
    worker.join();
    mCore.reset();
}

void MediaStream::Stop(bool announce) {
    std::lock_guard control(mControl);
    std::thread worker;
    {
        std::lock_guard lock(mLock);
        const bool wasRunning = mState == MF_STREAM_STATE_RUNNING;
        mState = MF_STREAM_STATE_STOPPED;
        worker = std::move(mWorker);
        announce = announce && wasRunning && !mShutdown;
    }
    EndWorker(std::move(worker));
    {
        std::lock_guard lock(mLock);
        mRequests.clear(); // a stopped stream drops what was asked of it
        ResetEvent(mRequested.get());
    }
    if (announce)
        mEvents->QueueEventParamVar(MEStreamStopped, GUID_NULL, S_OK, nullptr);
}

void MediaStream::Shutdown() {
    {
        // First: from here on every call answers MF_E_SHUTDOWN, also while the worker ends.
        std::lock_guard lock(mLock);
        if (mShutdown)
            return;
        mShutdown = true;
        mSource = nullptr;
    }
    Stop(false);
    std::lock_guard lock(mLock);
    if (mEvents)
        mEvents->Shutdown();
    mDescriptor.Reset();
}

// The worker: one sample per request, each filled by the core at its slot. Nothing unwinds out of
// the thread (that would end the host's process): a failure goes to the host as MEError and ends
// the run.
void MediaStream::Deliver(StreamFormat format, ComPtr<IMFMediaType> type) noexcept {
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    // The platform's samples, used again once the host lets go of them: a new frame buffer per sample
    // costs its pages afresh each time (over 3 MB at 1920 x 1080).
    ComPtr<IMFVideoSampleAllocatorEx> allocator;
    if (FAILED(MFCreateVideoSampleAllocatorEx(IID_PPV_ARGS(&allocator))) ||
        FAILED(allocator->InitializeSampleAllocatorEx(2, kPooledSamples, nullptr, type.Get())))
        allocator.Reset();
    CameraCore& core = *mCore;
    HRESULT failure = S_OK;
    try {
        Run(core, format, allocator.Get());
    } catch (...) {
        failure = CurrentExceptionCode();
    }
    try {
        core.Stop();
    } catch (...) {
        failure = FAILED(failure) ? failure : CurrentExceptionCode();
    }
    if (FAILED(failure)) {
        mWorkerEnded = true;
        std::lock_guard lock(mLock);
        if (!mShutdown && !mStopRequested && mState == MF_STREAM_STATE_RUNNING)
            mEvents->QueueEventParamVar(MEError, GUID_NULL, failure, nullptr);
    }
    if (allocator)
        allocator->UninitializeSampleAllocator();
    allocator.Reset();
    if (SUCCEEDED(com))
        CoUninitialize();
}

bool MediaStream::TypeChanged(const StreamFormat& running, StreamFormat& format,
                              ComPtr<IMFMediaType>& type) const {
    std::lock_guard lock(mLock);
    ComPtr<IMFMediaTypeHandler> handler;
    ComPtr<IMFMediaType> current;
    // The common case first, without going through the offered types: still the running one.
    if (mShutdown || FAILED(mDescriptor->GetMediaTypeHandler(&handler)) ||
        FAILED(handler->GetCurrentMediaType(&current)) || !FormatOf(current.Get(), mApp, format) ||
        SameFormat(format, running))
        return false;
    return SUCCEEDED(CurrentType(format, type));
}

void MediaStream::StartCore(CameraCore& core, const StreamFormat& format) {
    std::lock_guard starting(mCoreStarting);
    core.Start(format, [this](DWORD milliseconds, const HANDLE* objects, DWORD count) {
        HANDLE all[MAXIMUM_WAIT_OBJECTS] = {mStopping.get()};
        count = std::min<DWORD>(count, MAXIMUM_WAIT_OBJECTS - 1);
        std::copy(objects, objects + count, all + 1);
        const DWORD woken = WaitForMultipleObjects(count + 1, all, FALSE, milliseconds);
        if (woken == WAIT_OBJECT_0)
            return CameraCore::WaitResult::Command;
        return woken > WAIT_OBJECT_0 && woken <= WAIT_OBJECT_0 + count ? CameraCore::WaitResult::Woken
                                                                       : CameraCore::WaitResult::TimedOut;
    });
}

void MediaStream::Run(CameraCore& core, StreamFormat format, IMFVideoSampleAllocatorEx* allocator) {
    StartCore(core, format);
    std::vector<std::uint8_t> scratch;
    // mStopping first: a stop that came while the core started ends the run before any fill.
    const HANDLE wake[] = {mStopping.get(), mRequested.get()};
    while (WaitForMultipleObjects(2, wake, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        for (;;) {
            ComPtr<IUnknown> token;
            {
                std::lock_guard lock(mLock);
                if (mRequests.empty())
                    break;
                token.Swap(mRequests.front());
                mRequests.pop_front();
            }
            ComPtr<IMFSample> sample;
            HRESULT hr = E_UNEXPECTED;
            try {
                // A new type without a new start: the run goes on in it from this request on. A stop
                // meanwhile finds the core's waits ended by mStopping, as at the run's first start.
                StreamFormat changed;
                ComPtr<IMFMediaType> type;
                if (TypeChanged(format, changed, type)) {
                    core.Stop();
                    StartCore(core, changed);
                    format = changed;
                    {
                        std::lock_guard lock(mLock);
                        mRunning = format;
                    }
                    // The pool's samples are of the old size; without a pool each sample is made anew.
                    if (allocator && (FAILED(allocator->UninitializeSampleAllocator()) ||
                                      FAILED(allocator->InitializeSampleAllocatorEx(2, kPooledSamples,
                                                                                    nullptr, type.Get()))))
                        allocator->UninitializeSampleAllocator();
                }
                hr = MakeSample(core, format, allocator, token.Get(), scratch, sample);
            } catch (...) {
                // The request goes back for the next run (a stop drops it; a type change serves it).
                std::lock_guard lock(mLock);
                mRequests.push_front(std::move(token));
                throw;
            }
            std::lock_guard lock(mLock);
            if (mStopRequested) {
                // A stop came during the fill: a stop drops the request with the others, a type
                // change has it served in the new type.
                mRequests.push_front(std::move(token));
                break;
            }
            if (mShutdown || mState != MF_STREAM_STATE_RUNNING)
                continue;
            if (SUCCEEDED(hr))
                mEvents->QueueEventParamUnk(MEMediaSample, GUID_NULL, S_OK, sample.Get());
            else
                mEvents->QueueEventParamVar(MEError, GUID_NULL, hr, nullptr);
        }
        if (mStopRequested)
            break;
    }
}

HRESULT MediaStream::MakeSample(CameraCore& core, const StreamFormat& format, IMFVideoSampleAllocatorEx* allocator,
                                IUnknown* token, std::vector<std::uint8_t>& scratch, ComPtr<IMFSample>& sample) {
    const bool yuy2 = format.subtype == MFVideoFormat_YUY2;
    const std::uint64_t bytes = FrameBytes(format);
    const LONG packedPitch = static_cast<LONG>(yuy2 ? format.width * 2 : format.width);
    ComPtr<IMFMediaBuffer> buffer;
    // A pooled sample comes back with the attributes of its last use; a new one while the host holds
    // them all.
    HRESULT hr = allocator ? allocator->AllocateSample(&sample) : E_FAIL;
    if (SUCCEEDED(hr))
        hr = sample->DeleteAllItems();
    if (SUCCEEDED(hr))
        hr = sample->GetBufferByIndex(0, &buffer);
    if (FAILED(hr)) {
        sample.Reset();
        buffer.Reset();
        hr = MFCreate2DMediaBuffer(format.width, format.height, format.subtype.Data1, FALSE, &buffer);
        if (SUCCEEDED(hr))
            hr = MFCreateSample(&sample);
        if (SUCCEEDED(hr))
            hr = sample->AddBuffer(buffer.Get());
    }
    ComPtr<IMF2DBuffer> planes;
    if (SUCCEEDED(hr))
        hr = buffer.As(&planes);
    BYTE* scan0 = nullptr;
    LONG pitch = 0;
    if (SUCCEEDED(hr))
        hr = planes->Lock2D(&scan0, &pitch);
    if (FAILED(hr))
        return hr;
    DWORD contiguous = 0;
    std::uint64_t written = 0;
    if (pitch == packedPitch && SUCCEEDED(planes->GetContiguousLength(&contiguous)) && contiguous == bytes) {
        written = core.Fill(scan0, bytes); // the buffer is the packed frame: fill it in place
        planes->Unlock2D();
    } else {
        planes->Unlock2D();
        scratch.resize(bytes);
        written = core.Fill(scratch.data(), bytes);
        if (written == bytes)
            hr = planes->ContiguousCopyFrom(scratch.data(), static_cast<DWORD>(bytes));
    }
    const MFTIME filled = MFGetSystemTime();
    if (SUCCEEDED(hr) && written != bytes)
        hr = E_FAIL; // nothing fitted, not even the placeholder
    if (SUCCEEDED(hr))
        hr = buffer->SetCurrentLength(static_cast<DWORD>(bytes));
    if (SUCCEEDED(hr))
        hr = sample->SetSampleTime(filled);
    if (SUCCEEDED(hr))
        hr = sample->SetSampleDuration(format.interval);
    if (SUCCEEDED(hr) && token)
        hr = sample->SetUnknown(MFSampleExtension_Token, token);
    return hr;
}

// ---------------------------------------------------------------------------------------------
// MediaSource

HRESULT MediaSource::Initialize() {
    const FrameSize app = AppSize();
    std::vector<ComPtr<IMFMediaType>> types;
    HRESULT hr = OfferedMediaTypes(app, types);
    std::vector<IMFMediaType*> list;
    for (const auto& type : types)
        list.push_back(type.Get());
    ComPtr<IMFStreamDescriptor> descriptor;
    ComPtr<IMFMediaTypeHandler> handler;
    ComPtr<IMFMediaEventQueue> streamEvents;
    const auto step = [&hr](HRESULT next) { hr = SUCCEEDED(hr) ? next : hr; };
    if (SUCCEEDED(hr))
        step(MFCreateStreamDescriptor(0, static_cast<DWORD>(list.size()), list.data(), &descriptor));
    if (SUCCEEDED(hr))
        step(descriptor->GetMediaTypeHandler(&handler));
    if (SUCCEEDED(hr))
        step(handler->SetCurrentMediaType(list.front()));
    step(MFCreateAttributes(&mStreamAttributes, 4));
    if (FAILED(hr))
        return hr;
    // What the camera service asks of a camera's stream: a colour capture stream it may share.
    for (IMFAttributes* attributes : {static_cast<IMFAttributes*>(descriptor.Get()), mStreamAttributes.Get()}) {
        step(attributes->SetGUID(kDeviceStreamCategory, kPinNameVideoCapture));
        step(attributes->SetUINT32(kDeviceStreamId, 0));
        step(attributes->SetUINT32(kDeviceStreamFrameSourceTypes, kFrameSourceTypeColor));
        step(attributes->SetUINT32(kDeviceStreamFrameServerShared, 1));
    }
    step(MFCreatePresentationDescriptor(1, descriptor.GetAddressOf(), &mPresentation));
    if (SUCCEEDED(hr))
        step(mPresentation->SelectStream(0));
    step(MFCreateAttributes(&mAttributes, 1));
    if (SUCCEEDED(hr))
        step(mAttributes->SetString(MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME, kCameraName));
    step(MFCreateEventQueue(&mEvents));
    step(MFCreateEventQueue(&streamEvents));
    if (FAILED(hr))
        return hr;
    mStream.Swap(Adopt(new (std::nothrow) MediaStream(this, descriptor, streamEvents, app)));
    return mStream ? S_OK : E_OUTOFMEMORY;
}

HRESULT MediaSource::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IMFMediaEventGenerator || riid == IID_IMFMediaSource ||
        riid == IID_IMFMediaSourceEx)
        *ppv = static_cast<IMFMediaSourceEx*>(this);
    else if (riid == IID_IMFGetService)
        *ppv = static_cast<IMFGetService*>(this);
    else if (riid == __uuidof(IKsControl))
        *ppv = static_cast<IKsControl*>(this);
    else {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG MediaSource::Release() {
    const ULONG refs = --mRefs;
    if (refs == 0)
        delete this;
    return refs;
}

ComPtr<IMFMediaEventQueue> MediaSource::Events() {
    std::lock_guard lock(mLock);
    return mShutdown ? nullptr : mEvents;
}


HRESULT MediaSource::GetCharacteristics(DWORD* characteristics) {
    if (!characteristics)
        return E_POINTER;
    std::lock_guard lock(mLock);
    if (mShutdown)
        return MF_E_SHUTDOWN;
    *characteristics = MFMEDIASOURCE_IS_LIVE;
    return S_OK;
}

HRESULT MediaSource::CreatePresentationDescriptor(IMFPresentationDescriptor** descriptor) {
    if (!descriptor)
        return E_POINTER;
    std::lock_guard lock(mLock);
    if (mShutdown)
        return MF_E_SHUTDOWN;
    return mPresentation->Clone(descriptor);
}

HRESULT MediaSource::Start(IMFPresentationDescriptor* descriptor, const GUID* timeFormat,
                           const PROPVARIANT* startPosition) {
    if (!descriptor)
        return E_INVALIDARG;
    if (timeFormat && *timeFormat != GUID_NULL)
        return MF_E_UNSUPPORTED_TIME_FORMAT;
    if (startPosition && startPosition->vt != VT_EMPTY && startPosition->vt != VT_I8)
        return MF_E_UNSUPPORTED_TIME_FORMAT;
    std::lock_guard lock(mLock);
    if (mShutdown)
        return MF_E_SHUTDOWN;
    DWORD count = 0;
    BOOL selected = FALSE;
    ComPtr<IMFStreamDescriptor> stream;
    HRESULT hr = descriptor->GetStreamDescriptorCount(&count);
    if (SUCCEEDED(hr) && count != 1)
        hr = E_INVALIDARG;
    if (SUCCEEDED(hr))
        hr = descriptor->GetStreamDescriptorByIndex(0, &selected, &stream);
    // The host's choice of type went into the stream's own descriptor (the one it reads types from):
    // refused before anything is announced.
    if (SUCCEEDED(hr) && selected)
        hr = mStream->CheckCurrentType();
    if (FAILED(hr))
        return hr;
    if (selected) {
        if (mStreamAnnounced)
            hr = mEvents->QueueEventParamUnk(MEUpdatedStream, GUID_NULL, S_OK, static_cast<IMFMediaStream*>(mStream.Get()));
        else
            hr = mEvents->QueueEventParamUnk(MENewStream, GUID_NULL, S_OK, static_cast<IMFMediaStream*>(mStream.Get()));
        mStreamAnnounced = mStreamAnnounced || SUCCEEDED(hr);
    } else {
        mStream->Stop(true);
    }
    PROPVARIANT position{};
    position.vt = VT_I8; // a live source starts now whatever position was asked for
    if (SUCCEEDED(hr))
        hr = mEvents->QueueEventParamVar(MESourceStarted, GUID_NULL, S_OK, &position);
    if (SUCCEEDED(hr) && selected)
        hr = mStream->Start();
    mStarted = SUCCEEDED(hr);
    return hr;
}

HRESULT MediaSource::Stop() {
    std::lock_guard lock(mLock);
    if (mShutdown)
        return MF_E_SHUTDOWN;
    mStream->Stop(true);
    mStarted = false;
    return mEvents->QueueEventParamVar(MESourceStopped, GUID_NULL, S_OK, nullptr);
}

HRESULT MediaSource::Pause() {
    std::lock_guard lock(mLock);
    return mShutdown ? MF_E_SHUTDOWN : MF_E_INVALID_STATE_TRANSITION; // a live camera does not pause
}

HRESULT MediaSource::Shutdown() {
    ComPtr<MediaStream> stream;
    {
        std::lock_guard lock(mLock);
        if (mShutdown)
            return MF_E_SHUTDOWN;
        mShutdown = true;
        stream.Swap(mStream);
        if (mEvents)
            mEvents->Shutdown();
    }
    // Outside the lock: the stream's worker ends first.
    if (stream)
        stream->Shutdown();
    return S_OK;
}

HRESULT MediaSource::GetSourceAttributes(IMFAttributes** attributes) {
    if (!attributes)
        return E_POINTER;
    std::lock_guard lock(mLock);
    if (mShutdown)
        return MF_E_SHUTDOWN;
    return mAttributes.CopyTo(attributes);
}

HRESULT MediaSource::GetStreamAttributes(DWORD streamId, IMFAttributes** attributes) {
    if (!attributes)
        return E_POINTER;
    std::lock_guard lock(mLock);
    if (mShutdown)
        return MF_E_SHUTDOWN;
    if (streamId != 0)
        return MF_E_INVALIDSTREAMNUMBER;
    return mStreamAttributes.CopyTo(attributes);
}

HRESULT MediaSource::SetD3DManager(IUnknown*) {
    // Samples are in system memory; a host's device manager is not needed.
    std::lock_guard lock(mLock);
    return mShutdown ? MF_E_SHUTDOWN : S_OK;
}

HRESULT MediaSource::GetService(REFGUID, REFIID, void** ppv) {
    if (ppv)
        *ppv = nullptr;
    std::lock_guard lock(mLock);
    return mShutdown ? MF_E_SHUTDOWN : MF_E_UNSUPPORTED_SERVICE;
}

} // namespace

HRESULT CreateMediaSource(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    ComPtr<MediaSource> source = Adopt(new (std::nothrow) MediaSource());
    if (!source)
        return E_OUTOFMEMORY;
    HRESULT hr = E_UNEXPECTED;
    try {
        hr = source->Initialize();
    } catch (...) {
        hr = CurrentExceptionCode();
    }
    if (SUCCEEDED(hr))
        hr = source->QueryInterface(riid, ppv);
    if (FAILED(hr))
        source->Shutdown();
    return hr;
}

long LiveObjects() noexcept { return gLiveObjects.load(); }

HRESULT OfferedMediaTypes(FrameSize app, std::vector<ComPtr<IMFMediaType>>& types) {
    types.clear();
    for (const FrameSize size : OfferedSizes(app))
        for (const GUID* subtype : {&MFVideoFormat_NV12, &MFVideoFormat_YUY2}) {
            ComPtr<IMFMediaType> type;
            if (const HRESULT hr = MakeMediaType(size, *subtype, type); FAILED(hr))
                return hr;
            types.push_back(std::move(type));
        }
    return types.empty() ? E_UNEXPECTED : S_OK;
}

} // namespace Zarvo::MediaFoundation
