#include "UI/Tools/WorkspaceTerminal.h"

#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/PlaceholderSupport.h"
#include "UI/Shared/Theme.h"

#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

WorkspaceTerminalModel::WorkspaceTerminalModel(QObject *parent)
    : QObject(parent)
    , m_currentDirectoryURL(QUrl::fromLocalFile(QDir::homePath()))
{
}

void WorkspaceTerminalModel::useDirectory(const QUrl &directory)
{
    if (m_isRunning || !directory.isLocalFile())
        return;
    const QFileInfo info(directory.toLocalFile());
    if (!info.isDir())
        return;
    m_currentDirectoryURL = QUrl::fromLocalFile(QDir::cleanPath(info.absoluteFilePath()));
    ++m_revision;
    Q_EMIT changed();
}

WorkspaceTerminalDock::WorkspaceTerminalDock(WorkspaceTerminalModel *terminal, std::function<void()> onClose,
                                             QWidget *parent)
    : QWidget(parent)
    , m_terminal(terminal)
    , m_onClose(std::move(onClose))
    , m_surface(new PlaceholderSurface(u"终端（占位）"_s, PlaceholderSurface::Fill::None, this))
{
    setObjectName(u"workspace-terminal"_s);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 6, 8, 8);
    auto *header = new QHBoxLayout;
    header->addStretch();
    auto *close = new ChromeIconButton(u"xmark"_s, u"关闭终端"_s, std::nullopt, [this] {
        if (m_onClose)
            m_onClose();
    });
    close->setObjectName(u"workspace-terminal-close"_s);
    header->addWidget(close);
    layout->addLayout(header);
    layout->addWidget(m_surface, 1);
    const auto show = [this] { m_surface->setDetail(m_terminal->currentDirectoryURL().toLocalFile()); };
    connect(terminal, &WorkspaceTerminalModel::changed, this, show);
    show();
}

void WorkspaceTerminalDock::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Theme::canvas());
}

} // namespace nbd
