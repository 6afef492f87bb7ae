#pragma once

#include "skin/PictureStrip.h"
#include "skin/SkinButton.h"

#include <QVariantMap>

namespace velmora {

// A 21 x 21 picture button of the caption-button family with one face and three looks: normal, hover, pressed.
// It has no disabled look.
class xphelp : public SkinButton {
    Q_OBJECT

public:
    enum Cell { Normal = 0, Hover = 1, Pressed = 2 };
    static constexpr int kSide = 21;

    explicit xphelp(QWidget* parent = nullptr);

    // Replaces the strip (three 21 x 21 cells in a row).
    void setPictures(const QImage& strip);
    int shownCell() const { return cell_; }

    // Persisted property: "Enabled".
    void initProperties();
    void readProperties(const QVariantMap& bag);
    QVariantMap writeProperties() const;

    QSize sizeHint() const override { return {kSide, kSide}; }

signals:
    void Click();
    void MouseOut();
    void MouseDown(int Button, int Shift, int X, int Y);
    void MouseMove(int Button, int Shift, int X, int Y);
    void MouseUp(int Button, int Shift, int X, int Y);

protected:
    void paintEvent(QPaintEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void movedOver(int Button, int Shift, int X, int Y) override;
    void mouseLeft() override;

private:
    void show_cell(int cell);
    void onClicked();

    PictureStrip pc1_;
    int cell_ = Normal;
};

} // namespace velmora
