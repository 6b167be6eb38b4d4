#include "UI/Conversation/NoticeRow.h"

#include "Domain/Graphemes.h"
#include "UI/Conversation/RowHeaderButton.h"
#include "UI/Conversation/TextLabels.h"
#include "UI/Shared/ElidedLabel.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/Theme.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

QColor faded(QColor color, qreal factor)
{
    color.setAlphaF(color.alphaF() * factor);
    return color;
}

class DividerLine : public QWidget
{
public:
    explicit DividerLine(QWidget *parent = nullptr) : QWidget(parent) { setFixedHeight(1); }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), Theme::hairline());
    }
};

} // namespace

bool NoticeRow::isToolOutputNotice(const NoticeItem &notice) { return notice.id.startsWith(u"orphan-tool-results-"); }

QColor NoticeRow::tintColor(NoticeTint tint)
{
    switch (tint) {
    case NoticeTint::neutral:
        return Theme::secondaryText();
    case NoticeTint::info:
        return Theme::isDark() ? QColor(10, 132, 255) : QColor(0, 122, 255);
    case NoticeTint::warning:
        return Theme::isDark() ? QColor(255, 159, 10) : QColor(255, 149, 0);
    case NoticeTint::danger:
        return Theme::systemRed();
    }
    return Theme::secondaryText();
}

QString NoticeRow::sizeLabel(const QString &payload, int previewLimit)
{
    const qsizetype total = Graphemes::count(payload);
    const qsizetype shown = std::min<qsizetype>(total, previewLimit);
    return Graphemes::formattedCount(shown) + u" / "_s + Graphemes::formattedCount(total) + u" 字符"_s;
}

NoticeRow::NoticeRow(const NoticeItem &notice, bool expanded, int payloadPreviewLimit, QWidget *parent)
    : QWidget(parent)
    , m_notice(notice)
    , m_previewLimit(payloadPreviewLimit)
    , m_column(new QVBoxLayout(this))
    , m_header(new RowHeaderButton(this))
    , m_icon(new IconView(notice.icon, 10))
    , m_title(TextLabels::make(QString(), Fonts::system(10, QFont::Medium), QColor(), TextLabels::Wrap))
    , m_detail(new ElidedLabel)
    , m_chevron(new ChevronView(8, 160))
    , m_payload(new QWidget(this))
    , m_size(TextLabels::make(QString(), Fonts::system(9), QColor(), TextLabels::NoOption))
    , m_copy(new SymbolButton(u"doc.on.doc"_s, u"复制完整工具输出"_s, QSize(24, 22), 11))
    , m_scroll(new QScrollArea)
    , m_preview(TextLabels::make(QString(), TextLabels::monospace(10), QColor(), TextLabels::Selectable))
{
    setObjectName(u"notice-row"_s);
    m_header->setObjectName(u"notice-header"_s);
    m_header->setMinimumHeight(32);
    m_header->row()->setSpacing(7);
    m_icon->setFixedWidth(13);
    m_header->addPassive(m_icon);
    m_title->setObjectName(u"notice-title"_s);
    m_header->addPassive(m_title, 0);
    m_detail->setFont(Fonts::system(9));
    m_detail->setObjectName(u"notice-detail"_s);
    m_detail->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    m_header->addPassive(m_detail, 1);
    m_header->row()->addSpacing(8);
    m_header->addPassive(m_chevron);
    m_column->setSpacing(0);
    m_column->addWidget(m_header);

    m_payload->setObjectName(u"notice-payload"_s);
    auto *payloadColumn = new QVBoxLayout(m_payload);
    payloadColumn->setContentsMargins(0, 0, 0, 0);
    payloadColumn->setSpacing(0);
    payloadColumn->addWidget(new DividerLine);
    auto *inner = new QVBoxLayout;
    inner->setContentsMargins(20, 8, 0, 8);
    inner->setSpacing(7);
    auto *sizeRow = new QHBoxLayout;
    m_size->setObjectName(u"notice-payload-size"_s);
    sizeRow->addWidget(m_size);
    sizeRow->addStretch(1);
    m_copy->setObjectName(u"notice-copy"_s);
    sizeRow->addWidget(m_copy);
    inner->addLayout(sizeRow);
    m_scroll->setObjectName(u"notice-payload-scroll"_s);
    m_scroll->setAccessibleName(u"完整输出预览"_s);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setWidgetResizable(true);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_scroll->viewport()->setAutoFillBackground(false);
    m_preview->setObjectName(u"notice-payload-preview"_s);
    m_preview->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_scroll->setWidget(m_preview);
    m_preview->setAutoFillBackground(false);
    inner->addWidget(m_scroll);
    payloadColumn->addLayout(inner);
    m_column->addWidget(m_payload);

    connect(m_header, &QAbstractButton::clicked, this, [this] {
        if (m_notice.payload)
            setExpanded(!m_expanded, true);
    });
    connect(m_copy, &QAbstractButton::clicked, this, [this] {
        if (!m_notice.payload)
            return;
        QClipboard *clipboard = QGuiApplication::clipboard();
        clipboard->clear();
        clipboard->setText(*m_notice.payload);
    });
    m_expanded = expanded && notice.payload.has_value();
    m_chevron->setOpen(m_expanded, false);
    refresh();
}

