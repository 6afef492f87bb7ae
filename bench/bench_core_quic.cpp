// The QUIC reader on whole captures, with the key log open:
//   BM_QuicDownloads: HTTP/3 downloads (VELMORA_BENCH_QUIC_PCAP and VELMORA_BENCH_QUIC_KEYS, made by
//     bench/make-quic-capture.sh; else the small test capture), every request found;
//   BM_QuicOtherTraffic: the reference capture (VELMORA_BENCH_PCAP), which holds no QUIC: what the
//     reader costs on everything else once a key log is open.
#include "CaptureFrames.h"
#include "tls/KeyLog.h"
#include "quic/QuicConnectionTable.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

using namespace velmora;

namespace {

struct Counting final : HttpRequestSink {
    std::size_t requests = 0;
    void Request(HttpRequest&) override { ++requests; }
};

std::string env(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

void feed(benchmark::State& state, const bench::RecordedFrames& capture, const std::string& keys) {
    if (capture.frames.empty()) {
        state.SkipWithError("no capture");
        return;
    }
    KeyLog keyLog;
    if (!keyLog.Open(keys)) {
        state.SkipWithError("no key log");
        return;
    }
    std::size_t requests = 0;
    for (auto _ : state) {
        Counting sink;
        QuicConnectionTable table(keyLog, sink, HttpsRequestFinder::Limits{});
        PacketNumber packet = 0;
        for (const auto& frame : capture.frames) {
            UdpDatagram datagram;
            ++packet;
            if (ReadUdpDatagram(frame, capture.linkType, datagram))
                table.Datagram(datagram, packet);
        }
        requests = sink.requests;
        benchmark::DoNotOptimize(requests);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * capture.bytes));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * capture.frames.size()));
    state.counters["requests"] = static_cast<double>(requests);
}

void BM_QuicDownloads(benchmark::State& state) {
    static const auto capture =
        bench::ReadCaptureFile(env("VELMORA_BENCH_QUIC_PCAP", VELMORA_TEST_DATA "/quic_ngtcp2.pcap"));
    feed(state, capture, env("VELMORA_BENCH_QUIC_KEYS", VELMORA_TEST_DATA "/quic_ngtcp2.keys"));
}
BENCHMARK(BM_QuicDownloads)->Unit(benchmark::kMillisecond);

void BM_QuicOtherTraffic(benchmark::State& state) {
    static const auto capture = bench::ReadCaptureFile(env("VELMORA_BENCH_PCAP", VELMORA_TEST_DATA "/ndpi_1kxun.pcap"));
    feed(state, capture, VELMORA_TEST_DATA "/quic_ngtcp2.keys");
}
BENCHMARK(BM_QuicOtherTraffic)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
