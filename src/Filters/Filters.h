#pragma once
// The capture source "Zarvo Webcam" and its one output stream, the pin "Video".

#include "framework/ReferenceClock.h"
#include "framework/Source.h"
#include "framework/SourceStream.h"
#include "CameraCore/CameraCore.h"
#include "CameraCore/Formats.h"

#include <dshow.h>

#include <cstdint>
#include <memory>

namespace Zarvo::Network::Webcam {
class WebcamSettings;
}

class CVCamStream;

class CVCam : public CSource {
public:
    // The creation function of the module's class table: null when memory runs out.
    static CUnknown* WINAPI CreateInstance(IUnknown* outer, HRESULT* result);

    CVCam(IUnknown* outer, HRESULT* result);
    ~CVCam() override;

    HRESULT STDMETHODCALLTYPE InnerQueryInterface(REFIID riid, void** ppv) override;

    IFilterGraph* Graph() const noexcept { return mGraph; }

private:
    CBaseReferenceClock* mReferenceClock = nullptr; // one reference, given back in the destructor
};

class CVCamStream : public CSourceStream, public IAMStreamConfig, public IKsPropertySet {
public:
    CVCamStream(HRESULT* result, CVCam* parent, const wchar_t* pinName);
    ~CVCamStream() override;

    // One identity behind IPin, IQualityControl, IAMStreamConfig and IKsPropertySet: every
    // public QueryInterface goes to the inner one, which answers all four.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return CSourceStream::QueryInterface(riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE InnerQueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return CSourceStream::AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return CSourceStream::Release(); }

    // Worker thread.
    HRESULT FillBuffer(IMediaSample* sample) override;
    HRESULT OnThreadCreate() override;
    HRESULT OnThreadDestroy() override;
    HRESULT OnThreadStartPlay() override;
    HRESULT Deactivate() override;

    // Pin.
    HRESULT Run(REFERENCE_TIME start) override;
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT SetMediaType(const CMediaType* type) override;
    HRESULT GetMediaType(int position, CMediaType* type) override;
    HRESULT ChooseBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;

    // IAMStreamConfig.
    HRESULT STDMETHODCALLTYPE SetFormat(AM_MEDIA_TYPE* type) override;
    HRESULT STDMETHODCALLTYPE GetFormat(AM_MEDIA_TYPE** type) override;
    HRESULT STDMETHODCALLTYPE GetNumberOfCapabilities(int* count, int* size) override;
    HRESULT STDMETHODCALLTYPE GetStreamCaps(int index, AM_MEDIA_TYPE** type, BYTE* caps) override;

    // IKsPropertySet.
    HRESULT STDMETHODCALLTYPE Set(REFGUID set, DWORD id, void* instanceData, DWORD instanceSize, void* data,
                                  DWORD dataSize) override;
    HRESULT STDMETHODCALLTYPE Get(REFGUID set, DWORD id, void* instanceData, DWORD instanceSize, void* data,
                                  DWORD dataSize, DWORD* returned) override;
    HRESULT STDMETHODCALLTYPE QuerySupported(REFGUID set, DWORD id, DWORD* support) override;

private:
    // The offered list for an app that renders width x height; its first type becomes the current one.
    void SetDefaultMediaType(std::int32_t width, std::int32_t height);
    // The offered list: every offered size in each subtype, in order of preference.
    int OfferedCount() const noexcept;
    CMediaType OfferedType(int index) const;
    // A copy of the current media type, taken under the state lock (which no state change holds
    // while it waits for the worker, whose downstream may ask for the format).
    CMediaType CurrentType() const;

    CVCam* mParent;
    std::uint64_t mDestinationWidth = 0;
    std::uint64_t mDestinationHeight = 0;
    GUID mDestinationSubtype = MEDIASUBTYPE_YUY2; // the frame client converts into this
    REFERENCE_TIME mFrameInterval = 333666;      // the adopted type's AvgTimePerFrame: the samples' pace
    // The size the server renders (the settings' output resolution); the only size accepted.
    std::int32_t mOutputWidth = 0;
    std::int32_t mOutputHeight = 0;
    std::vector<Zarvo::FrameSize> mSizes; // offered, in order of preference
    bool mFormatChosen = false;           // SetFormat chose the current type: the only one offered since
    std::shared_ptr<Zarvo::Network::Webcam::WebcamSettings> mSettings;
    Zarvo::CameraCore mCore; // everything the stream does beyond the host's calls
};

// The core's, for the module's unloading and the tests that link the camera's classes.
using Zarvo::PendingReleaseTasks;
using Zarvo::SetFrameClientDeviceFactory;
