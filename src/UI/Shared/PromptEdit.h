#pragma once

#include <QPlainTextEdit>

#include <functional>
#include <vector>

namespace nbd {

// A borderless field for a prompt: Return asks to send, Shift+Return starts a line, and Return
// while an input method composes stays the input method's. It grows with its text, each line as
// tall as the fonts it is drawn in (Chinese falls back to a taller font than the field's own).
class PromptEdit : public QPlainTextEdit
{
    Q_OBJECT
public:
    struct Sizing
    {
        std::function<int(int contentLines)> visibleLines; // how many lines to show for so many
        int chrome = 0;                                    // added to the lines' heights
        int minimumHeight = 0;
    };

    PromptEdit(int fontPixelSize, Sizing sizing, QWidget *parent = nullptr);

    // The text exactly as typed: line breaks as "\n", no other character changed.
    QString text() const;
    bool isComposing() const { return m_composing; }
    int visibleLines() const { return m_visibleLines; }

Q_SIGNALS:
    void submitRequested();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void inputMethodEvent(QInputMethodEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void updateHeight();

private:
    // The height of each line of the text as laid out at the field's width.
    std::vector<int> contentLineHeights() const;

    Sizing m_sizing;
    bool m_composing = false;
    int m_visibleLines = 1;
};

} // namespace nbd
