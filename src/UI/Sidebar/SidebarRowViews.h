#pragma once

#include "UI/Sidebar/SidebarRows.h"
#include "UI/Shared/StoreActions.h"

#include <QAbstractButton>
#include <QHash>
#include <QPointer>
#include <QScrollArea>
#include <QWidget>

#include <functional>
#include <optional>

class QDialog;
class QMenu;
class QMessageBox;
class QVariantAnimation;

namespace nbd {

class SessionDirectory;
class SessionSelection;
class ChromeIconButton;

// What a workspace header offers; the sidebar fills these in per row.
struct WorkspaceHeaderActions
{
    std::function<void(const QString &workspaceId)> toggle;
    std::function<void(const WorkspaceView &)> createSession;
    std::function<void(const WorkspaceView &)> rename;
    std::function<void(const WorkspaceView &)> remove;
};

// The header of one workspace: folder icon (a chevron under the pointer), title, and the
// workspace actions in a hover menu and the context menu. A click anywhere but the menu
// toggles the workspace.
class WorkspaceHeaderRow : public QAbstractButton
{
    Q_OBJECT
    Q_PROPERTY(bool hovering READ isHovering)
    Q_PROPERTY(QString symbolName READ symbolName)
public:
    static constexpr int kHeight = 34;

    WorkspaceHeaderRow(const WorkspaceHeaderActions *actions, QWidget *parent = nullptr);

    // False (nothing repainted) when the workspace and the collapsed flag are unchanged.
    bool setRow(const WorkspaceView &workspace, bool collapsed);
    const WorkspaceView &workspace() const { return m_workspace; }
    bool isCollapsed() const { return m_collapsed; }
    bool isHovering() const { return m_hovering; }
    // The symbol shown in the icon box: "folder" at rest, "chevron.right" under the pointer.
    QString symbolName() const;
    // Bumped by every real data change.
    int revision() const { return m_revision; }
    ChromeIconButton *menuButton() const { return m_menuButton; }
    // A new menu with the workspace actions, owned by parent.
    QMenu *makeActionsMenu(QWidget *parent);

protected:
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    void setHovering(bool hovering);

    const WorkspaceHeaderActions *m_actions;
    WorkspaceView m_workspace;
    bool m_collapsed = false;
    bool m_hovering = false;
    int m_revision = 0;
    ChromeIconButton *m_menuButton;
};

// One session of the list: title, a dot while it runs, selection and hover backgrounds, the
// last update in the tooltip, and rename, fork and archive in the context menu.
class SessionRowView : public QAbstractButton
{
    Q_OBJECT
    Q_PROPERTY(bool hovering READ isHovering)
public:
    static constexpr int kHeight = 32;

    SessionRowView(SessionDirectory *directory, SessionSelection *selection, QWidget *parent = nullptr);

    bool setRow(const SidebarSessionRowData &data);
    const SidebarSessionRowData &row() const { return m_row; }
    bool isHovering() const { return m_hovering; }
    int revision() const { return m_revision; }
    // Title, " · " and the relative time of the last update, as of now.
    QString toolTipText() const;
    QMenu *makeContextMenu(QWidget *parent);
    // Asks for a new title; "确定" renames the session this row showed when it was opened.
    void presentRename();

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    QPointer<SessionDirectory> m_directory;
    QPointer<SessionSelection> m_selection;
    SidebarSessionRowData m_row;
    bool m_hovering = false;
    int m_revision = 0;
};

// The label of a list section ("最近").
class SectionLabelRow : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kHeight = 10 + 18 + 16 + 6;

    explicit SectionLabelRow(QWidget *parent = nullptr);
    bool setTitle(const QString &title);
    QString title() const { return m_title; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_title;
};

// The scrolling list of the sidebar: an optional fixed header widget, then the rows, placed
// by hand at their fixed heights. It is virtualised: a widget exists only for a row within
// about one viewport above and below the visible part (and for the row holding the keyboard
// focus), kept per row identity (and its occurrence, as identities may repeat) and touched only
// when its row's data changed. Tab and Shift+Tab step through every row in list order, bringing
// the next one into view.
class SidebarListView : public QScrollArea
{
    Q_OBJECT
public:
    static constexpr int kSpacing = 2;
    static constexpr int kBottomSpace = 16;
    // Collapsing or expanding a workspace: its rows fold under the header, ease-out.
    static constexpr int kGroupToggleMs = 140;

