// velmora-cli as a script sees it: its output, its messages and its exit status.
#include "TlsCaptureWriter.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

namespace {

const std::string kData = VELMORA_TEST_DATA;

struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);)
            result.push_back(line);
        return result;
    }
};

CliRun runCli(const std::string& args) {
    const fs::path err = fs::temp_directory_path() / ("velmora-cli-err-" + std::to_string(getpid()));
    const std::string command = std::string(VELMORA_CLI) + " " + args + " 2>" + err.string();
    CliRun run;
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[65536];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        run.out.append(buffer, n);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream in(err);
    run.err.assign(std::istreambuf_iterator<char>(in), {});
    fs::remove(err);
    return run;
}

std::string settingsArg() {
    return " --settings " + std::string(VELMORA_SOURCE_DIR) + "/resources/setting.ini";
}

} // namespace

TEST(Cli, ListsRowsAsTabSeparatedUtf8) {
    const CliRun run = runCli("-r " + kData + "/ndpi_mpeg.pcap --min-length 0" + settingsArg());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "音频\thttp://luca.ntop.org/0.mp3\t4\n");
}

// curl fetching file names escaped as UTF-8 (as browsers and players send them), as GBK, and
// escapes that only look like UTF-8.
TEST(Cli, DecodesUtf8AndGbkEscapesOfRecordedRequests) {
    const CliRun run = runCli("-r " + kData + "/velmora_utf8_escapes.pcap" + settingsArg());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "视频\thttp://127.0.0.1:8765/中文.mp4\t4\n"
                       "视频\thttp://127.0.0.1:8765/中.mp4\t16\n"
                       "视频\thttp://127.0.0.1:8765/a%2F中.mp4\t28\n"
                       "视频\thttp://127.0.0.1:8765/中文.flv\t40\n"       // GBK
                       "视频\thttp://127.0.0.1:8765/茅.mp4\t52\n"         // no 3-byte sequence: GBK
                       "视频\thttp://127.0.0.1:8765/涓%AD%E6.mp4\t64\n"); // cut off: GBK
}

TEST(Cli, WritesJsonLines) {
    const CliRun run = runCli("-r " + kData + "/ndpi_rtsp_setup_http.pcapng --format jsonl" + settingsArg());
    EXPECT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(run.lines().size(), 1u) << run.out;
    EXPECT_EQ(run.lines()[0].rfind("{\"type\":\"视频\",\"address\":\"rtsp://", 0), 0u) << run.out;
    EXPECT_NE(run.lines()[0].find(",\"packet\":1}"), std::string::npos) << run.out;
}

TEST(Cli, NumbersPacketsAcrossFilesAsOneRun) {
    const std::string file = kData + "/ndpi_hls.pcapng"; // 13 frames
    const CliRun run = runCli("--all-packets -r " + file + " -r " + file + settingsArg());
    EXPECT_EQ(run.status, 0) << run.err;
    const auto lines = run.lines();
    ASSERT_EQ(lines.size(), 26u);
    EXPECT_EQ(lines.back().substr(lines.back().rfind('\t') + 1), "26");
    EXPECT_EQ(lines.front().front(), '\t'); // all-packets rows have no type
}

TEST(Cli, RefusesBadArgumentsAndMissingInputsWithStatus2) {
    for (const std::string args : {"", "--bogus", "-r", "--format xml -r x.pcap", "-r a.pcap -i lo",
                                   "-r a.pcap --count 5", "--min-length -1 -r a.pcap"}) {
        const CliRun run = runCli(args);
        EXPECT_EQ(run.status, 2) << args;
        EXPECT_FALSE(run.err.empty()) << args;
        EXPECT_TRUE(run.out.empty()) << args;
    }
    const CliRun missing = runCli("-r /nonexistent/capture.pcap");
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("/nonexistent/capture.pcap"), std::string::npos) << missing.err;

    const CliRun noAdapter = runCli("-i velmora-no-such-adapter --count 1");
    EXPECT_EQ(noAdapter.status, 2);
    EXPECT_NE(noAdapter.err.find("velmora-no-such-adapter"), std::string::npos) << noAdapter.err;
}

