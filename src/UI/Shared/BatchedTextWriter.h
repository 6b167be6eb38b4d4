#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTextCharFormat>

#include <deque>

class QPlainTextEdit;
class QTimer;

namespace nbd {

// Writes text of any length into a plain text view a batch at a time: at most `linesPerBatch`
// lines and kBatchChars characters per `intervalMs`, so that no single write lays out more
// than a few milliseconds of text. A batch that fits is written at once, inside append();
// what does not fit waits for the next interval.
//
// With `maxLines` set, the view keeps only its last lines, and queued text that would scroll
// out before it is written is never written. With `maxLineChars` set, a longer line goes on
// in a new line, so that one endless line cannot grow a single paragraph without bound.
class BatchedTextWriter : public QObject
{
    Q_OBJECT
public:
    static constexpr qsizetype kBatchChars = 256 * 1024;

    struct Limits
    {
        int linesPerBatch = 2000;
        int intervalMs = 50;
        int maxLines = 0; // 0: every line stays
        int maxLineChars = 0; // 0: lines of any length
    };

    BatchedTextWriter(QPlainTextEdit *view, Limits limits, QObject *parent = nullptr);

    // Queues text (without its final line break) that starts a new line when the view
    // already shows text, or, with startsLine false, goes on in the last line.
    void append(const QString &text, const QTextCharFormat &format = {}, bool startsLine = true);
    // Empties the view and drops what is queued.
    void clear();
    bool hasPending() const { return !m_pending.empty(); }

Q_SIGNALS:
    // A batch was written.
    void wrote();

private:
    struct Piece
    {
        QString text;
        QTextCharFormat format;
        bool startsLine = true;
    };

    void dropUnshown();
    void dropOldestShown();
    void flush();

    QPointer<QPlainTextEdit> m_view;
    Limits m_limits;
    QTimer *m_timer;
    std::deque<Piece> m_pending;
    qsizetype m_pendingLines = 0;
    // Lines and characters written since the current interval began.
    int m_batchLines = 0;
    qsizetype m_batchChars = 0;
    bool m_hasText = false;
    // Characters of the view's last line, against maxLineChars.
    qsizetype m_lineChars = 0;
    // The queued text alone fills maxLines: what the view shows goes when it is written.
    bool m_replaceShown = false;
};

} // namespace nbd
