#pragma once

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QString>

namespace nbd {

// Labels for host and user text: always plain text (never guessed rich text), optionally
// selectable and wrapping.
struct TextLabels
{
    enum Option { NoOption = 0, Wrap = 1, Selectable = 2 };

    static QLabel *make(const QString &text, const QFont &font, const QColor &color, int options,
                        QWidget *parent = nullptr);
    static void setColor(QWidget *widget, const QColor &color);
    static QFont monospace(int pixelSize, QFont::Weight weight = QFont::Normal);
};

// One line of plain text, cut with "…" where it does not fit; the full text stays its
// accessible name.
class ElidedLabel : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(QString text READ text)
public:
    explicit ElidedLabel(const QString &text = {}, Qt::TextElideMode mode = Qt::ElideRight, QWidget *parent = nullptr);

    QString text() const { return m_text; }
    void setText(const QString &text);
    void setColor(const QColor &color);
    // The text as drawn at the current width.
    QString shownText() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    QString m_text;
    Qt::TextElideMode m_mode;
    QColor m_color;
};

} // namespace nbd
