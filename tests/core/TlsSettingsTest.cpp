// The key log option: its round trip through setting.ini and the private file it makes when none is set.
#include "settings/TlsSettings.h"
#include "TempSettingsTest.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <variant>

using namespace velmora;
using velmora::test::ReadBytes;
using velmora::test::WriteBytes;
namespace fs = std::filesystem;

namespace {

class TlsSettingsTest : public test::TempSettingsTest {};

unsigned Mode(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

TEST_F(TlsSettingsTest, KeyLogPathRoundTripsAndTheFileItMakesIsPrivate) {
    TlsSettings tls(settings_);
    // Round trip beside the other options, in section [Tls]; a Chinese path survives the file's encoding.
    WriteBytes(path_, "[FiterLong]\r\nLong=100\r\n");
    EXPECT_EQ(tls.KeyLogFile(), "");
    const std::string chosen = (dir_ / "密钥 日志.log").string();
    ASSERT_TRUE(tls.SetKeyLogFile(chosen));
    EXPECT_EQ(TlsSettings(settings_).KeyLogFile(), chosen);
    EXPECT_EQ(settings_.GetIniString("Tls", "KeyLogFile"), chosen);
    EXPECT_EQ(settings_.GetIniString("FiterLong", "Long"), "100");
    // A stored path whose file is missing: made, private, and the path is kept.
    const auto stored = tls.EnsureKeyLogFile((dir_ / "unused").string());
    ASSERT_TRUE(std::holds_alternative<std::string>(stored));
    EXPECT_EQ(std::get<std::string>(stored), chosen);
    EXPECT_EQ(Mode(chosen), 0600u);
    EXPECT_FALSE(fs::exists(dir_ / "unused"));

    // None set: a folder of mode 0700 in the base folder, a file of mode 0600 in it, and its path stored.
    // A umask of 0 must not widen either.
    const mode_t oldMask = ::umask(0);
    ASSERT_TRUE(tls.SetKeyLogFile(""));
    const fs::path runtime = dir_ / "run";
    fs::create_directory(runtime);
    const auto made = tls.EnsureKeyLogFile(runtime.string());
    ASSERT_TRUE(std::holds_alternative<std::string>(made)) << std::get<KeyLogFileError>(made).message;
    const fs::path file = runtime / "velmora" / "tls-keys.log";
    EXPECT_EQ(std::get<std::string>(made), file.string());
    EXPECT_EQ(tls.KeyLogFile(), file.string());
    EXPECT_EQ(Mode(runtime / "velmora"), 0700u);
    EXPECT_EQ(Mode(file), 0600u);
    EXPECT_EQ(fs::file_size(file), 0u);

    // A folder and a file that were already there (wider, with secrets in it): made private, the secrets kept.
    fs::permissions(runtime / "velmora", fs::perms(0755));
    fs::permissions(file, fs::perms(0644));
    WriteBytes(file, "CLIENT_RANDOM 00 11\n");
    const auto again = TlsSettings::CreatePrivateKeyLogFile(runtime.string() + "/");
    ASSERT_TRUE(std::holds_alternative<std::string>(again));
    EXPECT_EQ(std::get<std::string>(again), file.string());
    EXPECT_EQ(Mode(runtime / "velmora"), 0700u);
    EXPECT_EQ(Mode(file), 0600u);
    EXPECT_EQ(ReadBytes(file), "CLIENT_RANDOM 00 11\n");

    // A cache folder that does not exist yet is made (0700) on the way.
    const fs::path cache = dir_ / "cache";
    const auto cached = TlsSettings::CreatePrivateKeyLogFile(cache.string());
    ASSERT_TRUE(std::holds_alternative<std::string>(cached));
    EXPECT_EQ(Mode(cache), 0700u);
    EXPECT_EQ(Mode(cache / "velmora" / "tls-keys.log"), 0600u);
    ::umask(oldMask);

    // Refused, with a message naming the path: a planted link instead of the folder or the file, a base
    // that is no folder, no base at all. Nothing is stored then.
    const fs::path planted = dir_ / "planted";
    fs::create_directories(planted / "elsewhere");
    fs::create_directory_symlink(planted / "elsewhere", planted / "velmora");
    const fs::path linkedFile = dir_ / "linkedfile";
    fs::create_directories(linkedFile / "velmora");
    fs::create_symlink(dir_ / "target.log", linkedFile / "velmora" / "tls-keys.log");
    WriteBytes(dir_ / "plain", "x");
    ASSERT_TRUE(tls.SetKeyLogFile(""));
    for (const std::string& base : {planted.string(), linkedFile.string(), (dir_ / "plain").string(),
                                    std::string("relative/run"), std::string()}) {
        const auto refused = tls.EnsureKeyLogFile(base);
        ASSERT_TRUE(std::holds_alternative<KeyLogFileError>(refused)) << base;
        const std::string& message = std::get<KeyLogFileError>(refused).message;
        EXPECT_NE(message.find(base.empty() ? "未指定" : base), std::string::npos) << message;
        EXPECT_EQ(tls.KeyLogFile(), "") << base;
    }
    EXPECT_FALSE(fs::exists(dir_ / "target.log"));
    EXPECT_TRUE(fs::is_empty(planted / "elsewhere"));
}

} // namespace
