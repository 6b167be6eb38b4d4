#include "Store/SettingsFile.h"

#include "Store/StoreErrors.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace nbd {

namespace {

// Why `path` cannot be written, found by trying what a save does: replace the file by a new
// one made beside it. 0 when nothing stands in the way.
int writeObstacle(const QString &path)
{
    const QByteArray file = QFile::encodeName(path);
    struct stat info;
    if (::stat(file.constData(), &info) == 0) {
        if (S_ISDIR(info.st_mode))
            return EISDIR;
        if (::access(file.constData(), W_OK) != 0)
            return errno;
    } else if (errno == ENOTDIR) {
        return ENOTDIR;
    }
    QByteArray probe = QFile::encodeName(QFileInfo(path).absolutePath()) + "/.nimbrel-write-check-XXXXXX";
    const int fd = ::mkstemp(probe.data());
    if (fd < 0)
        return errno;
    int obstacle = 0;
    const char block[4096] = {};
    if (::write(fd, block, sizeof block) < 0 || ::fsync(fd) != 0)
        obstacle = errno;
    ::close(fd);
    ::unlink(probe.constData());
    return obstacle;
}

QString obstacleText(int error)
{
    switch (error) {
    case 0: return {};
    case EISDIR: return u"该位置被一个文件夹占用"_s;
    case ENOTDIR: return u"路径中有一段不是文件夹"_s;
    case EROFS: return u"所在的文件系统是只读的"_s;
    case EACCES:
    case EPERM: return u"没有写入权限"_s;
    case ENOSPC:
    case EDQUOT: return u"磁盘已满"_s;
    case ENOENT: return u"所在的文件夹无法创建"_s;
    default: return QString::fromLocal8Bit(std::strerror(error));
    }
}

// "设置未能保存：…" for a file that could not be written, with why when it can be told.
QString failureMessage(const QString &path)
{
    const QString reason = obstacleText(writeObstacle(path));
    QString message = u"设置未能保存：无法写入 "_s + path;
    if (!reason.isEmpty())
        message += u"（"_s + reason + u"）"_s;
    return message;
}

} // namespace

SettingsFile::SettingsFile(QSettings *settings, StoreErrors *errors) : m_settings(settings), m_errors(errors) {}

QVariant SettingsFile::value(const QString &key, const QVariant &fallback) const
{
    return m_settings->value(key, fallback);
}

void SettingsFile::setValue(const QString &key, const QVariant &value)
{
    m_settings->setValue(key, value);
    written();
}

void SettingsFile::remove(const QString &key)
{
    m_settings->remove(key);
    written();
}

void SettingsFile::written()
{
    m_settings->sync();
    // A QSettings keeps the first error it met for good, so ask a fresh handle on the same
    // file: it shares the unsaved changes, tries them again and says how that went.
    QSettings check(m_settings->fileName(), m_settings->format());
    check.sync();
    if (check.status() == QSettings::NoError) {
        m_failing = false;
        return;
    }
    if (m_failing)
        return;
    m_failing = true;
    m_errors->showTransientError(failureMessage(m_settings->fileName()));
}

} // namespace nbd
