#include "capture/FrameText.h"

#include <gtest/gtest.h>

#include <vector>

using namespace velmora;

namespace {
std::vector<std::uint8_t> bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> out;
    for (int v : values)
        out.push_back(static_cast<std::uint8_t>(v));
    return out;
}
} // namespace

TEST(PacketToTextCn, RendersPairsAsPercentGroupsAndControlsAsDots) {
    struct Case {
        std::vector<std::uint8_t> frame;
        std::u16string text;
    };
    const Case cases[] = {
        {bytes({0xD6, 0xD0}), u"%D6%D0"},
        {bytes({0xD6, 'A'}), u"·A"},            // lone high byte
        {bytes({'a', 0xD6}), u"a·"},            // high byte in the last position
        {bytes({0x80}), u"\u20AC"},             // 0x80 takes the single-byte path
        {bytes({0x0D, 0x0A}), u"··"},
        {bytes({0x00, 0x1F, 0x20, 0x7F}), u"·· \x7F"},
        {bytes({0xFF, 0x81, 0x81}), u"%FF%81·"}, // pairs are taken left to right
        {bytes({'G', 'E', 'T', ' ', '/'}), u"GET /"},
        {bytes({}), u""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PacketToTextCn(c.frame), c.text);
}

TEST(PacketToText, GivesOneCharacterPerByte) {
    const auto frame = bytes({0x0D, 0x0A, 'G', 0x80, 0xD6, 0xD0, 0x00});
    const std::u16string text = PacketToText(frame);
    ASSERT_EQ(text.size(), frame.size());
    EXPECT_EQ(text, u"··G\u20AC\uFFFD\uFFFD·");
}

TEST(DecodeCnEscapes, DecodesOnlyHighBytePairs) {
    struct Case {
        std::u16string in;
        std::u16string out;
    };
    const Case cases[] = {
        {u"no escapes", u"no escapes"},
        {u"/%D6%D0%CE%C4.mp4", u"/中文.mp4"},
        {u"%d6%d0", u"中"},                   // lower-case digits
        {u"%D6%41", u"%D6%41"},               // second byte below 129
        {u"a%2Fb", u"a%2Fb"},                 // single-byte groups stay
        {u"a%20", u"a "},                     // the walk ends on a group: %20 becomes a space
        {u"a%20b", u"a%20b"},                 // the walk ends on plain text: nothing replaced
        {u"x%20%D6%D0", u"x 中"},
        {u"abc%", u"abc%"},                   // a percent sign at the very end
        {u"%", u"%"},
        {u"%D6", u"%D6"},
        {u"%D6%D", u"%D6%D"},
        {u"%9g%D0tail", u"%9g%D0tail"},       // not hexadecimal: kept whole
        {u"%A1%40", u"%A1%40"},               // trail below 129
        {u"%FF%FF", u"%FF%FF"},               // GBK does not map the pair: kept whole
        {u"%D6 %D0", u"%D6 %D0"},
        {u"100%%D6%D0", u"100%%D6%D0"},       // "%%D" has a non-hex digit: its value is below 129
    };
    for (const auto& c : cases)
        EXPECT_EQ(DecodeCnEscapes(c.in), c.out) << std::string(c.in.begin(), c.in.end());
}

// A run of groups that is valid UTF-8 with a 3- or 4-byte sequence is UTF-8; anything else is read as GBK.
TEST(DecodeCnEscapes, DecodesUtf8RunsThatHoldAWideSequence) {
    struct Case {
        std::u16string in;
        std::u16string out;
    };
    const Case cases[] = {
        {u"/%E4%B8%AD%E6%96%87.mp4", u"/中文.mp4"},
        {u"/%e4%b8%ad.mp4", u"/中.mp4"},
        {u"/a%2F%E4%B8%AD.mp4", u"/a%2F中.mp4"},    // single-byte groups stay
        {u"/%E4%B8%AD%2f%E6%96%87", u"/中%2f文"},   // also inside the run, as written
        {u"/%D6%D0%CE%C4.flv", u"/中文.flv"},       // not UTF-8: GBK
        {u"/%C3%A9.mp4", u"/茅.mp4"},               // valid, but no 3-byte sequence: GBK
        {u"/%C3%A9%E4%B8%AD.mp4", u"/é中.mp4"},     // 2-byte sequences decode inside a wide run
        {u"/%E4%B8%AD%E6.mp4", u"/涓%AD%E6.mp4"},   // cut off: GBK
        {u"/%F0%9F%8E%AC.mkv", u"/\U0001F3AC.mkv"}, // outside the BMP: a surrogate pair
        {u"/%C0%AF%E4%B8%AD", u"/蜡中"},            // overlong: GBK pair, then a run of its own
        {u"/%ED%A0%80%E4%B8%AD", u"/頎%80中"},      // a surrogate is not UTF-8 either
        {u"/%E4%B8%AD%20", u"/中 "},                // the walk ends on a group: %20 is a space
        {u"/%E4%B8%AD%20x", u"/中%20x"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DecodeCnEscapes(c.in), c.out) << std::string(c.in.begin(), c.in.end());
}

TEST(DecodeCnEscapes, RoundTripsTheRendering) {
    const auto frame = bytes({'/', 0xCA, 0xD3, 0xC6, 0xB5, '.', 'f', 'l', 'v'});
    EXPECT_EQ(DecodeCnEscapes(PacketToTextCn(frame)), u"/视频.flv");
}

TEST(HexToCed, ReadsDigitsAndCountsTheRestAsZero) {
    EXPECT_EQ(HexToCed(u"a"), 10);
    EXPECT_EQ(HexToCed(u"F"), 15);
    EXPECT_EQ(HexToCed(u"9"), 9);
    EXPECT_EQ(HexToCed(u"g"), 0);
    EXPECT_EQ(HexToCed(u""), 0);
    EXPECT_EQ(HexToCed(u"1f"), 0);
    EXPECT_EQ(HexToCed1(u"FF"), 255);
    EXPECT_EQ(HexToCed1(u"A"), 10);
    EXPECT_EQ(HexToCed1(u""), 0);
    EXPECT_EQ(HexToCed1(u"ABC"), 0);
    EXPECT_EQ(HexToCed1(u"9g"), 144);
}
