#include "UI/Tools/WorkspaceFileBrowserView.h"

#include "Base/WorkPool.h"
#include "UI/Shared/Accessibility.h"
#include "UI/Shared/BatchedTextWriter.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/Icons.h"
#include "UI/Shared/NativePath.h"
#include "UI/Shared/Theme.h"
#include "UI/Tools/FileManagerReveal.h"
#include "UI/Tools/ToolChrome.h"

#include <QCollator>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPlainTextEdit>
#include <QStackedLayout>
#include <QStyledItemDelegate>
#include <QVBoxLayout>
#include <QtConcurrent>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

constexpr int kDirectoryRole = Qt::UserRole;
constexpr int kIndexRole = Qt::UserRole + 1;
constexpr int kSymbolRole = Qt::UserRole + 2;
constexpr int kSpecialRole = Qt::UserRole + 3;

const QString &notText()
{
    static const QString text = QStringLiteral("此文件不是可预览的文本");
    return text;
}

QString systemError(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

bool isCancelled(const WorkspaceFileBrowserView::CancelFlag &flag) { return flag->load(std::memory_order_relaxed); }

// Runs work on the thread pool and hands its result to apply on the view's thread; nothing is
// applied once the view is gone.
template<typename Work, typename Apply>
void runOffThread(QObject *context, Work work, Apply apply)
{
    using Result = decltype(work());
    auto *watcher = new QFutureWatcher<Result>(context);
    QObject::connect(watcher, &QFutureWatcherBase::finished, context, [watcher, apply = std::move(apply)] {
        watcher->deleteLater();
        apply(watcher->result());
    });
    watcher->setFuture(QtConcurrent::run(workPool(), std::move(work)));
}

// Paths are bytes from here on: a name that is not UTF-8 is listed, opened and left by its own
// bytes, and only shown with replacement characters.
QByteArray nativePath(const QUrl &url) { return NativePath::fromURL(url); }

QUrl standardized(const QUrl &url)
{
    QByteArray path = NativePath::cleaned(nativePath(url));
    while (path.startsWith("/..") && (path.size() == 3 || path.at(3) == '/'))
        path = path.size() == 3 ? QByteArrayLiteral("/") : path.mid(3);
    return NativePath::toURL(path);
}

QString lastComponent(const QUrl &url) { return NativePath::shown(NativePath::fileName(nativePath(url))); }

QString unavailable(const QByteArray &path) { return u"路径在本机不可用："_s + NativePath::shown(path); }

// A row: the icon, the name and, for folders, a chevron.
class EntryDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QSize sizeHint(const QStyleOptionViewItem &, const QModelIndex &) const override { return {200, 30}; }

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        const QRect r = option.rect.adjusted(6, 1, -6, -1);
        if (option.state & (QStyle::State_MouseOver | QStyle::State_Selected)) {
            painter->setPen(Qt::NoPen);
            painter->setBrush(option.state & QStyle::State_Selected ? Theme::selection() : Theme::hover());
            painter->drawRoundedRect(r, 6, 6);
        }
        const bool folder = index.data(kDirectoryRole).toBool();
        const QString symbol = index.data(kSymbolRole).toString();
        // A special file is shown dimmer than a file that opens.
        const bool special = index.data(kSpecialRole).toBool();
        Icons::paint(painter, QRectF(r.left() + 8, r.center().y() - 7, 14, 14), symbol,
                     folder ? Theme::brand() : (special ? Theme::tertiaryText() : Theme::secondaryText()));
        int right = r.right() - 8;
        if (folder) {
            Icons::paint(painter, QRectF(right - 9, r.center().y() - 4.5, 9, 9), u"chevron.right"_s, Theme::tertiaryText());
            right -= 17;
        }
        painter->setFont(Fonts::callout());
        painter->setPen(special ? Theme::secondaryText() : Theme::primaryText());
        const QRect textRect(r.left() + 8 + 18 + 9, r.top(), right - (r.left() + 35), r.height());
        painter->drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter,
                          painter->fontMetrics().elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideMiddle, textRect.width()));
        painter->restore();
    }
};

// Opens the current row with Return, Enter or Space as a click does.
class EntryList : public QListWidget
{
public:
    using QListWidget::QListWidget;
    std::function<void(QListWidgetItem *)> onOpen;

protected:
    void keyPressEvent(QKeyEvent *event) override
    {
        if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter || event->key() == Qt::Key_Space)
            && currentItem() && onOpen) {
            onOpen(currentItem());
            return;
        }
        QListWidget::keyPressEvent(event);
    }
};

} // namespace

