// The desktop program as installed: check-install.sh copies this test beside the installed velmora, in
// <tree>/bin, so it looks for its files exactly where the installed program does.
#include "../gui/tst_mainwindow_support.h"

#include "desktop/cPopupMenu.h"
#include "mainwindow/FileTypeTableModel.h"

#include <QAbstractButton>
#include <QDesktopServices>
#include <QMenu>

class UrlCatcher final : public QObject {
    Q_OBJECT

public:
    QList<QUrl> opened;

public slots:
    void open(const QUrl& url) { opened.append(url); }
};

namespace {

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class InstalledTest final : public QObject {
    Q_OBJECT

private slots:
    // Even where root may write into bin/, an installed program keeps the user's settings in the configuration
    // folder, starts them from share/velmora/default-setting.ini, and "帮   助" opens share/velmora/readme.htm.
    void findsItsFilesInShareAndKeepsSettingsInTheConfigFolder() {
        const QDir bin(QCoreApplication::applicationDirPath());
        const QString share = QDir::cleanPath(bin.filePath(QStringLiteral("../share/velmora")));
        QVERIFY2(QFileInfo(share + QStringLiteral("/default-setting.ini")).isFile(), qPrintable(share));
        QVERIFY(!QFile::exists(bin.filePath(QStringLiteral("default-setting.ini"))));

        QTemporaryDir config;
        QVERIFY(config.isValid());
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        qunsetenv("VELMORA_SETTINGS");

        testsupport::DialogRecorder dialogs;
        Form1::Options options;
        options.adapters = std::vector<velmora::AdapterInfo>{testsupport::Adapter("lo", 0x7f000001, 0xff000000)};
        options.webBrowser = false;
        options.trayIcon = false;
        Form1 form(std::move(options));

        const QString ini = config.filePath(QStringLiteral("velmora/setting.ini"));
        QVERIFY(QFile::exists(ini));
        QVERIFY(!QFile::exists(bin.filePath(QStringLiteral("setting.ini"))));
        QVERIFY(contents(ini).contains("AdaptorUsed=0")); // start-up wrote the choice back there
        const velmora::SettingsFile shipped((share + QStringLiteral("/default-setting.ini")).toStdString());
        QCOMPARE(QString::number(form.fileTypes()->rowCount()),
                 QString::fromStdString(shipped.GetIniString("FileType", "Count")));
        QVERIFY(form.fileTypes()->rowCount() > 10);
        QCOMPARE(dialogs.Count(), 0);

        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
        cPopupMenu::SetHook([](QMenu& menu) { return menu.actions().value(2); });
        form.Cmd1(5)->click();
        cPopupMenu::SetHook({});
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        QCOMPARE(catcher.opened, QList<QUrl>{QUrl::fromLocalFile(share + QStringLiteral("/readme.htm"))});
        QVERIFY(QFileInfo(catcher.opened[0].toLocalFile()).size() > 1000);
    }
};

VELMORA_GUI_TEST_MAIN(InstalledTest)
#include "tst_installed.moc"
