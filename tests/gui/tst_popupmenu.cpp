// cPopupMenu: numbering, separators, skipped entries and the chosen entry's text, with the menu
// answered through the test hook.

#include "desktop/cPopupMenu.h"

#include <QAction>
#include <QMenu>
#include <QtTest>

namespace {

// What the built menu looked like: "-" for a separator, else the text, with the entry's number.
struct Shown {
    QStringList entries;
    QList<int> numbers;
};

cPopupMenu::Hook choose(Shown& shown, const QString& text) {
    return [&shown, text](QMenu& menu) -> QAction* {
        QAction* chosen = nullptr;
        for (QAction* action : menu.actions()) {
            shown.entries << (action->isSeparator() ? QStringLiteral("-") : action->text());
            shown.numbers << action->data().toInt();
            if (!action->isSeparator() && action->text() == text)
                chosen = action;
        }
        return chosen; // nullptr: dismissed
    };
}

} // namespace

class TestPopupMenu final : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { cPopupMenu::SetHook({}); }

    void resultListMenu() {
        const QStringList items{"下载", "-", "复制链接", "删除链接", "-", "保存列表", "清空列表"};
        Shown shown;
        cPopupMenu::SetHook(choose(shown, "保存列表"));
        cPopupMenu menu;
        QCOMPARE(menu.SelMenuString(), QString());
        QCOMPARE(menu.Popup(items), 6);
        QCOMPARE(menu.SelMenuString(), QStringLiteral("保存列表"));
        QCOMPARE(shown.entries, items);
        QCOMPARE(shown.numbers, (QList<int>{1, 2, 3, 4, 5, 6, 7}));
    }

    void numberingAndText_data() {
        QTest::addColumn<QStringList>("items");
        QTest::addColumn<QString>("choice");
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("selected");
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QList<int>>("numbers");

        const QStringList spaced{"甲", "   ", " - ", "  乙 "};
        QTest::newRow("blank entry keeps the numbers after it")
            << spaced << "  乙 " << 4 << "乙" << QStringList{"甲", "-", "  乙 "} << QList<int>{1, 3, 4};
        QTest::newRow("first entry") << spaced << "甲" << 1 << "甲" << QStringList{"甲", "-", "  乙 "}
                                     << QList<int>{1, 3, 4};
        QTest::newRow("dismissed") << spaced << QString() << 0 << QString() << QStringList{"甲", "-", "  乙 "}
                                   << QList<int>{1, 3, 4};
        QTest::newRow("empty list") << QStringList{} << QString() << 0 << QString() << QStringList{} << QList<int>{};
        QTest::newRow("only blanks and separators")
            << QStringList{"", "-", "\t", "--"} << "--" << 4 << "--" << QStringList{"-", "--"} << QList<int>{2, 4};
    }
    void numberingAndText() {
        QFETCH(QStringList, items);
        QFETCH(QString, choice);
        QFETCH(int, number);
        QFETCH(QString, selected);
        QFETCH(QStringList, entries);
        QFETCH(QList<int>, numbers);

        Shown shown;
        cPopupMenu::SetHook(choose(shown, choice));
        cPopupMenu menu;
        QCOMPARE(menu.Popup(items), number);
        QCOMPARE(menu.SelMenuString(), selected);
        QCOMPARE(shown.entries, entries);
        QCOMPARE(shown.numbers, numbers);
    }

    // A later dismissed menu clears the text of an earlier choice; an action that is not the menu's
    // own counts as no choice.
    void dismissAfterChoice() {
        Shown shown;
        cPopupMenu menu;
        cPopupMenu::SetHook(choose(shown, "复制链接"));
        QCOMPARE(menu.Popup({"下载", "复制链接"}), 2);
        QCOMPARE(menu.SelMenuString(), QStringLiteral("复制链接"));
        cPopupMenu::SetHook([](QMenu&) -> QAction* { return nullptr; });
        QCOMPARE(menu.Popup({"下载", "复制链接"}), 0);
        QCOMPARE(menu.SelMenuString(), QString());

        QAction stranger(QStringLiteral("下载"));
        stranger.setData(1);
        cPopupMenu::SetHook([&stranger](QMenu&) { return &stranger; });
        QCOMPARE(menu.Popup({"下载"}), 0);
    }
};

QTEST_MAIN(TestPopupMenu)
#include "tst_popupmenu.moc"
