// The token rule of the keyword search, on frame texts as the renderer writes them.

#include "capture/FrameText.h"
#include "mainwindow/KeywordSearch.h"

#include <QTest>

#include <string>
#include <vector>

Q_DECLARE_METATYPE(std::vector<std::u16string>)

namespace {

std::u16string u(const QString& s) {
    return s.toStdU16String();
}

} // namespace

class TestKeywordTokens final : public QObject {
    Q_OBJECT

private slots:
    void tokens_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("keyword");
        QTest::addColumn<QStringList>("expected");

        // "·" stands for every control byte, so a request line sits between dots.
        const QString request = QStringLiteral("··E··GET /a/b.mp3 HTTP/1.1··Host: cdn.example··");
        QTest::newRow("middle word") << request << "mp3" << QStringList{"/a/b.mp3"};
        QTest::newRow("capitals") << request << "MP3" << QStringList{"/a/b.mp3"};
        QTest::newRow("mixed case in text") << QStringLiteral("x /A/B.Mp3 y") << "mP3" << QStringList{"/A/B.Mp3"};
        QTest::newRow("token after a dot") << request << "cdn" << QStringList{"cdn.example"};
        QTest::newRow("text opening with its only dot") << QStringLiteral("·a.mp3") << "mp3" << QStringList{"a.mp3"};
        QTest::newRow("three hits in order")
            << QStringLiteral("·a.mp3 b.MP3·/c/d.mp3?x=1") << "mp3" << QStringList{"a.mp3", "b.MP3", "/c/d.mp3?x=1"};
        // With no delimiter before it the token starts at the keyword and runs to the end of the text.
        QTest::newRow("at the very end, nothing before") << QStringLiteral("abcmp3") << "mp3" << QStringList{"mp3"};
        QTest::newRow("at the very end after a word") << QStringLiteral("a b.mp3") << "mp3" << QStringList{"b.mp3"};
        QTest::newRow("two hits in one token") << QStringLiteral("x mp3mp3 y") << "mp3" << QStringList{"mp3mp3"};
        QTest::newRow("no hit") << request << "ogg" << QStringList{};
        // Searched as text: pattern characters are plain.
        QTest::newRow("pattern characters")
            << QStringLiteral("x a.*b y axxb [z](1)+ \\d") << "a.*b" << QStringList{"a.*b"};
        QTest::newRow("brackets") << QStringLiteral("x [z](1)+ y") << "](1)+" << QStringList{"[z](1)+"};
        QTest::newRow("backslash") << QStringLiteral("C:\\v\\a.avi x") << "\\a." << QStringList{"\\a.avi"};
        QTest::newRow("chinese") << QStringLiteral("·标题 高清视频下载·视频") << "视频"
                                 << QStringList{"高清视频下载", "视频"};
        QTest::newRow("full-width capitals")
            << QStringLiteral("x ＭＰ３文件 y") << "ｍｐ３" << QStringList{"ＭＰ３文件"};
        // Keywords that begin with a delimiter: the scan still moves on and ends.
        QTest::newRow("leading space") << QStringLiteral("a mp3 b mp3") << " mp3" << QStringList{"mp3", "mp3"};
        QTest::newRow("dot keyword") << QStringLiteral("a··b·c") << QStringLiteral("·") << QStringList{"b", "c"};
    }

    void tokens() {
        QFETCH(QString, text);
        QFETCH(QString, keyword);
        QFETCH(QStringList, expected);
        QStringList found;
        for (const std::u16string& token : velmora::KeywordTokens(u(text), u(keyword)))
            found << QString::fromStdU16String(token);
        QCOMPARE(found, expected);
    }

    // The search reads packets the way the data window shows them with Chinese text processing on:
    // a GBK keyword typed by the user matches the decoded characters.
    void searchesDecodedChineseText() {
        // "GET /视频.mp4" with the two characters in GBK.
        const std::vector<std::uint8_t> frame{0x0d, 0x0a, 'G', 'E', 'T', ' ', '/', 0xca, 0xd3,
                                              0xc6, 0xb5, '.', 'm', 'p', '4', ' ', 'H'};
        const std::u16string text = velmora::DecodeCnEscapes(velmora::PacketToTextCn(frame));
        const auto tokens = velmora::KeywordTokens(text, u(QStringLiteral("视频")));
        QCOMPARE(tokens.size(), std::size_t{1});
        QCOMPARE(QString::fromStdU16String(tokens[0]), QStringLiteral("/视频.mp4"));
    }

    // Thousands of hits in a packet with no middle dots: each costs its own stretch, not a walk back
    // over the whole text (which made this quadratic).
    void manyHitsStayLinear() {
        std::u16string text;
        for (int i = 0; i < 15000; ++i)
            text += u"a ";
        const auto tokens = velmora::KeywordTokens(text, u"A");
        QCOMPARE(tokens.size(), std::size_t{15000});
        QVERIFY(tokens.back() == u"a");
    }
};

QTEST_GUILESS_MAIN(TestKeywordTokens)
#include "tst_commandbar_keyword.moc"
