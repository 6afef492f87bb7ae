// The HTTPS path under crafted traffic and key logs, at full size (tests/core/HostileHttpsTest.cpp
// holds the same cases small). Each reports what its bound is about: the process's peak resident
// memory against the most the budget counted and the budget itself, or time against a control of
// random inputs of the same size. Peak memory is the process's: run a memory case on its own,
//   build/bench/bench_core_https_hostile --benchmark_filter=BM_Arrivals --benchmark_counters_tabular=true
#include "TlsCaptureWriter.h"
#include "http/HttpRequestReader.h"
#include "tls/KeyLog.h"
#include "tls/TlsConnectionTable.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string_view>
#include <unordered_map>

using namespace velmora;
using namespace velmora::test;

namespace {

constexpr int kEthernet = 1;


struct Counting final : HttpRequestSink {
    std::size_t requests = 0, addressBytes = 0;
    void Request(HttpRequest& request) override {
        ++requests;
        addressBytes += request.authority.size() + request.target.size();
    }
};

// The connection table with the product's limits, fed frames as the finder feeds it.
struct Table {
    KeyLog keyLog;
    Counting sink;
    HttpsRequestFinder::Limits limits;
    TlsConnectionTable table{keyLog, sink, limits};
    std::size_t mostHeld = 0;
    void Feed(const Bytes& frame, PacketNumber packet = 1) {
        TcpSegment segment;
        if (ReadTcpSegment(frame, kEthernet, segment) && TlsConnectionTable::Carries(segment))
            table.Segment(segment, packet);
        mostHeld = std::max(mostHeld, table.BytesHeld());
    }
};

double peakResidentMiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024;
}

void reportMemory(benchmark::State& state, double before, const Table& t) {
    state.counters["peak_rss_grown_MiB"] = peakResidentMiB() - before;
    state.counters["most_held_MiB"] = static_cast<double>(t.mostHeld) / (1 << 20);
    state.counters["budget_MiB"] = static_cast<double>(t.limits.totalBytes) / (1 << 20);
    state.counters["connections"] = static_cast<double>(t.table.size());
}

// Endpoint keys laid out as the table lays them out (client 10.x.y.z:port, server 127.0.0.1:443).
std::string_view endpointKey(std::array<char, 40>& key, std::uint32_t address, std::uint16_t port) {
    key.fill(0);
    for (int i = 0; i < 4; ++i)
        key[i] = static_cast<char>(address >> (24 - 8 * i));
    key[16] = static_cast<char>(port >> 8), key[17] = static_cast<char>(port);
    key[18] = 127, key[21] = 1, key[34] = 443 >> 8, key[35] = static_cast<char>(443 & 0xFF), key[36] = 4;
    return {key.data(), key.size()};
}

