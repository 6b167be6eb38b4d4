#include "UI/Settings/ConnectionSettingsTab.h"

#include "UI/Settings/SettingsControls.h"
#include "UI/Shared/Theme.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

const QString kEmbeddedDescriptionPlain =
    u"启动时先附着已有的 NBD Web Host；未发现时才拉起并管理 nbd --profile web 子进程。"_s;
const QString kEmbeddedDescriptionRich =
    u"启动时先附着已有的 NBD Web Host；未发现时才拉起并管理 <code>nbd --profile web</code> 子进程。"_s;
const QString kExternalDescription = u"连接到一个已在运行的 NBD Web 主机。"_s;
const QString kNotFound = u"未找到 nbd"_s;

QColor detectColor(const QString &result)
{
    return result.startsWith(u"已找到"_s) ? Theme::success() : Theme::systemRed();
}

// A host-description value on the trailing side of its row: selectable, wrapping when long.
ThemedLabel *valueLabel(const QString &objectName)
{
    auto *label = new ThemedLabel({}, Fonts::body(), &Theme::secondaryText);
    label->setObjectName(objectName);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setAlignment(Qt::AlignRight | Qt::AlignTop);
    label->setWordWrap(true);
    label->setMaximumWidth(460);
    return label;
}

} // namespace

QString ConnectionSettingsTab::foundLabel(const QString &path)
{
    return u"已找到："_s + path;
}

