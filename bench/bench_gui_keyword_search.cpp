// The keyword search of the command bar over 30,000 stored packets, offscreen: the whole command
// (input box answered by the hook, component stop, list clear, every packet rendered, decoded and
// scanned with one event turn each, rows shown in LV1), and the per-packet work alone without the
// window. Reports packets (items) and bytes per second, the rows found, and the longest single
// packet's turn: the longest the window went without serving its events.
//
// The packets are real frames, cycled from the recorded test captures until 30,000 are stored.

#include "CaptureFrames.h"
#include "capture/FrameText.h"
#include "mainwindow/CommandBar.h"
#include "mainwindow/Dialogs.h"
#include "mainwindow/Form1.h"
#include "mainwindow/Form3.h"
#include "mainwindow/KeywordSearch.h"
#include "mainwindow/ResultListModel.h"

#include <QAbstractButton>
#include <QApplication>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>

namespace {

constexpr velmora::PacketNumber kPackets = 30000;

std::unique_ptr<Form1> g_window;
std::size_t g_bytes = 0;
QString g_keyword;

void FillStore(velmora::PacketStore& store) {
    std::vector<velmora::bench::RecordedFrames> captures;
    for (const char* name : {"ndpi_1kxun.pcap", "espn_http.pcapng", "zeek_bro.org.pcap", "ndpi_netflix.pcap"})
        captures.push_back(velmora::bench::ReadCaptureFile(std::string(VELMORA_TEST_DATA "/") + name));
    std::size_t capture = 0;
    std::size_t frame = 0;
    while (store.PacketCount() < kPackets) {
        const auto& frames = captures[capture % captures.size()].frames;
        if (frame >= frames.size()) {
            ++capture;
            frame = 0;
            continue;
        }
        store.Store(frames[frame]);
        g_bytes += frames[frame].size();
        ++frame;
    }
}

// One window for the whole run, as the program has one; main() ends it before the application.
Form1& Window() {
    static QTemporaryDir settingsFolder;
    if (!g_window) {
        Dialogs::SetHook([](const DialogRequest& request) {
            DialogAnswer answer;
            if (request.kind == DialogRequest::Kind::Input)
                answer.text = g_keyword;
            return answer;
        });
        Form1::Options options;
        options.settingsPath = settingsFolder.filePath(QStringLiteral("setting.ini"));
        options.defaultSettingsPath = QApplication::applicationDirPath() + QStringLiteral("/../default-setting.ini");
        options.adapters = std::vector<velmora::AdapterInfo>{};
        options.webBrowser = false;
        options.trayIcon = false;
        g_window = std::make_unique<Form1>(options);
        g_window->resize(900, 640);
        g_window->show();
        FillStore(g_window->store());
    }
    return *g_window;
}

void BM_KeywordSearchCommand(benchmark::State& state, const char* keyword) {
    Form1& form = Window();
    g_keyword = QString::fromUtf8(keyword);
    KeywordSearch* search = form.findChild<CommandBar*>()->keywordSearch();
    std::chrono::nanoseconds longest{0};
    for (auto _ : state) {
        state.PauseTiming();
        // The search only runs over a list that holds something.
        if (form.results().empty())
            form.resultModel()->AddCaptureRow({u"视频", u"http://x/a.mp4", 1});
        state.ResumeTiming();

        form.Cmd1(3)->click();

        state.PauseTiming();
        if (search->PacketsSearched() != kPackets) {
            state.SkipWithError("the search did not reach the last packet");
            return;
        }
        longest = std::max(longest, search->LongestTurn());
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kPackets);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_bytes));
    state.counters["rows"] = static_cast<double>(form.resultModel()->rowCount());
    state.counters["longest_turn_us"] = std::chrono::duration<double, std::micro>(longest).count();
}

// What one packet's turn does, without the window: render, decode, fold, scan.
void BM_KeywordTokensOnly(benchmark::State& state, const char* keyword) {
    const velmora::PacketStore& store = Window().store();
    const std::u16string folded = velmora::FoldCase(QString::fromUtf8(keyword).toStdU16String());
    std::u16string rendered;
    std::u16string foldedText;
    std::vector<std::u16string> tokens;
    std::size_t hits = 0;
    for (auto _ : state) {
        hits = 0;
        for (velmora::PacketNumber n = 1; n <= store.PacketCount(); ++n) {
            velmora::PacketToTextCn(store.PacketData(n), rendered);
            const std::u16string text = velmora::DecodeCnEscapes(rendered);
            velmora::FoldCase(text, foldedText);
            tokens.clear();
            velmora::FindKeywordTokens(text, foldedText, folded, tokens);
            hits += tokens.size();
        }
        benchmark::DoNotOptimize(hits);
    }
    state.SetItemsProcessed(state.iterations() * kPackets);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_bytes));
    state.counters["rows"] = static_cast<double>(hits);
}

// "mp4" finds a few hundred tokens, "http" thousands, the last word none (pure scanning).
BENCHMARK_CAPTURE(BM_KeywordSearchCommand, mp4, "mp4")->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK_CAPTURE(BM_KeywordSearchCommand, http, "HTTP")->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK_CAPTURE(BM_KeywordSearchCommand, none, "velmora-no-such-word")->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK_CAPTURE(BM_KeywordTokensOnly, mp4, "mp4")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_KeywordTokensOnly, none, "velmora-no-such-word")->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_window.reset();
    return 0;
}
