#pragma once

#include <QProcess>
#include <QStringList>

// Another application holding the X11 PRIMARY selection for as long as this object lives: the
// helper process built beside the X11 tests ($NBD_PRIMARY_OWNER), which answers, refuses,
// hangs or delays as its arguments say. Arguments starting with "--clipboard" make it hold the
// CLIPBOARD instead.
class PrimaryOwner
{
public:
    explicit PrimaryOwner(const QStringList &arguments)
    {
        m_process.setProgram(qEnvironmentVariable("NBD_PRIMARY_OWNER"));
        m_process.setArguments(arguments);
        m_process.start();
        m_ready = m_process.waitForStarted(10000) && m_process.waitForReadyRead(10000)
            && m_process.readLine().trimmed() == "ready";
    }
    ~PrimaryOwner()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    PrimaryOwner(const PrimaryOwner &) = delete;
    PrimaryOwner &operator=(const PrimaryOwner &) = delete;

    static QStringList clipboard(const QStringList &arguments) { return QStringList{QStringLiteral("--clipboard")} + arguments; }

    // The helper has taken the selection.
    bool isReady() const { return m_ready; }

    // How many readers have finished with the selection so far, as the helper saw their
    // windows go: a late answer has been taken in, or given up on, by then.
    int releasedCount()
    {
        while (m_process.canReadLine()) {
            if (m_process.readLine().trimmed() == "released")
                ++m_released;
        }
        return m_released;
    }

private:
    QProcess m_process;
    bool m_ready = false;
    int m_released = 0;
};