ConnectionSettingsTab::ConnectionSettingsTab(SettingsOwners owners, QWidget *parent)
    : QWidget(parent)
    , m_owners(std::move(owners))
{
    setObjectName(u"settings-connection"_s);
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto *scroll = new QScrollArea(this);
    scroll->setAccessibleName(u"连接设置"_s);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->viewport()->setAutoFillBackground(false);
    outer->addWidget(scroll);
    auto *form = new QWidget;
    scroll->setWidget(form);
    // The scroll area makes the content opaque; the page shows the canvas through it.
    form->setAutoFillBackground(false);
    auto *layout = new QVBoxLayout(form);
    layout->setContentsMargins(22, 18, 22, 22);
    layout->setSpacing(18);

    // ---- How the host is reached ----
    auto *modeSection = new FormSection(u"连接方式"_s, form);
    modeSection->setObjectName(u"settings-launch-mode-section"_s);
    auto *modeRow = new QWidget;
    auto *modeRowLayout = new QVBoxLayout(modeRow);
    modeRowLayout->setContentsMargins(0, 10, 0, 10);
    modeRowLayout->setSpacing(8);
    auto *picker = new QHBoxLayout;
    picker->setSpacing(12);
    picker->addWidget(new ThemedLabel(u"NBD 来源"_s, Fonts::body(), &Theme::primaryText, modeRow), 0, Qt::AlignTop);
    picker->addStretch(1);
    auto *radios = new QVBoxLayout;
    radios->setSpacing(6);
    m_embedded = new QRadioButton(launchModeLabel(LaunchMode::Embedded), modeRow);
    m_embedded->setObjectName(u"settings-launch-mode-embedded"_s);
    m_external = new QRadioButton(launchModeLabel(LaunchMode::External), modeRow);
    m_external->setObjectName(u"settings-launch-mode-external"_s);
    m_modeGroup = new QButtonGroup(this);
    m_modeGroup->addButton(m_embedded);
    m_modeGroup->addButton(m_external);
    radios->addWidget(m_embedded);
    radios->addWidget(m_external);
    picker->addLayout(radios);
    modeRowLayout->addLayout(picker);
    m_modeDescription = new ThemedLabel({}, Fonts::caption(), &Theme::secondaryText, modeRow);
    m_modeDescription->setObjectName(u"settings-launch-mode-description"_s);
    m_modeDescription->setWordWrap(true);
    modeRowLayout->addWidget(m_modeDescription);
    modeSection->addRow(modeRow);
    layout->addWidget(modeSection);
    connect(m_embedded, &QRadioButton::toggled, this, [this](bool on) {
        if (on && m_owners.connectionSettings && m_owners.connectionSettings->launchMode() != LaunchMode::Embedded)
            m_owners.connectionSettings->setLaunchMode(LaunchMode::Embedded);
    });
    connect(m_external, &QRadioButton::toggled, this, [this](bool on) {
        if (on && m_owners.connectionSettings && m_owners.connectionSettings->launchMode() != LaunchMode::External)
            m_owners.connectionSettings->setLaunchMode(LaunchMode::External);
    });

    // ---- The executable (embedded) ----
    m_executableSection = new FormSection(u"nbd 可执行文件"_s, form);
    m_executableSection->setObjectName(u"settings-executable-section"_s);
    auto *executableRow = new QWidget;
    auto *executableLayout = new QVBoxLayout(executableRow);
    executableLayout->setContentsMargins(0, 10, 0, 10);
    executableLayout->setSpacing(6);
    auto *pathLine = new QHBoxLayout;
    pathLine->setSpacing(8);
    m_executablePath = new QLineEdit(executableRow);
    m_executablePath->setObjectName(u"settings-executable-path"_s);
    m_executablePath->setPlaceholderText(u"留空则自动检测(登录 shell PATH)"_s);
    m_executablePath->setAccessibleName(u"留空则自动检测(登录 shell PATH)"_s);
    m_executablePath->setClearButtonEnabled(false);
    pathLine->addWidget(m_executablePath, 1);
    m_detectButton = new QPushButton(u"检测"_s, executableRow);
    m_detectButton->setObjectName(u"settings-detect-button"_s);
    m_detectButton->setAutoDefault(false);
    pathLine->addWidget(m_detectButton);
    executableLayout->addLayout(pathLine);
    m_detectLabel = new ThemedLabel({}, Fonts::caption(), &Theme::secondaryText, executableRow);
    m_detectLabel->setObjectName(u"settings-detect-result"_s);
    m_detectLabel->setWordWrap(true);
    m_detectLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_detectLabel->hide();
    executableLayout->addWidget(m_detectLabel);
    m_executableSection->addRow(executableRow);
    layout->addWidget(m_executableSection);
    connect(m_executablePath, &QLineEdit::textEdited, this, [this](const QString &text) {
        if (m_owners.connectionSettings)
            m_owners.connectionSettings->setNbdExecutablePath(text);
    });
    connect(m_detectButton, &QPushButton::clicked, this, &ConnectionSettingsTab::detect);

    // ---- The server (external) ----
    m_serverSection = new FormSection(u"服务器"_s, form);
    m_serverSection->setObjectName(u"settings-server-section"_s);
    m_serverURL = new QLineEdit;
    m_serverURL->setObjectName(u"settings-server-url"_s);
    m_serverURL->setPlaceholderText(u"http://127.0.0.1:3080"_s);
    m_serverURL->setAccessibleName(u"NBD 服务器地址"_s);
    m_serverURL->setMinimumWidth(300);
    m_serverSection->addLabeledRow(u"NBD 服务器地址"_s, m_serverURL)->layout()->setContentsMargins(0, 8, 0, 8);
    auto *serverNote = new ThemedLabel(u"NBD 主机的 HTTP 地址。默认本机 loopback。"_s, Fonts::caption(),
                                       &Theme::secondaryText);
    serverNote->setContentsMargins(0, 8, 0, 8);
    m_serverSection->addRow(serverNote);
    layout->addWidget(m_serverSection);
    connect(m_serverURL, &QLineEdit::textEdited, this, [this](const QString &text) {
        if (m_owners.connectionSettings)
            m_owners.connectionSettings->setServerURLString(text);
    });

    // ---- The connection's state ----
    m_statusSection = new FormSection(u"连接状态"_s, form);
    m_statusSection->setObjectName(u"settings-status-section"_s);
    auto *statusRow = new QWidget;
    auto *statusLayout = new QHBoxLayout(statusRow);
    statusLayout->setContentsMargins(0, 9, 0, 9);
    auto *phaseColumn = new QVBoxLayout;
    phaseColumn->setSpacing(2);
    m_phaseLabel = new ThemedLabel({}, Fonts::body(), &Theme::primaryText, statusRow);
    m_phaseLabel->setObjectName(u"settings-connection-phase"_s);
    m_phaseLabel->setWordWrap(true);
    phaseColumn->addWidget(m_phaseLabel);
    m_failureLabel = new ThemedLabel({}, Fonts::caption(), &Theme::systemRed, statusRow);
    m_failureLabel->setObjectName(u"settings-connection-failure"_s);
    m_failureLabel->setWordWrap(true);
    m_failureLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    phaseColumn->addWidget(m_failureLabel);
    statusLayout->addLayout(phaseColumn, 1);
    m_connectButton = new QPushButton(statusRow);
    m_connectButton->setObjectName(u"settings-connect-button"_s);
    m_connectButton->setAutoDefault(false);
    statusLayout->addWidget(m_connectButton, 0, Qt::AlignVCenter);
    m_statusSection->addRow(statusRow);
    layout->addWidget(m_statusSection);
    connect(m_connectButton, &QPushButton::clicked, this, [this] {
        if (!m_owners.connectionStatus || !m_owners.connect || !m_owners.disconnect)
            return;
        if (m_owners.connectionStatus->phase().isConnected())
            m_owners.disconnect();
        else
            m_owners.connect();
    });

    // ---- The local host's output (embedded) ----
    m_logSection = new FormSection(u"内置 NBD 日志"_s, form);
    m_logSection->setObjectName(u"settings-log-section"_s);
    auto *logRow = new QWidget;
    auto *logLayout = new QVBoxLayout(logRow);
    logLayout->setContentsMargins(0, 10, 0, 10);
    logLayout->setSpacing(8);
    m_log = new QPlainTextEdit(logRow);
    m_log->setObjectName(u"settings-host-log"_s);
    m_log->setAccessibleName(u"内置 NBD 日志"_s);
    m_log->setReadOnly(true);
    m_log->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_log->setFont(monospacedFont(10));
    m_log->setFixedHeight(160);
    m_log->setFrameShape(QFrame::NoFrame);
    m_log->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_log->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    {
        QPalette p = m_log->palette();
        p.setColor(QPalette::Base, Qt::transparent);
        p.setColor(QPalette::Text, Theme::secondaryText());
        m_log->setPalette(p);
    }
    logLayout->addWidget(m_log);
    auto *restartLine = new QHBoxLayout;
    restartLine->addStretch(1);
    m_restartButton = new QPushButton(u"重启内置 NBD"_s, logRow);
    m_restartButton->setObjectName(u"settings-restart-host"_s);
    m_restartButton->setAutoDefault(false);
    restartLine->addWidget(m_restartButton);
    logLayout->addLayout(restartLine);
    m_logSection->addRow(logRow);
    layout->addWidget(m_logSection);
    connect(m_restartButton, &QPushButton::clicked, this, [this] {
        if (!m_owners.connect || !m_owners.disconnect)
            return;
        m_owners.disconnect();
        m_owners.connect();
    });

    layout->addStretch(1);

    if (m_owners.connectionSettings && m_owners.connectionStatus) {
        connect(m_owners.connectionSettings, &ConnectionSettings::launchModeChanged, this,
                &ConnectionSettingsTab::updateMode);
        connect(m_owners.connectionSettings, &ConnectionSettings::serverURLStringChanged, this,
                &ConnectionSettingsTab::updateFields);
        connect(m_owners.connectionSettings, &ConnectionSettings::nbdExecutablePathChanged, this,
                &ConnectionSettingsTab::updateFields);
        connect(m_owners.connectionStatus, &ConnectionStatus::phaseChanged, this,
                &ConnectionSettingsTab::updateStatus);
        connect(m_owners.connectionStatus, &ConnectionStatus::hostDescriptionChanged, this,
                &ConnectionSettingsTab::updateStatus);
        // A launching host writes many lines at once: the view takes them once per turn.
        m_logTimer = new QTimer(this);
        m_logTimer->setSingleShot(true);
        m_logTimer->setInterval(0);
        connect(m_logTimer, &QTimer::timeout, this, &ConnectionSettingsTab::updateLog);
        connect(m_owners.connectionStatus, &ConnectionStatus::hostLogChanged, m_logTimer,
                qOverload<>(&QTimer::start));
    }
    updateMode();
    updateFields();
    updateStatus();
    updateLog();
}

