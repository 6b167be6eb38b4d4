#include "UI/Settings/HostSettingsTab.h"

#include "Store/HostSettingsStore.h"
#include "UI/Settings/SettingsControls.h"
#include "UI/Shared/ElidedLabel.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/PagedColumn.h"
#include "UI/Shared/StatusPill.h"
#include "UI/Shared/Theme.h"

#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedLayout>
#include <QStringList>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

// Namespace cards built at once, and added at each "显示更多".
constexpr qsizetype kCardsPerPage = 10;
// Secret slots named in a card's header; the rest are counted.
constexpr qsizetype kSecretsShown = 12;

StatusPill::Kind appliesKind(const QString &applies)
{
    return applies == u"live"_s ? StatusPill::Kind::Success : StatusPill::Kind::Warning;
}

QString appliesText(const QString &applies)
{
    return applies == u"live"_s ? u"即时生效"_s : u"重启生效"_s;
}

// One secret slot of a namespace: a lock (closed when a value is stored) and its key path.
class SecretLabel : public QWidget
{
public:
    SecretLabel(const SettingsSecretView &secret, QWidget *parent) : QWidget(parent)
    {
        const QString path = QStringList(secret.path.begin(), secret.path.end()).join(u'.');
        setObjectName(u"settings-secret-"_s + path);
        auto *layout = new QHBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(3);
        auto *icon = new IconView(secret.set ? u"lock.fill"_s : u"lock.open"_s, 10, this);
        icon->setObjectName(u"settings-secret-icon"_s);
        icon->setFixedSize(11, 11);
        layout->addWidget(icon);
        // A one-line name: only what a line can show of a key path is laid out.
        const QString shown = rowText(path);
        layout->addWidget(new ThemedLabel(shown, Fonts::caption(), &Theme::secondaryText, this));
        setAccessibleName(shown + (secret.set ? u"（已设置）"_s : u"（未设置）"_s));
    }
};

} // namespace