// A settings file that is there but cannot be read would otherwise be an empty table: no rows, status 0.
// (The tests run as root, so a folder, an oversized file and a capture file stand in for "no permission".)
TEST(Cli, RefusesASettingsFileItCannotReadWithStatus2) {
    const fs::path dir = fs::temp_directory_path() / ("velmora-cli-settings-" + std::to_string(getpid()));
    fs::create_directories(dir / "folder.ini");
    std::ofstream(dir / "huge.ini") << "[FileType]\n";
    fs::resize_file(dir / "huge.ini", 17 << 20);
    const struct {
        std::string path;
        std::string reason;
        bool fromEnvironment;
    } cases[] = {
        {(dir / "folder.ini").string(), "Is a directory", false},
        {(dir / "huge.ini").string(), "larger than 16 MiB", false},
        {kData + "/ndpi_mpeg.pcap", "binary data", false},
        {(dir / "huge.ini").string(), "larger than 16 MiB", true},
    };
    for (const auto& c : cases) {
        if (c.fromEnvironment)
            ::setenv("VELMORA_SETTINGS", c.path.c_str(), 1);
        const CliRun run =
            runCli("-r " + kData + "/ndpi_mpeg.pcap" + (c.fromEnvironment ? "" : " --settings " + c.path));
        ::unsetenv("VELMORA_SETTINGS");
        EXPECT_EQ(run.status, 2) << c.path;
        EXPECT_TRUE(run.out.empty()) << c.path;
        EXPECT_NE(run.err.find(c.path), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
    }
    fs::remove_all(dir);
}

TEST(Cli, KeepsTheRowsBeforeDamageAndExitsWith1) {
    const fs::path cut = fs::temp_directory_path() / ("velmora-cut-" + std::to_string(getpid()) + ".pcap");
    std::ifstream in(kData + "/zeek_wikipedia.pcap", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    const CliRun whole = runCli("-r " + kData + "/zeek_wikipedia.pcap --all-packets" + settingsArg());
    ASSERT_EQ(whole.status, 0);
    std::ofstream(cut, std::ios::binary) << bytes.substr(0, bytes.size() * 3 / 4);
    const CliRun run = runCli("-r " + cut.string() + " --all-packets" + settingsArg());
    fs::remove(cut);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(cut.string()), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("frame"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("95"), std::string::npos) << run.err; // the first damaged frame
    EXPECT_EQ(run.lines().size(), 94u);
    EXPECT_EQ(whole.out.rfind(run.out, 0), 0u) << "the rows before the damage are the whole file's first rows";
}

TEST(Cli, ListsHttp3RequestsWithTheSameKeyLog) {
    // Real HTTP/3 captures of ngtcp2's client, Chromium and Firefox: the rows are the media GETs the
    // servers logged, each at the frame tshark finds it in (an address listed once; "*" where tshark
    // cannot place it), in frame order; a file type no rule names (.vid) is listed by its answer's
    // media type; the last line counts the QUIC connections.
    const std::pair<const char*, const char*> captures[] = {
        {"quic_ngtcp2", "QUIC connections: 12 seen, 11 decrypted, 1 without keys"},
        {"quic_chromium", "QUIC connections: 1 seen, 1 decrypted, 0 without keys"},
        {"quic_firefox", "QUIC connections: 1 seen, 1 decrypted, 0 without keys"},
    };
    for (const auto& [name, counts] : captures) {
        SCOPED_TRACE(name);
        const std::string capture = kData + "/" + name;
        const CliRun run =
            runCli("-r " + capture + ".pcap --tls-keylog " + capture + ".keys --format jsonl" + settingsArg());
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.err.find(counts), std::string::npos) << run.err;
        const auto rows = run.lines();
        std::ifstream oracle(capture + ".oracle.txt");
        std::set<std::string> seen;
        std::size_t at = 0;
        for (std::string line; std::getline(oracle, line);) {
            const std::string frame = line.substr(0, line.find('\t'));
            const std::string address = line.substr(line.find('\t') + 1);
            const std::string path = address.substr(0, address.find('?'));
            const bool video = path.ends_with(".mp4") || path.ends_with(".m3u8") || path.ends_with(".vid");
            if ((!video && !path.ends_with(".mp3")) || !seen.insert(address).second)
                continue;
            ASSERT_LT(at, rows.size());
            const std::string row = rows[at++];
            const std::string head = std::string("{\"type\":\"") + (video ? "视频" : "音频") + "\",\"address\":\"" +
                                     address + "\",\"packet\":";
            EXPECT_EQ(row.substr(0, head.size()), head);
            const std::string packet = row.substr(head.size(), row.find_first_of(",}", head.size()) - head.size());
            if (path.ends_with(".vid")) // at the answer's frame, after the request's
                EXPECT_GT(std::stoul(packet), std::stoul(frame)) << row;
            else if (frame != "*")
                EXPECT_EQ(packet, frame) << row;
            // Listed by its answer or by its extension, a row read from a file says what the answer said
            // (clip.mp4's answer was captured in each; some of the others were not).
            if (path.ends_with(".vid") || path.starts_with("/video/clip.mp4"))
                EXPECT_NE(row.find("\"content_type\":\"video/mp4\",\"size\":"), std::string::npos) << row;
        }
        EXPECT_EQ(at, rows.size()) << run.out;
    }
}

TEST(Cli, ListsHttpsRequestsWithATlsKeyLog) {
    // From a file: the rows beside nothing else, then a line of TLS counts.
    const CliRun file =
        runCli("-r " + kData + "/tls12_suites.pcap --tls-keylog " + kData + "/tls12_suites.keys" + settingsArg());
    EXPECT_EQ(file.status, 0) << file.err;
    EXPECT_EQ(file.out, "视频\thttps://media.velmora.test:8443/tls12/aes128.mp4\t13\n"
                        "视频\thttps://media.velmora.test:8443/tls12/aes256.flv\t28\n"
                        "视频\thttps://media.velmora.test:8443/tls12/chacha.webm\t46\n");
    EXPECT_NE(file.err.find("TLS connections: 4 seen, 3 decrypted, 0 with gaps, 0 without keys, 0 abandoned, 1 with unsupported suites"),
              std::string::npos)
        << file.err;

    // Without the option nothing of it shows.
    const CliRun plain = runCli("-r " + kData + "/tls12_suites.pcap" + settingsArg());
    EXPECT_EQ(plain.status, 0);
    EXPECT_TRUE(plain.out.empty());
    EXPECT_EQ(plain.err.find("TLS"), std::string::npos);

    const CliRun missing = runCli("-r " + kData + "/tls12_suites.pcap --tls-keylog /nonexistent/keys.log");
    EXPECT_EQ(missing.status, 2);
    EXPECT_TRUE(missing.out.empty());
    EXPECT_NE(missing.err.find("/nonexistent/keys.log: No such file"), std::string::npos) << missing.err;

    // A crafted capture whose first connection's server hello came before its client hello, read with
    // a key log anyone may write: a warning naming it, and figures that add up to the connections seen.
    using namespace velmora::test;
    TlsClient late(1), fine(2);
    TcpFlow lateFlow(0x0A000001, 40001), fineFlow(0x0A000001, 40002);
    std::vector<Bytes> frames = HttpsFrames(late, lateFlow, {HttpGet("a.example", "/late.mp4")});
    std::swap(frames[0], frames[1]); // the server's hello first
    const auto fineFrames = HttpsFrames(fine, fineFlow, {HttpGet("a.example", "/fine.mp4")});
    frames.insert(frames.end(), fineFrames.begin(), fineFrames.end());
    const fs::path crafted = fs::temp_directory_path() / ("velmora-cli-crafted-" + std::to_string(getpid()));
    WritePcap(crafted.string() + ".pcap", frames);
    std::ofstream(crafted.string() + ".keys") << late.KeyLogLines() << fine.KeyLogLines();
    fs::permissions(crafted.string() + ".keys",
                    fs::perms::all & ~fs::perms::owner_exec & ~fs::perms::group_exec & ~fs::perms::others_exec);
    const CliRun odd =
        runCli("-r " + crafted.string() + ".pcap --tls-keylog " + crafted.string() + ".keys" + settingsArg());
    EXPECT_EQ(odd.status, 0) << odd.err;
    EXPECT_EQ(odd.out, "视频\thttps://a.example/fine.mp4\t8\n");
    EXPECT_NE(
        odd.err.find("warning: TLS key log " + crafted.string() + ".keys can be written by other users (mode 0666)"),
        std::string::npos)
        << odd.err;
    EXPECT_NE(odd.err.find("TLS connections: 2 seen, 1 decrypted, 0 with gaps, 0 without keys, 0 abandoned, 0 with unsupported suites, 1 failed"),
              std::string::npos)
        << odd.err;
    fs::remove(crafted.string() + ".pcap");
    fs::remove(crafted.string() + ".keys");

    // curl refused the certificate and gave up inside the handshake: only handshake secrets were logged.
    // That connection is abandoned, not a failure and not a sign of missing keys.
    const CliRun refused = runCli("-r " + kData + "/abandoned_h1_tls.pcap --tls-keylog " + kData +
                                  "/abandoned_h1_tls.keys" + settingsArg());
    EXPECT_EQ(refused.status, 0) << refused.err;
    EXPECT_EQ(refused.out, "视频\thttps://127.0.0.1:8443/a.mp4\t21\n");
    EXPECT_NE(refused.err.find("TLS connections: 2 seen, 1 decrypted, 0 with gaps, 0 without keys, 1 abandoned, 0 with "
                               "unsupported suites, 0 failed"),
              std::string::npos)
        << refused.err;

    // The expected requests are tshark's: when tshark is here, it still decrypts the same ones.
    if (std::system("command -v tshark >/dev/null") == 0) {
        for (const std::string name :
             {"tls13_h2", "tls13_http11", "tls12_suites", "tls13_keyupdate", "tls_midstream"}) {
            const std::string script = std::string(VELMORA_SOURCE_DIR) + "/tests/tls/tshark-requests.sh";
            const std::string command = "bash -c 'diff <(" + script + " " + kData + "/" + name + ".pcap " + kData +
                                        "/" + name + ".keys) " + kData + "/" + name + ".oracle.txt' >/dev/null";
            EXPECT_EQ(std::system(command.c_str()), 0) << name;
        }
    }

    // Live, as root: curl fetches over TLS 1.3 + HTTP/2 from nginx on 127.0.0.1 (in a private network
    // namespace) and writes its keys while velmora-cli captures lo.
    if (::geteuid() != 0)
        GTEST_SKIP() << "the live HTTPS capture needs root";
    const std::string script = std::string(VELMORA_SOURCE_DIR) + "/tests/tls/live-https.sh";
    FILE* pipe =
        popen((script + " " + VELMORA_CLI + " " + VELMORA_SOURCE_DIR + "/resources/setting.ini 2>&1").c_str(), "r");
    std::string live;
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        live.append(buffer, n);
    EXPECT_EQ(pclose(pipe), 0) << live;
    EXPECT_NE(live.find("视频\thttps://media.velmora.test:8443/live/test-clip.mp4?exp=1.5\t"), std::string::npos)
        << live;
    EXPECT_NE(live.find("1 seen, 1 decrypted"), std::string::npos) << live;
}

// Whole frames from a capture recorded on lo, and the same cut to 1514 bytes: the last lines say which
// connections lost something to the cut, in clear text and over TLS.
TEST(Cli, CountLinesSayWhichConnectionsHadGaps) {
    const CliRun whole = runCli("-r " + kData + "/large_http.pcap" + settingsArg());
    EXPECT_EQ(whole.status, 0) << whole.err;
    EXPECT_EQ(whole.lines().size(), 7u);
    EXPECT_EQ(whole.err, "velmora-cli: HTTP connections: 1 followed, 0 with gaps\n");
    const CliRun cut = runCli("-r " + kData + "/large_http.s1514.pcap" + settingsArg());
    EXPECT_EQ(cut.out, whole.out);
    EXPECT_EQ(cut.err, whole.err);

    const CliRun tls = runCli("-r " + kData + "/large_h1_tls.s1514.pcap --tls-keylog " + kData + "/large_h1_tls.keys" +
                              settingsArg());
    EXPECT_EQ(tls.status, 0) << tls.err;
    EXPECT_NE(tls.err.find("TLS connections: 1 seen, 0 decrypted, 1 with gaps, 0 without keys"), std::string::npos)
        << tls.err;
}

// ffmpeg playing HLS with fMP4 segments and a separate audio rendition: one JSON line for the title,
// written when the capture ends, with its variants, its audio, and the segments nginx served.
TEST(Cli, AStreamIsOneJsonLineWithItsRenditions) {
    const CliRun run = runCli("-r " + kData + "/stream_hls_fmp4.pcap --format jsonl" + settingsArg());
    EXPECT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(run.lines().size(), 1u) << run.out;
    const std::string line = run.lines()[0];
    for (const char* part : {"\"address\":\"http://media.velmora.test:8080/hlsfmp4/master.m3u8\"", "\"kind\":\"hls\"",
                             "\"resolution\":\"1280x720\"", "\"resolution\":\"640x360\"",
                             "\"audio\":[{\"address\":\"http://media.velmora.test:8080/hlsfmp4/audio/index.m3u8\"",
                             "\"language\":\"en\",\"played\":true", "\"segments\":23", "\"live\":false", "\"drm\":false"})
        EXPECT_NE(line.find(part), std::string::npos) << part << "\n" << line;
    // Switched off, the master, its three media playlists and their three .mp4 init sections are rows of
    // their own, as the table lists them (it disables .m4s).
    const CliRun off = runCli("-r " + kData + "/stream_hls_fmp4.pcap --no-streams --format jsonl" + settingsArg());
    EXPECT_EQ(off.lines().size(), 7u) << off.out;
    EXPECT_EQ(off.out.find("\"stream\""), std::string::npos);

    // Chromium fetching audio and video apart, in pieces, over HTTP/2: each file one line, with the
    // pieces it came in and its partner.
    const CliRun pieces = runCli("-r " + kData + "/stream_h2_chromium_pieces.pcap --tls-keylog " + kData +
                                 "/stream_h2_chromium_pieces.keys --format jsonl" + settingsArg());
    EXPECT_EQ(pieces.status, 0) << pieces.err;
    ASSERT_EQ(pieces.lines().size(), 5u) << pieces.out;
    const auto lineWith = [&pieces](const std::string& part) {
        for (const std::string& each : pieces.lines())
            if (each.find(part) != std::string::npos)
                return each;
        return std::string();
    };
    const std::string video = lineWith("/pieces/video.mp4\",");
    EXPECT_NE(video.find("\"size\":394101,\"pieces\":4,\"pair\":\"https://media.velmora.test:8443/pieces/audio.m4a\""),
              std::string::npos)
        << video;
    const std::string audio140 = lineWith("itag=140&mime=audio%2Fmp4&gir=yes&dur=20.015\",\"packet\"");
    EXPECT_NE(audio140.find("\"size\":124613,\"size_at_least\":true,\"pieces\":2,\"pair\":"), std::string::npos)
        << audio140;
    EXPECT_EQ(audio140.find("range="), std::string::npos) << audio140;
    EXPECT_EQ(lineWith("progressive.mp4").find("\"pieces\""), std::string::npos);
}
