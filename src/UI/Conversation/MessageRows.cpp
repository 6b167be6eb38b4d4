#include "UI/Conversation/MessageRows.h"

#include "Store/SessionActions.h"
#include "UI/Conversation/BlockView.h"
#include "UI/Conversation/TextLabels.h"
#include "UI/Shared/BlinkingCursor.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/PlainToolTip.h"
#include "UI/Shared/Spinner.h"
#include "UI/Shared/Theme.h"

#include <QCoroTask>
#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

constexpr int kUserSpacer = 100;
constexpr int kDefaultSpacing = 8;

// The widest line of the text, unwrapped.
int naturalWidth(const QFontMetrics &fm, const QString &text)
{
    int widest = 0;
    for (QStringView line : QStringView(text).split(u'\n'))
        widest = std::max(widest, fm.horizontalAdvance(line.toString()));
    return widest + 2;
}

} // namespace

// ---- BubbleLabel ----

BubbleLabel::BubbleLabel(const QFont &font, QMargins padding, qreal radius, int maxWidth, QWidget *parent)
    : QWidget(parent)
    , m_label(TextLabels::make(QString(), font, Theme::primaryText(), TextLabels::Wrap | TextLabels::Selectable, this))
    , m_padding(padding)
    , m_radius(radius)
    , m_maxWidth(maxWidth)
    , m_fill(Theme::bubble())
{
}

void BubbleLabel::setText(const QString &text)
{
    if (m_label->text() == text)
        return;
    m_label->setText(text);
    updateGeometry();
}

QString BubbleLabel::text() const { return m_label->text(); }

void BubbleLabel::setFill(const QColor &fill)
{
    m_fill = fill;
    update();
}

QSize BubbleLabel::sizeHint() const
{
    const int inner = naturalWidth(m_label->fontMetrics(), m_label->text());
    int w = inner + m_padding.left() + m_padding.right();
    if (m_maxWidth > 0)
        w = std::min(w, m_maxWidth);
    return {w, heightForWidth(w)};
}

int BubbleLabel::heightForWidth(int width) const
{
    if (m_maxWidth > 0)
        width = std::min(width, m_maxWidth);
    const int inner = std::max(1, width - m_padding.left() - m_padding.right());
    return m_label->heightForWidth(inner) + m_padding.top() + m_padding.bottom();
}

void BubbleLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(m_fill);
    painter.drawRoundedRect(QRectF(rect()), std::min(m_radius, height() / 2.0), std::min(m_radius, height() / 2.0));
}

void BubbleLabel::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_label->setGeometry(rect().marginsRemoved(m_padding));
}

// ---- AttachmentImageView ----

namespace {
constexpr int kThumbMaxWidth = 240;
constexpr int kThumbMaxHeight = 220;

} // namespace

AttachmentImageView::AttachmentImageView(SessionActions *sessionActions, const QString &sessionId,
                                         const ImageAttachmentRef &ref, QWidget *parent)
    : QWidget(parent)
    , m_sessionActions(sessionActions)
    , m_sessionId(sessionId)
    , m_ref(ref)
    , m_spinner(new Spinner(14, this))
{
    setObjectName(u"attachment-image"_s);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    const QString help = helpText(ref);
    setToolTip(plainToolTip(help));
    setAccessibleName(help);
    setAccessibleDescription(help);
    resize(sizeHint());
    m_spinner->move((width() - m_spinner->sizeHint().width()) / 2, (height() - m_spinner->sizeHint().height()) / 2);
    load();
}

AttachmentImageView::~AttachmentImageView() { m_alive.reset(); }

QSize AttachmentImageView::placeholderSize(const ImageAttachmentRef &ref)
{
    return {int(std::clamp<qint64>(ref.width, 120, 220)), int(std::clamp<qint64>(ref.height, 80, 160))};
}

QString AttachmentImageView::helpText(const ImageAttachmentRef &ref)
{
    if (ref.name)
        return *ref.name;
    return QString::number(ref.width) + u"×"_s + QString::number(ref.height) + u' ' + ref.mediaType;
}

