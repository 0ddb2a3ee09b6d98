#include "AV_HAL/Direct3D11/GraphicsDevice.h"

#include "AV_HAL/Direct3D11/Formats.h"
#include "AV_HAL/Direct3D11/GraphicsQueue.h"
#include "AV_HAL/Direct3D11/VideoProcessor.h"
#include "log/Exceptions.h"
#include "log/Log.h"

#include <d3d10.h>
#include <d3d11_1.h>
#include <dxgi1_3.h>
#include <mfapi.h>

#include <cstring>
#include <iterator>

using Microsoft::WRL::ComPtr;

namespace Zarvo::HAL::Direct3D11 {
namespace {

constexpr D3D_FEATURE_LEVEL kFeatureLevels[] = {D3D_FEATURE_LEVEL_12_1, D3D_FEATURE_LEVEL_12_0,
                                                D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0};
constexpr UINT kCreateFlags = D3D11_CREATE_DEVICE_VIDEO_SUPPORT;
constexpr ULONG kMediaFoundationVersion = 0x20070;

std::uint64_t LuidValue(const LUID& luid) noexcept {
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(luid.HighPart)) << 32) | luid.LowPart;
}

// Feature level of a device on the default adapter; 0 when none can be made.
D3D_FEATURE_LEVEL ProbeFeatureLevel() {
    ComPtr<ID3D11Device> device;
    ComPtr<ID3D11DeviceContext> context;
    D3D_FEATURE_LEVEL level = static_cast<D3D_FEATURE_LEVEL>(0);
    if (FAILED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, kCreateFlags, kFeatureLevels,
                                 static_cast<UINT>(std::size(kFeatureLevels)), D3D11_SDK_VERSION, &device,
                                 &level, &context)))
        return static_cast<D3D_FEATURE_LEVEL>(0);
    return level;
}

[[noreturn]] void ThrowUnavailable(const wchar_t* service) {
    throw ServiceUnavailableException(service);
}

D3D11_SRV_DIMENSION SrvDimension(const Surface& s) {
    const bool array = s.arraySize >= 2;
    switch (s.kind) {
    case 0:
        return array ? D3D11_SRV_DIMENSION_TEXTURE1DARRAY : D3D11_SRV_DIMENSION_TEXTURE1D;
    case 2:
        return D3D11_SRV_DIMENSION_TEXTURE3D;
    case 3:
        return D3D11_SRV_DIMENSION_TEXTURECUBE;
    default:
        return array ? D3D11_SRV_DIMENSION_TEXTURE2DARRAY : D3D11_SRV_DIMENSION_TEXTURE2D;
    }
}

std::vector<DXGI_FORMAT> ShaderResourceFormats(PixelFormat format) {
    switch (format) {
    case PixelFormat::YUY2:
        return {DXGI_FORMAT_R8G8B8A8_UNORM};
    case PixelFormat::NV12:
        return {DXGI_FORMAT_R8_UNORM, DXGI_FORMAT_R8G8_UNORM};
    case PixelFormat::P010:
    case PixelFormat::P016:
        return {DXGI_FORMAT_R16_UNORM, DXGI_FORMAT_R16G16_UNORM};
    default:
        return {ToDxgiFormat(format)};
    }
}

} // namespace

bool AdapterOrder::operator()(const AdapterInfo& a, const AdapterInfo& b) const noexcept {
    if (a.featureLevel != b.featureLevel)
        return a.featureLevel > b.featureLevel;
    return a.description.DedicatedVideoMemory > b.description.DedicatedVideoMemory;
}

