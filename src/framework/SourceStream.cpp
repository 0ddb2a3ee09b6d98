#include "framework/SourceStream.h"

#include "framework/Source.h"

#include <new>

namespace {

// A hook's result, with an exception turned into a code: none may leave the worker thread.
template <class Hook> HRESULT Guarded(Hook hook) noexcept {
    try {
        return hook();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

} // namespace

CSourceStream::CSourceStream(const wchar_t* objectName, HRESULT* result, CSource* filter,
                             const wchar_t* pinName) noexcept
    : CAMThread(result), CBaseOutputPin(objectName, filter, filter->StateLock(), result, pinName),
      mSourceFilter(filter) {
    const HRESULT hr = filter->AttachStream(this);
    // An earlier failure (events, name) must not be overwritten by this success.
    if (result && FAILED(hr))
        *result = hr;
}

CSourceStream::~CSourceStream() { mSourceFilter->DetachStream(this); }

HRESULT CSourceStream::Activate() {
    CAutoLock lock(mSourceFilter->StateLock());
    if (!mSourceFilter->IsStopped())
        return S_FALSE;
    if (!IsConnected())
        return S_OK;
    HRESULT hr = CBaseOutputPin::Activate();
    if (FAILED(hr))
        return hr;
    if (!StartThread()) {
        CBaseOutputPin::Deactivate();
        return E_FAIL;
    }
    hr = SendCommand(static_cast<DWORD>(WorkerCommand::Init));
    if (FAILED(hr)) {
        // The worker has ended (it ran OnThreadDestroy); collect it so that a later Pause can
        // start afresh, and give the buffers back.
        JoinThread();
        CBaseOutputPin::Deactivate();
        return hr;
    }
    return SendCommand(static_cast<DWORD>(WorkerCommand::Pause));
}

HRESULT CSourceStream::Deactivate() {
    HRESULT decommitted = S_OK;
    {
        CAutoLock lock(mSourceFilter->StateLock());
        if (!IsConnected())
            return S_OK;
        // Decommitting first makes a worker waiting for a buffer give up and see the command.
        decommitted = CBaseOutputPin::Deactivate();
    }
    // The worker is waited for without the state lock: downstream code it is running (a Receive)
    // may ask this pin or the filter for things that take it.
    if (ThreadExists()) {
        // Even when the decommit failed the worker must end: a stopped filter with a live
        // worker could never start again.
        HRESULT hr = SendCommand(static_cast<DWORD>(WorkerCommand::Stop));
        if (FAILED(hr))
            return hr;
        hr = SendCommand(static_cast<DWORD>(WorkerCommand::Exit));
        if (FAILED(hr))
            return hr;
        JoinThread();
    }
    return FAILED(decommitted) ? decommitted : S_OK;
}

DWORD CSourceStream::WorkerMain() {
    for (;;) {
        const DWORD command = WaitCommand();
        if (command == static_cast<DWORD>(WorkerCommand::Init))
            break;
        ReplyCommand(E_UNEXPECTED);
    }
    const HRESULT created = Guarded([this] { return OnThreadCreate(); });
    if (FAILED(created)) {
        Guarded([this] { return OnThreadDestroy(); });
        ReplyCommand(created);
        return 1;
    }
    ReplyCommand(S_OK);
    for (;;) {
        const auto command = static_cast<WorkerCommand>(WaitCommand());
        if (command == WorkerCommand::Exit) {
            ReplyCommand(S_OK);
            break;
        }
        if (command == WorkerCommand::Pause || command == WorkerCommand::Run) {
            ReplyCommand(S_OK);
            Guarded([this] { return StreamingLoop(); });
        } else if (command == WorkerCommand::Stop) {
            ReplyCommand(S_OK);
        } else {
            ReplyCommand(E_NOTIMPL);
        }
    }
    return FAILED(Guarded([this] { return OnThreadDestroy(); })) ? 1 : 0;
}

HRESULT CSourceStream::StreamingLoop() {
    Guarded([this] { return OnThreadStartPlay(); });
    for (;;) {
        DWORD command = 0;
        while (!PeekCommand(&command)) {
            IMediaSample* sample = nullptr;
            if (FAILED(GetFreeSample(&sample, nullptr, nullptr, 0)) || !sample) {
                // Decommitted or out of buffers: look for a command again soon.
                Sleep(1);
                continue;
            }
            const HRESULT filled = Guarded([&] { return FillBuffer(sample); });
            // A Stop that ended FillBuffer's wait (it stays pending) ends the run: what was filled
            // meanwhile is not a frame of the stream.
            if (filled == S_OK && PeekCommand(&command) &&
                command == static_cast<DWORD>(WorkerCommand::Stop)) {
                sample->Release();
                return S_FALSE; // left pending for WorkerMain to answer
            }
            if (filled == S_OK) {
                const HRESULT delivered = DeliverSample(sample);
                sample->Release();
                if (delivered != S_OK)
                    return S_OK; // the receiver wants no more; it says why itself
                continue;
            }
            sample->Release();
            SendEndOfStream();
            if (filled == S_FALSE)
                return S_OK;
            mSourceFilter->PostGraphEvent(EC_ERRORABORT, filled, 0);
            return filled;
        }
        if (command == static_cast<DWORD>(WorkerCommand::Run) || command == static_cast<DWORD>(WorkerCommand::Pause)) {
            ReplyCommand(S_OK);
        } else if (command == static_cast<DWORD>(WorkerCommand::Stop)) {
            return S_FALSE; // left pending for WorkerMain to answer
        } else {
            ReplyCommand(E_UNEXPECTED);
        }
    }
}

bool CSourceStream::WaitForStreamCommand(DWORD milliseconds) {
    return WaitForStreamCommand(milliseconds, nullptr, 0) == StreamWait::Command;
}

CSourceStream::StreamWait CSourceStream::WaitForStreamCommand(DWORD milliseconds, const HANDLE* wake, DWORD count) {
    const bool forever = milliseconds == INFINITE;
    const ULONGLONG end = GetTickCount64() + milliseconds;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        const DWORD left = forever ? INFINITE : now < end ? static_cast<DWORD>(end - now) : 0;
        const DWORD woken = WaitForCommandOr(wake, count, left);
        if (woken > WAIT_OBJECT_0 && woken <= WAIT_OBJECT_0 + count)
            return StreamWait::Woken;
        if (woken != WAIT_OBJECT_0)
            return StreamWait::TimedOut;
        DWORD command = 0;
        if (!PeekCommand(&command))
            continue;
        if (command != static_cast<DWORD>(WorkerCommand::Run) && command != static_cast<DWORD>(WorkerCommand::Pause))
            return StreamWait::Command;
        ReplyCommand(S_OK);
        if (left == 0)
            return StreamWait::TimedOut;
    }
}

HRESULT CSourceStream::OnThreadCreate() { return S_OK; }

HRESULT CSourceStream::OnThreadDestroy() { return S_OK; }

HRESULT CSourceStream::OnThreadStartPlay() { return S_OK; }

HRESULT CSourceStream::GetMediaType(CMediaType*) { return E_UNEXPECTED; }

HRESULT CSourceStream::GetMediaType(int position, CMediaType* type) {
    CAutoLock lock(mSourceFilter->StateLock());
    if (!type)
        return E_POINTER;
    if (position < 0)
        return E_INVALIDARG;
    if (position > 0)
        return VFW_S_NO_MORE_ITEMS;
    return GetMediaType(type);
}

HRESULT CSourceStream::CheckMediaType(const CMediaType* type) {
    CAutoLock lock(mSourceFilter->StateLock());
    if (!type)
        return E_POINTER;
    CMediaType mine;
    if (FAILED(GetMediaType(&mine)))
        return E_FAIL;
    return mine == *type ? S_OK : E_FAIL;
}

HRESULT CSourceStream::QueryId(LPWSTR* id) {
    if (!id)
        return E_POINTER;
    *id = nullptr;
    const int number = mSourceFilter->StreamIndex(this) + 1;
    if (number < 1)
        return VFW_E_NOT_FOUND;
    constexpr size_t kChars = 12;
    auto* text = static_cast<wchar_t*>(CoTaskMemAlloc(kChars * sizeof(wchar_t)));
    if (!text)
        return E_OUTOFMEMORY;
    // Decimal by hand: a positive int has at most 10 digits, so it always fits.
    wchar_t digits[kChars];
    size_t count = 0;
    for (unsigned value = static_cast<unsigned>(number); value != 0; value /= 10)
        digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
    for (size_t i = 0; i < count; ++i)
        text[i] = digits[count - 1 - i];
    text[count] = L'\0';
    *id = text;
    return S_OK;
}
