#include "Filters/Filters.h"

#include "AppSettings/AppSettings.h"
#include "Filters/Guids.h"
#include "log/Log.h"
#include "log/Text.h"

#include <exception>
#include <new>

using Zarvo::kFilterLogName;
using Zarvo::Log;

namespace {

void WriteTimeLine(const char* tag) noexcept {
    Log log = Log::Get(kFilterLogName, tag);
    log << Zarvo::LocalTimestamp().View() << Log::EndLine;
}

// Lines for an exception caught at `line` of this file; call from inside a catch block.
void LogCurrentException(Log& log, int line) noexcept {
    try {
        throw;
    } catch (const std::exception& error) {
        const char* message = error.what();
        log << "exception: " << Zarvo::SourceFileName(__FILE__) << ":" << line << ":"
            << (message ? message : "") << Log::EndLine;
    } catch (...) {
        log << "unknown exception: " << Zarvo::SourceFileName(__FILE__) << ":" << line << Log::EndLine;
    }
}

// LogCurrentException, then the code for the host: running out of memory is the one a caller can act on.
HRESULT LogCurrentExceptionResult(Log& log, int line) noexcept {
    LogCurrentException(log, line);
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// CVCam

CUnknown* WINAPI CVCam::CreateInstance(IUnknown* outer, HRESULT* result) {
    return new (std::nothrow) CVCam(outer, result);
}

CVCam::CVCam(IUnknown* outer, HRESULT* result) : CSource(kZarvoWebcamName, outer, CLSID_ZarvoWebcam) {
    {
        const auto settings = Zarvo::Network::Webcam::WebcamSettings::ForCurrentUser();
        Zarvo::InitializeLogging(settings.SettingsFolder(), L"zvfilter");
    }
    Log::Get(kFilterLogName, "CVCam") << " " << Log::EndLine;

    CAutoLock lock(StateLock());
    // The stream attaches itself as pin 0; the filter owns it from here. One that could not
    // attach (out of memory) is owned by nobody: it goes again at once.
    auto* stream = new (std::nothrow) CVCamStream(result, this, L"Video");
    if (stream && StreamIndex(stream) < 0) {
        delete stream;
        stream = nullptr;
    }
    if (!stream && result && SUCCEEDED(*result))
        *result = E_OUTOFMEMORY;
    mReferenceClock = new (std::nothrow) CBaseReferenceClock(nullptr, outer, result, nullptr);
    if (mReferenceClock) {
        // The clock's own count: through IReferenceClock an aggregated filter would hold its
        // outer object and never be released.
        mReferenceClock->InnerAddRef();
    } else if (result) {
        *result = E_OUTOFMEMORY;
    }
}

CVCam::~CVCam() {
    if (mReferenceClock)
        mReferenceClock->InnerRelease();
}

HRESULT STDMETHODCALLTYPE CVCam::InnerQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IAMStreamConfig || riid == IID_IKsPropertySet) {
        CBasePin* pin = PinAt(0);
        if (!pin)
            return E_NOINTERFACE;
        return static_cast<IPin*>(pin)->QueryInterface(riid, ppv);
    }
    if (riid == IID_IReferenceClock) {
        if (!mReferenceClock)
            return E_NOINTERFACE;
        return GetInterface(static_cast<IReferenceClock*>(mReferenceClock), ppv);
    }
    return CSource::InnerQueryInterface(riid, ppv);
}

// ---------------------------------------------------------------------------------------------
// CVCamStream: lifecycle and worker hooks

CVCamStream::CVCamStream(HRESULT* result, CVCam* parent, const wchar_t* pinName)
    : CSourceStream(nullptr, result, parent, pinName), mParent(parent),
      mSettings(std::make_shared<Zarvo::Network::Webcam::WebcamSettings>(Zarvo::Network::Webcam::WebcamSettings::ForCurrentUser())) {
    Log::Get(kFilterLogName, "CVCamStream") << " " << Log::EndLine;
    const auto resolution = mSettings->GetOutputResolution();
    mOutputWidth = resolution.width;
    mOutputHeight = resolution.height;
    SetDefaultMediaType(resolution.width, resolution.height);
}