QSize AttachmentImageView::sizeHint() const
{
    if (m_image.isNull())
        return placeholderSize(m_ref).boundedTo(QSize(kThumbMaxWidth, kThumbMaxHeight));
    QSize size = m_image.size();
    size.scale(QSize(kThumbMaxWidth, kThumbMaxHeight), Qt::KeepAspectRatio);
    return size.expandedTo(QSize(1, 1));
}

namespace {

QCoro::Task<void> loadAttachment(QPointer<SessionActions> sessionActions, std::weak_ptr<const bool> alive,
                                 QPointer<AttachmentImageView> view, QString sessionId, QString attachmentId,
                                 std::function<void(QImage)> apply)
{
    if (!sessionActions)
        co_return;
    const std::optional<QByteArray> bytes = co_await sessionActions->imageData(sessionId, attachmentId);
    // The row may have scrolled away or the session changed meanwhile.
    if (alive.expired() || !view || !bytes)
        co_return;
    QImage image;
    if (!image.loadFromData(*bytes) || image.isNull())
        co_return;
    apply(std::move(image));
}

} // namespace

void AttachmentImageView::load()
{
    if (!m_image.isNull() || !m_sessionActions)
        return;
    QPointer<AttachmentImageView> self(this);
    loadAttachment(m_sessionActions, m_alive, self, m_sessionId, m_ref.attachmentId, [self](QImage image) {
        if (!self)
            return;
        self->m_image = std::move(image);
        self->m_spinner->hide();
        self->resize(self->sizeHint());
        self->updateGeometry();
        self->update();
        Q_EMIT self->imageLoaded();
    });
}

