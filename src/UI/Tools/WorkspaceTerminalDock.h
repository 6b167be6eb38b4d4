#pragma once

#include <QPointer>
#include <QWidget>

#include <functional>

class QLabel;
class QLineEdit;
class QPlainTextEdit;

namespace nbd {

class BatchedTextWriter;
class Spinner;
class ChromeIconButton;
class WorkspaceTerminalModel;

// The terminal dock under the workspace: a header naming the terminal with clear and close,
// the records of the terminal model (errors in red), and the command field after the prompt.
// Everything it shows is the model's; every action is one of the model's operations.
//
// The output shows the last kMaxShownLines lines of the records, a line longer than
// kMaxLineChars going on in the next. New records are written in batches, so that a command
// flooding its output costs the window a few milliseconds at a time; text that would scroll
// out of the shown lines before it is written is never written.
class WorkspaceTerminalDock : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kMaxShownLines = 5000;
    static constexpr int kMaxLineChars = 2000;
    WorkspaceTerminalDock(WorkspaceTerminalModel *terminal, std::function<void()> onClose, QWidget *parent = nullptr);

    // Takes the field's text, empties the field, and hands the text to the model.
    void runCommand();

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void syncRecords();
    void rebuildRecords();
    void syncRunning();
    void scrollToBottom();
    // Ctrl+C while a command runs interrupts it, as in a terminal; with output selected it
    // copies instead.
    bool isInterruptKey(QObject *watched, QEvent *event) const;

    QPointer<WorkspaceTerminalModel> m_terminal;
    std::function<void()> m_onClose;
    Spinner *m_spinner;
    QPlainTextEdit *m_output;
    QLabel *m_prompt;
    QLineEdit *m_input;
    ChromeIconButton *m_stop;
    BatchedTextWriter *m_writer;
    // The model's appendedCount() up to which records are written or queued.
    qint64 m_queuedRecords = 0;
    // The last record written was output that did not end its line.
    bool m_outputLineOpen = false;
};

} // namespace nbd
