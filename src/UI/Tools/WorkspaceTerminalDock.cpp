#include "UI/Tools/WorkspaceTerminalDock.h"

#include "Store/WorkspaceTerminalModel.h"
#include "UI/Shared/Accessibility.h"
#include "UI/Shared/BatchedTextWriter.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/Spinner.h"
#include "UI/Shared/Theme.h"
#include "UI/Tools/ToolChrome.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

// The output with room around its text: the scroll area's own margins are taken by its
// style, so the text is inset through the viewport, and the scroll bar keeps the edge.
class TerminalOutput : public QPlainTextEdit
{
public:
    explicit TerminalOutput(QWidget *parent)
        : QPlainTextEdit(parent)
    {
        setViewportMargins(14, 10, 14, 10);
    }
};

void setTextColor(QWidget *widget, const QColor &color)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    widget->setPalette(palette);
}

} // namespace

WorkspaceTerminalDock::WorkspaceTerminalDock(WorkspaceTerminalModel *terminal, std::function<void()> onClose,
                                             QWidget *parent)
    : QWidget(parent)
    , m_terminal(terminal)
    , m_onClose(std::move(onClose))
    , m_spinner(new Spinner(12, this))
    , m_output(new TerminalOutput(this))
    , m_prompt(new QLabel(this))
    , m_input(new QLineEdit(this))
    , m_stop(new ChromeIconButton(u"stop.fill"_s, u"停止命令"_s, std::nullopt, [this] {
        if (m_terminal)
            m_terminal->interrupt();
    }, this))
    , m_writer(new BatchedTextWriter(m_output, {.linesPerBatch = 2000, .intervalMs = 50, .maxLines = kMaxShownLines,
                                                .maxLineChars = kMaxLineChars}, this))
{
    connect(m_writer, &BatchedTextWriter::wrote, this, &WorkspaceTerminalDock::scrollToBottom);
    setObjectName(u"workspace-terminal"_s);
    setAccessibleName(u"终端"_s);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto *header = new QWidget(this);
    header->setFixedHeight(38);
    auto *headerRow = new QHBoxLayout(header);
    headerRow->setContentsMargins(12, 0, 12, 0);
    headerRow->setSpacing(8);
    headerRow->addWidget(new IconView(u"terminal"_s, 13, header));
    auto *identity = new QLabel(WorkspaceTerminalModel::userAndHost(), header);
    identity->setObjectName(u"workspace-terminal-identity"_s);
    identity->setTextFormat(Qt::PlainText);
    identity->setFont(Fonts::system(11, QFont::Medium));
    headerRow->addWidget(identity);
    m_spinner->setObjectName(u"workspace-terminal-spinner"_s);
    m_spinner->setAccessibleName(u"正在加载"_s);
    headerRow->addWidget(m_spinner);
    headerRow->addStretch(1);
    auto *clear = new ChromeIconButton(u"trash"_s, u"清空终端"_s, std::nullopt, [this] {
        if (m_terminal)
            m_terminal->clear();
    }, header);
    clear->setObjectName(u"workspace-terminal-clear"_s);
    headerRow->addWidget(clear);
    auto *close = new ChromeIconButton(u"xmark"_s, u"关闭终端"_s, std::nullopt, [this] {
        if (m_onClose)
            m_onClose();
    }, header);
    close->setObjectName(u"workspace-terminal-close"_s);
    headerRow->addWidget(close);
    layout->addWidget(header);
    layout->addWidget(new ThemeRule(&Theme::strongHairline, this));

    m_output->setObjectName(u"workspace-terminal-output"_s);
    m_output->setAccessibleName(u"终端输出"_s);
    m_output->setReadOnly(true);
    m_output->setFrameShape(QFrame::NoFrame);
    m_output->setFont(monospaceFont(12));
    m_output->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_output->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_output->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    m_output->document()->setDocumentMargin(0);
    m_output->viewport()->setAutoFillBackground(false);
    m_output->setStyleSheet(u"QPlainTextEdit { background: transparent; }"_s);
    layout->addWidget(m_output, 1);

    auto *inputBar = new QWidget(this);
    inputBar->setFixedHeight(34);
    auto *inputColumn = new QVBoxLayout(inputBar);
    inputColumn->setContentsMargins(0, 0, 0, 0);
    inputColumn->setSpacing(0);
    inputColumn->addWidget(new ThemeRule(&Theme::hairline, inputBar));
    auto *inputRow = new QHBoxLayout;
    inputRow->setContentsMargins(14, 0, 14, 0);
    inputRow->setSpacing(8);
    m_prompt->setObjectName(u"workspace-terminal-prompt"_s);
    m_prompt->setTextFormat(Qt::PlainText);
    m_prompt->setFont(monospaceFont(12, QFont::Medium));
    setTextColor(m_prompt, QColor(65, 118, 230));
    inputRow->addWidget(m_prompt);
    m_input->setObjectName(u"workspace-terminal-input"_s);
    m_input->setAccessibleName(u"输入命令"_s);
    m_input->setPlaceholderText(u"输入命令"_s);
    m_input->setFrame(false);
    m_input->setFont(monospaceFont(12));
    m_input->setStyleSheet(u"QLineEdit { background: transparent; }"_s);
    inputRow->addWidget(m_input, 1);
    m_stop->setObjectName(u"workspace-terminal-stop"_s);
    inputRow->addWidget(m_stop);
    inputColumn->addLayout(inputRow, 1);
    layout->addWidget(inputBar);

    // Tab goes from the header's buttons to the output, the field and stop, as they are shown.
    Accessibility::setTabOrder({clear, close, m_output, m_input, m_stop});

    connect(m_input, &QLineEdit::returnPressed, this, &WorkspaceTerminalDock::runCommand);
    // While a command runs the field is disabled: the keyboard is on the output or stop.
    for (QWidget *target : {static_cast<QWidget *>(this), static_cast<QWidget *>(m_output), m_output->viewport(),
                            static_cast<QWidget *>(m_stop), static_cast<QWidget *>(clear),
                            static_cast<QWidget *>(close)})
        target->installEventFilter(this);
    if (terminal) {
        connect(terminal, &WorkspaceTerminalModel::recordsChanged, this, &WorkspaceTerminalDock::syncRecords);
        connect(terminal, &WorkspaceTerminalModel::cleared, this, [this] {
            m_writer->clear();
            m_outputLineOpen = false;
            m_queuedRecords = m_terminal->appendedCount();
        });
        connect(terminal, &WorkspaceTerminalModel::runningChanged, this, &WorkspaceTerminalDock::syncRunning);
        connect(terminal, &WorkspaceTerminalModel::revisionChanged, this, [this] {
            m_prompt->setText(m_terminal->prompt());
            scrollToBottom();
        });
        m_prompt->setText(terminal->prompt());
    }
    rebuildRecords();
    syncRunning();
}

