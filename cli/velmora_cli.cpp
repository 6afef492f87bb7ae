// velmora-cli: the address extraction without a window, for scripts and servers.
#include "CliOptions.h"
#include "RowWriter.h"
#include "capture/Gbk.h"
#include "capture/pcap/CaptureComponent.h"
#include "capture/pcap/TlsProbeProcess.h"
#include "engine/CaptureEngine.h"
#include "stream/ManifestKind.h"
#include "settings/FileTypeSettings.h"
#include "settings/LeadingNumber.h"
#include "settings/ShippedFiles.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

using namespace velmora;
namespace fs = std::filesystem;

namespace {

constexpr int kExitDamaged = 1;
constexpr int kExitUsage = 2;

std::atomic<bool> interrupted{false};

void onSignal(int) {
    interrupted = true;
}

fs::path executableFolder() {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::current_path() : self.parent_path();
}

// The settings file the desktop program uses, else the shipped defaults.
std::string defaultSettingsPath() {
    const fs::path folder = executableFolder();
    const ShippedFiles shipped = ShippedFiles::Find(folder);
    std::vector<fs::path> candidates;
    if (const char* chosen = std::getenv("VELMORA_SETTINGS"); chosen && *chosen) // as the desktop program takes it
        candidates.push_back(fs::is_directory(chosen) ? fs::path(chosen) / "setting.ini" : fs::path(chosen));
    if (!shipped.installed)
        candidates.push_back(folder / "setting.ini");
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config)
        candidates.push_back(fs::path(config) / "velmora" / "setting.ini");
    else if (const char* home = std::getenv("HOME"); home && *home)
        candidates.push_back(fs::path(home) / ".config" / "velmora" / "setting.ini");
    candidates.push_back(shipped.File("default-setting.ini"));
    // The first that exists is the one meant, even when it turns out unreadable.
    for (const auto& path : candidates)
        if (std::error_code error; fs::exists(path, error))
            return path.string();
    return {};
}