// Fault 3: 4,096 ClientHellos from endpoints that share one bucket of a fixed-seed std::hash at the
// table's size, then 100,000 one-byte segments among them; the control has random endpoints.
void BM_EndpointFlood(benchmark::State& state) {
    const bool crafted = state.range(0) == 1;
    std::unordered_map<int, int> sized;
    for (int i = 0; i < 4096; ++i)
        sized[i] = i;
    const std::size_t buckets = sized.bucket_count();
    std::vector<std::pair<std::uint32_t, std::uint16_t>> endpoints;
    std::mt19937 random(7);
    std::array<char, 40> key;
    std::size_t target = SIZE_MAX;
    for (std::uint32_t candidate = 0; endpoints.size() < 4096; ++candidate) {
        const std::uint32_t address = 0x0A000000 | (crafted ? candidate >> 14 : random() & 0xFFFFFF);
        const auto port = static_cast<std::uint16_t>(crafted ? 1024 + (candidate & 0x3FFF) : 1024 + random() % 60000);
        if (crafted) {
            const std::size_t bucket = std::hash<std::string_view>{}(endpointKey(key, address, port)) % buckets;
            if (target == SIZE_MAX)
                target = bucket;
            if (bucket != target)
                continue;
        }
        endpoints.emplace_back(address, port);
    }
    std::vector<Bytes> frames;
    std::vector<TcpFlow> flows;
    for (const auto& [address, port] : endpoints) {
        flows.emplace_back(address, port);
        frames.push_back(flows.back().Client(TlsClient(port).ClientHello()));
    }
    const std::uint8_t one = 0x17;
    for (int i = 0; i < 100000; ++i)
        frames.push_back(flows[static_cast<std::size_t>(i) * 2654435761u % flows.size()].Client(std::span(&one, 1)));
    for (auto _ : state) {
        Table t;
        for (const Bytes& frame : frames)
            t.Feed(frame);
        state.counters["longest_chain"] = static_cast<double>(t.table.LongestChain());
    }
}
BENCHMARK(BM_EndpointFlood)->ArgName("crafted")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Fault 4: 65,536 key log lines whose client randoms share their first 8 bytes; the control's are random.
void BM_KeyLogCollisions(benchmark::State& state) {
    const bool crafted = state.range(0) == 1;
    std::mt19937_64 random(11);
    std::string text;
    char line[200];
    for (int i = 0; i < 65536; ++i) {
        const unsigned long long head = crafted ? 0x0011223344556677ull : random();
        std::snprintf(line, sizeof line, "CLIENT_RANDOM %016llx%016llx%016llx%016llx %096d\n", head,
                      static_cast<unsigned long long>(random()), static_cast<unsigned long long>(random()),
                      static_cast<unsigned long long>(random()), i);
        text += line;
    }
    for (auto _ : state) {
        KeyLog log;
        log.AddText(text);
        state.counters["longest_chain"] = static_cast<double>(log.LongestChain());
        benchmark::DoNotOptimize(log.size());
    }
}
BENCHMARK(BM_KeyLogCollisions)->ArgName("crafted")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Fault 5: 16 connections, each 1,048,000 one-byte segments ahead of a one-byte gap, one in every two
// bytes (nothing to merge).
void BM_HeldSegments(benchmark::State& state) {
    for (auto _ : state) {
        const double before = peakResidentMiB();
        Table t;
        const std::uint8_t one = 0x17;
        for (std::uint16_t c = 0; c < 16; ++c) {
            TcpFlow flow(0x0A000001, static_cast<std::uint16_t>(20000 + c));
            t.Feed(flow.Client(TlsClient(c).ClientHello()));
            t.Feed(flow.Server(TlsClient::ServerHello()));
            const std::uint32_t after = flow.ClientNext() + 1;
            for (std::uint32_t i = 0; i < 1048000; i += 2)
                t.Feed(flow.ClientAt(after + i, std::span(&one, 1), tcp::kAck));
        }
        reportMemory(state, before, t);
    }
}
BENCHMARK(BM_HeldSegments)->Iterations(1)->Unit(benchmark::kMillisecond);

// Fault 6: 4,096 connections each send a record header and then 4,096 one-byte segments of its body
// (an arrival record each) with no server hello.
void BM_Arrivals(benchmark::State& state) {
    for (auto _ : state) {
        const double before = peakResidentMiB();
        Table t;
        const std::uint8_t header[] = {23, 3, 3, 0x40, 0};
        const std::uint8_t one = 0;
        std::vector<TcpFlow> flows;
        for (std::uint16_t c = 0; c < 4096; ++c) {
            flows.emplace_back(0x0A000000 | c, 30000);
            t.Feed(flows.back().Client(TlsClient(c).ClientHello()));
            t.Feed(flows.back().Client(header));
        }
        for (int i = 0; i < 4096; ++i)
            for (TcpFlow& flow : flows)
                t.Feed(flow.Client(std::span(&one, 1)));
        reportMemory(state, before, t);
    }
}
BENCHMARK(BM_Arrivals)->Iterations(1)->Unit(benchmark::kMillisecond);

// Fault 6: 4,096 connections with keys each send one 16 KiB record (a request and its body) that is
// opened and read, and stay.
void BM_OpenedRecords(benchmark::State& state) {
    for (auto _ : state) {
        Table t;
        std::vector<Bytes> frames;
        for (std::uint16_t c = 0; c < 4096; ++c) {
            TlsClient client(c);
            t.keyLog.AddText(client.KeyLogLines());
        }
        const std::string request =
            "POST /up HTTP/1.1\r\nHost: a.example\r\nContent-Length: 16000\r\n\r\n" + std::string(16000, 'x');
        const double before = peakResidentMiB();
        for (std::uint16_t c = 0; c < 4096; ++c) {
            TlsClient client(c);
            TcpFlow flow(0x0A000000 | c, 30000);
            for (const Bytes& frame : HttpsFrames(client, flow, {request}))
                t.Feed(frame);
        }
        reportMemory(state, before, t);
        state.counters["requests"] = static_cast<double>(t.sink.requests);
    }
}
BENCHMARK(BM_OpenedRecords)->Iterations(1)->Unit(benchmark::kMillisecond);

