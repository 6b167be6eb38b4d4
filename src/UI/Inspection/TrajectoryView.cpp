#include "UI/Inspection/TrajectoryView.h"

#include "Session/SessionModel.h"
#include "UI/Inspection/TrajectoryLedgerModel.h"
#include "UI/Inspection/TrajectoryRowDelegate.h"
#include "UI/Inspection/TrajectoryTimelineOverview.h"
#include "UI/Shared/Accessibility.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/Motion.h"
#include "UI/Shared/Spinner.h"
#include "UI/Shared/Theme.h"

#include <QAbstractButton>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStackedLayout>
#include <QVBoxLayout>
#include <QVariantAnimation>

#include <utility>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

// A pill of the trajectory toolbar: symbol and title, filled while on.
class LedgerToggle : public QAbstractButton
{
public:
    LedgerToggle(const QString &symbol, const QString &title, QWidget *parent)
        : QAbstractButton(parent)
        , m_symbol(symbol)
    {
        setText(title);
        setAccessibleName(title);
        setCheckable(true);
        setFont(Fonts::system(12));
        setCursor(Qt::PointingHandCursor);
        setFocusPolicy(Qt::TabFocus);
        setProperty("symbolName", symbol);
    }
    // Whether the toggle shows as on, as the view's state says.
    void setActive(bool active)
    {
        const QSignalBlocker quiet(this);
        setChecked(active);
        update();
    }
    QSize sizeHint() const override
    {
        return {7 + 10 + 4 + QFontMetrics(font()).horizontalAdvance(text()) + 7, 20};
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        if (isChecked()) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(Theme::hover());
            painter.drawRoundedRect(QRectF(rect()), 3, 3);
        }
        const QColor fg = isChecked() ? Theme::primaryText() : Theme::secondaryText();
        Icons::paint(&painter, QRectF(7, (height() - 10) / 2.0, 10, 10), m_symbol, fg);
        painter.setPen(fg);
        painter.setFont(font());
        painter.drawText(rect().adjusted(7 + 10 + 4, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, text());
        if (hasFocus()) {
            painter.setBrush(Qt::NoBrush);
            painter.setPen(QPen(Theme::brand(), 1));
            painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);
        }
    }

private:
    QString m_symbol;
};

namespace {

// A bar painted in one colour with a line along its bottom edge.
class Band : public QWidget
{
public:
    Band(QColor (*fill)(), QColor (*line)(), QWidget *parent)
        : QWidget(parent)
        , m_fill(fill)
        , m_line(line)
    {
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), m_fill());
        painter.fillRect(QRect(0, height() - 1, width(), 1), m_line());
    }

private:
    QColor (*m_fill)();
    QColor (*m_line)();
};

// The two-column header over the ledger, on the rows' grid.
class TableHeader : public QWidget
{
public:
    explicit TableHeader(QWidget *parent)
        : QWidget(parent)
    {
        setObjectName(u"trajectory-table-header"_s);
        setFixedHeight(TrajectoryRowDelegate::kRowHeight);
        setAccessibleName(u"事件 内容"_s);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), Theme::tableHeader());
        const int column = TrajectoryRowDelegate::kEventColumn;
        painter.fillRect(QRect(column, 0, 1, height()), Theme::hairline());
        painter.setFont(Fonts::system(12, QFont::Medium));
        painter.setPen(Theme::tertiaryText());
        painter.drawText(QRect(0, 0, column - 8, height()), Qt::AlignRight | Qt::AlignVCenter, u"事件"_s);
        painter.drawText(QRect(column + 1 + 8, 0, width() - column - 9, height()), Qt::AlignLeft | Qt::AlignVCenter,
                         u"内容"_s);
        painter.fillRect(QRect(0, height() - 1, width(), 1), Theme::strongHairline());
    }
};

// The search box: a magnifying glass and the field on an inset rounded rectangle.
class SearchBox : public QWidget
{
public:
    explicit SearchBox(QLineEdit *field, QWidget *parent)
        : QWidget(parent)
    {
        setFixedSize(164, 22);
        auto *layout = new QHBoxLayout(this);
        layout->setContentsMargins(6, 0, 6, 0);
        layout->setSpacing(4);
        auto *icon = new IconView(u"magnifyingglass"_s, 10, this);
        icon->setTint(Theme::tertiaryText());
        layout->addWidget(icon);
        layout->addWidget(field, 1);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(Theme::inset());
        painter.setPen(QPen(Theme::strongHairline(), 1));
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 4, 4);
    }
};