ConnectionSettingsTab::~ConnectionSettingsTab()
{
    m_alive.reset();
}

void ConnectionSettingsTab::updateMode()
{
    const LaunchMode mode =
        m_owners.connectionSettings ? m_owners.connectionSettings->launchMode() : LaunchMode::Embedded;
    const bool embedded = mode == LaunchMode::Embedded;
    (embedded ? m_embedded : m_external)->setChecked(true);
    if (embedded) {
        m_modeDescription->setTextFormat(Qt::RichText);
        m_modeDescription->setText(kEmbeddedDescriptionRich);
        m_modeDescription->setAccessibleName(kEmbeddedDescriptionPlain);
    } else {
        m_modeDescription->setTextFormat(Qt::PlainText);
        m_modeDescription->setText(kExternalDescription);
        m_modeDescription->setAccessibleName(kExternalDescription);
    }
    m_executableSection->setVisible(embedded);
    m_logSection->setVisible(embedded);
    m_serverSection->setVisible(!embedded);
}

void ConnectionSettingsTab::updateFields()
{
    if (!m_owners.connectionSettings)
        return;
    // Only a change that did not come from typing in the field is copied back, so the cursor
    // stays where the user is typing.
    if (m_executablePath->text() != m_owners.connectionSettings->nbdExecutablePath())
        m_executablePath->setText(m_owners.connectionSettings->nbdExecutablePath());
    if (m_serverURL->text() != m_owners.connectionSettings->serverURLString())
        m_serverURL->setText(m_owners.connectionSettings->serverURLString());
}

