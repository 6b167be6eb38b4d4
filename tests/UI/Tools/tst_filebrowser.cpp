// The file browser over real folders, driven by clicks and keys.
#include "AccessibilityWalk.h"
#include "GuiTestMain.h"

#include "UI/Shared/ChromeIconButton.h"
#include "UI/Tools/ToolChrome.h"
#include "UI/Tools/WorkspaceFileBrowserView.h"

#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QTemporaryDir>

#include <sys/stat.h>

using namespace Qt::Literals::StringLiterals;
using namespace nbd;

namespace {

void write(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
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
        view.resize(400, 500);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QVERIFY(!back(view)->isEnabled());
        clickRow(view, u"z"_s);
        QCOMPARE(view.currentURL().toLocalFile(), m_root + u"/z"_s);
        QVERIFY(back(view)->isEnabled());
        clickRow(view, u"inner"_s);
        // Return on the selected row opens it as a click does.
        list(view)->setFocus();
        list(view)->setCurrentRow(0);
        QTest::keyClick(list(view), Qt::Key_Return);
        QCOMPARE(view.selectedFile()->toLocalFile(), m_root + u"/z/inner/deep.md"_s);
        QCOMPARE(view.findChild<QPlainTextEdit *>(u"workspace-files-preview"_s)->toPlainText(), u"# deep\n"_s);
        QCOMPARE(view.findChild<QLabel *>(u"workspace-files-title"_s)->text(), u"deep.md"_s);
        const QStringList problems = nbd::test::accessibilityProblems(&view);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u"; "_s)));
        QTest::mouseClick(back(view), Qt::LeftButton);
        QVERIFY(!view.selectedFile());
        QCOMPARE(view.currentURL().toLocalFile(), m_root + u"/z/inner"_s);
        QTest::mouseClick(back(view), Qt::LeftButton);
        QTest::mouseClick(back(view), Qt::LeftButton);
        QCOMPARE(view.currentURL().toLocalFile(), m_root);
        QVERIFY(!back(view)->isEnabled());
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
        QVERIFY(view.selectedFile());
        QCOMPARE(view.preview(), preview == u"<binary>"_s ? u"此文件不是可预览的文本"_s : preview);
    }

    void aFifoIsNeverRead()
    {
        const QString fifo = m_tmp.filePath(u"pipe"_s);
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        WorkspaceFileBrowserView view(QUrl::fromLocalFile(m_tmp.path()), QUrl::fromLocalFile(fifo));
        QCOMPARE(view.preview(), u"此文件不是可预览的文本"_s);
    }

    void requestsAndContainment()
    {
        WorkspaceFileBrowserView view(QUrl::fromLocalFile(m_root), QUrl::fromLocalFile(m_root + u"/z/../missing.txt"_s));
        QCOMPARE(view.currentURL().toLocalFile(), m_root);
        QCOMPARE(view.error(), u"路径在本机不可用："_s + m_root + u"/missing.txt"_s);
        QVERIFY(view.findChild<ContentUnavailableView *>(u"workspace-files-unavailable"_s)->isVisibleTo(&view));

        // An outside folder reached by a request: back lands on the root.
        WorkspaceFileBrowserView outside(QUrl::fromLocalFile(m_root), QUrl::fromLocalFile(m_tmp.filePath(u"wsx"_s)));
        QCOMPARE(outside.currentURL().toLocalFile(), QDir::cleanPath(m_tmp.filePath(u"wsx"_s)));
        outside.navigateBack();
        QCOMPARE(outside.currentURL().toLocalFile(), m_root);

        QVERIFY(view.isWithinWorkspace(QUrl::fromLocalFile(m_root)));
        QVERIFY(view.isWithinWorkspace(QUrl::fromLocalFile(m_root + u"/z/./inner"_s)));
        QVERIFY(!view.isWithinWorkspace(QUrl::fromLocalFile(m_root + u"x"_s)));
        QVERIFY(!view.isWithinWorkspace(QUrl::fromLocalFile(m_root + u"/.."_s)));

        // A requested file previews; stepping back shows the root's listing.
        WorkspaceFileBrowserView file(QUrl::fromLocalFile(m_root), QUrl::fromLocalFile(m_root + u"/z/inner/deep.md"_s));
        QCOMPARE(file.preview(), u"# deep\n"_s);
        file.navigateBack();
        QCOMPARE(file.currentURL().toLocalFile(), m_root);
        QCOMPARE(file.entries().size(), size_t(6));
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
