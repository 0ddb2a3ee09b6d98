#pragma once
// Pin base: connection and media-type agreement; output pin: allocator negotiation and delivery.

#include "framework/CritSec.h"
#include "framework/MediaType.h"
#include "framework/Unknown.h"

#include <windows.h>
#include <dshow.h>
#include <wrl/client.h>

#include <atomic>
#include <string>

class CBaseFilter;

class CBasePin : public CUnknown, public IPin, public IQualityControl {
public:
    // A name that cannot be copied leaves the pin nameless and reports E_OUTOFMEMORY.
    CBasePin(const wchar_t* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* result,
             const wchar_t* pinName, PIN_DIRECTION direction) noexcept;
    ~CBasePin() override;

    ZARVO_FORWARD_IUNKNOWN
    HRESULT STDMETHODCALLTYPE InnerQueryInterface(REFIID riid, void** ppv) override;
    // A pin lives exactly as long as its filter: its count is the filter's.
    ULONG STDMETHODCALLTYPE InnerAddRef() override;
    ULONG STDMETHODCALLTYPE InnerRelease() override;

    // IPin
    HRESULT STDMETHODCALLTYPE Connect(IPin* receiver, const AM_MEDIA_TYPE* type) override;
    HRESULT STDMETHODCALLTYPE ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) override;
    HRESULT STDMETHODCALLTYPE Disconnect() override;
    HRESULT STDMETHODCALLTYPE ConnectedTo(IPin** pin) override;
    HRESULT STDMETHODCALLTYPE ConnectionMediaType(AM_MEDIA_TYPE* type) override;
    HRESULT STDMETHODCALLTYPE QueryPinInfo(PIN_INFO* info) override;
    HRESULT STDMETHODCALLTYPE QueryDirection(PIN_DIRECTION* direction) override;
    HRESULT STDMETHODCALLTYPE QueryId(LPWSTR* id) override;
    HRESULT STDMETHODCALLTYPE QueryAccept(const AM_MEDIA_TYPE* type) override;
    HRESULT STDMETHODCALLTYPE EnumMediaTypes(IEnumMediaTypes** types) override;
    HRESULT STDMETHODCALLTYPE QueryInternalConnections(IPin** pins, ULONG* count) override;
    HRESULT STDMETHODCALLTYPE EndOfStream() override;
    HRESULT STDMETHODCALLTYPE BeginFlush() override;
    HRESULT STDMETHODCALLTYPE EndFlush() override;
    HRESULT STDMETHODCALLTYPE NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;
    // IQualityControl
    HRESULT STDMETHODCALLTYPE Notify(IBaseFilter* self, Quality quality) override;
    HRESULT STDMETHODCALLTYPE SetSink(IQualityControl* sink) override;

    virtual LONG TypeListVersion();
    virtual HRESULT Activate();
    virtual HRESULT Deactivate();
    virtual HRESULT Run(REFERENCE_TIME start);
    virtual HRESULT CheckMediaType(const CMediaType* type) = 0;
    virtual HRESULT SetMediaType(const CMediaType* type);
    virtual HRESULT CheckPeer(IPin* peer);
    virtual HRESULT DropPeer();
    virtual HRESULT FinishConnection(IPin* peer);
    // S_OK with the type at position, VFW_S_NO_MORE_ITEMS past the end.
    virtual HRESULT GetMediaType(int position, CMediaType* type) = 0;

    virtual HRESULT SendEndOfStream();
    virtual HRESULT SendBeginFlush();
    virtual HRESULT SendEndFlush();
    virtual HRESULT SendNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);

    bool IsConnected() const noexcept { return mConnected != nullptr; }
    IPin* GetConnected() const noexcept { return mConnected.Get(); }
    const CMediaType& CurrentMediaType() const noexcept { return mMediaType; }
    const wchar_t* Name() const noexcept { return mName.c_str(); }
    bool IsFilterStopped() const noexcept;

protected:
    HRESULT NegotiateMediaType(IPin* receiver, const AM_MEDIA_TYPE* type);
    HRESULT TryTypeList(IPin* receiver, const AM_MEDIA_TYPE* type, IEnumMediaTypes* types);
    HRESULT TryConnection(IPin* receiver, const AM_MEDIA_TYPE* type);
    void IncrementTypeVersion() noexcept { ++mTypeVersion; }

    std::wstring mName;
    Microsoft::WRL::ComPtr<IPin> mConnected; // written under mLock, only while stopped
    PIN_DIRECTION mDirection;
    CCritSec* mLock;
    bool mRunTimeError = false;
    bool mCanReconnectWhenActive = false;
    bool mTryMyTypesFirst = false;
    CBaseFilter* mFilter;
    IQualityControl* mQualitySink = nullptr; // not referenced
    std::atomic<LONG> mTypeVersion{1};
    CMediaType mMediaType;
    REFERENCE_TIME mSegmentStart = 0;
    REFERENCE_TIME mSegmentStop = 0x7FFFFFFFFFFFFFFF;
    double mSegmentRate = 1.0;
};

class CBaseOutputPin : public CBasePin {
public:
    CBaseOutputPin(const wchar_t* objectName, CBaseFilter* filter, CCritSec* lock, HRESULT* result,
                   const wchar_t* pinName) noexcept;

    HRESULT Activate() override;
    HRESULT Deactivate() override;
    HRESULT CheckPeer(IPin* peer) override;
    HRESULT DropPeer() override;
    HRESULT FinishConnection(IPin* peer) override;

    virtual HRESULT ChooseAllocator(IMemInputPin* input, IMemAllocator** allocator);
    // Sets the buffer count and size on the allocator (SetProperties); every stream supplies it.
    virtual HRESULT ChooseBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) = 0;
    virtual HRESULT GetFreeSample(IMediaSample** sample, REFERENCE_TIME* start, REFERENCE_TIME* stop,
                                  DWORD flags);
    virtual HRESULT DeliverSample(IMediaSample* sample);
    virtual HRESULT CreateDefaultAllocator(IMemAllocator** allocator);

    IMemAllocator* Allocator() const noexcept { return mAllocator.Get(); }

protected:
    Microsoft::WRL::ComPtr<IMemAllocator> mAllocator;  // held from connection to DropPeer
    Microsoft::WRL::ComPtr<IMemInputPin> mInputPin;    // likewise
};
