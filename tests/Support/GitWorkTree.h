#pragma once

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Real git work trees for the review's tests, made by the git on the machine. A step that
// fails stops the test program: nothing a test checks holds in a half-made tree.
namespace nbd::test::GitWorkTree {

// Runs git in `dir` with a fixed author and default branch, whatever the user configured.
inline void git(const QString &dir, const QStringList &args)
{
    QProcess p;
    p.setWorkingDirectory(dir);
    p.start(QStringLiteral("git"),
            QStringList{QStringLiteral("-c"), QStringLiteral("user.name=t"), QStringLiteral("-c"),
                        QStringLiteral("user.email=t@t"), QStringLiteral("-c"), QStringLiteral("init.defaultBranch=main")}
                + args);
    if (!p.waitForFinished(-1) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        qFatal("git %s in %s failed: %s", qPrintable(args.join(u' ')), qPrintable(dir), p.readAllStandardError().constData());
}

inline void write(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

// A new work tree at `dir` on branch main with one commit of a.txt ("one\n").
inline QString create(const QString &dir)
{
    if (!QDir().mkpath(dir))
        qFatal("cannot make %s", qPrintable(dir));
    git(dir, {QStringLiteral("init"), QStringLiteral("-q")});
    write(dir + QStringLiteral("/a.txt"), "one\n");
    git(dir, {QStringLiteral("add"), QStringLiteral("a.txt")});
    git(dir, {QStringLiteral("commit"), QStringLiteral("-q"), QStringLiteral("-m"), QStringLiteral("first")});
    return dir;
}

// A work tree at `dir` with a change for a diff to read (a line added to a.txt) and an
// unchanged committed file, b.txt, with a new time, which a command that may write the index
// would record there.
inline QString createChanged(const QString &dir)
{
    create(dir);
    write(dir + QStringLiteral("/b.txt"), "same\n");
    git(dir, {QStringLiteral("add"), QStringLiteral("b.txt")});
    git(dir, {QStringLiteral("commit"), QStringLiteral("-q"), QStringLiteral("-m"), QStringLiteral("second")});
    write(dir + QStringLiteral("/a.txt"), "one\ntwo\n");
    QFile b(dir + QStringLiteral("/b.txt"));
    if (!b.open(QIODevice::ReadWrite)
        || !b.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime))
        qFatal("cannot set the time of %s", qPrintable(b.fileName()));
    return dir;
}

} // namespace nbd::test::GitWorkTree
