#pragma once

#include "skin/PictureStrip.h"
#include "skin/SkinButton.h"

#include <QVariantMap>

namespace velmora {

// The program's own check box: a 16 x 16 picture showing one of twelve looks (values 0, 1, 2 times normal, hover,
// pressed, disabled) and a caption to its right. A click raises Click while Value still holds the old value, then
// cycles it (0 -> 1, 1 -> 0, 2 -> 0, others kept). As a QAbstractButton it also offers text(), setText() and
// clicked(); clicked() comes after the change.
class xpcheckbox : public SkinButton {
    Q_OBJECT
    Q_PROPERTY(int Value READ Value WRITE setValue)
    Q_PROPERTY(QString Caption READ Caption WRITE setCaption)

public:
    // Layout in twips, 15 to the pixel.
    static constexpr int kTwipsPerPixel = 15;
    static constexpr int kBoxTwips = 240;
    static constexpr int kCaptionLeftTwips = 480;

    explicit xpcheckbox(QWidget* parent = nullptr);
    explicit xpcheckbox(const QString& caption, QWidget* parent = nullptr);

    // 0 not ticked, 1 ticked, 2 third state. Other values are stored but select no picture.
    int Value() const { return value_; }
    void setValue(int value);

    QString Caption() const { return text(); }
    void setCaption(const QString& caption);

    // Replaces the picture strip (twelve 16 x 16 cells one under another).
    void setPictures(const QImage& strip);

    // The cell on show, and where the box and the caption sit.
    int shownCell() const { return cell_; }
    QRect boxRect() const;
    QRect captionRect() const;

    // Top of an item ITEMTWIPS high centred in a control CONTROLTWIPS high: the difference rounded to a whole
    // number, then halved with the fraction dropped.
    static int centredTopTwips(double controlTwips, double itemTwips);

    // Persisted properties, read in this order: "Value", "Caption", "Enabled".
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
    void changeEvent(QEvent* e) override;

private:
    void onClicked();
    void paint_resting();
    void show_cell(int cell);
    void showFor(int normalOffset);

    PictureStrip pc_;
    int value_ = 0;
    int cell_ = 0;
};

} // namespace velmora
