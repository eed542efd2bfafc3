#include "serial/PortLock.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace PortLock {

namespace {

#ifdef Q_OS_UNIX
// A file younger than this may be one a live program is still writing.
constexpr qint64 SettledAfterMs = 1000;

bool namesALiveProcess(const QString &file)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return true;   // unreadable: not ours to judge
    bool ok = false;
    const qint64 pid = f.readLine(32).trimmed().toLongLong(&ok);
    if (!ok || pid <= 0)
        return false;
    return ::kill(pid_t(pid), 0) == 0 || errno != ESRCH;
}

bool isLeftover(const QString &file)
{
    const QFileInfo info(file);
    return info.lastModified().msecsTo(QDateTime::currentDateTime()) > SettledAfterMs && !namesALiveProcess(file);
}

// Every Calitune that uses a port holds a lock on the device itself.
bool deviceHeld(const QString &device)
{
    const int fd = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return true;
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return held;
}
#endif

} // namespace

QStringList LockDirs()
{
    return {QStringLiteral("/var/lock"), QStringLiteral("/etc/locks"), QStringLiteral("/var/spool/locks"),
            QStringLiteral("/var/spool/uucp"), QStringLiteral("/tmp"), QStringLiteral("/var/tmp"),
            QStringLiteral("/var/lock/lockdev"), QStringLiteral("/run/lock"),
            QStandardPaths::writableLocation(QStandardPaths::TempLocation)};
}

QString LockFileName(const QString &device)
{
    QString name = device.startsWith(QLatin1String("/dev/")) ? device.mid(5) : device;
    return QStringLiteral("LCK..") + name.replace(QLatin1Char('/'), QLatin1Char('_'));
}

bool ClearLeftovers([[maybe_unused]] const QString &device)
{
#ifdef Q_OS_UNIX
    QStringList leftovers;
    for (const QString &dir : LockDirs()) {
        const QString lock = dir + QLatin1Char('/') + LockFileName(device);
        for (const QString &file : {lock + QStringLiteral(".rmlock"), lock}) {
            if (!QFileInfo::exists(file))
                continue;
            if (!isLeftover(file))
                return false;
            leftovers << file;
        }
    }
    if (leftovers.isEmpty() || deviceHeld(device))
        return false;
    for (const QString &file : leftovers)
        QFile::remove(file);
    return true;
#else
    return false;
#endif
}

} // namespace PortLock
