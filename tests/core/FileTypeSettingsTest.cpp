#include "settings/FileTypeSettings.h"
#include "TempSettingsTest.h"
#include "capture/Gbk.h"
#include "settings/DefaultSettings.h"
#include "settings/LeadingNumber.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>

using namespace velmora;
using velmora::test::ReadBytes;
using velmora::test::WriteBytes;
namespace fs = std::filesystem;

namespace {

const fs::path kDefaultSettings = fs::path(VELMORA_SOURCE_DIR) / "resources" / "setting.ini";

class FileTypeSettingsTest : public test::TempSettingsTest {};

FileTypeTable Rows(int count) {
    FileTypeTable table;
    const char16_t* types[] = {u"视频", u"音频", u"图片", u"其它"};
    for (int i = 0; i < count; ++i)
        table.Append({u".e" + utf8::ToU16(std::to_string(i)), types[i % 4], i % 2 ? u"禁用" : u""});
    return table;
}

void ExpectSameRows(const FileTypeTable& actual, const FileTypeTable& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        EXPECT_EQ(actual[i].extension, expected[i].extension) << i;
        EXPECT_EQ(actual[i].typeName, expected[i].typeName) << i;
        EXPECT_EQ(actual[i].state, expected[i].state) << i;
    }
}

TEST_F(FileTypeSettingsTest, TheDefaultFileHoldsTheShippedTable) {
    const std::string bytes = ReadBytes(kDefaultSettings);
    ASSERT_FALSE(bytes.empty());
    EXPECT_FALSE(utf8::IsValid(bytes)); // GBK
    EXPECT_EQ(bytes.find('\n'), bytes.find("\r\n") + 1);
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), std::count(bytes.begin(), bytes.end(), '\r'));

    fs::copy_file(kDefaultSettings, path_);
    EXPECT_EQ(ReadMinimumLength(settings_), "100");
    const FileTypeTable table = LoadFileTypeTable(settings_);
    ASSERT_EQ(table.size(), 34u);
    EXPECT_EQ(table[0].extension, u".flv");
    EXPECT_EQ(table[33].extension, u".swf");
    EXPECT_EQ(table[33].typeName, u"其它");
    int disabled = 0;
    for (const FileTypeRow& row : table.Rows()) {
        const bool picture = row.typeName == u"图片";
        EXPECT_EQ(row.state, picture || row.extension == u".ts" || row.extension == u".m4s" ? u"禁用" : u"") << utf8::FromU16(row.extension);
        disabled += row.state == kDisabledState;
    }
    EXPECT_EQ(disabled, 8);
    // The order matters: .avif before .avi, .rmvb before .rm.
    EXPECT_EQ(table.Classify(u"http://h/a.avif", 10), std::nullopt);
    EXPECT_EQ(table.Classify(u"http://h/a.AVI", 10), u"视频");
    EXPECT_EQ(table.Classify(u"http://h/a.rmvb", 10), u"视频");
    EXPECT_EQ(table.Classify(u"http://h/seg1.ts", 13), std::nullopt);
    EXPECT_EQ(table.Classify(u"http://h/a.m3u8?t=1", 10), u"视频");
    EXPECT_EQ(table.Classify(u"http://h/a.flac", 10), u"音频");
    EXPECT_EQ(table.Classify(u"http://h/a.html", 10), std::nullopt);
    // Media types: a row's own, a disabled row's (DASH segments stay quiet as .ts ones do), and the
    // video and audio types no row names.
    EXPECT_EQ(table.ClassifyMediaType("audio/mpeg"), u"音频");
    EXPECT_EQ(table.ClassifyMediaType("application/x-mpegurl"), u"视频");
    EXPECT_EQ(table.ClassifyMediaType("video/iso.segment"), std::nullopt);
    EXPECT_EQ(table.ClassifyMediaType("video/mp2t"), std::nullopt);
    EXPECT_EQ(table.ClassifyMediaType("image/jpeg"), std::nullopt);
    EXPECT_EQ(table.ClassifyMediaType("video/x-new-format"), u"视频");
    EXPECT_EQ(table.ClassifyMediaType("audio/opus"), u"音频");
    EXPECT_EQ(table.ClassifyMediaType("text/html"), std::nullopt);
    EXPECT_EQ(table.ClassifyMediaType(""), std::nullopt);

    // The shipped file is exactly what the program itself writes for that table.
    ASSERT_TRUE(FileType(table, settings_));
    EXPECT_EQ(ReadBytes(path_), bytes);
    fs::remove(path_);
    ASSERT_TRUE(settings_.WriteIniString("FiterLong", "Long", "100"));
    ASSERT_TRUE(FileType(table, settings_));
    EXPECT_EQ(ReadBytes(path_), bytes);
    EXPECT_TRUE(errors_.empty());
}

