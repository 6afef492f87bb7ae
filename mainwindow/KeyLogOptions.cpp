#include "mainwindow/KeyLogOptions.h"

#include "desktop/BrowserLauncher.h"
#include "mainwindow/Dialogs.h"
#include "settings/TlsSettings.h"
#include "skin/xpcmdbutton.h"

#include <QDir>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QStandardPaths>
#include <QVBoxLayout>

#include <unistd.h>

#include <variant>

KeyLogOptions::KeyLogOptions(velmora::SettingsFile& settings, QWidget* parent) : QWidget(parent), settings_(settings) {
    setObjectName(QStringLiteral("KeyLogOptions"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(3);
    auto* label = new QLabel(QStringLiteral("★ TLS 密钥日志"), this);
    QFont bold = label->font();
    bold.setBold(true);
    label->setFont(bold);
    column->addWidget(label);

    // Field and button share one row: the options page must hold every group at the window's smallest size.
    auto* row = new QHBoxLayout;
    row->setSpacing(4);
    keyLogFile_ = new QLineEdit(this);
    keyLogFile_->setObjectName(QStringLiteral("KeyLogFile"));
    const QString session = QString::fromStdString(velmora::TlsSettings::SessionKeyLogFile());
    keyLogFile_->setPlaceholderText(session.isEmpty() ? QStringLiteral("单击选择密钥日志文件")
                                                      : QStringLiteral("使用 SSLKEYLOGFILE：%1").arg(session));
    keyLogFile_->setToolTip(
        QStringLiteral("浏览器写入 TLS 密钥的文件（SSLKEYLOGFILE）。有了它，嗅探能解密 HTTPS 请求。"));
    keyLogFile_->installEventFilter(this);
    row->addWidget(keyLogFile_, 1);
    auto* button = new velmora::xpcmdbutton(QStringLiteral("启动浏览器（记录密钥）"), this);
    button->setObjectName(QStringLiteral("LaunchBrowser"));
    button->setMinimumHeight(keyLogFile_->sizeHint().height());
    button->setMinimumWidth(button->fontMetrics().horizontalAdvance(button->text()) + 16);
    launchBrowser_ = button;
    row->addWidget(button);
    column->addLayout(row);

    keyLogFile_->setText(QString::fromStdString(velmora::TlsSettings(settings_).KeyLogFile()));
    connect(keyLogFile_, &QLineEdit::textChanged, this, &KeyLogOptions::keyLogFileChanged);
    connect(keyLogFile_, &QLineEdit::editingFinished, this, &KeyLogOptions::KeyLogChosen);
    connect(launchBrowser_, &QAbstractButton::clicked, this, &KeyLogOptions::LaunchBrowser_Click);
}

QString KeyLogOptions::KeyLogBaseFolder() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime) && QFileInfo(runtime).isDir())
        return runtime;
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
}

void KeyLogOptions::keyLogFileChanged() {
    velmora::TlsSettings(settings_).SetKeyLogFile(keyLogFile_->text().toStdString());
}

void KeyLogOptions::KeyLogFile_Click() {
    // The browser makes the file at its first connection, so a name that does not exist yet is fine.
    if (auto chosen = Dialogs::OpenFileName(this, QStringLiteral("选择 TLS 密钥日志文件"), keyLogFile_->text(),
                                            QStringLiteral("密钥日志(*.log *.txt);;所有文件(*)"), false)) {
        keyLogFile_->setText(*chosen);
        emit KeyLogChosen();
    }
}

void KeyLogOptions::LaunchBrowser_Click() {
    if (::geteuid() == 0) {
        Dialogs::Message(this, QMessageBox::Warning, QStringLiteral("无法启动浏览器"), BrowserLauncher::RootMessage());
        return;
    }
    velmora::TlsSettings tls(settings_);
    const auto ensured = tls.EnsureKeyLogFile(KeyLogBaseFolder().toStdString());
    if (const auto* failed = std::get_if<velmora::KeyLogFileError>(&ensured)) {
        Dialogs::Message(this, QMessageBox::Critical, QStringLiteral("密钥日志错误"),
                         QString::fromStdString(failed->message));
        return;
    }
    const QString path = QString::fromStdString(std::get<std::string>(ensured));
    // The session's SSLKEYLOGFILE is used as it is, not stored: the setting stays empty while the user keeps it.
    if (keyLogFile_->text() != path &&
        !(keyLogFile_->text().isEmpty() && path.toStdString() == tls.SessionKeyLogFile()))
        keyLogFile_->setText(path);
    emit KeyLogChosen(); // read at once by a capture that runs, before the browser writes to it
    StartBrowser(path, QProcessEnvironment::systemEnvironment());
}

void KeyLogOptions::StartBrowser(const QString& keyLogFile, const QProcessEnvironment& environment) {
    std::optional<BrowserLauncher::Launch> launch = BrowserLauncher::Plan(keyLogFile, environment);
    if (!launch) {
        Dialogs::Message(this, QMessageBox::Critical, QStringLiteral("无法启动浏览器"),
                         BrowserLauncher::NoBrowserMessage());
        return;
    }
    if (launch->runningPid) {
        const QMessageBox::StandardButton answer = Dialogs::Choice(
            this, QMessageBox::Warning, QStringLiteral("浏览器已在运行"), BrowserLauncher::RunningMessage(*launch),
            {{QMessageBox::Open, QStringLiteral("打开单独的浏览器")},
             {QMessageBox::Cancel, QStringLiteral("我先关闭浏览器")}});
        if (answer != QMessageBox::Open)
            return;
        launch = BrowserLauncher::WithOwnProfile(*launch);
    }
    if (const std::optional<QString> failed = BrowserLauncher::Start(*launch))
        Dialogs::Message(this, QMessageBox::Critical, QStringLiteral("无法启动浏览器"), *failed);
}

bool KeyLogOptions::eventFilter(QObject* watched, QEvent* event) {
    if (watched == keyLogFile_ && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
        QMetaObject::invokeMethod(this, &KeyLogOptions::KeyLogFile_Click, Qt::QueuedConnection);
    return QWidget::eventFilter(watched, event);
}
