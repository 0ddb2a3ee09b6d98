#include "framework/Source.h"

#include "framework/SourceStream.h"

#include <algorithm>
#include <new>

CSource::CSource(const wchar_t* objectName, IUnknown* outer, REFCLSID clsid) noexcept
    : CBaseFilter(objectName, outer, &mStateLock, clsid) {}

CSource::~CSource() {
    // A filter released while active still has running workers; they call back into the
    // streams, so they must end while the streams are whole.
    if (!IsStopped())
        Stop();
    // Each stream's destructor detaches it.
    while (!mStreams.empty())
        delete mStreams.back();
}

int CSource::PinCount() {
    CAutoLock lock(&mStateLock);
    return static_cast<int>(mStreams.size());
}

CBasePin* CSource::PinAt(int index) {
    CAutoLock lock(&mStateLock);
    if (index < 0 || index >= static_cast<int>(mStreams.size()))
        return nullptr;
    return mStreams[static_cast<size_t>(index)];
}

HRESULT CSource::AttachStream(CSourceStream* stream) {
    CAutoLock lock(&mStateLock);
    try {
        CAutoLock listLock(&mStreamsLock);
        mStreams.push_back(stream);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    IncrementPinVersion();
    return S_OK;
}

HRESULT CSource::DetachStream(CSourceStream* stream) {
    // Taken although the streams normally leave only with the filter: a host thread may be
    // walking the list at the same time.
    CAutoLock lock(&mStateLock);
    {
        CAutoLock listLock(&mStreamsLock);
        const auto found = std::find(mStreams.begin(), mStreams.end(), stream);
        if (found == mStreams.end())
            return S_FALSE;
        mStreams.erase(found);
        if (mStreams.empty())
            mStreams.shrink_to_fit();
    }
    IncrementPinVersion();
    return S_OK;
}

int CSource::StreamIndex(CSourceStream* stream) {
    CAutoLock lock(&mStreamsLock);
    const auto found = std::find(mStreams.begin(), mStreams.end(), stream);
    return found == mStreams.end() ? -1 : static_cast<int>(found - mStreams.begin());
}
