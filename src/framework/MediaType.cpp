#include "framework/MediaType.h"

#include <cstring>

namespace {

void MakeEmpty(AM_MEDIA_TYPE& type) noexcept {
    std::memset(&type, 0, sizeof(type));
    type.bFixedSizeSamples = TRUE;
    type.lSampleSize = 1;
}

bool HasFormatBlock(const AM_MEDIA_TYPE& type) noexcept {
    return type.cbFormat != 0 && type.pbFormat != nullptr;
}

bool FormatsEqual(const AM_MEDIA_TYPE& a, const AM_MEDIA_TYPE& b) noexcept {
    if (a.formattype != b.formattype || a.cbFormat != b.cbFormat)
        return false;
    if (a.cbFormat == 0)
        return true;
    // A length without a block cannot be compared, so it matches nothing.
    return a.pbFormat && b.pbFormat && std::memcmp(a.pbFormat, b.pbFormat, a.cbFormat) == 0;
}

} // namespace

bool MediaTypesEqual(const AM_MEDIA_TYPE& a, const AM_MEDIA_TYPE& b) noexcept {
    return a.majortype == b.majortype && a.subtype == b.subtype && FormatsEqual(a, b);
}

bool MediaTypeMatchesTemplate(const AM_MEDIA_TYPE& type, const AM_MEDIA_TYPE& pattern) noexcept {
    if (pattern.majortype != GUID_NULL && pattern.majortype != type.majortype)
        return false;
    if (pattern.subtype != GUID_NULL && pattern.subtype != type.subtype)
        return false;
    if (pattern.formattype != GUID_NULL)
        return FormatsEqual(type, pattern);
    return true;
}

HRESULT CopyMediaTypeInto(AM_MEDIA_TYPE* dst, const AM_MEDIA_TYPE& src) noexcept {
    if (!dst)
        return E_POINTER;
    *dst = src;
    dst->pbFormat = nullptr;
    dst->cbFormat = 0;
    HRESULT hr = S_OK;
    if (HasFormatBlock(src)) {
        dst->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(src.cbFormat));
        if (dst->pbFormat) {
            std::memcpy(dst->pbFormat, src.pbFormat, src.cbFormat);
            dst->cbFormat = src.cbFormat;
        } else {
            hr = E_OUTOFMEMORY;
        }
    }
    if (dst->pUnk)
        dst->pUnk->AddRef();
    return hr;
}

void ReleaseMediaType(AM_MEDIA_TYPE& type) noexcept {
    if (type.pbFormat)
        CoTaskMemFree(type.pbFormat);
    type.pbFormat = nullptr;
    type.cbFormat = 0;
    if (type.pUnk) {
        type.pUnk->Release();
        type.pUnk = nullptr;
    }
}

AM_MEDIA_TYPE* CloneMediaType(const AM_MEDIA_TYPE& src) noexcept {
    auto* copy = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (!copy)
        return nullptr;
    if (FAILED(CopyMediaTypeInto(copy, src))) {
        ReleaseMediaType(*copy);
        CoTaskMemFree(copy);
        return nullptr;
    }
    return copy;
}

void DestroyMediaType(AM_MEDIA_TYPE* type) noexcept {
    if (!type)
        return;
    ReleaseMediaType(*type);
    CoTaskMemFree(type);
}

CMediaType::CMediaType() noexcept : AM_MEDIA_TYPE() { MakeEmpty(*this); }

CMediaType::CMediaType(const AM_MEDIA_TYPE& other, HRESULT* result) noexcept : AM_MEDIA_TYPE() {
    MakeEmpty(*this);
    const HRESULT hr = CopyMediaTypeInto(this, other);
    if (result && FAILED(hr))
        *result = hr;
}

CMediaType::CMediaType(const CMediaType& other) noexcept : AM_MEDIA_TYPE() {
    MakeEmpty(*this);
    CopyMediaTypeInto(this, other);
}

CMediaType& CMediaType::operator=(const CMediaType& other) noexcept {
    Set(other);
    return *this;
}

CMediaType::~CMediaType() { ReleaseMediaType(*this); }

HRESULT CMediaType::Set(const AM_MEDIA_TYPE& other) noexcept {
    if (&other == static_cast<const AM_MEDIA_TYPE*>(this))
        return S_OK;
    ReleaseMediaType(*this);
    return CopyMediaTypeInto(this, other);
}

void CMediaType::Clear() noexcept {
    ReleaseMediaType(*this);
    MakeEmpty(*this);
}

bool CMediaType::operator==(const AM_MEDIA_TYPE& other) const noexcept { return MediaTypesEqual(*this, other); }

bool CMediaType::IsPartial() const noexcept { return majortype == GUID_NULL || formattype == GUID_NULL; }

bool CMediaType::MatchesTemplate(const AM_MEDIA_TYPE& pattern) const noexcept {
    return MediaTypeMatchesTemplate(*this, pattern);
}

bool CMediaType::SetFormatBlock(const BYTE* bytes, ULONG length) noexcept {
    if (length != 0 && !bytes)
        return false;
    if (length == 0) {
        if (pbFormat)
            CoTaskMemFree(pbFormat);
        pbFormat = nullptr;
        cbFormat = 0;
        return true;
    }
    if (length != cbFormat || !pbFormat) {
        auto* block = static_cast<BYTE*>(CoTaskMemAlloc(length));
        if (block) {
            if (pbFormat)
                CoTaskMemFree(pbFormat);
            pbFormat = block;
        } else if (!pbFormat || length > cbFormat) {
            return false;
        }
        // else: the old, larger block still holds the new bytes.
    }
    std::memcpy(pbFormat, bytes, length);
    cbFormat = length;
    return true;
}
