#include "UI/Sidebar/NewSessionPopover.h"

#include "Domain/BidiIsolate.h"
#include "Store/SessionDirectory.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/PlainToolTip.h"
#include "UI/Sidebar/SidebarRowViews.h"
#include "UI/Shared/StoreActions.h"
#include "UI/Shared/Theme.h"

#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QScrollArea>
#include <QVBoxLayout>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

// A plain full-width button: a symbol, then a title (and an optional line below it), then an
// optional trailing chevron; a hover fill.
class PopoverRow : public QAbstractButton
{
public:
    PopoverRow(QString symbol, QString title, QString detail, bool chevron, int height, QWidget *parent)
        : QAbstractButton(parent)
        , m_symbol(std::move(symbol))
        , m_title(std::move(title))
        , m_detail(std::move(detail))
        , m_chevron(chevron)
    {
        setFixedHeight(height);
        setToolTip(plainToolTip(m_detail));
        setAccessibleName(m_title);
        setAccessibleDescription(m_detail);
    }

    int inset = 14;
    bool secondary = false;
    QFont titleFont = Fonts::system(13, QFont::Medium);

protected:
    void enterEvent(QEnterEvent *event) override
    {
        m_hovering = true;
        update();
        QAbstractButton::enterEvent(event);
    }
    void leaveEvent(QEvent *event) override
    {
        m_hovering = false;
        update();
        QAbstractButton::leaveEvent(event);
    }

    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        if (m_hovering) {
            QPainterPath path;
            path.addRoundedRect(QRectF(rect()).adjusted(4, 1, -4, -1), 8, 8);
            painter.fillPath(path, Theme::hover());
        }
        const QColor symbolTint = m_detail.isEmpty() && !secondary ? Theme::primaryText() : Theme::secondaryText();
        Icons::paint(&painter, QRectF(inset + 1, (height() - 16) / 2.0, 16, 16), m_symbol, symbolTint);
        int x = inset + 18 + 10;
        int right = width() - inset;
        if (m_chevron) {
            Icons::paint(&painter, QRectF(right - 10, (height() - 10) / 2.0, 10, 10), u"chevron.right"_s,
                         Theme::tertiaryText());
            right -= 10 + 4;
        }
        const int w = std::max(0, right - x);
        painter.setFont(titleFont);
        painter.setPen(secondary ? Theme::secondaryText() : Theme::primaryText());
        if (m_detail.isEmpty()) {
            painter.drawText(QRect(x, 0, w, height()), Qt::AlignVCenter | Qt::AlignLeft,
                             painter.fontMetrics().elidedText(m_title, Qt::ElideRight, w));
            return;
        }
        const int top = (height() - (17 + 2 + 14)) / 2;
        painter.drawText(QRect(x, top, w, 17), Qt::AlignVCenter | Qt::AlignLeft,
                         painter.fontMetrics().elidedText(m_title, Qt::ElideRight, w));
        painter.setFont(Fonts::subheadline());
        painter.setPen(Theme::tertiaryText());
        painter.drawText(QRect(x, top + 19, w, 14), Qt::AlignVCenter | Qt::AlignLeft,
                         painter.fontMetrics().elidedText(m_detail, Qt::ElideMiddle, w));
    }

private:
    QString m_symbol;
    QString m_title;
    QString m_detail;
    bool m_chevron;
    bool m_hovering = false;
};

class Divider : public QWidget
{
public:
    explicit Divider(QWidget *parent) : QWidget(parent) { setFixedHeight(1); }

protected:
    void paintEvent(QPaintEvent *) override { QPainter(this).fillRect(rect(), Theme::hairline()); }
};

} // namespace

// ---- NewSessionButton ----

NewSessionButton::NewSessionButton(QWidget *parent) : QAbstractButton(parent)
{
    setObjectName(u"sidebar-new-session-button"_s);
    setAccessibleName(u"新建会话"_s);
    setFixedHeight(38);
    setToolTip(u"新建会话 (%1)"_s.arg(QKeySequence(Qt::CTRL | Qt::Key_N).toString(QKeySequence::NativeText)));
}

void NewSessionButton::enterEvent(QEnterEvent *event)
{
    m_hovering = true;
    update();
    QAbstractButton::enterEvent(event);
}

void NewSessionButton::leaveEvent(QEvent *event)
{
    m_hovering = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void NewSessionButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    path.addRoundedRect(box, 12, 12);
    painter.fillPath(path, m_hovering || isDown() ? Theme::hover() : Theme::raised());
    painter.setPen(QPen(Theme::strongHairline(), 1));
    painter.drawPath(path);
    Icons::paint(&painter, QRectF(16 + 1, (height() - 16) / 2.0, 16, 16), u"square.and.pencil"_s, Theme::primaryText());
    painter.setFont(Fonts::system(14, QFont::Medium));
    painter.setPen(Theme::primaryText());
    painter.drawText(QRect(16 + 18 + 10, 0, std::max(0, width() - 16 - 18 - 10 - 16), height()),
                     Qt::AlignVCenter | Qt::AlignLeft, u"新建会话"_s);
}

// ---- NewSessionPopover ----

int NewSessionPopover::heightFor(int workspaceCount)
{
    return std::min(std::max(workspaceCount * 50 + 126, 174), 430);
}

