#include "GuiTestMain.h"
#include "ShownText.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/PlainToolTip.h"
#include "UI/Sidebar/SidebarRailView.h"
#include "UI/Shared/StatusPill.h"
#include "UI/Shared/Theme.h"

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QPalette>
#include <QTextDocument>
#include <QGlyphRun>
#include <QRawFont>
#include <QTextLayout>
#include <QToolTip>
#include <QtTest>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

using ColorGetter = QColor (*)();
Q_DECLARE_METATYPE(ColorGetter)
Q_DECLARE_METATYPE(nbd::StatusPill::Kind)

class tst_Theme : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup()
    {
        Theme::setAppearanceOverride(std::nullopt);
        qunsetenv("NBD_APPEARANCE");
    }

    void relativeShort_data()
    {
        QTest::addColumn<qint64>("msAgo");
        QTest::addColumn<QString>("expected");
        QTest::newRow("now") << qint64(0) << u"刚刚"_s;
        QTest::newRow("59.9 s") << qint64(59'900) << u"刚刚"_s;
        QTest::newRow("60 s") << qint64(60'000) << u"1 分钟前"_s;
        QTest::newRow("hour less a second") << qint64(3'599'000) << u"59 分钟前"_s;
        QTest::newRow("3600 s") << qint64(3'600'000) << u"1 小时前"_s;
        QTest::newRow("day less a second") << qint64(86'399'000) << u"23 小时前"_s;
        QTest::newRow("86400 s") << qint64(86'400'000) << u"1 天前"_s;
        QTest::newRow("week less a second") << qint64(604'799'000) << u"6 天前"_s;
        QTest::newRow("future, a minute") << qint64(-60'000) << u"刚刚"_s;
        QTest::newRow("future, a year") << qint64(-365LL * 86'400'000) << u"刚刚"_s;
    }

    void relativeShort()
    {
        QFETCH(qint64, msAgo);
        QFETCH(QString, expected);
        const QDateTime now(QDate(2026, 3, 14), QTime(12, 0), Qt::UTC);
        QCOMPARE(nbd::relativeShort(now.addMSecs(-msAgo), now), expected);
    }

    void relativeShortBeyondAWeekShowsMonthAndDay_data()
    {
        QTest::addColumn<QLocale>("locale");
        QTest::addColumn<QString>("expected");
        QTest::newRow("chinese") << QLocale(QLocale::Chinese, QLocale::China) << u"3月7日"_s;
        QTest::newRow("english") << QLocale(QLocale::English, QLocale::UnitedStates) << u"Mar 7"_s;
    }

    void relativeShortBeyondAWeekShowsMonthAndDay()
    {
        QFETCH(QLocale, locale);
        QFETCH(QString, expected);
        const QLocale saved;
        QLocale::setDefault(locale);
        const QDateTime now = QDateTime(QDate(2026, 3, 14), QTime(12, 0)); // local time
        QCOMPARE(nbd::relativeShort(now.addSecs(-604800), now), expected);
        QLocale::setDefault(saved);
    }

    void colours_data()
    {
        QTest::addColumn<ColorGetter>("getter");
        QTest::addColumn<QColor>("light");
        QTest::addColumn<QColor>("dark");
        const auto a = [](int r, int g, int b, qreal alpha) {
            QColor c(r, g, b);
            c.setAlphaF(float(alpha));
            return c;
        };
        QTest::newRow("canvas") << ColorGetter(&Theme::canvas) << QColor(255, 255, 255) << QColor(21, 21, 23);
        QTest::newRow("panel") << ColorGetter(&Theme::panel) << QColor(255, 255, 255) << QColor(27, 27, 28);
        QTest::newRow("sidebar") << ColorGetter(&Theme::sidebar) << QColor(249, 250, 251) << QColor(27, 27, 28);
        QTest::newRow("inset") << ColorGetter(&Theme::inset) << QColor(245, 246, 247) << QColor(35, 35, 36);
        QTest::newRow("bubble") << ColorGetter(&Theme::bubble) << QColor(237, 243, 254) << QColor(44, 44, 46);
        QTest::newRow("selection") << ColorGetter(&Theme::selection) << QColor(241, 243, 245) << QColor(44, 44, 46);
        QTest::newRow("raised") << ColorGetter(&Theme::raised) << QColor(255, 255, 255) << QColor(44, 44, 46);
        QTest::newRow("sendButton") << ColorGetter(&Theme::sendButton) << QColor(57, 100, 254) << QColor(103, 158, 254);
        QTest::newRow("hairline") << ColorGetter(&Theme::hairline) << a(0, 0, 0, 0.04) << a(255, 255, 255, 0.04);
        QTest::newRow("strongHairline") << ColorGetter(&Theme::strongHairline) << a(0, 0, 0, 0.10) << a(255, 255, 255, 0.06);
        QTest::newRow("hover follows selection") << ColorGetter(&Theme::hover) << QColor(241, 243, 245) << QColor(44, 44, 46);
        QTest::newRow("tableHeader follows sidebar") << ColorGetter(&Theme::tableHeader) << QColor(249, 250, 251) << QColor(27, 27, 28);
        QTest::newRow("brand is fixed") << ColorGetter(&Theme::brand) << QColor(65, 118, 230) << QColor(65, 118, 230);
        QTest::newRow("brandSoft is fixed") << ColorGetter(&Theme::brandSoft) << a(65, 118, 230, 0.11) << a(65, 118, 230, 0.11);
        QTest::newRow("success is fixed") << ColorGetter(&Theme::success) << QColor::fromRgbF(0.12f, 0.58f, 0.35f)
                                          << QColor::fromRgbF(0.12f, 0.58f, 0.35f);
        QTest::newRow("warning is fixed") << ColorGetter(&Theme::warning) << QColor::fromRgbF(0.82f, 0.49f, 0.12f)
                                          << QColor::fromRgbF(0.82f, 0.49f, 0.12f);
        QTest::newRow("softShadow is fixed") << ColorGetter(&Theme::softShadow) << a(0, 0, 0, 0.1) << a(0, 0, 0, 0.1);
    }

    void colours()
    {
        QFETCH(ColorGetter, getter);
        QFETCH(QColor, light);
        QFETCH(QColor, dark);
        Theme::setAppearanceOverride(Theme::Appearance::Light);
        QCOMPARE(getter().rgba(), light.rgba());
        Theme::setAppearanceOverride(Theme::Appearance::Dark);
        QCOMPARE(getter().rgba(), dark.rgba());
    }

    void appearanceFollowsEnvironmentThenPalette()
    {
        const QPalette saved = QApplication::palette();
        QPalette darkPalette = saved;
        darkPalette.setColor(QPalette::Window, QColor(30, 30, 30));
        QPalette lightPalette = saved;
        lightPalette.setColor(QPalette::Window, QColor(240, 240, 240));

        QApplication::setPalette(darkPalette);
        QCOMPARE(Theme::appearance(), Theme::Appearance::Dark);
        QCOMPARE(Theme::canvas(), QColor(21, 21, 23));
        qputenv("NBD_APPEARANCE", "light");
        QCOMPARE(Theme::appearance(), Theme::Appearance::Light);

        QApplication::setPalette(lightPalette);
        qputenv("NBD_APPEARANCE", "dark");
        QCOMPARE(Theme::appearance(), Theme::Appearance::Dark);
        qputenv("NBD_APPEARANCE", "sepia"); // not a known appearance: the palette decides
        QCOMPARE(Theme::appearance(), Theme::Appearance::Light);
        QApplication::setPalette(saved);
    }

    void statusPillKinds_data()
    {
        QTest::addColumn<StatusPill::Kind>("kind");
        QTest::addColumn<QColor>("expected");
        QTest::newRow("success") << StatusPill::Kind::Success << Theme::success();
        QTest::newRow("warning") << StatusPill::Kind::Warning << Theme::warning();
        QTest::newRow("accent") << StatusPill::Kind::Accent << QColor(65, 118, 230);
        QTest::newRow("danger") << StatusPill::Kind::Danger << QColor(255, 59, 48);
        QTest::newRow("neutral") << StatusPill::Kind::Neutral << Theme::secondaryText();
    }

    void statusPillKinds()
    {
        QFETCH(StatusPill::Kind, kind);
        QFETCH(QColor, expected);
        Theme::setAppearanceOverride(Theme::Appearance::Light);
        QCOMPARE(StatusPill::color(kind).rgba(), expected.rgba());
    }

    void statusPillIconAddsItsWidthOnly()
    {
        StatusPill plain(u"运行中"_s, StatusPill::Kind::Success);
        StatusPill withIcon(u"运行中"_s, StatusPill::Kind::Success, u"checkmark"_s);
        QCOMPARE(plain.symbolName(), QString());
        QCOMPARE(withIcon.symbolName(), u"checkmark"_s);
        QCOMPARE(withIcon.sizeHint().width() - plain.sizeHint().width(), 8 + 3);
        QCOMPARE(withIcon.sizeHint().height(), plain.sizeHint().height());
        // 7 px each side around the text.
        QCOMPARE(plain.sizeHint().width(), QFontMetrics(plain.font()).horizontalAdvance(u"运行中"_s) + 14);
    }

    void iconsAreTintedAndUnknownNamesFallBack_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("known");
        for (const char *name : {"chevron.right", "sparkles", "gearshape", "square.and.pencil", "magnifyingglass",
                                 "sidebar.left", "terminal", "xmark"})
            QTest::newRow(name) << QString::fromLatin1(name) << true;
        QTest::newRow("unknown") << u"no.such.symbol"_s << false;
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("path-like") << u"../App/main"_s << false;
    }

    void iconsAreTintedAndUnknownNamesFallBack()
    {
        QFETCH(QString, name);
        QFETCH(bool, known);
        QCOMPARE(Icons::has(name), known);
        const QImage red = Icons::pixmap(name, 24, QColor(255, 0, 0)).toImage();
        const QImage fallback = Icons::pixmap(u"no.such.symbol"_s, 24, QColor(255, 0, 0)).toImage();
        int inked = 0;
        for (int y = 0; y < red.height(); ++y)
            for (int x = 0; x < red.width(); ++x) {
                const QColor c = red.pixelColor(x, y);
                if (c.alpha() > 200) {
                    ++inked;
                    QVERIFY2(c.red() > 200 && c.green() < 40 && c.blue() < 40, "icon ink takes the tint");
                }
            }
        QVERIFY(inked > 10);
        QCOMPARE(red == fallback, !known);
    }

    void iconWidgetsRecordTheirSymbol()
    {
        IconView view(u"sparkles"_s);
        QCOMPARE(view.property("symbolName").toString(), u"sparkles"_s);
        view.setSymbolName(u"gearshape"_s);
        QCOMPARE(view.property("symbolName").toString(), u"gearshape"_s);

        int clicks = 0;
        ChromeIconButton button(u"sidebar.right"_s, u"工具"_s, std::nullopt, [&] { ++clicks; });
        QCOMPARE(button.property("symbolName").toString(), u"sidebar.right"_s);
        QCOMPARE(button.size(), QSize(28, 28));
        button.show();
        QVERIFY(QTest::qWaitForWindowExposed(&button));
        QTest::mouseClick(&button, Qt::LeftButton, {}, QPoint(1, 1));
        QTest::mouseClick(&button, Qt::LeftButton, {}, QPoint(27, 27));
        QCOMPARE(clicks, 2);
    }

    // Help texts are shown as given, whatever characters they hold: never read as markup and
    // never with their escapes showing.
    void helpIsShownVerbatim_data()
    {
        QTest::addColumn<QString>("help");
        QTest::newRow("plain") << u"收起侧栏"_s;
        QTest::newRow("markup") << u"<b>工具</b>"_s;
        QTest::newRow("ampersand") << u"Tom & Jerry"_s;
        QTest::newRow("less-than") << u"1 < 2"_s;
        QTest::newRow("written entity") << u"&lt;tag&gt;"_s;
        QTest::newRow("path with quotes") << u"/tmp/\"a\"/b's"_s;
        QTest::newRow("inner blanks") << u"a   b"_s;
    }

    void helpIsShownVerbatim()
    {
        QFETCH(QString, help);
        const auto shown = &nbd::test::shownToolTip;
        ChromeIconButton chrome(u"xmark"_s, help, std::nullopt, {});
        QCOMPARE(shown(chrome.toolTip()), help);
        RailIconButton rail(u"gearshape"_s, help, {});
        QCOMPARE(shown(rail.toolTip()), help);
        // Plain text: no markup reaches the tooltip or assistive technology.
        QVERIFY(!Qt::mightBeRichText(chrome.toolTip()));
        QVERIFY(!chrome.toolTip().contains(u"<p"_s));
    }

    // A title that mixes Latin and Chinese renders in one font, so in one weight, for every
    // weight the views use.
    void titlesRenderInOneWeight_data()
    {
        QTest::addColumn<int>("weight");
        QTest::newRow("normal") << int(QFont::Normal);
        QTest::newRow("medium") << int(QFont::Medium);
        QTest::newRow("semibold") << int(QFont::DemiBold);
        QTest::newRow("bold") << int(QFont::Bold);
    }

    void titlesRenderInOneWeight()
    {
        QFETCH(int, weight);
        const QFont font = Fonts::system(14, QFont::Weight(weight));
        QTextLayout layout(u"Nimbrel 会话 Deck 新建会话"_s, font);
        layout.beginLayout();
        layout.createLine();
        layout.endLayout();
        QSet<QString> faces;
        QSet<int> weights;
        for (const QGlyphRun &run : layout.glyphRuns()) {
            faces.insert(run.rawFont().familyName() + u' ' + run.rawFont().styleName());
            weights.insert(run.rawFont().weight());
        }
        if (weight == QFont::Normal || weight == QFont::Bold) {
            // Both families have these weights.
            QCOMPARE(weights.size(), 1);
        } else {
            QVERIFY2(faces.size() == 1, qPrintable(QStringList(faces.values()).join(u", "_s)));
        }
    }

    // Long tooltips wrap into lines of a readable width, between words only; short ones and
    // their line breaks stay as they are.
    void tooltipsWrapBetweenWords_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("short") << u"设置 · NBD 0.9.3-sim · 内置 Host"_s;
        QTest::newRow("latin") << QStringList(40, u"NBD 0.9.3-sim /home/user/projects/example-project"_s).join(u' ');
        QTest::newRow("chinese") << QString(u"只会移除 NBD 中的项目分组。目录与会话日志都会保留，相关会话将移到“最近”。"_s).repeated(4);
        QTest::newRow("one long word") << QString(u"x"_s).repeated(300) + u" tail"_s;
        QTest::newRow("own lines") << u"第一行\nsecond line"_s;
    }

    void tooltipsWrapBetweenWords()
    {
        QFETCH(QString, text);
        const QString tip = plainToolTip(text);
        QVERIFY(!Qt::mightBeRichText(tip));
        const QFontMetrics metrics(QToolTip::font());
        const QStringList lines = tip.split(u'\n');
        QString rejoined;
        for (const QString &line : lines) {
            QVERIFY2(!line.isEmpty(), qPrintable(tip));
            // A line wider than the limit is one word that could not be broken.
            if (metrics.horizontalAdvance(line) > 420)
                QVERIFY2(!line.contains(u' '), qPrintable(line));
            if (!rejoined.isEmpty()) {
                // Breaks fall at blanks (dropped) or between characters of Chinese text.
                const QChar before = rejoined.back();
                const QChar after = line.front();
                const bool cjk = before.script() == QChar::Script_Han || after.script() == QChar::Script_Han
                    || before.unicode() >= 0x3000 || after.unicode() >= 0x3000;
                const qsizetype at = rejoined.size();
                if (text.mid(at, 1) == u" "_s)
                    rejoined += u' ';
                else if (text.mid(at, 1) == u"\n"_s)
                    rejoined += u'\n';
                else
                    QVERIFY2(cjk, qPrintable(rejoined.right(10) + u" | "_s + line.left(10)));
            }
            rejoined += line;
        }
        QCOMPARE(rejoined, text);
        if (metrics.horizontalAdvance(text) <= 420)
            QCOMPARE(tip, text);
    }
};

NBD_GUI_TEST_MAIN(tst_Theme)
#include "tst_theme.moc"
