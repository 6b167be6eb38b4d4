#pragma once

#include <QChar>
#include <QFont>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTextCharFormat>

#include <bitset>
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
//
// Text is shown as a terminal shows bytes it cannot print: shownText(). Only the blocks in
// sight and kLaidOutMargin blocks either side keep their layouts; a block scrolled further
// away lets go of its lines and glyphs, and is laid out again when it comes back.
class BatchedTextWriter : public QObject
{
    Q_OBJECT
public:
    static constexpr qsizetype kBatchChars = 256 * 1024;
    static constexpr int kLaidOutMargin = 50;
    // The first text of a script the view's font has not met makes Qt look for a font of that
    // script, which for some scripts opens every installed font: the writer meets them ahead,
    // for about this long per turn of the event loop, and holds back text of a script it
    // has not met yet.
    static constexpr int kScriptLookupMs = 8;

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

    // The text as the view shows it: a carriage return (alone or before a line feed) and a
    // paragraph separator end the line; every other control character except tab, and code
    // points that are unassigned, private-use or lone surrogates, show as U+FFFD. Text of
    // every script, combining marks, joiners and emoji sequences stays as it is.
    static QString shownText(const QString &text);

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

    // Meets the scripts of the text the next batch may write, within the turn's time; false
    // while some are still to meet.
    bool meetScripts();
    void scheduleRelease();
    // Lets go of the layouts of blocks more than kLaidOutMargin blocks away from those shown.
    void releaseFarLayouts();
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
    // The scripts the view's font has met, and that font.
    std::bitset<QChar::ScriptCount> m_metScripts;
    QFont m_metFont;
    bool m_meetScheduled = false;
    bool m_releaseScheduled = false;
};

} // namespace nbd