WorkspaceFileBrowserView::WorkspaceFileBrowserView(const QUrl &rootURL, std::optional<QUrl> requestedURL, QWidget *parent)
    : QWidget(parent)
    , m_rootURL(rootURL)
    , m_requestedURL(std::move(requestedURL))
    , m_currentURL(rootURL)
    , m_back(new ChromeIconButton(u"chevron.left"_s, u"返回上一级"_s, std::nullopt, [this] { navigateBack(); }, this))
    , m_title(new QLabel(this))
    , m_stack(new QStackedLayout)
    , m_list(new EntryList(this))
    , m_previewText(new QPlainTextEdit(this))
    , m_unavailable(new ContentUnavailableView(u"无法读取文件"_s, u"exclamationmark.triangle"_s, QString(), this))
{
    setObjectName(u"workspace-files"_s);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto *toolbar = new QWidget(this);
    toolbar->setFixedHeight(40);
    auto *row = new QHBoxLayout(toolbar);
    row->setContentsMargins(10, 0, 10, 0);
    row->setSpacing(8);
    m_back->setObjectName(u"workspace-files-back"_s);
    row->addWidget(m_back);
    m_title->setObjectName(u"workspace-files-title"_s);
    m_title->setTextFormat(Qt::PlainText);
    m_title->setFont(Fonts::system(11, QFont::Medium));
    row->addWidget(m_title, 1);
    auto *refresh = new ChromeIconButton(u"arrow.clockwise"_s, u"刷新文件"_s, std::nullopt, [this] { reload(); }, toolbar);
    refresh->setObjectName(u"workspace-files-refresh"_s);
    row->addWidget(refresh);
    auto *revealButton = new ChromeIconButton(u"finder"_s, u"在文件管理器中显示"_s, std::nullopt, [this] { reveal(); }, toolbar);
    revealButton->setObjectName(u"workspace-files-reveal"_s);
    row->addWidget(revealButton);
    layout->addWidget(toolbar);
    layout->addWidget(new ThemeRule(&Theme::hairline, this));

    m_list->setObjectName(u"workspace-files-list"_s);
    m_list->setAccessibleName(u"文件列表"_s);
    m_list->setFrameShape(QFrame::NoFrame);
    m_list->setItemDelegate(new EntryDelegate(m_list));
    m_list->setMouseTracking(true);
    m_list->setStyleSheet(u"QListWidget { background: transparent; }"_s);
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    static_cast<EntryList *>(m_list)->onOpen = [this](QListWidgetItem *item) {
        const auto index = item->data(kIndexRole).toULongLong();
        if (index < m_entries.size())
            open(m_entries[index]);
    };
    connect(m_list, &QListWidget::itemClicked, this, [this](QListWidgetItem *item) {
        static_cast<EntryList *>(m_list)->onOpen(item);
    });
    // A row's accessibility action opens it, as its click does.
    Accessibility::describeItemRows(m_list, [this](const QModelIndex &index) {
        if (QListWidgetItem *item = m_list->item(index.row()))
            static_cast<EntryList *>(m_list)->onOpen(item);
    });
    m_previewText->setObjectName(u"workspace-files-preview"_s);
    m_previewText->setAccessibleName(u"文件预览"_s);
    m_previewText->setReadOnly(true);
    m_previewText->setFrameShape(QFrame::NoFrame);
    m_previewText->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_previewText->setFont(monospaceFont(11));
    m_previewText->document()->setDocumentMargin(14);
    m_previewText->setStyleSheet(u"QPlainTextEdit { background: transparent; }"_s);
    m_unavailable->setObjectName(u"workspace-files-unavailable"_s);
    m_stack->addWidget(m_list);
    m_stack->addWidget(m_previewText);
    m_stack->addWidget(m_unavailable);
    layout->addLayout(m_stack, 1);
    // Tab goes along the toolbar, then into the listing or preview below it.
    Accessibility::setTabOrder({m_back, refresh, revealButton, m_list, m_previewText});

    // A minified file is one line of the whole preview: laid out at once, it would stall the
    // window, so it goes on in the next line every kPreviewLineChars characters.
    m_writer = new BatchedTextWriter(m_previewText, {.linesPerBatch = 2000, .intervalMs = 0, .maxLineChars = kPreviewLineChars},
                                     this);

    showRequestedURL();
}

WorkspaceFileBrowserView::~WorkspaceFileBrowserView()
{
    cancel(m_listCancel);
    cancel(m_previewCancel);
}

void WorkspaceFileBrowserView::cancel(CancelFlag &flag)
{
    if (flag)
        flag->store(true);
    flag.reset();
}

void WorkspaceFileBrowserView::setRootURL(const QUrl &rootURL)
{
    if (nativePath(rootURL) == nativePath(m_rootURL))
        return;
    m_rootURL = rootURL;
    showRequestedURL();
}

