#pragma once

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <QUrl>

#include <memory>

namespace nbd {

// The review of the work tree at a root: the short status with the branch line and the diff
// statistics, as plain text. It only reads: git runs without optional locks and starts nothing
// the repository's configuration names, so a refresh never takes the index lock from the
// agent's own git.
class WorkspaceReview : public QObject
{
    Q_OBJECT
public:
    static constexpr qsizetype kReportLimit = 40000;

    explicit WorkspaceReview(const QUrl &rootURL, QObject *parent = nullptr);
    ~WorkspaceReview() override;

    QUrl rootURL() const { return m_rootURL; }
    // Another folder drops the results still under way for the previous one and ends the
    // loading state; true when the folder changed (the caller decides when to refresh).
    bool setRootURL(const QUrl &rootURL);
    // Empty until the first refresh finished; "当前目录不是 Git 工作区" when git failed silently.
    const QString &report() const { return m_report; }
    bool isLoading() const { return m_loading > 0; }
    // Starts one refresh; refreshes that overlap each write their result when they finish.
    void refresh();

Q_SIGNALS:
    void loadingChanged();
    // A refresh finished and wrote its report, the same text as before or not.
    void reportChanged();

private:
    QCoro::Task<void> runRefresh(QUrl root, quint64 generation);
    void setLoading(int loading);

    std::shared_ptr<const bool> m_alive = std::make_shared<const bool>(true);
    QUrl m_rootURL;
    quint64 m_rootGeneration = 0;
    QString m_report;
    int m_loading = 0;
};

} // namespace nbd
