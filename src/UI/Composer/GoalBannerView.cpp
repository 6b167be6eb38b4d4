#include "UI/Composer/GoalBannerView.h"

#include "Session/SessionModel.h"
#include "Store/SessionActions.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/ComposerControls.h"
#include "UI/Shared/ElidedLabel.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/PlainToolTip.h"
#include "UI/Shared/Spinner.h"
#include "UI/Shared/Theme.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

// A rounded inset surface with a hairline border: the goal bar and the todo panel.
class InsetPanel : public QWidget
{
public:
    explicit InsetPanel(QWidget *parent = nullptr) : QWidget(parent) {}

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(Theme::hairline(), 1));
        painter.setBrush(Theme::inset());
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 12, 12);
    }
};

// The in-place edit field's frame: canvas fill, strong hairline, radius 6.
class EditFrame : public QWidget
{
public:
    explicit EditFrame(QWidget *parent = nullptr) : QWidget(parent) {}

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(Theme::strongHairline(), 1));
        painter.setBrush(Theme::canvas());
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
    }
};

void setTextColor(QWidget *widget, const QColor &color)
{
    QPalette pal = widget->palette();
    pal.setColor(QPalette::WindowText, color);
    pal.setColor(QPalette::Text, color);
    widget->setPalette(pal);
}

} // namespace

// The todo panel's header: checklist symbol, "任务", the summary and the chevron; a click
// expands or collapses the list.
class TodoHeader : public QAbstractButton
{
public:
    explicit TodoHeader(QWidget *parent) : QAbstractButton(parent)
    {
        setFixedHeight(34);
        setCursor(Qt::PointingHandCursor);
        setFocusPolicy(Qt::TabFocus);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }
    void setState(const QString &summary, bool expanded)
    {
        m_summary = summary;
        m_expanded = expanded;
        setText(u"任务"_s);
        setAccessibleName(summary.isEmpty() ? u"任务"_s : u"任务 "_s + summary);
        setAccessibleDescription(expanded ? u"已展开"_s : u"已收起"_s);
        update();
    }
    QSize sizeHint() const override { return {200, 34}; }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        int x = 12;
        Icons::paint(&painter, QRectF(x + 1, (height() - 12) / 2.0, 12, 12), u"checklist"_s, Theme::tertiaryText());
        x += 14 + 10;
        const QFont titleFont = Fonts::system(13, QFont::Medium);
        painter.setFont(titleFont);
        painter.setPen(Theme::primaryText());
        const int titleWidth = QFontMetrics(titleFont).horizontalAdvance(u"任务"_s);
        painter.drawText(QRect(x, 0, titleWidth + 1, height()), Qt::AlignLeft | Qt::AlignVCenter, u"任务"_s);
        x += titleWidth + 10;
        const int chevronX = width() - 12 - 9;
        const QFont summaryFont = Fonts::system(13);
        painter.setFont(summaryFont);
        painter.setPen(Theme::tertiaryText());
        const int room = std::max(0, chevronX - 8 - x);
        painter.drawText(QRect(x, 0, room, height()), Qt::AlignLeft | Qt::AlignVCenter,
                         QFontMetrics(summaryFont).elidedText(m_summary, Qt::ElideRight, room));
        Icons::paint(&painter, QRectF(chevronX, (height() - 9) / 2.0, 9, 9),
                     m_expanded ? u"chevron.down"_s : u"chevron.up"_s, Theme::tertiaryText());
        if (hasFocus()) {
            painter.setPen(QPen(Theme::brand(), 1.5));
            painter.setBrush(Qt::NoBrush);
            painter.drawRoundedRect(QRectF(rect()).adjusted(2, 2, -2, -2), 10, 10);
        }
    }

private:
    QString m_summary;
    bool m_expanded = false;
};

// One todo: its status glyph in a 16-point frame, then its text on one line.
class TodoRow : public QWidget
{
public:
    explicit TodoRow(QWidget *parent) : QWidget(parent), m_frame(new QWidget(this)), m_text(new ElidedLabel(QString(), Qt::ElideRight, this))
    {
        setFixedHeight(16);
        auto *layout = new QHBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(10);
        m_frame->setFixedSize(16, 16);
        auto *frameLayout = new QHBoxLayout(m_frame);
        frameLayout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(m_frame);
        m_text->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        m_text->setFont(Fonts::system(13));
        m_text->setObjectName(u"todo-row"_s);
        layout->addWidget(m_text, 1);
    }

