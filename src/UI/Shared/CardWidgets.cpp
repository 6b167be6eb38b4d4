#include "UI/Shared/CardWidgets.h"

#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/ElidedLabel.h"

#include "UI/Shared/LongTextView.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/LinkOpener.h"
#include "UI/Shared/PlainToolTip.h"
#include "UI/Shared/Theme.h"

#include <QPainter>
#include <QLayout>
#include <QPointer>

#include <utility>
#include <QPainterPath>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

int heightForWidthOf(const QWidget *widget, int width)
{
    if (!widget)
        return 0;
    if (widget->hasHeightForWidth()) {
        const int h = widget->heightForWidth(width);
        if (h >= 0)
            return h;
    }
    if (QLayout *layout = widget->layout()) {
        if (layout->hasHeightForWidth())
            return layout->totalHeightForWidth(width);
        return layout->totalSizeHint().height();
    }
    return widget->sizeHint().height();
}

// ---- AutoHeightTextView ----

AutoHeightTextView::AutoHeightTextView(QWidget *parent) : QTextBrowser(parent)
{
    setOpenLinks(false);
    setOpenExternalLinks(false);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard | Qt::LinksAccessibleByMouse
                            | Qt::LinksAccessibleByKeyboard);
    setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    setLineWrapMode(QTextEdit::FixedPixelWidth);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    QSizePolicy policy = sizePolicy();
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    viewport()->setAutoFillBackground(false);
    setAutoFillBackground(false);
    document()->setDocumentMargin(0);
    setContextMenuPolicy(Qt::DefaultContextMenu);
    connect(this, &QTextBrowser::anchorClicked, this, [this](const QUrl &url) { LinkOpener::open(this, url); });
    watchDocument();
}

void AutoHeightTextView::watchDocument()
{
    connect(document(), &QTextDocument::contentsChanged, this, [this] { m_measuredWidth = -1; });
}

int AutoHeightTextView::heightForWidth(int width) const
{
    if (width == m_measuredWidth)
        return m_measuredHeight;
    const_cast<AutoHeightTextView *>(this)->layOutAt(std::max(1, width));
    m_measuredWidth = width;
    m_measuredHeight = int(std::ceil(document()->size().height()));
    return m_measuredHeight;
}

void AutoHeightTextView::layOutAt(int width)
{
    if (width <= 0)
        return;
    if (width != m_wrapWidth) {
        m_wrapWidth = width;
        setLineWrapColumnOrWidth(width);
    }
    if (m_pendingWrite) {
        const auto write = std::exchange(m_pendingWrite, nullptr);
        QTextDocument *own = document();
        own->clear();
        // One edit: the document is laid out when it ends, not after every insert.
        QTextCursor edit(own);
        edit.beginEditBlock();
        write(own);
        edit.endEditBlock();
        return;
    }
    if (!m_pending)
        return;
    // The editor deletes a document that its text control owns; one of ours is deleted here.
    const QPointer<QTextDocument> old = document();
    QTextDocument *next = std::exchange(m_pending, nullptr);
    setDocument(next);
    if (old && old != next && old->parent() == this)
        old->deleteLater();
    watchDocument();
}

bool AutoHeightTextView::viewportEvent(QEvent *event)
{
    switch (event->type()) {
    case QEvent::Paint:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
        layOutAt(viewport()->width());
        break;
    default:
        break;
    }
    return QTextBrowser::viewportEvent(event);
}

void AutoHeightTextView::showWritten(std::function<void(QTextDocument *)> write)
{
    delete m_pending;
    m_pending = nullptr;
    m_pendingWrite = std::move(write);
    documentChanged();
    if (isVisible() && viewport()->width() > 0)
        layOutAt(viewport()->width());
}

void AutoHeightTextView::showDocument(QTextDocument *document)
{
    m_pendingWrite = nullptr;
    delete m_pending;
    document->setParent(this);
    document->setDocumentMargin(0);
    m_pending = document;
    documentChanged();
    if (isVisible() && viewport()->width() > 0)
        layOutAt(viewport()->width());
}

QSize AutoHeightTextView::sizeHint() const
{
    // Layouts ask for the hint before they know the width; laying the text out at a width
    // that is about to change would be wasted. The height for the real width comes from
    // heightForWidth.
    const int width = m_wrapWidth > 0 ? m_wrapWidth : 400;
    if (m_measuredWidth >= 0)
        return {m_measuredWidth, m_measuredHeight};
    return {width, fontMetrics().lineSpacing()};
}

QSize AutoHeightTextView::minimumSizeHint() const
{
    return {20, 0};
}

void AutoHeightTextView::setPlain(const QString &text, const QFont &font, std::optional<QColor> color)
{
    m_plainColor = color;
    setFont(font);
    auto *written = new QTextDocument;
    written->setDefaultFont(font);
    written->setPlainText(text);
    QPalette p = palette();
    p.setColor(QPalette::Text, color.value_or(Theme::primaryText()));
    setPalette(p);
    setAccessibleName(text.left(200));
    showDocument(written);
}

