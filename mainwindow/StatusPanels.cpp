#include "mainwindow/StatusPanels.h"

#include "capture/pcap/CaptureComponent.h"

#include <QLabel>

StatusPanels::StatusPanels(QWidget* parent) : QStatusBar(parent) {
    setSizeGripEnabled(false);
    const std::array<QString, kPanelCount> designTexts{QStringLiteral("状态：停止嗅探"), QStringLiteral("网卡：未选择"),
                                                       QString(), QString()};
    const std::array<int, kPanelCount> stretch{2, 3, 2, 2};
    for (int i = 0; i < kPanelCount; ++i) {
        auto* label = new QLabel(designTexts[static_cast<std::size_t>(i)], this);
        label->setObjectName(QStringLiteral("Status1Panel%1").arg(i + 1));
        label->setFrameShape(QFrame::StyledPanel);
        label->setFrameShadow(QFrame::Sunken);
        // No fixed minimum: the label's own (its text's width) keeps "状态：嗅探开始" whole.
        addWidget(label, stretch[static_cast<std::size_t>(i)]);
        panels_[static_cast<std::size_t>(i)] = label;
    }
    capturePanel_ = new QLabel(this);
    capturePanel_->setObjectName(QStringLiteral("Status1Figures"));
    capturePanel_->setFrameShape(QFrame::StyledPanel);
    capturePanel_->setFrameShadow(QFrame::Sunken);
    // No stretch: while a temporary message hides the four panels, a stretching permanent panel would take
    // their room, and the message is drawn only left of it.
    addPermanentWidget(capturePanel_);
}

QLabel* StatusPanels::Panel(int number) const {
    if (number < 1 || number > kPanelCount)
        return nullptr;
    return panels_[static_cast<std::size_t>(number - 1)];
}

QString StatusPanels::PanelText(int number) const {
    const QLabel* label = Panel(number);
    return label ? label->text() : QString();
}

void StatusPanels::SetPanelText(int number, const QString& text) {
    if (QLabel* label = Panel(number))
        label->setText(text);
}

void StatusPanels::ShowCaptureFigures(const velmora::CaptureStats& stats, const QString& brief, const QString& detail) {
    QString text = QStringLiteral("已捕获 %1 帧").arg(stats.received);
    if (stats.droppedByKernel > 0)
        text += QStringLiteral(" · 丢弃 %1").arg(stats.droppedByKernel);
    const QString full = QStringLiteral("已捕获 %1 帧，内核丢弃 %2 帧").arg(stats.received).arg(stats.droppedByKernel);
    ShowFigures(text + brief, detail.isEmpty() ? full : full + QLatin1Char('\n') + detail);
}

void StatusPanels::ShowFigures(const QString& brief, const QString& detail) {
    capturePanel_->setText(brief);
    capturePanel_->setToolTip(detail);
}