    void setItem(const TodoItem &todo)
    {
        const goal::TodoGlyph kind = goal::todoGlyph(todo);
        if (!m_glyph || kind != m_kind) {
            delete m_glyph;
            m_kind = kind;
            m_glyph = makeGlyph(kind);
            static_cast<QHBoxLayout *>(m_frame->layout())->addWidget(m_glyph, 0, Qt::AlignCenter);
            m_glyph->show();
        }
        if (todo.content != m_text->text()) {
            m_text->setText(todo.content);
            m_text->setToolTip(plainToolTip(rowText(todo.content)));
        }
    }

private:
    QWidget *makeGlyph(goal::TodoGlyph kind)
    {
        switch (kind) {
        case goal::TodoGlyph::Completed: {
            auto *icon = new IconView(u"checkmark.circle"_s, 13, m_frame);
            icon->setTint(Theme::success());
            return icon;
        }
        case goal::TodoGlyph::InProgress: {
            auto *spinner = new Spinner(12, m_frame);
            spinner->setObjectName(u"todo-spinner"_s);
            spinner->setColor(Theme::brand());
            return spinner;
        }
        case goal::TodoGlyph::Pending:
            break;
        }
        auto *icon = new IconView(u"circle.dotted"_s, 13, m_frame);
        icon->setTint(Theme::tertiaryText());
        return icon;
    }

    QWidget *m_frame;
    ElidedLabel *m_text;
    QWidget *m_glyph = nullptr;
    goal::TodoGlyph m_kind = goal::TodoGlyph::Pending;
};

// The content of the todo list's scroll area: as tall as all rows, from their number alone, with
// row widgets only for the rows within about one list height of what is visible. A new list
// touches only the rows whose item changed.
class TodoRows : public QWidget
{
public:
    static constexpr int kRowHeight = 16;
    static constexpr int kPitch = kRowHeight + 8;
    static constexpr int kSide = 12;

    TodoRows(QScrollArea *area) : QWidget(area), m_area(area)
    {
        connect(area->verticalScrollBar(), &QScrollBar::valueChanged, this, [this] { place(); });
    }

    void setItems(const std::vector<TodoItem> &items)
    {
        const std::vector<TodoItem> old = std::exchange(m_items, items);
        const qsizetype n = qsizetype(m_items.size());
        setFixedHeight(n == 0 ? 0 : int(std::min<qint64>(qint64(kRowHeight) * n + 8 * (n - 1) + 8, QWIDGETSIZE_MAX)));
        for (auto it = m_rows.begin(); it != m_rows.end();) {
            const qsizetype i = it.key();
            if (i >= n) {
                delete it.value();
                it = m_rows.erase(it);
                continue;
            }
            if (size_t(i) >= old.size() || !(old[size_t(i)] == m_items[size_t(i)]))
                it.value()->setItem(m_items[size_t(i)]);
            ++it;
        }
        place();
    }

    // Rows alive now, by position.
    const QHash<qsizetype, TodoRow *> &rows() const { return m_rows; }

    void place()
    {
        const qsizetype n = qsizetype(m_items.size());
        const int viewHeight = std::max(m_area->viewport()->height(), 180);
        const int top = m_area->verticalScrollBar()->value();
        const qsizetype first = std::max<qsizetype>(0, (top - viewHeight) / kPitch);
        const qsizetype last = std::min<qsizetype>(n - 1, (top + 2 * viewHeight) / kPitch);
        for (auto it = m_rows.begin(); it != m_rows.end();) {
            if (it.key() < first || it.key() > last) {
                delete it.value();
                it = m_rows.erase(it);
            } else {
                ++it;
            }
        }
        const int w = std::max(0, width() - 2 * kSide);
        for (qsizetype i = first; i <= last; ++i) {
            TodoRow *&row = m_rows[i];
            if (!row) {
                row = new TodoRow(this);
                row->setItem(m_items[size_t(i)]);
            }
            row->setGeometry(kSide, int(i * kPitch), w, kRowHeight);
            row->show();
        }
    }

protected:
    void resizeEvent(QResizeEvent *) override { place(); }

private:
    QScrollArea *m_area;
    std::vector<TodoItem> m_items;
    QHash<qsizetype, TodoRow *> m_rows;
};

// ---- GoalBannerView ----