GraphicsDevice::GraphicsDevice(std::uint64_t adapterLuid) {
    ComPtr<IDXGIFactory2> factory;
    if (FAILED(CreateDXGIFactory2(0, IID_PPV_ARGS(&factory))))
        ThrowUnavailable(L"Direct3D Device");

    AdapterSet adapters;
    for (UINT index = 0;; ++index) {
        ComPtr<IDXGIAdapter1> adapter;
        const HRESULT hr = factory->EnumAdapters1(index, &adapter);
        // Any other failure ends the enumeration too: without a display DXGI answers every
        // index with an error, and skipping would never reach the end.
        if (FAILED(hr) || !adapter)
            break;
        AdapterInfo info;
        if (FAILED(adapter->GetDesc1(&info.description)))
            continue;
        if (adapterLuid != kAnyAdapter && LuidValue(info.description.AdapterLuid) != adapterLuid)
            continue;
        // The probe runs on the default adapter, so in practice every entry carries the same
        // level and the choice falls on the dedicated memory.
        info.featureLevel = ProbeFeatureLevel();
        info.adapter = adapter;
        adapters.insert(std::move(info));
    }
    if (adapters.empty())
        ThrowUnavailable(L"Direct3D Device");
    mAdapter = *adapters.begin();
    adapters.clear();

    // Without the media features there is no device manager; the video device then comes from the
    // device itself, as on drivers that have no manager's video service.
    mMediaPlatform = LoadLibraryExW(L"mfplat.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (const auto startup = MediaPlatformFunction<decltype(&MFStartup)>("MFStartup")) {
        if (FAILED(startup(kMediaFoundationVersion, 0))) {
            FreeLibrary(mMediaPlatform);
            mMediaPlatform = nullptr;
            ThrowUnavailable(L"MediaFoundation");
        }
        mMediaStarted = true;
    }
    // From here on a failure must undo what was brought up: a failed construction leaves
    // nothing behind, and the destructor does not run for it.
    try {
        BringUp();
    } catch (...) {
        Teardown();
        throw;
    }
}

void GraphicsDevice::BringUp() {
    ComPtr<ID3D11DeviceContext> context;
    D3D_FEATURE_LEVEL level{};
    const HRESULT created = D3D11CreateDevice(
        mAdapter.adapter.Get(), D3D_DRIVER_TYPE_UNKNOWN, nullptr, kCreateFlags, kFeatureLevels,
        static_cast<UINT>(std::size(kFeatureLevels)), D3D11_SDK_VERSION, &mDevice, &level, &context);
    if (created != S_OK || !mDevice || !context)
        ThrowUnavailable(L"Direct3D Device");
    mDevice.As(&mDebug);

    // Optional services: the newer interfaces are queried where they are used, and the video
    // device is missing on Wine and on some drivers.
    const auto createManager = MediaPlatformFunction<decltype(&MFCreateDXGIDeviceManager)>("MFCreateDXGIDeviceManager");
    if (mMediaStarted && createManager && SUCCEEDED(createManager(&mResetToken, &mDeviceManager)) && mDeviceManager &&
        SUCCEEDED(mDeviceManager->ResetDevice(mDevice.Get(), mResetToken)) &&
        SUCCEEDED(mDeviceManager->OpenDeviceHandle(&mDeviceHandle))) {
        mDeviceManager->GetVideoService(mDeviceHandle, IID_PPV_ARGS(&mVideoDevice));
    }
    if (!mVideoDevice)
        mDevice.As(&mVideoDevice);
    ComPtr<ID3D11VideoContext> videoContext;
    context.As(&videoContext);

    mQueue = std::make_shared<GraphicsQueue>(mVideoDevice, videoContext, context, &mMutex);

    ComPtr<ID3D10Multithread> multithread;
    if (SUCCEEDED(mDevice.As(&multithread)))
        multithread->SetMultithreadProtected(TRUE);
}

void GraphicsDevice::Teardown() noexcept {
    mQueue.reset();
    if (mDeviceManager && mDeviceHandle)
        mDeviceManager->CloseDeviceHandle(mDeviceHandle);
    mDeviceHandle = nullptr;
    mDevice.Reset();
    mDeviceManager.Reset();
    if (mDebug) {
        mDebug->ReportLiveDeviceObjects(D3D11_RLDO_DETAIL);
        mDebug.Reset();
    }
    if (const auto shutdown = MediaPlatformFunction<decltype(&MFShutdown)>("MFShutdown"); shutdown && mMediaStarted)
        shutdown();
    mMediaStarted = false;
    if (mMediaPlatform)
        FreeLibrary(mMediaPlatform);
    mMediaPlatform = nullptr;
    mVideoDevice.Reset();
}

GraphicsDevice::~GraphicsDevice() {
    Teardown();
}

