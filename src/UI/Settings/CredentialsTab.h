#pragma once

#include "Domain/Settings.h"

#include <QCoroTask>
#include <QDialog>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <memory>
#include <optional>
#include <vector>

class QLineEdit;
class QVBoxLayout;

namespace nbd {

class HostSettingsStore;
class ThemedLabel;

// The credentials page: looks up named credentials the host keeps, gives one a new value or
// deletes it. The host never tells a value back, only whether a credential is configured,
// where its value comes from and whether the client may write it. The page lists exactly the
// names looked up in it, in the order they were first looked up. A new value is typed into a
// password field of a modal dialog, read once when the user confirms, sent, and kept nowhere.
class CredentialsTab : public QWidget
{
    Q_OBJECT
public:
    struct Entry
    {
        QString ref;
        CredentialView view;
    };

    explicit CredentialsTab(HostSettingsStore *hostSettings, QWidget *parent = nullptr);
    ~CredentialsTab() override;

    // The name as the actions use it: without leading and trailing blanks and tabs (line
    // breaks are kept).
    static QString trimmedName(const QString &text);

    const std::vector<Entry> &entries() const { return m_entries; }
    const std::optional<QString> &message() const { return m_message; }
    // The open value dialog, if any.
    QDialog *setDialog() const { return m_dialog; }

    // The three buttons. Each does nothing at all when the trimmed name is empty.
    QCoro::Task<void> query();
    void presentSet();
    QCoro::Task<void> unset();

private:
    // Sets the credential to `value`, or unsets it when there is none; says how it went, then
    // shows the credential as it now is.
    QCoro::Task<void> change(QString name, std::optional<QString> value);
    // The query; keepMessage leaves the message as it is, whatever the lookup's outcome.
    QCoro::Task<void> lookUp(bool keepMessage);
    void setMessage(std::optional<QString> message);
    void rebuildRows();

    std::shared_ptr<const bool> m_alive = std::make_shared<const bool>(true);
    QPointer<HostSettingsStore> m_hostSettings;
    std::vector<Entry> m_entries;
    std::optional<QString> m_message;

    QLineEdit *m_ref;
    ThemedLabel *m_messageLabel;
    QVBoxLayout *m_rows;
    QPointer<QDialog> m_dialog;
};

} // namespace nbd