// The bar under the loading row.
class LoadingRow : public QWidget
{
public:
    explicit LoadingRow(QWidget *parent)
        : QWidget(parent)
    {
        setObjectName(u"trajectory-loading"_s);
        setFixedHeight(TrajectoryRowDelegate::kRowHeight);
        auto *layout = new QHBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 1);
        layout->setSpacing(6);
        layout->addStretch(1);
        auto *spinner = new Spinner(12, this);
        spinner->setAccessibleName(u"进行中"_s);
        layout->addWidget(spinner);
        auto *text = new QLabel(u"加载历史事件…"_s, this);
        text->setFont(Fonts::system(12));
        text->setTextFormat(Qt::PlainText);
        QPalette p = text->palette();
        p.setColor(QPalette::WindowText, Theme::secondaryText());
        text->setPalette(p);
        layout->addWidget(text);
        layout->addStretch(1);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.fillRect(QRect(0, height() - 1, width(), 1), Theme::hairline());
    }
};

void setTextColor(QWidget *widget, const QColor &color)
{
    QPalette p = widget->palette();
    p.setColor(QPalette::WindowText, color);
    p.setColor(QPalette::Text, color);
    widget->setPalette(p);
}

} // namespace

// ---- TrajectoryLedgerList -----------------------------------------------------------------

TrajectoryLedgerList::TrajectoryLedgerList(QWidget *parent)
    : QListView(parent)
{
    setObjectName(u"trajectory-ledger"_s);
    setAccessibleName(u"轨迹事件"_s);
    setMouseTracking(true);
    setUniformItemSizes(true);
    setFrameShape(QFrame::NoFrame);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setLayoutMode(QListView::Batched);
    setBatchSize(500);
}

void TrajectoryLedgerList::updateGeometries()
{
    // The list's own range counts only the rows it has laid out so far: while it lays them out
    // again in batches (after a new width), it would pull the position up to there.
    const int position = verticalScrollBar()->value();
    QListView::updateGeometries();
    // 8 pt of clear space after the last row, scrolled with the rows.
    if (!model())
        return;
    const int content = model()->rowCount() * TrajectoryRowDelegate::kRowHeight + kEndSpace;
    verticalScrollBar()->setRange(0, std::max(0, content - viewport()->height()));
    verticalScrollBar()->setValue(position);
    rehover();
}

void TrajectoryLedgerList::setHoveredRow(int row)
{
    if (row == m_hoveredRow)
        return;
    const int before = m_hoveredRow;
    m_hoveredRow = row;
    if (before >= 0 && model())
        update(model()->index(before, 0));
    if (row >= 0 && model())
        update(model()->index(row, 0));
}

void TrajectoryLedgerList::rehover()
{
    if (!m_pointer)
        return;
    const QModelIndex index = indexAt(*m_pointer);
    setHoveredRow(index.isValid() ? index.row() : -1);
}

void TrajectoryLedgerList::doItemsLayout()
{
    QListView::doItemsLayout();
    rehover();
}

void TrajectoryLedgerList::scrollContentsBy(int dx, int dy)
{
    QListView::scrollContentsBy(dx, dy);
    rehover();
}

void TrajectoryLedgerList::mousePressEvent(QMouseEvent *event)
{
    const QModelIndex index = indexAt(event->position().toPoint());
    m_pressedRow = event->button() == Qt::LeftButton && index.isValid() ? index.row() : -1;
    QListView::mousePressEvent(event);
}

void TrajectoryLedgerList::mouseDoubleClickEvent(QMouseEvent *event)
{
    // The second press of a quick double click: it and its release make a click of their own.
    const QModelIndex index = indexAt(event->position().toPoint());
    m_pressedRow = event->button() == Qt::LeftButton && index.isValid() ? index.row() : -1;
    QListView::mouseDoubleClickEvent(event);
}

bool TrajectoryLedgerList::viewportEvent(QEvent *event)
{
    // The pointer leaving the rows for the list's own scroll bar leaves no hover behind.
    if (event->type() == QEvent::Leave) {
        m_pointer.reset();
        setHoveredRow(-1);
    }
    return QListView::viewportEvent(event);
}

void TrajectoryLedgerList::mouseMoveEvent(QMouseEvent *event)
{
    m_pointer = event->position().toPoint();
    rehover();
    QListView::mouseMoveEvent(event);
}

