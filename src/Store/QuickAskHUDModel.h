#pragma once

#include <QObject>
#include <QString>
#include <QUuid>

#include <optional>

namespace nbd {

enum class QuickAskContextSource { systemSelection, clipboard };

// How the prompt names where its context came from.
QString promptLabel(QuickAskContextSource source);

struct QuickAskResolvedContext
{
    QuickAskContextSource source = QuickAskContextSource::clipboard;
    QString text; // normalised, never empty

    bool operator==(const QuickAskResolvedContext &) const = default;
};

// Why the context is not the selected text (absent: it is).
enum class QuickAskContextIssue {
    accessibilityPermissionRequired,
    selectionUnavailable,
    selectionReadFailed,
    selectionTimedOut,
    noContext,
};

// The result of reading the selection: text (untrimmed, or nothing when the owner had no
// selection) or a failure (nobody answered the read).
struct QuickAskSelectionReadResult
{
    enum class Kind { value, failed };
    Kind kind = Kind::failed;
    std::optional<QString> text;

    static QuickAskSelectionReadResult value(std::optional<QString> text) { return {Kind::value, std::move(text)}; }
    static QuickAskSelectionReadResult failed() { return {Kind::failed, std::nullopt}; }
    bool operator==(const QuickAskSelectionReadResult &) const = default;
};

struct QuickAskContextResolution
{
    std::optional<QuickAskResolvedContext> context;
    std::optional<QuickAskContextIssue> issue;

    bool operator==(const QuickAskContextResolution &) const = default;
};

// The pure rules of Quick Ask: trimming and truncating, choosing the context, framing the prompt.
namespace QuickAskContextPolicy {

inline constexpr int contextCharacterLimit = 12000;
inline constexpr int questionCharacterLimit = 8000;

std::optional<QString> normalized(const std::optional<QString> &text, int limit);

QuickAskContextResolution resolve(const std::optional<QString> &selectedText,
                                  const std::optional<QString> &clipboardText, bool accessibilityTrusted,
                                  bool selectionReadFailed, bool selectionTimedOut);

std::optional<QString> composePrompt(const QString &question, const std::optional<QuickAskResolvedContext> &context);

} // namespace QuickAskContextPolicy

// The state of the Quick Ask panel and its capture. A capture starts with the clipboard as
// fallback and ends by the selection read or by the time-out, whichever comes first; any
// result carrying another capture id, or arriving after the capture ended, is dropped.
class QuickAskHUDModel : public QObject
{
    Q_OBJECT
public:
    explicit QuickAskHUDModel(QObject *parent = nullptr);

    const QString &question() const { return m_question; }
    void setQuestion(const QString &question);
    const std::optional<QuickAskResolvedContext> &context() const { return m_context; }
    const std::optional<QuickAskContextIssue> &contextIssue() const { return m_contextIssue; }
    bool isCapturingSelection() const { return m_isCapturingSelection; }
    bool isSubmitting() const { return m_isSubmitting; }
    void setSubmitting(bool submitting);
    const std::optional<QString> &errorMessage() const { return m_errorMessage; }
    void setErrorMessage(std::optional<QString> message);
    qint64 presentationID() const { return m_presentationID; }
    QUuid captureID() const { return m_captureID; }

    QUuid beginCapture(std::optional<QString> clipboardText, bool accessibilityTrusted);
    void completeCapture(const QuickAskSelectionReadResult &result, QUuid captureID);
    void timeOutCapture(QUuid captureID);
    void invalidateCapture();

Q_SIGNALS:
    void questionChanged();
    void contextChanged();
    void contextIssueChanged();
    void isCapturingSelectionChanged();
    void isSubmittingChanged();
    void errorMessageChanged();
    void presentationIDChanged();

private:
    void apply(const QuickAskContextResolution &resolution);
    void setCapturingSelection(bool capturing);

    QString m_question;
    std::optional<QuickAskResolvedContext> m_context;
    std::optional<QuickAskContextIssue> m_contextIssue;
    bool m_isCapturingSelection = false;
    bool m_isSubmitting = false;
    std::optional<QString> m_errorMessage;
    qint64 m_presentationID = 0;
    QUuid m_captureID = QUuid::createUuid();
    std::optional<QString> m_clipboardText;
    bool m_accessibilityTrusted = false;
};

} // namespace nbd
