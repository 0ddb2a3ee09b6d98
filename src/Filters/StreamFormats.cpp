// The formats of the stream: the pin's media types, IAMStreamConfig and IKsPropertySet.
#include "Filters/Filters.h"

#include "CameraCore/Formats.h"
#include "log/Log.h"
#include "webcam/PixelConversion.h"

#include <dvdmedia.h>
#include <ks.h>
#include <ksmedia.h>
#include <uuids.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

using Zarvo::kFilterLogName;
using Zarvo::Log;

namespace {

constexpr REFERENCE_TIME kDefaultFrameInterval = 333666; // 29.97 frames per second
constexpr REFERENCE_TIME kShortestFrameInterval = 166666;
constexpr REFERENCE_TIME kLongestFrameInterval = 1000000;

// A GUID in registry form, without allocating: format checks must not throw.
struct GuidText {
    explicit GuidText(const GUID& guid) noexcept {
        wchar_t wide[39] = {};
        StringFromGUID2(guid, wide, 39);
        for (int i = 0; i < 39; ++i)
            text[i] = static_cast<char>(wide[i]);
    }
    char text[39];
};

// Every size is offered in each, in this order of preference.
const GUID* const kOfferedSubtypes[] = {&MEDIASUBTYPE_YUY2, &MEDIASUBTYPE_NV12, &Zarvo::kMediaSubtypeI420,
                                        &MEDIASUBTYPE_IYUV};
constexpr int kSubtypeCount = static_cast<int>(std::size(kOfferedSubtypes));

bool IsAcceptedSubtype(const GUID& subtype) {
    return std::any_of(std::begin(kOfferedSubtypes), std::end(kOfferedSubtypes),
                       [&](const GUID* offered) { return *offered == subtype; });
}

// Bits per pixel a header of the subtype must declare: 16 for packed 4:2:2, 12 for the 4:2:0 ones.
WORD BitCount(const GUID& subtype) {
    return subtype == MEDIASUBTYPE_YUY2 ? 16 : 12;
}

// Hosts may round the image size up (row or page alignment) but never need more than twice the
// frame: anything larger would size every sample buffer after a number the frame never fills.
constexpr std::uint64_t kLargestImageSizeInFrames = 2;

// Bytes of one frame of the subtype; 0 for a subtype the stream does not produce.
std::uint64_t FrameBytes(const GUID& subtype, std::uint64_t width, std::uint64_t height) {
    if (subtype == MEDIASUBTYPE_YUY2)
        return Zarvo::yuy2_frame_bytes(width, height);
    if (subtype == MEDIASUBTYPE_NV12)
        return Zarvo::nv12_frame_bytes(width, height);
    if (subtype == MEDIASUBTYPE_IYUV || subtype == Zarvo::kMediaSubtypeI420)
        return Zarvo::iyuv_frame_bytes(width, height);
    return 0;
}

// The VIDEOINFOHEADER of a type, or null when its block is missing or too short to be one.
const VIDEOINFOHEADER* VideoInfo(const AM_MEDIA_TYPE& type) {
    if (type.formattype != FORMAT_VideoInfo || !type.pbFormat || type.cbFormat < sizeof(VIDEOINFOHEADER))
        return nullptr;
    return reinterpret_cast<const VIDEOINFOHEADER*>(type.pbFormat);
}

// (10 000 000 / T truncated) × w × h × bits per pixel, kept in range of the 32-bit field.
LONG BitsPerSecond(REFERENCE_TIME interval, LONG width, LONG height, WORD bitCount) {
    if (interval <= 0)
        return 0;
    const auto framesPerSecond = static_cast<std::int64_t>(10000000.0 / static_cast<double>(interval));
    const long double bits =
        static_cast<long double>(framesPerSecond) * std::llabs(width) * std::llabs(height) * bitCount;
    constexpr auto largest = std::numeric_limits<LONG>::max();
    return bits >= largest ? largest : static_cast<LONG>(bits);
}

// The part of the app's picture a frame of `size` shows: its centre, cropped to the frame's aspect
// ratio (as camera sensors do), both sides even.
SIZE CropOf(Zarvo::FrameSize app, Zarvo::FrameSize size) {
    const std::uint64_t wide = std::uint64_t{app.width} * size.height, tall = std::uint64_t{app.height} * size.width;
    if (wide > tall) // the app's picture is wider: full height, part of the width
        return {static_cast<LONG>(std::uint64_t{app.height} * size.width / size.height / 2 * 2), static_cast<LONG>(app.height)};
    return {static_cast<LONG>(app.width), static_cast<LONG>(std::uint64_t{app.width} * size.height / size.width / 2 * 2)};
}

CMediaType MakeType(const GUID& subtype, LONG width, LONG height, REFERENCE_TIME interval) {
    VIDEOINFOHEADER info{};
    info.AvgTimePerFrame = interval;
    info.dwBitRate = static_cast<DWORD>(BitsPerSecond(interval, width, height, BitCount(subtype)));
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = BitCount(subtype);
    info.bmiHeader.biCompression = subtype.Data1; // the subtype's GUID begins with its FOURCC
    info.bmiHeader.biSizeImage = static_cast<DWORD>(FrameBytes(subtype, static_cast<std::uint64_t>(width),
                                                               static_cast<std::uint64_t>(height)));
    CMediaType type;
    type.majortype = MEDIATYPE_Video;
    type.subtype = subtype;
    type.bFixedSizeSamples = TRUE;
    type.bTemporalCompression = FALSE;
    type.lSampleSize = info.bmiHeader.biSizeImage;
    type.formattype = FORMAT_VideoInfo;
    type.SetFormatBlock(reinterpret_cast<const BYTE*>(&info), sizeof(info));
    return type;
}

} // namespace

