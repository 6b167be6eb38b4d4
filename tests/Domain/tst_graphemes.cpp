#include "Domain/Graphemes.h"

#include <QTest>
#include <QTextBoundaryFinder>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

// The fast walk skips exact segmentation between units that stand alone; every row here is
// also checked against Qt's own segmentation, so a wrong shortcut shows as a mismatch.
class GraphemesTest : public QObject
{
    Q_OBJECT

    static qsizetype referenceCount(const QString &text)
    {
        QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
        qsizetype n = 0;
        while (finder.toNextBoundary() > 0)
            ++n;
        return n;
    }

    static QString referencePrefix(const QString &text, qsizetype limit)
    {
        QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
        qsizetype end = 0;
        for (qsizetype n = 0; n < limit; ++n) {
            const qsizetype next = finder.toNextBoundary();
            if (next <= 0)
                break;
            end = next;
        }
        return text.left(end);
    }

private Q_SLOTS:
    void countsAndCuts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qsizetype>("count");
        QTest::newRow("empty") << QString() << qsizetype(0);
        QTest::newRow("ascii") << u"hello world"_s << qsizetype(11);
        QTest::newRow("crlf is one") << u"a\r\nb\r\n"_s << qsizetype(4);
        QTest::newRow("lone cr") << u"a\rb"_s << qsizetype(3);
        QTest::newRow("cjk") << u"你好，世界"_s << qsizetype(5);
        QTest::newRow("combining") << u"e\u0301e\u0301e\u0301"_s << qsizetype(3);
        QTest::newRow("combining after cjk") << u"中\u0301文"_s << qsizetype(2);
        QTest::newRow("flags") << u"\U0001F1E8\U0001F1F3\U0001F1EF\U0001F1F5x"_s << qsizetype(3);
        QTest::newRow("zwj family") << u"a\U0001F468\u200D\U0001F469\u200D\U0001F467b"_s << qsizetype(3);
        QTest::newRow("skin tone") << u"\U0001F44D\U0001F3FD!"_s << qsizetype(2);
        QTest::newRow("hangul jamo") << u"\u1100\u1161\u11A8가"_s << qsizetype(2);
        QTest::newRow("devanagari") << u"नमस्ते"_s << qsizetype(referenceCount(u"नमस्ते"_s));
        QTest::newRow("lone surrogate") << QString(QChar(0xD800)) + u"a"_s << qsizetype(2);
        QTest::newRow("mark at start") << u"\u0301abc"_s << qsizetype(4); // a lone mark is a character of its own
        QTest::newRow("mixed") << u"状态: ok\r\n✅ e\u0301 \U0001F1E8\U0001F1F3 完成"_s
                               << qsizetype(referenceCount(u"状态: ok\r\n✅ e\u0301 \U0001F1E8\U0001F1F3 完成"_s));
    }

    void countsAndCuts()
    {
        QFETCH(QString, text);
        QFETCH(qsizetype, count);
        QCOMPARE(Graphemes::count(text), count);
        QCOMPARE(Graphemes::count(text), referenceCount(text));
        // Every cut, one past the end included, agrees with the exact segmentation and says
        // whether the text had that many characters.
        for (qsizetype limit = 0; limit <= count + 1; ++limit) {
            const QString expected = limit == 0 ? QString() : referencePrefix(text, limit);
            QCOMPARE(Graphemes::prefix(text, limit), expected);
            const auto [end, full] = Graphemes::prefixEnd(text, limit);
            QCOMPARE(end, expected.size());
            QCOMPARE(full, limit <= count);
        }
        QCOMPARE(Graphemes::prefix(text, -3), QString());
        QCOMPARE(Graphemes::prefixEnd(text, -1).first, text.size());
    }

    void cutsNearTheLimitInLongText()
    {
        // A long run of plain units followed by a joining unit right after the cut: the last
        // unit before the cut must not be split from its mark.
        const QString text = QString(1000, u'a') + u"\u0301"_s + QString(10, u'b');
        QCOMPARE(Graphemes::count(text), 1010);
        QCOMPARE(Graphemes::prefix(text, 1000), QString(999, u'a') + u"a\u0301"_s);
        QCOMPARE(Graphemes::prefix(text, 999), QString(999, u'a'));
        QCOMPARE(Graphemes::prefixEnd(text, 1001).first, 1002);
    }

    void formatsWithGrouping()
    {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        QCOMPARE(Graphemes::formattedCount(1234567), u"1,234,567"_s);
        QLocale::setDefault(QLocale::system());
    }
};

QTEST_GUILESS_MAIN(GraphemesTest)
#include "tst_graphemes.moc"
