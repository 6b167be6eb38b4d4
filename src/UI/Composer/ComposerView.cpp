#include "UI/Composer/ComposerView.h"

#include "Domain/BidiIsolate.h"
#include "Session/SessionModel.h"
#include "Store/SessionActions.h"
#include "Store/SessionSelection.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/ComposerControls.h"
#include "UI/Composer/ComposerLogic.h"
#include "UI/Composer/PermissionSwitch.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/MenuText.h"
#include "UI/Shared/PlainToolTip.h"
#include "UI/Shared/SoftShadow.h"
#include "UI/Shared/Theme.h"
#include "UI/Shared/UnsentPrompt.h"

#include <QCheckBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

constexpr int kCardRadius = 22;
constexpr int kCardMaxWidth = 780;
constexpr int kShadowRoom = 10;
constexpr int kFieldTopPadding = 4;
constexpr int kFieldSidePadding = 16;
constexpr int kFieldMinHeight = 28;

QIcon symbolIcon(const QString &name)
{
    return QIcon(Icons::pixmap(name, 16, Theme::secondaryText(), 2.0));
}

QAction *addMenuAction(QMenu *menu, const QString &title, const QString &symbol)
{
    QAction *action = menu->addAction(symbolIcon(symbol), menuText(title));
    action->setProperty("symbolName", symbol);
    return action;
}

// The card behind the field and the row: a raised rounded rectangle with a soft shadow and a
// border that turns to the brand colour while the field has focus.
class ComposerCard : public QWidget
{
public:
    explicit ComposerCard(QWidget *parent) : QWidget(parent) {}
    void setFocused(bool focused)
    {
        m_focused = focused;
        update();
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF card = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5 - kShadowRoom);
        // A soft shadow 4 points down.
        paintSoftShadow(painter, card,
                        {.color = Theme::softShadow(), .opacity = 0.22, .first = 1, .last = 6, .span = 6, .offsetY = 4,
                         .grow = {0.5, 0.3, 0.5, 1.0}, .radius = qreal(kCardRadius)});
        painter.setBrush(Theme::raised());
        QColor border = Theme::strongHairline();
        if (m_focused) {
            border = Theme::brand();
            border.setAlphaF(0.55f);
        }
        painter.setPen(QPen(border, 1));
        painter.drawRoundedRect(card, kCardRadius, kCardRadius);
    }

private:
    bool m_focused = false;
};

// The chip that stands for the run-mode and permission menus while a subagent run is shown.
class SubagentChip : public QWidget
{
public:
    explicit SubagentChip(QWidget *parent) : QWidget(parent)
    {
        setFixedHeight(28);
        setFont(Fonts::system(12, QFont::Medium));
        setAccessibleName(u"持续子代理"_s);
    }
    void setLabel(const QString &label) { setToolTip(plainToolTip(label)); }
    QSize sizeHint() const override
    {
        return {8 + 11 + 6 + QFontMetrics(font()).horizontalAdvance(u"持续子代理"_s) + 8, 28};
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QColor color = Theme::secondaryText();
        Icons::paint(&painter, QRectF(8, (height() - 12) / 2.0, 12, 12), u"arrow.triangle.branch"_s, color);
        painter.setPen(color);
        painter.setFont(font());
        painter.drawText(QRect(8 + 11 + 6, 0, width(), height()), Qt::AlignLeft | Qt::AlignVCenter, u"持续子代理"_s);
    }
};

// The divider of the full-access sheet: a hairline in the theme's colour (a plain frame line
// would be drawn in the text colour).
class DialogRule : public QWidget
{
public:
    explicit DialogRule(QWidget *parent) : QWidget(parent) { setFixedHeight(1); }

protected:
    void paintEvent(QPaintEvent *) override { QPainter(this).fillRect(rect(), Theme::hairline()); }
};

} // namespace

// ---- PromptField ----

