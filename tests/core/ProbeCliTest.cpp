// velmora-cli --tls-probe as a script sees it, with a stand-in for velmora-tls that says what the real
// one says on its status pipe and writes what the real one recorded: the rows with their programs, and
// the helper missing, refusing, or writing a broken stream.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace velmora::test {
namespace {

namespace fs = std::filesystem;

struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

class ProbeCli : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() / ("velmora-probe-cli-" + std::to_string(getpid()));
        fs::create_directories(folder_);
        helper_ = folder_ / "velmora-tls";
        std::ofstream(helper_) << R"(#!/usr/bin/python3
import os, sys
status = os.fdopen(3, 'w')
if os.environ.get('PROBE_REFUSE'):
    status.write('error velmora-tls needs CAP_SYS_ADMIN to hook programs\n')
    sys.exit(1)
status.write('ready\nattached 4242 openssl\n')
status.flush()
sys.stdout.buffer.write(open(os.environ['PROBE_STREAM'], 'rb').read())
sys.stdout.flush()
status.write('stats 7 3\nargs ' + ' '.join(sys.argv[1:]) + '\n')
)";
        fs::permissions(helper_, fs::perms::owner_all);
    }
    void TearDown() override { fs::remove_all(folder_); }

    CliRun run(const std::vector<std::uint8_t>& stream, const std::string& args, const std::string& environment = {}) {
        const fs::path streamFile = folder_ / "stream.vtls", err = folder_ / "err";
        std::ofstream(streamFile, std::ios::binary)
            .write(reinterpret_cast<const char*>(stream.data()), static_cast<std::streamsize>(stream.size()));
        const std::string command = "VELMORA_TLS_HELPER=" + helper_.string() + " PROBE_STREAM=" + streamFile.string() +
                                    " " + environment + " " + VELMORA_CLI + " --settings " + VELMORA_SOURCE_DIR +
                                    "/resources/setting.ini " + args + " 2>" + err.string();
        CliRun result;
        FILE* pipe = popen(command.c_str(), "r");
        char buffer[4096];
        for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            result.out.append(buffer, n);
        const int status = pclose(pipe);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::ifstream in(err);
        result.err.assign(std::istreambuf_iterator<char>(in), {});
        return result;
    }

    fs::path folder_, helper_;
};

std::vector<std::uint8_t> recording(const std::string& name) {
    std::ifstream in(std::string(VELMORA_TEST_DATA) + "/probe/" + name + ".vtls", std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The pid of the process a recording begins by naming.
std::string firstPid(const std::vector<std::uint8_t>& stream) {
    return std::to_string(stream.at(8) | stream.at(9) << 8 | stream.at(10) << 16 | std::uint32_t{stream.at(11)} << 24);
}

TEST_F(ProbeCli, RowsCarryTheirProgramAndTheHelperIsReported) {
    // wget fetching a clip, a playlist and a song, recorded by velmora-tls with and without --receive.
    const std::vector<std::uint8_t> received = recording("wget_receive");
    const std::string pid = firstPid(received);
    const CliRun jsonl = run(received, "--tls-probe-receive --format jsonl");
    EXPECT_EQ(jsonl.status, 0) << jsonl.err;
    EXPECT_EQ(jsonl.out,
              "{\"type\":\"视频\",\"address\":\"https://127.0.0.1:8444/media/clip.mp4\",\"packet\":0,"
              "\"content_type\":\"application/octet-stream\",\"size\":1500,\"program\":\"wget\",\"pid\":" + pid + "}\n"
              "{\"type\":\"音频\",\"address\":\"https://127.0.0.1:8444/media/song.mp3\",\"packet\":0,"
              "\"content_type\":\"application/octet-stream\",\"size\":700,\"program\":\"wget\",\"pid\":" + pid + "}\n"
              "{\"type\":\"视频\",\"address\":\"https://127.0.0.1:8444/v/a.m3u8\",\"packet\":0,"
              "\"content_type\":\"application/octet-stream\",\"size\":66,\"stream\":{\"kind\":\"hls\",\"variants\":[],"
              "\"audio\":[],\"segments\":0,\"segment_bytes\":0,\"duration\":4.000,\"live\":false,\"encrypted\":false,"
              "\"drm\":false},\"program\":\"wget\",\"pid\":" + pid + "}\n");
    EXPECT_NE(jsonl.err.find("velmora-tls: attached 4242 openssl"), std::string::npos) << jsonl.err;
    EXPECT_NE(jsonl.err.find("args --kinds openssl,gnutls,nspr --status-fd 3 --receive"), std::string::npos);
    EXPECT_NE(jsonl.err.find("1 probe connections, 0 dropped at gaps, 0 cut, 0 began before the probe, 0 not HTTP, "
                             "3 records lost in the kernel\n"),
              std::string::npos)
        << jsonl.err;

    // The TSV is what it always was; without --tls-probe-receive the helper is not asked for answers.
    const std::vector<std::uint8_t> sent = recording("wget");
    const CliRun tsv = run(sent, "--tls-probe");
    EXPECT_EQ(tsv.status, 0) << tsv.err;
    EXPECT_EQ(tsv.out, "视频\thttps://127.0.0.1:8444/media/clip.mp4\t0\n"
                       "视频\thttps://127.0.0.1:8444/v/a.m3u8\t0\n"
                       "音频\thttps://127.0.0.1:8444/media/song.mp3\t0\n");
    EXPECT_NE(tsv.err.find("args --kinds openssl,gnutls,nspr --status-fd 3\n"), std::string::npos) << tsv.err;

    // A stream broken after its records: what came before is listed, the break said, exit 1.
    std::vector<std::uint8_t> broken = sent;
    broken.insert(broken.end(), {5, 0, 0, 0, 1, 0});
    const CliRun damaged = run(broken, "--tls-probe");
    EXPECT_EQ(damaged.status, 1);
    EXPECT_EQ(damaged.out, tsv.out);
    EXPECT_NE(damaged.err.find("record size 5 outside 48..4164; nothing more of it is read"), std::string::npos)
        << damaged.err;

    // A helper that refuses, or none at all: said, exit 2, nothing listed.
    const CliRun refused = run(sent, "--tls-probe", "PROBE_REFUSE=1");
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.out, "");
    EXPECT_NE(refused.err.find("the TLS probe cannot run: velmora-tls needs CAP_SYS_ADMIN"), std::string::npos)
        << refused.err;
    fs::remove(helper_);
    const CliRun missing = run(sent, "--tls-probe");
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("cannot run " + helper_.string()), std::string::npos) << missing.err;
}

} // namespace
} // namespace velmora::test