bool WorkspaceFileBrowserView::isWithinWorkspace(const QUrl &url) const
{
    const auto segments = [](const QUrl &of) {
        QList<QByteArray> parts = nativePath(standardized(of)).split('/');
        parts.removeAll(QByteArray());
        return parts;
    };
    const QList<QByteArray> root = segments(m_rootURL);
    const QList<QByteArray> path = segments(url);
    if (path.size() < root.size())
        return false;
    return std::equal(root.begin(), root.end(), path.begin());
}

QString WorkspaceFileBrowserView::fileIcon(const QUrl &url)
{
    const QString extension = QFileInfo(lastComponent(url)).suffix().toLower();
    if (extension == u"swift"_s)
        return u"swift"_s;
    if (extension == u"md"_s || extension == u"txt"_s)
        return u"doc.text"_s;
    if (extension == u"json"_s || extension == u"yaml"_s || extension == u"yml"_s)
        return u"curlybraces"_s;
    if (extension == u"png"_s || extension == u"jpg"_s || extension == u"jpeg"_s || extension == u"gif"_s || extension == u"webp"_s)
        return u"photo"_s;
    return u"doc"_s;
}

void WorkspaceFileBrowserView::sortEntries(std::vector<WorkspaceFileEntry> &entries)
{
    // The C locale's collator compares code points and ignores numeric mode: a file manager's
    // order must not depend on how the app was started.
    QLocale locale;
    if (locale.language() == QLocale::C)
        locale = QLocale(QLocale::English, QLocale::UnitedStates);
    QCollator collator(locale);
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(entries.begin(), entries.end(), [&](const WorkspaceFileEntry &a, const WorkspaceFileEntry &b) {
        if (a.isDirectory != b.isDirectory)
            return a.isDirectory;
        return collator.compare(lastComponent(a.url), lastComponent(b.url)) < 0;
    });
}

WorkspaceFileBrowserView::Listing WorkspaceFileBrowserView::listFolder(const QByteArray &path, const CancelFlag &cancelled)
{
    Listing listing;
    struct stat status;
    if (::stat(path.constData(), &status) != 0) {
        listing.error = unavailable(path);
        return listing;
    }
    // The system's own listing: Qt's skips names that are not UTF-8.
    DIR *dir = ::opendir(path.constData());
    if (!dir) {
        listing.error = systemError(errno);
        return listing;
    }
    const QByteArray folder = path.endsWith('/') ? path : path + '/';
    while (!isCancelled(cancelled)) {
        const dirent *entry = ::readdir(dir);
        if (!entry)
            break;
        const QByteArray name(entry->d_name);
        // Hidden names (and "." and "..").
        if (name.startsWith('.') || name == "DerivedData")
            continue;
        const QByteArray full = folder + name;
        // What a link leads to; a link that leads nowhere is listed as a file.
        const bool known = ::stat(full.constData(), &status) == 0;
        const bool isDirectory = known && S_ISDIR(status.st_mode);
        const bool special = known && !isDirectory && !S_ISREG(status.st_mode);
        listing.entries.push_back(WorkspaceFileEntry{NativePath::toURL(full), isDirectory, special});
    }
    ::closedir(dir);
    if (!isCancelled(cancelled))
        sortEntries(listing.entries);
    return listing;
}

QString WorkspaceFileBrowserView::readPreview(const QByteArray &native, const CancelFlag &cancelled)
{
    // Only regular files: opening a FIFO or a device could block, or act on the device.
    struct stat status;
    if (::stat(native.constData(), &status) == 0 && !S_ISREG(status.st_mode))
        return notText();
    // Should it have been swapped for something else since, the open does not wait for it.
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return systemError(errno);
    QByteArray bytes;
    QString failure;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        failure = notText();
    } else {
        bytes.resize(kPreviewBytes);
        qsizetype size = 0;
        while (size < kPreviewBytes && !isCancelled(cancelled)) {
            const ssize_t n = ::read(fd, bytes.data() + size, size_t(std::min<qsizetype>(kPreviewBytes - size, 65536)));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                failure = systemError(errno);
                break;
            }
            if (n == 0)
                break;
            size += n;
        }
        bytes.truncate(size);
    }
    ::close(fd);
    if (!failure.isEmpty())
        return failure;
    if (bytes.left(kBinaryProbeBytes).contains('\0'))
        return notText();
    return QString::fromUtf8(bytes);
}

void WorkspaceFileBrowserView::reload()
{
    startListing();
}

