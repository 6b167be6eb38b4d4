#pragma once

#include "Session/Transcript.h"

#include <QString>
#include <QStringList>

#include <algorithm>

// A line-per-fact text rendering of a FoldState, so that tests compare whole states and a
// failure shows what differs. Fields at their fresh value are left out.
namespace nbd::test {

inline QString quoted(const QString &text)
{
    QString out = text;
    out.replace(u'\\', QStringLiteral("\\\\")).replace(u'\n', QStringLiteral("\\n")).replace(u'\r', QStringLiteral("\\r"));
    return u'"' + out + u'"';
}

inline QString jsonText(const JSONValue &value)
{
    return QString::fromUtf8(value.data().value_or(QByteArray("<nan>")));
}

inline QString kindName(BlockKind kind)
{
    switch (kind) {
    case BlockKind::text: return QStringLiteral("text");
    case BlockKind::reasoning: return QStringLiteral("reasoning");
    case BlockKind::toolCall: return QStringLiteral("toolCall");
    }
    return {};
}

inline QString tintName(NoticeTint tint)
{
    switch (tint) {
    case NoticeTint::neutral: return QStringLiteral("neutral");
    case NoticeTint::info: return QStringLiteral("info");
    case NoticeTint::warning: return QStringLiteral("warning");
    case NoticeTint::danger: return QStringLiteral("danger");
    }
    return {};
}

inline QString reasonName(TurnEndReason reason)
{
    switch (reason) {
    case TurnEndReason::completed: return QStringLiteral("completed");
    case TurnEndReason::aborted: return QStringLiteral("aborted");
    case TurnEndReason::blocked: return QStringLiteral("blocked");
    case TurnEndReason::error: return QStringLiteral("error");
    case TurnEndReason::maxTokens: return QStringLiteral("maxTokens");
    case TurnEndReason::interrupted: return QStringLiteral("interrupted");
    case TurnEndReason::unknown: return QStringLiteral("unknown");
    }
    return {};
}

inline QString seqText(qint64 seq)
{
    return seq == kUnnumberedSeq ? QStringLiteral("max") : QString::number(seq);
}

inline QString dumpBlock(const BlockItem &b)
{
    QString line = kindName(b.kind) + QStringLiteral(" #") + QString::number(b.index) + QStringLiteral(" seq ") + seqText(b.seq);
    if (!b.text.isEmpty())
        line += u' ' + quoted(b.text);
    if (b.toolCallId)
        line += QStringLiteral(" id=") + *b.toolCallId;
    if (b.toolName)
        line += QStringLiteral(" name=") + quoted(*b.toolName);
    if (!b.arguments.isEmpty())
        line += QStringLiteral(" args=") + quoted(b.arguments);
    if (b.resultText)
        line += QStringLiteral(" result=") + quoted(*b.resultText);
    if (b.resultIsError)
        line += QStringLiteral(" error");
    if (b.callView)
        line += QStringLiteral(" callView=") + jsonText(*b.callView);
    if (b.resultView)
        line += QStringLiteral(" resultView=") + jsonText(*b.resultView);
    return line;
}

inline QStringList dumpItem(const TranscriptItem &item)
{
    QStringList lines;
    if (const auto *u = std::get_if<UserMessageItem>(&item)) {
        QString line = QStringLiteral("user ") + u->id + QStringLiteral(" seq ") + QString::number(u->seq) + u' ' + quoted(u->text);
        if (u->sourceKind != u"user")
            line += QStringLiteral(" source=") + u->sourceKind;
        for (const ImageAttachmentRef &img : u->images) {
            line += QStringLiteral(" image(%1 %2 %3B %4x%5%6)")
                        .arg(img.attachmentId, img.mediaType)
                        .arg(img.bytes)
                        .arg(img.width)
                        .arg(img.height)
                        .arg(img.name ? u' ' + *img.name : QString());
        }
        lines << line;
    } else if (const auto *t = std::get_if<TurnItem>(&item)) {
        QString status = t->status.isRunning() ? QStringLiteral("running")
                                               : QStringLiteral("finished ") + reasonName(*t->status.endReason());
        lines << QStringLiteral("turn ") + QString::number(t->turn) + u' ' + status;
        for (const StepItem &s : t->steps) {
            lines << QStringLiteral("  step ") + QString::number(s.step);
            for (const BlockItem &b : s.blocks)
                lines << QStringLiteral("    ") + dumpBlock(b);
        }
    } else if (const auto *n = std::get_if<NoticeItem>(&item)) {
        QString line = QStringLiteral("notice ") + n->id + QStringLiteral(" seq ") + QString::number(n->seq) + u' ' + n->icon
                       + u' ' + tintName(n->tint) + QStringLiteral(" x") + QString::number(n->occurrenceCount) + u' '
                       + quoted(n->text);
        if (n->detail)
            line += QStringLiteral(" detail=") + quoted(*n->detail);
        if (n->payload)
            line += QStringLiteral(" payload=") + quoted(*n->payload);
        lines << line;
    }
    return lines;
}

inline QString optText(const std::optional<qint64> &v)
{
    return v ? QString::number(*v) : QStringLiteral("-");
}

inline QString dumpState(const FoldState &s)
{
    QStringList lines;
    QStringList runs;
    s.seenSeqs.forEachRun([&](SeqSet::Run r) {
        runs << (r.first == r.last ? QString::number(r.first) : QString::number(r.first) + u'-' + QString::number(r.last));
    });
    lines << QStringLiteral("lastSeq ") + QString::number(s.lastSeq) + QStringLiteral(" seen [") + runs.join(u',') + u']';
    for (const TranscriptItem &item : s.items)
        lines << dumpItem(item);
    if (!s.projectionKeys.isEmpty()) {
        QStringList keys(s.projectionKeys.begin(), s.projectionKeys.end());
        keys.sort();
        lines << QStringLiteral("projectionKeys ") + keys.join(u',');
    }
    if (s.title)
        lines << QStringLiteral("title ") + quoted(*s.title);
    if (s.goal) {
        const GoalSnapshot &g = s.goal->goal;
        lines << QStringLiteral("goal %1 r%2 %3 %4 blocked=%5 max=%6 rounds=%7 created=%8 updated=%9")
                     .arg(g.id)
                     .arg(g.revision)
                     .arg(quoted(g.objective), g.phase, g.blockedReason ? quoted(*g.blockedReason) : QStringLiteral("-"),
                          optText(g.maxGoalRounds))
                     .arg(s.goal->roundsStarted)
                     .arg(s.goal->createdAt)
                     .arg(s.goal->updatedAt);
    }
    if (!s.todos.empty()) {
        QStringList todos;
        for (const TodoItem &t : s.todos)
            todos << t.content + u':' + t.status;
        lines << QStringLiteral("todos ") + todos.join(u',');
    }
    if (s.usage) {
        lines << QStringLiteral("usage in=%1 out=%2 cacheRead=%3 cacheWrite=%4 reasoning=%5")
                     .arg(s.usage->inputTokens)
                     .arg(s.usage->outputTokens)
                     .arg(optText(s.usage->cacheReadTokens), optText(s.usage->cacheWriteTokens),
                          optText(s.usage->reasoningTokens));
    }
    if (s.stats) {
        const SessionStats &st = *s.stats;
        lines << QStringLiteral("stats turns=%1 steps=%2 llm=%3 tool=%4 ttft=%5 ttftSteps=%6 decode=%7 decodeTokens=%8")
                     .arg(st.turns)
                     .arg(st.steps)
                     .arg(st.llmMs)
                     .arg(st.toolMs)
                     .arg(optText(st.ttftMs), optText(st.ttftSteps), optText(st.decodeMs), optText(st.decodeTokens));
    }
    if (s.planActive || s.planPending)
        lines << QStringLiteral("plan active=%1 pending=%2")
                     .arg(s.planActive ? QStringLiteral("true") : QStringLiteral("false"),
                          s.planPending ? QStringLiteral("true") : QStringLiteral("false"));
    if (s.permissions) {
        QStringList options;
        for (const PermissionOption &o : s.permissions->options)
            options << o.value + u'/' + o.name + (o.description ? u'/' + *o.description : QString());
        lines << QStringLiteral("permissions current=") + s.permissions->currentValue + QStringLiteral(" options=")
                     + options.join(u',');
    }
    const auto opt = [&](const char16_t *name, const std::optional<QString> &v) {
        if (v)
            lines << QString::fromUtf16(name) + u' ' + quoted(*v);
    };
    opt(u"permissionPreset", s.permissionPreset);
    opt(u"sandboxMode", s.sandboxMode);
    opt(u"agentPreset", s.agentPreset);
    opt(u"subagentMode", s.subagentMode);
    opt(u"subagentLabel", s.subagentLabel);
    return lines.join(u'\n');
}

} // namespace nbd::test