GoalBannerView::GoalBannerView(SessionActions *sessionActions, std::shared_ptr<SessionModel> session, QWidget *parent)
    : QWidget(parent)
    , m_sessionActions(sessionActions)
{
    setObjectName(u"goal-banner"_s);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);

    m_column = new QWidget;
    auto *column = new QVBoxLayout(m_column);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(6);

    // Todo panel.
    m_todoPanel = new InsetPanel(m_column);
    m_todoPanel->setObjectName(u"todo-dock"_s);
    auto *panel = new QVBoxLayout(m_todoPanel);
    panel->setContentsMargins(0, 0, 0, 0);
    panel->setSpacing(6);
    m_todoHeader = new TodoHeader(m_todoPanel);
    m_todoHeader->setObjectName(u"todo-header"_s);
    connect(m_todoHeader, &QAbstractButton::clicked, this, &GoalBannerView::toggleTodos);
    panel->addWidget(m_todoHeader);
    m_todoList = new QScrollArea(m_todoPanel);
    m_todoList->setObjectName(u"todo-list"_s);
    m_todoList->setAccessibleName(u"任务列表"_s);
    m_todoList->setFrameShape(QFrame::NoFrame);
    m_todoList->setWidgetResizable(true);
    m_todoList->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_todoList->viewport()->setAutoFillBackground(false);
    m_todoList->setAutoFillBackground(false);
    m_todoRows = new TodoRows(m_todoList);
    m_todoList->setWidget(m_todoRows);
    // The scroll area fills the widget it is given; the rows lie on the panel's surface.
    m_todoRows->setAutoFillBackground(false);
    panel->addWidget(m_todoList);
    m_todoList->hide();
    column->addWidget(m_todoPanel);

    // Goal bar.
    m_goalBar = new InsetPanel(m_column);
    m_goalBar->setObjectName(u"goal-dock"_s);
    m_goalBar->setFixedHeight(36);
    auto *bar = new QHBoxLayout(m_goalBar);
    bar->setContentsMargins(12, 0, 5, 0);
    bar->setSpacing(10);
    auto *target = new IconView(u"target"_s, 13, m_goalBar);
    target->setTint(Theme::tertiaryText());
    target->setFixedWidth(14);
    bar->addWidget(target);
    m_phaseLabel = new QLabel(m_goalBar);
    m_phaseLabel->setObjectName(u"goal-phase"_s);
    m_phaseLabel->setTextFormat(Qt::PlainText);
    m_phaseLabel->setFont(Fonts::system(13, QFont::Medium));
    m_phaseLabel->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    bar->addWidget(m_phaseLabel);
    m_objective = new ElidedLabel(QString(), Qt::ElideRight, m_goalBar);
    m_objective->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    m_objective->setObjectName(u"goal-objective"_s);
    m_objective->setFont(Fonts::system(13));
    bar->addWidget(m_objective, 1);
    m_editField = new EditFrame(m_goalBar);
    m_editField->setFixedHeight(26);
    auto *editLayout = new QHBoxLayout(m_editField);
    editLayout->setContentsMargins(8, 0, 8, 0);
    m_editLine = new QLineEdit(m_editField);
    m_editLine->setObjectName(u"goal-edit-field"_s);
    m_editLine->setFrame(false);
    m_editLine->setPlaceholderText(u"目标"_s);
    m_editLine->setAccessibleName(u"目标"_s);
    m_editLine->setFont(Fonts::system(13));
    QPalette editPalette = m_editLine->palette();
    editPalette.setColor(QPalette::Base, Qt::transparent);
    m_editLine->setPalette(editPalette);
    editLayout->addWidget(m_editLine);
    bar->addWidget(m_editField, 1);
    connect(m_editLine, &QLineEdit::textEdited, this, [this](const QString &text) {
        m_edit.setDraft(text);
        refreshGoal();
    });
    connect(m_editLine, &QLineEdit::returnPressed, this, &GoalBannerView::saveEdit);

    for (goal::GoalButton kind : {goal::GoalButton::Pause, goal::GoalButton::Resume, goal::GoalButton::Edit,
                                  goal::GoalButton::Clear, goal::GoalButton::Cancel, goal::GoalButton::Save}) {
        auto *button = new RoundSymbolButton(28, 13, m_goalBar);
        button->setSymbol(goal::buttonSymbol(kind));
        button->setHelp(goal::buttonToolTip(kind));
        button->setDisabledOpacity(0.35);
        button->setProperty("goalButton", int(kind));
        button->setObjectName(u"goal-"_s + goal::buttonSymbol(kind));
        connect(button, &QAbstractButton::clicked, this, [this, kind] {
            const std::optional<GoalProjection> projection = m_session ? m_session->goal() : std::nullopt;
            if (!projection)
                return;
            switch (kind) {
            case goal::GoalButton::Edit:
                m_edit.open(projection->goal);
                m_editLine->setText(m_edit.draft());
                refreshGoal();
                m_editLine->setFocus();
                break;
            case goal::GoalButton::Cancel:
                m_edit.cancel();
                refreshGoal();
                break;
            case goal::GoalButton::Save:
                saveEdit();
                break;
            default:
                if (const std::optional<QString> action = goal::buttonAction(kind))
                    sendAction(*action);
                break;
            }
        });
        m_buttons.append(button);
        bar->addWidget(button);
    }
    column->addWidget(m_goalBar);

    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(new CenteredColumn(m_column, 780, 16, this));

    setSession(std::move(session));
}

