#include "UI/Settings/SettingsControls.h"

#include "UI/Shared/Icons.h"
#include "UI/Shared/Spinner.h"
#include "UI/Shared/Theme.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QScrollArea>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

QFont monospacedFont(int pixelSize, QFont::Weight weight)
{
    QFont font;
    font.setFamilies({u"monospace"_s, u"Noto Sans Mono"_s, u"DejaVu Sans Mono"_s, u"Noto Sans Mono CJK SC"_s});
    font.setStyleHint(QFont::Monospace);
    font.setFixedPitch(true);
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

ScrollingList scrollingList(const QString &accessibleName, QMargins margins, int spacing, QWidget *parent)
{
    auto *scroll = new QScrollArea(parent);
    scroll->setAccessibleName(accessibleName);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    scroll->viewport()->setAutoFillBackground(false);
    auto *content = new QWidget;
    scroll->setWidget(content);
    // The scroll area makes the content opaque; the page shows the canvas through it.
    content->setAutoFillBackground(false);
    auto *column = new QVBoxLayout(content);
    column->setContentsMargins(margins);
    column->setSpacing(spacing);
    return {scroll, content, column};
}

// ---- ThemedLabel ----

ThemedLabel::ThemedLabel(const QString &text, const QFont &font, Tone tone, QWidget *parent)
    : QLabel(parent)
    , m_tone(std::move(tone))
{
    setTextFormat(Qt::PlainText);
    setText(text);
    setFont(font);
    applyTone();
}

void ThemedLabel::setTone(Tone tone)
{
    m_tone = std::move(tone);
    applyTone();
}

void ThemedLabel::changeEvent(QEvent *event)
{
    QLabel::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ApplicationPaletteChange)
        applyTone();
}

void ThemedLabel::applyTone()
{
    if (!m_tone || m_applying)
        return;
    const QColor color = m_tone();
    if (palette().color(QPalette::WindowText) == color && palette().isBrushSet(QPalette::Active, QPalette::WindowText))
        return;
    m_applying = true;
    QPalette p = palette();
    p.setColor(QPalette::WindowText, color);
    p.setColor(QPalette::Text, color);
    setPalette(p);
    m_applying = false;
}

// ---- ProgressState ----

ProgressState::ProgressState(const QString &label, QWidget *parent)
    : QWidget(parent)
    , m_label(label)
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    auto *layout = new QVBoxLayout(this);
    layout->setSpacing(8);
    layout->addStretch(1);
    auto *spinner = new Spinner(20, this);
    layout->addWidget(spinner, 0, Qt::AlignHCenter);
    auto *text = new ThemedLabel(label, Fonts::body(), &Theme::secondaryText, this);
    text->setAlignment(Qt::AlignCenter);
    layout->addWidget(text, 0, Qt::AlignHCenter);
    layout->addStretch(1);
    setAccessibleName(label);
}

// ---- ContentUnavailableState ----

ContentUnavailableState::ContentUnavailableState(const QString &symbolName, const QString &title,
                                                 const QString &description, QWidget *parent)
    : QWidget(parent)
    , m_symbolName(symbolName)
    , m_title(title)
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(40, 0, 40, 0);
    layout->setSpacing(6);
    layout->addStretch(1);
    auto *icon = new IconView(symbolName, 40, this);
    icon->setTint(Theme::tertiaryText());
    icon->setFixedSize(44, 44);
    layout->addWidget(icon, 0, Qt::AlignHCenter);
    layout->addSpacing(6);
    auto *titleLabel = new ThemedLabel(title, Fonts::system(17, QFont::DemiBold), &Theme::primaryText, this);
    titleLabel->setAlignment(Qt::AlignCenter);
    titleLabel->setWordWrap(true);
    layout->addWidget(titleLabel);
    if (!description.isEmpty()) {
        auto *detail = new ThemedLabel(description, Fonts::body(), &Theme::secondaryText, this);
        detail->setAlignment(Qt::AlignCenter);
        detail->setWordWrap(true);
        layout->addWidget(detail);
    }
    layout->addStretch(1);
}

