#include "UI/QuickAsk/QuickAskHUDView.h"

#include "Store/QuickAskHUDModel.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/ComposerControls.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/Spinner.h"
#include "UI/Shared/Theme.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

constexpr int kMaxQuestionLines = 4;
constexpr int kContextLines = 3;
constexpr int kErrorLines = 2;

// The fixed texts go through the translation lookup, keyed by the Chinese text itself.
QString text(const char *source) { return QCoreApplication::translate("QuickAskHUDView", source); }

QColor accent() { return QColor::fromRgb(65, 118, 230); }

QLabel *makeLabel(const QString &content, int size, const QColor &color, QWidget *parent,
                  QFont::Weight weight = QFont::Normal)
{
    auto *label = new QLabel(content, parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(Fonts::system(size, weight));
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, color);
    label->setPalette(pal);
    return label;
}

// An icon and a text side by side, as one row.
QWidget *iconRow(const QString &symbol, QLabel *label, int spacing, QWidget *parent, IconView **icon = nullptr)
{
    auto *row = new QWidget(parent);
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    auto *view = new IconView(symbol, 13, row);
    layout->addWidget(view, 0, Qt::AlignVCenter);
    label->setParent(row);
    layout->addWidget(label, 1, Qt::AlignVCenter);
    if (icon)
        *icon = view;
    return row;
}

} // namespace