void NoticeRow::setNotice(const NoticeItem &notice)
{
    if (notice == m_notice)
        return;
    const bool payloadChanged = notice.payload != m_notice.payload;
    m_notice = notice;
    if (!m_notice.payload && m_expanded) {
        m_expanded = false;
        m_chevron->setOpen(false, false);
    }
    if (payloadChanged)
        m_preview->clear();
    refresh();
}

void NoticeRow::setExpanded(bool expanded, bool animated)
{
    if (!m_notice.payload)
        expanded = false;
    if (expanded == m_expanded)
        return;
    m_expanded = expanded;
    m_chevron->setOpen(expanded, animated);
    refresh();
    Q_EMIT expandedChanged(expanded);
}

void NoticeRow::refresh()
{
    const QColor tint = tintColor(m_notice.tint);
    const bool toolOutput = isToolOutputNotice(m_notice);
    m_column->setContentsMargins(toolOutput ? 2 : 12, 0, toolOutput ? 2 : 12, 0);
    m_icon->setSymbolName(m_notice.icon);
    m_icon->setTint(tint);
    m_title->setText(m_notice.text);
    TextLabels::setColor(m_title, tint);
    m_detail->setText(m_notice.detail.value_or(QString()));
    m_detail->setColor(faded(tint, 0.6));
    m_detail->setVisible(m_notice.detail.has_value());
    m_chevron->setVisible(m_notice.payload.has_value());
    m_chevron->setTint(faded(tint, 0.45));
    QString name = m_notice.text;
    if (m_notice.detail)
        name += u"，"_s + *m_notice.detail;
    m_header->setAccessibleName(name);
    m_header->setAccessibleDescription(m_notice.payload ? (m_expanded ? u"已展开"_s : u"已收起"_s) : QString());
    m_header->setDisclosure(m_notice.payload.has_value(), m_expanded);
    m_payload->setVisible(m_expanded);
    if (m_expanded)
        refreshPayload();
    else if (!m_preview->text().isEmpty()) {
        // Laid out again from the notice when it opens.
        m_preview->clear();
        m_size->clear();
    }
    updateGeometry();
    update();
}

void NoticeRow::refreshPayload()
{
    const QColor tint = tintColor(m_notice.tint);
    const QString payload = m_notice.payload.value_or(QString());
    m_size->setText(sizeLabel(payload, m_previewLimit));
    TextLabels::setColor(m_size, faded(tint, 0.6));
    m_copy->setTint(tint);
    const QString shown = Graphemes::prefix(payload, m_previewLimit);
    if (m_preview->text() != shown)
        m_preview->setText(shown);
    TextLabels::setColor(m_preview, tint);
    const int contentHeight = m_preview->sizeHint().height() + m_scroll->horizontalScrollBar()->sizeHint().height();
    m_scroll->setFixedHeight(std::clamp(contentHeight, 16, kPreviewMaxHeight));
}

int NoticeRow::heightForWidth(int width) const
{
    return m_column->hasHeightForWidth() ? m_column->totalHeightForWidth(width) : m_column->totalSizeHint().height();
}

QSize NoticeRow::sizeHint() const { return m_column->totalSizeHint(); }

void NoticeRow::paintEvent(QPaintEvent *)
{
    if (isToolOutputNotice(m_notice))
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor tint = tintColor(m_notice.tint);
    painter.setPen(QPen(faded(tint, 0.20), 1));
    painter.setBrush(faded(tint, 0.07));
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 7, 7);
}

} // namespace nbd