PromptField::PromptField(QWidget *parent)
    : PromptEdit(16, {composer::visiblePromptLines, kFieldTopPadding + 2, kFieldMinHeight}, parent)
{
    setViewportMargins(kFieldSidePadding, kFieldTopPadding, kFieldSidePadding, 0);
    updateHeight();
}

void PromptField::focusInEvent(QFocusEvent *event)
{
    PromptEdit::focusInEvent(event);
    Q_EMIT focusChanged(true);
}

void PromptField::focusOutEvent(QFocusEvent *event)
{
    PromptEdit::focusOutEvent(event);
    Q_EMIT focusChanged(false);
}

// ---- FullAccessConfirmation ----

FullAccessConfirmation::FullAccessConfirmation(QWidget *parent) : QDialog(parent)
{
    setObjectName(u"full-access-confirmation"_s);
    setWindowTitle(u"启用完全访问？"_s);
    setWindowModality(Qt::WindowModal);
    setFixedWidth(420);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setSpacing(18);

    auto *header = new QHBoxLayout;
    header->setSpacing(12);
    auto *shield = new IconView(u"exclamationmark.shield"_s, 24, this);
    shield->setTint(Theme::warning());
    auto *title = new QLabel(u"启用完全访问？"_s, this);
    title->setTextFormat(Qt::PlainText);
    title->setFont(Fonts::system(18, QFont::DemiBold));
    header->addWidget(shield);
    header->addWidget(title, 1);
    layout->addLayout(header);

    auto *body = new QLabel(u"Nimbrel Deck 将可以在沙箱外读写文件并执行命令，且不再逐次请求批准。"_s, this);
    body->setTextFormat(Qt::PlainText);
    body->setWordWrap(true);
    body->setFont(Fonts::system(13));
    QPalette bodyPalette = body->palette();
    bodyPalette.setColor(QPalette::WindowText, Theme::secondaryText());
    body->setPalette(bodyPalette);
    layout->addWidget(body);

    m_box = new QCheckBox(u"我已了解完全访问模式的风险"_s, this);
    layout->addWidget(m_box);

    layout->addWidget(new DialogRule(this));

    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    // The same buttons as the prompt cards', so the sheet reads as part of the composer.
    m_cancel = new CardButton(u"取消"_s, CardButton::Style::Bordered, this);
    m_confirm = new CardButton(u"启用完全访问"_s, CardButton::Style::Prominent, this);
    m_confirm->setDefault(true);
    m_confirm->setEnabled(false);
    buttons->addWidget(m_cancel);
    buttons->addWidget(m_confirm);
    layout->addLayout(buttons);

    connect(m_box, &QCheckBox::toggled, m_confirm, &QPushButton::setEnabled);
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_confirm, &QPushButton::clicked, this, [this] {
        if (m_box->isChecked())
            accept();
    });
}

void FullAccessConfirmation::done(int result)
{
    // The handlers of finished() still see the box as the user left it; however the dialog
    // went away, the box starts unticked the next time.
    QDialog::done(result);
    m_box->setChecked(false);
}

// ---- ComposerView ----

