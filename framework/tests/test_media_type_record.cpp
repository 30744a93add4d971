#include <gtest/gtest.h>

#include "media_type_record.h"

namespace {
CMediaTypeRecord VideoType(BYTE b) {
    CMediaTypeRecord mt;
    mt.majortype = MEDIATYPE_Video;
    mt.subtype = MEDIASUBTYPE_RGB24;
    mt.formattype = FORMAT_VideoInfo;
    const BYTE fmt[3] = {b, 7, 7};
    EXPECT_TRUE(mt.SetFormat(fmt, 3));
    return mt;
}
}  // namespace

TEST(MediaTypeRecord, NewRecordIsFixedSizeOfOneByte) {
    CMediaTypeRecord mt;
    EXPECT_TRUE(mt.IsFixedSize());
    EXPECT_EQ(mt.SampleSize(), 1u);
    EXPECT_EQ(mt.majortype, GUID_NULL);
    EXPECT_EQ(mt.FormatLength(), 0u);
    EXPECT_EQ(mt.Format(), nullptr);
}

TEST(MediaTypeRecord, CopyIsDeepAndSelfAssignmentKeepsTheBlock) {
    CMediaTypeRecord a = VideoType(5);
    CMediaTypeRecord b(a);
    ASSERT_NE(b.Format(), nullptr);
    EXPECT_NE(b.Format(), a.Format());
    EXPECT_EQ(b, a);
    b.Format()[0] = 9;
    EXPECT_EQ(a.Format()[0], 5);
    EXPECT_NE(b, a);

    CMediaTypeRecord& alias = a;
    a = alias;
    ASSERT_NE(a.Format(), nullptr);
    EXPECT_EQ(a.FormatLength(), 3u);
    EXPECT_EQ(a.Format()[0], 5);
}

TEST(MediaTypeRecord, EqualityIgnoresFlagsAndSampleSizeButNotFormatBytes) {
    CMediaTypeRecord a = VideoType(1), b = VideoType(1);
    b.SetSampleSize(1234);
    b.SetTemporalCompression(true);
    EXPECT_TRUE(a == b);
    b.subtype = MEDIASUBTYPE_RGB32;
    EXPECT_FALSE(a == b);
    CMediaTypeRecord c = VideoType(2);
    EXPECT_FALSE(a == c);
    CMediaTypeRecord d = VideoType(1);
    d.SetFormat(nullptr, 0);
    EXPECT_FALSE(a == d);
}

TEST(MediaTypeRecord, PartialMatch) {
    CMediaTypeRecord full = VideoType(1);
    CMediaTypeRecord p;
    p.majortype = MEDIATYPE_Video;
    EXPECT_TRUE(p.IsPartiallySpecified());
    EXPECT_FALSE(full.IsPartiallySpecified());
    EXPECT_TRUE(full.MatchesPartial(p));
    p.subtype = MEDIASUBTYPE_RGB8;
    EXPECT_FALSE(full.MatchesPartial(p));
    p.subtype = GUID_NULL;
    p.majortype = MEDIATYPE_Audio;
    EXPECT_FALSE(full.MatchesPartial(p));
    // A given format type binds the format bytes too.
    CMediaTypeRecord q = VideoType(1);
    q.majortype = GUID_NULL;
    EXPECT_TRUE(full.MatchesPartial(q));
    CMediaTypeRecord r = VideoType(2);
    r.majortype = GUID_NULL;
    EXPECT_FALSE(full.MatchesPartial(r));
}

TEST(MediaTypeRecord, SampleSizeRules) {
    CMediaTypeRecord mt;
    mt.SetSampleSize(640);
    EXPECT_TRUE(mt.IsFixedSize());
    EXPECT_EQ(mt.SampleSize(), 640u);
    mt.SetSampleSize(0);
    EXPECT_FALSE(mt.IsFixedSize());
    EXPECT_EQ(mt.SampleSize(), 640u);
}

TEST(MediaTypeRecord, FormatBufferOfTheSameSizeIsKept) {
    CMediaTypeRecord mt;
    BYTE* p = mt.AllocFormatBuffer(16);
    ASSERT_NE(p, nullptr);
    p[0] = 42;
    EXPECT_EQ(mt.AllocFormatBuffer(16), p);
    EXPECT_EQ(mt.Format()[0], 42);
    BYTE* q = mt.AllocFormatBuffer(1128);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(mt.FormatLength(), 1128u);
}

TEST(MediaTypeRecord, TaskMemoryCopyRoundTrip) {
    CMediaTypeRecord a = VideoType(3);
    AM_MEDIA_TYPE* p = CMediaTypeRecord::CreateTaskMemCopy(a);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(a.Equals(*p));
    EXPECT_NE(p->pbFormat, a.Format());
    CMediaTypeRecord::DeleteTaskMemRecord(p);
}

TEST(MediaTypeRecord, SizeWithoutBlockIsNotCopiedAsABlock) {
    AM_MEDIA_TYPE bad{};
    bad.majortype = MEDIATYPE_Video;
    bad.cbFormat = 100;  // claims a block it does not have
    bad.pbFormat = nullptr;
    HRESULT hr = E_FAIL;
    CMediaTypeRecord copy(bad, &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(copy.FormatLength(), 0u);
    EXPECT_EQ(copy.Format(), nullptr);
}