void WorkspaceTerminalDock::runCommand()
{
    const QString text = m_input->text();
    m_input->clear();
    if (m_terminal)
        m_terminal->execute(text);
}

void WorkspaceTerminalDock::syncRunning()
{
    const bool running = m_terminal && m_terminal->isRunning();
    // A disabled field hands the keyboard to the next control, a button that the next blank
    // typed would press (stopping or clearing the terminal): the output takes it instead.
    if (running && m_input->hasFocus())
        m_output->setFocus(Qt::OtherFocusReason);
    m_input->setEnabled(!running);
    m_stop->setVisible(running);
    m_spinner->setVisible(running);
}

void WorkspaceTerminalDock::syncRecords()
{
    if (!m_terminal)
        return;
    const QList<TerminalRecord> &records = m_terminal->records();
    const qint64 total = m_terminal->appendedCount();
    const qint64 first = total - records.size();
    // Records that left the model's scroll-back before they were written are gone.
    for (qint64 n = std::max(m_queuedRecords, first); n < total; ++n) {
        const TerminalRecord &record = records.at(qsizetype(n - first));
        QTextCharFormat format;
        format.setForeground(record.kind == TerminalRecord::Kind::Error ? Theme::systemRed() : Theme::primaryText());
        // The row of a record ends with its text: a final line break (of either kind) adds no
        // empty line.
        qsizetype chop = 0;
        if (record.text.endsWith(u"\r\n"_s))
            chop = 2;
        else if (record.text.endsWith(u'\n') || record.text.endsWith(u'\r'))
            chop = 1;
        // A command's output read in pieces goes on in the line its last piece left open.
        const bool output = record.kind == TerminalRecord::Kind::Output;
        m_writer->append(chop ? record.text.chopped(chop) : record.text, format, !(output && m_outputLineOpen));
        m_outputLineOpen = output && chop == 0;
    }
    m_queuedRecords = total;
}

void WorkspaceTerminalDock::rebuildRecords()
{
    m_writer->clear();
    m_outputLineOpen = false;
    m_queuedRecords = m_terminal ? m_terminal->appendedCount() - m_terminal->records().size() : 0;
    syncRecords();
    scrollToBottom();
}

bool WorkspaceTerminalDock::isInterruptKey(QObject *watched, QEvent *event) const
{
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::ShortcutOverride)
        return false;
    const auto *key = static_cast<const QKeyEvent *>(event);
    if (key->key() != Qt::Key_C || (key->modifiers() & ~Qt::KeypadModifier) != Qt::ControlModifier)
        return false;
    if (!m_terminal || !m_terminal->isRunning())
        return false;
    const bool onOutput = watched == m_output || watched == m_output->viewport();
    return !onOutput || !m_output->textCursor().hasSelection();
}

bool WorkspaceTerminalDock::eventFilter(QObject *watched, QEvent *event)
{
    if (!isInterruptKey(watched, event))
        return QWidget::eventFilter(watched, event);
    // The override is taken so that no window-wide shortcut claims the key first.
    event->accept();
    if (event->type() == QEvent::KeyPress)
        m_terminal->interrupt();
    return true;
}

void WorkspaceTerminalDock::scrollToBottom()
{
    QScrollBar *bar = m_output->verticalScrollBar();
    bar->setValue(bar->maximum());
}

void WorkspaceTerminalDock::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    scrollToBottom();
}

void WorkspaceTerminalDock::changeEvent(QEvent *event)
{
    // Record colours are the appearance's: a new palette redraws them.
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ApplicationPaletteChange)
        rebuildRecords();
    QWidget::changeEvent(event);
}

void WorkspaceTerminalDock::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Theme::canvas());
}

} // namespace nbd