void ConnectionSettingsTab::updateStatus()
{
    const ConnectionPhase phase =
        m_owners.connectionStatus ? m_owners.connectionStatus->phase() : ConnectionPhase::disconnected();
    m_phaseLabel->setText(phase.label());
    const bool failed = phase.kind() == ConnectionPhase::Kind::Failed;
    m_failureLabel->setText(failed ? phase.message() : QString());
    m_failureLabel->setVisible(failed);
    const QString action = phase.isConnected() ? u"断开"_s : u"连接"_s;
    m_connectButton->setText(action);

    // The host's description follows the status row while one is known.
    m_statusSection->truncateRows(1);
    const std::optional<HostDescription> described =
        m_owners.connectionStatus ? m_owners.connectionStatus->hostDescription() : std::nullopt;
    if (!described)
        return;
    const HostDescription &host = *described;
    auto addRow = [this](const QString &label, const QString &objectName, const QString &value) {
        ThemedLabel *view = valueLabel(objectName);
        view->setText(value);
        view->setAccessibleName(label + u" "_s + value);
        m_statusSection->addLabeledRow(label, view);
    };
    addRow(u"版本"_s, u"settings-host-version"_s, host.version);
    addRow(u"工作目录"_s, u"settings-host-cwd"_s, host.cwd);
    if (host.provider && host.model)
        addRow(u"默认模型"_s, u"settings-host-model"_s, *host.provider + u" · "_s + *host.model);
}

void ConnectionSettingsTab::updateLog()
{
    if (!m_owners.connectionStatus)
        return;
    // New lines go to the bottom; the view stays where the reader left it.
    QScrollBar *bar = m_log->verticalScrollBar();
    const int position = bar->value();
    m_log->setPlainText(m_owners.connectionStatus->hostLogLines().join(u'\n'));
    bar->setValue(position);
}

void ConnectionSettingsTab::setDetectResult(std::optional<QString> result)
{
    m_detectResult = std::move(result);
    if (!m_detectResult) {
        m_detectLabel->hide();
        m_detectLabel->clear();
        return;
    }
    const QString text = *m_detectResult;
    m_detectLabel->setText(text);
    m_detectLabel->setTone([text] { return detectColor(text); });
    m_detectLabel->show();
}

void ConnectionSettingsTab::detect()
{
    setDetectResult(std::nullopt);
    if (!m_owners.connectionSettings)
        return;
    // Not kept and not cancelled: a second press starts a second lookup and the last one to
    // finish shows its result.
    runDetect(m_owners.connectionSettings->nbdExecutablePath());
}

QCoro::Task<void> ConnectionSettingsTab::runDetect(QString explicitPath)
{
    QPointer<ConnectionSettingsTab> self(this);
    const std::weak_ptr<const bool> alive = m_alive;
    QPointer<ConnectionSettings> settings = m_owners.connectionSettings;
    if (!settings)
        co_return;
    const std::optional<QString> found = co_await settings->locateExecutable(explicitPath);
    if (alive.expired() || !self)
        co_return;
    setDetectResult(found ? foundLabel(*found) : kNotFound);
}

} // namespace nbd
