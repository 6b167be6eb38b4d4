#include "UI/Conversation/TextLabels.h"

#include <QFontDatabase>

namespace nbd {

QLabel *TextLabels::make(const QString &text, const QFont &font, const QColor &color, int options, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    label->setFont(font);
    setColor(label, color);
    if (options & Wrap) {
        label->setWordWrap(true);
        label->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    }
    if (options & Selectable) {
        label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        label->setCursor(Qt::IBeamCursor);
        // Selectable text is not a control to tab through.
        label->setFocusPolicy(Qt::ClickFocus);
    }
    return label;
}

void TextLabels::setColor(QWidget *widget, const QColor &color)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    // Inside a button a label draws in the button's text role: a row header's words would all
    // come out in one colour, whatever colour they were given.
    palette.setColor(QPalette::ButtonText, color);
    widget->setPalette(palette);
}

QFont TextLabels::monospace(int pixelSize, QFont::Weight weight)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

} // namespace nbd
