#pragma once
// The start-up window: a borderless gradient card with the product's name, logo, tagline and contact lines,
// and a progress bar that grows two blocks per tick of Timer1. The tick that carries the bar past its width
// less 5 pixels unloads the splash and asks for the main window. A click opens the maker's page and
// leaves the timing alone.

#include <QPixmap>
#include <QUrl>
#include <QWidget>

#include <array>
#include <cstdint>

class QLabel;
class QTimer;

class frmSplash final : public QWidget {
    Q_OBJECT

public:
    // Colours as red + 256 x green + 65536 x blue.
    static constexpr quint32 kStartColour = 131u + 256u * 166u + 65536u * 244u;
    static constexpr quint32 kEndColour = 33u + 256u * 120u + 65536u * 224u;
    static constexpr int kTickMs = 200;
    // The window's inner size: 6300 x 3960 twips.
    static constexpr int kWidth = 6300 / 15;
    static constexpr int kHeight = 3960 / 15;
    // picpgb2: 5745 x 285 twips at (240, 3360).
    static constexpr int kBarLeft = 240 / 15;
    static constexpr int kBarTop = 3360 / 15;
    static constexpr int kBarWidth = 5745 / 15;
    static constexpr int kBarHeight = 285 / 15;
    // The block: the 8 x 12 piece of imgpgb1 at (23, 5), drawn at the bar's y 4, 10 pixels apart.
    static constexpr int kBlockLeft = 23;
    static constexpr int kBlockTop = 5;
    static constexpr int kBlockWidth = 8;
    static constexpr int kBlockHeight = 12;
    static constexpr int kBlockY = 4;
    static constexpr int kBlockStep = 10;

    static QUrl MakerPage();
    // The four contact lines, top to bottom.
    static std::array<QString, 4> ContactLines();

    explicit frmSplash(QWidget* parent = nullptr);
    // The end of the splash stops its timer.
    ~frmSplash() override;

    // One tick of Timer1: two blocks, then the hand-over once the bar is full.
    void Timer1_Timer();
    // The background's click: the maker's page, in the desktop's browser.
    void Form_Click();

    QTimer* Timer1() const { return Timer1_; }
    QLabel* picpgb2() const { return picpgb2_; }
    // The drawing position in the bar's pixels; 16-bit, as the original kept it.
    std::int16_t DrawingPosition() const { return position_; }
    // The look of one block, cut from imgpgb1.
    const QPixmap& Block() const { return block_; }
    bool IsUnloaded() const { return unloaded_; }

signals:
    // Raised once, after the splash has unloaded itself: time to load and show the main window.
    void LoadMainWindow();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void drawBlock(int x);

    QTimer* Timer1_;
    QLabel* imgLogo_;
    QLabel* lblTitle_;
    QLabel* lblTagline_;
    std::array<QLabel*, 4> lblContact_{};
    QLabel* picpgb2_;
    QPixmap bar_;
    QPixmap block_;
    std::int16_t position_ = 0;
    bool pressed_ = false;
    bool unloaded_ = false;
};
