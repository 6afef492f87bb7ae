// The options page and the file-type editor: what each control writes to setting.ini, and that the
// file-type table survives a round trip through the file.
#include "tst_mainwindow_support.h"

#include "mainwindow/FileTypeTableModel.h"
#include "mainwindow/Form3.h"
#include "mainwindow/ProductInfo.h"
#include "settings/FileTypeSettings.h"
#include "settings/SettingsKeys.h"

#include <QAbstractButton>
#include <QAbstractItemModelTester>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QWindow>

using namespace testsupport;
namespace keys = velmora::keys;

namespace {

const QByteArray kThreeTypes = "[FiterLong]\nLong=100\n"
                               "[FileType]\nCount=3\n"
                               "ExtName1=.mp4\nType1=视频\nValue1=\n"
                               "ExtName2=.MP3\nType2=音频\nValue2=\n"
                               "ExtName3=.jpg\nType3=图片\nValue3=禁用\n";

struct Row {
    QString extension, type, state;
    bool operator==(const Row&) const = default;
};

QList<Row> TableRows(const FileTypeTableModel& model) {
    QList<Row> rows;
    for (int r = 0; r < model.rowCount(); ++r)
        rows.append({model.Extension(r), model.Type(r), model.State(r)});
    return rows;
}

QList<Row> FileRows(const SettingsFolder& folder) {
    const velmora::FileTypeTable table =
        velmora::LoadFileTypeTable(velmora::SettingsFile(folder.IniPath().toStdString()));
    QList<Row> rows;
    for (const velmora::FileTypeRow& row : table.Rows())
        rows.append({QString::fromStdU16String(row.extension), QString::fromStdU16String(row.typeName),
                     QString::fromStdU16String(row.state)});
    return rows;
}

void SelectRow(Form1& form, int row) {
    const QModelIndex index = form.fileTypes()->index(row, 0);
    form.ListView2()->setCurrentIndex(index);
    emit form.ListView2()->clicked(index);
}

} // namespace

QDebug operator<<(QDebug debug, const Row& row) {
    return debug << row.extension << row.type << row.state;
}
namespace QTest {
template <> char* toString(const QList<Row>& rows) {
    QString text;
    for (const Row& row : rows)
        text += QStringLiteral("[%1|%2|%3]").arg(row.extension, row.type, row.state);
    return qstrdup(text.toUtf8().constData());
}
} // namespace QTest

class TestMainWindowOptions final : public QObject {
    Q_OBJECT

private slots:
    void minimumLengthIsValidatedOnLeaving();
    void downloaderPathIsWrittenAtEveryChange();
    void addDialogNormalisesAndRefuses();
    void deleteAndEnableRewriteTheFile();
    void tableRoundTripsThroughTheFile();
};

