#pragma once

#include "Domain/Settings.h"

#include <QCoroTask>
#include <QHash>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <memory>
#include <vector>

class QLabel;
class QPlainTextEdit;
class QStackedLayout;
class QVBoxLayout;

namespace nbd {

class HostSettingsStore;
class CardFrame;
class HostSettingsCard;

// The host settings page: one card per settings namespace of the host, each with a JSON
// editor of the namespace's value. Loads when it is built, and again on "重试" after a failed
// read. "保存" (enabled once the text differs from the host's value) checks that the text is
// a JSON object and sends it as a merge patch that leaves out every stored secret still
// shown as the host gave it, with the revision the card was loaded at, so that the host
// refuses a change made against an older revision; an edit that changes nothing sends
// nothing. "重置" puts back the last value the host gave. Nothing is kept on the client
// beyond the page's life.
class HostSettingsTab : public QWidget
{
    Q_OBJECT
public:
    explicit HostSettingsTab(HostSettingsStore *hostSettings, QWidget *parent = nullptr);
    ~HostSettingsTab() override;

    bool loaded() const { return m_loaded; }
    // Why the settings could not be read (no connection, a failed call, an answer that does
    // not decode); nothing while they load or once they are read.
    const std::optional<QString> &loadFailure() const { return m_loadFailure; }
    const std::vector<SettingsNamespaceView> &namespaces() const { return m_namespaces; }
    // The text in the editor of a namespace; empty when there is none.
    QString editorText(const QString &ns) const;
    // The message under a namespace's editor, if any.
    std::optional<QString> error(const QString &ns) const;

    // The card's "保存" and "重置".
    void save(const SettingsNamespaceView &ns);
    void reset(const QString &ns);

private:
    QCoro::Task<void> load();
    // The failure page's "重试": reads the settings again.
    void retry();
    void showFailure();
    QCoro::Task<void> runSave(QString ns, SettingsPatch patch, qint64 revision);
    void showState();
    void setError(const QString &ns, std::optional<QString> message);
    HostSettingsCard *card(const QString &ns) const;
    HostSettingsCard *makeCard(const SettingsNamespaceView &record, QWidget *parent);

    std::shared_ptr<const bool> m_alive = std::make_shared<const bool>(true);
    QPointer<HostSettingsStore> m_hostSettings;
    std::vector<SettingsNamespaceView> m_namespaces;
    QHash<QString, QString> m_errors;
    bool m_loaded = false;
    bool m_loading = true;
    std::optional<QString> m_loadFailure;
    QPointer<QWidget> m_failurePage;

    QStackedLayout *m_stack;
    QWidget *m_cardList = nullptr;
    std::vector<HostSettingsCard *> m_cards;
};

} // namespace nbd
