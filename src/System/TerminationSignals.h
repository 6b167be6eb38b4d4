#pragma once

#include <QObject>

class QSocketNotifier;

namespace nbd {

// Turns SIGTERM, SIGINT and SIGHUP into a signal on the main thread. The handler only writes the
// signal number into a socket pair; a socket notifier on the main thread reads it, so nothing
// but write(2) runs inside the handler.
class TerminationSignals : public QObject
{
    Q_OBJECT
public:
    // Installs the handlers once per process (later calls return the same object); null when
    // the socket pair cannot be created.
    static TerminationSignals *install();

Q_SIGNALS:
    void terminationRequested(int signalNumber);

private:
    explicit TerminationSignals(int readFd);
    void readPending();

    QSocketNotifier *m_notifier;
    int m_readFd;
};

} // namespace nbd