ComposerView::ComposerView(SessionSelection *selection, SessionActions *sessionActions,
                           std::shared_ptr<SessionModel> session, QWidget *parent)
    : QWidget(parent)
    , m_selection(selection)
    , m_sessionActions(sessionActions)
    , m_permissionSwitch(new PermissionSwitch(sessionActions, this))
{
    setObjectName(u"composer"_s);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);

    auto *card = new ComposerCard(nullptr);
    m_card = card;
    auto *cardLayout = new QVBoxLayout(card);
    cardLayout->setContentsMargins(0, 10, 0, kShadowRoom);
    cardLayout->setSpacing(12);

    m_field = new PromptField(card);
    m_field->setObjectName(u"composer-prompt"_s);
    // Focus handed to the composer (by the dock, when a card it stood in for goes) lands in
    // the field.
    setFocusProxy(m_field);
    cardLayout->addWidget(m_field);

    auto *row = new QHBoxLayout;
    row->setContentsMargins(10, 0, 8, 6);
    row->setSpacing(8);
    m_modeMenu = new CompactMenuButton(u"切换运行模式"_s, 8, card);
    m_modeMenu->setObjectName(u"composer-mode-menu"_s);
    m_permissionMenu = new CompactMenuButton(u"切换权限模式"_s, 8, card);
    m_permissionMenu->setObjectName(u"composer-permission-menu"_s);
    m_subagentChip = new SubagentChip(card);
    m_subagentChip->setObjectName(u"composer-subagent-chip"_s);
    m_modelPicker = new CompactMenuButton(u"切换模型"_s, 0, card);
    m_modelPicker->setObjectName(u"composer-model-picker"_s);
    m_modelPicker->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    m_actionButton = new RoundSymbolButton(34, 15, card);
    m_actionButton->setObjectName(u"composer-action"_s);
    row->addWidget(m_modeMenu);
    row->addWidget(m_permissionMenu);
    row->addWidget(m_subagentChip);
    row->addSpacing(12);
    row->addStretch(1);
    row->addWidget(m_modelPicker);
    row->addWidget(m_actionButton);
    cardLayout->addLayout(row);

    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(new CenteredColumn(card, kCardMaxWidth, 16, this));

    connect(m_field, &PromptField::submitRequested, this, &ComposerView::submit);
    connect(m_field, &PromptField::textChanged, this, &ComposerView::refreshActionButton);
    connect(m_field, &PromptField::focusChanged, card, [card](bool focused) { card->setFocused(focused); });
    connect(m_actionButton, &QAbstractButton::clicked, this, [this] {
        if (m_session && m_session->running()) {
            if (m_sessionActions)
                m_sessionActions->cancelCurrentSession();
            return;
        }
        submit();
    });
    connect(m_modeMenu->menu(), &QMenu::aboutToShow, this, &ComposerView::fillModeMenu);
    connect(m_permissionMenu->menu(), &QMenu::aboutToShow, this, &ComposerView::fillPermissionMenu);
    connect(m_modelPicker->menu(), &QMenu::aboutToShow, this, &ComposerView::fillModelMenu);
    connect(m_permissionSwitch, &PermissionSwitch::changed, this, [this] {
        refreshPermissionMenu();
        syncConfirmation();
    });
    if (selection)
        connect(selection, &SessionSelection::selectedSubagentChanged, this, &ComposerView::refresh);

    m_session = std::move(session);
    m_permissionSwitch->setSession(m_session);
    connectSession();
    refresh();
}

ComposerView::~ComposerView()
{
    for (const QMetaObject::Connection &c : std::as_const(m_sessionConnections))
        QObject::disconnect(c);
}

void ComposerView::setSession(std::shared_ptr<SessionModel> session)
{
    if (session == m_session)
        return;
    m_session = std::move(session);
    m_permissionSwitch->setSession(m_session);
    connectSession();
    refresh();
}

void ComposerView::connectSession()
{
    for (const QMetaObject::Connection &c : std::as_const(m_sessionConnections))
        QObject::disconnect(c);
    m_sessionConnections.clear();
    SessionModel *s = m_session.get();
    if (!s)
        return;
    m_sessionConnections << connect(s, &SessionModel::runningChanged, this, &ComposerView::refreshActionButton)
                         << connect(s, &SessionModel::planActiveChanged, this, &ComposerView::refreshModeMenu)
                         << connect(s, &SessionModel::planPendingChanged, this, &ComposerView::refreshModeMenu)
                         << connect(s, &SessionModel::permissionsChanged, this, &ComposerView::refreshPermissionMenu)
                         << connect(s, &SessionModel::modelCatalogChanged, this, &ComposerView::refreshModelPicker);
}

void ComposerView::refresh()
{
    refreshSubagent();
    refreshModeMenu();
    refreshPermissionMenu();
    refreshModelPicker();
    refreshActionButton();
}

