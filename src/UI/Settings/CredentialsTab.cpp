#include "UI/Settings/CredentialsTab.h"

#include "Store/HostSettingsStore.h"
#include "UI/Settings/SettingsControls.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/StatusPill.h"
#include "UI/Shared/Theme.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

bool isBlank(QChar c)
{
    return c == u'\t' || c.category() == QChar::Separator_Space;
}

// One looked-up credential: whether it is configured, its name, where its value comes from,
// and a badge when the client may not write it.
class CredentialRow : public CardFrame
{
public:
    CredentialRow(const CredentialsTab::Entry &entry, QWidget *parent) : CardFrame(7, 0.03, parent, false)
    {
        setObjectName(u"settings-credential-"_s + entry.ref);
        auto *layout = new QHBoxLayout(this);
        layout->setContentsMargins(8, 8, 8, 8);
        layout->setSpacing(8);
        const bool configured = entry.view.configured;
        auto *icon = new IconView(configured ? u"checkmark.circle.fill"_s : u"circle"_s, 13, this);
        icon->setObjectName(u"settings-credential-icon"_s);
        icon->setTint(configured ? Theme::success() : Theme::secondaryText());
        icon->setFixedSize(14, 14);
        layout->addWidget(icon);
        auto *name = new ThemedLabel(entry.ref, monospacedFont(10), &Theme::primaryText, this);
        name->setObjectName(u"settings-credential-name"_s);
        layout->addWidget(name);
        const QString status = configured ? u"已配置"_s : u"未配置"_s;
        auto *statusLabel = new ThemedLabel(status, Fonts::caption(), &Theme::tertiaryText, this);
        statusLabel->setObjectName(u"settings-credential-status"_s);
        layout->addWidget(statusLabel);
        QString description = entry.ref + u"，"_s + status;
        if (entry.view.source) {
            auto *source = new ThemedLabel(u"来源: "_s + *entry.view.source, Fonts::caption(), &Theme::tertiaryText, this);
            source->setObjectName(u"settings-credential-source"_s);
            layout->addWidget(source);
            description += u"，来源: "_s + *entry.view.source;
        }
        layout->addStretch(1);
        if (!entry.view.writable) {
            auto *readOnly = new StatusPill(u"只读"_s, StatusPill::Kind::Neutral, std::nullopt, this);
            readOnly->setObjectName(u"settings-credential-readonly"_s);
            layout->addWidget(readOnly);
            description += u"，只读"_s;
        }
        setAccessibleName(description);
    }
};

} // namespace

QString CredentialsTab::trimmedName(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    return text.sliced(begin, end - begin);
}

CredentialsTab::CredentialsTab(HostSettingsStore *hostSettings, QWidget *parent)
    : QWidget(parent)
    , m_hostSettings(hostSettings)
    , m_ref(new QLineEdit)
    , m_messageLabel(new ThemedLabel({}, Fonts::caption(), &Theme::secondaryText))
    , m_rows(new QVBoxLayout)
{
    setObjectName(u"settings-credentials"_s);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);

    auto *actions = new QHBoxLayout;
    actions->setContentsMargins(14, 14, 14, 0);
    actions->setSpacing(8);
    m_ref->setParent(this);
    m_ref->setObjectName(u"settings-credential-ref"_s);
    m_ref->setPlaceholderText(u"凭据名(如 NIMBREL_API_KEY)"_s);
    m_ref->setAccessibleName(u"凭据名"_s);
    m_ref->setFont(monospacedFont(12));
    actions->addWidget(m_ref, 1);
    auto addButton = [&](const QString &text, const QString &objectName) {
        auto *button = new QPushButton(text, this);
        button->setObjectName(objectName);
        button->setAutoDefault(false);
        actions->addWidget(button);
        return button;
    };
    QPushButton *queryButton = addButton(u"查询"_s, u"settings-credential-query"_s);
    QPushButton *setButton = addButton(u"设置…"_s, u"settings-credential-set"_s);
    QPushButton *unsetButton = addButton(u"删除"_s, u"settings-credential-unset"_s);
    layout->addLayout(actions);
    connect(queryButton, &QPushButton::clicked, this, [this] { query(); });
    connect(setButton, &QPushButton::clicked, this, &CredentialsTab::presentSet);
    connect(unsetButton, &QPushButton::clicked, this, [this] { unset(); });

    m_messageLabel->setParent(this);
    m_messageLabel->setObjectName(u"settings-credential-message"_s);
    m_messageLabel->setContentsMargins(14, 0, 14, 0);
    m_messageLabel->setWordWrap(true);
    m_messageLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_messageLabel->hide();
    layout->addWidget(m_messageLabel);

    const ScrollingList list = scrollingList(u"已查询的凭据"_s, QMargins(14, 14, 14, 14), 6, this);
    list.scroll->setObjectName(u"settings-credential-list"_s);
    m_rows->setSpacing(6);
    list.column->addLayout(m_rows);
    list.column->addStretch(1);
    layout->addWidget(list.scroll, 1);
}