// ---- Hairline ----

Hairline::Hairline(Qt::Orientation orientation, std::function<QColor()> color, QWidget *parent)
    : QWidget(parent)
    , m_color(std::move(color))
{
    if (orientation == Qt::Vertical) {
        setFixedWidth(1);
        setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    } else {
        setFixedHeight(1);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void Hairline::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), m_color());
}

// ---- ColorDot ----

ColorDot::ColorDot(int side, QWidget *parent)
    : QWidget(parent)
    , m_side(side)
{
    setFixedSize(side, side);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void ColorDot::setColor(std::function<QColor()> color)
{
    m_color = std::move(color);
    update();
}

void ColorDot::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color());
    const qreal x = (width() - m_side) / 2.0;
    const qreal y = (height() - m_side) / 2.0;
    painter.drawEllipse(QRectF(x, y, m_side, m_side));
}

// ---- CardFrame ----

CardFrame::CardFrame(qreal radius, qreal fillOpacity, QWidget *parent, bool border)
    : QWidget(parent)
    , m_radius(radius)
    , m_fillOpacity(fillOpacity)
    , m_border(border)
{
}

void CardFrame::setAlert(bool alert)
{
    if (m_alert == alert)
        return;
    m_alert = alert;
    update();
}

void CardFrame::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor fill = Theme::isDark() ? QColor(255, 255, 255) : QColor(0, 0, 0);
    fill.setAlphaF(float(m_fillOpacity));
    QPainterPath path;
    // The border is drawn inside the shape: inset by half the pen.
    path.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), m_radius, m_radius);
    painter.fillPath(path, fill);
    if (!m_border)
        return;
    QColor border = Theme::hairline();
    if (m_alert) {
        border = Theme::systemRed();
        border.setAlphaF(0.5f);
    }
    painter.setPen(QPen(border, 1));
    painter.drawPath(path);
}

// ---- FormSection ----

namespace {

class FormBox : public QWidget
{
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
        painter.fillPath(path, Theme::isDark() ? QColor(255, 255, 255, 10) : Theme::inset());
        painter.setPen(QPen(Theme::strongHairline(), 1));
        painter.drawPath(path);
    }
};

} // namespace

FormSection::FormSection(const QString &title, QWidget *parent)
    : QWidget(parent)
    , m_title(title)
    , m_box(new FormBox(this))
    , m_rows(new QVBoxLayout(m_box))
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    if (!title.isEmpty()) {
        auto *titleLabel = new ThemedLabel(title, Fonts::system(12, QFont::DemiBold), &Theme::secondaryText, this);
        titleLabel->setContentsMargins(4, 0, 0, 0);
        layout->addWidget(titleLabel);
    }
    m_rows->setContentsMargins(12, 0, 12, 0);
    m_rows->setSpacing(0);
    layout->addWidget(m_box);
}

void FormSection::addRow(QWidget *row)
{
    QWidget *line = nullptr;
    if (!m_rowWidgets.empty()) {
        line = new Hairline(Qt::Horizontal, &Theme::strongHairline, m_box);
        m_rows->addWidget(line);
    }
    row->setParent(m_box);
    m_rows->addWidget(row);
    m_rowWidgets.emplace_back(row, line);
}

QWidget *FormSection::addLabeledRow(const QString &label, QWidget *value)
{
    auto *row = new QWidget;
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 9, 0, 9);
    layout->setSpacing(12);
    auto *labelView = new ThemedLabel(label, Fonts::body(), &Theme::primaryText, row);
    layout->addWidget(labelView, 0, Qt::AlignVCenter);
    layout->addStretch(1);
    value->setParent(row);
    layout->addWidget(value, 0, Qt::AlignRight | Qt::AlignVCenter);
    addRow(row);
    return row;
}

void FormSection::truncateRows(int keep)
{
    while (int(m_rowWidgets.size()) > keep) {
        auto [row, line] = m_rowWidgets.back();
        m_rowWidgets.pop_back();
        delete row;
        delete line;
    }
}

} // namespace nbd
