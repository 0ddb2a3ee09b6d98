#pragma once
// A push-source filter: a list of source streams, each its own output pin.

#include "framework/BaseFilter.h"

#include <vector>

class CSourceStream;

class CSource : public CBaseFilter {
public:
    CSource(const wchar_t* objectName, IUnknown* outer, REFCLSID clsid) noexcept;
    ~CSource() override;

    int PinCount() override;
    CBasePin* PinAt(int index) override;

    HRESULT AttachStream(CSourceStream* stream);
    HRESULT DetachStream(CSourceStream* stream);
    // Takes only the list's own lock, never the state lock: a pin's QueryId may be called from
    // a downstream Receive on the worker at any time.
    int StreamIndex(CSourceStream* stream);

    CCritSec* StateLock() noexcept { return &mStateLock; }

protected:
    std::vector<CSourceStream*> mStreams; // written under mStateLock and mStreamsLock; owned
    CCritSec mStateLock;
    CCritSec mStreamsLock; // a leaf: nothing is waited for while it is held
};
