// Throughput of the frame text and of the whole frame handler, on realistic frames.
#include "CaptureFrames.h"
#include "capture/FrameMarkers.h"
#include "capture/FrameText.h"
#include "capture/MediaAddressExtractor.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <random>

using namespace velmora;

namespace {

// 1500-byte frames like a Chinese web page's: headers and tags in ASCII, text in GBK, and links
// some of which carry escaped Chinese file names.
std::vector<std::vector<std::uint8_t>> chinesePageFrames(int count) {
    std::mt19937 random(7);
    const std::string gbkText = "\xD6\xD0\xCE\xC4\xCA\xD3\xC6\xB5\xD2\xF4\xC0\xD6\xCD\xBC\xC6\xAC"; // 中文视频音乐图片
    std::vector<std::vector<std::uint8_t>> frames;
    for (int n = 0; n < count; ++n) {
        std::string s(54, '\0'); // link, IP and TCP headers
        while (s.size() < 1500) {
            switch (random() % 4) {
            case 0:
                s += "<p class=\"t\">" + gbkText + gbkText + "</p>\r\n";
                break;
            case 1:
                s += "<a href=\"http://v.example.cn/%D6%D0%CE%C4/" + std::to_string(random() % 1000) + ".mp4\">";
                break;
            case 2:
                s += "<img src=\"http://img.example.cn/p/" + std::to_string(random()) + ".jpg\"/>";
                break;
            default:
                s += std::string(40, static_cast<char>(random() % 256));
                break;
            }
        }
        s.resize(1500);
        frames.emplace_back(s.begin(), s.end());
    }
    return frames;
}

void BM_PacketToTextCnAndDecode(benchmark::State& state) {
    const auto frames = chinesePageFrames(256);
    std::u16string text;
    std::size_t i = 0;
    for (auto _ : state) {
        const auto& frame = frames[i++ % frames.size()];
        PacketToTextCn(frame, text);
        benchmark::DoNotOptimize(DecodeCnEscapes(text));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 1500);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_PacketToTextCnAndDecode);

// The decoder alone on the addresses it meets: plain, GBK-escaped, UTF-8-escaped (as browsers send
// them) and mixed with single-byte groups.
void BM_DecodeCnEscapesAddresses(benchmark::State& state) {
    const std::u16string addresses[] = {
        u"http://v.example.cn/video/2024/clip-000123.mp4",
        u"http://v.example.cn/%D6%D0%CE%C4/%CA%D3%C6%B5%D2%F4%C0%D6.flv",
        u"http://127.0.0.1:8765/%E4%B8%AD%E6%96%87/%E8%A7%86%E9%A2%91%E9%9F%B3%E4%B9%90.mp4",
        u"http://cdn.example.com/a%2Fb%20c/%E3%83%86%E3%82%B9%E3%83%88%20%F0%9F%8E%AC.mkv?x=1&y=%C3%A9",
    };
    std::size_t i = 0, bytes = 0;
    for (auto _ : state) {
        const auto& a = addresses[i++ % std::size(addresses)];
        benchmark::DoNotOptimize(DecodeCnEscapes(a));
        bytes += a.size();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_DecodeCnEscapesAddresses);

FileTypeTable everyMediaType() {
    std::vector<FileTypeRow> rows;
    for (const char16_t* ext :
         {u".flv", u".f4v", u".mp4",  u".m4v",  u".m3u8", u".mpd", u".ts",   u".webm", u".mkv", u".mov",  u".avif",
          u".avi", u".wmv", u".asf",  u".rmvb", u".rm",   u".3gp", u".mpg",  u".mpeg", u".mp3", u".m4a",  u".aac",
          u".wma", u".ogg", u".flac", u".wav",  u".ape",  u".jpg", u".jpeg", u".png",  u".gif", u".webp", u".swf"})
        rows.push_back({ext, u"视频", u""});
    return FileTypeTable(std::move(rows));
}

void runHandler(benchmark::State& state, const std::vector<std::vector<std::uint8_t>>& frames, int linkType,
                std::size_t bytes) {
    const FileTypeTable table = everyMediaType();
    for (auto _ : state) {
        state.PauseTiming();
        PacketStore store(64 << 20);
        ResultList results;
        MediaAddressExtractor extractor(store, results, table);
        state.ResumeTiming();
        for (const auto& frame : frames)
            extractor.vpacket_PacketReceived(frame, linkType, {0, 0});
        benchmark::DoNotOptimize(results.size());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * frames.size()));
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(state.iterations() * frames.size()), benchmark::Counter::kIsRate);
}

void BM_FrameHandlerChinesePages(benchmark::State& state) {
    const auto frames = chinesePageFrames(2000);
    runHandler(state, frames, -1, frames.size() * 1500);
}
BENCHMARK(BM_FrameHandlerChinesePages)->Unit(benchmark::kMillisecond);

void BM_FrameHandlerRecordedCapture(benchmark::State& state, const char* file) {
    const auto recorded = bench::ReadCaptureFile(std::string(VELMORA_TEST_DATA) + "/" + file);
    if (recorded.frames.empty()) {
        state.SkipWithError("capture file missing");
        return;
    }
    runHandler(state, recorded.frames, recorded.linkType, recorded.bytes);
}
BENCHMARK_CAPTURE(BM_FrameHandlerRecordedCapture, ndpi_1kxun, "ndpi_1kxun.pcap")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FrameHandlerRecordedCapture, espn_http, "espn_http.pcapng")->Unit(benchmark::kMillisecond);

// The reference capture of bench/compare.sh (or any file named by VELMORA_BENCH_PCAP).
void BM_FrameHandlerReferenceCapture(benchmark::State& state) {
    const char* path = std::getenv("VELMORA_BENCH_PCAP");
    const auto recorded = bench::ReadCaptureFile(path ? path : "bench/out/reference-200k.pcap");
    if (recorded.frames.empty()) {
        state.SkipWithError("set VELMORA_BENCH_PCAP to a capture file (bench/compare.sh makes one)");
        return;
    }
    runHandler(state, recorded.frames, recorded.linkType, recorded.bytes);
}
BENCHMARK(BM_FrameHandlerReferenceCapture)->Unit(benchmark::kMillisecond);

// Only the frames of the reference capture that hold "://" or "GET ": the ones the handler reads
// beyond the marker test, so this is the handler's own throughput on the text it searches.
void BM_FrameHandlerReferenceMarkerFrames(benchmark::State& state) {
    const char* path = std::getenv("VELMORA_BENCH_PCAP");
    auto recorded = bench::ReadCaptureFile(path ? path : "bench/out/reference-200k.pcap");
    if (recorded.frames.empty()) {
        state.SkipWithError("set VELMORA_BENCH_PCAP to a capture file (bench/compare.sh makes one)");
        return;
    }
    std::erase_if(recorded.frames, [](const auto& frame) { return !FindFrameMarkers(frame).any(); });
    recorded.bytes = 0;
    for (const auto& frame : recorded.frames)
        recorded.bytes += frame.size();
    runHandler(state, recorded.frames, recorded.linkType, recorded.bytes);
}
BENCHMARK(BM_FrameHandlerReferenceMarkerFrames)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