void ComposerView::refreshSubagent()
{
    const std::optional<SelectedSubagent> subagent =
        m_selection ? m_selection->selectedSubagent() : std::nullopt;
    m_field->setPlaceholderText(composer::placeholder(subagent));
    m_field->setAccessibleName(composer::placeholder(subagent));
    m_field->setEnabled(composer::promptFieldEnabled(subagent));
    m_subagentChip->setVisible(subagent.has_value());
    if (subagent)
        static_cast<SubagentChip *>(m_subagentChip)->setLabel(subagent->label);
    m_modeMenu->setVisible(!subagent);
    m_modelPicker->setVisible(!subagent);
    refreshPermissionMenu();
}

void ComposerView::refreshActionButton()
{
    const bool running = m_session && m_session->running();
    if (composer::actionButtonMode(running) == composer::ActionButtonMode::Stop) {
        m_actionButton->setFixedSize(32, 32);
        m_actionButton->setSymbol(u"stop.fill"_s);
        QColor fill = Theme::primaryText();
        fill.setAlphaF(0.82f);
        m_actionButton->setFill(fill);
        m_actionButton->setSymbolColor(Theme::isDark() ? Theme::canvas() : QColor(Qt::white));
        m_actionButton->setHelp(composer::stopToolTip.toString());
        m_actionButton->setDisabledOpacity(1.0);
        m_actionButton->setEnabled(true);
        return;
    }
    const std::optional<SelectedSubagent> subagent =
        m_selection ? m_selection->selectedSubagent() : std::nullopt;
    m_actionButton->setFixedSize(34, 34);
    m_actionButton->setSymbol(u"arrow.up"_s);
    m_actionButton->setFill(Theme::sendButton());
    m_actionButton->setSymbolColor(QColor(Qt::white));
    m_actionButton->setHelp(composer::sendToolTip.toString());
    m_actionButton->setDisabledOpacity(0.4);
    m_actionButton->setEnabled(composer::canSend(m_field->text(), subagent));
}

void ComposerView::refreshModeMenu()
{
    const bool active = m_session && m_session->planActive();
    const bool pending = m_session && m_session->planPending();
    const composer::RunModeButton face = composer::runModeButton(active, pending);
    m_modeMenu->setFace(face.icon, face.text);
    m_modeMenu->setEnabled(!pending);
}

void ComposerView::refreshPermissionMenu()
{
    const bool subagent = m_selection && m_selection->selectedSubagent();
    const std::optional<PermissionState> &state = m_session ? m_session->permissions() : std::nullopt;
    if (subagent || !state || composer::visiblePermissionOptions(*state).empty()) {
        m_permissionMenu->hide();
        return;
    }
    const std::optional<QString> &pending = m_permissionSwitch->pendingValue();
    m_permissionMenu->setFace(composer::permissionIcon(composer::shownPermissionValue(*state, pending)),
                              composer::permissionMenuLabel(*state, pending));
    m_permissionMenu->setEnabled(!pending);
    m_permissionMenu->show();
}

void ComposerView::refreshModelPicker()
{
    const std::optional<SessionModelsValue> catalog = m_session ? m_session->modelCatalog() : std::nullopt;
    // The host's model name, isolated; the placeholder is ours.
    const QString model = composer::modelLabel(catalog);
    m_modelPicker->setFace(QString(), catalog ? text::bidiIsolated(model) : model);
}

void ComposerView::fillModeMenu()
{
    QMenu *menu = m_modeMenu->menu();
    menu->clear();
    const bool active = m_session && m_session->planActive();
    for (composer::RunMode mode : {composer::RunMode::Agent, composer::RunMode::Plan}) {
        const QString title = mode == composer::RunMode::Agent ? u"Agent 模式"_s : u"计划模式"_s;
        QAction *action = addMenuAction(menu, title, composer::runModeItemIcon(mode, active));
        connect(action, &QAction::triggered, this, [this, mode] {
            // The plan state at the moment of the choice decides what is sent.
            if (!m_session || !m_sessionActions)
                return;
            if (const std::optional<QString> command = composer::planCommand(mode, m_session->planActive()))
                m_sessionActions->sendPrompt(*command);
        });
    }
}

