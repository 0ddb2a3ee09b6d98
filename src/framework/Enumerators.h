#pragma once
// IEnumPins over a filter's pin list and IEnumMediaTypes over a pin's offered types.

#include <windows.h>
#include <dshow.h>
#include <wrl/client.h>

#include <atomic>
#include <vector>

class CBaseFilter;
class CBasePin;

class CEnumPins final : public IEnumPins {
public:
    // Starts at position 0 with the filter's current pin version and count.
    explicit CEnumPins(CBaseFilter* filter) noexcept;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE Next(ULONG count, IPin** pins, ULONG* fetched) override;
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override;
    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE Clone(IEnumPins** clone) override;

private:
    ~CEnumPins();
    bool OutOfSync() const;

    int mPosition = 0;
    int mPinCount = 0;
    CBaseFilter* mFilter; // referenced through its IBaseFilter
    LONG mVersion = 0;
    std::atomic<LONG> mRefCount{1};
    // Pins handed out since the last Reset: a refreshed list never repeats one.
    std::vector<CBasePin*> mHandedOut;
};

class CEnumMediaTypes final : public IEnumMediaTypes {
public:
    explicit CEnumMediaTypes(CBasePin* pin) noexcept;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE Next(ULONG count, AM_MEDIA_TYPE** types, ULONG* fetched) override;
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override;
    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE Clone(IEnumMediaTypes** clone) override;

private:
    ~CEnumMediaTypes();
    bool OutOfSync() const;

    int mPosition = 0;
    CBasePin* mPin; // referenced through its IPin
    LONG mVersion = 0;
    std::atomic<LONG> mRefCount{1};
};
