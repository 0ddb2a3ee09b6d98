#pragma once
// Output pin of a push source that produces samples on its own worker thread.

#include "framework/AMThread.h"
#include "framework/BasePin.h"

class CSource;

// The commands the stream's worker thread answers.
enum class WorkerCommand : DWORD { Init = 0, Pause = 1, Run = 2, Stop = 3, Exit = 4 };

class CSourceStream : public CAMThread, public CBaseOutputPin {
public:
    // Builds the pin on the filter's state lock and attaches it to the filter.
    CSourceStream(const wchar_t* objectName, HRESULT* result, CSource* filter, const wchar_t* pinName) noexcept;
    ~CSourceStream() override;

    DWORD WorkerMain() override;
    // S_OK delivers the sample, S_FALSE ends the stream, a failure ends it with an error event.
    virtual HRESULT FillBuffer(IMediaSample* sample) = 0;
    virtual HRESULT OnThreadCreate();
    virtual HRESULT OnThreadDestroy();
    virtual HRESULT OnThreadStartPlay();
    virtual HRESULT StreamingLoop();
    // The one type of a single-format stream.
    virtual HRESULT GetMediaType(CMediaType* type);

    HRESULT GetMediaType(int position, CMediaType* type) override;
    HRESULT CheckMediaType(const CMediaType* type) override;
    HRESULT Activate() override;
    HRESULT Deactivate() override;

    HRESULT STDMETHODCALLTYPE QueryId(LPWSTR* id) override;

protected:
    // For FillBuffer's own waits: waits up to `milliseconds` for a command that ends the streaming
    // run, answering Run and Pause on the way as the loop does. True when such a command is pending
    // (it stays pending for the loop).
    bool WaitForStreamCommand(DWORD milliseconds);
    // The same wait, also ended by one of `count` objects of the caller's.
    enum class StreamWait { Command, Woken, TimedOut };
    StreamWait WaitForStreamCommand(DWORD milliseconds, const HANDLE* wake, DWORD count);

    CSource* mSourceFilter; // not referenced: the filter owns the stream
};