void GoalBannerView::setSession(std::shared_ptr<SessionModel> session)
{
    if (session == m_session && !m_sessionConnections.isEmpty())
        return;
    for (const QMetaObject::Connection &c : std::as_const(m_sessionConnections))
        QObject::disconnect(c);
    m_sessionConnections.clear();
    m_session = std::move(session);
    if (m_session) {
        m_sessionConnections << connect(m_session.get(), &SessionModel::goalChanged, this, &GoalBannerView::goalChanged)
                             << connect(m_session.get(), &SessionModel::todosChanged, this,
                                        &GoalBannerView::todosChanged);
    }
    goalChanged();
    todosChanged();
}

void GoalBannerView::goalChanged()
{
    const std::optional<GoalProjection> projection = m_session ? m_session->goal() : std::nullopt;
    const std::optional<QString> id = projection ? std::optional<QString>(projection->goal.id) : std::nullopt;
    if (id != m_goalId) {
        m_goalId = id;
        m_edit.goalIdChanged();
        m_editLine->clear();
    }
    refresh();
}

void GoalBannerView::todosChanged()
{
    const bool hasTodos = m_session && !m_session->todos().empty();
    if (m_hadTodos && !hasTodos)
        m_todosExpanded = false;
    m_hadTodos = hasTodos;
    refresh();
}

void GoalBannerView::toggleTodos()
{
    m_todosExpanded = !m_todosExpanded;
    refreshTodos();
}

void GoalBannerView::refresh()
{
    refreshTodos();
    refreshGoal();
    const std::optional<GoalProjection> projection = m_session ? m_session->goal() : std::nullopt;
    setVisible(goal::showsBanner(projection, m_session ? std::span<const TodoItem>(m_session->todos())
                                                       : std::span<const TodoItem>()));
}

void GoalBannerView::refreshTodos()
{
    static const std::vector<TodoItem> none;
    const std::vector<TodoItem> &todos = m_session ? m_session->todos() : none;
    m_todoPanel->setVisible(!todos.empty());
    m_todoHeader->setState(goal::todoSummary(todos), m_todosExpanded);
    const bool open = m_todosExpanded && !todos.empty();
    // Rows exist only while the list is open, and then only those near what is visible.
    m_todoRows->setItems(open ? todos : none);
    m_todoList->setVisible(open);
    if (open)
        m_todoList->setFixedHeight(goal::todoListHeight(qsizetype(todos.size())));
}

void GoalBannerView::refreshGoal()
{
    const std::optional<GoalProjection> projection = m_session ? m_session->goal() : std::nullopt;
    const bool shown = goal::showsGoalBar(projection);
    m_goalBar->setVisible(shown);
    if (!shown)
        return;
    const GoalSnapshot &snapshot = projection->goal;
    const bool editing = m_edit.isEditing(snapshot);
    m_phaseLabel->setText(goal::phaseLabel(snapshot.phase));
    setTextColor(m_phaseLabel, Theme::primaryText());
    m_objective->setText(snapshot.objective);
    m_objective->setToolTip(plainToolTip(goal::objectiveToolTip(snapshot)));
    m_objective->setVisible(!editing);
    m_editField->setVisible(editing);
    const std::vector<goal::GoalButton> visible = goal::goalButtons(snapshot.phase, editing);
    for (RoundSymbolButton *button : std::as_const(m_buttons)) {
        const auto kind = goal::GoalButton(button->property("goalButton").toInt());
        button->setVisible(std::find(visible.begin(), visible.end(), kind) != visible.end());
        if (kind == goal::GoalButton::Save)
            button->setEnabled(m_edit.canSave());
    }
}

void GoalBannerView::sendAction(const QString &action, std::optional<QString> objective)
{
    const std::optional<GoalProjection> projection = m_session ? m_session->goal() : std::nullopt;
    if (!projection || !m_sessionActions)
        return;
    m_sessionActions->goalAction(action, m_session->sessionId(), goal::refOf(projection->goal),
                                             std::move(objective));
}

void GoalBannerView::saveEdit()
{
    const std::optional<GoalProjection> projection = m_session ? m_session->goal() : std::nullopt;
    if (!projection || !m_edit.isEditing(projection->goal))
        return;
    const std::optional<QString> objective = m_edit.save();
    if (!objective)
        return;
    sendAction(u"edit"_s, objective);
    refreshGoal();
}

} // namespace nbd
