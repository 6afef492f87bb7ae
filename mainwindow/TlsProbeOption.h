#pragma once
// The options page's switch "直接读取本机程序的 HTTPS（无需重启浏览器）", kept as "[Tls] Probe". It is greyed,
// with the reason beside it and in its tooltip, while velmora-tls cannot run here: found once at start by
// running "velmora-tls --check" (in the background; the switch waits greyed for its answer).

#include "mainwindow/TlsProbeProblem.h"

#include <QWidget>

#include <string>

class QLabel;
class QProcess;
class QTimer;

namespace velmora {
class SettingsFile;
class xpcheckbox;
} // namespace velmora

class TlsProbeOption final : public QWidget {
    Q_OBJECT

public:
    // `helper`: velmora-tls's path, empty when none was found.
    TlsProbeOption(velmora::SettingsFile& settings, std::string helper, QWidget* parent);
    ~TlsProbeOption() override;

    velmora::xpcheckbox* Switch() const { return switch_; }
    QLabel* Reason() const { return reason_; }
    const std::string& Helper() const { return helper_; }
    // The check has answered and found nothing missing.
    bool Usable() const { return checked_ && problem_.brief.isEmpty(); }
    // Ticked, and the helper can run here.
    bool IsOn() const;

signals:
    // IsOn may have changed: the user clicked, or the check answered.
    void Changed();

private:
    void startCheck();
    void checkEnded();
    void showProblem(const TlsProbeProblem& problem);
    void clicked();

    velmora::SettingsFile& settings_;
    std::string helper_;
    velmora::xpcheckbox* switch_ = nullptr;
    QLabel* reason_ = nullptr;
    QProcess* check_ = nullptr;
    QTimer* checkTimeout_ = nullptr;
    TlsProbeProblem problem_;
    bool checked_ = false;
    bool applying_ = false; // the switch's value is being set from the setting, not by the user
};
