#pragma once
// The capture source "Zarvo Webcam" and its one output stream, the pin "Video".

#include "framework/ReferenceClock.h"
#include "framework/Source.h"
#include "framework/SourceStream.h"
#include "runtime/Task.h"
#include "webcam/Placeholder.h"
#include "webcam/WebcamFrameClient.h"

#include <dshow.h>

#include <cstdint>
#include <memory>

namespace Zarvo {
class Log;
class WebcamFrameClient;
namespace IPC {
class WebcamClient;
}
namespace Network::Webcam {
class WebcamSettings;
}
} // namespace Zarvo

class CVCamStream;
struct ConnectionChainState; // what one run of the connection chain brings up; shared with its steps

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
    void SetDefaultMediaType(std::int32_t width, std::int32_t height);
    // A copy of the current media type, taken under the state lock (host threads only).
    CMediaType CurrentType() const;
    // Builds and starts one run of the connection chain; a chain that cannot be built starts nothing.
    void PrepareInternal();
    void ReleaseInternal();

    // FillBuffer's parts. Times are the performance counter's, in 100 ns units.
    void UpdateSource(Zarvo::Log& log, std::int64_t now);
    bool WaitForTurn();
    enum class Woken { Time, Event, Command };
    // Sleeps until `when` (performance counter, 100 ns units), or until `wake` (may be null) is set,
    // or a command that ends streaming comes.
    Woken SleepUntil(std::int64_t when, HANDLE wake);
    bool FillFromApp(IMediaSample* sample, Zarvo::Log& log);
    void LoseSource(Zarvo::Log& log, const char* reason);
    void CopyPlaceholder(IMediaSample* sample, Zarvo::Log& log);

    CVCam* mParent;
    std::shared_ptr<Zarvo::IPC::WebcamClient> mWebClient;
    std::shared_ptr<Zarvo::WebcamFrameClient> mFrameClient;
    std::uint64_t mDestinationWidth = 0;
    std::uint64_t mDestinationHeight = 0;
    GUID mDestinationSubtype = MEDIASUBTYPE_YUY2; // the frame client converts into this
    REFERENCE_TIME mFrameInterval = 333666;      // the adopted type's AvgTimePerFrame: the samples' pace
    // The size the server renders (the settings' output resolution); the only size accepted.
    std::int32_t mOutputWidth = 0;
    std::int32_t mOutputHeight = 0;
    std::shared_ptr<Zarvo::Network::Webcam::WebcamSettings> mSettings;
    Zarvo::Tasks::cancellation_token_source mCancellationSource; // of the newest chain
    Zarvo::Tasks::task<void> mFrameClientTask;                   // the newest chain's last step
    std::shared_ptr<ConnectionChainState> mChain; // the newest chain until the worker took what it brought up
    // Cancelled by the host's Stop (a host thread); made afresh by each worker before Stop can come.
    Zarvo::Tasks::cancellation_token_source mStreamingStop;

    // Worker thread only.
    Zarvo::Tasks::cancellation_token mStopToken; // of mStreamingStop
    Zarvo::UniqueHandleNull mSlotTimer;          // wakes the worker at a sample's slot
    bool mFineSystemTimer = false;               // timeBeginPeriod(1) is in force for mSlotTimer
    Zarvo::PlaceholderPicture mPlaceholder;
    struct Delivery {
        std::int64_t runStart = 0;     // OnThreadCreate
        std::int64_t due = 0;          // the next sample's slot
        std::int64_t last = 0;         // the previous sample; 0 before the first of a streaming run
        std::int64_t slip = 0;         // how far the slots moved to meet publications, within an interval
        std::int64_t retryAt = 0;      // when to run the chain again while none runs
        std::int64_t lastNewFrame = 0; // when a frame not shown before last arrived
        std::uint64_t frameNumber = 0; // the app's number of the newest frame shown
        std::uint64_t publishedSeen = 0; // the channel's publication count when the last sample was filled
        bool numbered = false;         // frameNumber is valid
        bool cameraLive = false;       // StartCamera's answer for the current connection
        bool everLive = false;         // frames flowed in this run
        bool lost = false;             // the source went away and has not come back
        bool placeholderFailed = false; // said once that a sample could not take the placeholder
        int reason = -1;               // the placeholder reason last logged
    } mDelivery;
};

// Release tasks that have not ended yet; the module must not be unloaded while any runs.
long PendingReleaseTasks() noexcept;

// The graphics device of each frame client made from now on; empty: Direct3D 11. For tests that link
// the camera's classes, since the platform there cannot share textures.
void SetFrameClientDeviceFactory(Zarvo::WebcamFrameClient::DeviceFactory factory);
