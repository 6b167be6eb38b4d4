#include "UI/Shared/PromptEdit.h"

#include "UI/Shared/Theme.h"

#include <QKeyEvent>
#include <QTextBlock>
#include <QTextLayout>

#include <algorithm>
#include <cmath>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

PromptEdit::PromptEdit(int fontPixelSize, Sizing sizing, QWidget *parent)
    : QPlainTextEdit(parent)
    , m_sizing(std::move(sizing))
{
    setFrameShape(QFrame::NoFrame);
    setFont(Fonts::system(fontPixelSize));
    setTabChangesFocus(true);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    document()->setDocumentMargin(0);
    viewport()->setAutoFillBackground(false);
    setAutoFillBackground(false);
    setBackgroundVisible(false);
    QPalette pal = palette();
    pal.setColor(QPalette::Base, Qt::transparent);
    setPalette(pal);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    connect(document(), &QTextDocument::contentsChanged, this, &PromptEdit::updateHeight);
    updateHeight();
}

QString PromptEdit::text() const
{
    // toPlainText() would also turn no-break spaces into spaces; the raw text keeps every
    // character and only its paragraph and line separators become "\n".
    QString raw = document()->toRawText();
    raw.replace(QChar::ParagraphSeparator, u'\n');
    raw.replace(QChar::LineSeparator, u'\n');
    return raw;
}

void PromptEdit::keyPressEvent(QKeyEvent *event)
{
    const bool isReturn = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (isReturn && m_composing) {
        // The input method owns Return while it composes.
        event->accept();
        return;
    }
    if (isReturn && (event->modifiers() & Qt::ShiftModifier)) {
        insertPlainText(u"\n"_s);
        event->accept();
        return;
    }
    if (isReturn && !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))) {
        event->accept();
        Q_EMIT submitRequested();
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

void PromptEdit::inputMethodEvent(QInputMethodEvent *event)
{
    m_composing = !event->preeditString().isEmpty();
    QPlainTextEdit::inputMethodEvent(event);
}

void PromptEdit::resizeEvent(QResizeEvent *event)
{
    QPlainTextEdit::resizeEvent(event);
    updateHeight();
}

std::vector<int> PromptEdit::contentLineHeights() const
{
    // Laid out as the field lays out its text. A line's height comes from the fonts its
    // characters are drawn in, so counting lines of the field's font alone would leave Chinese
    // half hidden.
    const int width = std::max(1, viewport()->width());
    const int minimum = fontMetrics().lineSpacing();
    QTextOption option = document()->defaultTextOption();
    option.setWrapMode(wordWrapMode());
    std::vector<int> heights;
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next()) {
        QTextLayout layout(block.text(), font());
        layout.setTextOption(option);
        layout.beginLayout();
        int blockLines = 0;
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            heights.push_back(std::max(minimum, int(std::ceil(line.height()))));
            ++blockLines;
        }
        layout.endLayout();
        if (blockLines == 0)
            heights.push_back(minimum);
    }
    return heights;
}

void PromptEdit::updateHeight()
{
    const std::vector<int> heights = contentLineHeights();
    m_visibleLines = m_sizing.visibleLines(int(heights.size()));
    int lines = 0;
    for (int i = 0; i < m_visibleLines; ++i)
        lines += i < int(heights.size()) ? heights[size_t(i)] : fontMetrics().lineSpacing();
    const int height = std::max(m_sizing.minimumHeight, m_sizing.chrome + lines);
    if (height != this->height() || minimumHeight() != height)
        setFixedHeight(height);
}

} // namespace nbd