void TestMainWindowOptions::minimumLengthIsValidatedOnLeaving() {
    SettingsFolder folder;
    folder.Write(kThreeTypes);
    DialogRecorder dialogs;
    {
        Form1 form(folder.Options());
        QLineEdit* box = form.Text2();
        const struct {
            const char* typed;
            const char* shown;  // the box afterwards
            const char* stored; // the file afterwards
            bool message;
        } cases[] = {
            {"250", "250", "250", false}, {"25x", "0", "250", true}, // a letter: message, "0" in force, the file keeps
                                                                     // the last valid value
            {"", "0", "250", false},                                 // empty: "0" without a message, nothing written
            {" 7", "0", "250", true},     {"007", "007", "007", false}, {"250", "250", "250", false},
        };
        for (const auto& c : cases) {
            dialogs.Clear();
            box->setText(QString::fromUtf8(c.typed));
            form.Text2_LostFocus();
            QCOMPARE(box->text(), QString::fromUtf8(c.shown));
            QCOMPARE(folder.Value(keys::kFiterLongSection, keys::kLongKey), std::string(c.stored));
            QCOMPARE(dialogs.Count(), c.message ? 1 : 0);
            if (c.message) {
                QCOMPARE(dialogs.Last().title, QStringLiteral("错误"));
                QCOMPARE(dialogs.Last().text, QStringLiteral("输入错误！只能输入0-9的数字"));
                QCOMPARE(dialogs.Last().icon, QMessageBox::Critical);
            }
            // The frame handler sees the box as it is now.
            QCOMPARE(form.CurrentExtractionOptions().minimumLength, QString::fromUtf8(c.shown).toDouble());
        }

        // Leaving the box by focus runs the same check.
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        form.Text2()->setFocus();
        QTRY_VERIFY(form.Text2()->hasFocus());
        form.Text2()->setText(QStringLiteral("300"));
        form.Combo2()->setFocus();
        QTRY_COMPARE(folder.Value(keys::kFiterLongSection, keys::kLongKey), std::string("300"));

        // The user has not left the box when its own context menu opens or another window takes over:
        // no message, what they typed stays.
        dialogs.Clear();
        box->setFocus();
        QTRY_VERIFY(box->hasFocus());
        box->selectAll();
        QTest::keyClicks(box, QStringLiteral("12a"));
        QContextMenuEvent menuKey(QContextMenuEvent::Keyboard, QPoint(4, 4), box->mapToGlobal(QPoint(4, 4)));
        QApplication::sendEvent(box, &menuKey);
        QTRY_VERIFY(QApplication::activePopupWidget() != nullptr);
        QApplication::activePopupWidget()->close();
        QWidget otherWindow;
        otherWindow.show();
        QVERIFY(QTest::qWaitForWindowActive(&otherWindow));
        otherWindow.hide();
        form.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        QCOMPARE(dialogs.Count(), 0);
        QCOMPARE(box->text(), QStringLiteral("12a"));
        // A capture start checks a changed value first, and so does closing the window.
        form.Cmd1_Click(0);
        QCOMPARE(dialogs.Titles(), (QStringList{QStringLiteral("错误"), QStringLiteral("未选择适配器")}));
        QCOMPARE(box->text(), QStringLiteral("0"));
        dialogs.Clear();
        box->setFocus();
        QTest::keyClicks(box, QStringLiteral("x"));
        form.close();
        QCOMPARE(dialogs.Titles(), QStringList{QStringLiteral("错误")});
        QCOMPARE(folder.Value(keys::kFiterLongSection, keys::kLongKey), std::string("300"));
    }
    Form1 next(folder.Options());
    QCOMPARE(next.Text2()->text(), QStringLiteral("300"));
}

void TestMainWindowOptions::downloaderPathIsWrittenAtEveryChange() {
    SettingsFolder folder;
    folder.Write("[DownloadPath]\nPath=/old/dl.exe\n");
    DialogRecorder dialogs;
    Form1 form(folder.Options());
    QCOMPARE(form.Text5()->text(), QStringLiteral("/old/dl.exe"));

    // Cancelled before any choice in this run: the box takes the dialog's empty name, which is stored.
    dialogs.AnswerText(std::nullopt);
    form.Text5_Click();
    QCOMPARE(dialogs.Last().kind, DialogRequest::Kind::OpenFile);
    QCOMPARE(dialogs.Last().filter, QStringLiteral("程序文件(*.exe);;所有文件(*)"));
    QCOMPARE(form.Text5()->text(), QString());
    QVERIFY(folder.HasKey(keys::kDownloadPathSection, keys::kPathWriteKey));
    QCOMPARE(folder.QValue(keys::kDownloadPathSection, keys::kPathWriteKey), QString());

    dialogs.AnswerText(QStringLiteral("/opt/影音传送带/Transfer.exe"));
    form.Text5_Click();
    QCOMPARE(form.Text5()->text(), QStringLiteral("/opt/影音传送带/Transfer.exe"));
    QCOMPARE(folder.QValue(keys::kDownloadPathSection, keys::kPathWriteKey),
             QStringLiteral("/opt/影音传送带/Transfer.exe"));

    // Cancelled now: the name chosen before comes back, and the dialog starts from it.
    form.Text5()->setText(QStringLiteral("typed"));
    dialogs.AnswerText(std::nullopt);
    form.Text5_Click();
    QCOMPARE(dialogs.Last().initial, QStringLiteral("/opt/影音传送带/Transfer.exe"));
    QCOMPARE(form.Text5()->text(), QStringLiteral("/opt/影音传送带/Transfer.exe"));

    // Typing writes at every character; the last write holds the whole path.
    form.Text5()->clear();
    QTest::keyClicks(form.Text5(), QStringLiteral("/usr/bin/dl"));
    QCOMPARE(folder.QValue(keys::kDownloadPathSection, keys::kPathWriteKey), QStringLiteral("/usr/bin/dl"));

    // A mouse click on the box opens the dialog.
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const int before = dialogs.Count();
    dialogs.AnswerText(QStringLiteral("/srv/clicked.exe"));
    QTest::mouseClick(form.Text5(), Qt::LeftButton);
    QTRY_COMPARE(dialogs.Count(), before + 1);
    QTRY_COMPARE(form.Text5()->text(), QStringLiteral("/srv/clicked.exe"));
}

