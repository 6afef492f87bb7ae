#pragma once
// The hand-off of an address to the download manager "影音传送带", which has no programming
// interface: its windows are driven from outside the way a user would. The caller has put the
// address on the clipboard and, if needed, started the download manager.
//
// On X11 the clipboard's text is served by this process, so every pause keeps the event loop
// running (user input excluded); a sleeping thread would make the paste come back empty.

#include "desktop/X11WindowDriver.h"

#include <QString>

#include <functional>
#include <optional>

namespace Module2 {

inline const QString DownloaderTitle = QStringLiteral("影音传送带");
inline const QString AddTaskTitle = QStringLiteral("添加新的下载任务");
constexpr int MainWindowAttempts = 30;
constexpr int AddTaskWindowAttempts = 29;
constexpr QPoint ClickOffset{158, 65};
constexpr QPoint CursorOffset{450, 350};
constexpr int PauseMs = 500;
constexpr int StartPauseMs = 1000; // after starting the download manager, before the hand-off
// A download manager under Wine on a busy machine takes seconds to show its window: after the first
// pause the hand-off keeps looking for it this long in all.
constexpr int StartWaitMs = 15000;
constexpr int StartPollMs = 100;

enum class HandOffResult {
    Pasted,
    NoDisplay,
    MainWindowNotFound,
    MainWindowGone, // found, but its rectangle could not be read
    AddTaskWindowNotFound,
    AddTaskWindowGone,
};

using Pause = std::function<void(int ms)>;

// Waits `ms` while the event loop keeps serving everything but user input.
void PauseServingEvents(int ms);

// Finds the download manager's windows, clicks into its main window to open the add-task window and
// pastes the clipboard there. The first form drives the real X display.
HandOffResult SendToDownloader();
HandOffResult SendToDownloader(X11WindowDriver& driver, const Pause& pause);

// At most `attempts` searches, without a pause between them.
std::optional<X11WindowDriver::WindowId> FindWindow(X11WindowDriver& driver, const QString& title, int attempts);

// After starting the download manager: the design's pause, then a look every StartPollMs until its
// main window is there or StartWaitMs have passed in all. True when it appeared.
bool WaitForDownloader(X11WindowDriver& driver, const Pause& pause);

// What the box says when the hand-off stopped short; empty for Pasted.
QString FailureText(HandOffResult result);

// A Wayland desktop: the download manager runs under XWayland, which may refuse or misplace the
// synthesized input, so the hand-off says so before it starts.
bool WaylandSession();
QString WaylandNotice();

// Starts the download manager at `path`: a Windows program (.exe) through wine, minimised; anything
// else as it is. On failure, the reason in Chinese.
struct StartResult {
    bool started = false;
    QString error;
};
StartResult StartDownloader(const QString& path);

} // namespace Module2
