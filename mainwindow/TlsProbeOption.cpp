#include "mainwindow/TlsProbeOption.h"

#include "settings/TlsSettings.h"
#include "skin/xpcheckbox.h"

#include <QLabel>
#include <QProcess>
#include <QTimer>
#include <QVBoxLayout>

#include <unistd.h>

namespace {

// Loading the probe's programs into the kernel takes a moment; a helper that hangs is given up.
constexpr int kCheckTimeoutMs = 15000;

const QString kCaption = QStringLiteral("直接读取本机程序的 HTTPS\n（无需重启浏览器）");
const QString kTip = QStringLiteral(
    "嗅探时由助手程序 velmora-tls 直接读取你自己运行的程序（curl、wget、Python、mpv、ffmpeg、Firefox 等，"
    "使用 OpenSSL、GnuTLS 或 NSPR）发出的 HTTPS 请求，不需要密钥日志，也不需要重启浏览器。\n"
    "Chromium 和 Chrome 自带 TLS，读取不到：请用“启动浏览器（记录密钥）”。");

} // namespace

TlsProbeOption::TlsProbeOption(velmora::SettingsFile& settings, std::string helper, QWidget* parent)
    : QWidget(parent), settings_(settings), helper_(std::move(helper)) {
    setObjectName(QStringLiteral("TlsProbeOption"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(2);
    switch_ = new velmora::xpcheckbox(kCaption, this);
    switch_->setObjectName(QStringLiteral("TlsProbe"));
    column->addWidget(switch_);
    reason_ = new QLabel(this);
    reason_->setObjectName(QStringLiteral("TlsProbeReason"));
    reason_->setWordWrap(true);
    reason_->setIndent(velmora::xpcheckbox::kCaptionLeftTwips / velmora::xpcheckbox::kTwipsPerPixel);
    reason_->setForegroundRole(QPalette::PlaceholderText);
    column->addWidget(reason_);

    applying_ = true;
    switch_->setValue(velmora::TlsSettings(settings_).Probe() ? 1 : 0);
    applying_ = false;
    connect(switch_, &velmora::xpcheckbox::propertyChanged, this, [this](const QString& key) {
        if (key == QLatin1String("Value") && !applying_)
            clicked();
    });
    showProblem({QString(), QStringLiteral("正在检查 velmora-tls 能否在这里运行…")});
    switch_->setEnabled(false);
    startCheck();
}

TlsProbeOption::~TlsProbeOption() {
    if (check_) {
        check_->disconnect(this);
        check_->kill();
        check_->waitForFinished(1000);
    }
}

bool TlsProbeOption::IsOn() const {
    return Usable() && switch_->Value() == 1;
}

void TlsProbeOption::startCheck() {
    if (TlsProbeProblem before = TlsProbeProblem::BeforeRunning(helper_); !before.brief.isEmpty()) {
        checked_ = true;
        showProblem(before);
        return;
    }
    check_ = new QProcess(this);
    check_->setProgram(QString::fromStdString(helper_));
    check_->setArguments({QStringLiteral("--check")}); // its status lines go to standard error
    check_->setStandardInputFile(QProcess::nullDevice());
    check_->setStandardOutputFile(QProcess::nullDevice());
    checkTimeout_ = new QTimer(this);
    checkTimeout_->setSingleShot(true);
    connect(checkTimeout_, &QTimer::timeout, check_, &QProcess::kill);
    connect(check_, &QProcess::finished, this, &TlsProbeOption::checkEnded);
    connect(check_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            checkEnded();
    });
    check_->start();
    checkTimeout_->start(kCheckTimeoutMs);
}

void TlsProbeOption::checkEnded() {
    if (checked_)
        return;
    checked_ = true;
    const bool timedOut = !checkTimeout_->isActive();
    checkTimeout_->stop();
    const QList<QByteArray> lines = check_->readAllStandardError().split('\n');
    bool ready = false;
    std::string error;
    for (const QByteArray& line : lines) {
        if (line == "ready")
            ready = true;
        else if (line.startsWith("error "))
            error = line.mid(6).toStdString();
    }
    TlsProbeProblem problem;
    if (check_->error() == QProcess::FailedToStart) {
        problem = TlsProbeProblem::BeforeRunning(helper_);
        if (problem.brief.isEmpty()) // executable, yet exec failed (a broken file, a missing library)
            problem = TlsProbeProblem::Refused(check_->errorString().toStdString());
    } else if (!error.empty())
        problem = TlsProbeProblem::Refused(error);
    else if (check_->exitStatus() != QProcess::NormalExit || check_->exitCode() != 0 || !ready)
        problem = TlsProbeProblem::Refused(timedOut ? "it did not answer within 15 seconds"
                                                    : "it ended with status " + std::to_string(check_->exitCode()));
    check_->deleteLater();
    check_ = nullptr;
    showProblem(problem);
    emit Changed();
}

void TlsProbeOption::showProblem(const TlsProbeProblem& problem) {
    problem_ = problem;
    const bool usable = checked_ && problem.brief.isEmpty();
    switch_->setEnabled(usable);
    switch_->setToolTip(problem.detail.isEmpty() ? kTip : problem.detail);
    reason_->setText(problem.brief);
    reason_->setToolTip(problem.detail);
    // As root the helper reads root's own programs only (its filter is the caller's uid), and not even
    // those once it has dropped its other capabilities: said beside the switch rather than greying it.
    if (usable && ::geteuid() == 0) {
        reason_->setText(QStringLiteral("以 root 身份运行：读不到你自己的程序"));
        reason_->setToolTip(QStringLiteral("助手只读取启动 Velmora 的用户自己的程序。请以普通用户运行 Velmora"
                                           "（加入 velmora 组，见帮助），这个开关才能读到浏览器和播放器。"));
    }
    reason_->setVisible(!reason_->text().isEmpty());
    // Greyed, it shows unticked whatever the setting says; the setting is kept for when the helper can run.
    applying_ = true;
    switch_->setValue(usable || !checked_ ? (velmora::TlsSettings(settings_).Probe() ? 1 : 0) : 0);
    applying_ = false;
}

void TlsProbeOption::clicked() {
    velmora::TlsSettings(settings_).SetProbe(switch_->Value() == 1);
    emit Changed();
}
