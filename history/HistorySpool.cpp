#include "history/HistorySpool.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <algorithm>
#include <memory>
#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <QLockFile>
#include <io.h>
#endif

namespace History::Spool {

namespace {

enum class Taken { Held, Missing };

QJsonValue hex(const std::optional<QByteArray> &block)
{
    return block ? QJsonValue(QString::fromLatin1(block->toHex())) : QJsonValue(QJsonValue::Null);
}

// A block is absent (null) or 32 hex digits.
bool block(const QJsonValue &value, std::optional<QByteArray> &out)
{
    if (value.isNull() || value.isUndefined()) {
        out.reset();
        return true;
    }
    const QByteArray bytes = QByteArray::fromHex(value.toString().toLatin1());
    if (!value.isString() || bytes.size() != 16 || value.toString().size() != 32)
        return false;
    out = bytes;
    return true;
}

bool verifiedOf(const QJsonValue &value, std::optional<bool> &out)
{
    if (value.isNull() || value.isUndefined())
        out.reset();
    else if (value.isBool())
        out = value.toBool();
    else
        return false;
    return true;
}

QByteArray line(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

bool parseCompletion(const QJsonObject &o, Record &r)
{
    const std::optional<State> outcome = StateFromName(o.value("outcome").toString());
    r.uid = o.value("uid").toString();
    if (!outcome || r.uid.isEmpty())
        return false;
    r.outcome = *outcome;
    r.forced = o.value("forced").toBool();
    return block(o.value("before"), r.before) && block(o.value("sent"), r.sent) && block(o.value("after"), r.after)
           && verifiedOf(o.value("verified"), r.verified);
}

bool parseRecord(const QJsonObject &o, Record &r)
{
    const std::optional<Source> source = sourceFromName(o.value("source").toString());
    const std::optional<Action> action = actionFromName(o.value("action").toString());
    r.time = QDateTime::fromString(o.value("time").toString(), Qt::ISODateWithMs).toUTC();
    if (!parseCompletion(o, r) || !source || !action || !r.time.isValid())
        return false;
    r.source = *source;
    r.action = *action;
    r.station = o.value("station").toString();
    r.port = o.value("port").toString();
    r.device = o.value("device").toString();
    if (o.value("radio").isString())
        r.radio = o.value("radio").toString();
    r.forced = o.value("forced").toBool();
    r.sourceFile = o.value("sourceFile").toString();
    r.sourceSha256 = o.value("sourceSha256").toString();
    r.sourceRecord = o.value("sourceRecord").toString();
    return block(o.value("before"), r.before) && block(o.value("sent"), r.sent);
}

#ifdef Q_OS_UNIX

QString systemError(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(strerror(errno)));
}

// A new or renamed name is only durable once its folder is flushed too.
void syncFolderOf(const QString &path)
{
    const int fd = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// The spool under an exclusive flock on the file itself. A merger renames the
// file under that lock, so whoever waited for it checks afterwards that the
// file it holds is still the one at the path.
class LockedSpool {
public:
    ~LockedSpool()
    {
        if (m_fd >= 0)
            ::close(m_fd);   // and with it the lock
    }

    Result<Taken, Error> take(const QString &path, bool create, const QDeadlineTimer &deadline)
    {
        m_path = path;
        const QByteArray name = QFile::encodeName(path);
        for (;;) {
            // Never through a link: records would go into whatever it points at.
            m_fd = ::open(name.constData(),
                          O_RDWR | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (create ? O_CREAT : 0), 0600);
            if (m_fd < 0 && errno == ENOENT && !create)
                return Taken::Missing;
            if (m_fd < 0 && errno == ELOOP)
                return Failure{Error::NotOurs, QStringLiteral("the spool %1 is a symbolic link; it is left alone").arg(path)};
            if (m_fd < 0)
                return Failure{Error::Io, systemError("cannot open the spool")};
            if (Result<void, Error> own = ownRegularFile(path); !own)
                return own.failure();
            if (Result<void, Error> locked = lock(deadline); !locked)
                return locked.failure();
            struct stat held {}, named {};
            if (::fstat(m_fd, &held) == 0 && ::stat(name.constData(), &named) == 0
                && held.st_ino == named.st_ino && held.st_dev == named.st_dev)
                return Taken::Held;
            ::close(m_fd);   // renamed by a merger while we waited
            m_fd = -1;
        }
    }

    // Starts on a line of its own even after a torn last line.
    Result<void, Error> append(const QByteArray &text)
    {
        struct stat st {};
        char last = '\n';
        if (::fstat(m_fd, &st) != 0 || (st.st_size > 0 && ::pread(m_fd, &last, 1, st.st_size - 1) != 1))
            return Failure{Error::Io, systemError("cannot read the spool")};
        if (!writeAll(last == '\n' ? text : '\n' + text) || ::fsync(m_fd) != 0)
            return Failure{Error::Io, systemError("cannot write the spool")};
        if (st.st_size == 0)
            syncFolderOf(m_path);
        return {};
    }

    Result<void, Error> renameTo(const QString &aside)
    {
        if (::rename(QFile::encodeName(m_path).constData(), QFile::encodeName(aside).constData()) != 0)
            return Failure{Error::Io, systemError("cannot move the spool aside")};
        syncFolderOf(aside);
        return {};
    }

private:
    Result<void, Error> ownRegularFile(const QString &path) const
    {
        struct stat st {};
        if (::fstat(m_fd, &st) != 0)
            return Failure{Error::Io, systemError("cannot examine the spool")};
        if (S_ISREG(st.st_mode) && st.st_uid == ::geteuid())
            return {};
        return Failure{Error::NotOurs,
                       QStringLiteral("the spool %1 is not a regular file of this user's; it is left alone").arg(path)};
    }

    Result<void, Error> lock(const QDeadlineTimer &deadline)
    {
        while (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR)
                return Failure{Error::Io, systemError("cannot lock the spool")};
            if (deadline.hasExpired())
                return Failure{Error::Locked, QStringLiteral("the spool stayed locked by another program")};
            QThread::msleep(1);
        }
        return {};
    }

    bool writeAll(const QByteArray &bytes)
    {
        for (qsizetype done = 0; done < bytes.size();) {
            const ssize_t n = ::write(m_fd, bytes.constData() + done, size_t(bytes.size() - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += n;
        }
        return true;
    }

    QString m_path;
    int m_fd = -1;
};

#else

// Elsewhere the lock is a lock file beside the spool, which no one renames.
class LockedSpool {
public:
    Result<Taken, Error> take(const QString &path, bool create, const QDeadlineTimer &deadline)
    {
        m_path = path;
        m_lock = std::make_unique<QLockFile>(path + QStringLiteral(".lock"));
        if (!m_lock->tryLock(int(std::max<qint64>(0, deadline.remainingTime()))))
            return Failure{Error::Locked, QStringLiteral("the spool stayed locked by another program")};
        return create || QFile::exists(path) ? Taken::Held : Taken::Missing;
    }

    Result<void, Error> append(const QByteArray &text)
    {
        QFile f(m_path);
        char last = '\n';
        const bool ok = f.open(QIODevice::ReadWrite)
                        && (f.size() == 0 || (f.seek(f.size() - 1) && f.getChar(&last)))
                        && f.seek(f.size());
        const QByteArray out = last == '\n' ? text : '\n' + text;
        if (!ok || f.write(out) != out.size() || !f.flush() || _commit(f.handle()) != 0)
            return Failure{Error::Io, QStringLiteral("cannot write the spool: %1").arg(f.errorString())};
        return {};
    }

    Result<void, Error> renameTo(const QString &aside)
    {
        if (QFile::rename(m_path, aside))
            return {};
        return Failure{Error::Io, QStringLiteral("cannot move the spool aside")};
    }

private:
    QString m_path;
    std::unique_ptr<QLockFile> m_lock;
};

#endif

} // namespace

QByteArray completionLine(const Record &r)
{
    return line({{"kind", "completion"},
                 {"uid", r.uid},
                 {"outcome", OutcomeName(r.outcome)},
                 {"before", hex(r.before)},
                 {"sent", hex(r.sent)},
                 {"after", hex(r.after)},
                 {"verified", r.verified ? QJsonValue(*r.verified) : QJsonValue()},
                 {"forced", r.forced}});
}

QByteArray recordLine(const Record &r)
{
    return line({{"kind", "record"},
                 {"uid", r.uid},
                 {"time", r.time.toUTC().toString(Qt::ISODateWithMs)},
                 {"source", sourceName(r.source)},
                 {"station", r.station},
                 {"port", r.port},
                 {"device", r.device},
                 {"radio", r.radio ? QJsonValue(*r.radio) : QJsonValue()},
                 {"action", actionName(r.action)},
                 {"outcome", OutcomeName(r.outcome)},
                 {"before", hex(r.before)},
                 {"sent", hex(r.sent)},
                 {"after", hex(r.after)},
                 {"verified", r.verified ? QJsonValue(*r.verified) : QJsonValue()},
                 {"forced", r.forced},
                 {"sourceFile", r.sourceFile},
                 {"sourceSha256", r.sourceSha256},
                 {"sourceRecord", r.sourceRecord}});
}

Result<void, Error> append(const QString &path, const QByteArray &text, const QDeadlineTimer &deadline)
{
    LockedSpool spool;
    const Result<Taken, Error> taken = spool.take(path, true, deadline);
    if (!taken)
        return taken.failure();
    return spool.append(text);
}

Result<bool, Error> moveAside(const QString &path, const QString &aside, const QDeadlineTimer &deadline)
{
    LockedSpool spool;
    const Result<Taken, Error> taken = spool.take(path, false, deadline);
    if (!taken)
        return taken.failure();
    if (*taken == Taken::Missing)
        return false;
    if (const Result<void, Error> renamed = spool.renameTo(aside); !renamed)
        return renamed.failure();
    return true;
}

Result<void, Error> read(const QString &file, Entries &entries)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) {
        if (!f.exists())
            return {};
        return Failure{Error::Io, QStringLiteral("cannot read %1: %2").arg(file, f.errorString())};
    }
    const QList<QByteArray> lines = f.readAll().split('\n');
    for (const QByteArray &text : lines) {
        if (text.trimmed().isEmpty())
            continue;
        const QJsonObject o = QJsonDocument::fromJson(text).object();
        const QString kind = o.value("kind").toString();
        Record r;
        if (kind == QLatin1String("record") && parseRecord(o, r))
            entries.records << r;
        else if (kind == QLatin1String("completion") && parseCompletion(o, r))
            entries.completions << r;
        else
            ++entries.unreadable;
    }
    return {};
}

} // namespace History::Spool
