#pragma once

#include "Domain/MarkdownParser.h"
#include "UI/Conversation/TranscriptListView.h"

#include <QPointer>

#include <memory>

class QLabel;
class QPushButton;

namespace nbd {

class Spinner;
class SessionActions;
template<typename Result>
class LatestJob;

// Draws one render row: the user's bubble, assistant text (raw with the cursor while it
// streams, finished text otherwise), a reasoning or tool-call block, or a notice.
class TranscriptRenderRowView : public TranscriptEntryView
{
    Q_OBJECT
public:
    enum class ContentKind { User, StreamingText, FinalText, Block, Notice };

    TranscriptRenderRowView(SessionActions *sessionActions, const QString &sessionId, const TranscriptEntry &entry,
                            bool expanded, QWidget *parent = nullptr);
    ~TranscriptRenderRowView() override;

    void setEntry(const TranscriptEntry &entry) override;
    int measure(int width) const override;
    void setExpanded(bool expanded) override;
    QString accessibleText() const override;
    int takeShiftAbove(int offset) override;

    const TranscriptRenderRow &row() const { return m_row; }
    bool showCursor() const { return m_showCursor; }
    ContentKind contentKind() const { return m_kind; }
    QWidget *content() const { return m_content; }
    static QString rowText(const TranscriptRenderRow &row);

protected:
    bool event(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    static ContentKind kindFor(const TranscriptRenderRow &row, bool showCursor);
    void build(bool expanded);
    void updateAccessibleText();
    bool hasLongTextChanges() const;

    QPointer<SessionActions> m_sessionActions;
    QString m_sessionId;
    TranscriptRenderRow m_row;
    bool m_showCursor = false;
    ContentKind m_kind = ContentKind::User;
    QWidget *m_content = nullptr;
    struct SpokenText
    {
        QString words;
        MarkdownParser::PlainTextPrefix prefix;
    };
    std::unique_ptr<LatestJob<SpokenText>> m_nameJob; // the rendered words of a long text
    // Where the words of the streaming text were last found: a delta reads only what follows.
    MarkdownParser::PlainTextPrefix m_spokenPrefix;
};

// The button that loads older history; "加载中…" with a spinner while a page loads.
class LoadOlderView : public TranscriptEntryView
{
    Q_OBJECT
public:
    explicit LoadOlderView(const TranscriptEntry &entry, QWidget *parent = nullptr);
    void setEntry(const TranscriptEntry &entry) override;
    int measure(int width) const override;
    QPushButton *button() const { return m_button; }

    static QString idleLabel() { return QStringLiteral("加载更早的消息"); }

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    QPushButton *m_button;
    Spinner *m_spinner;
    bool m_loading = false;
};

// Creates the widget for an entry (none for the bottom anchor, which is only room).
TranscriptEntryView *createTranscriptEntryView(const TranscriptEntry &entry, SessionActions *sessionActions,
                                               const QString &sessionId, bool expanded, QWidget *parent);

} // namespace nbd
