#include "settings/SettingsFile.h"
#include "TempSettingsTest.h"
#include "capture/Gbk.h"
#include "settings/IniDocument.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <random>

using namespace velmora;
using velmora::test::ReadBytes;
using velmora::test::WriteBytes;
namespace fs = std::filesystem;

namespace {

class SettingsFileTest : public test::TempSettingsTest {};

TEST_F(SettingsFileTest, MissingFileReadsEmptyAndNamesMatchWithoutCase) {
    EXPECT_EQ(settings_.GetIniString("DownloadPath", "Path"), "");
    EXPECT_FALSE(fs::exists(path_));

    ASSERT_TRUE(settings_.WriteIniString("DownloadPath", "path", "/opt/下载/ares"));
    EXPECT_EQ(settings_.GetIniString("DownloadPath", "Path"), "/opt/下载/ares");
    EXPECT_EQ(settings_.GetIniString("DOWNLOADPATH", "PATH"), "/opt/下载/ares");
    EXPECT_EQ(settings_.GetIniString("DownloadPath", "Other"), "");
    EXPECT_EQ(settings_.GetIniString("Adaptors", "Path"), "");

    ASSERT_TRUE(settings_.WriteIniString("downloadpath", "PATH", "/usr/bin/x"));
    EXPECT_EQ(settings_.GetIniString("DownloadPath", "path"), "/usr/bin/x");
    // One entry, written in the program's encoding and line endings, under the spelling it first got.
    EXPECT_EQ(ReadBytes(path_), "[DownloadPath]\r\npath=/usr/bin/x\r\n");
    EXPECT_TRUE(errors_.empty());
}

TEST_F(SettingsFileTest, NoFileNameReadsEmptyAndRefusesWrites) {
    SettingsFile unnamed;
    std::vector<SettingsError> errors;
    unnamed.SetErrorHandler([&](const SettingsError& e) { errors.push_back(e); });
    EXPECT_EQ(unnamed.GetIniString("FiterLong", "Long"), "");
    EXPECT_FALSE(unnamed.WriteIniString("FiterLong", "Long", "100"));
    unnamed.DeleteIniSection("FiterLong");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].title, "Error");
    EXPECT_EQ(errors[0].message, "未指定INI文件！");
}

TEST_F(SettingsFileTest, WrittenValuesReadBackIdenticallyInGbk) {
    const std::vector<std::string> values = {"禁用",
                                             "视频",
                                             "",
                                             "C:\\Program Files\\影音传送带\\a.exe",
                                             "a = b ; c",
                                             "€ 价格 100",
                                             std::string(254, 'x'),
                                             "[not a section]"};
    for (std::size_t i = 0; i < values.size(); ++i)
        ASSERT_TRUE(settings_.WriteIniString("FileType", "Value" + std::to_string(i), values[i]));
    for (std::size_t i = 0; i < values.size(); ++i)
        EXPECT_EQ(settings_.GetIniString("FileType", "Value" + std::to_string(i)), values[i]) << i;

    const std::string bytes = ReadBytes(path_);
    EXPECT_NE(bytes.find("Value0=\xBD\xFB\xD3\xC3\r\n"), std::string::npos); // 禁用 in GBK
    EXPECT_NE(bytes.find("\r\nValue2=\r\n"), std::string::npos);             // empty value kept as "key="
    EXPECT_NE(bytes.find("Value5=\x80 "), std::string::npos);                // the euro sign is one byte
    EXPECT_FALSE(utf8::IsValid(bytes));
}

TEST_F(SettingsFileTest, LongValuesAreCutTo254BytesWithoutSplittingACharacter) {
    const std::string a252(252, 'a');
    const std::string a253(253, 'a');
    const std::string a251(251, 'a');
    // GBK file (written by us): 中 is two bytes.
    ASSERT_TRUE(settings_.WriteIniString("S", "Long300", std::string(300, 'z')));
    ASSERT_TRUE(settings_.WriteIniString("S", "Split", a253 + "中文"));
    ASSERT_TRUE(settings_.WriteIniString("S", "Exact", a252 + "中文"));
    std::string videos;
    for (int i = 0; i < 15; ++i)
        videos += "视频";
    ASSERT_TRUE(settings_.WriteIniString("S", "Chinese", std::string(200, 'b') + videos));
    EXPECT_EQ(settings_.GetIniString("S", "Long300"), std::string(254, 'z'));
    EXPECT_EQ(settings_.GetIniString("S", "Split"), a253);
    EXPECT_EQ(settings_.GetIniString("S", "Exact"), a252 + "中");
    // 200 + 27 whole characters of two bytes = 254.
    std::string chinese = settings_.GetIniString("S", "Chinese");
    EXPECT_EQ(gbk::Encode(utf8::ToU16(chinese))->size(), 254u);
    EXPECT_TRUE(utf8::IsValid(chinese));

    // UTF-8 file (edited by hand): 中 is three bytes.
    WriteBytes(path_, "[S]\nSplit=" + a253 + "中\nSplit2=" + a252 + "中\nExact=" + a251 + "中文\n");
    EXPECT_EQ(settings_.GetIniString("S", "Split"), a253);
    EXPECT_EQ(settings_.GetIniString("S", "Split2"), a252);
    EXPECT_EQ(settings_.GetIniString("S", "Exact"), a251 + "中");
}

