#pragma once
// The command line of velmora-cli.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velmora {

struct CliOptions {
    enum class Format { Tsv, Jsonl };

    std::vector<std::string> files;   // -r, in order
    std::string adapter;              // -i
    std::optional<std::uint64_t> count;  // --count: frames to capture live
    std::optional<double> seconds;       // --seconds: how long to capture live
    bool listAdapters = false;
    bool help = false;
    bool version = false;
    std::string settingsPath;         // --settings
    std::optional<std::int64_t> minimumLength;  // --min-length
    bool allPackets = false;
    bool byContentType = true; // off with --no-content-type
    bool readStreams = true;   // off with --no-streams
    Format format = Format::Tsv;
    std::string tlsKeyLog; // --tls-keylog: decrypt HTTPS requests with this NSS key log
    bool tlsProbe = false;        // --tls-probe: also read what velmora-tls sees the programs send
    bool tlsProbeReceive = false; // --tls-probe-receive: and what they receive (answers)
};

struct CliParse {
    CliOptions options;
    std::string error; // empty when the command line is sound
};

CliParse ParseCommandLine(const std::vector<std::string>& args);

extern const char* const kCliUsage;

} // namespace velmora
