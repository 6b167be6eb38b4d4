#pragma once

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QString>

namespace nbd {

// Labels for host and user text: always plain text (never guessed rich text), optionally
// selectable and wrapping.
struct TextLabels
{
    enum Option { NoOption = 0, Wrap = 1, Selectable = 2 };

    static QLabel *make(const QString &text, const QFont &font, const QColor &color, int options,
                        QWidget *parent = nullptr);
    static void setColor(QWidget *widget, const QColor &color);
    static QFont monospace(int pixelSize, QFont::Weight weight = QFont::Normal);
};

} // namespace nbd