TEST_F(SettingsFileTest, FollowsTheProfileFunctionsInTheCornerCases) {
    WriteBytes(path_, "orphan=before any section\r\n"
                      "[Adaptors]\r\n"
                      "  AdaptorUsed  =   2   \r\n"
                      "; AdaptorUsed=9\r\n"
                      "AdaptorUsed=3\r\n"
                      "quoted=\"  spaced  \"\r\n"
                      "single='x'\r\n"
                      "unbalanced=\"x\r\n"
                      "no equals sign here\r\n"
                      "=nameless\r\n"
                      "\r\n"
                      "[ adaptors ]\r\n"
                      "Second=only in the duplicate section\r\n"
                      "[Other]\r\n"
                      "k=v\r\n");
    EXPECT_EQ(settings_.GetIniString("Adaptors", "AdaptorUsed"), "2");
    EXPECT_EQ(settings_.GetIniString("Adaptors", "quoted"), "  spaced  ");
    EXPECT_EQ(settings_.GetIniString("Adaptors", "single"), "x");
    EXPECT_EQ(settings_.GetIniString("Adaptors", "unbalanced"), "\"x");
    EXPECT_EQ(settings_.GetIniString("Adaptors", "no equals sign here"), "");
    EXPECT_EQ(settings_.GetIniString("Adaptors", "Second"), ""); // only the first section of a name counts
    EXPECT_EQ(settings_.GetIniString("", "orphan"), "");
    EXPECT_EQ(settings_.GetIniString("Other", "K"), "v");

    // A write changes the first key of the first section, keeps its indentation, and nothing else.
    ASSERT_TRUE(settings_.WriteIniString("ADAPTORS", "adaptorused", "0"));
    ASSERT_TRUE(settings_.WriteIniString("Adaptors", "Second", "new"));
    EXPECT_EQ(ReadBytes(path_), "orphan=before any section\r\n"
                                "[Adaptors]\r\n"
                                "  AdaptorUsed=0\r\n"
                                "; AdaptorUsed=9\r\n"
                                "AdaptorUsed=3\r\n"
                                "quoted=\"  spaced  \"\r\n"
                                "single='x'\r\n"
                                "unbalanced=\"x\r\n"
                                "Second=new\r\n"
                                "no equals sign here\r\n"
                                "=nameless\r\n"
                                "\r\n"
                                "[ adaptors ]\r\n"
                                "Second=only in the duplicate section\r\n"
                                "[Other]\r\n"
                                "k=v\r\n");

    // Deleting removes every section of the name, and only those.
    settings_.DeleteIniSection("adaptors");
    EXPECT_EQ(ReadBytes(path_), "orphan=before any section\r\n[Other]\r\nk=v\r\n");
    settings_.DeleteIniSection("Missing");
    EXPECT_TRUE(errors_.empty());
}