void CVCamStream::SetDefaultMediaType(std::int32_t width, std::int32_t height) {
    mSizes = Zarvo::OfferedSizes({static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)});
    mMediaType = OfferedType(0);
}

int CVCamStream::OfferedCount() const noexcept {
    return static_cast<int>(mSizes.size()) * kSubtypeCount;
}

CMediaType CVCamStream::OfferedType(int index) const {
    const Zarvo::FrameSize& size = mSizes[static_cast<std::size_t>(index / kSubtypeCount)];
    return MakeType(*kOfferedSubtypes[index % kSubtypeCount], static_cast<LONG>(size.width),
                    static_cast<LONG>(size.height), kDefaultFrameInterval);
}

HRESULT CVCamStream::GetMediaType(int position, CMediaType* type) {
    Log log = Log::Get(kFilterLogName, "GetMediaType");
    log << "pos, " << position << Log::EndLine;
    if (!type)
        return E_POINTER;
    if (position < 0)
        return E_INVALIDARG;
    // Once the host chose a format, it is the only one a connection is offered.
    if (mFormatChosen) {
        if (position != 0)
            return VFW_S_NO_MORE_ITEMS;
        *type = CurrentType();
        return S_OK;
    }
    if (position >= OfferedCount())
        return VFW_S_NO_MORE_ITEMS;
    *type = OfferedType(position);
    return S_OK;
}

CMediaType CVCamStream::CurrentType() const {
    // SetFormat and connections replace the type under the state lock; a copy taken under it
    // never shares a format block that is being freed.
    CAutoLock lock(mParent->StateLock());
    return mMediaType;
}