// Fault 7: 65 clients send a ClientHello and records to no server, just under 1 MiB each, the last
// enough to fill the 64 MiB shared budget to within a hundred bytes; then 300 ordinary connections, a
// request each, all of which should be read.
void BM_Starvation(benchmark::State& state) {
    for (auto _ : state) {
        Table t;
        Bytes junk;
        for (int i = 0; i < 64; ++i) {
            junk.insert(junk.end(), {23, 3, 3, 0x40, 0});
            junk.resize(junk.size() + 16384, 0xA5);
        }
        std::vector<std::size_t> hogs(64, 1040000);
        hogs.push_back(t.limits.totalBytes - 64 * 1040000 - 100);
        for (std::uint16_t c = 0; c < hogs.size(); ++c) {
            TcpFlow flow(0x0A000001, static_cast<std::uint16_t>(10000 + c));
            t.Feed(flow.Client(TlsClient(c).ClientHello()));
            for (std::size_t at = 0; at < hogs[c]; at += 16384)
                t.Feed(flow.Client(std::span(junk).subspan(at, std::min<std::size_t>(16384, hogs[c] - at))));
        }
        for (std::uint16_t c = 0; c < 300; ++c) {
            TlsClient client(5000 + c);
            t.keyLog.AddText(client.KeyLogLines());
            TcpFlow flow(0x0A000002, static_cast<std::uint16_t>(20000 + c));
            for (const Bytes& frame : HttpsFrames(client, flow, {HttpGet("a.example", "/v.mp4")}))
                t.Feed(frame);
        }
        state.counters["ordinary_read"] = static_cast<double>(t.sink.requests);
    }
}
BENCHMARK(BM_Starvation)->Iterations(1)->Unit(benchmark::kMillisecond);

// Faults 1 and 2: one long path (60,000 bytes, or 8,000: just under the bound) into the dynamic
// table, then 20,000 header blocks of about 24 bytes that pair it with a new authority (a capture of
// about 610 KB).
void BM_HeaderBackReferences(benchmark::State& state) {
    auto literal = [](Bytes& out, std::uint8_t first, std::string_view value) {
        out.push_back(first);
        if (value.size() < 127) {
            out.push_back(static_cast<std::uint8_t>(value.size()));
        } else {
            out.push_back(127);
            std::size_t v = value.size() - 127;
            for (; v >= 128; v >>= 7)
                out.push_back(static_cast<std::uint8_t>(v % 128 + 128));
            out.push_back(static_cast<std::uint8_t>(v));
        }
        out.insert(out.end(), value.begin(), value.end());
    };
    Bytes first{0x3F, 0xE1, 0xFF, 0x03, 0x82, 0x87};
    literal(first, 0x41, "media.example");
    literal(first, 0x44, "/" + std::string(static_cast<std::size_t>(state.range(0)), 'a') + ".mp4");
    std::vector<Bytes> blocks{first};
    for (int i = 0; i < 20000; ++i) {
        Bytes block{0x82, 0x87};
        literal(block, 0x01, "h" + std::to_string(i) + ".example");
        block.push_back(0xBE);
        blocks.push_back(block);
    }
    TlsClient client(1);
    TcpFlow flow(0x0A000001, 40001);
    const auto frames = HttpsFrames(client, flow, {Http2Stream(blocks)});
    std::size_t bytes = 0;
    for (const Bytes& frame : frames)
        bytes += frame.size();
    for (auto _ : state) {
        const double before = peakResidentMiB();
        Table t;
        t.keyLog.AddText(client.KeyLogLines());
        for (const Bytes& frame : frames)
            t.Feed(frame);
        state.counters["peak_rss_grown_MiB"] = peakResidentMiB() - before;
        state.counters["requests"] = static_cast<double>(t.sink.requests);
        state.counters["address_MiB"] = static_cast<double>(t.sink.addressBytes) / (1 << 20);
    }
    state.counters["capture_KB"] = static_cast<double>(bytes) / 1000;
}
BENCHMARK(BM_HeaderBackReferences)->ArgName("path")->Arg(60000)->Arg(8000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
