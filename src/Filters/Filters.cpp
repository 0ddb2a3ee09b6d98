#include "Filters/Filters.h"

#include "AppSettings/AppSettings.h"
#include "Filters/Guids.h"
#include "IPC/WebcamClient.h"
#include "log/Log.h"
#include "log/Text.h"
#include "webcam/WebcamFrameClient.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <new>
#include <thread>

using Zarvo::kFilterLogName;
using Zarvo::Log;
using Zarvo::LogLevel;
namespace Tasks = Zarvo::Tasks;

namespace {

std::atomic<long> gPendingReleaseTasks{0};

// The application-data folder, or an empty text when there is none (the settings then give
// their defaults and logging stays off).
std::wstring AppDataFolder() {
    auto folder = Zarvo::GetAppDataFolder();
    return folder.HasValue() ? folder.Value() : std::wstring();
}

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

// Stops the server's camera and closes the pipe after streaming, without holding up the host.
void StartReleaseTask(std::shared_ptr<Zarvo::IPC::WebcamClient> client) {
    ++gPendingReleaseTasks;
    const bool queued = Tasks::run_detached([client = std::move(client)]() mutable {
        struct Done {
            ~Done() { --gPendingReleaseTasks; }
        } done;
        Log log = Log::Get(kFilterLogName, "ReleaseInternal");
        if (!client->CheckForServer())
            return;
        log << "WebcamClient: Found Server" << Log::EndLine;
        if (!client->StopCamera())
            return;
        log << "WebcamClient: Camera Stopped" << Log::EndLine;
        if (!client->Disconnect())
            return;
        log << "WebcamClient: Server Disconnected" << Log::EndLine;
        client.reset(); // the client closes its pipe while the module is still held
    });
    if (!queued)
        --gPendingReleaseTasks;
}

} // namespace

long PendingReleaseTasks() noexcept {
    return gPendingReleaseTasks.load();
}

// ---------------------------------------------------------------------------------------------
// CVCam

CUnknown* WINAPI CVCam::CreateInstance(IUnknown* outer, HRESULT* result) {
    return new (std::nothrow) CVCam(outer, result);
}

