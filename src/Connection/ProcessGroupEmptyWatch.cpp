#include "Connection/ProcessGroupEmptyWatch.h"

#include <QDir>
#include <QFile>
#include <QSocketNotifier>

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace nbd {

namespace {

// The process group of a running process (not a zombie: it has ended, only not yet been
// collected), or 0.
qint64 runningProcessGroup(const QString &pid)
{
    QFile stat(u"/proc/"_s + pid + u"/stat"_s);
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    // "pid (name) state ppid pgrp ...": the name may hold blanks and parentheses.
    const QByteArray line = stat.readAll();
    const QList<QByteArray> rest = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (rest.size() < 3 || rest.at(0) == "Z")
        return 0;
    return rest.at(2).toLongLong();
}

int openProcessDescriptor(qint64 pid)
{
#ifdef SYS_pidfd_open
    return int(::syscall(SYS_pidfd_open, pid_t(pid), 0));
#else
    Q_UNUSED(pid);
    return -1;
#endif
}

} // namespace

ProcessGroupEmptyWatch::ProcessGroupEmptyWatch(qint64 group, QObject *parent)
    : QObject(parent)
    , m_group(group)
{
    lookUpMembers();
}

ProcessGroupEmptyWatch::~ProcessGroupEmptyWatch()
{
    for (const Member &member : m_members) {
        delete member.notifier;
        ::close(member.descriptor);
    }
}

void ProcessGroupEmptyWatch::lookUpMembers()
{
    const QStringList entries = QDir(u"/proc"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (!number || runningProcessGroup(entry) != m_group)
            continue;
        const int descriptor = openProcessDescriptor(pid);
        if (descriptor < 0) {
            m_unwatchable = true;
            continue;
        }
        // The number may have gone to another process between the look-up and the open.
        if (runningProcessGroup(entry) != m_group) {
            ::close(descriptor);
            continue;
        }
        auto *notifier = new QSocketNotifier(descriptor, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this, descriptor] { memberEnded(descriptor); });
        m_members.push_back({descriptor, notifier});
    }
    if (m_members.empty() && !m_unwatchable)
        QMetaObject::invokeMethod(this, [this] { Q_EMIT emptied(m_group); }, Qt::QueuedConnection);
}

void ProcessGroupEmptyWatch::memberEnded(int descriptor)
{
    const auto it = std::find_if(m_members.begin(), m_members.end(),
                                 [descriptor](const Member &member) { return member.descriptor == descriptor; });
    if (it == m_members.end())
        return;
    it->notifier->setEnabled(false);
    it->notifier->deleteLater();
    ::close(descriptor);
    m_members.erase(it);
    if (m_members.empty())
        lookUpMembers();
}

} // namespace nbd
