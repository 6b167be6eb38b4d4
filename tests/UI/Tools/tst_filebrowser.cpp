// The file browser over real folders, driven by clicks and keys.
#include "AccessibilityWalk.h"
#include "GuiTestMain.h"
#include "ObservableWaits.h"

#include "UI/Shared/BatchedTextWriter.h"
#include "UI/Shared/ChromeIconButton.h"
#include "UI/Shared/NativePath.h"
#include "UI/Shared/WorkspaceTools.h"
#include "UI/Tools/ToolChrome.h"
#include "UI/Tools/WorkspaceFileBrowserView.h"

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QThreadPool>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

namespace {

void write(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

// A file by its raw name: the name need not be UTF-8, which QFile cannot spell.
void writeRaw(const QByteArray &path, const QByteArray &bytes)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    QVERIFY(fd >= 0);
    QCOMPARE(::write(fd, bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size()));
    ::close(fd);
}

// Waits for the listing and the preview in flight.
bool settled(const WorkspaceFileBrowserView &view)
{
    return QTest::qWaitFor([&view] { return !view.isLoading(); }, 20000);
}

// Until every read the view started on the thread pool, dropped ones too, has finished and its
// result has been handed back to the view.
bool readsFinished()
{
    if (!nbd::workPool()->waitForDone(20000))
        return false;
    nbd::test::drainEventLoop();
    return true;
}

QStringList names(const WorkspaceFileBrowserView &view)
{
    QStringList out;
    for (const WorkspaceFileEntry &e : view.entries())
        out << QFileInfo(e.url.toLocalFile()).fileName();
    return out;
}

} // namespace

class FileBrowserTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;
    QString m_root;

    static QListWidget *list(WorkspaceFileBrowserView &view) { return view.findChild<QListWidget *>(u"workspace-files-list"_s); }
    static ChromeIconButton *back(WorkspaceFileBrowserView &view) { return view.findChild<ChromeIconButton *>(u"workspace-files-back"_s); }

    static void clickRow(WorkspaceFileBrowserView &view, const QString &name)
    {
        QListWidget *l = list(view);
        const auto items = l->findItems(name, Qt::MatchExactly);
        QVERIFY2(items.size() == 1, qPrintable(name));
        QTest::mouseClick(l->viewport(), Qt::LeftButton, {}, l->visualItemRect(items.first()).center());
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_root = QDir::cleanPath(m_tmp.filePath(u"ws"_s));
        QDir root(m_root);
        QVERIFY(root.mkpath(u"z/inner"_s));
        QVERIFY(root.mkpath(u"DerivedData"_s));
        QVERIFY(root.mkpath(u"deriveddata"_s));
        for (const QString &name : {u"b"_s, u"A"_s, u"file10"_s, u"file2"_s, u".hidden"_s})
            write(m_root + u'/' + name, "text\n");
        write(m_root + u"/z/inner/deep.md"_s, "# deep\n");
        QVERIFY(QDir(m_tmp.path()).mkpath(u"wsx"_s)); // a sibling that merely starts with the root's name
    }

    void listsFoldersFirstInNumericOrder()
    {
        WorkspaceFileBrowserView view(QUrl::fromLocalFile(m_root), std::nullopt);
        QVERIFY(settled(view));
        QCOMPARE(names(view), (QStringList{u"deriveddata"_s, u"z"_s, u"A"_s, u"b"_s, u"file2"_s, u"file10"_s}));
        QCOMPARE(list(view)->count(), 6);
    }

    void sortKeepsTheOrderOfEqualNames()
    {
        std::vector<WorkspaceFileEntry> entries = {
            {QUrl::fromLocalFile(u"/x/B"_s), false}, {QUrl::fromLocalFile(u"/y/b"_s), false}, {QUrl::fromLocalFile(u"/x/a10"_s), false},
            {QUrl::fromLocalFile(u"/x/a9"_s), false}, {QUrl::fromLocalFile(u"/x/dir"_s), true}};
        WorkspaceFileBrowserView::sortEntries(entries);
        QStringList paths;
        for (const auto &e : entries)
            paths << e.url.toLocalFile();
        QCOMPARE(paths, (QStringList{u"/x/dir"_s, u"/x/a9"_s, u"/x/a10"_s, u"/x/B"_s, u"/y/b"_s}));
    }

    void clicksEnterFoldersAndPreviewBackStepsOut()
    {
        WorkspaceFileBrowserView view(QUrl::fromLocalFile(m_root), std::nullopt);
        QVERIFY(settled(view));
        view.resize(400, 500);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QVERIFY(!back(view)->isEnabled());
        clickRow(view, u"z"_s);
        QCOMPARE(view.currentURL().toLocalFile(), m_root + u"/z"_s);
        QVERIFY(back(view)->isEnabled());
        QVERIFY(settled(view));
        clickRow(view, u"inner"_s);
        QVERIFY(settled(view));
        // Return on the selected row opens it as a click does.
        list(view)->setFocus();
        list(view)->setCurrentRow(0);
        QTest::keyClick(list(view), Qt::Key_Return);
        QVERIFY(settled(view));
        QCOMPARE(view.selectedFile()->toLocalFile(), m_root + u"/z/inner/deep.md"_s);
        QCOMPARE(view.findChild<QPlainTextEdit *>(u"workspace-files-preview"_s)->toPlainText(), u"# deep\n"_s);
        QCOMPARE(view.findChild<QLabel *>(u"workspace-files-title"_s)->text(), u"deep.md"_s);
        const QStringList problems = nbd::test::accessibilityProblems(&view);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u"; "_s)));
        QTest::mouseClick(back(view), Qt::LeftButton);
        QVERIFY(!view.selectedFile());
        QCOMPARE(view.currentURL().toLocalFile(), m_root + u"/z/inner"_s);
        QTest::mouseClick(back(view), Qt::LeftButton);
        QVERIFY(settled(view));
        QTest::mouseClick(back(view), Qt::LeftButton);
        QVERIFY(settled(view));
        QCOMPARE(view.currentURL().toLocalFile(), m_root);
        QVERIFY(!back(view)->isEnabled());
    }

    // The toolbar's buttons and the listing's rows do by their accessibility action what their
    // click does: a folder's row enters it, a file's row previews it, back steps out, refresh
    // reads the folder again. Reveal hands the path to the desktop and is left out.
    void actionsDoWhatClicksDo()
    {
        const QString folder = m_root + u"/z"_s;
        const QString later = folder + u"/later.txt"_s;
        write(folder + u"/note.txt"_s, "a note\n");
        std::unique_ptr<WorkspaceFileBrowserView> view;
        nbd::test::ActionParityCheck check;
        check.open = [&]() -> QWidget * {
            view.reset();
            QFile::remove(later);
            view = std::make_unique<WorkspaceFileBrowserView>(QUrl::fromLocalFile(m_root), QUrl::fromLocalFile(folder));
            view->resize(400, 500);
            view->show();
            (void)QTest::qWaitForWindowExposed(view.get());
            (void)settled(*view);
            // Seen only by a new listing.
            write(later, "x");
            return view.get();
        };
        check.state = [&] {
            return view->currentURL().toLocalFile() + u" file="_s
                + (view->selectedFile() ? view->selectedFile()->toLocalFile() : u"-"_s) + u" preview="_s
                + view->preview() + u" entries="_s + names(*view).join(u',');
        };
        check.skip = [](QAccessibleInterface *iface) {
            return iface->object() && iface->object()->objectName() == u"workspace-files-reveal"_s;
        };
        check.async = true;
        check.quiet = [] { (void)readsFinished(); };
        const nbd::test::ActionParityReport report = nbd::test::actionParity(check);
        QVERIFY2(report.problems.isEmpty(), qPrintable(report.problems.join(u'\n')));
        // Back, refresh, the folder and the file.
        QVERIFY2(report.controls.size() >= 4, qPrintable(report.controls.join(u'\n')));
        QCOMPARE(qsizetype(report.changed), report.controls.size());

        // A row reads as its name and kind, and is selected once it is the current one.
        check.open();
        QAccessibleInterface *rows = QAccessible::queryAccessibleInterface(list(*view));
        QCOMPARE(rows->role(), QAccessible::List);
        QCOMPARE(rows->text(QAccessible::Name), u"文件列表"_s);
        QCOMPARE(rows->childCount(), 2);
        QAccessibleInterface *inner = rows->child(0);
        QCOMPARE(inner->text(QAccessible::Name), u"inner"_s);
        QCOMPARE(inner->text(QAccessible::Description), u"文件夹"_s);
        QCOMPARE(rows->child(1)->text(QAccessible::Description), u"文件"_s);
        QVERIFY(!inner->state().selected);
        list(*view)->setCurrentRow(0);
        QVERIFY(inner->state().selected);
        view.reset();
        QFile::remove(later);
        QFile::remove(folder + u"/note.txt"_s);
    }

    // Tab goes along the toolbar into the listing; Return presses a focused button.
    void keyboardFollowsTheToolbar()
    {
        const QString folder = m_root + u"/z"_s;
        WorkspaceFileBrowserView view(QUrl::fromLocalFile(m_root), QUrl::fromLocalFile(folder));
        view.resize(400, 500);
        view.show();
        QApplication::setActiveWindow(&view);
        QVERIFY(QTest::qWaitForWindowActive(&view));
        QVERIFY(settled(view));
        const QStringList problems = nbd::test::tabOrderProblems(&view, 4);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));
        const QList<QWidget *> chain = nbd::test::tabChain(&view);
        QCOMPARE(chain.first(), static_cast<QWidget *>(back(view)));
        QCOMPARE(chain.last(), static_cast<QWidget *>(list(view)));

        QWidget *refresh = view.findChild<QWidget *>(u"workspace-files-refresh"_s);
        QCOMPARE(chain.indexOf(refresh), 1);
        write(folder + u"/fresh.txt"_s, "x");
        refresh->setFocus(Qt::TabFocusReason);
        QTest::keyClick(refresh, Qt::Key_Return);
        QTRY_VERIFY(names(view).contains(u"fresh.txt"_s));
        QFile::remove(folder + u"/fresh.txt"_s);
        back(view)->setFocus(Qt::TabFocusReason);
        QTest::keyClick(back(view), Qt::Key_Return);
        QCOMPARE(view.currentURL().toLocalFile(), m_root);
    }

    void previewLimits_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("preview"); // "<binary>", or the expected text
        QTest::newRow("nul at 8191") << (QByteArray(8191, 'a') + '\0') << u"<binary>"_s;
        QTest::newRow("nul at 8192") << (QByteArray(8192, 'a') + '\0' + "b") << (QString(8192, u'a') + QChar(0) + u"b"_s);
        QTest::newRow("empty") << QByteArray() << QString();
        QTest::newRow("invalid utf-8") << QByteArray("a\xffz") << u"a\uFFFDz"_s;
        QTest::newRow("cut at 200000") << (QByteArray(199999, 'x') + "\xe7\xbb\x88" + QByteArray(100000, 'y'))
                                       << (QString(199999, u'x') + u"\uFFFD"_s);
    }
    void previewLimits()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, preview);
        const QString path = m_tmp.filePath(u"preview.bin"_s);
        write(path, bytes);
        WorkspaceFileBrowserView view(QUrl::fromLocalFile(m_tmp.path()), QUrl::fromLocalFile(path));
        QVERIFY(settled(view));
        QVERIFY(view.selectedFile());
        QCOMPARE(view.preview(), preview == u"<binary>"_s ? u"此文件不是可预览的文本"_s : preview);
    }

    // Names that are not UTF-8 are listed (with replacement characters), previewed,
    // entered and left by their own bytes, also two that show alike; a link to one keeps them.
    void namesThatAreNotUtf8AreOpenedByTheirBytes()
    {
        const QByteArray base = QFile::encodeName(m_tmp.filePath(u"raw"_s));
        QCOMPARE(::mkdir(base.constData(), 0700), 0);
        QCOMPARE(::mkdir((base + "/caf\xe9").constData(), 0700), 0);
        writeRaw(base + "/caf\xe9/inner\xe9.md", "# inner\n");
        writeRaw(base + "/\xff\xfe.txt", "fffe\n");
        writeRaw(base + "/\xff.txt", "ff\n");
        writeRaw(base + "/\xfe.txt", "fe\n");
        writeRaw(base + "/\xe4\xb8\xad.txt", "zh\n");

        WorkspaceFileBrowserView view(NativePath::toURL(base), std::nullopt);
        view.resize(400, 500);
        view.show();
        QVERIFY(settled(view));
        QStringList shown;
        QSet<QString> ids;
        for (int i = 0; i < list(view)->count(); ++i)
            shown << list(view)->item(i)->text();
        for (const WorkspaceFileEntry &e : view.entries())
            ids << e.id();
        shown.sort();
        QCOMPARE(shown, (QStringList{u"caf\uFFFD"_s, u"\u4E2D.txt"_s, u"\uFFFD.txt"_s, u"\uFFFD.txt"_s, u"\uFFFD\uFFFD.txt"_s}));
        QCOMPARE(ids.size(), 5);

        // The two that show alike each open their own file.
        QStringList previews;
        for (int k = 0; k < 2; ++k) {
            // The rows are made again as the listing is shown again.
            const QList<QListWidgetItem *> alike = list(view)->findItems(u"\uFFFD.txt"_s, Qt::MatchExactly);
            QCOMPARE(alike.size(), 2);
            QTest::mouseClick(list(view)->viewport(), Qt::LeftButton, {}, list(view)->visualItemRect(alike[k]).center());
            QVERIFY(settled(view));
            previews << view.preview();
            QTest::mouseClick(back(view), Qt::LeftButton);
        }
        previews.sort();
        QCOMPARE(previews, (QStringList{u"fe\n"_s, u"ff\n"_s}));

        clickRow(view, u"caf\uFFFD"_s);
        QVERIFY(settled(view));
        QCOMPARE(NativePath::fromURL(view.currentURL()), base + "/caf\xe9");
        QCOMPARE(view.findChild<QLabel *>(u"workspace-files-title"_s)->text(), u"caf\uFFFD"_s);
        clickRow(view, u"inner\uFFFD.md"_s);
        QVERIFY(settled(view));
        QCOMPARE(NativePath::fromURL(*view.selectedFile()), base + "/caf\xe9/inner\xe9.md");
        QCOMPARE(view.preview(), u"# inner\n"_s);
        QTest::mouseClick(back(view), Qt::LeftButton);
        QTest::mouseClick(back(view), Qt::LeftButton);
        QVERIFY(settled(view));
        QCOMPARE(NativePath::fromURL(view.currentURL()), base);

        // Asked for by a link: routed, then shown, by the same bytes.
        const WorkspaceLinkDestination link =
            WorkspaceLinkRouter::destination(NativePath::toURL(base + "/./caf\xe9/../\xff\xfe.txt"), QUrl());
        QCOMPARE(link.kind, WorkspaceLinkDestination::Kind::File);
        QCOMPARE(NativePath::fromURL(link.url), base + "/\xff\xfe.txt");
        const WorkspaceLinkDestination relative =
            WorkspaceLinkRouter::destination(QUrl::fromEncoded("caf%E9/inner%E9.md"), NativePath::toURL(base));
        QCOMPARE(NativePath::fromURL(relative.url), base + "/caf\xe9/inner\xe9.md");
        WorkspaceFileBrowserView requested(NativePath::toURL(base), link.url);
        QVERIFY(settled(requested));
        QCOMPARE(requested.preview(), u"fffe\n"_s);
    }

    void aFifoIsNeverRead()
    {
        const QString fifo = m_tmp.filePath(u"pipe"_s);
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        WorkspaceFileBrowserView view(QUrl::fromLocalFile(m_tmp.path()), QUrl::fromLocalFile(fifo));
        QVERIFY(settled(view));
        QCOMPARE(view.preview(), u"此文件不是可预览的文本"_s);
    }

    void requestsAndContainment()
    {
        WorkspaceFileBrowserView view(QUrl::fromLocalFile(m_root), QUrl::fromLocalFile(m_root + u"/z/../missing.txt"_s));
        QVERIFY(settled(view));
        QCOMPARE(view.currentURL().toLocalFile(), m_root);
        QCOMPARE(view.error(), u"路径在本机不可用："_s + m_root + u"/missing.txt"_s);
        QVERIFY(view.findChild<ContentUnavailableView *>(u"workspace-files-unavailable"_s)->isVisibleTo(&view));

        // An outside folder reached by a request: back lands on the root.
        WorkspaceFileBrowserView outside(QUrl::fromLocalFile(m_root), QUrl::fromLocalFile(m_tmp.filePath(u"wsx"_s)));
        QVERIFY(settled(outside));
        QCOMPARE(outside.currentURL().toLocalFile(), QDir::cleanPath(m_tmp.filePath(u"wsx"_s)));
        outside.navigateBack();
        QVERIFY(settled(outside));
        QCOMPARE(outside.currentURL().toLocalFile(), m_root);

        QVERIFY(view.isWithinWorkspace(QUrl::fromLocalFile(m_root)));
        QVERIFY(view.isWithinWorkspace(QUrl::fromLocalFile(m_root + u"/z/./inner"_s)));
        QVERIFY(!view.isWithinWorkspace(QUrl::fromLocalFile(m_root + u"x"_s)));
        QVERIFY(!view.isWithinWorkspace(QUrl::fromLocalFile(m_root + u"/.."_s)));

        // A requested file previews; stepping back shows the root's listing.
        WorkspaceFileBrowserView file(QUrl::fromLocalFile(m_root), QUrl::fromLocalFile(m_root + u"/z/inner/deep.md"_s));
        QVERIFY(settled(file));
        QCOMPARE(file.preview(), u"# deep\n"_s);
        file.navigateBack();
        QVERIFY(settled(file));
        QCOMPARE(file.currentURL().toLocalFile(), m_root);
        QCOMPARE(file.entries().size(), size_t(6));
    }

    void specialFilesAreListedAndNeverOpened()
    {
        QTemporaryDir dir;
        const QString root = QDir::cleanPath(dir.path());
        write(root + u"/plain.txt"_s, "plain\n");
        QCOMPARE(::mkfifo(QFile::encodeName(root + u"/fifo"_s).constData(), 0600), 0);
        const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
        QVERIFY(sock >= 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray socketPath = QFile::encodeName(root + u"/socket"_s);
        QVERIFY(size_t(socketPath.size()) < sizeof(address.sun_path));
        std::memcpy(address.sun_path, socketPath.constData(), size_t(socketPath.size()));
        QCOMPARE(::bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
        QVERIFY(QFile::link(root + u"/fifo"_s, root + u"/link-to-fifo"_s));
        QVERIFY(QFile::link(root + u"/plain.txt"_s, root + u"/link-to-plain"_s));

        WorkspaceFileBrowserView view(QUrl::fromLocalFile(root), std::nullopt);
        view.resize(400, 500);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QVERIFY(settled(view));
        QStringList special;
        for (const WorkspaceFileEntry &e : view.entries())
            if (e.isSpecial)
                special << QFileInfo(e.url.toLocalFile()).fileName();
        special.sort();
        QCOMPARE(special, (QStringList{u"fifo"_s, u"link-to-fifo"_s, u"socket"_s}));
        QCOMPARE(list(view)->findItems(u"socket"_s, Qt::MatchExactly).first()->toolTip(), u"特殊文件"_s);
        QCOMPARE(list(view)->findItems(u"plain.txt"_s, Qt::MatchExactly).first()->toolTip(), u"文件"_s);

        for (const QString &name : {u"fifo"_s, u"link-to-fifo"_s, u"socket"_s}) {
            clickRow(view, name);
            QVERIFY(settled(view));
            QCOMPARE(view.preview(), u"此文件不是可预览的文本"_s);
            QTest::mouseClick(back(view), Qt::LeftButton);
        }
        clickRow(view, u"link-to-plain"_s);
        QVERIFY(settled(view));
        QCOMPARE(view.preview(), u"plain\n"_s);
        ::close(sock);

        // A device that reads as empty text would preview as empty if it were opened.
        const auto flag = std::make_shared<std::atomic_bool>(false);
        QCOMPARE(WorkspaceFileBrowserView::readPreview("/dev/null", flag), u"此文件不是可预览的文本"_s);
        QCOMPARE(WorkspaceFileBrowserView::readPreview(QFile::encodeName(root + u"/missing"_s), flag), QString::fromLocal8Bit(std::strerror(ENOENT)));
    }

    void aHugeFileIsReadOnlyAsFarAsItsPreview()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"huge.log"_s);
        write(path, QByteArray(WorkspaceFileBrowserView::kPreviewBytes, 'a'));
        // 64 GB long, nearly all of it a hole that reads as zero bytes.
        QVERIFY(QFile::resize(path, qint64(64) * 1024 * 1024 * 1024));
        WorkspaceFileBrowserView view(QUrl::fromLocalFile(dir.path()), QUrl::fromLocalFile(path));
        QVERIFY(settled(view));
        QCOMPARE(view.preview(), QString(WorkspaceFileBrowserView::kPreviewBytes, u'a'));
        // The one line of it is shown in rows no longer than the preview's line, nothing lost.
        auto *preview = view.findChild<QPlainTextEdit *>(u"workspace-files-preview"_s);
        QTRY_VERIFY(!view.findChild<BatchedTextWriter *>()->hasPending());
        QString shown;
        for (QTextBlock block = preview->document()->begin(); block.isValid(); block = block.next()) {
            QVERIFY(block.text().size() <= WorkspaceFileBrowserView::kPreviewLineChars);
            shown += block.text();
        }
        QCOMPARE(shown, view.preview());
    }

    void aPreviewOfManyLinesIsShownWhole()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"lines.txt"_s);
        QByteArray bytes;
        for (int i = 0; i < 30000; ++i)
            bytes += QByteArray::number(i % 10) + '\n';
        write(path, bytes);
        WorkspaceFileBrowserView view(QUrl::fromLocalFile(dir.path()), QUrl::fromLocalFile(path));
        view.resize(400, 500);
        view.show();
        QVERIFY(settled(view));
        auto *preview = view.findChild<QPlainTextEdit *>(u"workspace-files-preview"_s);
        QTRY_COMPARE_WITH_TIMEOUT(preview->document()->blockCount(), 30001, 20000);
        QCOMPARE(preview->toPlainText(), QString::fromLatin1(bytes));
        // Stepping back while it is still being written leaves an empty preview behind.
        view.navigateBack();
        view.selectFile(QUrl::fromLocalFile(path));
        QVERIFY(settled(view));
        view.navigateBack();
        QCOMPARE(preview->toPlainText(), QString());
        // Nothing of the text is left to be written later.
        auto *writer = view.findChild<BatchedTextWriter *>();
        QVERIFY(writer);
        QVERIFY(!writer->hasPending());
        test::drainEventLoop();
        QCOMPARE(preview->toPlainText(), QString());
    }

    void aNewerListingOrPreviewReplacesTheOneInFlight()
    {
        QTemporaryDir dir;
        const QString root = QDir::cleanPath(dir.path());
        QVERIFY(QDir(root).mkpath(u"many"_s));
        for (int i = 0; i < 3000; ++i)
            write(root + u"/many/f"_s + QString::number(i), "x");
        write(root + u"/only.txt"_s, "only\n");
        WorkspaceFileBrowserView view(QUrl::fromLocalFile(root), std::nullopt);
        QVERIFY(settled(view));
        QCOMPARE(names(view), (QStringList{u"many"_s, u"only.txt"_s}));

        view.selectFile(QUrl::fromLocalFile(root + u"/only.txt"_s));
        view.navigateBack();
        QVERIFY(settled(view));
        QVERIFY(!view.selectedFile());
        QCOMPARE(view.preview(), QString());
        // The dropped read's result has come back by now, and was not applied.
        QVERIFY(readsFinished());
        QCOMPARE(view.preview(), QString());

        // Into the big folder and straight back out: the root's listing is the one shown.
        WorkspaceFileBrowserView inside(QUrl::fromLocalFile(root), QUrl::fromLocalFile(root + u"/many"_s));
        inside.navigateBack();
        QVERIFY(settled(inside));
        QCOMPARE(inside.currentURL().toLocalFile(), root);
        QCOMPARE(names(inside), (QStringList{u"many"_s, u"only.txt"_s}));

        // A cancelled listing stops early.
        const auto cancelled = std::make_shared<std::atomic_bool>(true);
        QVERIFY(WorkspaceFileBrowserView::listFolder(QFile::encodeName(root + u"/many"_s), cancelled).entries.empty());
        QCOMPARE(WorkspaceFileBrowserView::listFolder(QFile::encodeName(root + u"/many"_s), std::make_shared<std::atomic_bool>(false)).entries.size(),
                 size_t(3000));
    }

    void iconsFollowTheExtension()
    {
        QCOMPARE(WorkspaceFileBrowserView::fileIcon(QUrl::fromLocalFile(u"/a/b.MD"_s)), u"doc.text"_s);
        QCOMPARE(WorkspaceFileBrowserView::fileIcon(QUrl::fromLocalFile(u"/a/b.yml"_s)), u"curlybraces"_s);
        QCOMPARE(WorkspaceFileBrowserView::fileIcon(QUrl::fromLocalFile(u"/a/b.webp"_s)), u"photo"_s);
        QCOMPARE(WorkspaceFileBrowserView::fileIcon(QUrl::fromLocalFile(u"/a/Makefile"_s)), u"doc"_s);
    }
};

NBD_GUI_TEST_MAIN(FileBrowserTest)
#include "tst_filebrowser.moc"
