#include "UI/Shared/BatchedTextWriter.h"

#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTimer>

namespace nbd {

namespace {

qsizetype lineCount(QStringView text) { return 1 + text.count(u'\n'); }

// A cut never separates the two halves of a surrogate pair.
qsizetype cutAt(const QString &text, qsizetype cut, qsizetype floor)
{
    if (cut > floor && cut < text.size() && text.at(cut - 1).isHighSurrogate())
        --cut;
    return cut;
}

} // namespace

BatchedTextWriter::BatchedTextWriter(QPlainTextEdit *view, Limits limits, QObject *parent)
    : QObject(parent)
    , m_view(view)
    , m_limits(limits)
    , m_timer(new QTimer(this))
{
    if (m_limits.maxLines > 0)
        view->setMaximumBlockCount(m_limits.maxLines);
    m_timer->setSingleShot(true);
    m_timer->setTimerType(Qt::PreciseTimer);
    m_timer->setInterval(m_limits.intervalMs);
    connect(m_timer, &QTimer::timeout, this, [this] {
        m_batchLines = 0;
        m_batchChars = 0;
        if (!m_pending.empty())
            flush();
    });
}

void BatchedTextWriter::append(const QString &text, const QTextCharFormat &format, bool startsLine)
{
    m_pendingLines += lineCount(text);
    m_pending.push_back(Piece{text, format, startsLine});
    dropUnshown();
    if (m_batchLines < m_limits.linesPerBatch && m_batchChars < kBatchChars)
        flush();
}

void BatchedTextWriter::clear()
{
    if (m_view)
        m_view->clear();
    m_pending.clear();
    m_pendingLines = 0;
    m_hasText = false;
    m_replaceShown = false;
}

void BatchedTextWriter::dropUnshown()
{
    const qsizetype maxLines = m_limits.maxLines;
    if (maxLines <= 0 || m_pendingLines <= maxLines)
        return;
    m_replaceShown = true;
    while (m_pendingLines > maxLines) {
        Piece &front = m_pending.front();
        const qsizetype lines = lineCount(front.text);
        if (m_pendingLines - lines >= maxLines) {
            m_pendingLines -= lines;
            m_pending.pop_front();
            continue;
        }
        qsizetype cut = 0;
        for (qsizetype drop = m_pendingLines - maxLines; drop > 0; --drop)
            cut = front.text.indexOf(u'\n', cut) + 1;
        front.text.remove(0, cut);
        front.startsLine = true;
        m_pendingLines = maxLines;
    }
}

void BatchedTextWriter::flush()
{
    if (!m_view) {
        m_pending.clear();
        return;
    }
    if (m_replaceShown) {
        m_view->clear();
        m_hasText = false;
        m_replaceShown = false;
    }
    QTextCursor cursor(m_view->document());
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    bool wroteAny = false;
    while (!m_pending.empty() && m_batchLines < m_limits.linesPerBatch && m_batchChars < kBatchChars) {
        Piece &piece = m_pending.front();
        const QString &text = piece.text;
        // Walk the piece line by line, as far as the batch allows: `take` characters are
        // written, the rest (from `resume`) waits, on a line of its own or going on in the
        // last one.
        qsizetype take = text.size();
        qsizetype resume = -1;
        bool restStartsLine = true;
        qsizetype lineStart = 0;
        qsizetype previousEnd = 0;
        for (;;) {
            if (lineStart > 0 && m_batchChars + lineStart >= kBatchChars) {
                take = previousEnd;
                resume = lineStart;
                break;
            }
            qsizetype lineEnd = text.indexOf(u'\n', lineStart);
            bool last = lineEnd < 0;
            if (last)
                lineEnd = text.size();
            qsizetype next = lineEnd + 1;
            if (m_limits.maxLineChars > 0 && lineEnd - lineStart > m_limits.maxLineChars) {
                lineEnd = cutAt(text, lineStart + m_limits.maxLineChars, lineStart);
                next = lineEnd;
                last = false;
            }
            if (m_batchChars + lineEnd > kBatchChars) {
                take = cutAt(text, kBatchChars - m_batchChars, lineStart);
                resume = take;
                restStartsLine = false;
                ++m_batchLines;
                break;
            }
            ++m_batchLines;
            if (last)
                break;
            if (m_batchLines >= m_limits.linesPerBatch) {
                take = lineEnd;
                resume = next;
                break;
            }
            previousEnd = lineEnd;
            lineStart = next;
        }
        if (piece.startsLine && m_hasText)
            cursor.insertBlock();
        cursor.insertText(take == text.size() ? text : text.left(take), piece.format);
        m_hasText = true;
        wroteAny = true;
        m_batchChars += take;
        if (resume < 0) {
            m_pendingLines -= lineCount(text);
            m_pending.pop_front();
        } else {
            m_pendingLines -= QStringView(text).left(resume).count(u'\n');
            piece.text.remove(0, resume);
            piece.startsLine = restStartsLine;
        }
    }
    cursor.endEditBlock();
    if (!wroteAny)
        return;
    if (!m_timer->isActive())
        m_timer->start();
    Q_EMIT wrote();
}

} // namespace nbd
