#pragma once

#include <QCoroTask>
#include <QUrl>
#include <QWidget>

#include <memory>

class QLabel;
class QPlainTextEdit;

namespace nbd {

class Spinner;

// The review tool: the short status with the branch line and the diff statistics of the work
// tree at the root, as plain text. It only reads: git runs without optional locks, so a
// refresh never takes the index lock from the agent's own git.
class WorkspaceReviewView : public QWidget
{
    Q_OBJECT
public:
    static constexpr qsizetype kReportLimit = 40000;

    explicit WorkspaceReviewView(const QUrl &rootURL, QWidget *parent = nullptr);
    ~WorkspaceReviewView() override;

    QUrl rootURL() const { return m_rootURL; }
    // A new root refreshes at once (when the view has been shown); results still under way
    // for the previous root are dropped.
    void setRootURL(const QUrl &rootURL);
    QString report() const { return m_report; }
    bool isLoading() const { return m_loading > 0; }
    // Starts one refresh; refreshes that overlap each write their result when they finish.
    void refresh();

Q_SIGNALS:
    void reportChanged();

protected:
    void showEvent(QShowEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    QCoro::Task<void> runRefresh(QUrl root, quint64 generation);
    void sync();

    std::shared_ptr<const bool> m_alive = std::make_shared<const bool>(true);
    QUrl m_rootURL;
    quint64 m_rootGeneration = 0;
    QString m_report;
    int m_loading = 0;
    bool m_shown = false;
    QLabel *m_title;
    Spinner *m_spinner;
    QPlainTextEdit *m_text;
};

} // namespace nbd
