#include "TestFilters.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace FrameworkTest;

namespace {

// An IUnknown that counts references, to see pUnk's ownership.
class CountingUnknown final : public IUnknown {
public:
    LONG refs = 1;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }
};

} // namespace

TEST(MediaType, EmptyValueEqualityAndMatching) {
    const CMediaType empty;
    EXPECT_EQ(empty.majortype, GUID_NULL);
    EXPECT_TRUE(empty.bFixedSizeSamples);
    EXPECT_EQ(empty.lSampleSize, 1u);
    EXPECT_EQ(empty.pbFormat, nullptr);
    EXPECT_TRUE(empty.IsPartial());

    const CMediaType a = MakeVideoType(MEDIASUBTYPE_YUY2, 8);
    CMediaType b = MakeVideoType(MEDIASUBTYPE_YUY2, 8);
    EXPECT_FALSE(a.IsPartial());
    EXPECT_TRUE(a == b);
    b.lSampleSize = 99; // not compared
    b.bTemporalCompression = TRUE;
    EXPECT_TRUE(a == b);
    EXPECT_TRUE(a != MakeVideoType(MEDIASUBTYPE_YUY2, 16)); // format bytes differ
    EXPECT_TRUE(a != MakeVideoType(MEDIASUBTYPE_NV12, 8));

    CMediaType pattern;
    pattern.majortype = MEDIATYPE_Video;
    EXPECT_TRUE(pattern.IsPartial());
    EXPECT_TRUE(a.MatchesTemplate(pattern));
    pattern.subtype = MEDIASUBTYPE_NV12;
    EXPECT_FALSE(a.MatchesTemplate(pattern));
    pattern.subtype = GUID_NULL;
    pattern.majortype = MEDIATYPE_Audio;
    EXPECT_FALSE(a.MatchesTemplate(pattern));
    // A template with a format type must match it byte for byte.
    CMediaType formatPattern = MakeVideoType(MEDIASUBTYPE_YUY2, 8);
    formatPattern.majortype = GUID_NULL;
    formatPattern.subtype = GUID_NULL;
    EXPECT_TRUE(a.MatchesTemplate(formatPattern));
    EXPECT_FALSE(MakeVideoType(MEDIASUBTYPE_YUY2, 9).MatchesTemplate(formatPattern));
}

TEST(MediaType, InconsistentFormatFieldsAreNeverReadNorFreedTwice) {
    // A length without a block: a copy must not read it, and gets no block of its own.
    AM_MEDIA_TYPE lengthOnly{};
    lengthOnly.majortype = MEDIATYPE_Video;
    lengthOnly.formattype = FORMAT_VideoInfo;
    lengthOnly.cbFormat = 4096;
    lengthOnly.pbFormat = nullptr;
    CMediaType copy(lengthOnly);
    EXPECT_EQ(copy.pbFormat, nullptr);
    EXPECT_EQ(copy.cbFormat, 0u);
    EXPECT_FALSE(copy == lengthOnly);
    EXPECT_FALSE(MediaTypesEqual(lengthOnly, lengthOnly)); // nothing to compare the bytes of

    // A block without a length: the copy must not share the block (which would be freed twice).
    AM_MEDIA_TYPE* blockOnly = CloneMediaType(MakeVideoType(MEDIASUBTYPE_YUY2, 8));
    ASSERT_NE(blockOnly, nullptr);
    blockOnly->cbFormat = 0;
    {
        CMediaType second(*blockOnly);
        EXPECT_EQ(second.pbFormat, nullptr);
        EXPECT_EQ(second.cbFormat, 0u);
    }
    DestroyMediaType(blockOnly); // frees the block it still owns
    DestroyMediaType(nullptr);
}

TEST(MediaType, CopiesOwnTheirFormatBlockAndPunkReference) {
    CountingUnknown unknown;
    CMediaType original = MakeVideoType(MEDIASUBTYPE_YUY2, 8);
    original.pUnk = &unknown;
    unknown.AddRef();
    {
        CMediaType copy(original);
        EXPECT_EQ(unknown.refs, 3);
        EXPECT_NE(copy.pbFormat, original.pbFormat);
        EXPECT_TRUE(copy == original);
        copy = copy; // self-assignment keeps everything
        EXPECT_EQ(unknown.refs, 3);
        EXPECT_NE(copy.pbFormat, nullptr);

        AM_MEDIA_TYPE* clone = CloneMediaType(copy);
        ASSERT_NE(clone, nullptr);
        EXPECT_EQ(unknown.refs, 4);
        DestroyMediaType(clone);
        EXPECT_EQ(unknown.refs, 3);

        copy = MakeVideoType(MEDIASUBTYPE_NV12, 4); // the old pUnk reference goes
        EXPECT_EQ(unknown.refs, 2);
        EXPECT_EQ(copy.subtype, MEDIASUBTYPE_NV12);
    }
    ReleaseMediaType(original);
    EXPECT_EQ(unknown.refs, 1);
    EXPECT_EQ(original.pbFormat, nullptr);
    EXPECT_EQ(original.cbFormat, 0u);
    ReleaseMediaType(original); // a second release is harmless
    EXPECT_EQ(unknown.refs, 1);
}

TEST(MediaType, SetFormatBlockCopiesResizesAndRefusesNullBytes) {
    CMediaType type;
    const BYTE bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_TRUE(type.SetFormatBlock(bytes, 8));
    ASSERT_EQ(type.cbFormat, 8u);
    EXPECT_EQ(std::memcmp(type.pbFormat, bytes, 8), 0);
    ASSERT_TRUE(type.SetFormatBlock(bytes + 4, 4));
    EXPECT_EQ(type.cbFormat, 4u);
    EXPECT_EQ(type.pbFormat[0], 5);
    EXPECT_FALSE(type.SetFormatBlock(nullptr, 4));
    EXPECT_EQ(type.cbFormat, 4u); // unchanged
    ASSERT_TRUE(type.SetFormatBlock(nullptr, 0));
    EXPECT_EQ(type.pbFormat, nullptr);
    EXPECT_EQ(type.cbFormat, 0u);
}
