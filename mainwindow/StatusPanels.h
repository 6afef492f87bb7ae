#pragma once
// Status1: the four panels of the main window's status bar (capture state, adapter name, address, mask),
// numbered from 1, plus a panel with the capture's running figures.

#include <QStatusBar>

#include <array>

class QLabel;

namespace velmora {
struct CaptureStats;
}

class StatusPanels final : public QStatusBar {
    Q_OBJECT

public:
    static constexpr int kPanelCount = 4;

    explicit StatusPanels(QWidget* parent = nullptr);

    // Panels 1..4; nullptr for any other number.
    QLabel* Panel(int number) const;
    QString PanelText(int number) const;
    void SetPanelText(int number, const QString& text);

    // Frames captured and dropped while a capture runs.
    QLabel* CapturePanel() const { return capturePanel_; }
    // Shows the capture's figures in that panel, short, followed by `brief` (the TLS figures); the panel's
    // tooltip has them in full, with `detail`.
    void ShowCaptureFigures(const velmora::CaptureStats& stats, const QString& brief = {}, const QString& detail = {});
    // The same for other figures (a capture file's).
    void ShowFigures(const QString& brief, const QString& detail);

private:
    std::array<QLabel*, kPanelCount> panels_{};
    QLabel* capturePanel_ = nullptr;
};