void TrajectoryLedgerList::mouseReleaseEvent(QMouseEvent *event)
{
    const QModelIndex index = indexAt(event->position().toPoint());
    const int pressed = std::exchange(m_pressedRow, -1);
    QListView::mouseReleaseEvent(event);
    // A click is a press and a release on the same row; a drag from one row to another is not.
    if (event->button() == Qt::LeftButton && index.isValid() && index.row() == pressed)
        Q_EMIT rowActivated(index.row());
}

void TrajectoryLedgerList::leaveEvent(QEvent *event)
{
    m_pointer.reset();
    setHoveredRow(-1);
    QListView::leaveEvent(event);
}

void TrajectoryLedgerList::keyPressEvent(QKeyEvent *event)
{
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter || event->key() == Qt::Key_Space)
        && currentIndex().isValid()) {
        Q_EMIT rowActivated(currentIndex().row());
        return;
    }
    QListView::keyPressEvent(event);
}

// ---- TrajectoryView -----------------------------------------------------------------------

TrajectoryView::TrajectoryView(std::shared_ptr<SessionModel> session, Select onSelect, QWidget *parent)
    : QWidget(parent)
    , m_session(std::move(session))
    , m_onSelect(std::move(onSelect))
    , m_turnToggle(nullptr)
    , m_callToggle(nullptr)
    , m_search(new QLineEdit(this))
    , m_timeline(new TrajectoryTimelineOverview([this](const TrajectoryEventSelection &e) { select(e); }, this))
    , m_stack(new QStackedLayout)
    , m_empty(new QWidget(this))
    , m_emptyTitle(new QLabel(m_empty))
    , m_emptyDescription(new QLabel(m_empty))
    , m_ledgerPane(new QWidget(this))
    , m_loadingRow(new LoadingRow(m_ledgerPane))
    , m_list(new TrajectoryLedgerList(m_ledgerPane))
    , m_model(new TrajectoryLedgerModel(this))
    , m_scrollAnimation(new QVariantAnimation(this))
    , m_chevronAnimation(new QVariantAnimation(this))
{
    setObjectName(u"trajectory"_s);

    // Toolbar.
    auto *toolbar = new Band(&Theme::panel, &Theme::strongHairline, this);
    toolbar->setObjectName(u"trajectory-toolbar"_s);
    toolbar->setFixedHeight(32);
    auto *toolbarLayout = new QHBoxLayout(toolbar);
    toolbarLayout->setContentsMargins(6, 0, 6, 1);
    toolbarLayout->setSpacing(2);
    m_turnToggle = new LedgerToggle(u"rectangle.compress.vertical"_s, u"折叠回合"_s, toolbar);
    m_turnToggle->setObjectName(u"trajectory-collapse-turns"_s);
    m_callToggle = new LedgerToggle(u"arrow.down.right.and.arrow.up.left"_s, u"合并调用"_s, toolbar);
    m_callToggle->setObjectName(u"trajectory-collapse-calls"_s);
    m_search->setObjectName(u"trajectory-search"_s);
    m_search->setPlaceholderText(u"搜索轨迹"_s);
    m_search->setAccessibleName(u"搜索轨迹"_s);
    m_search->setFrame(false);
    m_search->setFont(Fonts::system(12));
    m_search->setClearButtonEnabled(false);
    {
        QPalette p = m_search->palette();
        p.setColor(QPalette::Base, Qt::transparent);
        m_search->setPalette(p);
    }
    toolbarLayout->addWidget(m_turnToggle);
    toolbarLayout->addWidget(m_callToggle);
    toolbarLayout->addStretch(1);
    toolbarLayout->addWidget(new SearchBox(m_search, toolbar));

    // From the toggles' state, however it changed (a click, a key, an accessibility action);
    // the view then shows its own state on them again.
    connect(m_turnToggle, &QAbstractButton::toggled, this, [this](bool on) {
        const auto &turns = m_index.turnNumbers();
        if (on)
            m_collapsedTurns = QSet<qint64>(turns.begin(), turns.end());
        else
            m_collapsedTurns.clear();
        refreshLedger();
    });
    connect(m_callToggle, &QAbstractButton::toggled, this, [this](bool on) {
        m_collapseCalls = on;
        rebuildIndex();
    });

    // Search settles 160 ms after the last edit.
    m_settle.setSingleShot(true);
    m_settle.setTimerType(Qt::PreciseTimer);
    m_settle.setInterval(kSearchSettleMs);
    connect(&m_settle, &QTimer::timeout, this, &TrajectoryView::settleSearch);
    connect(m_search, &QLineEdit::textChanged, this, [this] { m_settle.start(); });

    // Empty state.
    auto *emptyLayout = new QVBoxLayout(m_empty);
    emptyLayout->setSpacing(6);
    emptyLayout->addStretch(1);
    auto *emptyIcon = new IconView(u"point.topleft.down.to.point.bottomright.curvepath"_s, 32, m_empty);
    emptyIcon->setTint(Theme::tertiaryText());
    emptyLayout->addWidget(emptyIcon, 0, Qt::AlignHCenter);
    emptyLayout->addSpacing(6);
    m_emptyTitle->setFont(Fonts::system(15, QFont::DemiBold));
    m_emptyTitle->setTextFormat(Qt::PlainText);
    m_emptyTitle->setAlignment(Qt::AlignCenter);
    m_emptyDescription->setFont(Fonts::system(12));
    m_emptyDescription->setTextFormat(Qt::PlainText);
    m_emptyDescription->setAlignment(Qt::AlignCenter);
    m_emptyDescription->setWordWrap(true);
    setTextColor(m_emptyDescription, Theme::secondaryText());
    emptyLayout->addWidget(m_emptyTitle);
    emptyLayout->addWidget(m_emptyDescription);
    emptyLayout->addStretch(1);
    m_empty->setObjectName(u"trajectory-empty"_s);

    // Ledger.
    m_list->setModel(m_model);
    m_list->setItemDelegate(new TrajectoryRowDelegate([list = m_list] { return list->hoveredRow(); },
                                                      [this](qint64 turn) { return chevronAngle(turn); }, m_list));
    m_chevronAnimation->setDuration(120);
    m_chevronAnimation->setEasingCurve(Motion::easeInOut());
    connect(m_chevronAnimation, &QVariantAnimation::valueChanged, m_list->viewport(), qOverload<>(&QWidget::update));
    connect(m_chevronAnimation, &QVariantAnimation::finished, m_list->viewport(), qOverload<>(&QWidget::update));
    {
        QPalette p = m_list->palette();
        p.setColor(QPalette::Base, Theme::panel());
        m_list->setPalette(p);
    }
    connect(m_list, &TrajectoryLedgerList::rowActivated, this, &TrajectoryView::activateRow);
    Accessibility::describeItemRows(m_list, [this](const QModelIndex &index) { activateRow(index.row()); },
                                    [](const QModelIndex &index) {
                                        const bool turn = index.data(TrajectoryLedgerModel::IsTurnRole).toBool();
                                        Accessibility::RowState state;
                                        state.selectable = !turn;
                                        state.selected = index.data(TrajectoryLedgerModel::SelectedRole).toBool();
                                        state.expandable = turn;
                                        state.expanded = turn && !index.data(TrajectoryLedgerModel::CollapsedRole).toBool();
                                        return state;
                                    });
    auto *paneLayout = new QVBoxLayout(m_ledgerPane);
    paneLayout->setContentsMargins(0, 0, 0, 0);
    paneLayout->setSpacing(0);
    paneLayout->addWidget(m_loadingRow);
    paneLayout->addWidget(m_list, 1);

    m_stack->addWidget(m_empty);
    m_stack->addWidget(m_ledgerPane);

    m_scrollAnimation->setDuration(160);
    m_scrollAnimation->setEasingCurve(QEasingCurve::OutCubic);
    connect(m_scrollAnimation, &QVariantAnimation::valueChanged, this,
            [this](const QVariant &v) { m_list->verticalScrollBar()->setValue(v.toInt()); });

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(toolbar);
    layout->addWidget(m_timeline);
    layout->addWidget(new TableHeader(this));
    layout->addLayout(m_stack, 1);
    // Tab follows the toolbar from left to right, then goes down into the ledger.
    Accessibility::setTabOrder({m_turnToggle, m_callToggle, m_search, m_list});

    if (m_session) {
        connect(m_session.get(), &SessionModel::itemsChanged, this, &TrajectoryView::rebuildIndex);
        connect(m_session.get(), &SessionModel::isLoadingHistoryChanged, this, &TrajectoryView::refreshState);
    }
    rebuildIndex();
}