std::shared_ptr<SwapChain> GraphicsDevice::CreateSwapChain(std::string name, PixelFormat format,
                                                           std::uint32_t width, std::uint32_t height,
                                                           std::uint32_t bufferCount, void* window) {
    ComPtr<IDXGIDevice> dxgiDevice;
    ComPtr<IDXGIAdapter> adapter;
    ComPtr<IDXGIFactory2> factory;
    if (FAILED(mDevice.As(&dxgiDevice)) || FAILED(dxgiDevice->GetAdapter(&adapter)) ||
        FAILED(adapter->GetParent(IID_PPV_ARGS(&factory))))
        return nullptr;
    DXGI_SWAP_CHAIN_DESC1 desc{};
    desc.Width = width;
    desc.Height = height;
    desc.Format = ToDxgiFormat(format);
    desc.SampleDesc.Count = 1;
    desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    desc.BufferCount = bufferCount;
    desc.SwapEffect = DXGI_SWAP_EFFECT_FLIP_SEQUENTIAL;
    ComPtr<IDXGISwapChain1> chain;
    if (FAILED(factory->CreateSwapChainForHwnd(mDevice.Get(), static_cast<HWND>(window), &desc, nullptr,
                                               nullptr, &chain)))
        return nullptr;
    auto result = std::make_shared<SwapChain>(this, chain.Detach());
    result->name = std::move(name);
    result->window = window;
    result->format = format;
    result->bufferCount = bufferCount;
    return result;
}

std::shared_ptr<SwapChain> GraphicsDevice::CreateSwapChain(std::string name, PixelFormat format,
                                                           std::uint32_t bufferCount, void* window) {
    RECT client{};
    if (!GetClientRect(static_cast<HWND>(window), &client))
        return nullptr;
    return CreateSwapChain(std::move(name), format, static_cast<std::uint32_t>(client.right - client.left),
                           static_cast<std::uint32_t>(client.bottom - client.top), bufferCount, window);
}

std::shared_ptr<InputLayout> GraphicsDevice::CreateInputLayout(std::string, const void* code,
                                                               std::size_t size) {
    const D3D11_INPUT_ELEMENT_DESC elements[] = {
        {"POSITION", 0, DXGI_FORMAT_R32G32B32A32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0},
        {"TEXCOORD", 0, DXGI_FORMAT_R32G32_FLOAT, 0, D3D11_APPEND_ALIGNED_ELEMENT,
         D3D11_INPUT_PER_VERTEX_DATA, 0},
    };
    ComPtr<ID3D11InputLayout> layout;
    if (!code || FAILED(mDevice->CreateInputLayout(elements, 2, code, size, &layout)))
        return nullptr;
    return std::make_shared<InputLayout>(this, layout.Detach());
}

std::shared_ptr<Shader> GraphicsDevice::CreateVertexShader(std::string, const void* code, std::size_t size) {
    ComPtr<ID3D11VertexShader> shader;
    if (!code || FAILED(mDevice->CreateVertexShader(code, size, nullptr, &shader)))
        return nullptr;
    return std::make_shared<Shader>(this, shader.Detach(), Shader::Stage::Vertex);
}

std::shared_ptr<Shader> GraphicsDevice::CreatePixelShader(std::string, const void* code, std::size_t size) {
    ComPtr<ID3D11PixelShader> shader;
    if (!code || FAILED(mDevice->CreatePixelShader(code, size, nullptr, &shader)))
        return nullptr;
    return std::make_shared<Shader>(this, shader.Detach(), Shader::Stage::Pixel);
}

std::shared_ptr<Shader> GraphicsDevice::CreateComputeShader(std::string, const void* code, std::size_t size) {
    ComPtr<ID3D11ComputeShader> shader;
    if (!code || FAILED(mDevice->CreateComputeShader(code, size, nullptr, &shader)))
        return nullptr;
    return std::make_shared<Shader>(this, shader.Detach(), Shader::Stage::Compute);
}

std::shared_ptr<UniformBuffer> GraphicsDevice::CreateUniformBuffer(std::string, std::uint32_t byteSize,
                                                                   const void* initialData) {
    D3D11_BUFFER_DESC desc{};
    desc.ByteWidth = byteSize;
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
    D3D11_SUBRESOURCE_DATA data{initialData, 0, 0};
    ComPtr<ID3D11Buffer> buffer;
    if (FAILED(mDevice->CreateBuffer(&desc, initialData ? &data : nullptr, &buffer)))
        return nullptr;
    auto result = std::make_shared<UniformBuffer>(this, buffer.Detach());
    result->contents.assign(byteSize, 0);
    if (initialData)
        std::memcpy(result->contents.data(), initialData, byteSize);
    return result;
}