// The card of one namespace: its name, when a change applies, its revision and secret slots,
// the JSON editor, the message under it and the two buttons.
class HostSettingsCard : public CardFrame
{
public:
    HostSettingsCard(const SettingsNamespaceView &record, QWidget *parent)
        : CardFrame(8, 0.03, parent)
        , ns(record.ns)
        , pill(new StatusPill(appliesText(record.applies), appliesKind(record.applies)))
        , revision(new ThemedLabel({}, monospacedFont(10), &Theme::tertiaryText))
        , secrets(new QHBoxLayout)
        , editorFrame(new CardFrame(7, 0.035))
        , editor(new QPlainTextEdit)
        , message(new ThemedLabel({}, Fonts::caption(), &Theme::systemRed))
        , resetButton(new QPushButton(u"重置"_s))
        , saveButton(new QPushButton(u"保存"_s))
    {
        setObjectName(u"settings-namespace-"_s + ns);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        auto *layout = new QVBoxLayout(this);
        layout->setContentsMargins(12, 12, 12, 12);
        layout->setSpacing(8);

        auto *header = new QHBoxLayout;
        header->setSpacing(8);
        auto *name = new ThemedLabel(rowText(ns), monospacedFont(10, QFont::DemiBold), &Theme::primaryText, this);
        name->setObjectName(u"settings-namespace-name"_s);
        header->addWidget(name);
        pill->setParent(this);
        pill->setObjectName(u"settings-namespace-applies"_s);
        header->addWidget(pill);
        revision->setParent(this);
        revision->setObjectName(u"settings-namespace-revision"_s);
        header->addWidget(revision);
        header->addStretch(1);
        secrets->setSpacing(8);
        header->addLayout(secrets);
        layout->addLayout(header);

        editorFrame->setParent(this);
        editorFrame->setFixedHeight(130);
        auto *frameLayout = new QVBoxLayout(editorFrame);
        frameLayout->setContentsMargins(6, 6, 6, 6);
        editor->setParent(editorFrame);
        editor->setObjectName(u"settings-namespace-editor"_s);
        editor->setAccessibleName(rowText(ns) + u" 的设置值"_s);
        editor->setFont(monospacedFont(10));
        editor->setFrameShape(QFrame::NoFrame);
        editor->setTabChangesFocus(true);
        editor->setLineWrapMode(QPlainTextEdit::NoWrap);
        QPalette p = editor->palette();
        p.setColor(QPalette::Base, Qt::transparent);
        editor->setPalette(p);
        editor->viewport()->setAutoFillBackground(false);
        frameLayout->addWidget(editor);
        layout->addWidget(editorFrame);

        message->setParent(this);
        message->setObjectName(u"settings-namespace-error"_s);
        message->setWordWrap(true);
        message->setTextInteractionFlags(Qt::TextSelectableByMouse);
        message->hide();
        layout->addWidget(message);

        auto *buttons = new QHBoxLayout;
        buttons->setSpacing(8);
        buttons->addStretch(1);
        for (QPushButton *button : {resetButton, saveButton}) {
            button->setParent(this);
            button->setAutoDefault(false);
            button->setFont(Fonts::callout());
            buttons->addWidget(button);
        }
        resetButton->setObjectName(u"settings-namespace-reset"_s);
        saveButton->setObjectName(u"settings-namespace-save"_s);
        saveButton->setDefault(false);
        // The prominent button of the pair: white on the brand colour in both appearances,
        // faded while there is nothing to save.
        const QColor brand = Theme::brand();
        const QString faded = u"rgba(%1, %2, %3, 0.4)"_s.arg(brand.red()).arg(brand.green()).arg(brand.blue());
        saveButton->setStyleSheet(
            u"QPushButton { background: %1; color: white; border: none; border-radius: 5px; padding: 4px 14px; }"
            "QPushButton:pressed { background: %2; }"
            "QPushButton:focus { border: 1px solid %2; }"
            "QPushButton:disabled { background: %3; color: rgba(255, 255, 255, 0.75); }"_s.arg(
                brand.name(), brand.darker(125).name(), faded));
        saveButton->setMinimumHeight(resetButton->sizeHint().height());
        layout->addLayout(buttons);
        connect(editor, &QPlainTextEdit::textChanged, this, [this] { followEdits(); });
        setRecord(record);
    }

    void setRecord(const SettingsNamespaceView &record)
    {
        pill->setText(appliesText(record.applies));
        pill->setKind(appliesKind(record.applies));
        revision->setText(u"rev "_s + QString::number(record.revision));
        while (QLayoutItem *item = secrets->takeAt(0)) {
            delete item->widget();
            delete item;
        }
        const qsizetype shown = std::min(qsizetype(record.secrets.size()), kSecretsShown);
        for (qsizetype i = 0; i < shown; ++i)
            secrets->addWidget(new SecretLabel(record.secrets[size_t(i)], this));
        if (qsizetype(record.secrets.size()) > shown) {
            auto *more = new ThemedLabel(u"还有 %1 项"_s.arg(qsizetype(record.secrets.size()) - shown), Fonts::caption(),
                                         &Theme::tertiaryText, this);
            more->setObjectName(u"settings-secrets-more"_s);
            secrets->addWidget(more);
        }
    }

    // An error shows in red with the editor's border; a notice (nothing to save) plainly.
    void setMessage(const std::optional<QString> &text, bool error = true)
    {
        message->setTone(error ? Theme::systemRed : Theme::secondaryText);
        message->setText(text.value_or(QString()));
        message->setVisible(text.has_value());
        editorFrame->setAlert(text.has_value() && error);
    }

    // The editor shows `text` as the host's value: "保存" waits until the text differs.
    void showValue(const QString &text)
    {
        shownValue = text;
        editor->setPlainText(text);
        followEdits();
    }

    void followEdits() { saveButton->setEnabled(editor->toPlainText() != shownValue); }

