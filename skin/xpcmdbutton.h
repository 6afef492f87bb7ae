#pragma once

#include "skin/PictureStrip.h"
#include "skin/SkinButton.h"

#include <QVariantMap>

namespace velmora {

// The program's own push button: paints one of five looks from a strip of 18 x 21 cells, stretched over any size
// with its 3-pixel rim kept, and centres its caption. It is a QAbstractButton, so text(), setText(), clicked()
// and the access key of a caption like "&Save" work as for any Qt button; Caption and Click are the same things.
class xpcmdbutton : public SkinButton {
    Q_OBJECT
    Q_PROPERTY(QString Caption READ Caption WRITE setCaption)
    Q_PROPERTY(int State READ State WRITE setState)

public:
    // Cells of the strip.
    enum Cell { Normal = 0, Pressed = 1, Disabled = 2, Hover = 3, Alternative = 4 };

    explicit xpcmdbutton(QWidget* parent = nullptr);
    explicit xpcmdbutton(const QString& caption, QWidget* parent = nullptr);

    QString Caption() const { return text(); }
    void setCaption(const QString& caption);

    // "Returns/sets the state of the command button when mouse_out.": 0 rests on cell 0, 1 on cell 4,
    // any other value keeps the last resting cell.
    int State() const { return state_; }
    void setState(int state);

    // Replaces the picture strip (one row of five cells); the shipped strip is used until then.
    void setPictures(const QImage& strip);

    // The cell on show and where the caption is drawn.
    int shownCell() const { return cell_; }
    QRect captionRect() const;

    // Persisted properties: "State", "Enabled", "Caption". A fresh instance takes its object name as caption.
    void initProperties();
    void readProperties(const QVariantMap& bag);
    QVariantMap writeProperties() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    void Click();
    void KeyDown(int KeyCode, int Shift);
    void KeyPress(int KeyAscii);
    void KeyUp(int KeyCode, int Shift);
    void MouseOut();
    void MouseDown(int Button, int Shift, int X, int Y);
    void MouseMove(int Button, int Shift, int X, int Y);
    void MouseUp(int Button, int Shift, int X, int Y);
    void propertyChanged(const QString& key);

protected:
    void paintEvent(QPaintEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void movedOver(int Button, int Shift, int X, int Y) override;
    void mouseLeft() override;
    void keyPressEvent(QKeyEvent* e) override;
    void keyReleaseEvent(QKeyEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void changeEvent(QEvent* e) override;

private:
    void draw_cell(int cell);
    void draw_resting();

    PictureStrip pc_;
    int state_ = 0;
    int rest_cell_ = Normal;
    int cell_ = Normal;
};

} // namespace velmora