std::shared_ptr<Geometry> GraphicsDevice::CreateGeometry(std::string, std::uint32_t stride,
                                                         std::uint32_t vertexCount, const void* initialData) {
    const std::uint64_t bytes = std::uint64_t{stride} * vertexCount;
    if (bytes == 0 || bytes > UINT32_MAX)
        return nullptr;
    D3D11_BUFFER_DESC desc{};
    desc.ByteWidth = static_cast<UINT>(bytes);
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_VERTEX_BUFFER;
    D3D11_SUBRESOURCE_DATA data{initialData, 0, 0};
    ComPtr<ID3D11Buffer> buffer;
    if (FAILED(mDevice->CreateBuffer(&desc, initialData ? &data : nullptr, &buffer)))
        return nullptr;
    auto result = std::make_shared<Geometry>(this, buffer.Detach());
    result->stride = stride;
    result->vertexCount = vertexCount;
    return result;
}

std::shared_ptr<Sampler> GraphicsDevice::CreateSampler(std::string, std::uint32_t filter,
                                                       std::uint32_t addressMode) {
    D3D11_SAMPLER_DESC desc{};
    desc.Filter = static_cast<D3D11_FILTER>(filter);
    desc.AddressU = desc.AddressV = desc.AddressW = static_cast<D3D11_TEXTURE_ADDRESS_MODE>(addressMode);
    desc.MaxAnisotropy = 1;
    desc.ComparisonFunc = D3D11_COMPARISON_NEVER;
    desc.MaxLOD = D3D11_FLOAT32_MAX;
    ComPtr<ID3D11SamplerState> sampler;
    if (FAILED(mDevice->CreateSamplerState(&desc, &sampler)))
        return nullptr;
    return std::make_shared<Sampler>(this, sampler.Detach());
}

std::shared_ptr<BlendConfig>
GraphicsDevice::CreateBlendConfig(std::string, std::uint32_t colourSource, std::uint32_t colourDestination,
                                  std::uint32_t colourOperation, std::uint32_t alphaSource,
                                  std::uint32_t alphaDestination, std::uint32_t alphaOperation) {
    D3D11_BLEND_DESC desc{};
    auto& target = desc.RenderTarget[0];
    target.BlendEnable = TRUE;
    target.SrcBlend = static_cast<D3D11_BLEND>(colourSource);
    target.DestBlend = static_cast<D3D11_BLEND>(colourDestination);
    target.BlendOp = static_cast<D3D11_BLEND_OP>(colourOperation);
    target.SrcBlendAlpha = static_cast<D3D11_BLEND>(alphaSource);
    target.DestBlendAlpha = static_cast<D3D11_BLEND>(alphaDestination);
    target.BlendOpAlpha = static_cast<D3D11_BLEND_OP>(alphaOperation);
    target.RenderTargetWriteMask = D3D11_COLOR_WRITE_ENABLE_ALL;
    ComPtr<ID3D11BlendState> state;
    if (FAILED(mDevice->CreateBlendState(&desc, &state)))
        return nullptr;
    return std::make_shared<BlendConfig>(this, state.Detach());
}