void AttachmentImageView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath clip;
    clip.addRoundedRect(QRectF(rect()), 10, 10);
    if (m_image.isNull()) {
        QColor fill = Theme::primaryText();
        fill.setAlphaF(0.05);
        painter.fillPath(clip, fill);
    } else {
        painter.save();
        painter.setClipPath(clip);
        painter.drawImage(QRectF(rect()), m_image);
        painter.restore();
    }
    painter.setPen(QPen(Theme::hairline(), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(box, 10, 10);
}

// ---- UserBubble ----

UserBubble::UserBubble(SessionActions *sessionActions, const QString &sessionId, const UserMessageItem &message,
                       QWidget *parent)
    : QWidget(parent)
    , m_sessionActions(sessionActions)
    , m_sessionId(sessionId)
    , m_message(message)
    , m_row(nullptr)
    , m_images(new QWidget(this))
    , m_imageRow(new QHBoxLayout(m_images))
    , m_bubble(new BubbleLabel(Fonts::system(16), QMargins(16, 10, 16, 10), 22, 525, this))
{
    setObjectName(u"user-bubble"_s);
    m_imageRow->setContentsMargins(0, 0, 0, 0);
    m_imageRow->setSpacing(8);
    m_bubble->setObjectName(u"user-bubble-text"_s);
    m_bubble->label()->setObjectName(u"user-message-text"_s);
    m_bubble->setText(message.text);
    m_bubble->setVisible(!message.text.isEmpty());
    rebuildImages();
}

void UserBubble::setMessage(const QString &sessionId, const UserMessageItem &message)
{
    if (sessionId == m_sessionId && message == m_message)
        return;
    const bool imagesChanged = sessionId != m_sessionId || message.images != m_message.images;
    m_sessionId = sessionId;
    m_message = message;
    m_bubble->setText(message.text);
    m_bubble->setVisible(!message.text.isEmpty());
    if (imagesChanged)
        rebuildImages();
    updateGeometry();
    Q_EMIT heightMayHaveChanged();
}

QList<AttachmentImageView *> UserBubble::attachments() const
{
    return m_images->findChildren<AttachmentImageView *>(Qt::FindDirectChildrenOnly);
}

void UserBubble::rebuildImages()
{
    for (AttachmentImageView *old : attachments()) {
        old->hide();
        old->deleteLater();
    }
    for (const ImageAttachmentRef &ref : m_message.images) {
        auto *view = new AttachmentImageView(m_sessionActions, m_sessionId, ref, m_images);
        connect(view, &AttachmentImageView::imageLoaded, this, [this] {
            updateGeometry();
            resizeEvent(nullptr);
            Q_EMIT heightMayHaveChanged();
        });
        m_imageRow->addWidget(view, 0, Qt::AlignVCenter);
    }
    m_images->setVisible(!m_message.images.empty());
}

int UserBubble::heightForWidth(int width) const
{
    const int column = std::max(1, width - kUserSpacer - kDefaultSpacing);
    int h = 0;
    if (!m_message.images.empty())
        h += m_imageRow->totalSizeHint().height();
    if (!m_message.text.isEmpty()) {
        if (h > 0)
            h += 8;
        const int bubbleWidth = std::min(m_bubble->sizeHint().width(), column);
        h += m_bubble->heightForWidth(bubbleWidth);
    }
    return h;
}

QSize UserBubble::sizeHint() const { return {500, heightForWidth(500 + kUserSpacer + kDefaultSpacing)}; }

// Children are placed by hand: everything hugs the trailing edge.
void UserBubble::resizeEvent(QResizeEvent *)
{
    const int column = std::max(1, width() - kUserSpacer - kDefaultSpacing);
    int y = 0;
    if (!m_message.images.empty()) {
        const QSize images = m_imageRow->totalSizeHint();
        const int w = std::min(images.width(), column);
        m_images->setGeometry(width() - w, 0, w, images.height());
        y += images.height() + 8;
    }
    if (!m_message.text.isEmpty()) {
        const int bubbleWidth = std::min(m_bubble->sizeHint().width(), column);
        m_bubble->setGeometry(width() - bubbleWidth, y, bubbleWidth, m_bubble->heightForWidth(bubbleWidth));
    }
}

// ---- PendingSteeringBubble ----

PendingSteeringBubble::PendingSteeringBubble(const PendingUserMessage &message, QWidget *parent)
    : QWidget(parent)
    , m_row(nullptr)
    , m_bubble(new BubbleLabel(Fonts::callout(), QMargins(14, 10, 14, 10), 16, 0, this))
{
    setObjectName(u"pending-steering-bubble"_s);
    QColor fill = Theme::brand();
    fill.setAlphaF(0.07 * 0.9);
    m_bubble->setFill(fill);
    QColor text = Theme::primaryText();
    text.setAlphaF(text.alphaF() * 0.9);
    TextLabels::setColor(m_bubble->label(), text);
    m_bubble->setText(message.text);
}

void PendingSteeringBubble::setMessage(const PendingUserMessage &message)
{
    m_bubble->setText(message.text);
    updateGeometry();
}

QString PendingSteeringBubble::text() const { return m_bubble->text(); }

int PendingSteeringBubble::heightForWidth(int width) const
{
    const int column = std::max(1, width - kUserSpacer - kDefaultSpacing);
    return m_bubble->heightForWidth(std::min(m_bubble->sizeHint().width(), column));
}

QSize PendingSteeringBubble::sizeHint() const { return m_bubble->sizeHint(); }

void PendingSteeringBubble::resizeEvent(QResizeEvent *)
{
    const int column = std::max(1, width() - kUserSpacer - kDefaultSpacing);
    const int w = std::min(m_bubble->sizeHint().width(), column);
    m_bubble->setGeometry(width() - w, 0, w, m_bubble->heightForWidth(w));
}

// ---- StreamingText ----

namespace {
constexpr int kCursorSpacing = 4;
} // namespace

StreamingText::StreamingText(const QString &text, QWidget *parent)
    : QWidget(parent)
    , m_cursor(new BlinkingCursor(this))
{
    setObjectName(u"streaming-text"_s);
    setText(text);
}

QStringList StreamingText::chunksOf(const QString &text, qsizetype from)
{
    QStringList chunks;
    qsizetype start = from;
    while (text.size() - start > kChunkLength) {
        const qsizetype cut = text.indexOf(u'\n', start + kChunkLength);
        if (cut < 0)
            break;
        chunks << text.mid(start, cut - start);
        start = cut + 1;
    }
    chunks << text.mid(start);
    return chunks;
}

void StreamingText::setText(const QString &text)
{
    if (text == m_text && !m_chunks.empty())
        return;
    // The pieces before the last one are fixed by the text before the last piece's start: while
    // the text only grows there, they stay, and the cutting starts again at the last piece.
    size_t kept = 0;
    qsizetype from = 0;
    if (m_chunks.size() > 1 && text.size() >= m_lastStart
        && QStringView(text).left(m_lastStart) == QStringView(m_text).left(m_lastStart)) {
        kept = m_chunks.size() - 1;
        from = m_lastStart;
    }
    m_text = text;
    const QStringList tail = chunksOf(text, from);
    m_lastStart = from;
    for (qsizetype i = 0; i + 1 < tail.size(); ++i)
        m_lastStart += tail[i].size() + 1;
    const size_t count = kept + size_t(tail.size());
    while (m_chunks.size() > count) {
        m_chunks.back()->hide();
        m_chunks.back()->deleteLater();
        m_chunks.pop_back();
    }
    for (size_t i = kept; i < count; ++i) {
        if (i == m_chunks.size()) {
            auto *piece = new StreamingTextPiece(this);
            piece->setObjectName(u"assistant-text"_s);
            piece->show();
            m_chunks.push_back(piece);
        }
        // Only the piece the new text landed in changes; the others keep their layout.
        m_chunks[i]->setText(tail[qsizetype(i - kept)]);
    }
    updateGeometry();
    // The kept pieces keep their text, width and so their places: only the rest move.
    placePieces(kept);
    // Shown after it was placed: a widget shown before it had a size is first sized to its
    // size hint, which lays its text out at another width.
    m_chunks.front()->setVisible(!text.isEmpty());
}

int StreamingText::heightForWidth(int width) const
{
    int h = m_cursor->sizeHint().height();
    if (!m_text.isEmpty()) {
        for (const StreamingTextPiece *piece : m_chunks)
            h += piece->heightForWidth(width);
        h += kCursorSpacing;
    }
    return h;
}

QSize StreamingText::sizeHint() const { return {400, heightForWidth(400)}; }

void StreamingText::resizeEvent(QResizeEvent *) { placePieces(0); }

void StreamingText::placePieces(size_t from)
{
    from = std::min(from, m_chunks.size());
    // A kept piece sits where it was placed, unless the width changed since.
    if (from > 0 && m_chunks[from - 1]->width() != width())
        from = 0;
    int y = from == 0 ? 0 : m_chunks[from - 1]->geometry().bottom() + 1;
    if (!m_text.isEmpty()) {
        for (size_t i = from; i < m_chunks.size(); ++i) {
            StreamingTextPiece *piece = m_chunks[i];
            const int h = piece->heightForWidth(width());
            piece->setGeometry(0, y, width(), h);
            y += h;
        }
        y += kCursorSpacing;
    }
    const QSize cursor = m_cursor->sizeHint();
    m_cursor->setGeometry(0, y, cursor.width(), cursor.height());
}

// ---- StreamingTextPiece ----

StreamingTextPiece::StreamingTextPiece(QWidget *parent) : QWidget(parent)
{
    setFont(Fonts::system(15));
    TextLabels::setColor(this, Theme::primaryText());
    setCursor(Qt::IBeamCursor);
    // Selectable text is not a control to tab through. Its words reach a screen reader through
    // the row, which reads the whole text.
    setFocusPolicy(Qt::ClickFocus);
    setAccessibleName(u"文本"_s);
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    m_layout.setTextOption(option);
    m_layout.setCacheEnabled(true);
}

void StreamingTextPiece::setText(const QString &text)
{
    if (text == m_text)
        return;
    m_text = text;
    m_anchor = m_position = 0;
    m_laidOutWidth = -1;
    m_layoutTextStale = true;
    updateGeometry();
    update();
}

void StreamingTextPiece::layOut(int width) const
{
    width = std::max(1, width);
    if (width == m_laidOutWidth)
        return;
    // A new width only breaks the lines again: the text keeps its shaping.
    if (m_layoutTextStale) {
        // Line feeds are line breaks of the one paragraph (a layout breaks lines only at the
        // line separator); the positions stay those of the text.
        QString shown = m_text;
        shown.replace(u'\n', QChar::LineSeparator);
        m_layout.setText(shown);
        m_layout.setFont(font());
        m_layoutTextStale = false;
    }
    qreal y = 0;
    m_layout.beginLayout();
    for (QTextLine line = m_layout.createLine(); line.isValid(); line = m_layout.createLine()) {
        line.setLineWidth(width);
        line.setPosition(QPointF(0, y));
        y += line.height();
    }
    m_layout.endLayout();
    m_laidOutWidth = width;
    m_height = m_text.isEmpty() ? 0 : int(std::ceil(y));
}

int StreamingTextPiece::heightForWidth(int width) const
{
    layOut(width);
    return m_height;
}

QSize StreamingTextPiece::sizeHint() const { return {400, heightForWidth(400)}; }

void StreamingTextPiece::paintEvent(QPaintEvent *)
{
    layOut(width());
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    QList<QTextLayout::FormatRange> selections;
    if (m_anchor != m_position) {
        QTextLayout::FormatRange range;
        range.start = std::min(m_anchor, m_position);
        range.length = std::abs(m_position - m_anchor);
        range.format.setBackground(palette().color(QPalette::Highlight));
        range.format.setForeground(palette().color(QPalette::HighlightedText));
        selections << range;
    }
    m_layout.draw(&painter, QPointF(0, 0), selections);
}

int StreamingTextPiece::positionAt(QPointF point) const
{
    layOut(width());
    if (m_layout.lineCount() == 0)
        return 0;
    for (int i = 0; i < m_layout.lineCount(); ++i) {
        const QTextLine line = m_layout.lineAt(i);
        if (point.y() < line.y() + line.height() || i == m_layout.lineCount() - 1)
            return line.xToCursor(point.x());
    }
    return int(m_text.size());
}

void StreamingTextPiece::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(event);
    m_position = positionAt(event->position());
    if (!(event->modifiers() & Qt::ShiftModifier))
        m_anchor = m_position;
    update();
}

