// The GUI's frame path end to end, offscreen: the capture thread reads a recorded capture into the
// queue, the window's posted dispatches run the frame handler in batches on the UI thread, and LV1's
// model announces the rows. Reports frames (items) and bytes per second, to set beside velmora-cli
// on the same file.
//
//   VELMORA_BENCH_PCAP=/path/to/file.pcap bench_gui_frame_handler   (default: the biggest test capture)

#include "capture/pcap/CaptureComponent.h"
#include "mainwindow/Dialogs.h"
#include "mainwindow/Form1.h"
#include "mainwindow/ResultListModel.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

std::string CapturePath() {
    if (const char* path = std::getenv("VELMORA_BENCH_PCAP"); path && *path)
        return path;
    return VELMORA_TEST_DATA "/ndpi_1kxun.pcap";
}

// One window for the whole run, as the program has one; main() ends it before the application.
std::unique_ptr<Form1> g_window;

Form1& Window() {
    static QTemporaryDir settingsFolder;
    if (!g_window)
        g_window = [] {
            Dialogs::SetHook([](const DialogRequest&) { return DialogAnswer{}; });
            Form1::Options options;
            options.settingsPath = settingsFolder.filePath(QStringLiteral("setting.ini"));
            options.defaultSettingsPath =
                QApplication::applicationDirPath() + QStringLiteral("/../default-setting.ini");
            options.adapters = std::vector<velmora::AdapterInfo>{};
            options.webBrowser = false;
            options.trayIcon = false;
            auto form = std::make_unique<Form1>(options);
            form->Text2()->setText(QStringLiteral("0")); // as velmora-cli --min-length 0
            form->resize(900, 640);
            form->show();
            return form;
        }();
    return *g_window;
}

void RunCapture(benchmark::State& state, bool allPackets) {
    Form1& form = Window();
    form.Chk3()->setValue(allPackets ? 1 : 0);
    velmora::CaptureComponent& component = form.vpacket();
    const std::string path = CapturePath();
    std::int64_t frames = 0;
    std::int64_t bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        form.ResetCaptureState();
        const velmora::CaptureResult opened = component.OpenFile(path);
        if (!opened) {
            state.SkipWithError(opened.message.c_str());
            return;
        }
        state.ResumeTiming();

        component.StartCapture();
        while (!component.Finished())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);

        state.PauseTiming();
        frames += form.store().PacketCount();
        for (velmora::PacketNumber n = 1; n <= form.store().PacketCount(); ++n)
            bytes += form.store().PacketLength(n);
        state.counters["rows"] = static_cast<double>(form.resultModel()->rowCount());
        component.CloseAdapter();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(frames);
    state.SetBytesProcessed(bytes);
    state.SetLabel(path.substr(path.find_last_of('/') + 1));
}

void BM_GuiFrameHandler_Search(benchmark::State& state) {
    RunCapture(state, false);
}
void BM_GuiFrameHandler_AllPackets(benchmark::State& state) {
    RunCapture(state, true);
}

BENCHMARK(BM_GuiFrameHandler_Search)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GuiFrameHandler_AllPackets)->Unit(benchmark::kMillisecond)->UseRealTime();

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