void AutoHeightTextView::documentChanged()
{
    m_lastHeight = -1;
    m_measuredWidth = -1;
    updateGeometry();
}

void AutoHeightTextView::resizeEvent(QResizeEvent *event)
{
    layOutAt(viewport()->width());
    QTextBrowser::resizeEvent(event);
    const int h = heightForWidth(width());
    if (h != m_lastHeight) {
        m_lastHeight = h;
        updateGeometry();
    }
}

void AutoHeightTextView::changeEvent(QEvent *event)
{
    QTextBrowser::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        m_measuredWidth = -1;
    if (event->type() == QEvent::ApplicationPaletteChange) {
        QPalette p = palette();
        p.setColor(QPalette::Text, m_plainColor.value_or(Theme::primaryText()));
        setPalette(p);
    }
}

QWidget *makePlainTextView(const QString &text, const QFont &font, std::optional<QColor> color, QWidget *parent)
{
    if (LongTextView::isLong(text))
        return new LongTextView(text, font, color, parent);
    auto *view = new AutoHeightTextView(parent);
    view->setPlain(text, font, color);
    return view;
}

// ---- LinkButton ----

namespace {
constexpr int kSymbolGap = 5;
}

LinkButton::LinkButton(const QString &text, const QFont &font, const QString &symbolName, QWidget *parent)
    : QAbstractButton(parent), m_symbol(symbolName)
{
    // The button shows one line: the rest of a longer text is never measured.
    const QString shown = rowText(text);
    setText(shown);
    setFont(font);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    setToolTip(textToolTip(u"在侧栏打开"_s));
    setAccessibleName(shown.isEmpty() ? u"在侧栏打开"_s : shown);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

QSize LinkButton::sizeHint() const
{
    const QFontMetrics fm(font());
    int width = fm.horizontalAdvance(text()) + 2;
    if (!m_symbol.isEmpty())
        width += fm.height() + kSymbolGap;
    return {width, fm.height() + 2};
}

QSize LinkButton::minimumSizeHint() const
{
    const QFontMetrics fm(font());
    return {m_symbol.isEmpty() ? 20 : fm.height() + kSymbolGap + 20, fm.height() + 2};
}

void LinkButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QFontMetrics fm(font());
    const QColor color = m_color ? m_color() : Theme::primaryText();
    const QColor shown = m_hovered || isDown() ? Theme::brand() : color;
    int x = 0;
    if (!m_symbol.isEmpty()) {
        const int s = fm.height() - 2;
        Icons::paint(&painter, QRectF(0, (height() - s) / 2.0, s, s), m_symbol, m_symbolTint.value_or(shown));
        x = fm.height() + kSymbolGap;
    }
    painter.setFont(font());
    painter.setPen(shown);
    const QRect textRect(x, 0, width() - x, height());
    painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter, fm.elidedText(text(), Qt::ElideRight, textRect.width()));
    if (hasFocus()) {
        painter.setPen(QPen(Theme::brand(), 1));
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);
    }
}

void LinkButton::enterEvent(QEnterEvent *event)
{
    m_hovered = true;
    update();
    QAbstractButton::enterEvent(event);
}

void LinkButton::leaveEvent(QEvent *event)
{
    m_hovered = false;
    update();
    QAbstractButton::leaveEvent(event);
}

// ---- RoundedBox ----

RoundedBox::RoundedBox(qreal radius, std::function<QColor()> fill, std::function<QColor()> stroke, QWidget *parent)
    : QWidget(parent), m_radius(radius), m_fill(std::move(fill)), m_stroke(std::move(stroke))
{
}

void RoundedBox::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    if (m_fill)
        painter.setBrush(m_fill());
    else
        painter.setBrush(Qt::NoBrush);
    painter.setPen(m_stroke ? QPen(m_stroke(), 1) : QPen(Qt::NoPen));
    painter.drawRoundedRect(r, m_radius, m_radius);
}

QString textToolTip(const QString &text)
{
    return Qt::mightBeRichText(text) ? plainToolTip(text) : text;
}

// ---- clampedLines ----


QStringList clampedLines(const QString &text, const QFont &font, int width, int maxLines)
{
    QStringList out;
    if (width <= 0)
        return out;
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    const QFontMetrics fm(font);
    while (out.size() < maxLines) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(width);
        const bool last = out.size() + 1 == maxLines;
        const bool more = line.textStart() + line.textLength() < text.size();
        if (last && more)
            out << fm.elidedText(text.mid(line.textStart()).replace(u'\n', u' '), Qt::ElideRight, width);
        else
            out << text.mid(line.textStart(), line.textLength()).trimmed();
    }
    layout.endLayout();
    return out;
}

} // namespace nbd