CVCam::CVCam(IUnknown* outer, HRESULT* result) : CSource(kZarvoWebcamName, outer, CLSID_ZarvoWebcam) {
    {
        const Zarvo::Network::Webcam::WebcamSettings settings(AppDataFolder());
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
      mSettings(std::make_shared<Zarvo::Network::Webcam::WebcamSettings>(AppDataFolder())) {
    Log::Get(kFilterLogName, "CVCamStream") << " " << Log::EndLine;
    const auto resolution = mSettings->GetOutputResolution();
    mOutputWidth = resolution.width;
    mOutputHeight = resolution.height;
    SetDefaultMediaType(resolution.width, resolution.height);
}

CVCamStream::~CVCamStream() {
    Log::Get(kFilterLogName, "~CVCamStream") << " " << Log::EndLine;
    ReleaseInternal();
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
    PrepareInternal();
    return S_OK;
}

HRESULT CVCamStream::OnThreadStartPlay() {
    WriteTimeLine("OnThreadStartPlay");
    return S_OK;
}

HRESULT CVCamStream::OnThreadDestroy() {
    WriteTimeLine("OnThreadDestroy");
    ReleaseInternal();
    return S_OK;
}

HRESULT CVCamStream::Run(REFERENCE_TIME) {
    Log::Get(kFilterLogName, "CVCamStream::Run") << " " << Log::EndLine;
    return S_OK;
}

// ---------------------------------------------------------------------------------------------
// CVCamStream: the connection chain

void CVCamStream::PrepareInternal() {
    Log log = Log::Get(kFilterLogName, "PrepareInternal");
    log << "ENTER" << Log::EndLine;
    try {
        // A fresh source for every run: a filter stopped and run again must connect again.
        mCancellationSource = Tasks::cancellation_token_source();
        const auto token = mCancellationSource.get_token();
        const auto width = mDestinationWidth;
        const auto height = mDestinationHeight;
        const auto subtype = mDestinationSubtype;

        mFrameClientTask =
            Tasks::create_task([this, token] {
                Log step = Log::Get(kFilterLogName, "Prepare/ConnectToServer");
                step << " " << Log::EndLine;
                auto client = std::make_shared<Zarvo::IPC::WebcamClient>(Zarvo::FilterLogFactory());
                Zarvo::IPC::LaunchServerIfNeeded(client);
                if (!client->ConnectToServer(token))
                    Tasks::cancel_current_task();
                step << "webcamClient: Server Connected" << Log::EndLine;
                mWebClient = client;
                return client;
            })
                .then([](std::shared_ptr<Zarvo::IPC::WebcamClient> client) {
                    Log step = Log::Get(kFilterLogName, "Prepare/StartCamera");
                    step << " " << Log::EndLine;
                    client->StartCamera();
                    step << "webcamClient: Camera Started" << Log::EndLine;
                    return client;
                })
                .then([](std::shared_ptr<Zarvo::IPC::WebcamClient> client) {
                    Log::Get(kFilterLogName, "Prepare/OpenSharedTexture") << " " << Log::EndLine;
                    return client->OpenSharedTexture();
                })
                .then([this, width, height, subtype](std::uint64_t sharedTexture) {
                    Log::Get(kFilterLogName, "Prepare/WebcamFrameClient") << " " << Log::EndLine;
                    auto frameClient = std::make_shared<Zarvo::WebcamFrameClient>();
                    frameClient->SetDestinationSize(width, height, subtype);
                    frameClient->Initialize(sharedTexture); // failures show in the samples
                    mFrameClient = std::move(frameClient);
                });
    } catch (...) {
        // Out of memory while building the chain: the handle stays empty and FillBuffer ends
        // the stream at its first sample.
        LogCurrentException(log, __LINE__);
    }
    log << "EXIT" << Log::EndLine;
}

void CVCamStream::ReleaseInternal() {
    Log log = Log::Get(kFilterLogName, "ReleaseInternal");
    log << Zarvo::LocalTimestamp().View() << Log::EndLine;
    try {
        mCancellationSource.cancel();
        try {
            mFrameClientTask.wait();
        } catch (...) {
            // The server's camera is stopped also when the chain failed after connecting.
            if (mWebClient)
                StartReleaseTask(mWebClient);
            throw;
        }
        if (mWebClient)
            StartReleaseTask(mWebClient);
    } catch (...) {
        LogCurrentException(log, __LINE__);
    }
    mWebClient.reset();
    mFrameClient.reset();
}

// ---------------------------------------------------------------------------------------------
// CVCamStream: delivery

HRESULT CVCamStream::FillBuffer(IMediaSample* sample) {
    Log log = Log::Get(kFilterLogName, "FillBuffer");
    try {
        if (!mFrameClientTask.is_done()) {
            // Placeholder samples at a steady pace until the chain is ready.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(16);
            for (auto now = std::chrono::steady_clock::now(); now < deadline;
                 now = std::chrono::steady_clock::now())
                std::this_thread::sleep_for(deadline - now);
            REFERENCE_TIME start = 0;
            REFERENCE_TIME stop = 0;
            sample->SetTime(&start, &stop);
            return S_OK;
        }
        log << "mFrameClientTask.is_done" << Log::EndLine;
        if (!mWebClient) {
            log << LogLevel::Error << "ERROR: null mWebClient" << Log::EndLine;
            return S_FALSE;
        }
        if (!mFrameClient) {
            log << LogLevel::Error << "ERROR: null mFrameClient" << Log::EndLine;
            return S_FALSE;
        }
        mWebClient->FrameTick();
        return mFrameClient->FillSample(sample) ? S_OK : S_FALSE;
    } catch (...) {
        LogCurrentException(log, __LINE__);
        return S_FALSE;
    }
}