    SidebarListView(SessionDirectory *directory, SessionSelection *selection, const WorkspaceHeaderActions *actions,
                    QWidget *parent = nullptr);

    void setHeader(QWidget *header, int height);
    // toggledWorkspaceId names the workspace whose collapse changed with these rows: its
    // session rows are folded in or out under its header instead of appearing at once.
    void setRows(std::vector<SidebarListRow> rows, const QString &toggledWorkspaceId = {});
    const std::vector<SidebarListRow> &rows() const { return m_rows; }
    // The widget showing row i of rows(), or null while the row is far from the viewport.
    QWidget *rowWidget(size_t index) const;
    // How many row widgets exist.
    int liveRowCount() const { return int(m_byKey.size()); }
    // The top of row i in the list's content, where it lies when no fold is running.
    int rowTop(size_t index) const { return index < m_tops.size() ? m_tops[index] : 0; }
    static int rowHeight(const SidebarListRow &row);
    // The nearest row at or after (forward) or at or before `from` that takes the keyboard focus.
    std::optional<size_t> focusableRow(qsizetype from, bool forward) const;
    // Scrolls row i into view and gives its widget the focus; false when it takes none.
    bool focusRow(size_t index, Qt::FocusReason reason);
    QWidget *canvas() const { return m_canvas; }
    bool isAnimating() const { return m_groupHeader != nullptr; }

Q_SIGNALS:
    // Row widgets came or went (scrolling, a rebuild): the focus chain is to be put in order.
    void liveRowsChanged();

protected:
    void resizeEvent(QResizeEvent *event) override;
    bool focusNextPrevChild(bool next) override;

private:
    using Key = QPair<QString, int>;
    QWidget *materialize(size_t index, QWidget *reuse, bool *created);
    void computeTops();
    // Creates the widgets of rows that came near the viewport and drops those that left.
    void syncLiveRows();
    void placeRows();
    int placeGroup(int y, int width);
    void finishGroupAnimation();
    bool inArrivingGroup(size_t index) const;

    SessionDirectory *m_directory;
    SessionSelection *m_selection;
    const WorkspaceHeaderActions *m_actions;
    QWidget *m_canvas;
    QWidget *m_header = nullptr;
    int m_headerHeight = 0;
    std::vector<SidebarListRow> m_rows;
    std::vector<Key> m_keys;
    std::vector<int> m_tops;
    std::vector<QWidget *> m_widgets; // by row; null when the row has no widget
    QHash<Key, QWidget *> m_byKey;
    bool m_syncing = false;

    // The rows of a workspace being folded in or out under the header at m_groupHeader.
    // Arriving rows are rows m_groupFirst up to m_groupEnd; leaving rows are no longer listed:
    // their widgets are in m_group, deleted when the fold ends.
    QVariantAnimation *m_groupAnimation;
    std::vector<QWidget *> m_group;
    QWidget *m_groupHeader = nullptr;
    size_t m_groupFirst = 0;
    size_t m_groupEnd = 0;
    bool m_groupLeaving = false;
    qreal m_groupShown = 1.0; // share of the group's full height shown
};

// The narrowest a dialog of the sidebar gets: wide enough that a sentence of Chinese text
// wraps into a few lines instead of a column of fragments.
inline constexpr int kDialogMinimumWidth = 400;

// Keeps a message box at least `width` wide (it sizes itself to its text otherwise).
void setMessageBoxMinimumWidth(QMessageBox *box, int width = kDialogMinimumWidth);

// Opens a window-modal dialog with a message, an informative text and a one-line field; on
// "确定" calls accepted with the field's text as typed. Returns the open dialog.
QDialog *openTextFieldDialog(QWidget *parent, const QString &objectName, const QString &message,
                             const QString &informative, const QString &text, int fieldWidth,
                             std::function<void(const QString &)> accepted);

} // namespace nbd
