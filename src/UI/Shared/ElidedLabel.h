#pragma once

#include <QColor>
#include <QWidget>

#include <functional>

namespace nbd {

// One line of plain text, cut with "…" where it does not fit (line breaks in the text show as
// spaces); the full text stays its accessible name. Its width is the caller's to choose: it asks
// for the whole text and makes do with room for two "…".
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

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    QString singleLine() const;

    QString m_text;
    Qt::TextElideMode m_mode;
    std::function<QColor()> m_color;
};

} // namespace nbd
