#pragma once

#include <QWidget>

#include <functional>

class QVBoxLayout;

namespace nbd {

class LinkButton;

// A column of rows made a page at a time: the first page at once, then a "显示更多" control under
// them that adds the next page at each press. However many rows the host sends, the column
// costs one page of widgets and layout until the user asks for more, and rows never shown are
// never made. Rows are made by `make` from their index, so the rows' data stays where it is.
class PagedColumn : public QWidget
{
    Q_OBJECT
public:
    using MakeRow = std::function<QWidget *(qsizetype index, QWidget *parent)>;

    PagedColumn(qsizetype count, qsizetype pageSize, MakeRow make, QWidget *parent = nullptr);

    // The layout the rows are added to (the control stays under them): spacing, margins.
    QVBoxLayout *rows() const { return m_rows; }
    // Rows are added left-aligned at their size hint's width rather than stretched.
    void setRowAlignment(Qt::Alignment alignment) { m_alignment = alignment; }
    qsizetype count() const { return m_count; }
    qsizetype shown() const { return m_shown; }
    // Adds the next page (the first one when nothing is shown yet).
    void showMore();

    // The control's text: how many entries are not shown yet.
    static QString moreText(qsizetype remaining);

Q_SIGNALS:
    void rowsAdded(qsizetype from, qsizetype to);

private:
    void refreshControl();

    qsizetype m_count;
    qsizetype m_pageSize;
    qsizetype m_shown = 0;
    MakeRow m_make;
    Qt::Alignment m_alignment;
    QVBoxLayout *m_rows;
    LinkButton *m_more;
};

} // namespace nbd
