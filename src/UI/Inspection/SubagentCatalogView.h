#pragma once

#include "UI/Inspection/SubagentCatalog.h"

#include <QPointer>
#include <QToolButton>

class QMenu;

namespace nbd {

class SessionDirectory;
class SessionSelection;

// The pull-down button of the conversation header that lists the subagent runs under the
// shown session (and theirs, indented), with the number of healthy runs on the button.
// Choosing a run opens it; the last item reloads the lists. Hidden while there is nothing to
// list and nothing is loading.
class SubagentCatalogView : public QToolButton
{
    Q_OBJECT
public:
    SubagentCatalogView(SessionDirectory *directory, SessionSelection *selection, QString rootSessionId,
                        QWidget *parent = nullptr);

    const QString &rootSessionId() const { return m_rootSessionId; }
    void setRootSessionId(QString rootSessionId);
    std::vector<SubagentCatalogRow> rows() const;
    int healthyCount() const { return m_healthy; }
    int runningCount() const { return m_running; }
    // The menu as it is shown; rebuilt before each showing and on every change of the lists.
    QMenu *catalogMenu() const { return m_menu; }

    QSize sizeHint() const override;
    // Runs the menu lists before its "显示更多" item, and adds at each choice of it.
    static constexpr qsizetype kMenuRowsPerPage = 50;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void refresh();
    void rebuildMenu();
    void selectRow(const SubagentCatalogRow &row);

    QPointer<SessionDirectory> m_directory;
    QPointer<SessionSelection> m_selection;
    QString m_rootSessionId;
    QMenu *m_menu;
    int m_healthy = 0;
    int m_running = 0;
    qsizetype m_menuRows = kMenuRowsPerPage;
};

} // namespace nbd