NewSessionPopover::NewSessionPopover(SessionDirectory *directory, std::function<void()> dismissed, QWidget *parent)
    : QFrame(parent, Qt::Popup)
    , m_directory(directory)
    , m_dismissed(std::move(dismissed))
    , m_scroll(new QScrollArea(this))
    , m_listContent(new QWidget)
    , m_listLayout(new QVBoxLayout(m_listContent))
{
    setObjectName(u"new-session-workspace-popover"_s);
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedWidth(kWidth);
    // One opaque canvas behind every part, the scrolling list included.
    QPalette canvas = palette();
    for (QPalette::ColorRole role : {QPalette::Window, QPalette::Base})
        canvas.setColor(role, Theme::canvas());
    setPalette(canvas);
    setAutoFillBackground(true);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto *title = new QLabel(u"选择工作区"_s, this);
    title->setFont(Fonts::system(15, QFont::DemiBold));
    title->setContentsMargins(14, 14, 14, 8);
    layout->addWidget(title);

    m_scroll->setObjectName(u"new-session-workspace-list"_s);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setWidgetResizable(true);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->viewport()->setAutoFillBackground(false);
    m_scroll->setAutoFillBackground(false);
    m_listContent->setAutoFillBackground(false);
    m_listLayout->setContentsMargins(4, 0, 4, 0);
    m_listLayout->setSpacing(2);
    m_listLayout->addStretch(1);
    m_scroll->setWidget(m_listContent);
    layout->addWidget(m_scroll, 1);

    layout->addSpacing(4);
    layout->addWidget(new Divider(this));

    auto *folder = new PopoverRow(u"folder.badge.plus"_s, u"选择其他文件夹…"_s, {}, false, 38, this);
    folder->setObjectName(u"new-session-choose-folder"_s);
    connect(folder, &QAbstractButton::clicked, this, &NewSessionPopover::chooseFolder);
    layout->addWidget(folder);

    auto *without = new PopoverRow(u"rectangle.dashed"_s, u"不使用工作区"_s, {}, false, 36, this);
    without->setObjectName(u"new-session-without-workspace"_s);
    without->secondary = true;
    without->titleFont = Fonts::system(13);
    connect(without, &QAbstractButton::clicked, this, &NewSessionPopover::chooseWithoutWorkspace);
    layout->addWidget(without);

    if (m_directory)
        connect(m_directory, &SessionDirectory::workspacesChanged, this, &NewSessionPopover::rebuild);
    rebuild();
}

QStringList NewSessionPopover::workspaceIds() const
{
    QStringList ids;
    for (const WorkspaceView &w : m_shown)
        ids.append(w.workspaceId);
    return ids;
}

void NewSessionPopover::rebuild()
{
    std::vector<WorkspaceView> workspaces =
        m_directory ? m_directory->workspaces() : std::vector<WorkspaceView>();
    if (workspaces != m_shown || m_listLayout->count() == 1) {
        while (m_listLayout->count() > 1) {
            QLayoutItem *item = m_listLayout->takeAt(0);
            delete item->widget();
            delete item;
        }
        int index = 0;
        for (const WorkspaceView &workspace : workspaces) {
            auto *row = new PopoverRow(u"folder"_s, text::bidiIsolated(workspace.title), workspace.path, true, 48, m_listContent);
            row->inset = 12;
            row->setObjectName(u"new-session-workspace-"_s + workspace.workspaceId);
            const QString id = workspace.workspaceId;
            connect(row, &QAbstractButton::clicked, this, [this, id] { chooseWorkspace(id); });
            m_listLayout->insertWidget(index++, row);
        }
        m_shown = std::move(workspaces);
    }
    setFixedHeight(heightFor(int(m_shown.size())));
}

void NewSessionPopover::showBelow(QWidget *anchor)
{
    QPoint at = anchor->mapToGlobal(QPoint(0, anchor->height() + 4));
    if (const QScreen *screen = anchor->screen()) {
        const QRect avail = screen->availableGeometry();
        at.setX(std::clamp(at.x(), avail.left(), std::max(avail.left(), avail.right() - width())));
        at.setY(std::clamp(at.y(), avail.top(), std::max(avail.top(), avail.bottom() - height())));
    }
    move(at);
    show();
}

void NewSessionPopover::hideEvent(QHideEvent *event)
{
    QFrame::hideEvent(event);
    if (auto dismissed = std::exchange(m_dismissed, {}))
        dismissed();
}

void NewSessionPopover::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Theme::canvas());
    painter.setPen(Theme::strongHairline());
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

void NewSessionPopover::chooseWorkspace(const QString &workspaceId)
{
    QPointer<SessionDirectory> directory = m_directory;
    close();
    if (directory)
        startStoreTask(directory->createSession(std::nullopt, workspaceId));
}

void NewSessionPopover::chooseWithoutWorkspace()
{
    QPointer<SessionDirectory> directory = m_directory;
    close();
    startCreateSession(directory);
}

void NewSessionPopover::chooseFolder()
{
    QPointer<SessionDirectory> directory = m_directory;
    QWidget *window = parentWidget() ? parentWidget()->window() : nullptr;
    close();
    chooseWorkspaceFolder(window, directory);
}

void chooseWorkspaceFolder(QWidget *window, SessionDirectory *directory)
{
    auto *dialog = new QFileDialog(window, u"选择工作区文件夹"_s);
    dialog->setObjectName(u"workspace-folder-chooser"_s);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly);
    dialog->setLabelText(QFileDialog::Accept, u"选择"_s);
    // No folder is remembered between runs: the chooser starts at home.
    dialog->setDirectory(QDir::homePath());
    QPointer<SessionDirectory> target = directory;
    QObject::connect(dialog, &QFileDialog::fileSelected, dialog, [target](const QString &path) {
        if (target && !path.isEmpty())
            startStoreTask(target->createWorkspaceSession(path));
    });
    dialog->open();
}

} // namespace nbd
