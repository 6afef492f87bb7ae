#pragma once

#include <QImage>
#include <QLabel>
#include <QVariantMap>
#include <QWidget>

namespace velmora {

// The program's own group frame: a thin rounded rectangle from a 22 x 20 picture, stretched to the control, with
// its coloured caption sitting on the top line. It is a container: put child widgets inside it.
class xpgroupbox : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString Caption READ Caption WRITE setCaption)

public:
    explicit xpgroupbox(QWidget* parent = nullptr);
    explicit xpgroupbox(const QString& caption, QWidget* parent = nullptr);

    QString Caption() const;
    void setCaption(const QString& caption);

    // The caption's font; the control's own font is left to its children.
    void setCaptionFont(const QFont& font);

    // Replaces the frame picture (22 x 20).
    void setPicture(const QImage& picture);

    // y of the frame's top line: half the caption's height, fraction dropped.
    int frameTop() const;

    // Persisted properties, read in the order "Enabled", "Caption".
    void initProperties();
    void readProperties(const QVariantMap& bag);
    QVariantMap writeProperties() const;

signals:
    void Click();
    void DblClick();
    void MouseDown(int Button, int Shift, int X, int Y);
    void MouseMove(int Button, int Shift, int X, int Y);
    void MouseUp(int Button, int Shift, int X, int Y);
    void propertyChanged(const QString& key);

protected:
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void changeEvent(QEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    void placeCaption();
    void setCaptionColour();
    // Shared by the surface and the caption; coordinates are relative to the piece the event came from.
    bool forwardMouse(QObject* source, QMouseEvent* e);

    QImage img_;
    QLabel* lbl_;
    QObject* pressedOn_ = nullptr;
    bool secondPress_ = false;
};

} // namespace velmora