void WorkspaceFileBrowserView::startListing()
{
    cancel(m_listCancel);
    m_listCancel = std::make_shared<std::atomic_bool>(false);
    const CancelFlag flag = m_listCancel;
    const QByteArray path = nativePath(m_currentURL);
    // The toolbar names the folder at once; its listing replaces the previous one on arrival.
    syncToolbar();
    runOffThread(this, [path, flag] { return listFolder(path, flag); }, [this, flag](const Listing &listing) {
        if (flag != m_listCancel)
            return; // a newer listing replaced this one
        m_listCancel.reset();
        m_entries = listing.entries;
        m_error = listing.error;
        sync();
        Q_EMIT loaded();
    });
}

void WorkspaceFileBrowserView::startPreview(const QUrl &url)
{
    cancel(m_previewCancel);
    m_previewCancel = std::make_shared<std::atomic_bool>(false);
    const CancelFlag flag = m_previewCancel;
    const QByteArray path = nativePath(url);
    runOffThread(this, [path, flag] { return readPreview(path, flag); }, [this, flag](const QString &preview) {
        if (flag != m_previewCancel)
            return;
        m_previewCancel.reset();
        m_preview = preview;
        sync();
        Q_EMIT loaded();
    });
}

void WorkspaceFileBrowserView::open(const WorkspaceFileEntry &entry)
{
    if (entry.isDirectory) {
        m_currentURL = entry.url;
        reload();
    } else {
        selectFile(entry.url);
    }
}

void WorkspaceFileBrowserView::selectFile(const QUrl &url)
{
    m_selectedFile = url;
    m_preview.clear();
    sync();
    startPreview(url);
}

void WorkspaceFileBrowserView::navigateBack()
{
    if (m_selectedFile) {
        cancel(m_previewCancel);
        m_selectedFile.reset();
        m_preview.clear();
        sync();
        return;
    }
    const QUrl up = standardized(NativePath::toURL(NativePath::parent(nativePath(m_currentURL))));
    m_currentURL = isWithinWorkspace(up) ? up : m_rootURL;
    reload();
}

void WorkspaceFileBrowserView::showRequestedURL()
{
    cancel(m_previewCancel);
    m_error.reset();
    m_preview.clear();
    if (!m_requestedURL) {
        m_currentURL = m_rootURL;
        m_selectedFile.reset();
        reload();
        return;
    }
    const QUrl requested = standardized(*m_requestedURL);
    struct stat status;
    const bool exists = ::stat(nativePath(requested).constData(), &status) == 0;
    if (exists && S_ISDIR(status.st_mode)) {
        m_currentURL = requested;
        m_selectedFile.reset();
        reload();
    } else if (exists) {
        m_currentURL = m_rootURL;
        m_selectedFile.reset();
        reload();
        selectFile(requested);
    } else {
        // The placeholder shows the missing path at once; the listing is not loaded.
        cancel(m_listCancel);
        m_currentURL = m_rootURL;
        m_selectedFile.reset();
        m_entries.clear();
        m_error = unavailable(nativePath(requested));
        sync();
    }
}

void WorkspaceFileBrowserView::reveal()
{
    revealInFileManager(m_selectedFile.value_or(m_currentURL));
}

void WorkspaceFileBrowserView::syncToolbar()
{
    m_back->setEnabled(m_selectedFile || nativePath(standardized(m_currentURL)) != nativePath(standardized(m_rootURL)));
    m_title->setText(lastComponent(m_selectedFile.value_or(m_currentURL)));
}

void WorkspaceFileBrowserView::sync()
{
    syncToolbar();
    if (m_selectedFile) {
        // A preview of many short lines is laid out a batch at a time.
        if (!m_shownPreview || *m_shownPreview != m_preview) {
            m_writer->clear();
            m_writer->append(m_preview);
            m_shownPreview = m_preview;
        }
        m_stack->setCurrentWidget(m_previewText);
        return;
    }
    if (m_shownPreview) {
        m_writer->clear();
        m_shownPreview.reset();
    }
    if (m_error) {
        m_unavailable->setDescription(*m_error);
        m_stack->setCurrentWidget(m_unavailable);
        return;
    }
    m_list->clear();
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        const WorkspaceFileEntry &entry = m_entries[i];
        auto *item = new QListWidgetItem(lastComponent(entry.url), m_list);
        item->setData(kDirectoryRole, entry.isDirectory);
        item->setData(kIndexRole, qulonglong(i));
        item->setData(kSpecialRole, entry.isSpecial);
        item->setData(kSymbolRole, entry.isDirectory ? u"folder"_s : (entry.isSpecial ? u"questionmark.diamond"_s : fileIcon(entry.url)));
        item->setToolTip(entry.isDirectory ? u"文件夹"_s : (entry.isSpecial ? u"特殊文件"_s : u"文件"_s));
    }
    m_stack->setCurrentWidget(m_list);
}

void WorkspaceFileBrowserView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Theme::canvas());
}

} // namespace nbd
