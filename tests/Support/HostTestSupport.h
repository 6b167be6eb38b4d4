#pragma once

#include <QByteArray>
#include <QCoroTask>
#include <QFile>
#include <QString>
#include <QTest>

#include <memory>
#include <optional>
#include <utility>

namespace nbd::test {

// A task started by a test and collected while the event loop turns. Tests wait for it
// with a generous bound (AWAIT_DONE) so that a hang fails instead of blocking ctest.
template<class T>
class Pending
{
public:
    explicit Pending(QCoro::Task<T> task) : m_result(std::make_shared<std::optional<T>>()) { collect(std::move(task), m_result); }

    bool isDone() const { return m_result->has_value(); }
    const T &value() const { return **m_result; }

private:
    static QCoro::Task<void> collect(QCoro::Task<T> task, std::shared_ptr<std::optional<T>> out)
    {
        T value = co_await task;
        out->emplace(std::move(value));
    }

    std::shared_ptr<std::optional<T>> m_result;
};

#define AWAIT_DONE(pending) QTRY_VERIFY_WITH_TIMEOUT((pending).isDone(), 60000)

// Sets an environment variable for one scope and puts the old value back afterwards.
class ScopedEnv
{
public:
    ScopedEnv(const char *name, const QByteArray &value) : m_name(name), m_had(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name))
    {
        qputenv(name, value);
    }
    ~ScopedEnv()
    {
        if (m_had)
            qputenv(m_name, m_old);
        else
            qunsetenv(m_name);
    }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    const char *m_name;
    bool m_had;
    QByteArray m_old;
};

// Writes an executable shell script.
inline bool writeScript(const QString &path, const QByteArray &body)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.write("#!/bin/sh\n" + body);
    file.close();
    return file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

inline QString simExecutable() { return qEnvironmentVariable("NBD_SIM_EXE"); }

} // namespace nbd::test
