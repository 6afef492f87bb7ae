#include "mainwindow/TlsProbeCapture.h"

#include "capture/pcap/TlsProbeProcess.h"
#include "engine/CaptureEngine.h"
#include "mainwindow/Dialogs.h"
#include "mainwindow/KeyLogOptions.h"
#include "mainwindow/OptionsColumn.h"
#include "mainwindow/StatusPanels.h"
#include "mainwindow/TlsProbeOption.h"
#include "mainwindow/TlsProbeProblem.h"

#include <QBoxLayout>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

namespace {

const QString kTitle = QStringLiteral("读取本机程序的 HTTPS");
// Browsers start and end while a capture runs; /proc is read this often for the ones the probe cannot see.
constexpr int kCoverageIntervalMs = 3000;
constexpr int kMessageMs = 15000;

} // namespace

TlsProbeCapture::TlsProbeCapture(Parts parts, QWidget* window)
    : QObject(window), parts_(std::move(parts)), window_(window) {
    QWidget* keyLog = parts_.keyLog;
    option_ = new TlsProbeOption(parts_.settings, velmora::TlsProbeProcess::Locate(), keyLog->parentWidget());
    if (QBoxLayout* column = ColumnHolding(keyLog))
        column->insertWidget(column->indexOf(keyLog) + 1, option_);
    connect(option_, &TlsProbeOption::Changed, this, [this] {
        if (!option_->IsOn())
            failed_ = false; // turned off and on again: the user asks for another try
        sync();
    });
    coverageTimer_ = new QTimer(this);
    coverageTimer_->setInterval(kCoverageIntervalMs);
    connect(coverageTimer_, &QTimer::timeout, this, [this] { refreshCoverage(true); });
}

TlsProbeCapture::~TlsProbeCapture() {
    // The engine may already be gone (it is the window's member): only the helper is stopped.
    process_.reset();
}

void TlsProbeCapture::CaptureStarted() {
    capturing_ = true;
    failed_ = false;
    failure_.clear();
    sync();
}

void TlsProbeCapture::CaptureEnded() {
    capturing_ = false;
    sync();
}

void TlsProbeCapture::sync() {
    const bool wanted = capturing_ && option_->IsOn();
    if (wanted && !process_ && !failed_)
        start();
    else if (!wanted && process_)
        stop();
}

void TlsProbeCapture::start() {
    const std::string& helper = option_->Helper();
    if (const TlsProbeProblem problem = TlsProbeProblem::BeforeRunning(helper); !problem.brief.isEmpty()) {
        fail(problem.detail);
        return;
    }
    parts_.engine.ProbeRestarted();
    ready_ = false;
    lostInKernel_ = 0;
    programsSeen_.clear();
    coverage_ = {};
    process_ = std::make_unique<velmora::TlsProbeProcess>();
    // Posted from the helper's reader thread; handled here, between the frames' batches.
    process_->SetArrived([this] {
        QMetaObject::invokeMethod(
            this, [this] { handleArrivals(false); }, Qt::QueuedConnection);
    });
    if (const std::string problem = process_->Spawn(helper, false); !problem.empty()) {
        process_.reset();
        fail(QStringLiteral("无法启动 velmora-tls：%1").arg(QString::fromStdString(problem)));
    }
}

void TlsProbeCapture::stop() {
    if (!process_)
        return;
    process_->Stop();
    handleArrivals(true); // what it wrote before it stopped
    process_.reset();
    coverageTimer_->stop(); // after: a "ready" read just now starts it
}

