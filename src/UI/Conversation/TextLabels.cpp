#include "UI/Conversation/TextLabels.h"

#include "UI/Shared/Theme.h"

#include <QEvent>
#include <QFontDatabase>
#include <QPainter>

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
    widget->setPalette(palette);
}

QFont TextLabels::monospace(int pixelSize, QFont::Weight weight)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

// ---- ElidedLabel ----

ElidedLabel::ElidedLabel(const QString &text, Qt::TextElideMode mode, QWidget *parent)
    : QWidget(parent)
    , m_text(text)
    , m_mode(mode)
{
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    setAccessibleName(text);
}

void ElidedLabel::setText(const QString &text)
{
    if (text == m_text)
        return;
    m_text = text;
    setAccessibleName(text);
    updateGeometry();
    update();
}

void ElidedLabel::setColor(const QColor &color)
{
    m_color = color;
    update();
}

QString ElidedLabel::shownText() const
{
    QString single = m_text;
    single.replace(u'\n', u' ');
    return fontMetrics().elidedText(single, m_mode, width());
}

QSize ElidedLabel::sizeHint() const
{
    QString single = m_text;
    single.replace(u'\n', u' ');
    return {fontMetrics().horizontalAdvance(single) + 1, fontMetrics().height()};
}

QSize ElidedLabel::minimumSizeHint() const { return {fontMetrics().horizontalAdvance(QStringLiteral("…")) * 2, fontMetrics().height()}; }

void ElidedLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setPen(m_color.isValid() ? m_color : Theme::primaryText());
    painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter, shownText());
}

void ElidedLabel::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::FontChange)
        updateGeometry();
    QWidget::changeEvent(event);
}

} // namespace nbd
