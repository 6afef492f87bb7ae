// The about box: its texts, one instance however often it is asked for, not modal, and the two
// contact lines handing their addresses to the desktop.

#include "splash/frmAbout.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QWidget>

// Stands in for xdg-open: QDesktopServices hands URLs of a registered scheme to it.
class UrlCatcher final : public QObject {
    Q_OBJECT

public:
    QList<QUrl> opened;

public slots:
    void open(const QUrl& url) { opened.append(url); }
};

class TestAbout final : public QObject {
    Q_OBJECT

private slots:
    void init() {
        for (const char* scheme : {"https", "http", "mailto"})
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), &catcher_, "open");
        catcher_.opened.clear();
    }

    void cleanup() {
        frmAbout::UnloadIfLoaded();
        for (const char* scheme : {"https", "http", "mailto"})
            QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
    }

    void showsCaptionLabelsAndExit() {
        QWidget owner;
        frmAbout* box = frmAbout::ShowAbout(&owner);
        QCOMPARE(box->windowTitle(), QStringLiteral("关于..."));
        QCOMPARE(box->size(), QSize(4845 / 15, 2910 / 15));
        QVERIFY(!(box->windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(!(box->windowFlags() & Qt::WindowMinimizeButtonHint));
        QCOMPARE(box->findChild<QLabel*>(QStringLiteral("lblTitle"))->text(), QStringLiteral("Velmora V3.0"));
        QCOMPARE(box->findChild<QLabel*>(QStringLiteral("lblDisclaimer"))->text(),
                 QStringLiteral("-----网络信息的克星"));
        for (const char* name : {"Label1", "Label2", "Label3", "Label4"}) {
            auto* label = box->findChild<QLabel*>(QString::fromLatin1(name));
            QVERIFY2(label && !label->text().isEmpty(), name);
            // Every line fits the fixed box: nothing is cut off.
            QVERIFY2(label->geometry().right() < box->width() && label->sizeHint().width() <= label->width(), name);
        }
        QVERIFY(box->findChild<QLabel*>(QStringLiteral("Label2"))->text().contains(QStringLiteral("velmora.example")));
        QVERIFY(box->findChild<QLabel*>(QStringLiteral("Label3"))->text().contains(QStringLiteral("@")));
        QVERIFY(box->findChild<QFrame*>(QStringLiteral("Line1")));
        auto* ok = box->findChild<QPushButton*>(QStringLiteral("cmdOK"));
        QCOMPARE(ok->text(), QStringLiteral("退出"));
        QVERIFY(ok->geometry().bottom() < box->height());

        QTest::mouseClick(ok, Qt::LeftButton);
        QTRY_VERIFY(frmAbout::Loaded() == nullptr);
    }

    void secondRequestShowsTheSameBoxNotModal() {
        QWidget owner;
        owner.show();
        frmAbout* first = frmAbout::ShowAbout(&owner);
        frmAbout* second = frmAbout::ShowAbout(&owner);
        QCOMPARE(second, first);
        QCOMPARE(owner.findChildren<frmAbout*>().size(), 1);
        QVERIFY(first->isVisible());
        QVERIFY(!first->isModal());
        QCOMPARE(QApplication::activeModalWidget(), nullptr);

        // Closed by its title bar's close button, it can be asked for again and comes back afresh.
        first->close();
        QTRY_VERIFY(frmAbout::Loaded() == nullptr);
        frmAbout* third = frmAbout::ShowAbout(&owner);
        QVERIFY(third != nullptr);
        QCOMPARE(owner.findChildren<frmAbout*>().size(), 1);
    }

    void goesWithItsOwner() {
        auto* owner = new QWidget;
        frmAbout::ShowAbout(owner);
        delete owner;
        QCOMPARE(frmAbout::Loaded(), nullptr);
    }

    void contactLinesOpenWebAndMail() {
        QWidget owner;
        frmAbout* box = frmAbout::ShowAbout(&owner);
        auto* web = box->findChild<QLabel*>(QStringLiteral("Label2"));
        auto* mail = box->findChild<QLabel*>(QStringLiteral("Label3"));
        QTest::mouseClick(web, Qt::LeftButton);
        QTest::mouseClick(mail, Qt::LeftButton);
        // The other lines and a right click open nothing.
        QTest::mouseClick(box->findChild<QLabel*>(QStringLiteral("Label1")), Qt::LeftButton);
        QTest::mouseClick(web, Qt::RightButton);
        QCOMPARE(catcher_.opened, (QList<QUrl>{QUrl(QStringLiteral("https://velmora.example/")),
                                               QUrl(QStringLiteral("mailto:support@velmora.example"))}));
    }

private:
    UrlCatcher catcher_;
};

QTEST_MAIN(TestAbout)
#include "tst_about.moc"