void ComposerView::fillPermissionMenu()
{
    QMenu *menu = m_permissionMenu->menu();
    menu->clear();
    if (!m_session || !m_session->permissions())
        return;
    for (const composer::PermissionMenuItem &item :
         composer::permissionMenuItems(*m_session->permissions(), m_permissionSwitch->pendingValue())) {
        QAction *action = addMenuAction(menu, item.title, item.icon);
        action->setEnabled(item.enabled);
        const PermissionOption option = item.option;
        connect(action, &QAction::triggered, this, [this, option] {
            if (!m_session || !m_session->permissions())
                return;
            m_permissionSwitch->choose(option, m_session->permissions()->currentValue);
        });
    }
}

void ComposerView::fillModelMenu()
{
    QMenu *menu = m_modelPicker->menu();
    menu->clear();
    const std::optional<SessionModelsValue> catalog = m_session ? m_session->modelCatalog() : std::nullopt;
    if (!catalog) {
        QAction *line = menu->addAction(u"模型目录不可用"_s);
        line->setEnabled(false);
        return;
    }
    for (const ModelProviderGroup &group : catalog->groups) {
        QMenu *submenu = menu->addMenu(menuText(text::bidiIsolated(group.name)));
        for (const ModelCatalogModel &model : group.models) {
            const bool current = composer::isCurrentModel(*catalog, group, model);
            const QString name = text::bidiIsolated(model.name);
            QAction *action = current ? addMenuAction(submenu, name, u"checkmark"_s) : submenu->addAction(menuText(name));
            const QString provider = group.id;
            const QString modelId = model.id;
            connect(action, &QAction::triggered, this, [this, provider, modelId] {
                if (m_sessionActions)
                    m_sessionActions->selectModel(provider, modelId, std::nullopt);
            });
        }
    }
}

void ComposerView::syncConfirmation()
{
    if (m_syncingConfirmation)
        return;
    m_syncingConfirmation = true;
    const std::optional<PermissionOption> &candidate = m_permissionSwitch->fullAccessCandidate();
    if (candidate && !(m_confirmation && m_confirmation->isVisible())) {
        if (!m_confirmation) {
            m_confirmation = new FullAccessConfirmation(this);
            connect(m_confirmation->acknowledgeBox(), &QCheckBox::toggled, m_permissionSwitch,
                    &PermissionSwitch::setFullAccessAcknowledged);
            connect(m_confirmation, &QDialog::finished, this, [this](int result) {
                if (result == QDialog::Accepted)
                    m_permissionSwitch->confirmFullAccess();
                else
                    m_permissionSwitch->cancelFullAccess();
                m_permissionSwitch->confirmationDismissed();
            });
        }
        m_confirmation->acknowledgeBox()->setChecked(false);
        m_confirmation->open();
    } else if (!candidate && m_confirmation && m_confirmation->isVisible()) {
        m_confirmation->reject();
    }
    m_syncingConfirmation = false;
}

void ComposerView::submit()
{
    const std::optional<SelectedSubagent> subagent =
        m_selection ? m_selection->selectedSubagent() : std::nullopt;
    const QString text = m_field->text();
    if (!composer::canSend(text, subagent))
        return;
    m_field->clear();
    if (!m_sessionActions)
        return;
    const std::weak_ptr<SessionModel> addressed = m_session;
    const QPointer<ComposerView> self(this);
    giveBackUnsentPrompt(m_sessionActions->sendPrompt(text), m_field, text,
                         [self, addressed] { return self && self->m_session && self->m_session == addressed.lock(); });
}

} // namespace nbd
