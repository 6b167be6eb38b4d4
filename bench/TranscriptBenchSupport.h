#pragma once

// What the transcript benchmarks share: live events fed straight into a session model, and
// figures printed as "name: value".

#include "SimSessions.h"
#include "Domain/SessionEvents.h"
#include "Session/SessionModel.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <optional>

namespace nbd::bench {

// Gives each draft the next seq and applies it as a live event.
class Feeder
{
public:
    explicit Feeder(SessionModel *model) : m_model(model) {}
    void operator()(JSONValue draft, std::optional<JSONValue> view = std::nullopt)
    {
        JSONValue event = draft.with(QStringLiteral("seq"), JSONValue(++m_seq)).with(QStringLiteral("time"), JSONValue(0.0));
        m_model->applyLive(SessionEvent::fromLiveValue(event), view);
    }

    // The first turn, finished: the user asks for a report, one step answers with `answer`.
    void finishedAnswer(const QString &answer)
    {
        namespace events = sim::events;
        (*this)(events::userMessage(QStringLiteral("m1"), QStringLiteral("写一份报告")));
        (*this)(events::turnStart(1));
        (*this)(events::stepStart(1, 1));
        (*this)(events::assistantMessage(1, 1, answer));
        (*this)(events::turnEnd(1));
    }

    // The first turn's first step, the turn left open: the user's `request`, then one call of
    // `tool` ("c1") and its `result`, shown with `view` when one is given.
    void toolCallStep(const QString &request, const QString &tool, const QString &result, std::optional<JSONValue> view)
    {
        namespace events = sim::events;
        (*this)(events::userMessage(QStringLiteral("m1"), request));
        (*this)(events::turnStart(1));
        (*this)(events::stepStart(1, 1));
        (*this)(events::assistantMessage(1, 1, QString(), {{QStringLiteral("c1"), tool}}));
        (*this)(events::toolResult(1, 1, QStringLiteral("c1"), result),
                view ? std::optional<JSONValue>(events::toolView(QStringLiteral("c1"), *view)) : std::nullopt);
    }

    // A finished turn: the user's message "m<turn>", then one step answering with one text delta.
    void answeredTurn(int turn, const QString &question, const QString &answer)
    {
        namespace events = sim::events;
        (*this)(events::userMessage(QStringLiteral("m") + QString::number(turn), question));
        (*this)(events::turnStart(turn));
        (*this)(events::stepStart(turn, 1));
        (*this)(events::textDelta(turn, 1, 0, answer));
        (*this)(events::assistantMessage(turn, 1, answer));
        (*this)(events::turnEnd(turn));
    }

private:
    SessionModel *m_model;
    qint64 m_seq = 0;
};

// Until the model's coalesced publish has gone out and what it posted is delivered.
inline void settle(SessionModel *model)
{
    while (model->isTranscriptPublishScheduled())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QCoreApplication::processEvents();
}

inline double msSince(const QElapsedTimer &t) { return double(t.nsecsElapsed()) / 1e6; }

// Bytes the allocator hands out now, over all arenas.
inline double heapBytes()
{
    const struct mallinfo2 info = ::mallinfo2();
    return double(info.uordblks) + double(info.hblkhd);
}

inline double residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toDouble() * double(::sysconf(_SC_PAGESIZE)) : 0;
}

inline double rssMb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return 0;
}

// Two decimals, whatever the locale.
inline void print(const char *name, double value)
{
    std::printf("%s: %s\n", name, QByteArray::number(value, 'f', 2).constData());
    std::fflush(stdout);
}

} // namespace nbd::bench
