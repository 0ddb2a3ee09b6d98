#pragma once
// The NV12 texture the server shares with the camera through a legacy shared handle.

#include "runtime/Handles.h"

#include <d3d11.h>
#include <wrl/client.h>

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace Zarvo::Server {

// Every graphics call runs on a thread of its own that also handles window messages: the
// graphics runtime may make windows on the thread that creates the device and expects their
// messages to be handled, and the pipe's serving thread must never wait on them (on Wine it did,
// and every client stalled). Callers wait for their call only within a bound.
class SharedTexture {
public:
    // Longest waits for a call on the graphics thread; the call still completes afterwards.
    static constexpr DWORD kOpenWaitMs = 1500; // below the camera's 2 s exchange bound
    static constexpr DWORD kWriteWaitMs = 200;

    SharedTexture();
    ~SharedTexture();
    SharedTexture(const SharedTexture&) = delete;
    SharedTexture& operator=(const SharedTexture&) = delete;

    // The handle of a shared NV12 texture of the given size, made on first use and again when
    // the size changes; 0 with `whyNot` filled in when the platform cannot provide one (that
    // answer is kept for the size, so asking again costs nothing).
    std::uint64_t Open(std::uint32_t width, std::uint32_t height, std::string& whyNot);

    // Copies one NV12 frame (luma rows then chroma rows, both at `pitch`) into the shared
    // texture if there is one of that size. Returns false when nothing was written.
    bool Write(const std::uint8_t* frame, std::size_t pitch, std::uint32_t width, std::uint32_t height);

    void Release();

private:
    struct Call;
    // Runs `work` on the graphics thread; false when it has not finished within `timeoutMs`.
    bool RunOnGraphicsThread(std::function<void()> work, DWORD timeoutMs);
    void GraphicsThread();
    // Lets go of the device and the texture; on the graphics thread.
    void DropDevice();
    std::uint64_t OpenOnGraphicsThread(std::uint32_t width, std::uint32_t height, std::string& whyNot);
    std::uint64_t OpenTexture(std::uint32_t width, std::uint32_t height, std::string& whyNot);
    bool WriteOnGraphicsThread(const std::uint8_t* frame, std::size_t pitch, std::uint32_t width,
                               std::uint32_t height);
    bool EnsureDevice(std::string& whyNot);

    std::mutex mCallsMutex;
    std::deque<std::shared_ptr<Call>> mCalls; // guarded by mCallsMutex
    bool mQuit = false;                       // guarded by mCallsMutex
    UniqueEvent mWake;
    std::thread mThread;
    std::atomic<bool> mHaveTexture{false};

    std::mutex mMutex; // guards every member below; only the graphics thread uses the device
    Microsoft::WRL::ComPtr<ID3D11Device> mDevice;
    Microsoft::WRL::ComPtr<ID3D11DeviceContext> mContext;
    Microsoft::WRL::ComPtr<ID3D11Texture2D> mShared;
    Microsoft::WRL::ComPtr<ID3D11Texture2D> mStaging;
    std::uint32_t mWidth = 0;
    std::uint32_t mHeight = 0;
    std::uint64_t mHandle = 0;
    std::uint32_t mFailedWidth = 0; // the size and reason of the last failure
    std::uint32_t mFailedHeight = 0;
    std::string mFailure;
};

} // namespace Zarvo::Server
