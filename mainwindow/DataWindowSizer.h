#pragma once
// Lets the user drag the data window's top edge to give it more lines (or fewer), as a splitter would;
// the height is kept in "[Window] DataWindowHeight" and comes back at the next start.

#include <QObject>

#include <functional>

class QWidget;

namespace velmora {
class SettingsFile;
}

class DataWindowSizer final : public QObject {
    Q_OBJECT

public:
    // `text` is Text1 on the page `page`; `relayout` lays the window out again with Height().
    DataWindowSizer(velmora::SettingsFile& settings, QWidget* page, QWidget* text, std::function<void()> relayout,
                    QObject* parent);

    // The height the user chose (the designed one until then); the layout fits it to the frame.
    int Height() const { return height_; }
    void SetHeight(int height);
    QWidget* Handle() const { return handle_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void placeHandle();

    velmora::SettingsFile& settings_;
    QWidget* page_;
    QWidget* text_;
    std::function<void()> relayout_;
    QWidget* handle_ = nullptr;
    int height_;
    bool dragging_ = false;
    int pressOffset_ = 0; // while dragging: the pointer's distance below the data window's top
};
