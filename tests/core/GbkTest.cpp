#include "capture/Gbk.h"

#include <gtest/gtest.h>

using namespace velmora;

TEST(Gbk, MapsCodePage936) {
    EXPECT_EQ(gbk::SingleByte(0x80), u'\u20AC');
    EXPECT_EQ(gbk::Pair(0xD6, 0xD0), u'中');
    EXPECT_EQ(gbk::Pair(0xBD, 0xFB), u'禁');
    EXPECT_EQ(gbk::Pair(0xD6, 0x41), u'諥');
    EXPECT_EQ(gbk::Pair(0xD6, 0x7F), 0);
    EXPECT_EQ(gbk::Encode(u"禁用.mp4"), std::string("\xBD\xFB\xD3\xC3.mp4"));
    EXPECT_EQ(gbk::Encode(u"😀"), std::nullopt);
    bool clean = true;
    EXPECT_EQ(gbk::Decode("\xBD\xFB\xD3\xC3x\xFF", &clean), u"禁用x\uFFFD");
    EXPECT_FALSE(clean);
}

TEST(Utf8, RoundTripsAndRejectsMalformed) {
    EXPECT_EQ(utf8::ToU16("视频 😀"), u"视频 😀");
    EXPECT_EQ(utf8::FromU16(u"视频 😀"), "视频 😀");
    EXPECT_TRUE(utf8::IsValid("视频"));
    EXPECT_FALSE(utf8::IsValid("\xBD\xFB"));
    EXPECT_FALSE(utf8::IsValid("\xE8\xA7")); // cut in the middle
    EXPECT_EQ(utf8::ToU16("a\xC0\x80"), u"a\uFFFD\uFFFD");
}
