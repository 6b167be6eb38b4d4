#pragma once

#include <QObject>

#include <vector>

class QSocketNotifier;

namespace nbd {

// Tells when a process group has no running process left, without polling: every member's
// process descriptor (pidfd) becomes readable as the member ends, and once all have ended the
// group is looked up again, for the children they started meanwhile. A group whose members the
// kernel cannot watch (no pidfd) is never reported empty. Main thread only.
class ProcessGroupEmptyWatch : public QObject
{
    Q_OBJECT
public:
    // Looks the group up at once; emptied() comes from the event loop, never from here.
    ProcessGroupEmptyWatch(qint64 group, QObject *parent = nullptr);
    ~ProcessGroupEmptyWatch() override;

    qint64 group() const { return m_group; }

Q_SIGNALS:
    void emptied(qint64 group);

private:
    struct Member
    {
        int descriptor;
        QSocketNotifier *notifier;
    };

    void lookUpMembers();
    void memberEnded(int descriptor);

    qint64 m_group;
    std::vector<Member> m_members;
    bool m_unwatchable = false;
};

} // namespace nbd
