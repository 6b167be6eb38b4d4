#include "UI/Tools/ToolChrome.h"

#include "UI/Shared/Icons.h"
#include "UI/Shared/Theme.h"

#include <QFontDatabase>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

namespace nbd {

ThemeRule::ThemeRule(QColor (*color)(), QWidget *parent)
    : QWidget(parent)
    , m_color(color)
{
    setFixedHeight(1);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void ThemeRule::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), m_color());
}

void CanvasWidget::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Theme::canvas());
}

ContentUnavailableView::ContentUnavailableView(const QString &title, const QString &symbol, const QString &description,
                                               QWidget *parent)
    : QWidget(parent)
    , m_title(new QLabel(title, this))
    , m_description(new QLabel(description, this))
    , m_icon(new IconView(symbol, 30, this))
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setSpacing(8);
    layout->addStretch(1);
    layout->addWidget(m_icon, 0, Qt::AlignHCenter);
    for (QLabel *label : {m_title, m_description}) {
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(Qt::AlignHCenter);
        label->setWordWrap(true);
        layout->addWidget(label);
    }
    m_title->setFont(Fonts::system(15, QFont::DemiBold));
    m_description->setFont(Fonts::callout());
    m_description->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QPalette palette = m_description->palette();
    palette.setColor(QPalette::WindowText, Theme::secondaryText());
    m_description->setPalette(palette);
    layout->addStretch(1);
}

void ContentUnavailableView::setDescription(const QString &description) { m_description->setText(description); }
QString ContentUnavailableView::title() const { return m_title->text(); }
QString ContentUnavailableView::description() const { return m_description->text(); }

QFont monospaceFont(int pixelSize, int weight)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setStyleHint(QFont::Monospace);
    font.setPixelSize(pixelSize);
    font.setWeight(QFont::Weight(weight));
    return font;
}

} // namespace nbd