HRESULT CVCamStream::CheckMediaType(const CMediaType* type) {
    Log log = Log::Get(kFilterLogName, "CheckMediaType");
    if (!type) {
        log << "null CMediaType" << Log::EndLine;
        return E_FAIL;
    }
    if (!type->pbFormat) {
        log << "null VIDEOINFOHEADER" << Log::EndLine;
        return E_FAIL;
    }
    log << "type, " << GuidText(type->majortype).text << Log::EndLine;
    log << "info, " << GuidText(type->formattype).text << Log::EndLine;
    log << "subtype, " << GuidText(type->subtype).text << Log::EndLine;
    if (type->majortype != MEDIATYPE_Video) {
        log << "invalid major type" << Log::EndLine;
        return E_INVALIDARG;
    }
    if (!IsAcceptedSubtype(type->subtype)) {
        log << "invalid subtype" << Log::EndLine;
        return E_INVALIDARG;
    }
    if (type->formattype != FORMAT_VideoInfo) {
        log << "invalid info" << Log::EndLine;
        return E_INVALIDARG;
    }
    const VIDEOINFOHEADER* info = VideoInfo(*type);
    if (!info) {
        log << "invalid format size" << Log::EndLine;
        return E_INVALIDARG;
    }
    if (info->AvgTimePerFrame < kShortestFrameInterval || info->AvgTimePerFrame > kLongestFrameInterval) {
        log << "invalid AvgTimePerFrame" << info->AvgTimePerFrame << Log::EndLine;
        return E_INVALIDARG;
    }
    // One of the offered sizes; top-down or bottom-up, YUV rows run top-down.
    const LONG width = info->bmiHeader.biWidth;
    const LONG height = info->bmiHeader.biHeight;
    const Zarvo::FrameSize size{static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(std::llabs(height))};
    if (width <= 0 || std::find(mSizes.begin(), mSizes.end(), size) == mSizes.end()) {
        log << "invalid size " << width << "," << height << Log::EndLine;
        return E_INVALIDARG;
    }
    // The subtype's GUID begins with its FOURCC.
    if (info->bmiHeader.biCompression != type->subtype.Data1) {
        log << "invalid compression " << info->bmiHeader.biCompression << Log::EndLine;
        return E_INVALIDARG;
    }
    if (info->bmiHeader.biBitCount != BitCount(type->subtype)) {
        log << "invalid bit count " << info->bmiHeader.biBitCount << Log::EndLine;
        return E_INVALIDARG;
    }
    const std::uint64_t imageSize = info->bmiHeader.biSizeImage;
    const std::uint64_t frame = FrameBytes(type->subtype, size.width, size.height);
    if (imageSize != 0 && (imageSize < frame || imageSize > frame * kLargestImageSizeInFrames)) {
        log << "invalid image size " << imageSize << Log::EndLine;
        return E_INVALIDARG;
    }
    return S_OK;
}

HRESULT CVCamStream::SetMediaType(const CMediaType* type) {
    Log log = Log::Get(kFilterLogName, "SetMediaType");
    if (!type)
        return E_POINTER;
    const HRESULT hr = CSourceStream::SetMediaType(type);
    if (const VIDEOINFOHEADER* info = VideoInfo(*type)) {
        mDestinationWidth = static_cast<std::uint64_t>(static_cast<std::int64_t>(info->bmiHeader.biWidth));
        mDestinationHeight = static_cast<std::uint64_t>(std::llabs(info->bmiHeader.biHeight));
        if (info->AvgTimePerFrame >= kShortestFrameInterval && info->AvgTimePerFrame <= kLongestFrameInterval)
            mFrameInterval = info->AvgTimePerFrame;
        if (IsAcceptedSubtype(type->subtype))
            mDestinationSubtype = type->subtype;
        log << "w/h, " << mDestinationWidth << "," << mDestinationHeight << Log::EndLine;
    }
    return hr;
}

HRESULT CVCamStream::ChooseBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
    if (!allocator || !request)
        return E_POINTER;
    CAutoLock lock(mParent->StateLock());
    const VIDEOINFOHEADER* info = VideoInfo(mMediaType);
    if (!info)
        return E_FAIL;
    // An image size of 0 means "the frame's size"; never hand out buffers the frame overruns.
    const std::uint64_t frame =
        FrameBytes(mMediaType.subtype, static_cast<std::uint64_t>(std::llabs(info->bmiHeader.biWidth)),
                   static_cast<std::uint64_t>(std::llabs(info->bmiHeader.biHeight)));
    const std::uint64_t size = std::max<std::uint64_t>(info->bmiHeader.biSizeImage, frame);
    if (size > static_cast<std::uint64_t>(std::numeric_limits<long>::max()))
        return E_FAIL;
    request->cBuffers = 1;
    request->cbBuffer = static_cast<long>(size);

    ALLOCATOR_PROPERTIES actual{};
    const HRESULT hr = allocator->SetProperties(request, &actual);
    if (FAILED(hr))
        return hr;
    return actual.cbBuffer < request->cbBuffer ? E_FAIL : S_OK;
}

