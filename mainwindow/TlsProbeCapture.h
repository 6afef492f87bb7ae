#pragma once
// The window's side of velmora-tls: while its switch is on and an adapter capture runs, the helper runs as
// this program's child, and what it writes is handed to the engine on this thread, in order, as frames
// are; its rows are listed as decrypted HTTPS rows are. The status bar names the programs it reads and the
// running browsers it cannot (their own TLS: they need the browser button). A helper that refuses, ends or
// writes a broken stream is said once; the capture goes on and every row found stays.

#include "capture/MediaAddressExtractor.h"
#include "mainwindow/TlsProbeCoverage.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <vector>

class KeyLogOptions;
class QTimer;
class StatusPanels;
class TlsProbeOption;

namespace velmora {
class CaptureEngine;
class SettingsFile;
class TlsProbeProcess;
struct ResultRow;
} // namespace velmora

class TlsProbeCapture final : public QObject {
    Q_OBJECT

public:
    // What it works with; all of it outlives this object.
    struct Parts {
        velmora::CaptureEngine& engine;
        velmora::SettingsFile& settings;
        StatusPanels* status;
        KeyLogOptions* keyLog; // the switch goes right under it, in its column
        std::function<velmora::ExtractionOptions()> extractionOptions;
        std::function<void()> showNewRows;
    };

    // `window` owns this and the boxes it shows. The helper is velmora-tls as TlsProbeProcess::Locate finds it.
    TlsProbeCapture(Parts parts, QWidget* window);
    ~TlsProbeCapture() override;

    TlsProbeOption* Option() const { return option_; }
    bool HelperRuns() const { return process_ != nullptr; }

    // An adapter capture started or stopped: the helper runs while the capture and the switch are both on.
    void CaptureStarted();
    void CaptureEnded();

    // The figures panel's tooltip `detail` with the probe's lines after it: the programs it reads and the
    // browsers it cannot while the helper runs, why it stopped after a failure.
    QString WithFigures(const QString& detail) const;
    const TlsProbeCoverage& Coverage() const { return coverage_; }

    // What the data window puts first for a row the probe listed: "程序: firefox-esr (pid 1234)".
    static std::optional<QString> ProgramLine(const velmora::CaptureEngine& engine, const velmora::ResultRow& row);

private:
    void sync();
    void start();
    // Stops the helper; what it wrote before is still read.
    void stop();
    // Takes what the helper wrote: records to the engine, status lines read. An end not asked for (not
    // `stopping`) is a failure.
    void handleArrivals(bool stopping);
    void statusLine(const std::string& line);
    void fail(const QString& why);
    // The programs seen, and with `scan` the running browsers the probe cannot see; said when they change.
    void refreshCoverage(bool scan);

    Parts parts_;
    QWidget* window_;
    TlsProbeOption* option_ = nullptr;
    std::unique_ptr<velmora::TlsProbeProcess> process_;
    QTimer* coverageTimer_ = nullptr;
    bool capturing_ = false;
    bool ready_ = false;
    bool failed_ = false; // said once per capture
    QString failure_;     // for the tooltip
    std::uint64_t lostInKernel_ = 0;
    std::vector<std::uint8_t> bytes_;
    std::vector<std::string> lines_;
    std::set<std::string> programsSeen_;
    TlsProbeCoverage coverage_;
};
