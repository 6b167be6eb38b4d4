#include "UI/Shared/MarkdownCodeBlock.h"

#include "Domain/ToolPresentationModel.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/LineBox.h"
#include "UI/Shared/Theme.h"

#include <QAbstractButton>
#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QTimer>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

class CopyButton : public QAbstractButton
{
public:
    explicit CopyButton(QWidget *parent) : QAbstractButton(parent)
    {
        setCursor(Qt::PointingHandCursor);
        // Repainted as the pointer comes and goes: the face follows underMouse().
        setAttribute(Qt::WA_Hover);
        setFocusPolicy(Qt::StrongFocus);
        setFont(Fonts::system(10));
        setCopied(false);
    }

    void setCopied(bool copied)
    {
        m_copied = copied;
        setText(copied ? u"已复制"_s : u"复制"_s);
        setAccessibleName(text());
        updateGeometry();
        update();
    }

    QSize sizeHint() const override
    {
        const QFontMetrics fm(font());
        return {12 + 4 + fm.horizontalAdvance(text()) + 4, std::max(16, fm.height() + 2)};
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QColor color = m_copied ? QColor(52, 199, 89) : (underMouse() ? Theme::primaryText() : Theme::secondaryText());
        const qreal top = (height() - 11) / 2.0;
        Icons::paint(&painter, QRectF(2, top, 11, 11), m_copied ? u"checkmark"_s : u"doc.on.doc"_s, color);
        painter.setPen(color);
        painter.setFont(font());
        painter.drawText(QRect(17, 0, width() - 17, height()), Qt::AlignLeft | Qt::AlignVCenter, text());
        if (hasFocus()) {
            painter.setPen(QPen(Theme::brand(), 1));
            painter.setBrush(Qt::NoBrush);
            painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);
        }
    }

private:
    bool m_copied = false;
};

class Divider : public QWidget
{
public:
    explicit Divider(QWidget *parent) : QWidget(parent) { setFixedHeight(1); }

protected:
    void paintEvent(QPaintEvent *) override { QPainter(this).fillRect(rect(), Theme::strongHairline()); }
};

} // namespace

MarkdownCodeBlock::MarkdownCodeBlock(const QString &code, const std::optional<QString> &language, QWidget *parent)
    : MarkdownCodeBlock(code, splitLines(code), language, parent)
{
}

MarkdownCodeBlock::MarkdownCodeBlock(const QString &code, const QStringList &lines, const std::optional<QString> &language,
                                     QWidget *parent)
    : QWidget(parent), m_code(code)
{
    setObjectName(u"markdown-code-block"_s);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(1, 1, 1, 1);
    layout->setSpacing(0);

    auto *header = new QWidget(this);
    auto *h = new QHBoxLayout(header);
    h->setContentsMargins(11, 6, 11, 6);
    h->setSpacing(6);
    auto *icon = new IconView(u"chevron.left.forwardslash.chevron.right"_s, 10, header);
    icon->setTint(Theme::tertiaryText());
    h->addWidget(icon);
    auto *name = new QLabel(language.value_or(u"code"_s), header);
    name->setObjectName(u"markdown-code-language"_s);
    name->setTextFormat(Qt::PlainText);
    name->setFont(Fonts::system(10, QFont::Medium));
    QPalette p = name->palette();
    p.setColor(QPalette::WindowText, Theme::secondaryText());
    name->setPalette(p);
    h->addWidget(name);
    h->addStretch();
    auto *copy = new CopyButton(header);
    copy->setObjectName(u"markdown-code-copy"_s);
    connect(copy, &QAbstractButton::clicked, this, &MarkdownCodeBlock::copy);
    m_copyButton = copy;
    h->addWidget(copy);
    layout->addWidget(header);
    layout->addWidget(new Divider(this));

    auto *text = new LineBox(12, this);
    text->setObjectName(u"markdown-code-text"_s);
    text->setAccessibleName(language.value_or(u"code"_s));
    text->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    text->setPadding(QMargins(12, 12, 12, 12));
    text->setLines(lines);
    text->setHeightBounds(0, std::nullopt);
    layout->addWidget(text);
}

void MarkdownCodeBlock::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor fill = Theme::primaryText();
    fill.setAlphaF(0.045f);
    painter.setBrush(fill);
    painter.setPen(QPen(Theme::strongHairline(), 1));
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 7, 7);
}

void MarkdownCodeBlock::copy()
{
    QGuiApplication::clipboard()->setText(m_code);
    setCopied(true);
    // Each click resets its own label 1.2 s later; a later click does not extend an earlier one.
    QTimer::singleShot(1200, Qt::PreciseTimer, this, [this] { setCopied(false); });
}

void MarkdownCodeBlock::setCopied(bool copied)
{
    m_copied = copied;
    static_cast<CopyButton *>(m_copyButton)->setCopied(copied);
}

} // namespace nbd