QuickAskHUDView::QuickAskHUDView(QuickAskHUDModel *model, Actions actions, QWidget *parent)
    : QWidget(parent)
    , m_model(model)
    , m_actions(std::move(actions))
{
    setObjectName(u"quick-ask-hud"_s);
    setFixedSize(680, 280);
    setAttribute(Qt::WA_TranslucentBackground);

    auto *root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);

    // Header: symbol, question, send.
    auto *header = new QWidget(this);
    header->setMinimumHeight(76);
    auto *headerLayout = new QHBoxLayout(header);
    headerLayout->setContentsMargins(18, 0, 18, 0);
    headerLayout->setSpacing(10);
    auto *symbol = new IconView(u"sparkle.magnifyingglass"_s, 17, header);
    symbol->setTint(accent());
    headerLayout->addWidget(symbol, 0, Qt::AlignVCenter);
    // The question grows from one line to four, then scrolls.
    m_question = new PromptEdit(18, {[](int lines) { return std::clamp(lines, 1, kMaxQuestionLines); }, 4}, header);
    m_question->setObjectName(u"quick-ask-question"_s);
    m_question->setPlaceholderText(text("快速询问 Nimbrel Deck"));
    m_question->setAccessibleName(text("快速询问 Nimbrel Deck"));
    headerLayout->addWidget(m_question, 1, Qt::AlignVCenter);
    m_submitSpinner = new Spinner(14, header);
    m_submitSpinner->setObjectName(u"quick-ask-submitting"_s);
    m_submitSpinner->setAccessibleName(text("正在发送"));
    headerLayout->addWidget(m_submitSpinner, 0, Qt::AlignVCenter);
    m_send = new RoundSymbolButton(30, 12, header);
    m_send->setObjectName(u"quick-ask-send"_s);
    m_send->setSymbol(u"arrow.up"_s);
    m_send->setFill(accent());
    m_send->setSymbolColor(QColor(Qt::white));
    m_send->setDisabledOpacity(0.4);
    m_send->setHelp(text("发送"));
    headerLayout->addWidget(m_send, 0, Qt::AlignVCenter);
    root->addWidget(header);

    auto *separator = new QWidget(this);
    separator->setObjectName(u"quick-ask-separator"_s);
    separator->setFixedHeight(1);
    separator->setAutoFillBackground(true);
    QPalette separatorPalette = separator->palette();
    separatorPalette.setColor(QPalette::Window, Theme::hairline());
    separator->setPalette(separatorPalette);
    root->addWidget(separator);

    // Body: context preview, then the error and the status line at the bottom.
    auto *body = new QWidget(this);
    auto *bodyLayout = new QVBoxLayout(body);
    bodyLayout->setContentsMargins(18, 14, 18, 14);
    bodyLayout->setSpacing(10);

    m_contextTitle = makeLabel(QString(), 12, Theme::secondaryText(), body, QFont::Medium);
    m_contextTitle->setObjectName(u"quick-ask-context-source"_s);
    m_contextHeader = iconRow(u"doc.on.clipboard"_s, m_contextTitle, 6, body, &m_contextIcon);
    bodyLayout->addWidget(m_contextHeader);
    m_contextText = makeLabel(QString(), 12, Theme::secondaryText(), body);
    m_contextText->setObjectName(u"quick-ask-context-text"_s);
    m_contextText->setWordWrap(true);
    m_contextText->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_contextText->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_contextText->setMaximumHeight(kContextLines * m_contextText->fontMetrics().lineSpacing());
    m_contextText->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Maximum);
    bodyLayout->addWidget(m_contextText);
    auto *noContextLabel = makeLabel(text("没有可用上下文，也可以直接输入问题"), 12, Theme::secondaryText(), body);
    m_noContext = iconRow(u"text.bubble"_s, noContextLabel, 6, body);
    m_noContext->setObjectName(u"quick-ask-no-context"_s);
    bodyLayout->addWidget(m_noContext);
    bodyLayout->addStretch(1);

    m_errorText = makeLabel(QString(), 11, Theme::systemRed(), body);
    m_errorText->setObjectName(u"quick-ask-error"_s);
    m_errorText->setWordWrap(true);
    m_errorText->setMaximumHeight(kErrorLines * m_errorText->fontMetrics().lineSpacing());
    IconView *errorIcon = nullptr;
    m_errorRow = iconRow(u"exclamationmark.triangle"_s, m_errorText, 6, body, &errorIcon);
    errorIcon->setTint(Theme::systemRed());
    bodyLayout->addWidget(m_errorRow);

    auto *status = new QWidget(body);
    auto *statusLayout = new QHBoxLayout(status);
    statusLayout->setContentsMargins(0, 0, 0, 0);
    statusLayout->setSpacing(6);
    m_statusSpinner = new Spinner(11, status);
    m_statusSpinner->setObjectName(u"quick-ask-capturing"_s);
    statusLayout->addWidget(m_statusSpinner, 0, Qt::AlignVCenter);
    m_statusIcon = new IconView(u"checkmark.circle"_s, 12, status);
    statusLayout->addWidget(m_statusIcon, 0, Qt::AlignVCenter);
    m_statusText = makeLabel(QString(), 11, Theme::secondaryText(), status);
    m_statusText->setObjectName(u"quick-ask-status"_s);
    statusLayout->addWidget(m_statusText, 0, Qt::AlignVCenter);
    m_authorize = new QPushButton(text("授权"), status);
    m_authorize->setObjectName(u"quick-ask-authorize"_s);
    m_authorize->setFlat(true);
    m_authorize->setCursor(Qt::PointingHandCursor);
    m_authorize->setFont(Fonts::system(11, QFont::Medium));
    m_authorize->setStyleSheet(u"QPushButton { border: none; padding: 0; color: rgb(65, 118, 230); }"_s);
    statusLayout->addWidget(m_authorize, 0, Qt::AlignVCenter);
    statusLayout->addSpacing(8);
    statusLayout->addStretch(1);
    QLabel *hint = makeLabel(text("↩ 发送   Esc 关闭"), 11, Theme::tertiaryText(), status);
    hint->setObjectName(u"quick-ask-hint"_s);
    statusLayout->addWidget(hint, 0, Qt::AlignVCenter);
    bodyLayout->addWidget(status);
    root->addWidget(body, 1);

    auto call = [](const std::function<void()> &action) {
        if (action)
            action();
    };
    connect(m_question, &PromptEdit::submitRequested, this, [this, call] { call(m_actions.onSubmit); });
    connect(m_send, &QAbstractButton::clicked, this, [this, call] { call(m_actions.onSubmit); });
    connect(m_authorize, &QPushButton::clicked, this, [this, call] { call(m_actions.onRequestAccessibility); });
    connect(m_question, &QPlainTextEdit::textChanged, this, [this] {
        if (m_syncingQuestion || !m_model)
            return;
        m_syncingQuestion = true;
        m_model->setQuestion(m_question->text());
        m_syncingQuestion = false;
    });

    if (m_model) {
        connect(m_model, &QuickAskHUDModel::questionChanged, this, &QuickAskHUDView::syncQuestion);
        connect(m_model, &QuickAskHUDModel::isSubmittingChanged, this, &QuickAskHUDView::syncSubmitting);
        connect(m_model, &QuickAskHUDModel::contextChanged, this, [this] {
            syncContext();
            syncStatus();
            syncSubmitting();
        });
        connect(m_model, &QuickAskHUDModel::contextIssueChanged, this, &QuickAskHUDView::syncStatus);
        connect(m_model, &QuickAskHUDModel::isCapturingSelectionChanged, this, &QuickAskHUDView::syncStatus);
        connect(m_model, &QuickAskHUDModel::errorMessageChanged, this, &QuickAskHUDView::syncError);
        connect(m_model, &QuickAskHUDModel::presentationIDChanged, this, &QuickAskHUDView::focusQuestion);
    }
    syncQuestion();
    syncContext();
    syncError();
    syncStatus();
    syncSubmitting();
}