void StreamingTextPiece::mouseMoveEvent(QMouseEvent *event)
{
    if (!(event->buttons() & Qt::LeftButton))
        return QWidget::mouseMoveEvent(event);
    m_position = positionAt(event->position());
    update();
}

void StreamingTextPiece::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return QWidget::mouseDoubleClickEvent(event);
    // The word under the pointer.
    const int at = positionAt(event->position());
    m_anchor = m_layout.previousCursorPosition(std::min(int(m_text.size()), at + 1), QTextLayout::SkipWords);
    m_position = m_layout.nextCursorPosition(m_anchor, QTextLayout::SkipWords);
    update();
}

void StreamingTextPiece::keyPressEvent(QKeyEvent *event)
{
    if (event->matches(QKeySequence::Copy)) {
        if (const QString selected = selectedText(); !selected.isEmpty())
            QGuiApplication::clipboard()->setText(selected);
        return;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        m_anchor = 0;
        m_position = int(m_text.size());
        update();
        return;
    }
    QWidget::keyPressEvent(event);
}

void StreamingTextPiece::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        m_laidOutWidth = -1;
        m_layoutTextStale = true;
        updateGeometry();
    }
    if (event->type() == QEvent::ApplicationPaletteChange)
        TextLabels::setColor(this, Theme::primaryText());
}

QString StreamingTextPiece::selectedText() const
{
    const int from = std::clamp(std::min(m_anchor, m_position), 0, int(m_text.size()));
    const int to = std::clamp(std::max(m_anchor, m_position), 0, int(m_text.size()));
    return m_text.mid(from, to - from);
}

} // namespace nbd
