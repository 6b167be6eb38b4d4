#pragma once

#include "UI/Shared/SettingsOwners.h"

#include <QCoroTask>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <memory>
#include <optional>

class QButtonGroup;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QTimer;

namespace nbd {

class FormSection;
class ThemedLabel;

// The connection page: how the client reaches its host (launch or attach to a local host, or
// connect to an external one), the executable path or the server address, the connection's
// phase with the connected host's description, connect / disconnect / restart, and the local
// host's output. Every value it edits lives in the store, which saves it at once; nothing here
// reconnects by itself.
class ConnectionSettingsTab : public QWidget
{
    Q_OBJECT
public:
    explicit ConnectionSettingsTab(SettingsOwners owners, QWidget *parent = nullptr);
    ~ConnectionSettingsTab() override;

    // The text under the executable field after "检测"; nothing before the first lookup and
    // while one is starting.
    const std::optional<QString> &detectResult() const { return m_detectResult; }
    // The label of a found executable: "已找到" and then the path.
    static QString foundLabel(const QString &path);

private:
    void updateMode();
    void updateFields();
    void updateStatus();
    void updateLog();
    void setDetectResult(std::optional<QString> result);
    void detect();
    QCoro::Task<void> runDetect(QString explicitPath);

    std::shared_ptr<const bool> m_alive = std::make_shared<const bool>(true);
    SettingsOwners m_owners;
    std::optional<QString> m_detectResult;

    QRadioButton *m_embedded;
    QRadioButton *m_external;
    QButtonGroup *m_modeGroup;
    ThemedLabel *m_modeDescription;
    FormSection *m_executableSection;
    QLineEdit *m_executablePath;
    QPushButton *m_detectButton;
    ThemedLabel *m_detectLabel;
    FormSection *m_serverSection;
    QLineEdit *m_serverURL;
    FormSection *m_statusSection;
    ThemedLabel *m_phaseLabel;
    ThemedLabel *m_failureLabel;
    QPushButton *m_connectButton;
    FormSection *m_logSection;
    QPlainTextEdit *m_log;
    QPushButton *m_restartButton;
    QTimer *m_logTimer = nullptr;
};

} // namespace nbd