bool GraphicsDevice::MakeViews(Surface& surface, ID3D11Resource* texture) {
    const bool array = surface.arraySize >= 2;
    const bool cube = surface.kind == 3;
    if (HasUsage(surface.usage, UsageFlags::ShaderResource)) {
        for (DXGI_FORMAT format : ShaderResourceFormats(surface.format)) {
            D3D11_SHADER_RESOURCE_VIEW_DESC desc{};
            desc.Format = format;
            desc.ViewDimension = SrvDimension(surface);
            switch (desc.ViewDimension) {
            case D3D11_SRV_DIMENSION_TEXTURE1D:
                desc.Texture1D = {0, 1};
                break;
            case D3D11_SRV_DIMENSION_TEXTURE1DARRAY:
                desc.Texture1DArray = {0, 1, surface.subresource, 1};
                break;
            case D3D11_SRV_DIMENSION_TEXTURE2DARRAY:
                desc.Texture2DArray = {0, 1, surface.subresource, 1};
                break;
            case D3D11_SRV_DIMENSION_TEXTURE3D:
                desc.Texture3D = {0, 1};
                break;
            case D3D11_SRV_DIMENSION_TEXTURECUBE:
                desc.TextureCube = {0, 1};
                break;
            default:
                desc.Texture2D = {0, 1};
                break;
            }
            ID3D11ShaderResourceView* view = nullptr;
            if (FAILED(mDevice->CreateShaderResourceView(texture, &desc, &view)))
                view = nullptr;
            // A missing shader-resource view is kept as an empty entry; binding it unbinds.
            surface.shaderResourceViews.push_back(view);
        }
    }
    if (HasUsage(surface.usage, UsageFlags::RenderTarget)) {
        std::vector<std::pair<DXGI_FORMAT, UINT>> targets; // format, slice
        if (cube) {
            for (UINT slice = 0; slice < 6; ++slice)
                targets.emplace_back(ToDxgiFormat(surface.format), slice);
        } else if (surface.format == PixelFormat::NV12) {
            targets = {{DXGI_FORMAT_R8_UNORM, 0}, {DXGI_FORMAT_R8G8_UNORM, 0}};
        } else {
            targets = {{ToDxgiFormat(surface.format), 0}};
        }
        for (const auto& [format, slice] : targets) {
            D3D11_RENDER_TARGET_VIEW_DESC desc{};
            desc.Format = format;
            if (cube) {
                desc.ViewDimension = D3D11_RTV_DIMENSION_TEXTURE2DARRAY;
                desc.Texture2DArray = {0, slice, 1};
            } else if (array) {
                desc.ViewDimension = D3D11_RTV_DIMENSION_TEXTURE2DARRAY;
                desc.Texture2DArray = {0, surface.subresource, 1};
            } else {
                desc.ViewDimension = D3D11_RTV_DIMENSION_TEXTURE2D;
                desc.Texture2D = {0};
            }
            ID3D11RenderTargetView* view = nullptr;
            if (FAILED(mDevice->CreateRenderTargetView(texture, &desc, &view)) || !view)
                return false;
            surface.renderTargetViews.push_back(view);
        }
    }
    if (HasUsage(surface.usage, UsageFlags::UnorderedAccess)) {
        D3D11_UNORDERED_ACCESS_VIEW_DESC desc{};
        desc.Format =
            surface.format == PixelFormat::YUY2 ? DXGI_FORMAT_R8G8B8A8_UNORM : ToDxgiFormat(surface.format);
        if (cube) {
            desc.ViewDimension = D3D11_UAV_DIMENSION_TEXTURE2DARRAY;
            desc.Texture2DArray = {0, 0, 6};
        } else if (array) {
            desc.ViewDimension = D3D11_UAV_DIMENSION_TEXTURE2DARRAY;
            desc.Texture2DArray = {0, surface.subresource, 1};
        } else {
            desc.ViewDimension = D3D11_UAV_DIMENSION_TEXTURE2D;
            desc.Texture2D = {0};
        }
        ID3D11UnorderedAccessView* view = nullptr;
        if (FAILED(mDevice->CreateUnorderedAccessView(texture, &desc, &view)) || !view)
            return false;
        surface.unorderedAccessViews.push_back(view);
    }
    return true;
}

std::shared_ptr<Surface> GraphicsDevice::CreateSurface2D(std::string name, UsageFlags usage,
                                                         PixelFormat format, std::uint32_t width,
                                                         std::uint32_t height, const void* initialData,
                                                         std::uint32_t initialPitch) {
    const D3D11_TEXTURE2D_DESC desc = DescribeTexture2D(usage, format, width, height, 1);
    const D3D11_SUBRESOURCE_DATA data{initialData, initialPitch, 0};
    ComPtr<ID3D11Texture2D> texture;
    if (FAILED(mDevice->CreateTexture2D(&desc, (initialData && initialPitch) ? &data : nullptr, &texture)))
        return nullptr;
    auto surface = std::make_shared<Surface>(this, texture.Get());
    texture->AddRef(); // the surface's own reference
    surface->name = std::move(name);
    surface->kind = 1;
    surface->usage = usage;
    surface->format = format;
    surface->width = width;
    surface->height = height;
    if (!MakeViews(*surface, texture.Get()))
        return nullptr;
    return surface;
}

