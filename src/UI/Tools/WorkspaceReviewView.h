#pragma once

#include "Store/WorkspaceReview.h"

#include <QUrl>
#include <QWidget>

class QLabel;
class QPlainTextEdit;

namespace nbd {

class Spinner;

// The review tool: the report of a WorkspaceReview of the work tree at the root, as plain
// text, with a button that refreshes it.
class WorkspaceReviewView : public QWidget
{
    Q_OBJECT
public:
    explicit WorkspaceReviewView(const QUrl &rootURL, QWidget *parent = nullptr);
    ~WorkspaceReviewView() override;

    QUrl rootURL() const { return m_review->rootURL(); }
    // A new root refreshes at once (when the view has been shown); results still under way
    // for the previous root are dropped.
    void setRootURL(const QUrl &rootURL);
    QString report() const { return m_review->report(); }
    bool isLoading() const { return m_review->isLoading(); }
    // Starts one refresh; refreshes that overlap each write their result when they finish.
    void refresh();

Q_SIGNALS:
    void reportChanged();

protected:
    void showEvent(QShowEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void sync();

    WorkspaceReview *m_review;
    bool m_shown = false;
    QLabel *m_title;
    Spinner *m_spinner;
    QPlainTextEdit *m_text;
};

} // namespace nbd
