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

    void piecesEndAtCharacterBoundaries_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qsizetype>("length");
        const QString family = u"\U0001F468\u200D\U0001F469\u200D\U0001F467"_s;
        QTest::newRow("ascii") << QString(10000, u'x') << qsizetype(1000);
        QTest::newRow("cjk and crlf") << u"中文\r\n"_s.repeated(3000) << qsizetype(999);
        QTest::newRow("combining pairs") << u"e\u0301"_s.repeated(5000) << qsizetype(1000);
        QTest::newRow("one huge cluster") << u"e"_s + QString(100000, QChar(0x0301)) << qsizetype(2000);
        QTest::newRow("zwj families") << family.repeated(20000) << qsizetype(2000);
        QTest::newRow("one zwj chain") << (u"\U0001F468\u200D"_s.repeated(53000) + u"\U0001F468"_s) << qsizetype(2000);
        QTest::newRow("flags") << u"\U0001F1E8\U0001F1F3"_s.repeated(10000) << qsizetype(1001);
        QTest::newRow("flag after one regional") << u"x\U0001F1E8"_s + u"\U0001F1E8\U0001F1F3"_s.repeated(3000) << qsizetype(1000);
        QTest::newRow("lone surrogates") << QString(5000, QChar(0xD800)) << qsizetype(1000);
        QTest::newRow("pairs cut at odd lengths") << u"\U0001F600"_s.repeated(5000) << qsizetype(999);
        QTest::newRow("short") << u"a\u0301"_s << qsizetype(1);
    }

    // Pieces cover the text in order, none longer than asked but for a pair kept whole, each
    // cut on a boundary of Qt's own segmentation unless the character there is longer than a
    // piece; a surrogate pair is never cut.
    void piecesEndAtCharacterBoundaries()
    {
        QFETCH(QString, text);
        QFETCH(qsizetype, length);
        QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
        std::vector<bool> boundary(size_t(text.size()) + 1, false);
        for (qsizetype b = 0; b >= 0; b = finder.toNextBoundary())
            boundary[size_t(b)] = true;
        std::vector<qsizetype> clusterLength(size_t(text.size()) + 1, 0);
        for (qsizetype i = 0, start = 0; i <= text.size(); ++i) {
            if (boundary[size_t(i)] && i > start) {
                for (qsizetype j = start; j < i; ++j)
                    clusterLength[size_t(j)] = i - start;
                start = i;
            }
        }
        qsizetype pieces = 0;
        for (qsizetype from = 0; from < text.size(); ++pieces) {
            const qsizetype end = Graphemes::pieceEnd(text, from, length);
            QVERIFY2(end > from && end <= text.size(), qPrintable(QString::number(from)));
            QVERIFY(end - from <= length + 1);
            if (end < text.size()) {
                QVERIFY(!(text[end].isLowSurrogate() && text[end - 1].isHighSurrogate()));
                if (!boundary[size_t(end)])
                    QVERIFY2(clusterLength[size_t(end)] > length, qPrintable(QString::number(end)));
            }
            from = end;
        }
        QVERIFY(pieces >= (text.size() + length) / (length + 1));
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
