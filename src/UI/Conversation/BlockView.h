#pragma once

#include "Session/Transcript.h"

#include <QWidget>

class QLabel;
class QVBoxLayout;

namespace nbd {

class Spinner;
class ChevronView;
class IconView;
class LongTextView;
class RowHeaderButton;
class ToolCallChip;

// A reasoning block: a one-line header ("正在思考" while no text has come, else the finished
// label with the text's length) that opens to show the reasoning verbatim.
class ReasoningBlock : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(bool expanded READ isExpanded)
public:
    explicit ReasoningBlock(const QString &text, bool expanded = false, QWidget *parent = nullptr);

    static QString finishedTitle() { return QStringLiteral("思考过程"); }

    QString text() const { return m_text; }
    void setText(const QString &text);
    bool isStreaming() const { return m_text.isEmpty(); }
    bool isExpanded() const { return m_expanded; }
    // An empty (still streaming) block cannot be opened.
    void setExpanded(bool expanded, bool animated = false);
    RowHeaderButton *header() const { return m_header; }
    QString titleText() const;
    QString lengthText() const;
    QLabel *body() const { return m_body; }

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;

Q_SIGNALS:
    void expandedChanged(bool expanded);

private:
    void refresh();

    QString m_text;
    bool m_expanded = false;
    QVBoxLayout *m_column;
    RowHeaderButton *m_header;
    Spinner *m_spinner;
    IconView *m_brain;
    QLabel *m_title;
    QLabel *m_length;
    ChevronView *m_chevron;
    QWidget *m_bodyBox;
    QLabel *m_body;
    LongTextView *m_longBody = nullptr;
};

// One block of an agent turn drawn by its kind: a text block as finished text, a reasoning
// block, or a tool-call chip. Its one piece of view state is whether it is open.
class BlockView : public QWidget
{
    Q_OBJECT
public:
    explicit BlockView(const BlockItem &block, bool expanded = false, QWidget *parent = nullptr);

    const BlockItem &block() const { return m_block; }
    void setBlock(const BlockItem &block);
    bool isExpanded() const;
    void setExpanded(bool expanded);
    QWidget *content() const { return m_content; }

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;

Q_SIGNALS:
    void expandedChanged(bool expanded);

protected:
    bool event(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void build(bool expanded);

    BlockItem m_block;
    QWidget *m_content = nullptr;
};

} // namespace nbd
