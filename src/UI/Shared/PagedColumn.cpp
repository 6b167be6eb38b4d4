#include "UI/Shared/PagedColumn.h"

#include "UI/Shared/CardWidgets.h"
#include "UI/Shared/Theme.h"

#include <QVBoxLayout>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

PagedColumn::PagedColumn(qsizetype count, qsizetype pageSize, MakeRow make, QWidget *parent)
    : QWidget(parent)
    , m_count(std::max<qsizetype>(0, count))
    , m_pageSize(std::max<qsizetype>(1, pageSize))
    , m_make(std::move(make))
    , m_rows(new QVBoxLayout)
    , m_more(new LinkButton(QString(), Fonts::system(11), u"chevron.down"_s, this))
{
    m_more->setObjectName(u"show-more"_s);
    m_more->setTextColor([] { return Theme::brand(); });
    m_more->setToolTip(QString());
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(6);
    m_rows->setContentsMargins(0, 0, 0, 0);
    m_rows->setSpacing(0);
    column->addLayout(m_rows);
    column->addWidget(m_more, 0, Qt::AlignLeft);
    connect(m_more, &QAbstractButton::clicked, this, &PagedColumn::showMore);
    // With no rows the column takes no room, not even the spacing around it.
    if (m_count == 0)
        hide();
    showMore();
}

QString PagedColumn::moreText(qsizetype remaining)
{
    return u"显示更多（还有 %1 项）"_s.arg(remaining);
}

void PagedColumn::showMore()
{
    const qsizetype from = m_shown;
    const qsizetype to = std::min(m_count, m_shown + m_pageSize);
    for (qsizetype i = from; i < to; ++i) {
        if (QWidget *row = m_make(i, this)) {
            m_rows->addWidget(row, 0, m_alignment);
            if (isVisible())
                row->show();
        }
    }
    m_shown = to;
    refreshControl();
    if (to > from)
        Q_EMIT rowsAdded(from, to);
}

void PagedColumn::refreshControl()
{
    const QString text = moreText(m_count - m_shown);
    m_more->setText(text);
    m_more->setAccessibleName(text);
    m_more->setVisible(m_shown < m_count);
    m_more->updateGeometry();
}

} // namespace nbd
