// velmora-tls's stream through the engine, as velmora-cli and the window feed it: how fast records are
// read into requests and answers, and what a flood of connections costs. Reported as bytes and records
// per second of the helper's output.
//   build/bench/bench_core_probe_stream --benchmark_counters_tabular=true
#include "ProbeStreamWriter.h"
#include "TlsCaptureWriter.h"
#include "engine/CaptureEngine.h"
#include "settings/FileTypeSettings.h"

#include <benchmark/benchmark.h>

#include <fstream>
#include <memory>
#include <string>

using namespace velmora;
using namespace velmora::test;

namespace {

FileTypeTable& table() {
    static FileTypeTable shipped =
        LoadFileTypeTable(SettingsFile(std::string(VELMORA_SOURCE_DIR) + "/resources/setting.ini"));
    return shipped;
}

std::vector<std::uint8_t> recording(const std::string& name) {
    std::ifstream in(std::string(VELMORA_TEST_DATA) + "/probe/" + name + ".vtls", std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The engine of the last run, for what it holds at the end.
CaptureEngine* feed(benchmark::State& state, const std::vector<std::uint8_t>& stream, std::size_t records,
                    std::size_t piece) {
    static std::unique_ptr<CaptureEngine> last;
    for (auto _ : state) {
        state.PauseTiming();
        auto engine = std::make_unique<CaptureEngine>(table());
        state.ResumeTiming();
        for (std::size_t at = 0; at < stream.size(); at += piece)
            engine->ProbeBytesReceived(std::span(stream).subspan(at, std::min(piece, stream.size() - at)),
                                       {0, 0, true, true});
        benchmark::DoNotOptimize(engine->Results().size());
        state.PauseTiming();
        last = std::move(engine);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * records));
    return last.get();
}

// curl's recorded HTTP/2 connection with its answers, played as 2,000 connections of 2,000 handles,
// in the 64 KiB pieces velmora-cli reads.
void BM_RecordedConnections(benchmark::State& state) {
    const std::vector<std::uint8_t> one = recording("curl_h2_receive");
    std::vector<std::uint8_t> stream;
    std::size_t records = 0;
    for (std::uint64_t copy = 0; copy < 2000; ++copy) {
        for (std::size_t at = 0; at + 32 <= one.size();) {
            const std::size_t size = one[at] | one[at + 1] << 8 | one[at + 2] << 16;
            std::vector<std::uint8_t> record(one.begin() + static_cast<std::ptrdiff_t>(at),
                                             one.begin() + static_cast<std::ptrdiff_t>(at + size));
            record[24] ^= static_cast<std::uint8_t>(copy); // another handle for each copy
            record[25] ^= static_cast<std::uint8_t>(copy >> 8);
            stream.insert(stream.end(), record.begin(), record.end());
            at += size;
            ++records;
        }
    }
    feed(state, stream, records, 64 << 10);
}
BENCHMARK(BM_RecordedConnections)->Unit(benchmark::kMillisecond);

// One kept-alive HTTP/1.1 connection fetching 1,000 files of 256 KiB: the answers' bodies are most of
// the stream, in calls of 16 KiB as SSL_read returns them.
void BM_LargeAnswers(benchmark::State& state) {
    ProbeStreamWriter w;
    const ProbeStreamWriter::Caller client{1, "player", 0x1};
    const std::string body(16 << 10, 'v');
    for (int file = 0; file < 1000; ++file) {
        w.Call(client, probe::Direction::Sent, HttpGet("cdn.example", "/f/" + std::to_string(file) + ".mp4"));
        w.Call(client, probe::Direction::Received,
               "HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: " + std::to_string(256 << 10) +
                   "\r\n\r\n");
        for (int call = 0; call < 16; ++call)
            w.Call(client, probe::Direction::Received, body);
    }
    const std::size_t records = 1000 * (2 + 16 * 4);
    feed(state, w.Bytes(), records, 64 << 10);
}
BENCHMARK(BM_LargeAnswers)->Unit(benchmark::kMillisecond);

// 100,000 handles that each begin a request head and never end it: the table stays within its bounds
// while the idlest go. Reported: what the probe's connections hold at the end, as the budget counts it.
void BM_HandleFlood(benchmark::State& state) {
    ProbeStreamWriter w;
    const std::string head = "GET /" + std::string(2000, 'p') + " HTTP/1.1\r\nHost: h.example\r\n";
    for (std::uint64_t handle = 0; handle < 100'000; ++handle)
        w.Call({7, "flood", 0x1000 + handle}, probe::Direction::Sent, head);
    const CaptureEngine* engine = feed(state, w.Bytes(), 100'000, 64 << 10);
    state.counters["held_MiB"] = static_cast<double>(engine->ConnectionsBudget().UsedBytes()) / (1 << 20);
    state.counters["connections"] = static_cast<double>(engine->ConnectionsBudget().UsedConnections());
}
BENCHMARK(BM_HandleFlood)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