CredentialsTab::~CredentialsTab()
{
    m_alive.reset();
    // The value dialog belongs to the page: it goes with it, and whatever was typed with it.
    delete m_dialog;
}

void CredentialsTab::setMessage(std::optional<QString> message)
{
    m_message = std::move(message);
    m_messageLabel->setText(m_message.value_or(QString()));
    m_messageLabel->setVisible(m_message.has_value());
}

void CredentialsTab::rebuildRows()
{
    while (QLayoutItem *item = m_rows->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    for (const Entry &entry : m_entries)
        m_rows->addWidget(new CredentialRow(entry, m_rows->parentWidget()));
}

QCoro::Task<void> CredentialsTab::query() { co_await lookUp(false); }

QCoro::Task<void> CredentialsTab::lookUp(bool keepMessage)
{
    QPointer<CredentialsTab> self(this);
    const std::weak_ptr<const bool> alive = m_alive;
    const QString name = trimmedName(m_ref->text());
    QPointer<HostSettingsStore> store = m_hostSettings;
    if (name.isEmpty() || !store)
        co_return;
    const std::optional<CredentialView> view = co_await store->describeCredential(name);
    if (alive.expired() || !self)
        co_return;
    if (!view) {
        if (!keepMessage)
            setMessage(u"查询失败"_s);
        co_return;
    }
    const auto it = std::find_if(m_entries.begin(), m_entries.end(), [&](const Entry &e) { return e.ref == name; });
    if (it != m_entries.end())
        it->view = *view;
    else
        m_entries.push_back({name, *view});
    rebuildRows();
    if (!keepMessage)
        setMessage(std::nullopt);
}

void CredentialsTab::presentSet()
{
    const QString name = trimmedName(m_ref->text());
    if (name.isEmpty() || m_dialog)
        return;
    auto *dialog = new QDialog(window());
    dialog->setObjectName(u"settings-credential-dialog"_s);
    dialog->setWindowTitle(u"设置凭据"_s);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    auto *layout = new QVBoxLayout(dialog);
    layout->setContentsMargins(20, 18, 20, 16);
    layout->setSpacing(8);
    auto *title = new ThemedLabel(u"设置凭据 "_s + name, Fonts::system(13, QFont::DemiBold), &Theme::primaryText, dialog);
    title->setObjectName(u"settings-credential-dialog-title"_s);
    layout->addWidget(title);
    layout->addWidget(new ThemedLabel(u"值会通过本机 loopback 发送给 NBD 主机保存"_s, Fonts::subheadline(),
                                      &Theme::secondaryText, dialog));
    auto *field = new QLineEdit(dialog);
    field->setObjectName(u"settings-credential-value"_s);
    field->setAccessibleName(u"凭据值"_s);
    field->setEchoMode(QLineEdit::Password);
    field->setFixedSize(280, 24);
    layout->addSpacing(4);
    layout->addWidget(field);
    auto *buttons = new QHBoxLayout;
    buttons->setContentsMargins(0, 8, 0, 0);
    buttons->addStretch(1);
    auto *cancel = new QPushButton(u"取消"_s, dialog);
    cancel->setObjectName(u"settings-credential-cancel"_s);
    cancel->setAutoDefault(false);
    auto *save = new QPushButton(u"保存"_s, dialog);
    save->setObjectName(u"settings-credential-save"_s);
    save->setDefault(true);
    buttons->addWidget(cancel);
    buttons->addWidget(save);
    layout->addLayout(buttons);
    connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
    connect(save, &QPushButton::clicked, dialog, &QDialog::accept);
    connect(dialog, &QDialog::accepted, this, [this, name, field] {
        // Read once and cleared at once: the value lives on only in the request.
        QString value = field->text();
        field->clear();
        change(name, std::move(value));
    });
    m_dialog = dialog;
    dialog->open();
    field->setFocus();
}

QCoro::Task<void> CredentialsTab::change(QString name, std::optional<QString> value)
{
    const bool setting = value.has_value();
    QPointer<CredentialsTab> self(this);
    const std::weak_ptr<const bool> alive = m_alive;
    QPointer<HostSettingsStore> store = m_hostSettings;
    if (!store)
        co_return;
    std::optional<QString> failure;
    if (setting)
        failure = co_await store->setCredential(name, std::move(*value));
    else
        failure = co_await store->unsetCredential(name);
    if (alive.expired() || !self)
        co_return;
    setMessage(failure.value_or(setting ? u"已保存"_s : u"已删除"_s));
    // A refused or failed change stays in view until the user's next action: the row then
    // shows what the host still holds, and the message why it was not changed.
    co_await lookUp(failure.has_value());
}

QCoro::Task<void> CredentialsTab::unset()
{
    const QString name = trimmedName(m_ref->text());
    if (name.isEmpty())
        co_return;
    co_await change(name, std::nullopt);
}

} // namespace nbd
