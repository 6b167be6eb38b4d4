#include "UI/Shared/BatchedTextWriter.h"

#include "Domain/Graphemes.h"

#include <QElapsedTimer>
#include <QFontMetricsF>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>
#include <QTimer>

#include <cmath>

namespace nbd {

namespace {

qsizetype lineCount(QStringView text) { return 1 + text.count(u'\n'); }

bool isUnshowable(char32_t codePoint)
{
    switch (QChar::category(codePoint)) {
    case QChar::Other_Control:
    case QChar::Other_NotAssigned:
    case QChar::Other_PrivateUse:
    case QChar::Other_Surrogate:
        return true;
    default:
        return false;
    }
}

// The code point at `at` and its length in units; a lone surrogate is one unit.
std::pair<char32_t, qsizetype> codePointAt(QStringView text, qsizetype at)
{
    const QChar unit = text.at(at);
    if (unit.isHighSurrogate() && at + 1 < text.size() && text.at(at + 1).isLowSurrogate())
        return {QChar::surrogateToUcs4(unit, text.at(at + 1)), 2};
    return {unit.unicode(), 1};
}

} // namespace

QString BatchedTextWriter::shownText(const QString &text)
{
    QString shown;
    qsizetype copied = 0; // units of `text` accounted for in `shown`
    const qsizetype size = text.size();
    for (qsizetype at = 0; at < size;) {
        const char16_t unit = text.at(at).unicode();
        if ((unit >= 0x20 && unit < 0x7F) || unit == u'\n' || unit == u'\t') {
            ++at;
            continue;
        }
        const auto [codePoint, length] = codePointAt(text, at);
        QChar replacement;
        qsizetype replaced = length;
        if (codePoint == u'\r') {
            replacement = u'\n';
            if (at + 1 < size && text.at(at + 1) == u'\n')
                replaced = 2;
        } else if (codePoint == QChar::ParagraphSeparator) {
            replacement = u'\n';
        } else if (isUnshowable(codePoint)) {
            replacement = QChar(QChar::ReplacementCharacter);
        } else {
            at += length;
            continue;
        }
        if (shown.isEmpty())
            shown.reserve(size);
        shown.append(QStringView(text).mid(copied, at - copied));
        shown.append(replacement);
        at += replaced;
        copied = at;
    }
    if (copied == 0)
        return text;
    shown.append(QStringView(text).mid(copied));
    return shown;
}

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
    connect(view->verticalScrollBar(), &QScrollBar::valueChanged, this, &BatchedTextWriter::scheduleRelease);
    connect(this, &BatchedTextWriter::wrote, this, &BatchedTextWriter::scheduleRelease);
}

void BatchedTextWriter::append(const QString &text, const QTextCharFormat &format, bool startsLine)
{
    QString shown = shownText(text);
    m_pendingLines += lineCount(shown);
    m_pending.push_back(Piece{std::move(shown), format, startsLine});
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

bool BatchedTextWriter::meetScripts()
{
    const QFont font = m_view->document()->defaultFont();
    if (font != m_metFont) {
        m_metFont = font;
        m_metScripts.reset();
    }
    QElapsedTimer clock;
    clock.start();
    bool metAny = false;
    qsizetype reach = kBatchChars; // the most the next batch writes
    for (const Piece &piece : m_pending) {
        const QStringView text = QStringView(piece.text).left(reach);
        for (qsizetype at = 0; at < text.size();) {
            if (text.at(at).unicode() < 0x80) {
                ++at;
                continue;
            }
            const auto [codePoint, length] = codePointAt(text, at);
            at += length;
            // Common, inherited and Latin text is laid out with the font itself.
            const QChar::Script script = QChar::script(codePoint);
            if (script <= QChar::Script_Latin || m_metScripts.test(script))
                continue;
            if (metAny && clock.elapsed() >= kScriptLookupMs)
                return false;
            const QString sample = QString::fromUcs4(&codePoint, 1);
            QTextLayout layout(sample, font);
            layout.beginLayout();
            layout.createLine();
            layout.endLayout();
            m_metScripts.set(script);
            metAny = true;
        }
        reach -= text.size();
        if (reach <= 0)
            break;
    }
    return true;
}

void BatchedTextWriter::scheduleRelease()
{
    if (std::exchange(m_releaseScheduled, true))
        return;
    QTimer::singleShot(0, this, [this] {
        m_releaseScheduled = false;
        releaseFarLayouts();
    });
}

void BatchedTextWriter::releaseFarLayouts()
{
    if (!m_view)
        return;
    QTextDocument *document = m_view->document();
    // The scroll bar of a plain text view counts lines from the top of the document.
    const int firstLine = m_view->verticalScrollBar()->value();
    const qreal lineHeight = std::max<qreal>(1, QFontMetricsF(document->defaultFont()).lineSpacing());
    const int shownLines = int(std::ceil(m_view->viewport()->height() / lineHeight)) + 1;
    const int first = document->findBlockByLineNumber(firstLine).blockNumber();
    QTextBlock lastShown = document->findBlockByLineNumber(firstLine + shownLines);
    const int last = lastShown.isValid() ? lastShown.blockNumber() : document->blockCount() - 1;
    int number = 0;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next(), ++number) {
        if (number >= first - kLaidOutMargin && number <= last + kLaidOutMargin)
            continue;
        QTextLayout *layout = block.layout();
        // A new text frees the lines and glyphs; a block's own layout takes its text from the
        // block when it is laid out again.
        if (layout && layout->lineCount() > 0)
            layout->setText(QString());
    }
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
    if (!meetScripts()) {
        if (!std::exchange(m_meetScheduled, true)) {
            QTimer::singleShot(0, this, [this] {
                m_meetScheduled = false;
                if (!m_pending.empty())
                    flush();
            });
        }
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
