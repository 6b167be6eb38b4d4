#include "UI/Shared/BatchedTextWriter.h"

#include "Domain/Graphemes.h"

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

namespace nbd {

namespace {

qsizetype lineCount(QStringView text) { return 1 + text.count(u'\n'); }

} // namespace

BatchedTextWriter::BatchedTextWriter(QPlainTextEdit *view, Limits limits, QObject *parent)
    : QObject(parent)
    , m_view(view)
    , m_limits(limits)
    , m_timer(new QTimer(this))
{
    // The view's own block limit moves a cursor over each block it drops, laying every one of
    // them out: the writer drops the oldest lines itself. Nothing is undone in an output view.
    if (m_limits.maxLines > 0)
        view->document()->setUndoRedoEnabled(false);
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
    m_lineChars = 0;
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

// The view keeps its last maxLines lines.
void BatchedTextWriter::dropOldestShown()
{
    QTextDocument *document = m_view->document();
    const int excess = document->blockCount() - m_limits.maxLines;
    if (m_limits.maxLines <= 0 || excess <= 0)
        return;
    QTextCursor oldest(document);
    oldest.setPosition(document->findBlockByNumber(excess).position(), QTextCursor::KeepAnchor);
    oldest.removeSelectedText();
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
        m_lineChars = 0;
        m_replaceShown = false;
    }
    QTextCursor cursor(m_view->document());
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    bool wroteAny = false;
    const qsizetype maxLineChars = m_limits.maxLineChars > 0 ? m_limits.maxLineChars : kBatchChars;
    while (!m_pending.empty() && m_batchLines < m_limits.linesPerBatch && m_batchChars < kBatchChars) {
        Piece &piece = m_pending.front();
        const QString &text = piece.text;
        const bool newLine = piece.startsLine && m_hasText;
        qsizetype lineChars = newLine ? 0 : m_lineChars;
        // Walk the piece line by line, as far as the batch allows: what is written goes to
        // `out`, with a line break where a line longer than maxLineChars goes on in the next;
        // the rest (from `at`) waits, going on in the last line written.
        QString out;
        qsizetype at = 0;
        qsizetype breaks = 0; // line breaks of the text consumed
        bool done = false;
        while (m_batchLines < m_limits.linesPerBatch && m_batchChars + out.size() < kBatchChars) {
            qsizetype lineEnd = text.indexOf(u'\n', at);
            if (lineEnd < 0)
                lineEnd = text.size();
            const QStringView line = QStringView(text).left(lineEnd);
            if (lineChars >= maxLineChars && at < lineEnd) {
                out += u'\n';
                lineChars = 0;
                ++m_batchLines;
                continue;
            }
            qsizetype stop = lineEnd;
            if (stop - at > maxLineChars - lineChars)
                stop = Graphemes::pieceEnd(line, at, maxLineChars - lineChars);
            const qsizetype room = kBatchChars - m_batchChars - out.size();
            if (stop - at > room)
                stop = Graphemes::pieceEnd(line, at, room);
            out += QStringView(text).mid(at, stop - at);
            lineChars += stop - at;
            at = stop;
            if (at < lineEnd)
                continue; // a long line's row is full, or the batch is
            if (lineEnd == text.size()) {
                ++m_batchLines;
                done = true;
                break;
            }
            out += u'\n';
            at = lineEnd + 1;
            ++breaks;
            lineChars = 0;
            ++m_batchLines;
        }
        if (out.isEmpty() && !done && !newLine)
            break;
        if (newLine)
            cursor.insertBlock();
        cursor.insertText(out, piece.format);
        m_hasText = true;
        m_lineChars = lineChars;
        wroteAny = true;
        m_batchChars += out.size();
        if (done) {
            m_pendingLines -= breaks + 1;
            m_pending.pop_front();
        } else {
            m_pendingLines -= breaks;
            piece.text.remove(0, at);
            piece.startsLine = false;
        }
    }
    dropOldestShown();
    cursor.endEditBlock();
    if (!wroteAny)
        return;
    if (!m_timer->isActive())
        m_timer->start();
    Q_EMIT wrote();
}

} // namespace nbd