TEST_F(FileTypeSettingsTest, ASaveHoldsExactlyTheCurrentRows) {
    WriteBytes(path_,
               "[FiterLong]\r\nLong=100\r\n[FileType]\r\nCount=9\r\nExtName9=.old\r\n[Adaptors]\r\nAdaptorUsed=1\r\n");
    ASSERT_TRUE(FileType(Rows(5), settings_));
    ExpectSameRows(LoadFileTypeTable(settings_), Rows(5));
    ASSERT_TRUE(FileType(Rows(2), settings_));
    ExpectSameRows(LoadFileTypeTable(settings_), Rows(2));

    const auto section = settings_.GetIniSection("FileType");
    EXPECT_EQ(section.size(), 9u);
    for (const char* key : {"count", "extname1", "type1", "value1", "mime1", "extname2", "type2", "value2", "mime2"})
        EXPECT_TRUE(section.contains(key)) << key;
    EXPECT_EQ(settings_.GetIniString("FileType", "Value2"), "禁用");
    EXPECT_EQ(ReadBytes(path_).find("ExtName0"), std::string::npos); // numbered from 1
    EXPECT_EQ(ReadBytes(path_).find("ExtName3"), std::string::npos);
    EXPECT_EQ(ReadBytes(path_).find(".old"), std::string::npos);
    // The other sections are untouched.
    EXPECT_EQ(settings_.GetIniString("FiterLong", "Long"), "100");
    EXPECT_EQ(settings_.GetIniString("Adaptors", "AdaptorUsed"), "1");

    ASSERT_TRUE(FileType(FileTypeTable(), settings_));
    EXPECT_TRUE(LoadFileTypeTable(settings_).empty());
    EXPECT_EQ(settings_.GetIniString("FileType", "Count"), "0");

    // Toggling one row writes its state key alone.
    ASSERT_TRUE(FileType(Rows(2), settings_));
    ASSERT_TRUE(WriteFileTypeState(settings_, 1, u""));
    EXPECT_NE(ReadBytes(path_).find("Value2=\r\n"), std::string::npos);
    EXPECT_EQ(LoadFileTypeTable(settings_)[1].state, u"");
    EXPECT_TRUE(errors_.empty());
}

TEST_F(FileTypeSettingsTest, CountIsReadForgivingly) {
    const std::string rows = "ExtName1=.a\r\nType1=视频\r\nValue1=\r\nExtName2=.b\r\nType2=音频\r\nValue2=禁用\r\n";
    struct Case {
        const char* count; // nullptr: no Count key at all
        std::size_t rows;
    };
    for (const Case& c :
         {Case{nullptr, 0}, Case{"", 0}, Case{"-1", 0}, Case{"abc", 0}, Case{"0", 0}, Case{"1", 1}, Case{" 2", 2},
          Case{"2abc", 2}, Case{"2.9", 2}, Case{"99999999999999999999", 2}, Case{"40000", 2}}) {
        SCOPED_TRACE(c.count ? c.count : "(missing)");
        std::string file = "[FileType]\r\n";
        if (c.count)
            file += std::string("Count=") + c.count + "\r\n";
        WriteBytes(path_, file + rows);
        EXPECT_EQ(LoadFileTypeTable(settings_).size(), c.rows);
    }
    // Rows the file does not hold are skipped; a row with a present but empty key is kept as it is.
    WriteBytes(path_, "[FileType]\r\nCount=4\r\nExtName1=.a\r\nType3=\r\nExtName4=.d\r\nValue4=禁用\r\n");
    const FileTypeTable table = LoadFileTypeTable(settings_);
    ASSERT_EQ(table.size(), 3u);
    EXPECT_EQ(table[0].extension, u".a");
    EXPECT_EQ(table[0].typeName, u"");
    EXPECT_EQ(table[1].extension, u"");
    EXPECT_EQ(table[2].extension, u".d");
    EXPECT_EQ(table[2].state, u"禁用");
}

TEST_F(FileTypeSettingsTest, MediaTypesAndTheSwitchSurviveOlderFilesAndSaves) {
    // A file from before media types: each row gets the usual ones for its extension; a key the user
    // emptied stays empty; the switch is on until the file says 0, and a save of the table keeps it.
    WriteBytes(path_, "[FileType]\r\nCount=3\r\nExtName1=.MP4\r\nType1=x\r\nExtName2=.mp3\r\nMime2=\r\n"
                      "ExtName3=.bin\r\nMime3=Video/X-Own, audio/own\r\n");
    FileTypeTable table = LoadFileTypeTable(settings_);
    ASSERT_EQ(table.size(), 3u);
    EXPECT_EQ(table[0].mediaTypes, u"video/mp4");
    EXPECT_EQ(table[1].mediaTypes, u"");
    EXPECT_EQ(table.ClassifyMediaType("video/mp4"), u"x");
    EXPECT_EQ(table.ClassifyMediaType("audio/own"), table[2].typeName);
    EXPECT_EQ(table.ClassifyMediaType("video/x-own"), table[2].typeName);
    EXPECT_TRUE(ReadByContentType(settings_));
    ASSERT_TRUE(WriteByContentType(settings_, false));
    ASSERT_TRUE(FileType(table, settings_));
    EXPECT_FALSE(ReadByContentType(settings_));
    EXPECT_EQ(LoadFileTypeTable(settings_)[1].mediaTypes, u"");
    EXPECT_TRUE(errors_.empty());
}

