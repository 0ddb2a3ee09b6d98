#include "server/SharedTexture.h"

#include <dxgi.h>

#include <cstdio>
#include <cstring>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace Zarvo::Server {

namespace {

std::string Failure(const char* what, HRESULT hr) {
    char text[160];
    std::snprintf(text, sizeof(text), "%s failed 0x%08lX", what, static_cast<unsigned long>(hr));
    std::string result = text;
    if (hr == E_NOTIMPL)
        result += ": this platform cannot share textures between processes";
    else if (hr == static_cast<HRESULT>(0x887A0004)) // DXGI_ERROR_UNSUPPORTED, e.g. no display
        result += ": no usable graphics adapter";
    return result;
}

} // namespace

bool SharedTexture::EnsureDevice(std::string& whyNot) {
    if (mDevice)
        return true;
    const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0};
    const HRESULT hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, levels,
                                         static_cast<UINT>(std::size(levels)), D3D11_SDK_VERSION, &mDevice, nullptr,
                                         &mContext);
    if (FAILED(hr)) {
        mDevice.Reset();
        mContext.Reset();
        whyNot = Failure("D3D11CreateDevice", hr);
        return false;
    }
    return true;
}

struct SharedTexture::Call {
    std::function<void()> work;
    UniqueEvent done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

SharedTexture::SharedTexture() : mWake(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
    mThread = std::thread([this] { GraphicsThread(); });
}

SharedTexture::~SharedTexture() {
    {
        std::lock_guard lock(mCallsMutex);
        mQuit = true;
    }
    SetEvent(mWake.get());
    mThread.join();
}

void SharedTexture::GraphicsThread() {
    for (;;) {
        std::shared_ptr<Call> call;
        {
            std::lock_guard lock(mCallsMutex);
            if (!mCalls.empty()) {
                call = std::move(mCalls.front());
                mCalls.pop_front();
            } else if (mQuit) {
                break;
            }
        }
        if (call) {
            try {
                call->work();
            } catch (...) {
            }
            SetEvent(call->done.get());
            continue;
        }
        const HANDLE wake = mWake.get();
        MsgWaitForMultipleObjects(1, &wake, FALSE, INFINITE, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    DropDevice();
}

void SharedTexture::DropDevice() {
    std::lock_guard lock(mMutex);
    mStaging.Reset();
    mShared.Reset();
    mContext.Reset();
    mDevice.Reset();
    mHandle = 0;
    mWidth = mHeight = 0;
    mFailure.clear();
}

bool SharedTexture::RunOnGraphicsThread(std::function<void()> work, DWORD timeoutMs) {
    auto call = std::make_shared<Call>();
    call->work = std::move(work);
    if (!call->done)
        return false;
    {
        std::lock_guard lock(mCallsMutex);
        if (mQuit)
            return false;
        mCalls.push_back(call);
    }
    SetEvent(mWake.get());
    return WaitForSingleObject(call->done.get(), timeoutMs) == WAIT_OBJECT_0;
}

std::uint64_t SharedTexture::Open(std::uint32_t width, std::uint32_t height, std::string& whyNot) {
    struct Result {
        std::uint64_t handle = 0;
        std::string whyNot;
    };
    auto result = std::make_shared<Result>();
    if (!RunOnGraphicsThread([this, result, width, height] {
            result->handle = OpenOnGraphicsThread(width, height, result->whyNot);
        }, kOpenWaitMs)) {
        whyNot = "the graphics device did not answer within " + std::to_string(kOpenWaitMs) + " ms";
        return 0;
    }
    whyNot = result->whyNot;
    return result->handle;
}

std::uint64_t SharedTexture::OpenOnGraphicsThread(std::uint32_t width, std::uint32_t height, std::string& whyNot) {
    std::lock_guard lock(mMutex);
    if (mShared && mWidth == width && mHeight == height)
        return mHandle;
    if (!mFailure.empty() && mFailedWidth == width && mFailedHeight == height) {
        whyNot = mFailure;
        return 0;
    }
    mHaveTexture = false;
    const std::uint64_t handle = OpenTexture(width, height, whyNot);
    mHaveTexture = handle != 0;
    mFailedWidth = handle ? 0 : width;
    mFailedHeight = handle ? 0 : height;
    mFailure = handle ? std::string() : whyNot;
    return handle;
}

std::uint64_t SharedTexture::OpenTexture(std::uint32_t width, std::uint32_t height, std::string& whyNot) {
    mShared.Reset();
    mStaging.Reset();
    mHandle = 0;
    if (!EnsureDevice(whyNot))
        return 0;

    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = width;
    desc.Height = height;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_NV12;
    desc.SampleDesc.Count = 1;
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.MiscFlags = D3D11_RESOURCE_MISC_SHARED; // the legacy shared handle the camera opens
    ComPtr<ID3D11Texture2D> shared;
    HRESULT hr = mDevice->CreateTexture2D(&desc, nullptr, &shared);
    if (FAILED(hr)) {
        whyNot = Failure("CreateTexture2D (NV12, shared)", hr);
        return 0;
    }
    ComPtr<IDXGIResource> resource;
    hr = shared.As(&resource);
    if (FAILED(hr)) {
        whyNot = Failure("QueryInterface IDXGIResource", hr);
        return 0;
    }
    HANDLE handle = nullptr;
    hr = resource->GetSharedHandle(&handle);
    if (FAILED(hr) || !handle) {
        whyNot = Failure("IDXGIResource::GetSharedHandle", FAILED(hr) ? hr : E_FAIL);
        return 0;
    }

    // Frames reach the shared texture through a CPU-writable twin and a GPU copy.
    D3D11_TEXTURE2D_DESC stagingDesc = desc;
    stagingDesc.Usage = D3D11_USAGE_STAGING;
    stagingDesc.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
    stagingDesc.MiscFlags = 0;
    ComPtr<ID3D11Texture2D> staging;
    hr = mDevice->CreateTexture2D(&stagingDesc, nullptr, &staging);
    if (FAILED(hr)) {
        whyNot = Failure("CreateTexture2D (NV12, staging)", hr);
        return 0;
    }
    mShared = shared;
    mStaging = staging;
    mWidth = width;
    mHeight = height;
    mHandle = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle));
    return mHandle;
}

bool SharedTexture::Write(const std::uint8_t* frame, std::size_t pitch, std::uint32_t width, std::uint32_t height) {
    if (!mHaveTexture)
        return false;
    // The call owns its copy of the frame: it may still run after this returned.
    auto copy = std::make_shared<std::vector<std::uint8_t>>(frame, frame + pitch * (height + height / 2));
    auto written = std::make_shared<bool>(false);
    return RunOnGraphicsThread([this, copy, written, pitch, width, height] {
               *written = WriteOnGraphicsThread(copy->data(), pitch, width, height);
           }, kWriteWaitMs) &&
           *written;
}

bool SharedTexture::WriteOnGraphicsThread(const std::uint8_t* frame, std::size_t pitch, std::uint32_t width,
                                          std::uint32_t height) {
    std::lock_guard lock(mMutex);
    if (!mShared || width != mWidth || height != mHeight)
        return false;
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(mContext->Map(mStaging.Get(), 0, D3D11_MAP_WRITE, 0, &mapped)))
        return false;
    auto* target = static_cast<std::uint8_t*>(mapped.pData);
    // Luma rows, then the interleaved chroma rows, each at the mapped row pitch.
    for (std::uint32_t row = 0; row < height + height / 2; ++row)
        std::memcpy(target + mapped.RowPitch * row, frame + pitch * row, width);
    mContext->Unmap(mStaging.Get(), 0);
    mContext->CopyResource(mShared.Get(), mStaging.Get());
    mContext->Flush();
    return true;
}

void SharedTexture::Release() {
    mHaveTexture = false;
    RunOnGraphicsThread([this] { DropDevice(); }, INFINITE);
}

} // namespace Zarvo::Server
