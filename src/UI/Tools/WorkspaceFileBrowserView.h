#pragma once

#include <QUrl>
#include <QWidget>

#include <atomic>
#include <memory>
#include <optional>
#include <vector>

class QLabel;
class QListWidget;
class QPlainTextEdit;
class QStackedLayout;

namespace nbd {

class BatchedTextWriter;
class ChromeIconButton;
class ContentUnavailableView;

// One row of the listing.
struct WorkspaceFileEntry
{
    QUrl url;
    bool isDirectory = false;
    // A FIFO, socket or device: listed, never opened.
    bool isSpecial = false;

    // The path as the system names it (percent-encoded): two names that show alike differ here.
    QString id() const { return url.path(QUrl::FullyEncoded); }
    bool operator==(const WorkspaceFileEntry &) const = default;
};

// The files tool: one folder of the workspace at a time (folders first, in the file manager's
// numeric order) and a read-only text preview of one file. Stepping back never leaves the
// root; the preview reads only regular files and at most the bytes it shows.
//
// Listing a folder and reading a preview run on the thread pool, so that a slow disk or a huge
// folder never holds the window; a newer listing or preview cancels the one in flight, whose
// result is dropped. Until a listing arrives the previous one stays in place.
class WorkspaceFileBrowserView : public QWidget
{
    Q_OBJECT
public:
    static constexpr qint64 kBinaryProbeBytes = 8192;
    static constexpr qint64 kPreviewBytes = 200000;
    // A longer line of the preview goes on in the next line.
    static constexpr int kPreviewLineChars = 2000;

    struct Listing
    {
        std::vector<WorkspaceFileEntry> entries;
        std::optional<QString> error;
    };
    using CancelFlag = std::shared_ptr<std::atomic_bool>;
    // The folder's listing, sorted, every entry by its own bytes (also names that are not
    // UTF-8); stops early (with what it has) once cancelled is set. Paths are the system's bytes.
    static Listing listFolder(const QByteArray &path, const CancelFlag &cancelled);
    // The preview text of a file, or the message shown in its place. Only a regular file is
    // opened, and at most kPreviewBytes of it are read.
    static QString readPreview(const QByteArray &path, const CancelFlag &cancelled);

    WorkspaceFileBrowserView(const QUrl &rootURL, std::optional<QUrl> requestedURL, QWidget *parent = nullptr);
    ~WorkspaceFileBrowserView() override;

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
    // A listing or a preview is being read.
    bool isLoading() const { return m_listCancel || m_previewCancel; }
    bool isWithinWorkspace(const QUrl &url) const;
    static QString fileIcon(const QUrl &url);
    // Folders first, then by name as the file manager orders them (case-insensitive, digits
    // by value); equal names keep their order.
    static void sortEntries(std::vector<WorkspaceFileEntry> &entries);

Q_SIGNALS:
    // The listing or preview being read was applied (not sent for a dropped one).
    void loaded();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void startListing();
    void startPreview(const QUrl &url);
    static void cancel(CancelFlag &flag);

    void open(const WorkspaceFileEntry &entry);
    void reveal();
    void sync();
    void syncToolbar();

    QUrl m_rootURL;
    std::optional<QUrl> m_requestedURL;
    QUrl m_currentURL;
    std::vector<WorkspaceFileEntry> m_entries;
    std::optional<QUrl> m_selectedFile;
    QString m_preview;
    std::optional<QString> m_error;
    // Set while a read is in flight; the result of a read whose flag was replaced is dropped.
    CancelFlag m_listCancel;
    CancelFlag m_previewCancel;

    ChromeIconButton *m_back;
    QLabel *m_title;
    QStackedLayout *m_stack;
    QListWidget *m_list;
    QPlainTextEdit *m_previewText;
    BatchedTextWriter *m_writer = nullptr;
    // The preview text the view was last given.
    std::optional<QString> m_shownPreview;
    ContentUnavailableView *m_unavailable;
};

} // namespace nbd