// ---------------------------------------------------------------------------------------------
// IAMStreamConfig

HRESULT STDMETHODCALLTYPE CVCamStream::GetNumberOfCapabilities(int* count, int* size) {
    Log::Get(kFilterLogName, "GetNumberOfCapabilities") << " " << Log::EndLine;
    if (!count || !size)
        return E_POINTER;
    *count = OfferedCount();
    *size = sizeof(VIDEO_STREAM_CONFIG_CAPS);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CVCamStream::GetStreamCaps(int index, AM_MEDIA_TYPE** type, BYTE* caps) {
    Log::Get(kFilterLogName, "GetStreamCaps") << " " << Log::EndLine;
    if (!type || !caps)
        return E_POINTER;
    *type = nullptr;
    if (index < 0 || index >= OfferedCount())
        return index < 0 ? E_INVALIDARG : S_FALSE;
    AM_MEDIA_TYPE* copy = CloneMediaType(OfferedType(index));
    if (!copy)
        return E_OUTOFMEMORY;
    const VIDEOINFOHEADER* info = VideoInfo(*copy);
    if (!info) {
        DestroyMediaType(copy);
        return E_OUTOFMEMORY;
    }
    const LONG w = info->bmiHeader.biWidth;
    const LONG h = info->bmiHeader.biHeight;
    const WORD bits = info->bmiHeader.biBitCount;
    const Zarvo::FrameSize app{static_cast<std::uint32_t>(mOutputWidth), static_cast<std::uint32_t>(mOutputHeight)};
    const SIZE crop = CropOf(app, {static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h)});

    // One size per record (other sizes are other records); any interval from 10 to 60 frames per second.
    VIDEO_STREAM_CONFIG_CAPS record{};
    record.guid = FORMAT_VideoInfo;
    record.VideoStandard = 0;
    record.InputSize = {mOutputWidth, mOutputHeight};
    record.MinCroppingSize = crop;
    record.MaxCroppingSize = crop;
    record.CropGranularityX = crop.cx;
    record.CropGranularityY = crop.cy;
    record.CropAlignX = 2;
    record.CropAlignY = 2;
    record.MinOutputSize = {w, h};
    record.MaxOutputSize = {w, h};
    record.OutputGranularityX = w;
    record.OutputGranularityY = h;
    record.MinFrameInterval = kShortestFrameInterval;
    record.MaxFrameInterval = kLongestFrameInterval;
    record.MinBitsPerSecond = BitsPerSecond(kLongestFrameInterval, w, h, bits);
    record.MaxBitsPerSecond = BitsPerSecond(kShortestFrameInterval, w, h, bits);
    std::memcpy(caps, &record, sizeof(record));
    *type = copy;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CVCamStream::GetFormat(AM_MEDIA_TYPE** type) {
    Log log = Log::Get(kFilterLogName, "GetFormat");
    if (!type)
        return E_POINTER;
    *type = nullptr;
    const CMediaType current = CurrentType();
    if (const VIDEOINFOHEADER* info = VideoInfo(current))
        log << "w/h, " << info->bmiHeader.biWidth << "," << info->bmiHeader.biHeight << Log::EndLine;
    *type = CloneMediaType(current);
    return *type ? S_OK : E_OUTOFMEMORY;
}

HRESULT STDMETHODCALLTYPE CVCamStream::SetFormat(AM_MEDIA_TYPE* type) {
    Log log = Log::Get(kFilterLogName, "SetFormat");
    log << "state: " << static_cast<int>(mParent->State()) << Log::EndLine;
    if (!type || !mParent->IsStopped())
        return E_FAIL;

    HRESULT copied = S_OK;
    const CMediaType requested(*type, &copied);
    if (FAILED(copied))
        return E_OUTOFMEMORY;
    if (CheckMediaType(&requested) != S_OK)
        return E_FAIL;
    const VIDEOINFOHEADER* info = VideoInfo(requested);
    log << "w/h, " << info->bmiHeader.biWidth << "," << info->bmiHeader.biHeight << Log::EndLine;

    // The requested type becomes the one the pin offers, so the reconnection and the format
    // queries describe what the host asked for. Stopped is checked again under the lock that
    // Pause takes: a stream activated in between would run with buffers made for another type.
    // A peer that says no keeps the connection as it is (asked without our lock held: it may
    // call back on another thread).
    Microsoft::WRL::ComPtr<IPin> peer;
    ConnectedTo(&peer);
    if (peer && peer->QueryAccept(&requested) != S_OK) {
        log << "peer refuses" << Log::EndLine;
        return VFW_E_TYPE_NOT_ACCEPTED;
    }
    CMediaType previous;
    bool chosenBefore = false;
    {
        CAutoLock lock(mParent->StateLock());
        chosenBefore = mFormatChosen;
        if (!mParent->IsStopped() || GetConnected() != peer.Get())
            return E_FAIL;
        if (FAILED(previous.Set(mMediaType)))
            return E_OUTOFMEMORY; // no way back could be kept
        const HRESULT adopted = SetMediaType(&requested);
        if (FAILED(adopted))
            return adopted;
        mFormatChosen = true;
    }
    if (!peer)
        return S_OK;

    IFilterGraph* graph = mParent->Graph();
    const HRESULT reconnected = graph ? graph->Reconnect(static_cast<IPin*>(this)) : E_UNEXPECTED;
    if (SUCCEEDED(reconnected))
        return S_OK;
    // The peer took the new type after all but not the connection: go back to the type and
    // the connection it agreed to before.
    log << "reconnection failed " << static_cast<long>(reconnected) << Log::EndLine;
    {
        CAutoLock lock(mParent->StateLock());
        SetMediaType(&previous);
        mFormatChosen = chosenBefore; // and the list offered before
    }
    if (!IsConnected() && graph)
        graph->ConnectDirect(static_cast<IPin*>(this), peer.Get(), &previous);
    return reconnected;
}

// ---------------------------------------------------------------------------------------------
// IKsPropertySet: the pin declares itself a capture pin.

HRESULT STDMETHODCALLTYPE CVCamStream::Set(REFGUID, DWORD, void*, DWORD, void*, DWORD) {
    Log::Get(kFilterLogName, "CVCamStream::Set") << " " << Log::EndLine;
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CVCamStream::Get(REFGUID set, DWORD id, void*, DWORD, void* data, DWORD dataSize,
                                           DWORD* returned) {
    Log::Get(kFilterLogName, "CVCamStream::Get") << " " << Log::EndLine;
    if (set != AMPROPSETID_Pin)
        return E_PROP_SET_UNSUPPORTED;
    if (id != AMPROPERTY_PIN_CATEGORY)
        return E_PROP_ID_UNSUPPORTED;
    if (!data && !returned)
        return E_POINTER;
    if (returned)
        *returned = sizeof(GUID);
    if (!data)
        return S_OK;
    if (dataSize < sizeof(GUID))
        return E_UNEXPECTED;
    *static_cast<GUID*>(data) = PIN_CATEGORY_CAPTURE;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CVCamStream::QuerySupported(REFGUID set, DWORD id, DWORD* support) {
    if (set != AMPROPSETID_Pin)
        return E_PROP_SET_UNSUPPORTED;
    if (id != AMPROPERTY_PIN_CATEGORY)
        return E_PROP_ID_UNSUPPORTED;
    if (support)
        *support = KSPROPERTY_SUPPORT_GET;
    return S_OK;
}