bool QuickAskHUDView::canSubmit() const
{
    return m_model && !m_model->isSubmitting()
        && QuickAskContextPolicy::composePrompt(m_model->question(), m_model->context()).has_value();
}

QString QuickAskHUDView::statusText() const { return m_statusText->text(); }

void QuickAskHUDView::syncQuestion()
{
    if (!m_model)
        return;
    if (m_question->text() != m_model->question() && !m_syncingQuestion) {
        m_syncingQuestion = true;
        m_question->setPlainText(m_model->question());
        m_question->moveCursor(QTextCursor::End);
        m_syncingQuestion = false;
    }
    m_send->setEnabled(canSubmit());
}

void QuickAskHUDView::syncSubmitting()
{
    const bool submitting = m_model && m_model->isSubmitting();
    m_question->setReadOnly(submitting);
    m_question->setEnabled(!submitting);
    m_submitSpinner->setVisible(submitting);
    m_send->setVisible(!submitting);
    m_send->setEnabled(canSubmit());
    if (!submitting && isVisible() && !m_question->hasFocus())
        m_question->setFocus(Qt::OtherFocusReason);
}

void QuickAskHUDView::syncContext()
{
    const std::optional<QuickAskResolvedContext> context = m_model ? m_model->context() : std::nullopt;
    m_contextHeader->setVisible(context.has_value());
    m_contextText->setVisible(context.has_value());
    m_noContext->setVisible(!context.has_value());
    if (!context)
        return;
    const bool clipboard = context->source == QuickAskContextSource::clipboard;
    m_contextIcon->setSymbolName(clipboard ? u"doc.on.clipboard"_s : u"selection.pin.in.out"_s);
    m_contextTitle->setText(clipboard ? text("剪贴板上下文") : text("系统选中文本"));
    m_contextText->setText(context->text);
}

void QuickAskHUDView::syncError()
{
    const std::optional<QString> error = m_model ? m_model->errorMessage() : std::nullopt;
    m_errorRow->setVisible(error.has_value());
    m_errorText->setText(error.value_or(QString()));
}

void QuickAskHUDView::syncStatus()
{
    if (!m_model)
        return;
    const bool capturing = m_model->isCapturingSelection();
    m_statusSpinner->setVisible(capturing);
    m_statusIcon->setVisible(!capturing);
    m_authorize->setVisible(false);
    if (capturing) {
        m_statusText->setText(text("正在读取选中文本"));
        return;
    }
    QString symbol = u"checkmark.circle"_s;
    QString status = text("已携带系统选中文本");
    if (const std::optional<QuickAskContextIssue> issue = m_model->contextIssue()) {
        switch (*issue) {
        case QuickAskContextIssue::accessibilityPermissionRequired:
            symbol = u"accessibility"_s;
            status = m_model->context() ? text("未授权，当前使用剪贴板") : text("需要辅助功能权限读取选中文本");
            m_authorize->setVisible(true);
            break;
        case QuickAskContextIssue::selectionUnavailable:
            symbol = u"doc.on.clipboard"_s;
            status = text("未检测到选中文本，当前使用剪贴板");
            break;
        case QuickAskContextIssue::selectionReadFailed:
            symbol = u"exclamationmark.triangle"_s;
            status = text("当前 App 不支持读取选区，已降级到剪贴板");
            break;
        case QuickAskContextIssue::selectionTimedOut:
            symbol = u"clock.badge.exclamationmark"_s;
            status = text("读取选区超时，已降级到剪贴板");
            break;
        case QuickAskContextIssue::noContext:
            symbol = u"info.circle"_s;
            status = text("未检测到选中文本或文本剪贴板");
            break;
        }
    }
    m_statusIcon->setSymbolName(symbol);
    m_statusText->setText(status);
}

void QuickAskHUDView::focusQuestion()
{
    m_question->setFocus(Qt::OtherFocusReason);
}

void QuickAskHUDView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF card = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath path;
    path.addRoundedRect(card, 8, 8);
    painter.fillPath(path, Theme::raised());
    painter.setPen(QPen(Theme::strongHairline(), 1));
    painter.drawPath(path);
}

void QuickAskHUDView::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        if (m_actions.onDismiss)
            m_actions.onDismiss();
        return;
    }
    QWidget::keyPressEvent(event);
}

void QuickAskHUDView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    focusQuestion();
}

} // namespace nbd