    QString ns;
    StatusPill *pill;
    ThemedLabel *revision;
    QHBoxLayout *secrets;
    CardFrame *editorFrame;
    QPlainTextEdit *editor;
    ThemedLabel *message;
    QPushButton *resetButton;
    QPushButton *saveButton;
    QString shownValue;
};

HostSettingsTab::HostSettingsTab(HostSettingsStore *hostSettings, QWidget *parent)
    : QWidget(parent)
    , m_hostSettings(hostSettings)
    , m_stack(new QStackedLayout(this))
{
    setObjectName(u"settings-host"_s);
    m_stack->addWidget(new ProgressState(u"加载主机设置…"_s, this));
    m_stack->widget(0)->setObjectName(u"settings-host-loading"_s);
    load();
}

HostSettingsTab::~HostSettingsTab()
{
    m_alive.reset();
}

QCoro::Task<void> HostSettingsTab::load()
{
    QPointer<HostSettingsTab> self(this);
    const std::weak_ptr<const bool> alive = m_alive;
    if (m_loaded || !m_hostSettings) {
        m_loading = false;
        m_loaded = true;
        showState();
        co_return;
    }
    std::variant<SettingsDescribeValue, QString> described = co_await m_hostSettings->describeSettings();
    if (alive.expired() || !self)
        co_return;
    m_loading = false;
    if (const QString *failure = std::get_if<QString>(&described)) {
        m_loadFailure = *failure;
        showFailure();
        co_return;
    }
    m_loadFailure.reset();
    m_namespaces = std::move(std::get<SettingsDescribeValue>(described).namespaces);
    m_loaded = true;
    showState();
}

void HostSettingsTab::retry()
{
    if (m_loading || m_loaded)
        return;
    m_loading = true;
    m_stack->setCurrentIndex(0);
    if (m_failurePage) {
        m_failurePage->hide();
        m_failurePage->deleteLater();
        m_failurePage = nullptr;
    }
    load();
}

void HostSettingsTab::showFailure()
{
    // Not the empty state: the host may well have settings, they just could not be read.
    auto *page = new QWidget(this);
    page->setObjectName(u"settings-host-failed"_s);
    auto *column = new QVBoxLayout(page);
    column->addStretch(1);
    auto *state = new ContentUnavailableState(u"exclamationmark.triangle"_s, u"无法读取主机设置"_s,
                                              m_loadFailure.value_or(QString()), page);
    state->setObjectName(u"settings-host-failure"_s);
    column->addWidget(state);
    auto *retryButton = new QPushButton(u"重试"_s, page);
    retryButton->setObjectName(u"settings-host-retry"_s);
    retryButton->setAutoDefault(false);
    connect(retryButton, &QPushButton::clicked, this, &HostSettingsTab::retry);
    column->addWidget(retryButton, 0, Qt::AlignHCenter);
    column->addStretch(1);
    m_failurePage = page;
    m_stack->addWidget(page);
    m_stack->setCurrentWidget(page);
}

void HostSettingsTab::showState()
{
    if (m_namespaces.empty()) {
        auto *empty = new ContentUnavailableState(u"slider.horizontal.3"_s, u"没有可用的设置命名空间"_s, {}, this);
        empty->setObjectName(u"settings-host-empty"_s);
        m_stack->addWidget(empty);
        m_stack->setCurrentWidget(empty);
        return;
    }
    const ScrollingList list = scrollingList(u"设置命名空间"_s, QMargins(14, 14, 14, 14), 8, this);
    list.scroll->setObjectName(u"settings-host-list"_s);
    m_cardList = list.content;
    // Cards come a page at a time: a host may have thousands of namespaces, each card an editor.
    auto *cards = new PagedColumn(qsizetype(m_namespaces.size()), kCardsPerPage,
                                  [this](qsizetype index, QWidget *parent) -> QWidget * {
                                      if (size_t(index) >= m_namespaces.size())
                                          return nullptr;
                                      return makeCard(m_namespaces[size_t(index)], parent);
                                  },
                                  m_cardList);
    cards->setObjectName(u"settings-host-cards"_s);
    cards->rows()->setSpacing(8);
    list.column->addWidget(cards);
    list.column->addStretch(1);
    m_stack->addWidget(list.scroll);
    m_stack->setCurrentWidget(list.scroll);
}

