#pragma once
// AM_MEDIA_TYPE as a value: owns its format block (task allocator) and a reference on pUnk.

#include <windows.h>
#include <strmif.h>

bool MediaTypesEqual(const AM_MEDIA_TYPE& a, const AM_MEDIA_TYPE& b) noexcept;

class CMediaType : public AM_MEDIA_TYPE {
public:
    CMediaType() noexcept;
    // A failed copy of the format block leaves the type without one and reports
    // E_OUTOFMEMORY through result when given.
    explicit CMediaType(const AM_MEDIA_TYPE& other, HRESULT* result = nullptr) noexcept;
    CMediaType(const CMediaType& other) noexcept;
    CMediaType& operator=(const CMediaType& other) noexcept;
    ~CMediaType();

    // Replaces the contents with a deep copy; E_OUTOFMEMORY when the format block cannot be copied.
    HRESULT Set(const AM_MEDIA_TYPE& other) noexcept;
    // Back to the empty value.
    void Clear() noexcept;

    bool operator==(const AM_MEDIA_TYPE& other) const noexcept;
    bool operator!=(const AM_MEDIA_TYPE& other) const noexcept { return !(*this == other); }
    // Two of ours compare without converting either to the platform's record: otherwise the
    // reversed form of the comparison above would be as good a match, and C++20 calls that
    // ambiguous.
    bool operator==(const CMediaType& other) const noexcept { return MediaTypesEqual(*this, other); }
    bool operator!=(const CMediaType& other) const noexcept { return !(*this == other); }

    bool IsPartial() const noexcept;
    bool MatchesTemplate(const AM_MEDIA_TYPE& pattern) const noexcept;
    bool SetFormatBlock(const BYTE* bytes, ULONG length) noexcept;
};

bool MediaTypesEqual(const AM_MEDIA_TYPE& a, const AM_MEDIA_TYPE& b) noexcept;
bool MediaTypeMatchesTemplate(const AM_MEDIA_TYPE& type, const AM_MEDIA_TYPE& pattern) noexcept;
// dst must hold no owned contents. A source whose format pointer and length disagree
// (one null or zero, the other not) is copied without a format block.
HRESULT CopyMediaTypeInto(AM_MEDIA_TYPE* dst, const AM_MEDIA_TYPE& src) noexcept;
void ReleaseMediaType(AM_MEDIA_TYPE& type) noexcept;
// The forms that live in task-allocator memory, as handed across interfaces.
AM_MEDIA_TYPE* CloneMediaType(const AM_MEDIA_TYPE& src) noexcept;
void DestroyMediaType(AM_MEDIA_TYPE* type) noexcept;
