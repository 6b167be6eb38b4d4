#pragma once

#include "UI/Shared/PromptEdit.h"

#include <QPointer>
#include <QWidget>

#include <functional>

class QLabel;
class QHBoxLayout;
class QPushButton;

namespace nbd {

class IconView;
class Spinner;
class QuickAskHUDModel;
class RoundSymbolButton;

// The content of the Quick Ask panel: a 680 × 280 card with the question and the send button on
// top, the captured context below, the last error and a status line saying where the context
// came from. It edits only the model's question and reports intentions through its actions.
class QuickAskHUDView : public QWidget
{
    Q_OBJECT
public:
    struct Actions
    {
        std::function<void()> onSubmit;
        std::function<void()> onDismiss;
        std::function<void()> onRequestAccessibility;
    };

    QuickAskHUDView(QuickAskHUDModel *model, Actions actions, QWidget *parent = nullptr);

    bool canSubmit() const;
    PromptEdit *questionField() const { return m_question; }
    RoundSymbolButton *sendButton() const { return m_send; }
    // The status line's text as shown.
    QString statusText() const;

protected:
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void syncQuestion();
    void syncSubmitting();
    void syncContext();
    void syncError();
    void syncStatus();
    void focusQuestion();

    QPointer<QuickAskHUDModel> m_model;
    Actions m_actions;
    PromptEdit *m_question;
    RoundSymbolButton *m_send;
    Spinner *m_submitSpinner;
    QWidget *m_contextHeader;
    IconView *m_contextIcon;
    QLabel *m_contextTitle;
    QLabel *m_contextText;
    QWidget *m_noContext;
    QWidget *m_errorRow;
    QLabel *m_errorText;
    Spinner *m_statusSpinner;
    IconView *m_statusIcon;
    QLabel *m_statusText;
    QPushButton *m_authorize;
    bool m_syncingQuestion = false;
};

} // namespace nbd