CVCamStream::~CVCamStream() {
    Log::Get(kFilterLogName, "~CVCamStream") << " " << Log::EndLine;
    mCore.Stop();
}

HRESULT STDMETHODCALLTYPE CVCamStream::InnerQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IAMStreamConfig)
        return GetInterface(static_cast<IAMStreamConfig*>(this), ppv);
    if (riid == IID_IKsPropertySet)
        return GetInterface(static_cast<IKsPropertySet*>(this), ppv);
    return CSourceStream::InnerQueryInterface(riid, ppv);
}

HRESULT CVCamStream::OnThreadCreate() {
    WriteTimeLine("OnThreadCreate");
    try {
        // I420 is IYUV's layout under another FOURCC.
        const GUID layout =
            mDestinationSubtype == Zarvo::kMediaSubtypeI420 ? MEDIASUBTYPE_IYUV : mDestinationSubtype;
        const Zarvo::StreamFormat format{static_cast<std::uint32_t>(mDestinationWidth),
                                         static_cast<std::uint32_t>(mDestinationHeight),
                                         layout,
                                         mFrameInterval,
                                         static_cast<std::uint32_t>(mOutputWidth),
                                         static_cast<std::uint32_t>(mOutputHeight)};
        // The worker answers Run and Pause while it waits, as its loop does.
        mCore.Start(format, [this](DWORD milliseconds, const HANDLE* objects, DWORD count) {
            switch (WaitForStreamCommand(milliseconds, objects, count)) {
            case StreamWait::Command:
                return Zarvo::CameraCore::WaitResult::Command;
            case StreamWait::Woken:
                return Zarvo::CameraCore::WaitResult::Woken;
            case StreamWait::TimedOut:
                break;
            }
            return Zarvo::CameraCore::WaitResult::TimedOut;
        });
    } catch (...) {
        Log log = Log::Get(kFilterLogName, "OnThreadCreate");
        return LogCurrentExceptionResult(log, __LINE__);
    }
    return S_OK;
}

HRESULT CVCamStream::OnThreadStartPlay() {
    WriteTimeLine("OnThreadStartPlay");
    mCore.Restart();
    return S_OK;
}

HRESULT CVCamStream::OnThreadDestroy() {
    WriteTimeLine("OnThreadDestroy");
    try {
        mCore.Stop();
    } catch (...) {
        Log log = Log::Get(kFilterLogName, "OnThreadDestroy");
        return LogCurrentExceptionResult(log, __LINE__);
    }
    return S_OK;
}

HRESULT CVCamStream::Deactivate() {
    // Before the worker is told to stop: a per-frame request to a hung app would hold it up for the
    // request's whole bound.
    mCore.Interrupt();
    return CSourceStream::Deactivate();
}

HRESULT CVCamStream::Run(REFERENCE_TIME) {
    Log::Get(kFilterLogName, "CVCamStream::Run") << " " << Log::EndLine;
    return S_OK;
}

HRESULT CVCamStream::FillBuffer(IMediaSample* sample) {
    Log log = Log::Get(kFilterLogName, "FillBuffer");
    try {
        BYTE* buffer = nullptr;
        const long size = sample->GetSize();
        if (FAILED(sample->GetPointer(&buffer)) || size < 0)
            buffer = nullptr;
        const std::uint64_t written = mCore.Fill(buffer, buffer ? static_cast<std::uint64_t>(size) : 0);
        if (written)
            sample->SetActualDataLength(static_cast<long>(written));
        sample->SetSyncPoint(FALSE);
        REFERENCE_TIME start = 0;
        REFERENCE_TIME stop = 0;
        sample->SetTime(&start, &stop);
        return S_OK;
    } catch (...) {
        LogCurrentException(log, __LINE__);
        return S_FALSE;
    }
}
