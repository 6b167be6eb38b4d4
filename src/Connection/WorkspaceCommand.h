#pragma once

#include <QCoroTask>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <utility>

namespace nbd {

// What one child process printed and how it ended.
struct WorkspaceCommandResult
{
    // Standard output and standard error in the order the bytes arrived, decoded as UTF-8 with
    // U+FFFD for ill-formed sequences; or the reason the process could not start.
    QString output;
    // The exit code (the signal number after a death by signal); -1 when it could not start.
    int status = -1;

    bool operator==(const WorkspaceCommandResult &) const = default;
};

// Runs one short read-only tool in a directory and hands back everything it printed.
namespace WorkspaceCommand {

// Starts `executable` (a path, never looked up on PATH) with the arguments, unchanged and
// without a shell, in `directory`, with both output streams on one channel and the
// application's standard input and environment. Never fails: a process that cannot start is
// reported as status -1 with the reason. There is no time-out: the wait lasts as long as the
// process does, without blocking the calling thread.
QCoro::Task<WorkspaceCommandResult> capture(QString executable, QStringList arguments, QUrl directory);

// Runs a read-only git command (`arguments` after the global options) on the work tree in
// `directory`. A work tree can come from anywhere, and its configuration can name programs
// that git would start on its own (a file-system monitor, clean and smudge filters, diff
// drivers and text conversions, a pager, hooks, the transport of a lazy fetch): none of them
// runs here, and no optional lock is taken, so that the agent's own git stays unblocked.
// The command itself must turn off external diffs and text conversions where it diffs.
QCoro::Task<WorkspaceCommandResult> captureGit(QStringList arguments, QUrl directory);

// The configuration that keeps git from starting what the configuration names, for the filter
// drivers `filterNames` (the subsections of the repository's filter.* keys), as key and value
// pairs in the order they are given to git.
QList<std::pair<QString, QString>> inertGitConfiguration(const QStringList &filterNames);

// The filter drivers named in `git config --null --name-only --get-regexp` output: the
// subsection of each filter.<name>.<key>, each once, in order of first appearance.
QStringList gitFilterNames(const QString &configNames);

// The version-control executable: /usr/bin/git, else git found on PATH, else the fixed path
// (so that the start error names it).
QString gitExecutable();

} // namespace WorkspaceCommand

} // namespace nbd
