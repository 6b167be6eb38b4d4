#pragma once

#include <QObject>
#include <QString>
#include <QUrl>
#include <QElapsedTimer>
#include <QWidget>

#include "UI/Tools/WorkspaceWebPage.h"

#include <optional>

class QLineEdit;
class QVBoxLayout;

namespace nbd {

class ChromeIconButton;
class ElidedLabel;

// What the browser toolbar shows of its page: the address, the history buttons' states and
// whether a load runs. Owned by one browser view; the page is the web view library's.
class WorkspaceBrowserModel : public QObject
{
    Q_OBJECT
public:
    explicit WorkspaceBrowserModel(WorkspaceWebPage *page, QObject *parent = nullptr);
    ~WorkspaceBrowserModel() override;

    // A typed address as the browser loads it: trimmed; with a scheme as it is, else behind
    // "https://"; nothing for a blank or unparsable text.
    static std::optional<QUrl> normalizedAddress(const QString &typed);

    QString address() const { return m_address; }
    void setAddress(const QString &address);
    bool canGoBack() const { return m_canGoBack; }
    bool canGoForward() const { return m_canGoForward; }
    bool isLoading() const { return m_loading; }
    WorkspaceWebPage *page() const { return m_page; }

    // Normalises and loads a typed address; an address that makes no URL or has a scheme the
    // tab does not load (WorkspaceWebPage::loadsAddress) is ignored.
    void load(const QString &typed);
    void updateNavigationState();

    // More requests of a page than this, each within kRequestBurstGapMs of the one before, and
    // the page is not heard again until the user loads another address.
    static constexpr int kRequestBurst = 3;
    static constexpr int kRequestBurstGapMs = 1000;
    // How much of a page's message the notice keeps, in characters.
    static constexpr int kNoticeTextLimit = 300;

    // What the bar over the page says of the page's last request; empty when nothing is shown.
    QString notice() const { return m_notice; }
    bool requestsSilenced() const { return m_silenced; }
    void dismissNotice();
    // A request the page made, already answered (the page's onRequest).
    void pageRequested(WorkspaceWebPage::Request request, const QString &text);

Q_SIGNALS:
    void changed();

private:
    WorkspaceWebPage *m_page;
    QString m_address;
    bool m_canGoBack = false;
    bool m_canGoForward = false;
    bool m_loading = false;
    QString m_notice;
    bool m_silenced = false;
    int m_burst = 0;
    QElapsedTimer m_lastRequest;
};

// The browser tool: back, forward, reload or stop and the address field over one web page,
// and between them a bar that tells what the page asked for. The page is created when the tab
// is first shown and lives as long as the tab.
class WorkspaceBrowserView : public QWidget
{
    Q_OBJECT
public:
    explicit WorkspaceBrowserView(std::optional<QUrl> startURL, QWidget *parent = nullptr);

    // A different start address than the one shown is loaded.
    void setStartURL(std::optional<QUrl> startURL);
    WorkspaceBrowserModel *model() const { return m_model; }

protected:
    void showEvent(QShowEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void ensurePage();
    void sync();
    QWidget *buildNoticeBar();

    std::optional<QUrl> m_startURL;
    WorkspaceBrowserModel *m_model = nullptr;
    QVBoxLayout *m_layout;
    ChromeIconButton *m_back;
    ChromeIconButton *m_forward;
    ChromeIconButton *m_reload;
    QLineEdit *m_address;
    QWidget *m_noticeBar = nullptr;
    ElidedLabel *m_noticeText = nullptr;
};

} // namespace nbd