TEST_F(SettingsFileTest, ReadsAGbkFileWrittenByAnotherProgram) {
    // Bytes as the Windows profile functions leave them in code page 936.
    WriteBytes(path_, "[Adaptors]\r\nAdaptorUsed=1\r\n"
                      "[DownloadPath]\r\nPath=C:\\Program Files\\\xD3\xB0\xD2\xF4\xB4\xAB\xCB\xCD\xB4\xF8\\a.exe\r\n"
                      "[FiterLong]\r\nLong=100\r\n"
                      "[FileType]\r\nCount=1\r\nExtName1=.rmvb\r\nType1=\xCA\xD3\xC6\xB5\r\nValue1=\xBD\xFB\xD3\xC3\r\n"
                      // A name whose second byte is ']' and one whose second byte is 'A': both inside one character.
                      "[\xB5\x5D]\r\nkey=bracket\r\n"
                      "[S]\r\n\xD6\x41=upper trail\r\n");
    EXPECT_EQ(settings_.GetIniString("DownloadPath", "Path"), "C:\\Program Files\\影音传送带\\a.exe");
    EXPECT_EQ(settings_.GetIniString("FileType", "Type1"), "视频");
    EXPECT_EQ(settings_.GetIniString("FileType", "Value1"), "禁用");
    EXPECT_EQ(settings_.GetIniString(utf8::FromU16(std::u16string(1, gbk::Pair(0xB5, 0x5D))), "key"), "bracket");
    EXPECT_EQ(settings_.GetIniString("S", "諥"), "upper trail");
    // Case folding must not touch a trail byte: 0xD6 0x61 is a different character.
    EXPECT_EQ(settings_.GetIniString("S", utf8::FromU16(std::u16string(1, gbk::Pair(0xD6, 0x61)))), "");

    // A character GBK lacks cannot go into a GBK file: refused, file untouched, never silently re-encoded.
    const std::string before = ReadBytes(path_);
    EXPECT_FALSE(settings_.WriteIniString("DownloadPath", "path", "/home/😀/a"));
    EXPECT_EQ(Messages(), std::vector<std::string>{"写入失败！"});
    EXPECT_NE(errors_[0].detail.find("GBK"), std::string::npos);
    EXPECT_EQ(ReadBytes(path_), before);

    // 茅抹 in GBK happens to be valid UTF-8 ("éĨ"): still GBK, and a write keeps it GBK.
    WriteBytes(path_, "[DownloadPath]\r\nPath=D:\\\xC3\xA9\xC4\xA8\\a.exe\r\n");
    EXPECT_EQ(settings_.GetIniString("DownloadPath", "Path"), "D:\\茅抹\\a.exe");
    ASSERT_TRUE(settings_.WriteIniString("FileType", "Value1", "禁用"));
    EXPECT_EQ(ReadBytes(path_), "[DownloadPath]\r\nPath=D:\\\xC3\xA9\xC4\xA8\\a.exe\r\n\r\n"
                                "[FileType]\r\nValue1=\xBD\xFB\xD3\xC3\r\n");
}

TEST_F(SettingsFileTest, Utf8FileEditedByHandStaysUtf8) {
    for (const std::string bom : {"", "\xEF\xBB\xBF"}) {
        SCOPED_TRACE(bom.empty() ? "without BOM" : "with BOM");
        WriteBytes(path_, bom + "# edited in vim\n[FileType]\nCount=1\nExtName1=.mkv\nType1=视频\nValue1=\n");
        EXPECT_EQ(settings_.GetIniString("FileType", "Type1"), "视频");
        ASSERT_TRUE(settings_.WriteIniString("FileType", "Value1", "禁用"));
        ASSERT_TRUE(settings_.WriteIniString("DownloadPath", "path", "/home/😀/a"));
        // Stays UTF-8 (and LF-only, with its BOM if it had one); the other lines are byte for byte the same.
        EXPECT_EQ(ReadBytes(path_), bom +
                                        "# edited in vim\n[FileType]\nCount=1\nExtName1=.mkv\nType1=视频\nValue1=禁用\n"
                                        "\n[DownloadPath]\npath=/home/😀/a\n");
        EXPECT_EQ(settings_.GetIniString("DownloadPath", "Path"), "/home/😀/a");
    }
    // "中a" in UTF-8 is also clean GBK; once "é" replaces it, only a byte order mark keeps the file UTF-8.
    WriteBytes(path_, "[A]\nk=中a\n");
    EXPECT_EQ(settings_.GetIniString("A", "k"), "中a");
    ASSERT_TRUE(settings_.WriteIniString("A", "k", "é"));
    EXPECT_EQ(ReadBytes(path_), "\xEF\xBB\xBF[A]\nk=é\n");
    EXPECT_EQ(settings_.GetIniString("A", "k"), "é");
    // ASCII-only is read as GBK: a Chinese value then goes in as GBK.
    WriteBytes(path_, "[FileType]\nCount=0\n");
    ASSERT_TRUE(settings_.WriteIniString("FileType", "Type1", "视频"));
    EXPECT_EQ(ReadBytes(path_), "[FileType]\nCount=0\nType1=\xCA\xD3\xC6\xB5\n");
    EXPECT_TRUE(errors_.empty());
}

