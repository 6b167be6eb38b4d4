#pragma once

#include "UI/Shared/ElidedLabel.h"

#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QLabel>
#include <QWidget>

#include <functional>
#include <optional>
#include <utility>
#include <vector>

class QScrollArea;
class QVBoxLayout;

namespace nbd {

// The small building blocks the Settings pages share: labels that keep their theme colour
// across appearance changes, the scrolling lists, the centred progress and "nothing here"
// states, the grouped form boxes, cards and hairlines.

// A monospaced font of the given pixel size.
QFont monospacedFont(int pixelSize, QFont::Weight weight = QFont::Normal);

// A page's scrolling list: no frame, the vertical bar always shown, the canvas showing through.
// Its content is laid out in `column` with the margins and spacing given.
struct ScrollingList
{
    QScrollArea *scroll;
    QWidget *content;
    QVBoxLayout *column;
};
ScrollingList scrollingList(const QString &accessibleName, QMargins margins, int spacing, QWidget *parent);

// A plain-text label whose colour is read from the theme, so it follows the appearance.
class ThemedLabel : public QLabel
{
    Q_OBJECT
public:
    using Tone = std::function<QColor()>;

    ThemedLabel(const QString &text, const QFont &font, Tone tone, QWidget *parent = nullptr);

    void setTone(Tone tone);
    QColor toneColor() const { return m_tone ? m_tone() : QColor(); }

protected:
    void changeEvent(QEvent *event) override;

private:
    void applyTone();

    Tone m_tone;
    bool m_applying = false;
};

// A spinner above a label, centred in all the space it is given.
class ProgressState : public QWidget
{
    Q_OBJECT
public:
    explicit ProgressState(const QString &label, QWidget *parent = nullptr);
    QString label() const { return m_label; }

private:
    QString m_label;
};

// The "nothing to show" state: a large symbol above a title and an optional description,
// centred in all the space it is given.
class ContentUnavailableState : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(QString symbolName READ symbolName)
public:
    ContentUnavailableState(const QString &symbolName, const QString &title, const QString &description,
                            QWidget *parent = nullptr);
    QString symbolName() const { return m_symbolName; }
    QString title() const { return m_title; }

private:
    QString m_symbolName;
    QString m_title;
};

// A 1-pixel line filled with a theme colour; vertical lines are 1 wide, horizontal 1 high.
class Hairline : public QWidget
{
    Q_OBJECT
public:
    Hairline(Qt::Orientation orientation, std::function<QColor()> color, QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    std::function<QColor()> m_color;
};

// A filled circle in a colour that may change (a state dot). The colour is readable as the
// "dotColor" property.
class ColorDot : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(QColor dotColor READ color)
public:
    explicit ColorDot(int side, QWidget *parent = nullptr);
    void setColor(std::function<QColor()> color);
    QColor color() const { return m_color ? m_color() : QColor(); }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int m_side;
    std::function<QColor()> m_color;
};

// A rounded panel: filled with the primary colour at a low opacity and, when `border` is set,
// outlined on its inside with a 1-pixel border (the hairline, or red at half opacity while
// `alert` is set).
class CardFrame : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(bool alert READ alert)
public:
    CardFrame(qreal radius, qreal fillOpacity, QWidget *parent = nullptr, bool border = true);
    bool alert() const { return m_alert; }
    void setAlert(bool alert);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    qreal m_radius;
    qreal m_fillOpacity;
    bool m_border;
    bool m_alert = false;
};

// One group of a settings form: a small title above a rounded box whose rows are divided by
// hairlines.
class FormSection : public QWidget
{
    Q_OBJECT
public:
    explicit FormSection(const QString &title, QWidget *parent = nullptr);
    QString title() const { return m_title; }
    // Adds a row to the box; a row after the first gets a hairline above it.
    void addRow(QWidget *row);
    // A row of a label on the leading side and `value` on the trailing side.
    QWidget *addLabeledRow(const QString &label, QWidget *value);
    // Removes (and deletes) every row after the first `keep` ones.
    void truncateRows(int keep);
    int rowCount() const { return int(m_rowWidgets.size()); }

private:
    QString m_title;
    QWidget *m_box;
    QVBoxLayout *m_rows;
    // Each row with the hairline above it (none for the first).
    std::vector<std::pair<QWidget *, QWidget *>> m_rowWidgets;
};

} // namespace nbd
