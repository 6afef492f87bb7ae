#include "CliOptions.h"

#include <charconv>
#include <cmath>

namespace velmora {

const char* const kCliUsage =
    "usage: velmora-cli -r FILE [-r FILE ...] [options]\n"
    "       velmora-cli -i ADAPTER [--count N] [--seconds S] [options]\n"
    "       velmora-cli --tls-probe [--seconds S] [options]\n"
    "       velmora-cli --list-adapters\n"
    "       velmora-cli --help | --version\n"
    "\n"
    "Lists the media addresses found in capture files (pcap, pcapng) or live traffic, one row per line:\n"
    "TYPE<TAB>ADDRESS<TAB>PACKET. A GET whose address names no monitored extension is also listed when the\n"
    "server answers it (200 or 206) with a media type of the file-type table, or any video/ or audio/ type.\n"
    "\n"
    "options:\n"
    "  -r FILE             read a capture file; several are read in order as one run\n"
    "  -i ADAPTER          capture live on ADAPTER (needs root or the capture capabilities)\n"
    "  --count N           stop a live capture after N frames\n"
    "  --seconds S         stop a live capture after S seconds\n"
    "  --list-adapters     list the adapters with their address and mask\n"
    "  --settings PATH     take the file-type table and minimum length from this setting.ini\n"
    "  --min-length N      drop frames whose text is not longer than N characters\n"
    "  --all-packets       list every frame instead of searching it\n"
    "  --no-content-type   list by the address's extension only, not by the media type of the answer\n"
    "  --no-streams        do not read HLS and DASH manifests: playlists and segments are listed as the\n"
    "                      file-type table says, not folded into one row per stream\n"
    "  --format tsv|jsonl  output format (default tsv); with jsonl a row listed from an answer also carries\n"
    "                      \"content_type\" and, when the answer gives it, \"size\" (bytes; \"size_at_least\"\n"
    "                      for a file fetched in pieces of unknown whole), \"pieces\" (the answers a file\n"
    "                      fetched in pieces came in), \"pair\" (the audio or video of the same title\n"
    "                      fetched apart), and a stream's row (an HLS or DASH manifest) carries \"stream\":\n"
    "                      kind, variants, audio, segments, segment_bytes, duration, live, encrypted,\n"
    "                      drm. Reading files, the rows are\n"
    "                      written once the files are read; live, a stream's row when the capture ends\n"
    "  --tls-keylog FILE   also list HTTPS requests (HTTP/1.x and HTTP/2 over TLS, HTTP/3 over QUIC),\n"
    "                      decrypted with this TLS key log (SSLKEYLOGFILE); a line of TLS and QUIC\n"
    "                      counts goes to standard error at the end\n"
    "  --tls-probe         also list the HTTPS requests your own programs make through OpenSSL, GnuTLS or\n"
    "                      NSS/NSPR, as velmora-tls (in ../libexec/velmora) sees them before encryption;\n"
    "                      alone or with -i, until interrupted or --seconds. The helper needs\n"
    "                      CAP_SYS_ADMIN. With jsonl such a row also carries \"program\" and \"pid\"; its\n"
    "                      status lines and, at the end, a line of probe counts go to standard error\n"
    "  --tls-probe-receive as --tls-probe, and also read what the programs receive, so that requests are\n"
    "                      listed by their answers' media types as well\n"
    "  -h, --help          show this help\n"
    "  --version           show the version\n"
    "\n"
    "exit status: 0 success, 1 a file damaged part-way, 2 bad arguments or an input that cannot be opened\n"
    "\n"
    "examples:\n"
    "  velmora-cli -r a.pcap -r b.pcapng\n"
    "  velmora-cli -i lo --seconds 10 --format jsonl\n"
    "  velmora-cli -r a.pcap --all-packets --min-length 0 --settings my/setting.ini\n"
    "  velmora-cli -i wlan0 --tls-keylog ~/tls-keys.log   (the browser started with SSLKEYLOGFILE=~/tls-keys.log)\n"
    "  velmora-cli --tls-probe-receive --format jsonl     (rows with the program that asked for them)\n";

namespace {

template <typename T> bool parseNumber(const std::string& text, T& out) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end;
}

} // namespace

CliParse ParseCommandLine(const std::vector<std::string>& args) {
    CliParse parse;
    CliOptions& o = parse.options;
    auto fail = [&](std::string why) {
        parse.error = std::move(why);
        return parse;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size())
                return false;
            out = args[++i];
            return true;
        };
        std::string v;
        if (arg == "-h" || arg == "--help") {
            o.help = true;
        } else if (arg == "--version") {
            o.version = true;
        } else if (arg == "--list-adapters") {
            o.listAdapters = true;
        } else if (arg == "--all-packets") {
            o.allPackets = true;
        } else if (arg == "--no-content-type") {
            o.byContentType = false;
        } else if (arg == "--no-streams") {
            o.readStreams = false;
        } else if (arg == "--tls-probe") {
            o.tlsProbe = true;
        } else if (arg == "--tls-probe-receive") {
            o.tlsProbe = o.tlsProbeReceive = true;
        } else if (arg == "-r") {
            if (!value(v) || v.empty())
                return fail("-r needs a capture file");
            o.files.push_back(v);
        } else if (arg == "-i") {
            if (!value(v) || v.empty())
                return fail("-i needs an adapter name");
            o.adapter = v;
        } else if (arg == "--count") {
            std::uint64_t n = 0;
            if (!value(v) || !parseNumber(v, n) || n == 0)
                return fail("--count needs a positive whole number");
            o.count = n;
        } else if (arg == "--seconds") {
            double s = 0;
            if (!value(v) || !parseNumber(v, s) || !(s > 0) || !std::isfinite(s))
                return fail("--seconds needs a positive number");
            o.seconds = s;
        } else if (arg == "--settings") {
            if (!value(v) || v.empty())
                return fail("--settings needs a path");
            o.settingsPath = v;
        } else if (arg == "--min-length") {
            std::int64_t n = 0;
            if (!value(v) || !parseNumber(v, n) || n < 0)
                return fail("--min-length needs a whole number of 0 or more");
            o.minimumLength = n;
        } else if (arg == "--tls-keylog") {
            if (!value(v) || v.empty())
                return fail("--tls-keylog needs a key log file");
            o.tlsKeyLog = v;
        } else if (arg == "--format") {
            if (!value(v))
                return fail("--format needs tsv or jsonl");
            if (v == "tsv")
                o.format = CliOptions::Format::Tsv;
            else if (v == "jsonl")
                o.format = CliOptions::Format::Jsonl;
            else
                return fail("unknown format '" + v + "' (tsv or jsonl)");
        } else {
            return fail("unknown argument '" + arg + "'");
        }
    }
    if (o.help || o.version || o.listAdapters)
        return parse;
    if (o.tlsProbe && !o.files.empty())
        return fail("--tls-probe watches programs as they run: it does not go with -r");
    if (o.files.empty() == o.adapter.empty() && !(o.tlsProbe && o.files.empty()))
        return fail("give capture files with -r or one adapter with -i");
    if (!o.files.empty() && (o.count || o.seconds))
        return fail("--count and --seconds apply to live capture (-i) only");
    if (o.count && o.adapter.empty())
        return fail("--count counts captured frames: it needs -i");
    return parse;
}

} // namespace velmora
