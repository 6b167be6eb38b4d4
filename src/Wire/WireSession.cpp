#include "Wire/WireSession.h"

#include <QNetworkProxy>
#include <QNetworkReply>

namespace nbd {

WireSession::WireSession(QObject *parent) : QObject(parent)
{
    m_manager.setProxy(QNetworkProxy::NoProxy);
    m_manager.setAutoDeleteReplies(false);
}

WireSession::~WireSession() { invalidate(); }

void WireSession::invalidate()
{
    const auto replies = m_manager.findChildren<QNetworkReply *>();
    for (QNetworkReply *reply : replies)
        if (reply->isRunning())
            reply->abort();
}

} // namespace nbd
