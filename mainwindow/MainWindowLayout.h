#pragma once
// Where every control of the main window goes for one window size and data-window state. The rules are
// lengths in twips taken from the window's outer size; each result is cut to whole pixels (15 twips to the
// pixel, the fraction dropped), the way a control placed in twips lands on the screen. No widgets here,
// so the numbers are tested without a window.

#include <QRect>
#include <QSize>

#include <array>

struct MainWindowLayout final {
    static constexpr int kTwipsPerPixel = 15;
    // The window never gets smaller than 9285 x 7485 twips.
    static constexpr QSize kMinimumSize{9285 / kTwipsPerPixel, 7485 / kTwipsPerPixel};
    // Height of TabS1's row of tabs when the caller does not measure it.
    static constexpr int kTabBarHeight = 24;
    // The tab strip's pane border, between the strip's outline and its client area.
    static constexpr int kPaneBorder = 2;
    // The pane's top edge runs under the bottom of the tabs, so the chosen tab (drawn over it) opens into it.
    static constexpr int kTabOverlap = 2;
    static constexpr int kCaptionButtonSide = 315 / kTwipsPerPixel;

    // The outer size laid out: the one asked for, grown to the minimum where it was smaller.
    QSize window;
    // Whether the size asked for was below the minimum in either direction: the window is to be set to `window`
    // first (which lays out again).
    bool snapped = false;

    // In the window's coordinates.
    QRect xp_Form;
    QRect minb1, maxb1, closeb1;
    QRect Label11, Label10, Frame2;
    QRect TabS1;     // the whole strip: the row of tabs and the pane below it
    QRect TabS1Tabs; // the row of tabs, over the pane's top edge
    QRect TabS1Pane; // the pane, framed
    QRect Frame1;    // the strip's client area: both frames of Frame1 lie here
    QRect Status1;

    // In the coordinates of frame 0.
    std::array<QRect, 7> Cmd1{}; // buttons 0 and 2 to 6; index 1 stays empty
    QRect LV1;
    QRect Text1;

    // Text1's height as designed: 1200 twips from its top to the frame's bottom. The user may drag it taller.
    static constexpr int kDataWindowHeight = 80;
    static constexpr int kMinimumDataWindowHeight = 40; // two lines and the scroll bar's arrows

    static MainWindowLayout Compute(QSize outer, bool dataWindowShown, int tabBarHeight = kTabBarHeight,
                                    int dataWindowHeight = kDataWindowHeight);

    // LV1's height in a frame 0 of FRAMEHEIGHT pixels: the frame less 600 twips while the data window is hidden,
    // less 1815 twips (at the designed height) while it is shown. The command bar's toggle sets it the same way.
    static int ListHeight(int frameHeight, bool dataWindowShown, int dataWindowHeight = kDataWindowHeight);
    // Text1's top in frame 0: 1200 twips above the frame's bottom at the designed height.
    static int DataWindowTop(int frameHeight, int dataWindowHeight = kDataWindowHeight);
    // Text1's height: what fits in the frame below its top, so the frame does not clip its lower edge.
    static int DataWindowHeight(int frameHeight, int dataWindowHeight = kDataWindowHeight);
    // A height the user dragged to, kept to what a frame of FRAMEHEIGHT pixels has room for beside a list
    // of a few rows.
    static int FittedDataWindowHeight(int frameHeight, int wanted);
};
