#pragma once

#include <QColor>
#include <QDateTime>
#include <QFont>
#include <QPalette>
#include <QString>

#include <optional>

namespace nbd {

// The application's palette. Every getter resolves against the current appearance when it
// is read, so views read it while painting and a change of appearance needs only a repaint.
class Theme
{
public:
    enum class Appearance { Light, Dark };

    // NBD_APPEARANCE=dark|light wins; otherwise dark when the application palette's window
    // colour is dark; light without an application object.
    static Appearance appearance();
    static bool isDark() { return appearance() == Appearance::Dark; }
    // Forces an appearance for the whole process (nothing: follow the environment and palette).
    static void setAppearanceOverride(std::optional<Appearance> appearance);
    // A widget palette in the theme's colours for the given appearance, so that the stock
    // widgets (menus, tooltips, fields) match when NBD_APPEARANCE forces an appearance that
    // differs from the desktop's.
    static QPalette palette(Appearance appearance);

    static QColor canvas();
    static QColor panel();
    static QColor sidebar();
    static QColor inset();
    static QColor bubble();
    static QColor selection();
    static QColor raised();
    static QColor sendButton();
    static QColor hairline();
    static QColor strongHairline();

    static QColor brand();
    static QColor brandSoft();
    static QColor success();
    static QColor warning();
    static QColor softShadow();
    static QColor hover();
    static QColor tableHeader();

    // The hierarchical foreground styles and the system red.
    static QColor primaryText();
    static QColor secondaryText();
    static QColor tertiaryText();
    static QColor quaternaryText();
    static QColor systemRed();

private:
    static QColor dynamic(const QColor &light, const QColor &dark);
};

// Text styles by pixel size, in the desktop's sans-serif family with CJK fallback.
namespace Fonts {
QFont system(int pixelSize, QFont::Weight weight = QFont::Normal);
QFont body();        // 13
QFont callout();     // 12
QFont subheadline(); // 11
QFont caption();     // 10
QFont title3();      // 15
// The monospaced design at a pixel size, with CJK fallback.
QFont monospaced(int pixelSize, QFont::Weight weight = QFont::Normal);
// The width a text takes on one line, rounded up: QFontMetrics rounds advances to the nearest
// pixel, so a text elided to its own rounded width can lose its last letters.
int textWidth(const QFont &font, const QString &text);
} // namespace Fonts

// The short relative time of a date as the session list shows it ("刚刚", "5 分钟前", …,
// then month and day).
QString relativeShort(const QDateTime &date, const QDateTime &now = QDateTime::currentDateTime());

} // namespace nbd