void TlsProbeCapture::handleArrivals(bool stopping) {
    if (!process_)
        return;
    // Asked first: once it has ended, this Take has everything it wrote.
    const bool ended = process_->Ended();
    bytes_.clear();
    lines_.clear();
    process_->Take(bytes_, lines_);
    velmora::CaptureEngine& engine = parts_.engine;
    if (!bytes_.empty() && engine.ProbeProblem().empty()) {
        const std::size_t before = engine.Results().size();
        const bool intact = engine.ProbeBytesReceived(bytes_, parts_.extractionOptions());
        for (std::size_t row = before; row < engine.Results().size(); ++row)
            if (const auto program = engine.ProgramOf(engine.Results()[row]))
                programsSeen_.insert(program->Name());
        parts_.showNewRows();
        if (!intact) {
            fail(QStringLiteral("velmora-tls 送来的数据有误（%1），已停止读取。")
                     .arg(QString::fromStdString(engine.ProbeProblem())));
            return;
        }
    }
    for (const std::string& line : lines_) {
        statusLine(line);
        if (!process_)
            return;
    }
    if (programsSeen_ != coverage_.covered)
        refreshCoverage(false);
    if (ended && !stopping) {
        process_->Stop();
        const std::string exit = process_->ExitText();
        fail(QStringLiteral("velmora-tls 意外结束了%1。")
                 .arg(exit.empty() ? QString() : QStringLiteral("（%1）").arg(QString::fromStdString(exit))));
    }
}

void TlsProbeCapture::statusLine(const std::string& line) {
    if (line == "ready") {
        ready_ = true;
        coverageTimer_->start();
        refreshCoverage(true);
        if (coverage_ == TlsProbeCoverage{})
            parts_.status->showMessage(QStringLiteral("已开始读取本机程序的 HTTPS"), kMessageMs);
    } else if (line.rfind("error ", 0) == 0) {
        const std::string said = line.substr(6);
        fail(ready_ ? QStringLiteral("velmora-tls 出错并停止了：%1").arg(QString::fromStdString(said))
                    : TlsProbeProblem::Refused(said).detail);
    } else if (unsigned pid = 0; std::sscanf(line.c_str(), "attached %u", &pid) == 1) {
        // This window's own TLS library (Qt's network code) is hooked too; it is no program of the user's list.
        if (pid == static_cast<unsigned>(::getpid()))
            return;
        if (std::string name = TlsProbeCoverage::ProgramName("/proc", pid); !name.empty())
            programsSeen_.insert(std::move(name));
    } else if (unsigned long long records = 0, lost = 0;
               std::sscanf(line.c_str(), "stats %llu %llu", &records, &lost) == 2) {
        lostInKernel_ = lost;
    }
}

void TlsProbeCapture::fail(const QString& why) {
    if (process_) {
        auto ending = std::move(process_); // handleArrivals, which the box's event loop may run, sees none
        ending->Stop();
        coverageTimer_->stop();
    }
    failure_ = why;
    if (failed_)
        return;
    failed_ = true;
    Dialogs::Message(window_, QMessageBox::Warning, kTitle,
                     why + QStringLiteral("\n\n嗅探照常进行，已经找到的地址仍在列表中。"));
}

void TlsProbeCapture::refreshCoverage(bool scan) {
    TlsProbeCoverage now = coverage_;
    now.covered = programsSeen_;
    if (scan)
        now.needButton = TlsProbeCoverage::BrowsersWithOwnTls("/proc", ::getuid());
    if (now == coverage_)
        return;
    coverage_ = std::move(now);
    parts_.status->showMessage(coverage_.Brief(), kMessageMs);
}

QString TlsProbeCapture::WithFigures(const QString& detail) const {
    QString lines;
    if (process_ && !ready_) {
        lines = QStringLiteral("读取本机程序的 HTTPS：正在启动 velmora-tls");
    } else if (process_) {
        lines = coverage_.Detail();
        if (lostInKernel_ > 0)
            lines += QStringLiteral("\n内核来不及交出的调用：%1（这些请求没有列出）").arg(lostInKernel_);
    } else if (capturing_ && !failure_.isEmpty()) {
        lines = QStringLiteral("读取本机程序的 HTTPS 已停止：") + failure_;
    }
    if (lines.isEmpty() || detail.isEmpty())
        return detail + lines;
    return detail + QLatin1Char('\n') + lines;
}

std::optional<QString> TlsProbeCapture::ProgramLine(const velmora::CaptureEngine& engine,
                                                    const velmora::ResultRow& row) {
    const auto program = engine.ProgramOf(row);
    if (!program)
        return std::nullopt;
    return QStringLiteral("程序: %1").arg(QString::fromStdString(program->NameAndPid()));
}