TEST_F(FileTypeSettingsTest, AFailingSaveReportsEveryKeyAndKeepsTheOldFile) {
    ASSERT_TRUE(FileType(Rows(3), settings_));
    const std::string before = ReadBytes(path_);
    // A full disk: every rewrite of the file fails part way.
    bool saved = true;
    ASSERT_TRUE(test::WithFileSizeLimit(32, [&] { saved = FileType(Rows(2), settings_); }));

    EXPECT_FALSE(saved);
    ASSERT_EQ(errors_.size(), 9u); // Count and four keys for each of two rows; the deletion says nothing
    for (const SettingsError& e : errors_) {
        EXPECT_EQ(e.title, "Error");
        EXPECT_EQ(e.message, "写入失败！");
        EXPECT_NE(e.detail.find(dir_.string()), std::string::npos) << e.detail;
    }
    EXPECT_EQ(ReadBytes(path_), before);
    ExpectSameRows(LoadFileTypeTable(settings_), Rows(3));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(FileTypeSettingsTest, ARefusedKeyIsReportedAndTheOthersAreSaved) {
    FileTypeTable table = Rows(2);
    table.Append({u".x", u"表情😀", u""}); // GBK has no form for the emoji
    EXPECT_FALSE(FileType(table, settings_));
    ASSERT_EQ(errors_.size(), 1u);
    EXPECT_EQ(errors_[0].message, "写入失败！");
    EXPECT_NE(errors_[0].detail.find("Type3"), std::string::npos) << errors_[0].detail;
    const FileTypeTable loaded = LoadFileTypeTable(settings_);
    ASSERT_EQ(loaded.size(), 3u);
    EXPECT_EQ(loaded[2].extension, u".x");
    EXPECT_EQ(loaded[2].typeName, u"");

    errors_.clear();
    SettingsFile unnamed;
    unnamed.SetErrorHandler([this](const SettingsError& e) { errors_.push_back(e); });
    EXPECT_FALSE(FileType(Rows(1), unnamed));
    EXPECT_EQ(errors_.size(), 5u);
    EXPECT_EQ(errors_[4].message, "未指定INI文件！");
}

TEST(LeadingNumber, TakesTheLeadingNumberOfAText) {
    struct Case {
        std::string_view text;
        std::int64_t value;
    };
    for (const Case& c : {Case{"100", 100}, Case{"100abc", 100}, Case{"", 0}, Case{"abc", 0}, Case{" 12", 12},
                          Case{"\t1 000 ", 1000}, Case{"-5", -5}, Case{"+7x", 7}, Case{"- 3", -3}, Case{"3.9", 3},
                          Case{"0012", 12}, Case{"--1", 0}, Case{"１２", 0}, Case{"9223372036854775807", INT64_MAX},
                          Case{"9223372036854775808", INT64_MAX}, Case{"-9223372036854775808", INT64_MIN},
                          Case{"99999999999999999999999", INT64_MAX}, Case{"-99999999999999999999999", INT64_MIN}}) {
        EXPECT_EQ(ParseLeadingNumber(c.text), c.value) << c.text;
        EXPECT_EQ(ParseLeadingNumber(utf8::ToU16(c.text)), c.value) << c.text;
    }
}

TEST_F(FileTypeSettingsTest, EnsureSettingsFileCopiesTheDefaultOnlyWhenNoneExists) {
    EXPECT_EQ(EnsureSettingsFile(path_.string(), kDefaultSettings.string()), std::nullopt);
    EXPECT_EQ(ReadBytes(path_), ReadBytes(kDefaultSettings));
    EXPECT_EQ(fs::status(path_).permissions() & fs::perms::others_write, fs::perms::none);

    WriteBytes(path_, "[FiterLong]\r\nLong=5\r\n");
    EXPECT_EQ(EnsureSettingsFile(path_.string(), kDefaultSettings.string()), std::nullopt);
    EXPECT_EQ(ReadBytes(path_), "[FiterLong]\r\nLong=5\r\n");

    struct Case {
        fs::path target;
        fs::path source;
        std::string detailNames;
    };
    fs::create_directory(dir_ / "folder.ini");
    WriteBytes(dir_ / "plain", "x");
    for (const Case& c : {Case{dir_ / "new.ini", dir_ / "missing-default.ini", "missing-default.ini"},
                          Case{dir_ / "folder.ini", kDefaultSettings, "folder.ini"},
                          Case{dir_ / "plain" / "setting.ini", kDefaultSettings, "plain"},
                          Case{dir_ / "no-such-folder" / "setting.ini", kDefaultSettings, "no-such-folder"}}) {
        auto error = EnsureSettingsFile(c.target.string(), c.source.string());
        ASSERT_TRUE(error.has_value()) << c.target;
        EXPECT_EQ(error->title, "Error");
        EXPECT_EQ(error->message, "无法创建设置文件！");
        EXPECT_NE(error->detail.find(c.detailNames), std::string::npos) << error->detail;
    }
    EXPECT_FALSE(fs::exists(dir_ / "new.ini"));
}

} // namespace
