#pragma once

#include "skin/PictureStrip.h"
#include "skin/SkinButton.h"

#include <QVariantMap>
#include <array>

namespace velmora {

// The program's own 21 x 21 caption button. Value picks the face (0 close, 1 maximise, 2 minimise, 3 restore);
// each face has four cells: normal, hover, pressed, disabled. The host does the window action on Click.
// Its tooltip is the ordinary QWidget toolTip ("Restore", "Maximize" for the maximise button).
class xptopbuttons : public SkinButton {
    Q_OBJECT
    Q_PROPERTY(int Value READ Value WRITE setValue)

public:
    enum Face { Close = 0, Maximise = 1, Minimise = 2, Restore = 3 };
    enum Cell { Normal = 0, Hover = 1, Pressed = 2, Disabled = 3 };
    static constexpr int kSide = 21;

    explicit xptopbuttons(QWidget* parent = nullptr);
    explicit xptopbuttons(int value, QWidget* parent = nullptr);

    int Value() const { return value_; }
    // Stores the value and shows its face; a value outside 0 to 3 keeps the face in use.
    void setValue(int value);

    QString ToolTip() const { return toolTip(); }
    void setToolTip(const QString& tip) { QWidget::setToolTip(tip); }

    // Replaces the strip of one face (four 21 x 21 cells in a row).
    void setPictures(int face, const QImage& strip);

    int face() const { return face_; }
    int shownCell() const { return cell_; }

    // Persisted properties: "Value" (loaded without changing the face until the button is shown), "Enabled".
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
    void propertyChanged(const QString& key);

protected:
    void paintEvent(QPaintEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void movedOver(int Button, int Shift, int X, int Y) override;
    void mouseLeft() override;
    void showEvent(QShowEvent* e) override;
    void changeEvent(QEvent* e) override;

private:
    void show_face();
    void show_cell(int cell);

    std::array<PictureStrip, 4> pc_;
    int value_ = 0;
    int face_ = 0;
    int cell_ = Normal;
};

} // namespace velmora
