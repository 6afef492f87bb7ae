#include "mainwindow/MainWindowLayout.h"

#include <algorithm>

namespace {

constexpr int Px(int twips) {
    return twips / MainWindowLayout::kTwipsPerPixel;
}
constexpr int Twips(int pixels) {
    return pixels * MainWindowLayout::kTwipsPerPixel;
}

// Rectangles given in twips, as the window was designed.
constexpr QRect DesignRect(int left, int top, int width, int height) {
    return QRect(Px(left), Px(top), Px(width), Px(height));
}

} // namespace

MainWindowLayout MainWindowLayout::Compute(QSize outer, bool dataWindowShown, int tabBarHeight, int dataWindowHeight) {
    MainWindowLayout l;
    l.window = outer.expandedTo(kMinimumSize);
    l.snapped = l.window != outer;
    const int W = Twips(l.window.width());
    const int H = Twips(l.window.height());

    l.xp_Form = QRect(QPoint(0, 0), l.window);
    // The caption buttons keep their distance from the right edge, 345 twips apart.
    const int side = kCaptionButtonSide;
    l.closeb1 = QRect(Px(W - 405), Px(90), side, side);
    l.maxb1 = QRect(Px(W - 750), Px(90), side, side);
    l.minb1 = QRect(Px(W - 1095), Px(90), side, side);

    // The header keeps its design place whatever the size.
    l.Label11 = DesignRect(480, 720, 960, 240);
    l.Label10 = DesignRect(120, 1080, 1800, 285);
    l.Frame2 = DesignRect(1920, 480, 7200, 1155);

    l.TabS1 = QRect(Px(120), Px(1680), Px(W - 200), Px(H - 2050));
    const int tabs = std::clamp(tabBarHeight, kTabOverlap, l.TabS1.height());
    l.TabS1Tabs = QRect(l.TabS1.left(), l.TabS1.top(), l.TabS1.width(), tabs);
    const int paneTop = l.TabS1.top() + tabs - kTabOverlap;
    l.TabS1Pane = QRect(l.TabS1.left(), paneTop, l.TabS1.width(), l.TabS1.bottom() + 1 - paneTop);
    l.Frame1 = l.TabS1Pane.adjusted(kPaneBorder, kPaneBorder, -kPaneBorder, -kPaneBorder);

    l.Status1 = QRect(Px(90), Px(H - 380), Px(W - 180), Px(300));

    constexpr std::array<int, 6> kCmd1Index{0, 2, 3, 4, 5, 6};
    constexpr std::array<int, 6> kCmd1Left{120, 1560, 3000, 4440, 5880, 7320};
    for (std::size_t i = 0; i < kCmd1Index.size(); ++i)
        l.Cmd1[static_cast<std::size_t>(kCmd1Index[i])] = DesignRect(kCmd1Left[i], 120, 1245, 375);

    const int frameHeight = l.Frame1.height();
    const int listWidth = Px(W - 300);
    const int data = FittedDataWindowHeight(frameHeight, dataWindowHeight);
    l.LV1 = QRect(0, Px(600), listWidth, ListHeight(frameHeight, dataWindowShown, data));
    l.Text1 = QRect(0, DataWindowTop(frameHeight, data), listWidth, DataWindowHeight(frameHeight, data));
    return l;
}

// At the designed height these are the design's twips: the list 1815 twips less than the frame, Text1 1200
// twips above its bottom.
int MainWindowLayout::ListHeight(int frameHeight, bool dataWindowShown, int dataWindowHeight) {
    return std::max(0, dataWindowShown ? frameHeight - Px(600) - 1 - dataWindowHeight : frameHeight - Px(600));
}

int MainWindowLayout::DataWindowTop(int frameHeight, int dataWindowHeight) {
    return frameHeight - dataWindowHeight;
}

int MainWindowLayout::DataWindowHeight(int frameHeight, int dataWindowHeight) {
    return std::clamp(frameHeight - DataWindowTop(frameHeight, dataWindowHeight), 0, dataWindowHeight);
}

int MainWindowLayout::FittedDataWindowHeight(int frameHeight, int wanted) {
    // The list keeps its header and three rows.
    constexpr int kListKept = 80;
    const int most = std::max(kDataWindowHeight, frameHeight - Px(600) - 1 - kListKept);
    return std::clamp(wanted, kMinimumDataWindowHeight, most);
}
