#include "Session/Transcript.h"

#include "Domain/ProtocolNames.h"

namespace nbd {

QString label(TurnEndReason reason)
{
    switch (reason) {
    case TurnEndReason::completed: return QStringLiteral("已完成");
    case TurnEndReason::aborted: return names::turnAbortedLabel.toString();
    case TurnEndReason::blocked: return QStringLiteral("受阻");
    case TurnEndReason::error: return QStringLiteral("出错");
    case TurnEndReason::maxTokens: return QStringLiteral("达到 token 上限");
    case TurnEndReason::interrupted: return names::turnInterruptedLabel.toString();
    case TurnEndReason::unknown: break;
    }
    return names::turnUnknownLabel.toString();
}

std::optional<TurnEndReason> turnEndReasonFromHostWord(QStringView word) noexcept
{
    if (word == u"completed")
        return TurnEndReason::completed;
    if (word == u"aborted")
        return TurnEndReason::aborted;
    if (word == u"blocked")
        return TurnEndReason::blocked;
    if (word == u"error")
        return TurnEndReason::error;
    if (word == u"max-tokens")
        return TurnEndReason::maxTokens;
    if (word == u"interrupted")
        return TurnEndReason::interrupted;
    return std::nullopt;
}

QString transcriptItemId(const TranscriptItem &item)
{
    struct Visitor
    {
        QString operator()(const UserMessageItem &m) const { return m.id; }
        QString operator()(const TurnItem &t) const { return QStringLiteral("t-") + QString::number(t.turn); }
        QString operator()(const NoticeItem &n) const { return n.id; }
    };
    return std::visit(Visitor{}, item);
}

} // namespace nbd