void TestMainWindowOptions::addDialogNormalisesAndRefuses() {
    SettingsFolder folder;
    folder.Write(kThreeTypes);
    DialogRecorder dialogs;
    Form1 form(folder.Options());
    QAbstractItemModelTester tester(form.fileTypes(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QWidget elsewhere; // the active window when the button is clicked is no matter
    elsewhere.show();
    elsewhere.activateWindow();

    form.Cmd2_Click();
    Form3* dialog = form.form3();
    QVERIFY(dialog);
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Form3"));
    QVERIFY(!dialog->isModal());
    // A window of its own, which the window system keeps above the main window (raise() does nothing on
    // Wayland).
    QVERIFY(dialog->isWindow() && dialog->windowHandle());
    QCOMPARE(dialog->windowHandle()->transientParent(), form.windowHandle());
    QCOMPARE(dialog->Combo1()->currentText(), QStringLiteral("视频"));
    QCOMPARE(dialog->Combo2()->currentText(), QStringLiteral("使用"));
    // The dialog's own controls do not shadow the main window's.
    QCOMPARE(form.findChild<QLineEdit*>(QStringLiteral("Text2")), form.Text2());
    QVERIFY(!form.findChild<QWidget*>(QStringLiteral("Combo1")));

    // A second click brings the same dialog forward with entry 0 chosen again.
    dialog->Combo1()->setCurrentIndex(2);
    dialog->Combo2()->setCurrentIndex(1);
    form.Cmd2_Click();
    QCOMPARE(form.form3(), dialog);
    QCOMPARE(dialog->Combo1()->currentIndex(), 0);
    QCOMPARE(dialog->Combo2()->currentIndex(), 0);

    const struct {
        const char* typed;
        const char* message; // nullptr: the row is added
    } refusals[] = {
        {"", "请设置文件扩展名"},
        {"   ", "请设置文件扩展名"},
        {"MP4", "已经设置了此类型!请检查"}, // lowered before the exact comparison
        {"  .mp4", "已经设置了此类型!请检查"},
    };
    for (const auto& r : refusals) {
        dialogs.Clear();
        dialog->Text1()->setText(QString::fromUtf8(r.typed));
        QTest::mouseClick(dialog->Command1(), Qt::LeftButton);
        QCOMPARE(dialogs.Count(), 1);
        QCOMPARE(dialogs.Last().text, QString::fromUtf8(r.message));
        QCOMPARE(dialogs.Last().title, ProductInfo::AppTitle());
        QCOMPARE(dialogs.Last().icon, QMessageBox::NoIcon);
        QVERIFY(form.form3()); // stays open with its input
        QCOMPARE(dialog->Text1()->text(), QString::fromUtf8(r.typed));
        QCOMPARE(form.fileTypes()->rowCount(), 3);
    }

    // ".mp3" differs from the stored ".MP3" only in case: the stored capitals do not match.
    dialog->Text1()->setText(QStringLiteral("  MP3 "));
    dialog->Combo1()->setCurrentIndex(1);
    dialog->Combo2()->setCurrentIndex(1);
    QTest::mouseClick(dialog->Command1(), Qt::LeftButton);
    QTRY_VERIFY(!form.form3()); // closed and destroyed
    // Trailing spaces stay in the table; the settings reader trims values, as the profile functions did.
    QCOMPARE(TableRows(*form.fileTypes()).last(),
             (Row{QStringLiteral(".mp3 "), QStringLiteral("音频"), QStringLiteral("禁用")}));
    QCOMPARE(FileRows(folder).size(), 4);
    QCOMPARE(FileRows(folder).last(), (Row{QStringLiteral(".mp3"), QStringLiteral("音频"), QStringLiteral("禁用")}));

    form.Cmd2_Click();
    form.form3()->Text1()->setText(QStringLiteral("WebM"));
    QTest::mouseClick(form.form3()->Command1(), Qt::LeftButton);
    QTRY_VERIFY(!form.form3());
    QCOMPARE(TableRows(*form.fileTypes()).last(), (Row{QStringLiteral(".webm"), QStringLiteral("视频"), QString()}));
    QCOMPARE(folder.Value(keys::kFileTypeSection, keys::kCountKey), std::string("5"));
    // Media types left empty are the extension's usual ones; typed ones are kept as typed, and saved.
    QCOMPARE(form.fileTypes()->MediaTypes(4), QStringLiteral("video/webm"));
    QCOMPARE(folder.Value(keys::kFileTypeSection, "Mime5"), std::string("video/webm"));
    form.Cmd2_Click();
    form.form3()->Text1()->setText(QStringLiteral("bin"));
    form.form3()->MediaTypes()->setText(QStringLiteral("application/x-own-video"));
    QTest::mouseClick(form.form3()->Command1(), Qt::LeftButton);
    QTRY_VERIFY(!form.form3());
    QCOMPARE(form.fileTypes()->index(5, FileTypeTableModel::MediaTypesColumn).data().toString(),
             QStringLiteral("application/x-own-video"));
    QCOMPARE(form.fileTypes()->Table().ClassifyMediaType("application/x-own-video"), u"视频");
    QCOMPARE(folder.Value(keys::kFileTypeSection, "Mime6"), std::string("application/x-own-video"));

    // Cancel changes nothing; unloading the main window closes an open dialog.
    form.Cmd2_Click();
    form.form3()->Text1()->setText(QStringLiteral("ogg"));
    QTest::mouseClick(form.form3()->Command2(), Qt::LeftButton);
    QTRY_VERIFY(!form.form3());
    QCOMPARE(form.fileTypes()->rowCount(), 6);
    form.Cmd2_Click();
    form.Unload();
    QTRY_VERIFY(!form.form3());
    QCOMPARE(Form3::NormalizeExtension(QStringLiteral(" .Flv")), QStringLiteral(".flv"));
}

void TestMainWindowOptions::deleteAndEnableRewriteTheFile() {
    SettingsFolder folder;
    folder.Write(kThreeTypes);
    DialogRecorder dialogs;
    Form1 form(folder.Options());
    QAbstractItemModelTester tester(form.fileTypes(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    FileTypeTableModel& types = *form.fileTypes();

    // Before any row click the caption is "状态": the press sets the row in use.
    QCOMPARE(form.Cmd4()->text(), QStringLiteral("状态"));
    form.ListView2()->setCurrentIndex(types.index(2, 0));
    form.Cmd4_Click();
    QCOMPARE(types.State(2), QString());
    QCOMPARE(form.Cmd4()->text(), QStringLiteral("禁用"));
    QCOMPARE(folder.QValue(keys::kFileTypeSection, "Value3"), QString());

    const struct {
        int row;
        const char* captionAfterClick;
        const char* stateAfterPress;
        const char* captionAfterPress;
    } toggles[] = {
        {0, "禁用", "禁用", "使用"},
        {0, "使用", "", "禁用"},
        {1, "禁用", "禁用", "使用"},
    };
    for (const auto& t : toggles) {
        SelectRow(form, t.row);
        QCOMPARE(form.Cmd4()->text(), QString::fromUtf8(t.captionAfterClick));
        QTest::mouseClick(form.Cmd4(), Qt::LeftButton);
        QCOMPARE(types.State(t.row), QString::fromUtf8(t.stateAfterPress));
        QCOMPARE(form.Cmd4()->text(), QString::fromUtf8(t.captionAfterPress));
        QCOMPARE(folder.QValue(keys::kFileTypeSection, "Value" + std::to_string(t.row + 1)),
                 QString::fromUtf8(t.stateAfterPress));
    }
    QCOMPARE(FileRows(folder), TableRows(types));

    // Deleting row 2 of 3: the third row moves up into the keys of row 2.
    SelectRow(form, 1);
    QTest::mouseClick(form.Cmd3(), Qt::LeftButton);
    QCOMPARE(types.rowCount(), 2);
    QCOMPARE(folder.Value(keys::kFileTypeSection, keys::kCountKey), std::string("2"));
    QCOMPARE(folder.QValue(keys::kFileTypeSection, "ExtName2"), QStringLiteral(".jpg"));
    QCOMPARE(folder.QValue(keys::kFileTypeSection, "Type2"), QStringLiteral("图片"));
    QVERIFY(!folder.HasKey(keys::kFileTypeSection, "ExtName3"));
    QCOMPARE(FileRows(folder), TableRows(types));

    // No selection, or no rows: nothing happens.
    form.ListView2()->setCurrentIndex({});
    form.Cmd3_Click();
    form.Cmd4_Click();
    QCOMPARE(types.rowCount(), 2);
    SelectRow(form, 0);
    form.Cmd3_Click();
    SelectRow(form, 0);
    form.Cmd3_Click();
    QCOMPARE(types.rowCount(), 0);
    QCOMPARE(folder.Value(keys::kFileTypeSection, keys::kCountKey), std::string("0"));
    form.Cmd3_Click();
    form.Cmd4_Click();
    form.ListView2_ItemClick();
    QCOMPARE(dialogs.Count(), 0);
}

void TestMainWindowOptions::tableRoundTripsThroughTheFile() {
    SettingsFolder folder;
    folder.Write(kThreeTypes);
    DialogRecorder dialogs;
    QList<Row> edited;
    {
        Form1 form(folder.Options());
        form.Cmd2_Click();
        form.form3()->Text1()->setText(QStringLiteral("m3u8"));
        form.form3()->Combo2()->setCurrentIndex(1);
        form.form3()->Command1_Click();
        SelectRow(form, 0);
        form.Cmd4_Click(); // "禁用" after the click: disables .mp4
        SelectRow(form, 2);
        form.Cmd3_Click();
        edited = TableRows(*form.fileTypes());
    }
    QCOMPARE(edited.size(), 3);
    QCOMPARE(edited[0], (Row{QStringLiteral(".mp4"), QStringLiteral("视频"), QStringLiteral("禁用")}));
    QCOMPARE(edited[2], (Row{QStringLiteral(".m3u8"), QStringLiteral("视频"), QStringLiteral("禁用")}));
    Form1 reopened(folder.Options());
    QCOMPARE(TableRows(*reopened.fileTypes()), edited);
    // The frame handler's table is the one on screen: a disabled row lists nothing.
    QVERIFY(!reopened.fileTypes()->Table().Classify(u"http://h/a.mp4", 10).has_value());
    QCOMPARE(dialogs.Count(), 0);
}

VELMORA_GUI_TEST_MAIN(TestMainWindowOptions)
#include "tst_mainwindow_options.moc"
