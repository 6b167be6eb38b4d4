// The application as a real process: a termination signal takes the normal quit path, which
// stops the host the application launched.
#include "Connection/NBDProcessManager.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

using namespace Qt::Literals::StringLiterals;

namespace {

// The pids of the processes whose parent is `parent` and whose command name is `name`.
QList<qint64> childrenNamed(qint64 parent, const QString &name)
{
    QList<qint64> found;
    const QStringList entries = QDir(u"/proc"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (!ok)
            continue;
        QFile stat(u"/proc/"_s + entry + u"/stat"_s);
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QString text = QString::fromLatin1(stat.readAll());
        const auto open = text.indexOf(u'(');
        const auto close = text.lastIndexOf(u')');
        if (open < 0 || close < 0)
            continue;
        const QStringList rest = text.mid(close + 2).split(u' ');
        if (rest.size() > 1 && text.mid(open + 1, close - open - 1) == name && rest[1].toLongLong() == parent
            && rest[0] != u"Z"_s)
            found.append(pid);
    }
    return found;
}

bool processGone(qint64 pid)
{
    QFile stat(u"/proc/"_s + QString::number(pid) + u"/stat"_s);
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QString text = QString::fromLatin1(stat.readAll());
    return text.mid(text.lastIndexOf(u')') + 2, 1) == u"Z"_s;
}

// The application attaches to a host that is already running instead of launching one; such
// a host (another test run on this machine, a demo) makes this test meaningless.
bool someHostIsListening()
{
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, 3080);
    if (probe.waitForConnected(500))
        return true;
    const QString lsof = nbd::NBDProcessManager::defaultLsofPath();
    if (lsof.isEmpty())
        return false;
    QProcess process;
    process.start(lsof, {u"-nP"_s, u"-iTCP"_s, u"-sTCP:LISTEN"_s});
    if (!process.waitForFinished(5000))
        return false;
    return !nbd::NBDProcessManager::listenerURLs(QString::fromLocal8Bit(process.readAllStandardOutput())).isEmpty();
}

quint16 unusedPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

} // namespace

class tst_AppQuit : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void terminationSignalStopsTheLaunchedHost_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGINT") << SIGINT;
    }

    void terminationSignalStopsTheLaunchedHost()
    {
        QFETCH(int, signalNumber);
        const QString app = qEnvironmentVariable("NBD_APP_EXE");
        const QString sim = qEnvironmentVariable("NBD_SIM_EXE");
        QVERIFY2(QFile::exists(app) && QFile::exists(sim), "NBD_APP_EXE and NBD_SIM_EXE name the executables");
        if (someHostIsListening())
            QSKIP("a host is already listening on this machine; the application would attach to it");

        // A private configuration: embedded mode, an address where no host answers, and the
        // simulated host as the host executable, so the application launches it.
        QTemporaryDir home;
        const QString config = home.filePath(u"config"_s);
        {
            QSettings settings(config + u"/Nimbrel/Nimbrel Deck.conf"_s, QSettings::IniFormat);
            settings.setValue(u"nbd.serverURL"_s, u"http://127.0.0.1:%1"_s.arg(unusedPort()));
            settings.setValue(u"nbd.launchMode"_s, u"embedded"_s);
            settings.setValue(u"nbd.executablePath"_s, sim);
        }
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"HOME"_s, home.path());
        env.insert(u"XDG_CONFIG_HOME"_s, config);
        env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        env.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, u"unix:path=/nonexistent"_s);
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(app, {});
        QVERIFY(process.waitForStarted());

        const QString simName = QFileInfo(sim).fileName().left(15);
        QList<qint64> hosts;
        QTRY_VERIFY_WITH_TIMEOUT(!(hosts = childrenNamed(process.processId(), simName)).isEmpty(), 30000);
        QCOMPARE(hosts.size(), 1);

        ::kill(pid_t(process.processId()), signalNumber);
        QVERIFY(process.waitForFinished(15000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(processGone(hosts.first()), 5000);
    }
};

QTEST_GUILESS_MAIN(tst_AppQuit)
#include "tst_appquit.moc"
