#include "capture/FileTypeTable.h"

#include <gtest/gtest.h>

#include <optional>

using namespace velmora;

namespace {

// Classifies an address at the position of its last '.', as the extraction finds the extension.
std::optional<std::u16string> ClassifyAtLastDot(const FileTypeTable& table, std::u16string_view address) {
    return table.Classify(address, address.rfind(u'.'));
}

TEST(FileTypeTable, TheFirstMatchingRowDecides) {
    const FileTypeTable rmFirst({{u".rm", u"视频", u""}, {u".rmvb", u"其它", u"禁用"}});
    const FileTypeTable rmvbFirst({{u".rmvb", u"其它", u"禁用"}, {u".rm", u"视频", u""}});
    struct Case {
        std::u16string_view address;
        std::optional<std::u16string> rmFirst;
        std::optional<std::u16string> rmvbFirst;
    };
    const Case cases[] = {
        // ".rm" is a prefix of ".rmvb": whichever row stands first decides.
        {u"http://a/b/film.rmvb", u"视频", std::nullopt},   {u"http://a/b/film.RMVB", u"视频", std::nullopt},
        {u"http://a/b/film.rm", u"视频", u"视频"},          {u"http://a/b/film.Rm", u"视频", u"视频"},
        {u"http://a/b/film.rmx", u"视频", u"视频"}, // a prefix match, as the original compares
        {u"http://a/b/film.r", std::nullopt, std::nullopt}, {u"http://a/b/film.mp4", std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.address.begin(), c.address.end()));
        EXPECT_EQ(ClassifyAtLastDot(rmFirst, c.address), c.rmFirst);
        EXPECT_EQ(ClassifyAtLastDot(rmvbFirst, c.address), c.rmvbFirst);
    }
}

TEST(FileTypeTable, UpperCaseInAddressesAndRowsAndQueryStrings) {
    const FileTypeTable table({{u".ASF", u"视频", u"使用"}, {u".mp3", u"音频", u""}, {u".jpg", u"图片", u"禁用"}});
    EXPECT_EQ(ClassifyAtLastDot(table, u"http://h/x.asf"), u"视频");
    EXPECT_EQ(table.Classify(u"http://h/x.AsF?id=1.2", 10), u"视频");
    EXPECT_EQ(ClassifyAtLastDot(table, u"HTTP://H/SONG.MP3"), u"音频");
    EXPECT_EQ(ClassifyAtLastDot(table, u"http://h/p.JPG"), std::nullopt);
    // Only exactly "禁用" blocks.
    const FileTypeTable almost({{u".jpg", u"图片", u"禁用 "}});
    EXPECT_EQ(ClassifyAtLastDot(almost, u"http://h/p.jpg"), u"图片");
}

TEST(FileTypeTable, EmptyTablesEmptyExtensionsAndShortAddresses) {
    EXPECT_EQ(ClassifyAtLastDot(FileTypeTable(), u"http://h/a.mp4"), std::nullopt);

    // A row with an empty extension matches every address, so it decides for everything after it.
    const FileTypeTable catchAll({{u".mp4", u"视频", u""}, {u"", u"其它", u""}, {u".mp3", u"音频", u""}});
    EXPECT_EQ(ClassifyAtLastDot(catchAll, u"http://h/a.mp4"), u"视频");
    EXPECT_EQ(ClassifyAtLastDot(catchAll, u"http://h/a.mp3"), u"其它");
    EXPECT_EQ(catchAll.Classify(u"http://h/a", 10), u"其它"); // at the very end

    // The slice is shorter than the extension, or the position lies beyond the address: no match.
    const FileTypeTable table({{u".mpeg", u"视频", u""}});
    EXPECT_EQ(ClassifyAtLastDot(table, u"http://h/a.mpe"), std::nullopt);
    EXPECT_EQ(table.Classify(u"http://h/a.mpeg", 99), std::nullopt);
}

TEST(FileTypeTable, EditsChangeTheNextClassification) {
    FileTypeTable table({{u".rm", u"视频", u""}, {u".rmvb", u"音频", u""}});
    table.SetState(0, std::u16string(kDisabledState));
    EXPECT_EQ(ClassifyAtLastDot(table, u"http://h/a.rmvb"), std::nullopt);
    table.Remove(0);
    EXPECT_EQ(ClassifyAtLastDot(table, u"http://h/a.rmvb"), u"音频");
    table.Append({u".RM", u"视频", u""});
    EXPECT_EQ(table.Find(u".rm"), 1u);
    EXPECT_EQ(table.Find(u".mp4"), std::nullopt);
    EXPECT_EQ(ClassifyAtLastDot(table, u"http://h/a.Rm"), u"视频");
    table.Remove(7); // out of range: nothing happens
    EXPECT_EQ(table.size(), 2u);
}

} // namespace
