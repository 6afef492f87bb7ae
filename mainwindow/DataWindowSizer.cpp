#include "mainwindow/DataWindowSizer.h"

#include "mainwindow/MainWindowLayout.h"
#include "settings/SettingsFile.h"
#include "settings/SettingsKeys.h"

#include <QEvent>
#include <QMouseEvent>
#include <QWidget>

#include <algorithm>
#include <charconv>
#include <string>

namespace keys = velmora::keys;

namespace {

constexpr int kHandleHeight = 6; // over the gap between the list and Text1, and Text1's top edge

int StoredHeight(const velmora::SettingsFile& settings) {
    const std::string text = settings.GetIniString(keys::kWindowSection, keys::kDataWindowHeightKey);
    int height = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), height);
    if (error != std::errc() || end != text.data() + text.size() || height <= 0)
        return MainWindowLayout::kDataWindowHeight;
    return std::max(height, MainWindowLayout::kMinimumDataWindowHeight);
}

} // namespace

DataWindowSizer::DataWindowSizer(velmora::SettingsFile& settings, QWidget* page, QWidget* text,
                                 std::function<void()> relayout, QObject* parent)
    : QObject(parent), settings_(settings), page_(page), text_(text), relayout_(std::move(relayout)),
      height_(StoredHeight(settings)) {
    handle_ = new QWidget(page);
    handle_->setObjectName(QStringLiteral("DataWindowHandle"));
    handle_->setCursor(Qt::SizeVerCursor);
    handle_->setToolTip(QStringLiteral("拖动以改变数据窗口的高度"));
    handle_->setVisible(text->isVisible());
    handle_->installEventFilter(this);
    text->installEventFilter(this);
    placeHandle();
}

void DataWindowSizer::SetHeight(int height) {
    height = std::max(height, MainWindowLayout::kMinimumDataWindowHeight);
    if (height == height_)
        return;
    height_ = height;
    relayout_();
}

void DataWindowSizer::placeHandle() {
    const QRect text = text_->geometry();
    handle_->setGeometry(text.left(), text.top() - kHandleHeight / 2, text.width(), kHandleHeight);
    handle_->raise();
}

bool DataWindowSizer::eventFilter(QObject* watched, QEvent* event) {
    if (watched == text_) {
        switch (event->type()) {
        case QEvent::Show:
        case QEvent::Hide:
            handle_->setVisible(event->type() == QEvent::Show);
            [[fallthrough]];
        case QEvent::Move:
        case QEvent::Resize:
            placeHandle();
            break;
        default:
            break;
        }
        return false;
    }
    if (watched != handle_)
        return false;
    auto* mouse = static_cast<QMouseEvent*>(event);
    switch (event->type()) {
    case QEvent::MouseButtonPress:
        if (mouse->button() != Qt::LeftButton)
            return false;
        dragging_ = true;
        pressOffset_ = page_->mapFromGlobal(mouse->globalPosition().toPoint()).y() - text_->geometry().top();
        return true;
    case QEvent::MouseMove:
        if (!dragging_)
            return false;
        {
            const int top = page_->mapFromGlobal(mouse->globalPosition().toPoint()).y() - pressOffset_;
            SetHeight(MainWindowLayout::FittedDataWindowHeight(page_->height(), page_->height() - top));
        }
        return true;
    case QEvent::MouseButtonRelease:
        if (!dragging_)
            return false;
        dragging_ = false;
        settings_.WriteIniString(keys::kWindowSection, keys::kDataWindowHeightKey, std::to_string(height_));
        return true;
    default:
        return false;
    }
}
