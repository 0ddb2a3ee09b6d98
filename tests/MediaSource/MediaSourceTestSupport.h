#pragma once
// What the media source's tests share: Media Foundation started, events taken with a time limit, and
// a watchdog for calls that could block for good.
#include "runtime/Handles.h"

#include <gtest/gtest.h>
#include <mfapi.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace Zarvo::Testing {

using Microsoft::WRL::ComPtr;

// Media Foundation for the test's lifetime.
struct MediaPlatform {
    MediaPlatform() { EXPECT_EQ(MFStartup(MF_VERSION, MFSTARTUP_FULL), S_OK); }
    ~MediaPlatform() { MFShutdown(); }
};

// The next event of a generator, or null when none comes within `milliseconds`.
class EventCallback final : public IMFAsyncCallback {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (riid != IID_IUnknown && riid != IID_IMFAsyncCallback)
            return *ppv = nullptr, E_NOINTERFACE;
        *ppv = static_cast<IMFAsyncCallback*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++mRefs; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG refs = --mRefs;
        if (!refs)
            delete this;
        return refs;
    }
    HRESULT STDMETHODCALLTYPE GetParameters(DWORD*, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(IMFAsyncResult* result) override {
        mGenerator->EndGetEvent(result, &mEvent);
        SetEvent(mDone.get());
        return S_OK;
    }
    static ComPtr<IMFMediaEvent> Next(IMFMediaEventGenerator* generator, DWORD milliseconds = 10000) {
        ComPtr<EventCallback> callback;
        *callback.GetAddressOf() = new EventCallback; // (MinGW's Attach would add a reference)
        callback->mGenerator = generator;
        if (FAILED(generator->BeginGetEvent(callback.Get(), nullptr)) ||
            WaitForSingleObject(callback->mDone.get(), milliseconds) != WAIT_OBJECT_0)
            return nullptr;
        return callback->mEvent;
    }

private:
    std::atomic<ULONG> mRefs{1};
    IMFMediaEventGenerator* mGenerator = nullptr;
    ComPtr<IMFMediaEvent> mEvent;
    UniqueEvent mDone{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

inline MediaEventType TypeOf(const ComPtr<IMFMediaEvent>& event) {
    MediaEventType type = MEUnknown;
    if (event)
        event->GetType(&type);
    return type;
}

// The types of the next events of a generator (as many as asked for), and the last event itself.
inline std::vector<MediaEventType> NextTypes(IMFMediaEventGenerator* generator, int count, ComPtr<IMFMediaEvent>* last = nullptr) {
    std::vector<MediaEventType> types;
    for (int i = 0; i < count; ++i) {
        auto event = EventCallback::Next(generator);
        types.push_back(TypeOf(event));
        if (last)
            *last = event;
    }
    return types;
}

// The object an event carries (the stream of MENewStream, the sample of MEMediaSample).
template <class Interface> ComPtr<Interface> ObjectOf(const ComPtr<IMFMediaEvent>& event) {
    PROPVARIANT value{};
    ComPtr<Interface> object;
    if (event && SUCCEEDED(event->GetValue(&value)) && value.vt == VT_UNKNOWN && value.punkVal)
        value.punkVal->QueryInterface(IID_PPV_ARGS(&object));
    PropVariantClear(&value);
    return object;
}

// The stream a source announces next (MENewStream or MEUpdatedStream), once it was started.
inline ComPtr<IMFMediaStream> AnnouncedStream(IMFMediaSource* source) {
    ComPtr<IMFMediaEvent> announced;
    NextTypes(source, 1, &announced);
    return ObjectOf<IMFMediaStream>(announced);
}

// Ends the process, saying so, when the scope is not left within `milliseconds`.
class Watchdog {
public:
    Watchdog(const char* what, DWORD milliseconds) : mThread([this, what, milliseconds] {
        if (WaitForSingleObject(mDone.get(), milliseconds) != WAIT_OBJECT_0) {
            std::fprintf(stderr, "watchdog: %s did not end within %lu ms\n", what, milliseconds);
            std::fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 3);
        }
    }) {}
    ~Watchdog() {
        SetEvent(mDone.get());
        mThread.join();
    }

private:
    UniqueEvent mDone{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::thread mThread;
};

} // namespace Zarvo::Testing