TrajectoryView::~TrajectoryView() = default;

QString TrajectoryView::searchText() const
{
    return m_search->text();
}

void TrajectoryView::rebuildIndex()
{
    static const std::vector<TranscriptItem> kNoItems;
    const std::vector<TranscriptItem> &items = m_session ? m_session->items() : kNoItems;
    m_index = TrajectoryLedgerIndex(items, m_collapseCalls, &m_index);
    // The keys are made while the user reads the rows, before a search needs them.
    m_index.prepareSearch();
    m_timeline->setEntries(m_index.timeline(), m_index.timelineMatching(m_searchQuery), m_searchQuery);
    refreshLedger();
}

void TrajectoryView::refreshLedger()
{
    m_model->setCollapsedTurns(m_collapsedTurns);
    m_model->setRows(m_index.ledger(m_searchQuery, m_collapsedTurns));
    refreshToolbar();
    refreshState();
}

void TrajectoryView::refreshToolbar()
{
    const auto &turns = m_index.turnNumbers();
    m_turnToggle->setActive(!turns.empty() && qsizetype(m_collapsedTurns.size()) == qsizetype(turns.size()));
    m_callToggle->setActive(m_collapseCalls);
}

void TrajectoryView::refreshState()
{
    const bool loading = m_session && m_session->isLoadingHistory();
    m_loadingRow->setVisible(loading);
    const bool empty = m_model->rowCount() == 0 && !loading;
    if (empty) {
        const bool searching = !m_searchQuery.isEmpty();
        m_emptyTitle->setText(searching ? u"没有匹配事件"_s : u"暂无运行轨迹"_s);
        m_emptyDescription->setText(searching ? u"尝试缩短搜索内容。"_s : u"会话运行后，事件会按发生顺序显示。"_s);
    }
    m_stack->setCurrentWidget(empty ? m_empty : m_ledgerPane);
}

