#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QTextBrowser>

#include <functional>
#include <optional>

// Small building blocks of the tool cards and the Markdown view.
namespace nbd {

// Read-only, selectable text as tall as its content at the width it gets: no scroll bars of
// its own, wheel events go on to the transcript. Links are opened through the window's link
// action.
class AutoHeightTextView : public QTextBrowser
{
    Q_OBJECT
public:
    explicit AutoHeightTextView(QWidget *parent = nullptr);

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    // Plain text in one colour (nothing: the theme's primary text); sets the accessible name.
    void setPlain(const QString &text, const QFont &font, std::optional<QColor> color = std::nullopt);
    // Call after the document changed.
    void documentChanged();
    // Shows `document`, written while detached (a shown document is laid out again after every
    // edit), in place of the current one; takes it over. It is laid out once the view knows the
    // width it is measured or shown at.
    void showDocument(QTextDocument *document);
    // Has `write` fill the view's own document, emptied first, once the view knows the width it
    // is measured or shown at: the text is then laid out once, at that width (a document put in
    // place of the view's is laid out three times over).
    void showWritten(std::function<void(QTextDocument *)> write);
    // The document shown, or the one waiting for a width.
    QTextDocument *content() const { return m_pending ? m_pending : document(); }

protected:
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    bool viewportEvent(QEvent *event) override;

private:
    int m_lastHeight = -1;
    std::optional<QColor> m_plainColor;
    // Laying a document out is the costly part of measuring it, and layouts ask for the same
    // width many times over: the last answer is kept until the document changes.
    mutable int m_measuredWidth = -1;
    mutable int m_measuredHeight = 0;
    QTextDocument *m_pending = nullptr;
    std::function<void(QTextDocument *)> m_pendingWrite;
    int m_wrapWidth = 0;

    void watchDocument();
    // Wraps at `width` (the document is laid out at a fixed width that only this changes, so a
    // resize to the width already measured lays nothing out again) and shows a waiting document.
    // A measure may leave the layout at another width than the one shown; it is set back before
    // the view is drawn or hit.
    void layOutAt(int width);
};

// Height of a widget for a width, for widgets with and without height-for-width.
int heightForWidthOf(const QWidget *widget, int width);

// Plain text in `font` (nothing: the theme's primary text colour), selectable, as tall as its
// content: an auto-height text view, or for a text of unbounded length a view that lays out only
// the lines near what is visible.
QWidget *makePlainTextView(const QString &text, const QFont &font, std::optional<QColor> color, QWidget *parent);

// A flat text button with an optional leading symbol: paths and addresses in the cards.
// Its accessible name is its text, or its tooltip when the text is empty.
class LinkButton : public QAbstractButton
{
    Q_OBJECT
    Q_PROPERTY(QString symbolName READ symbolName)
public:
    LinkButton(const QString &text, const QFont &font, const QString &symbolName = {}, QWidget *parent = nullptr);

    QString symbolName() const { return m_symbol; }
    void setSymbolTint(std::optional<QColor> tint) { m_symbolTint = tint; }
    void setTextColor(std::function<QColor()> color) { m_color = std::move(color); }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    QString m_symbol;
    std::optional<QColor> m_symbolTint;
    std::function<QColor()> m_color;
    bool m_hovered = false;
};

// A rounded rectangle behind its children, filled and outlined in theme colours read at paint.
class RoundedBox : public QWidget
{
    Q_OBJECT
public:
    RoundedBox(qreal radius, std::function<QColor()> fill, std::function<QColor()> stroke = {}, QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    qreal m_radius;
    std::function<QColor()> m_fill;
    std::function<QColor()> m_stroke;
};

// A tooltip showing `text` as written: the text itself unless Qt would take it for markup.
QString textToolTip(const QString &text);

// The text's lines at `width`, at most `maxLines`, the last one elided when text remains.
QStringList clampedLines(const QString &text, const QFont &font, int width, int maxLines);

} // namespace nbd
