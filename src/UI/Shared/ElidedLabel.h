#pragma once

#include <QColor>
#include <QFont>
#include <QWidget>

#include <functional>
#include <limits>

namespace nbd {

// The part of a host text that a row of a few lines can show: its first `limit` UTF-16 units or
// a little fewer (cut between characters), and "…" after them when there is more. Measuring or
// eliding all of a text of megabytes takes far longer than a frame, for a row that shows a
// hundred characters of it.
constexpr qsizetype kRowText = 1000;
QString rowText(const QString &text, qsizetype limit = kRowText);

// One line of plain text, cut with "…" where it does not fit (line breaks in the text show as
// spaces); the text stays its accessible name. Its width is the caller's to choose: it asks
// for the whole text and makes do with room for two "…". Of a text longer than a line can ever
// show it keeps the part it can show (its start, end, or both, as it elides).
class ElidedLabel : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(QString text READ text)
public:
    explicit ElidedLabel(const QString &text = {}, Qt::TextElideMode mode = Qt::ElideRight, QWidget *parent = nullptr);

    QString text() const { return m_text; }
    void setText(const QString &text);
    // A fixed colour, or one read at each paint so that it follows the theme; the secondary text
    // colour of the theme when unset.
    void setColor(const QColor &color);
    void setColor(std::function<QColor()> color);
    // The text as drawn at the current width.
    QString shownText() const;
    // `text` on one line: its line and paragraph breaks become blanks.
    static QString oneLine(QString text);
    // What a label eliding in `mode` keeps of `text`.
    static QString shownPart(const QString &text, Qt::TextElideMode mode);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    QString m_text;
    Qt::TextElideMode m_mode;
    std::function<QColor()> m_color;
};

// Plain text in at most `maxLines` lines, wrapped at word boundaries and inside a word too
// long for a line; text beyond the last line is cut with an ellipsis. One line never wraps.
// Of a longer text than its lines can show it keeps the start.
class ClampedLabel : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kNoLineLimit = std::numeric_limits<int>::max();

    ClampedLabel(const QString &text, const QFont &font, std::function<QColor()> color, int maxLines,
                 QWidget *parent = nullptr);

    QString text() const { return m_text; }
    void setText(const QString &text);
    int maxLines() const { return m_maxLines; }
    // The lines shown at a width (the last one elided when the text does not fit).
    QStringList shownLines(int width) const;

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString shownPart(const QString &text) const;

    QString m_text;
    std::function<QColor()> m_color;
    int m_maxLines;
};

} // namespace nbd
