// A stand-in for the download manager "影音传送带" in the hand-off tests: a main window with that
// title which, when clicked at (158, 65) of its outer rectangle, opens "添加新的下载任务" with the
// keyboard focus in its address field.
//
// Usage: tool_fake_downloader [LOG] [--no-add-task]
// LOG (or $VELMORA_FAKE_DOWNLOADER_LOG when not given, for a copy started by the program itself)
// receives one line per event, flushed at once:
//   pid N              at start, so a test can stop a copy it did not start itself
//   click X Y          a press on the main window, X Y from its outer top-left corner
//   cursor X Y         the cursor when the address field changed, from the add-task window's corner
//   field TEXT         the address field's text after a change
// --no-add-task: clicks open nothing, for the case where the add-task window never appears.
// $VELMORA_FAKE_DOWNLOADER_DELAY_MS: the main window shows that late, as a program under Wine does.

#include <QApplication>
#include <QCursor>
#include <QDialog>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <memory>

namespace {

class EventLog final {
public:
    explicit EventLog(const QString& path) : file_(path) {
        if (!path.isEmpty())
            file_.open(QIODevice::WriteOnly | QIODevice::Append);
    }
    void Write(const QString& line) {
        if (!file_.isOpen())
            return;
        file_.write(line.toUtf8() + '\n');
        file_.flush();
    }

private:
    QFile file_;
};

class AddTaskDialog final : public QDialog {
public:
    AddTaskDialog(QWidget* parent, EventLog& log) : QDialog(parent), log_(log) {
        setWindowTitle(QStringLiteral("添加新的下载任务"));
        resize(640, 480);
        auto* layout = new QVBoxLayout(this);
        layout->addWidget(new QLabel(QStringLiteral("下载地址：")));
        address_ = new QLineEdit;
        address_->setObjectName(QStringLiteral("address"));
        layout->addWidget(address_);
        layout->addStretch();
        connect(address_, &QLineEdit::textChanged, this, [this](const QString& text) {
            const QPoint at = QCursor::pos() - frameGeometry().topLeft();
            log_.Write(QStringLiteral("cursor %1 %2").arg(at.x()).arg(at.y()));
            log_.Write(QStringLiteral("field ") + text);
        });
    }
    void Open() {
        show();
        raise();
        activateWindow();
        address_->setFocus();
    }

private:
    EventLog& log_;
    QLineEdit* address_ = nullptr;
};

class FakeMainWindow final : public QWidget {
public:
    FakeMainWindow(EventLog& log, bool opensAddTask) : log_(log), opensAddTask_(opensAddTask) {
        setWindowTitle(QStringLiteral("影音传送带"));
        resize(700, 500);
        auto* label = new QLabel(QStringLiteral("新建任务：点击左上角附近"), this);
        label->move(200, 120);
    }

protected:
    void mousePressEvent(QMouseEvent* event) override {
        const QPoint at = event->globalPosition().toPoint() - frameGeometry().topLeft();
        log_.Write(QStringLiteral("click %1 %2").arg(at.x()).arg(at.y()));
        // The "new task" button of the real program sits under that point; a few pixels of slack.
        if (opensAddTask_ && (at - QPoint(158, 65)).manhattanLength() <= 6) {
            if (!addTask_)
                addTask_ = std::make_unique<AddTaskDialog>(this, log_);
            addTask_->Open();
        }
    }

private:
    EventLog& log_;
    bool opensAddTask_;
    std::unique_ptr<AddTaskDialog> addTask_;
};

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const bool opensAddTask = !args.removeAll(QStringLiteral("--no-add-task"));
    const QString logPath = args.isEmpty() ? qEnvironmentVariable("VELMORA_FAKE_DOWNLOADER_LOG") : args.front();
    EventLog log(logPath);
    log.Write(QStringLiteral("pid %1").arg(QCoreApplication::applicationPid()));

    FakeMainWindow window(log, opensAddTask);
    QTimer::singleShot(qEnvironmentVariableIntValue("VELMORA_FAKE_DOWNLOADER_DELAY_MS"), &window, &QWidget::show);
    return app.exec();
}