std::shared_ptr<Surface> GraphicsDevice::WrapTexture(ComPtr<ID3D11Texture2D> texture, UsageFlags usage,
                                                     std::uint32_t subresource) {
    D3D11_TEXTURE2D_DESC desc{};
    texture->GetDesc(&desc);
    auto surface = std::make_shared<Surface>(this, texture.Get());
    texture->AddRef();
    surface->kind = 1;
    surface->usage = usage;
    surface->format = ToPixelFormat(desc.Format);
    surface->subresource = subresource;
    surface->arraySize = desc.ArraySize;
    surface->width = desc.Width;
    surface->height = desc.Height;
    if (!MakeViews(*surface, texture.Get()))
        return nullptr;
    return surface;
}

std::shared_ptr<Surface> GraphicsDevice::CreateSurface2D(std::string name, UsageFlags usage,
                                                         std::uint64_t native, std::uint32_t subresource) {
    ComPtr<ID3D11Texture2D> texture;
    if (HasUsage(usage, UsageFlags::Shared)) {
        const auto handle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(native));
        if (FAILED(mDevice->OpenSharedResource(handle, IID_PPV_ARGS(&texture))) || !texture)
            return nullptr;
    } else {
        auto* given = reinterpret_cast<IUnknown*>(static_cast<std::uintptr_t>(native));
        if (!given || FAILED(given->QueryInterface(IID_PPV_ARGS(&texture))))
            return nullptr;
    }
    auto surface = WrapTexture(std::move(texture), usage, subresource);
    if (surface)
        surface->name = std::move(name);
    return surface;
}

std::shared_ptr<Surface> GraphicsDevice::CreateSurfaceFromSwapChain(std::string name,
                                                                    std::shared_ptr<SwapChain> swapChain) {
    ComPtr<IDXGISwapChain> chain;
    if (!swapChain || !swapChain->Native() ||
        FAILED(swapChain->Native()->QueryInterface(IID_PPV_ARGS(&chain))))
        return nullptr;
    ComPtr<ID3D11Texture2D> buffer;
    if (FAILED(chain->GetBuffer(0, IID_PPV_ARGS(&buffer))) || !buffer)
        return nullptr;
    auto surface = WrapTexture(std::move(buffer), UsageFlags::RenderTarget, 0);
    if (surface)
        surface->name = std::move(name);
    return surface;
}

std::shared_ptr<Resource> GraphicsDevice::CreateReserved(std::string) {
    return nullptr;
}

std::shared_ptr<Surface> GraphicsDevice::CreateSurfaceCube(std::string name, UsageFlags usage,
                                                           PixelFormat format, std::uint32_t edge) {
    D3D11_TEXTURE2D_DESC desc = DescribeTexture2D(usage, format, edge, edge, 6);
    desc.MiscFlags |= D3D11_RESOURCE_MISC_TEXTURECUBE;
    ComPtr<ID3D11Texture2D> texture;
    if (FAILED(mDevice->CreateTexture2D(&desc, nullptr, &texture)))
        return nullptr;
    auto surface = std::make_shared<Surface>(this, texture.Get());
    texture->AddRef();
    surface->name = std::move(name);
    surface->kind = 3;
    surface->usage = usage;
    surface->format = format;
    surface->arraySize = 6;
    surface->width = edge;
    surface->height = edge;
    surface->depth = edge;
    if (!MakeViews(*surface, texture.Get()))
        return nullptr;
    return surface;
}

void GraphicsDevice::ReleaseNative(IUnknown* native) noexcept {
    if (native)
        native->Release();
}

std::uint64_t GraphicsDevice::GetSharedHandle(IUnknown* nativeTexture) {
    ComPtr<IDXGIResource> resource;
    HANDLE handle = nullptr;
    if (!nativeTexture || FAILED(nativeTexture->QueryInterface(IID_PPV_ARGS(&resource))) ||
        FAILED(resource->GetSharedHandle(&handle)))
        return 0;
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle));
}

Result<std::shared_ptr<IVideoProcessor>>
GraphicsDevice::CreateVideoProcessor(std::string, const VideoDescription& description) {
    auto processor = std::make_shared<VideoProcessor>();
    if (auto error = processor->Initialize(this, description))
        return error;
    return std::shared_ptr<IVideoProcessor>(std::move(processor));
}

std::shared_ptr<IGraphicsQueue> GraphicsDevice::GetQueue() {
    return mQueue;
}

IUnknown* GraphicsDevice::GetDeviceManager() {
    return mDeviceManager.Get();
}

} // namespace Zarvo::HAL::Direct3D11
