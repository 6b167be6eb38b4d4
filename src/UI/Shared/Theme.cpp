#include "UI/Shared/Theme.h"

#include <cmath>

#include <QFontMetricsF>
#include <QGuiApplication>
#include <QLocale>
#include <QPalette>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

std::optional<Theme::Appearance> g_override;

QColor rgb(int r, int g, int b, qreal alpha = 1.0)
{
    QColor c(r, g, b);
    c.setAlphaF(float(alpha));
    return c;
}

QColor fraction(qreal r, qreal g, qreal b)
{
    return QColor::fromRgbF(float(r), float(g), float(b));
}

} // namespace

Theme::Appearance Theme::appearance()
{
    if (g_override)
        return *g_override;
    const QByteArray forced = qgetenv("NBD_APPEARANCE").trimmed().toLower();
    if (forced == "dark")
        return Appearance::Dark;
    if (forced == "light")
        return Appearance::Light;
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return Appearance::Light;
    return QGuiApplication::palette().color(QPalette::Window).lightness() < 128 ? Appearance::Dark
                                                                                : Appearance::Light;
}

void Theme::setAppearanceOverride(std::optional<Appearance> appearance)
{
    g_override = appearance;
}

QPalette Theme::palette(Appearance appearance)
{
    const std::optional<Appearance> saved = g_override;
    g_override = appearance;
    QPalette p;
    const QColor solidText = appearance == Appearance::Dark ? QColor(235, 235, 237) : QColor(30, 30, 32);
    p.setColor(QPalette::Window, sidebar());
    p.setColor(QPalette::WindowText, solidText);
    p.setColor(QPalette::Base, raised());
    p.setColor(QPalette::AlternateBase, inset());
    p.setColor(QPalette::Text, solidText);
    p.setColor(QPalette::Button, raised());
    p.setColor(QPalette::ButtonText, solidText);
    p.setColor(QPalette::ToolTipBase, raised());
    p.setColor(QPalette::ToolTipText, solidText);
    p.setColor(QPalette::PlaceholderText, tertiaryText());
    p.setColor(QPalette::Highlight, brand());
    p.setColor(QPalette::HighlightedText, QColor(255, 255, 255));
    p.setColor(QPalette::Link, brand());
    p.setColor(QPalette::Light, appearance == Appearance::Dark ? QColor(60, 60, 62) : QColor(255, 255, 255));
    p.setColor(QPalette::Midlight, selection());
    p.setColor(QPalette::Mid, appearance == Appearance::Dark ? QColor(50, 50, 52) : QColor(200, 200, 204));
    p.setColor(QPalette::Dark, appearance == Appearance::Dark ? QColor(15, 15, 16) : QColor(160, 160, 164));
    p.setColor(QPalette::Disabled, QPalette::Text, tertiaryText());
    p.setColor(QPalette::Disabled, QPalette::WindowText, tertiaryText());
    p.setColor(QPalette::Disabled, QPalette::ButtonText, tertiaryText());
    g_override = saved;
    return p;
}

QColor Theme::dynamic(const QColor &light, const QColor &dark)
{
    return isDark() ? dark : light;
}

QColor Theme::canvas() { return dynamic(rgb(255, 255, 255), rgb(21, 21, 23)); }
QColor Theme::panel() { return dynamic(rgb(255, 255, 255), rgb(27, 27, 28)); }
QColor Theme::sidebar() { return dynamic(rgb(249, 250, 251), rgb(27, 27, 28)); }
QColor Theme::inset() { return dynamic(rgb(245, 246, 247), rgb(35, 35, 36)); }
QColor Theme::bubble() { return dynamic(rgb(237, 243, 254), rgb(44, 44, 46)); }
QColor Theme::selection() { return dynamic(rgb(241, 243, 245), rgb(44, 44, 46)); }
QColor Theme::raised() { return dynamic(rgb(255, 255, 255), rgb(44, 44, 46)); }
QColor Theme::sendButton() { return dynamic(rgb(57, 100, 254), rgb(103, 158, 254)); }
QColor Theme::hairline() { return dynamic(rgb(0, 0, 0, 0.04), rgb(255, 255, 255, 0.04)); }
QColor Theme::strongHairline() { return dynamic(rgb(0, 0, 0, 0.10), rgb(255, 255, 255, 0.06)); }

QColor Theme::brand() { return rgb(65, 118, 230); }
QColor Theme::brandSoft() { return rgb(65, 118, 230, 0.11); }
QColor Theme::success() { return fraction(0.12, 0.58, 0.35); }
QColor Theme::warning() { return fraction(0.82, 0.49, 0.12); }
QColor Theme::softShadow() { return rgb(0, 0, 0, 0.1); }
QColor Theme::hover() { return selection(); }
QColor Theme::tableHeader() { return sidebar(); }

QColor Theme::primaryText() { return dynamic(rgb(0, 0, 0, 0.85), rgb(255, 255, 255, 0.85)); }
QColor Theme::secondaryText() { return dynamic(rgb(0, 0, 0, 0.50), rgb(255, 255, 255, 0.55)); }
QColor Theme::tertiaryText() { return dynamic(rgb(0, 0, 0, 0.26), rgb(255, 255, 255, 0.25)); }
QColor Theme::quaternaryText() { return dynamic(rgb(0, 0, 0, 0.10), rgb(255, 255, 255, 0.10)); }
QColor Theme::systemRed() { return dynamic(rgb(255, 59, 48), rgb(255, 69, 58)); }

namespace Fonts {

QFont system(int pixelSize, QFont::Weight weight)
{
    QFont font;
    if (weight == QFont::Normal || weight == QFont::Bold) {
        // The desktop's sans-serif first; Noto covers Latin and, through the CJK family, Chinese.
        font.setFamilies({u"sans-serif"_s, u"Noto Sans"_s, u"Noto Sans CJK SC"_s});
    } else {
        // Latin families rarely come in the weights between regular and bold while the CJK
        // family does: its own Latin letters keep a mixed title in one weight.
        font.setFamilies({u"Noto Sans CJK SC"_s, u"sans-serif"_s, u"Noto Sans"_s});
    }
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

QFont body() { return system(13); }
QFont callout() { return system(12); }
QFont subheadline() { return system(11); }
QFont caption() { return system(10); }
QFont title3() { return system(15); }

QFont monospaced(int pixelSize, QFont::Weight weight)
{
    QFont font;
    font.setFamilies({u"monospace"_s, u"DejaVu Sans Mono"_s, u"Noto Sans Mono CJK SC"_s});
    font.setStyleHint(QFont::Monospace);
    font.setFixedPitch(true);
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

int textWidth(const QFont &font, const QString &text)
{
    return int(std::ceil(QFontMetricsF(font).horizontalAdvance(text)));
}

} // namespace Fonts

QString relativeShort(const QDateTime &date, const QDateTime &now)
{
    // Whole seconds, truncated toward zero like the counts below; a future date is negative.
    const qint64 s = date.msecsTo(now) / 1000;
    if (s < 60)
        return u"刚刚"_s;
    if (s < 3600)
        return QString::number(s / 60) + u" 分钟前"_s;
    if (s < 86400)
        return QString::number(s / 3600) + u" 小时前"_s;
    if (s < 604800)
        return QString::number(s / 86400) + u" 天前"_s;
    const QLocale locale;
    const QDateTime local = date.toLocalTime();
    if (locale.language() == QLocale::Chinese || locale.language() == QLocale::Japanese)
        return locale.toString(local, u"M月d日"_s);
    return locale.toString(local, u"MMM d"_s);
}

} // namespace nbd