TEST_F(SettingsFileTest, LineEndingsOfTheFileAreKept) {
    // A last line without an ending gets one before a key is added after it.
    WriteBytes(path_, "[A]\r\nx=1");
    ASSERT_TRUE(settings_.WriteIniString("A", "y", "2"));
    EXPECT_EQ(ReadBytes(path_), "[A]\r\nx=1\r\ny=2\r\n");
    // Mixed endings: an LF line stays LF when its value changes; new lines get CRLF.
    WriteBytes(path_, "[A]\nx=1\r\n;c\n");
    ASSERT_TRUE(settings_.WriteIniString("A", "x", "9"));
    ASSERT_TRUE(settings_.WriteIniString("B", "z", "3"));
    EXPECT_EQ(ReadBytes(path_), "[A]\nx=9\r\n;c\n\r\n[B]\r\nz=3\r\n");
    // A key is added after the section's last key, before the blank line and comment heading the next one.
    WriteBytes(path_, "[A]\r\nx=1\r\n\r\n; about B\r\n[B]\r\nz=3\r\n");
    ASSERT_TRUE(settings_.WriteIniString("A", "y", "2"));
    EXPECT_EQ(ReadBytes(path_), "[A]\r\nx=1\r\ny=2\r\n\r\n; about B\r\n[B]\r\nz=3\r\n");
}

TEST_F(SettingsFileTest, DamagedFilesAreReadAsFarAsTheyMakeSense) {
    const std::string longLine(1 << 20, 'q');
    WriteBytes(path_, std::string("\x00\x01\xFF\xFE junk\x00\r\n", 12) +
                          "[Good]\r\n"
                          "nul=ab" +
                          std::string(1, '\0') + "cd\r\n" + longLine + "\r\n" + "long=" + longLine +
                          "\r\n"
                          "[\r\n"
                          "lonely=bracket\r\n"
                          "[Broken\r\n"
                          "k=v\r\n");
    EXPECT_EQ(settings_.GetIniString("Good", "nul"), "ab");
    EXPECT_EQ(settings_.GetIniString("Good", "long"), std::string(254, 'q'));
    EXPECT_EQ(settings_.GetIniString("", "lonely"), "bracket");
    EXPECT_EQ(settings_.GetIniString("Broken", "k"), "v"); // a missing ']' still opens the section
    EXPECT_EQ(settings_.GetIniString("Good", "k"), "");

    // A write keeps the junk as it was and changes only its own line.
    const std::string before = ReadBytes(path_);
    ASSERT_TRUE(settings_.WriteIniString("Broken", "k", "w"));
    std::string expected = before;
    expected.replace(expected.rfind("k=v"), 3, "k=w");
    EXPECT_EQ(ReadBytes(path_), expected);

    // Bad names and line breaks in values would damage the file: refused.
    for (auto [section, key, value] : std::vector<std::array<std::string, 3>>{
             {"A", "k", "two\nlines"}, {"A", "k=x", "v"}, {"", "k", "v"}, {"A", " ", "v"}, {"A", ";k", "v"}}) {
        errors_.clear();
        EXPECT_FALSE(settings_.WriteIniString(section, key, value)) << key;
        EXPECT_EQ(Messages(), std::vector<std::string>{"写入失败！"});
    }
    EXPECT_EQ(ReadBytes(path_), expected);
}

// Any document, however damaged: what is written is what is read back, and the rest of the file is kept.
TEST(IniDocument, RandomDocumentsReadBackWhatWasWritten) {
    std::mt19937 random(20240611);
    const std::vector<std::string> pieces = {"[",
                                             "]",
                                             "=",
                                             ";",
                                             " ",
                                             "\t",
                                             "\r",
                                             "\n",
                                             "\r\n",
                                             "A",
                                             "k",
                                             "s",
                                             "Count",
                                             "\xD6\xD0",
                                             "\xB5\x5D",
                                             "\xE4\xB8\xAD",
                                             "\xEF\xBB\xBF",
                                             "\"",
                                             std::string(1, '\0'),
                                             "\xFF",
                                             "\x80"};
    const std::vector<std::string> values = {"", "1", "视频", "a b", "C:\\x\\影音传送带.exe", std::string(254, 'v')};
    for (int round = 0; round < 3000; ++round) {
        std::string bytes;
        int count = static_cast<int>(random() % 40);
        for (int i = 0; i < count; ++i)
            bytes += pieces[random() % pieces.size()];
        IniDocument document = IniDocument::Parse(bytes);
        const std::string section = random() % 2 ? "s" : "A";
        const std::string key = random() % 2 ? "k" : "Count";
        const std::string& value = values[random() % values.size()];
        const IniEncoding encoding = document.Encoding();
        if (random() % 3 == 0)
            document.RemoveSection(section);
        ASSERT_EQ(document.SetValue(section, key, value), std::nullopt) << round;
        IniDocument reread = IniDocument::Parse(document.Serialize());
        ASSERT_EQ(reread.Encoding(), encoding) << round;
        ASSERT_EQ(reread.Value(section, key, SettingsFile::kValueLimit), value) << round;
        reread.RemoveSection(section);
        ASSERT_FALSE(reread.Value(section, key).has_value()) << round;
    }
}

