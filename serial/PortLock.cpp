#include "serial/PortLock.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>

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
// An empty lock file younger than this may be one a live program is still
// making: between creating it and taking its flock, a matter of microseconds
// unless the machine is very busy.
constexpr qint64 SettledAfterMs = 1000;

enum class Verdict { Leftover, Settling, Live };

// Qt keeps a flock on its lock file for as long as it holds the lock; a
// probe takes none for longer than the two calls it makes.
bool fileHeld(const QString &file)
{
    const int fd = ::open(QFile::encodeName(file).constData(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno != ENOENT;   // unreadable: not ours to judge
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return held;
}

bool processAlive(qint64 pid) { return ::kill(pid_t(pid), 0) == 0 || errno != ESRCH; }

Verdict verdictOn(const QString &file)
{
    if (fileHeld(file))
        return Verdict::Live;
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return f.exists() ? Verdict::Live : Verdict::Leftover;
    const QList<QByteArray> lines = f.read(256).split('\n');
    bool ok = false;
    const qint64 pid = lines.value(0).trimmed().toLongLong(&ok);
    if (ok && pid > 0) {
        // Qt writes the program's name and host after the process number,
        // once it holds the file; other programs write the number alone
        // and hold nothing, so only the process tells.
        const bool qtLock = lines.size() > 2;
        return qtLock || !processAlive(pid) ? Verdict::Leftover : Verdict::Live;
    }
    const qint64 age = QFileInfo(file).lastModified().msecsTo(QDateTime::currentDateTime());
    return age > SettledAfterMs ? Verdict::Leftover : Verdict::Settling;
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

// The lock file of `device` and its ".rmlock", in each folder that has them.
QStringList lockFilesOf(const QString &device)
{
    QStringList files, dirsSeen;
    for (const QString &dir : LockDirs()) {
        const QString real = QFileInfo(dir).canonicalFilePath();
        if (real.isEmpty() || dirsSeen.contains(real))
            continue;
        dirsSeen << real;
        const QString lock = real + QLatin1Char('/') + LockFileName(device);
        for (const QString &file : {lock + QStringLiteral(".rmlock"), lock})
            if (QFileInfo::exists(file))
                files << file;
    }
    return files;
}

// The least settled of the files' verdicts.
Verdict leastSettled(const QStringList &files)
{
    Verdict worst = Verdict::Leftover;
    for (const QString &file : files)
        worst = std::max(worst, verdictOn(file));
    return worst;
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
    const QDeadlineTimer deadline(SettledAfterMs + 250);
    for (;;) {
        if (deviceHeld(device))
            return false;
        const QStringList files = lockFilesOf(device);
        switch (leastSettled(files)) {
        case Verdict::Live:
            return false;
        case Verdict::Leftover:
            for (const QString &file : files)
                QFile::remove(file);
            return true;
        case Verdict::Settling:
            if (deadline.hasExpired())
                return false;
            QThread::msleep(20);
        }
    }
#else
    return false;
#endif
}

void RemoveUnheld([[maybe_unused]] const QString &device)
{
#ifdef Q_OS_UNIX
    for (const QString &file : lockFilesOf(device))
        if (!fileHeld(file))
            QFile::remove(file);
#endif
}

} // namespace PortLock
