#pragma once

#include <QUrl>
#include <QWidget>

#include <optional>
#include <vector>

class QLabel;
class QListWidget;
class QPlainTextEdit;
class QStackedLayout;

namespace nbd {

class ChromeIconButton;
class ContentUnavailableView;

// One row of the listing.
struct WorkspaceFileEntry
{
    QUrl url;
    bool isDirectory = false;

    QString id() const { return url.path(); }
    bool operator==(const WorkspaceFileEntry &) const = default;
};

// The files tool: one folder of the workspace at a time (folders first, in the file manager's
// numeric order) and a read-only text preview of one file. Stepping back never leaves the
// root; the preview reads only regular files and at most the bytes it shows.
class WorkspaceFileBrowserView : public QWidget
{
    Q_OBJECT
public:
    static constexpr qint64 kBinaryProbeBytes = 8192;
    static constexpr qint64 kPreviewBytes = 200000;

    WorkspaceFileBrowserView(const QUrl &rootURL, std::optional<QUrl> requestedURL, QWidget *parent = nullptr);

    QUrl rootURL() const { return m_rootURL; }
    // A new root (another session) applies the request again.
    void setRootURL(const QUrl &rootURL);
    QUrl currentURL() const { return m_currentURL; }
    const std::vector<WorkspaceFileEntry> &entries() const { return m_entries; }
    std::optional<QUrl> selectedFile() const { return m_selectedFile; }
    QString preview() const { return m_preview; }
    std::optional<QString> error() const { return m_error; }

    void reload();
    void navigateBack();
    void selectFile(const QUrl &url);
    void showRequestedURL();
    bool isWithinWorkspace(const QUrl &url) const;
    static QString fileIcon(const QUrl &url);
    // Folders first, then by name as the file manager orders them (case-insensitive, digits
    // by value); equal names keep their order.
    static void sortEntries(std::vector<WorkspaceFileEntry> &entries);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void open(const WorkspaceFileEntry &entry);
    void reveal();
    void sync();

    QUrl m_rootURL;
    std::optional<QUrl> m_requestedURL;
    QUrl m_currentURL;
    std::vector<WorkspaceFileEntry> m_entries;
    std::optional<QUrl> m_selectedFile;
    QString m_preview;
    std::optional<QString> m_error;

    ChromeIconButton *m_back;
    QLabel *m_title;
    QStackedLayout *m_stack;
    QListWidget *m_list;
    QPlainTextEdit *m_previewText;
    ContentUnavailableView *m_unavailable;
};

} // namespace nbd