TEST_F(SettingsFileTest, FailedWritesReportAndLeaveTheOldFileWhole) {
    // Root ignores permission bits, so the failures are ones root meets too.
    // 1. The folder is a regular file.
    const fs::path notAFolder = dir_ / "plain";
    WriteBytes(notAFolder, "x");
    SettingsFile inFile((notAFolder / "setting.ini").string(),
                        [this](const SettingsError& e) { errors_.push_back(e); });
    EXPECT_FALSE(inFile.WriteIniString("A", "k", "v"));
    EXPECT_EQ(inFile.GetIniString("A", "k"), "");
    // 2. The settings path is a folder.
    fs::create_directory(dir_ / "folder.ini");
    SettingsFile folder((dir_ / "folder.ini").string(), [this](const SettingsError& e) { errors_.push_back(e); });
    EXPECT_FALSE(folder.WriteIniString("A", "k", "v"));
    folder.DeleteIniSection("A");
    EXPECT_EQ(Messages(), (std::vector<std::string>{"写入失败！", "写入失败！"}));
    EXPECT_EQ(errors_[0].title, "Error");
    EXPECT_NE(errors_[0].detail.find(notAFolder.string()), std::string::npos) << errors_[0].detail;
    EXPECT_NE(errors_[1].detail.find("folder.ini"), std::string::npos) << errors_[1].detail;
    EXPECT_TRUE(fs::is_directory(dir_ / "folder.ini"));

    // 3. The disk fills up in the middle of the write (a file size limit binds root as well).
    ASSERT_TRUE(settings_.WriteIniString("FiterLong", "Long", "100"));
    ASSERT_TRUE(settings_.WriteIniString("DownloadPath", "path", std::string(200, 'p')));
    const std::string before = ReadBytes(path_);
    errors_.clear();
    bool written = true;
    ASSERT_TRUE(test::WithFileSizeLimit(64, [&] { written = settings_.WriteIniString("FiterLong", "Long", "200"); }));
    EXPECT_FALSE(written);
    EXPECT_EQ(Messages(), std::vector<std::string>{"写入失败！"});
    EXPECT_NE(errors_[0].detail.find("File too large"), std::string::npos) << errors_[0].detail;
    EXPECT_EQ(ReadBytes(path_), before);
    EXPECT_EQ(settings_.GetIniString("FiterLong", "Long"), "100");
    // No temporary file is left behind.
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"folder.ini", "plain", "setting.ini"}));
}

TEST_F(SettingsFileTest, EveryOperationSeesTheFileAsItIsNow) {
    ASSERT_TRUE(settings_.WriteIniString("FiterLong", "Long", "100"));
    SettingsFile other(path_.string());
    ASSERT_TRUE(other.WriteIniString("FiterLong", "Long", "300"));
    EXPECT_EQ(settings_.GetIniString("FiterLong", "Long"), "300");
    WriteBytes(path_, "[FiterLong]\r\nLong=7\r\n");
    EXPECT_EQ(settings_.GetIniString("FiterLong", "Long"), "7");
    fs::remove(path_);
    EXPECT_EQ(settings_.GetIniString("FiterLong", "Long"), "");
    // A link to the settings file stays a link; the file it points to is what changes.
    const fs::path real = dir_ / "real.ini";
    WriteBytes(real, "[FiterLong]\r\nLong=1\r\n");
    fs::create_symlink(real, path_);
    ASSERT_TRUE(settings_.WriteIniString("FiterLong", "Long", "2"));
    EXPECT_TRUE(fs::is_symlink(path_));
    EXPECT_EQ(ReadBytes(real), "[FiterLong]\r\nLong=2\r\n");
}

} // namespace
