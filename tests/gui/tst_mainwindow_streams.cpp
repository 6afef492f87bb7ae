// Streams in the real main window (offscreen): the list's menu on a stream row offers its renditions
// and the stream command, which is built from the row's request (empty options left out) and names a
// new file in the download folder; as root, a stream played over loopback while the window captures is
// saved by a real ffmpeg, and the file it makes has the title's duration; quitting with a download
// running asks first and stops it.

#include "capture/pcap/CaptureComponent.h"
#include "desktop/cPopupMenu.h"
#include "mainwindow/CaptureFileOpener.h"
#include "mainwindow/CommandBar.h"
#include "mainwindow/DownloadMethodGroup.h"
#include "mainwindow/ResultListModel.h"
#include "mainwindow/ResultListOperations.h"
#include "mainwindow/StatusPanels.h"
#include "mainwindow/StreamActions.h"
#include "mainwindow/StreamDownloads.h"
#include "settings/SettingsKeys.h"
#include "tst_mainwindow_support.h"

#include <QAbstractButton>
#include <QAction>
#include <QClipboard>
#include <QComboBox>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QSignalSpy>
#include <QTableView>

#include <unistd.h>

using namespace testsupport;

namespace {

const QString kData = QStringLiteral(VELMORA_TEST_DATA);

int FindRow(const ResultListModel& model, const QString& address) {
    for (int row = 0; row < model.rowCount(); ++row)
        if (model.AddressText(row) == address)
            return row;
    return -1;
}

void SelectRow(Form1& form, int row) {
    form.LV1()->selectionModel()->setCurrentIndex(form.resultModel()->index(row, 0),
                                                  QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

struct ShownMenu {
    QStringList entries;     // top level, a submenu as its title
    QStringList submenu;     // the first submenu's entries
    QStringList checked;     // texts of checked entries, at any level
};

// Opens the list's menu on `row`, records it and chooses the entry `choose` (at any level; empty: none).
ShownMenu PopupOn(Form1& form, int row, const QString& choose) {
    SelectRow(form, row);
    ShownMenu shown;
    cPopupMenu::SetHook([&shown, choose](QMenu& menu) -> QAction* {
        QAction* chosen = nullptr;
        for (QAction* action : menu.actions()) {
            shown.entries << (action->isSeparator() ? QStringLiteral("-") : action->text());
            const QList<QAction*> inner = action->menu() ? action->menu()->actions() : QList<QAction*>{action};
            for (QAction* each : inner) {
                if (action->menu())
                    shown.submenu << each->text();
                if (each->isChecked())
                    shown.checked << each->text();
                if (!choose.isEmpty() && each->text() == choose)
                    chosen = each;
            }
        }
        return chosen;
    });
    form.findChild<ResultListOperations*>()->LV1_ContextMenu();
    cPopupMenu::SetHook({});
    return shown;
}

// The words a shell makes of a copied command, as a terminal it is pasted into would.
QStringList Words(const QString& command) {
    QProcess shell;
    shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("printf '%s\\n' ") + command});
    shell.waitForFinished(5000);
    return QString::fromUtf8(shell.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// The download folder, as xdg-user-dirs names it, in a folder of the test's own.
class DownloadFolder final {
public:
    DownloadFolder() {
        QDir(config.path()).mkpath(QStringLiteral("."));
        QFile dirs(config.filePath(QStringLiteral("user-dirs.dirs")));
        if (dirs.open(QIODevice::WriteOnly))
            dirs.write("XDG_DOWNLOAD_DIR=\"" + folder.path().toUtf8() + "\"\n");
        previous = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    }
    ~DownloadFolder() { qputenv("XDG_CONFIG_HOME", previous); }
    QString Path(const QString& name) const { return folder.filePath(name); }

    QTemporaryDir config;
    QTemporaryDir folder;
    QByteArray previous;
};

} // namespace

class TestMainWindowStreams final : public QObject {
    Q_OBJECT

private slots:
    void streamRowsOfferRenditionsAndTheStreamCommand();
    void aStreamPlayedOnLoopbackIsSavedByFfmpeg();

private:
    bool OpenCapture(Form1& form, const QString& name);
};

bool TestMainWindowStreams::OpenCapture(Form1& form, const QString& name) {
    auto* reader = form.findChild<CaptureFileOpener*>();
    QSignalSpy finished(reader, &CaptureFileOpener::Finished);
    return reader->Open({kData + QLatin1Char('/') + name}) && finished.wait(20000);
}

void TestMainWindowStreams::streamRowsOfferRenditionsAndTheStreamCommand() {
    SettingsFolder settings;
    DialogRecorder dialogs;
    DownloadFolder downloads;
    Form1 form(settings.Options());
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    ResultListModel& rows = *form.resultModel();

    // HLS with fMP4 segments: two video variants and one audio rendition; ffmpeg played the 360p one.
    QVERIFY(OpenCapture(form, QStringLiteral("stream_hls_fmp4.pcap")));
    const QString master = QStringLiteral("http://media.velmora.test:8080/hlsfmp4/master.m3u8");
    const int row = FindRow(rows, master);
    QVERIFY(row >= 0);
    ShownMenu shown = PopupOn(form, row, {});
    QCOMPARE(shown.entries.mid(0, 4), (QStringList{QStringLiteral("下载"), QStringLiteral("清晰度"),
                                                   QStringLiteral("下载流 (ffmpeg)"), QStringLiteral("复制 ffmpeg 命令")}));
    QCOMPARE(shown.entries.mid(4), (QStringList{QStringLiteral("-"), QStringLiteral("复制链接"), QStringLiteral("删除链接"),
                                                QStringLiteral("-"), QStringLiteral("保存列表"), QStringLiteral("清空列表")}));
    QCOMPARE(shown.submenu.size(), 2); // video renditions only, highest first
    // ffmpeg read the first segments of 720p too while it looked at the variants.
    QVERIFY2(shown.submenu[0].startsWith(QStringLiteral("720p")), qPrintable(shown.submenu.join(QLatin1Char('|'))));
    QVERIFY2(shown.submenu[1].startsWith(QStringLiteral("360p")) && shown.submenu[1].endsWith(QStringLiteral("（已播）")),
             qPrintable(shown.submenu[1]));
    QCOMPARE(shown.checked, QStringList{shown.submenu[0]}); // the highest by default

    // The default: the master, which ffmpeg reads for the best picture and its audio. ffmpeg as the
    // player sent no Referer and no Cookie: those options are left out, not given empty values.
    PopupOn(form, row, QStringLiteral("复制 ffmpeg 命令"));
    QStringList words = Words(QGuiApplication::clipboard()->text());
    QCOMPARE(words.mid(0, 4), (QStringList{QStringLiteral("ffmpeg"), QStringLiteral("-hide_banner"),
                                           QStringLiteral("-nostdin"), QStringLiteral("-protocol_whitelist")}));
    QVERIFY2(!words.contains(QStringLiteral("-referer")) && !words.contains(QStringLiteral("-headers")),
             qPrintable(words.join(QLatin1Char(' '))));
    QCOMPARE(words[words.indexOf(QStringLiteral("-user_agent")) + 1].left(5), QStringLiteral("Lavf/"));
    QCOMPARE(words.mid(words.indexOf(QStringLiteral("-i"))),
             (QStringList{QStringLiteral("-i"), master, QStringLiteral("-c"), QStringLiteral("copy"),
                          downloads.Path(QStringLiteral("hlsfmp4.mp4"))}));

    // Choosing 360p: its own playlist, and the audio rendition as the second input.
    PopupOn(form, row, shown.submenu[1]);
    shown = PopupOn(form, row, QStringLiteral("复制 ffmpeg 命令"));
    QCOMPARE(shown.checked, QStringList{shown.submenu[1]});
    words = Words(QGuiApplication::clipboard()->text());
    QCOMPARE(words.mid(words.indexOf(QStringLiteral("-i"))),
             (QStringList{QStringLiteral("-i"), QStringLiteral("http://media.velmora.test:8080/hlsfmp4/360p/index.m3u8"),
                          QStringLiteral("-i"), QStringLiteral("http://media.velmora.test:8080/hlsfmp4/audio/index.m3u8"),
                          QStringLiteral("-c"), QStringLiteral("copy"), downloads.Path(QStringLiteral("hlsfmp4.mp4"))}));

    // DASH: one manifest, the chosen representation mapped after the input; a name already taken in the
    // download folder is not overwritten.
    QVERIFY(OpenCapture(form, QStringLiteral("stream_dash.pcap")));
    const int dash = FindRow(rows, QStringLiteral("http://media.velmora.test:8080/dash/manifest.mpd"));
    QVERIFY(dash >= 0);
    shown = PopupOn(form, dash, {});
    QCOMPARE(shown.submenu.size(), 2);
    PopupOn(form, dash, shown.submenu[1]);
    QFile taken(downloads.Path(QStringLiteral("dash.mp4")));
    QVERIFY(taken.open(QIODevice::WriteOnly));
    taken.close();
    PopupOn(form, dash, QStringLiteral("复制 ffmpeg 命令"));
    words = Words(QGuiApplication::clipboard()->text());
    QCOMPARE(words.mid(words.indexOf(QStringLiteral("-i"))),
             (QStringList{QStringLiteral("-i"), QStringLiteral("http://media.velmora.test:8080/dash/manifest.mpd"),
                          QStringLiteral("-map"), QStringLiteral("0:v:1"), QStringLiteral("-map"), QStringLiteral("0:a:0?"),
                          QStringLiteral("-c"), QStringLiteral("copy"), downloads.Path(QStringLiteral("dash (2).mp4"))}));

    // A row of its own kind keeps the design's menu.
    rows.AddCaptureRow({u"视频", u"http://127.0.0.1/a.mp4", 1});
    rows.FlushPending();
    shown = PopupOn(form, rows.rowCount() - 1, {});
    QCOMPARE(shown.entries, ResultListOperations::MenuItems());

    // The options page shows the stream command, and a change is stored at once.
    auto* methods = form.findChild<DownloadMethodGroup*>();
    QVERIFY(methods->StreamCommand()->text().startsWith(QStringLiteral("ffmpeg -hide_banner")));
    methods->StreamCommand()->setText(QStringLiteral("ffmpeg -i %u -i %v -c copy %o"));
    QCOMPARE(settings.QValue(velmora::keys::kDownloadSection, velmora::keys::kStreamCommandKey),
             QStringLiteral("ffmpeg -i %u -i %v -c copy %o"));
    QCOMPARE(dialogs.Count(), 0);
}

void TestMainWindowStreams::aStreamPlayedOnLoopbackIsSavedByFfmpeg() {
    if (::geteuid() != 0)
        QSKIP("capturing on lo needs root");
    // A 6-second title in two variants of 2-second MPEG-TS segments, served by a local HTTP server.
    QTemporaryDir site;
    QVERIFY(QDir(site.path()).mkpath(QStringLiteral("show")));
    QProcess encode;
    encode.setWorkingDirectory(site.filePath(QStringLiteral("show")));
    QStringList arguments = QProcess::splitCommand(QStringLiteral(
        "-nostdin -hide_banner -loglevel error -f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi "
        "-i sine=frequency=440:sample_rate=48000 -t 6 -filter_complex [0:v]split=2[a][b];[b]scale=160:120[c] "
        "-map [a] -map [c] -map 1:a -map 1:a -c:v libx264 -preset ultrafast -g 50 -keyint_min 50 -sc_threshold 0 "
        "-b:v:0 300k -b:v:1 100k -c:a aac -b:a 64k -f hls -hls_time 2 -hls_playlist_type vod -master_pl_name master.m3u8 "
        "-var_stream_map VARIANTS -hls_segment_filename %v/seg_%03d.ts %v/index.m3u8"));
    arguments.replace(arguments.indexOf(QStringLiteral("VARIANTS")), QStringLiteral("v:0,a:0,name:240p v:1,a:1,name:120p"));
    encode.start(QStringLiteral("ffmpeg"), arguments);
    QVERIFY(encode.waitForFinished(60000));
    QCOMPARE(encode.exitCode(), 0);

    LocalSite server(site.path());
    QVERIFY(server.Ready());

    SettingsFolder settings;
    DialogRecorder dialogs;
    DownloadFolder downloads;
    Form1::Options options = settings.Options();
    options.adapters.reset();
    Form1 form(options);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const int lo = form.Combo2()->findText(QStringLiteral("lo"));
    QVERIFY(lo >= 0);
    form.Combo2()->setCurrentIndex(lo);
    QTest::mouseClick(form.Cmd1(0), Qt::LeftButton);
    QVERIFY(form.vpacket().IsCapturing());

    // The player keeps the second variant.
    const QString master = server.Url(QStringLiteral("show/master.m3u8"));
    QProcess player;
    player.start(QStringLiteral("ffmpeg"), {QStringLiteral("-nostdin"), QStringLiteral("-hide_banner"), QStringLiteral("-i"),
                                            master, QStringLiteral("-map"), QStringLiteral("0:p:1"), QStringLiteral("-c"),
                                            QStringLiteral("copy"), QStringLiteral("-f"), QStringLiteral("null"),
                                            QStringLiteral("-")});
    QTRY_VERIFY_WITH_TIMEOUT(player.state() == QProcess::NotRunning, 30000);
    QCOMPARE(player.exitCode(), 0);
    ResultListModel& rows = *form.resultModel();
    const auto listed = [&rows] {
        QStringList all;
        for (int each = 0; each < rows.rowCount(); ++each)
            all << rows.AddressText(each) + QLatin1Char(' ') +
                       rows.data(rows.index(each, ResultListModel::NoteColumn)).toString();
        return all.join(QLatin1Char('\n'));
    };
    QTRY_VERIFY2_WITH_TIMEOUT(FindRow(rows, master) >= 0 &&
                                 rows.data(rows.index(FindRow(rows, master), ResultListModel::NoteColumn))
                                     .toString()
                                     .contains(QStringLiteral("6 秒")),
                             qPrintable(listed()), 15000);
    QTest::mouseClick(form.Cmd1(0), Qt::LeftButton);
    const int row = FindRow(rows, master);
    for (int each = 0; each < rows.rowCount(); ++each)
        QVERIFY2(!rows.AddressText(each).endsWith(QStringLiteral(".ts")), qPrintable(rows.AddressText(each)));

    // "下载流 (ffmpeg)": a real ffmpeg saves the stream into the download folder.
    auto* streamDownloads = form.findChild<StreamDownloads*>();
    QSignalSpy finished(streamDownloads, &StreamDownloads::Finished);
    PopupOn(form, row, QStringLiteral("下载流 (ffmpeg)"));
    QCOMPARE(streamDownloads->Running(), 1);
    QVERIFY(finished.wait(60000));
    const QString saved = downloads.Path(QStringLiteral("show.mp4"));
    QCOMPARE(finished.front(), (QVariantList{saved, true}));
    QCOMPARE(form.Status1()->currentMessage(), QStringLiteral("流已保存到 ") + saved);
    QProcess probeFile;
    probeFile.start(QStringLiteral("ffprobe"), {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_entries"),
                                               QStringLiteral("format=duration:stream=codec_type"), QStringLiteral("-of"),
                                               QStringLiteral("default=nw=1"), saved});
    QVERIFY(probeFile.waitForFinished(20000));
    const QString probed = QString::fromUtf8(probeFile.readAllStandardOutput());
    QVERIFY2(probed.contains(QStringLiteral("codec_type=video")) && probed.contains(QStringLiteral("codec_type=audio")),
             qPrintable(probed));
    const double duration = probed.section(QStringLiteral("duration="), 1).section(QLatin1Char('\n'), 0, 0).toDouble();
    QVERIFY2(duration > 5.5 && duration < 6.5, qPrintable(probed));

    // A download that fails says so with ffmpeg's last lines.
    QVERIFY(QFile::remove(site.filePath(QStringLiteral("show/master.m3u8"))));
    finished.clear();
    PopupOn(form, row, QStringLiteral("下载流 (ffmpeg)"));
    QVERIFY(finished.wait(60000));
    QCOMPARE(finished.front().at(1).toBool(), false);
    QCOMPARE(dialogs.Count(), 1);
    QVERIFY2(dialogs.Last().text.contains(QStringLiteral("ffmpeg 未能保存流")) && dialogs.Last().text.contains(QStringLiteral("404")),
             qPrintable(dialogs.Last().text));

    // Quitting with a download running asks; "继续下载" keeps both the window and the download.
    auto* methods = form.findChild<DownloadMethodGroup*>();
    methods->StreamCommand()->setText(QStringLiteral("timeout 30 ffmpeg -nostdin -re -i %u -c copy %o"));
    PopupOn(form, row, QStringLiteral("下载流 (ffmpeg)"));
    QCOMPARE(streamDownloads->Running(), 1);
    dialogs.answers.push_back({QMessageBox::No, {}});
    form.findChild<CommandBar*>()->Exit();
    QCOMPARE(dialogs.Count(), 2);
    QVERIFY(dialogs.Last().text.contains(QStringLiteral("1 个流正在下载")));
    QCOMPARE(streamDownloads->Running(), 1);
    QVERIFY(form.isVisible());
    dialogs.answers.push_back({QMessageBox::Yes, {}});
    QSignalSpy unloaded(&form, &Form1::Unloaded);
    form.findChild<CommandBar*>()->Exit();
    QCOMPARE(streamDownloads->Running(), 0);
    QCOMPARE(unloaded.count(), 1);
}

VELMORA_GUI_TEST_MAIN(TestMainWindowStreams)
#include "tst_mainwindow_streams.moc"