HostSettingsCard *HostSettingsTab::makeCard(const SettingsNamespaceView &record, QWidget *parent)
{
    auto *card = new HostSettingsCard(record, parent);
    card->showValue(nbd::editorText(record.value));
    if (const auto it = m_errors.constFind(record.ns); it != m_errors.constEnd())
        card->setMessage(*it);
    const QString ns = record.ns;
    connect(card->saveButton, &QPushButton::clicked, this, [this, ns] {
        for (const SettingsNamespaceView &listed : m_namespaces) {
            if (listed.ns == ns) {
                save(listed);
                return;
            }
        }
    });
    connect(card->resetButton, &QPushButton::clicked, this, [this, ns] { reset(ns); });
    m_cards.push_back(card);
    return card;
}

HostSettingsCard *HostSettingsTab::card(const QString &ns) const
{
    for (HostSettingsCard *c : m_cards) {
        if (c->ns == ns)
            return c;
    }
    return nullptr;
}

QString HostSettingsTab::editorText(const QString &ns) const
{
    const HostSettingsCard *c = card(ns);
    return c ? c->editor->toPlainText() : QString();
}

std::optional<QString> HostSettingsTab::error(const QString &ns) const
{
    const auto it = m_errors.constFind(ns);
    return it == m_errors.constEnd() ? std::nullopt : std::optional<QString>(*it);
}

void HostSettingsTab::setError(const QString &ns, std::optional<QString> message)
{
    if (message)
        m_errors.insert(ns, *message);
    else
        m_errors.remove(ns);
    if (HostSettingsCard *c = card(ns))
        c->setMessage(message);
}

void HostSettingsTab::save(const SettingsNamespaceView &ns)
{
    std::variant<SettingsPatch, QString> patch = SettingsPatch::fromEditorText(editorText(ns.ns), ns);
    if (const QString *failure = std::get_if<QString>(&patch)) {
        if (*failure == SettingsPatch::unchangedMessage()) {
            // Not an error: the text holds what the host has, so there is nothing to send.
            setError(ns.ns, std::nullopt);
            if (HostSettingsCard *c = card(ns.ns))
                c->setMessage(*failure, false);
        } else {
            setError(ns.ns, *failure);
        }
        return;
    }
    // The revision the card shows now: a host that has moved on refuses the change.
    runSave(ns.ns, std::get<SettingsPatch>(std::move(patch)), ns.revision);
}

QCoro::Task<void> HostSettingsTab::runSave(QString ns, SettingsPatch patch, qint64 revision)
{
    QPointer<HostSettingsTab> self(this);
    const std::weak_ptr<const bool> alive = m_alive;
    QPointer<HostSettingsStore> store = m_hostSettings;
    if (!store)
        co_return;
    std::variant<SettingsNamespaceView, QString> result = co_await store->updateSettings(ns, patch.value, revision);
    if (alive.expired() || !self)
        co_return;
    if (const QString *failure = std::get_if<QString>(&result)) {
        setError(ns, *failure);
        co_return;
    }
    const SettingsNamespaceView *updated = &std::get<SettingsNamespaceView>(result);
    for (SettingsNamespaceView &listed : m_namespaces) {
        if (listed.ns == ns) {
            listed = *updated;
            break;
        }
    }
    if (HostSettingsCard *c = card(ns)) {
        c->setRecord(*updated);
        c->showValue(nbd::editorText(updated->value));
    }
    setError(ns, std::nullopt);
}

void HostSettingsTab::reset(const QString &ns)
{
    for (const SettingsNamespaceView &listed : m_namespaces) {
        if (listed.ns == ns) {
            if (HostSettingsCard *c = card(ns))
                c->showValue(nbd::editorText(listed.value));
            break;
        }
    }
    setError(ns, std::nullopt);
}

} // namespace nbd