int listAdapters() {
    CaptureComponent vpacket;
    const AdapterList list = vpacket.ListAdapterDetails();
    if (!list.result) {
        std::fprintf(stderr, "velmora-cli: cannot list adapters: %s\n", list.result.message.c_str());
        return kExitUsage;
    }
    auto dotted = [](std::uint32_t v) {
        return std::to_string(v >> 24) + "." + std::to_string(v >> 16 & 255) + "." + std::to_string(v >> 8 & 255) +
               "." + std::to_string(v & 255);
    };
    for (const auto& adapter : list.adapters)
        std::printf("%s\t%s\t%s\n", adapter.name.c_str(), dotted(adapter.address).c_str(),
                    dotted(adapter.mask).c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const CliParse parse = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (!parse.error.empty()) {
        std::fprintf(stderr, "velmora-cli: %s\n\n%s", parse.error.c_str(), kCliUsage);
        return kExitUsage;
    }
    const CliOptions& options = parse.options;
    if (options.help) {
        std::fputs(kCliUsage, stdout);
        return 0;
    }
    if (options.version) {
        std::puts("velmora-cli " VELMORA_VERSION);
        return 0;
    }
    if (options.listAdapters)
        return listAdapters();

    const std::string settingsPath = options.settingsPath.empty() ? defaultSettingsPath() : options.settingsPath;
    if (std::error_code error; !options.settingsPath.empty() && !fs::exists(settingsPath, error)) {
        std::fprintf(stderr, "velmora-cli: settings file %s: not found\n", settingsPath.c_str());
        return kExitUsage;
    }
    const SettingsFile settings(settingsPath);
    // Read as an empty table, an unreadable file would list nothing and look like a quiet capture.
    if (const auto problem = settings.ReadProblem()) {
        std::fprintf(stderr, "velmora-cli: settings file %s cannot be read: %s\n", settingsPath.c_str(),
                     problem->c_str());
        return kExitUsage;
    }
    const FileTypeTable fileTypes = LoadFileTypeTable(settings);
    if (settingsPath.empty())
        std::fprintf(stderr, "velmora-cli: no settings file found: the file-type table is empty, so only streams "
                             "are listed\n");

    ExtractionOptions extraction;
    extraction.allPacketsValue = options.allPackets ? 1 : 0;
    extraction.byContentType = options.byContentType && ReadByContentType(settings);
    extraction.readStreams = options.readStreams && ReadStreams(settings);
    extraction.minimumLength = static_cast<double>(
        options.minimumLength ? *options.minimumLength : ParseLeadingNumber(ReadMinimumLength(settings)));

    // Nothing reads a frame back here: the store keeps numbers only, so memory stays flat.
    CaptureEngine::Limits limits;
    limits.storeBytes = 0;
    CaptureEngine engine(fileTypes, limits);
    const ResultList& results = engine.Results();
    RowWriter writer(stdout, options.format == CliOptions::Format::Jsonl);
    if (!options.tlsKeyLog.empty()) {
        const KeyLogOpen opened = engine.OpenKeyLog(options.tlsKeyLog);
        if (!opened) {
            std::fprintf(stderr, "velmora-cli: %s\n", opened.message.c_str());
            return kExitUsage;
        }
        if (!opened.warning.empty())
            std::fprintf(stderr, "velmora-cli: warning: %s\n", opened.warning.c_str());
    }

    // The TLS probe first: its "ready" means the programs' calls are watched from then on.
    TlsProbeProcess tlsProbe;
    if (options.tlsProbe) {
        const std::string program = TlsProbeProcess::Locate();
        if (program.empty()) {
            std::fprintf(stderr, "velmora-cli: --tls-probe needs velmora-tls, which is not installed (looked beside "
                                 "velmora-cli and in ../libexec/velmora; $VELMORA_TLS_HELPER names another)\n");
            return kExitUsage;
        }
        if (const std::string problem = tlsProbe.Start(program, options.tlsProbeReceive); !problem.empty()) {
            std::fprintf(stderr, "velmora-cli: the TLS probe cannot run: %s\n", problem.c_str());
            return kExitUsage;
        }
        std::fprintf(stderr, "velmora-cli: TLS probe ready: the requests of programs using OpenSSL, GnuTLS or "
                             "NSS/NSPR are read from now on\n");
    }

    CaptureComponent vpacket;
    std::uint64_t framesHandled = 0;
    std::size_t rowsWritten = 0;
    // With JSON lines a row says what the server's answer said of it (its type and size, a stream's
    // renditions), which comes after the row is found: reading files, every row is written when the
    // files have been read, in the order found; a live capture writes a row that may stand for a stream
    // when the capture ends, and the others as they are found.
    const bool jsonLines = options.format == CliOptions::Format::Jsonl;
    const bool live = !options.adapter.empty() || options.tlsProbe;
    std::vector<std::size_t> held;
    auto write = [&](std::size_t i) {
        const bool stream = extraction.readStreams &&
                            (MayBeManifest({}, utf8::FromU16(results[i].address)) || !results[i].note.empty());
        if (jsonLines && (!live || stream)) {
            held.push_back(i);
        } else {
            const auto program = engine.ProgramOf(results[i]);
            writer.Write(results[i], nullptr, program ? &*program : nullptr);
        }
    };
    // The probe's output, on this thread as frames are: records to the engine, status lines to standard
    // error. A malformed stream is said once; nothing after it is read.
    std::vector<std::uint8_t> probeBytes;
    std::vector<std::string> probeLines;
    std::string probeStats;
    bool probeBroken = false;
    auto takeProbe = [&] {
        probeBytes.clear();
        probeLines.clear();
        tlsProbe.Take(probeBytes, probeLines);
        for (const std::string& line : probeLines) {
            if (line.rfind("stats ", 0) == 0)
                probeStats = line.substr(6); // said once, at the end
            else
                std::fprintf(stderr, "velmora-cli: velmora-tls: %s\n", line.c_str());
        }
        if (probeBytes.empty() || probeBroken)
            return;
        const std::size_t before = results.size();
        if (!engine.ProbeBytesReceived(probeBytes, extraction)) {
            probeBroken = true;
            std::fprintf(stderr, "velmora-cli: %s; nothing more of it is read\n", engine.ProbeProblem().c_str());
        }
        for (std::size_t i = before; i < results.size(); ++i)
            write(i);
        rowsWritten = results.size();
    };
    vpacket.SetPacketReceived([&](std::int32_t) {
        // The announced frame is read in place, whole: the store keeps its own copy of the scanned part.
        const std::size_t before = results.size();
        engine.FrameReceived(vpacket.CurrentFrame(), vpacket.CurrentLinkType(), extraction,
                             &vpacket.CurrentFrameMarkers(), vpacket.CurrentTimestamp());
        for (std::size_t i = before; i < results.size(); ++i)
            write(i);
        rowsWritten = results.size();
        ++framesHandled;
    });

    const bool capturing = !options.adapter.empty() || !options.files.empty();
    if (!options.adapter.empty()) {
        CaptureResult opened = vpacket.OpenAdapter(options.adapter);
        for (auto step : {&CaptureComponent::AllocatePacket}) {
            if (!opened)
                break;
            opened = (vpacket.*step)();
        }
        if (opened) {
            vpacket.SetPacketFilter(CaptureComponent::kPromiscuous);
            vpacket.SetReadTimeout(CaptureComponent::kDefaultReadTimeoutMs);
            vpacket.InitPacket(CaptureComponent::kSnapLength);
            vpacket.SetBufferSize(CaptureComponent::kMaxFrameBytes);
            opened = vpacket.StartCapture();
        }
        if (!opened) {
            std::fprintf(stderr, "velmora-cli: cannot capture on adapter %s: %s\n", options.adapter.c_str(),
                         opened.message.c_str());
            if (geteuid() != 0)
                std::fprintf(stderr,
                             "velmora-cli: capturing needs root, or membership of the group velmora once the package "
                             "lets its members capture:\n"
                             "  sudo dpkg-reconfigure velmora     (answer yes)\n"
                             "  sudo usermod -aG velmora $USER    (then log in again)\n");
            return kExitUsage;
        }
    } else if (capturing) {
        CaptureResult opened = vpacket.OpenFiles(options.files);
        if (opened)
            opened = vpacket.StartCapture();
        if (!opened) {
            std::fprintf(stderr, "velmora-cli: %s\n", opened.message.c_str());
            return kExitUsage;
        }
    }

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    const auto started = std::chrono::steady_clock::now();
    auto timeIsUp = [&] {
        return options.seconds &&
               std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() >= *options.seconds;
    };
    bool probeEnded = false;
    while (!interrupted && !timeIsUp()) {
        if (options.count && framesHandled >= *options.count)
            break;
        if (!capturing) {
            tlsProbe.Wait(std::chrono::milliseconds(100));
        } else if (vpacket.WaitForFrames(std::chrono::milliseconds(options.tlsProbe ? 20 : 100))) {
            const std::size_t batch = options.count ? static_cast<std::size_t>(*options.count - framesHandled) : 4096;
            vpacket.DispatchPending(std::min<std::size_t>(batch, 4096));
        } else if (vpacket.Finished()) {
            break;
        }
        if (options.tlsProbe && !probeEnded) {
            probeEnded = tlsProbe.Ended();
            takeProbe();
            if (probeEnded) {
                // The helper stopped on its own: said, and the capture goes on without it.
                tlsProbe.Stop();
                const std::string exit = tlsProbe.ExitText();
                std::fprintf(stderr, "velmora-cli: the TLS probe stopped%s%s\n", exit.empty() ? "" : ": ",
                             exit.c_str());
                if (!capturing)
                    break;
            }
        }
    }
    const CaptureResult end = capturing ? vpacket.EndResult() : CaptureResult::Success();
    const CaptureStats stats = vpacket.Stats();
    vpacket.StopCapture();
    vpacket.CloseAdapter();
    bool probeDamaged = false;
    if (options.tlsProbe) {
        // What the helper wrote before it stopped is read too.
        tlsProbe.Stop();
        takeProbe();
        if (!probeBroken && !engine.ProbeEnded()) {
            probeBroken = true;
            std::fprintf(stderr, "velmora-cli: %s\n", engine.ProbeProblem().c_str());
        }
        probeDamaged = probeBroken;
    }
    writer.Flush();

    engine.EndCapture();
    for (std::size_t i = rowsWritten; i < results.size(); ++i) // what the end of the capture settled
        write(i);
    for (const std::size_t i : held) {
        const auto program = engine.ProgramOf(results[i]);
        writer.Write(results[i], engine.StreamOf(results[i]), program ? &*program : nullptr);
    }
    writer.Flush();
    if (engine.HasKeyLog()) {
        const TlsStats tls = engine.Stats();
        const QuicStats quic = engine.QuicConnections();
        std::fprintf(
            stderr,
            "velmora-cli: TLS connections: %llu seen, %llu decrypted, %llu with gaps, %llu without keys, %llu "
            "abandoned, %llu with unsupported suites, %llu failed; QUIC connections: %llu seen, %llu decrypted, %llu "
            "without keys, %llu abandoned\n",
            static_cast<unsigned long long>(tls.seen), static_cast<unsigned long long>(tls.decrypted),
            static_cast<unsigned long long>(tls.withGaps), static_cast<unsigned long long>(tls.withoutKeys),
            static_cast<unsigned long long>(tls.abandoned), static_cast<unsigned long long>(tls.unsupported),
            static_cast<unsigned long long>(tls.failed), static_cast<unsigned long long>(quic.seen),
            static_cast<unsigned long long>(quic.decrypted), static_cast<unsigned long long>(quic.withoutKeys),
            static_cast<unsigned long long>(quic.abandoned));
    }
    if (const HttpFollowStats http = engine.ClearTextConnections(); http.followed > 0)
        std::fprintf(stderr, "velmora-cli: HTTP connections: %llu followed, %llu with gaps\n",
                     static_cast<unsigned long long>(http.followed), static_cast<unsigned long long>(http.withGaps));
    if (!options.adapter.empty() && stats.droppedByKernel > 0)
        std::fprintf(stderr, "velmora-cli: the kernel dropped %llu frames: the capture could not keep up\n",
                     static_cast<unsigned long long>(stats.droppedByKernel));
    if (!writer.Ok()) {
        std::fprintf(stderr, "velmora-cli: cannot write the rows to standard output\n");
        return kExitDamaged;
    }
    if (options.tlsProbe) {
        const probe::ProbeStats probe = engine.ProbeCounts();
        std::string lost;
        if (unsigned long long records = 0, kernel = 0;
            std::sscanf(probeStats.c_str(), "%llu %llu", &records, &kernel) == 2 && kernel > 0)
            lost = ", " + std::to_string(kernel) + " records lost in the kernel";
        std::fprintf(stderr,
                     "velmora-cli: TLS probe: %llu calls from %llu programs; %llu probe connections, %llu dropped at "
                     "gaps, %llu cut, %llu began before the probe, %llu not HTTP%s\n",
                     static_cast<unsigned long long>(probe.calls), static_cast<unsigned long long>(probe.programs),
                     static_cast<unsigned long long>(probe.connections),
                     static_cast<unsigned long long>(probe.droppedAtGaps),
                     static_cast<unsigned long long>(probe.droppedCut),
                     static_cast<unsigned long long>(probe.beganBefore),
                     static_cast<unsigned long long>(probe.notHttp), lost.c_str());
    }
    if (!end) {
        std::fprintf(stderr, "velmora-cli: %s\n", end.message.c_str());
        return kExitDamaged;
    }
    return probeDamaged ? kExitDamaged : 0;
}
