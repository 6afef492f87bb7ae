#include "desktop/Module2.h"

#include "desktop/DetachedProcess.h"

#include "desktop/X11XlibWindowDriver.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QGuiApplication>
#include <QStandardPaths>
#include <QTimer>

namespace Module2 {

void PauseServingEvents(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
}

std::optional<X11WindowDriver::WindowId> FindWindow(X11WindowDriver& driver, const QString& title, int attempts) {
    for (int attempt = 0; attempt < attempts; ++attempt)
        if (auto window = driver.FindWindowByTitle(title))
            return window;
    return std::nullopt;
}

bool WaitForDownloader(X11WindowDriver& driver, const Pause& pause) {
    QElapsedTimer waited;
    waited.start();
    pause(StartPauseMs);
    while (!driver.FindWindowByTitle(DownloaderTitle)) {
        if (waited.elapsed() >= StartWaitMs)
            return false;
        pause(StartPollMs);
    }
    return true;
}

HandOffResult SendToDownloader() {
    auto driver = X11XlibWindowDriver::Open();
    if (!driver)
        return HandOffResult::NoDisplay;
    return SendToDownloader(*driver, &PauseServingEvents);
}

HandOffResult SendToDownloader(X11WindowDriver& driver, const Pause& pause) {
    const auto mainWindow = FindWindow(driver, DownloaderTitle, MainWindowAttempts);
    if (!mainWindow)
        return HandOffResult::MainWindowNotFound;

    driver.ShowMaximizedOnTop(*mainWindow);
    // The window manager maximises asynchronously; measuring before it has done so would put the
    // click where the window used to be.
    constexpr int settleStepMs = 20, settleLimitMs = 500;
    for (int waited = 0; waited < settleLimitMs && !driver.IsShownMaximized(*mainWindow); waited += settleStepMs)
        pause(settleStepMs);

    const auto mainRect = driver.WindowRect(*mainWindow);
    if (!mainRect)
        return HandOffResult::MainWindowGone;
    driver.MoveCursor(mainRect->topLeft() + ClickOffset);
    pause(PauseMs);
    driver.LeftClick();
    pause(PauseMs);

    const auto addTask = FindWindow(driver, AddTaskTitle, AddTaskWindowAttempts);
    if (!addTask)
        return HandOffResult::AddTaskWindowNotFound;
    const auto addTaskRect = driver.WindowRect(*addTask);
    if (!addTaskRect)
        return HandOffResult::AddTaskWindowGone;
    driver.MoveCursor(addTaskRect->topLeft() + CursorOffset);
    driver.PasteKeystroke();
    return HandOffResult::Pasted;
}

QString FailureText(HandOffResult result) {
    switch (result) {
    case HandOffResult::Pasted:
        return {};
    case HandOffResult::NoDisplay:
        return QStringLiteral("没有可用的 X 显示，无法操作“影音传送带”的窗口；链接已复制到剪贴板，请手动粘贴。");
    case HandOffResult::MainWindowNotFound:
    case HandOffResult::MainWindowGone:
        return QStringLiteral("未找到“影音传送带”的主窗口，链接已复制到剪贴板，请手动粘贴。");
    case HandOffResult::AddTaskWindowNotFound:
    case HandOffResult::AddTaskWindowGone:
        return QStringLiteral("未找到“添加新的下载任务”窗口，链接已复制到剪贴板，请手动粘贴。");
    }
    return {};
}

bool WaylandSession() {
    return qEnvironmentVariable("XDG_SESSION_TYPE").compare(QLatin1String("wayland"), Qt::CaseInsensitive) == 0 ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

QString WaylandNotice() {
    return QStringLiteral(
        "当前是 Wayland 桌面：操作其他程序的窗口在这里可能无效，XWayland 可能拒绝或错放模拟的点击和按键。\n\n"
        "链接已复制到剪贴板；如果“添加新的下载任务”窗口里没有出现链接，请手动粘贴。");
}

StartResult StartDownloader(const QString& path) {
    const QFileInfo file(path);
    bool started = false;
    if (file.suffix().compare(QLatin1String("exe"), Qt::CaseInsensitive) == 0) {
        const QString wine = QStandardPaths::findExecutable(QStringLiteral("wine"));
        if (wine.isEmpty())
            return {false, QStringLiteral("“%1”是 Windows 程序，需要 wine 才能运行，但系统中没有找到 wine。"
                                          "请先安装 wine（例如 apt install wine）。")
                               .arg(path)};
        // "start /min" is wine's way of starting a program minimised.
        started = bool(DetachedProcess{wine,
                                       {QStringLiteral("start"), QStringLiteral("/min"), QStringLiteral("/unix"),
                                        file.absoluteFilePath()},
                                       file.absolutePath()}
                           .Start());
    } else {
        started = bool(DetachedProcess{file.absoluteFilePath(), {}, file.absolutePath()}.Start());
    }
    if (!started)
        return {false, QStringLiteral("无法启动“%1”：文件不可执行或无法运行。").arg(path)};
    return {true, {}};
}

} // namespace Module2
