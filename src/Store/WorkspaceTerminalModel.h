#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QUuid>

#include <optional>

class QProcess;
class QTimer;

namespace nbd {

class ProcessGroupEmptyWatch;

// One entry of the terminal's output.
struct TerminalRecord
{
    // command: a line the user entered, after its prompt; output: what the process wrote (both
    // streams); error: the terminal's own message (failed cd, failed launch, non-zero exit).
    enum class Kind { Command, Output, Error };

    QUuid id;
    Kind kind = Kind::Output;
    QString text;

    bool operator==(const TerminalRecord &) const = default;
};

// The terminal of the workspace: not an emulator but a current directory and one command line
// at a time, run by the login shell with merged output and no input. A plain "cd" is carried
// out here, so that the directory persists from one line to the next.
class WorkspaceTerminalModel : public QObject
{
    Q_OBJECT
public:
    // The scroll-back: the newest records within both limits are kept, older ones dropped, so
    // that a command flooding its output leaves memory flat. The size counts the text as held
    // (two bytes per UTF-16 unit); a single record larger than that keeps its end.
    static constexpr qsizetype kMaxRecords = 10000;
    static constexpr qsizetype kMaxTextBytes = 8 * 1024 * 1024;
    // A command still running is ended with its process group: nothing of the window's may
    // outlive it. The group is asked to end and killed a moment later if it has not; the
    // window never waits for it. The group of a finished command is kept while anything it
    // started (a background job) is left in it, and ended in the same way with the model or
    // the application; the process group watchdog ends them all should the application die.
    static constexpr int kKillGraceMs = 500;
    // After an interrupt, how long the command has to end before the stop goes on to SIGTERM.
    static constexpr int kInterruptGraceMs = 2000;

    explicit WorkspaceTerminalModel(const QUrl &directory, QObject *parent = nullptr);
    ~WorkspaceTerminalModel() override;

    const QList<TerminalRecord> &records() const { return m_records; }
    // Records appended over the model's life, including those dropped from the scroll-back
    // and those cleared: a view follows the new records by it.
    qint64 appendedCount() const { return m_appendedCount; }
    // The text held by records(), in bytes as counted against kMaxTextBytes.
    qsizetype textBytes() const { return m_textBytes; }
    QUrl currentDirectoryURL() const { return m_currentDirectoryURL; }
    bool isRunning() const { return m_isRunning; }
    // Grows by one after every change the view follows (records, clear, directory, end).
    qint64 revision() const { return m_revision; }

    // "user@host dir %": the login name, the machine's name and the directory's last component.
    QString prompt() const;
    // "user@host", the part of the prompt before the directory.
    static QString userAndHost();

    // Moves to a directory chosen outside the terminal; ignored while a command runs or when
    // the path is not a directory.
    void useDirectory(const QUrl &directory);
    // Runs one entered line (trimmed; blank lines and lines while running are dropped).
    void execute(const QString &line);
    // Empties the records; a running command goes on and its output is appended afterwards.
    void clear();
    // Stops the running command's whole process group; nothing when idle. The first call sends
    // SIGINT; a second call, or the command still running kInterruptGraceMs later, sends
    // SIGTERM, and SIGKILL follows kKillGraceMs after that.
    void interrupt();
    // The process groups of finished commands that still hold a process.
    QList<qint64> leftoverGroups() const;

    // The shell that runs each line as `<shell> -l -c <line>`; replaceable for tests.
    void setShell(const QString &path) { m_shell = path; }
    QString shell() const { return m_shell; }

    // The directory argument of a plain change of directory ("cd" alone: "~"; "cd <arg>" on a
    // line without "&&" or ";"), or nothing when the line goes to the shell.
    static std::optional<QString> cdTarget(const QString &line);

Q_SIGNALS:
    void recordsChanged();
    // clear() emptied the records (also when there were none).
    void cleared();
    void currentDirectoryChanged(const QUrl &directory);
    void runningChanged(bool running);
    void revisionChanged(qint64 revision);

private:
    void append(const QString &text, TerminalRecord::Kind kind);
    void bumpRevision();
    void changeDirectory(const QString &argument);
    void setRunning(bool running);
    void readOutput();
    void finish(int status);
    QString decodeChunk(const QByteArray &bytes, bool final);
    // SIGTERM to the running command's group, SIGKILL after the grace.
    void terminateRunningGroup();
    // Keeps the group of a finished command while a process is left in it.
    void keepLeftoverGroup(qint64 group);
    void dropLeftover(ProcessGroupEmptyWatch *leftover);
    // Lets go of the leftover groups that have no process any more.
    void pruneLeftoverGroups();
    // Ends every group the model holds at once (the application is quitting).
    void killAllGroups();

    QList<TerminalRecord> m_records;
    qint64 m_appendedCount = 0;
    qsizetype m_textBytes = 0;
    QUrl m_currentDirectoryURL;
    bool m_isRunning = false;
    qint64 m_revision = 0;
    QString m_shell;
    QProcess *m_process = nullptr;
    qint64 m_group = 0; // of m_process
    bool m_interrupted = false;
    QTimer *m_interruptGrace = nullptr;
    QList<ProcessGroupEmptyWatch *> m_leftovers;
    // The tail of the last read that ends inside a UTF-8 sequence, completed by the next read.
    QByteArray m_pendingBytes;
};

} // namespace nbd
