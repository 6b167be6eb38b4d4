#pragma once

#include <QObject>
#include <QUrl>
#include <QWidget>

#include <functional>

namespace nbd {

class PlaceholderSurface;

// The terminal's shell state. The window creates it in the user's home directory; the dock
// runs commands in its current directory.
class WorkspaceTerminalModel : public QObject
{
    Q_OBJECT
public:
    explicit WorkspaceTerminalModel(QObject *parent = nullptr);

    QUrl currentDirectoryURL() const { return m_currentDirectoryURL; }
    bool isRunning() const { return m_isRunning; }
    int revision() const { return m_revision; }

    // Moves to the directory when it exists and no command runs; otherwise does nothing.
    void useDirectory(const QUrl &directory);

Q_SIGNALS:
    void changed();

private:
    QUrl m_currentDirectoryURL;
    bool m_isRunning = false;
    int m_revision = 0;
};

// The terminal dock under the workspace. Placeholder until the terminal is built: it names the
// current directory and closes.
class WorkspaceTerminalDock : public QWidget
{
    Q_OBJECT
public:
    WorkspaceTerminalDock(WorkspaceTerminalModel *terminal, std::function<void()> onClose, QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    WorkspaceTerminalModel *m_terminal;
    std::function<void()> m_onClose;
    PlaceholderSurface *m_surface;
};

} // namespace nbd