void TrajectoryView::settleSearch()
{
    const QString query = TrajectoryLedger::settledQuery(m_search->text());
    if (query == m_searchQuery)
        return;
    m_searchQuery = query;
    refreshLedger();
    m_timeline->setSearch(m_searchQuery, m_index.timelineMatching(m_searchQuery));
}

void TrajectoryView::toggleTurn(qint64 turn)
{
    const bool collapsing = !m_collapsedTurns.remove(turn);
    if (collapsing)
        m_collapsedTurns.insert(turn);
    m_chevronAnimation->stop();
    if (!Motion::reduceMotion() && isVisible()) {
        m_chevronTurn = turn;
        m_chevronAnimation->setStartValue(collapsing ? 90.0 : 0.0);
        m_chevronAnimation->setEndValue(collapsing ? 0.0 : 90.0);
        m_chevronAnimation->start();
    }
    refreshLedger();
}

std::optional<qreal> TrajectoryView::chevronAngle(qint64 turn) const
{
    if (m_chevronAnimation->state() != QAbstractAnimation::Running || turn != m_chevronTurn)
        return std::nullopt;
    return m_chevronAnimation->currentValue().toReal();
}

void TrajectoryView::select(const TrajectoryEventSelection &event)
{
    const bool changed = m_selectedEventId != event.id;
    m_selectedEventId = event.id;
    m_model->setSelectedId(m_selectedEventId);
    m_timeline->setSelectedEventId(m_selectedEventId);
    if (changed)
        scrollToSelection();
    if (m_onSelect)
        m_onSelect(event);
}

void TrajectoryView::activateRow(int row)
{
    const TrajectoryLedgerItem *item = m_model->item(row);
    if (!item)
        return;
    if (item->isTurn()) {
        toggleTurn(item->heading.turn);
        return;
    }
    const TrajectoryEventSelection event = item->event(); // the rows may change under the callback
    select(event);
}

void TrajectoryView::scrollToSelection()
{
    if (!m_selectedEventId)
        return;
    const int row = m_model->rowOf(*m_selectedEventId);
    if (row < 0)
        return;
    QScrollBar *bar = m_list->verticalScrollBar();
    // Making the row current scrolls it into view at once; the animation starts from where
    // the list stood before.
    const int start = bar->value();
    m_list->setCurrentIndex(m_model->index(row));
    const int target = std::clamp(row * TrajectoryRowDelegate::kRowHeight + TrajectoryRowDelegate::kRowHeight / 2
                                      - m_list->viewport()->height() / 2,
                                  bar->minimum(), bar->maximum());
    m_scrollAnimation->stop();
    if (Motion::reduceMotion() || !isVisible()) {
        bar->setValue(target);
        return;
    }
    m_scrollAnimation->setStartValue(start);
    m_scrollAnimation->setEndValue(target);
    m_scrollAnimation->start();
}

void TrajectoryView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Theme::panel());
}

} // namespace nbd
