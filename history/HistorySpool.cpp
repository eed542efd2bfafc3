#include "history/HistorySpool.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace History::Spool {

namespace {

QString systemError(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(strerror(errno)));
}

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
    const std::optional<Outcome> outcome = OutcomeFromName(o.value("outcome").toString());
    r.uid = o.value("uid").toString();
    if (!outcome || r.uid.isEmpty())
        return false;
    r.outcome = *outcome;
    return block(o.value("after"), r.after) && verifiedOf(o.value("verified"), r.verified);
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

enum class Lock { Held, Stale, Failed };

// Locks within the deadline, then checks that the descriptor is still the
// file at `path`: a merger may have renamed it while we waited.
Lock lockCurrent(int fd, const QString &path, const QDeadlineTimer &deadline, QString &error)
{
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            error = systemError("cannot lock the spool");
            return Lock::Failed;
        }
        if (deadline.hasExpired()) {
            error = QStringLiteral("the spool stayed locked by another program");
            return Lock::Failed;
        }
        QThread::msleep(1);
    }
    struct stat held {}, named {};
    if (::fstat(fd, &held) != 0) {
        error = systemError("cannot check the spool");
        return Lock::Failed;
    }
    if (::stat(QFile::encodeName(path).constData(), &named) != 0 || held.st_ino != named.st_ino
        || held.st_dev != named.st_dev)
        return Lock::Stale;
    return Lock::Held;
}

bool writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
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

// Under the lock: starts on a line of its own even after a torn last line.
bool appendLocked(int fd, const QString &path, const QByteArray &text, QString &error)
{
    struct stat st {};
    char last = '\n';
    if (::fstat(fd, &st) != 0 || (st.st_size > 0 && ::pread(fd, &last, 1, st.st_size - 1) != 1)) {
        error = systemError("cannot read the spool");
        return false;
    }
    const QByteArray out = last == '\n' ? text : '\n' + text;
    if (!writeAll(fd, out) || ::fsync(fd) != 0) {
        error = systemError("cannot write the spool");
        return false;
    }
    if (st.st_size == 0)
        syncFolderOf(path);
    return true;
}

} // namespace

QByteArray completionLine(const Record &r)
{
    return line({{"kind", "completion"},
                 {"uid", r.uid},
                 {"outcome", OutcomeName(r.outcome)},
                 {"after", hex(r.after)},
                 {"verified", r.verified ? QJsonValue(*r.verified) : QJsonValue()}});
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

bool append(const QString &path, const QByteArray &text, const QDeadlineTimer &deadline,
            QString &error)
{
    for (;;) {
        const int fd = ::open(QFile::encodeName(path).constData(),
                              O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            error = systemError("cannot open the spool");
            return false;
        }
        const Lock lock = lockCurrent(fd, path, deadline, error);
        const bool ok = lock == Lock::Held && appendLocked(fd, path, text, error);
        ::close(fd);   // and with it the lock
        if (lock != Lock::Stale)
            return ok;
    }
}

bool moveAside(const QString &path, const QString &aside, const QDeadlineTimer &deadline,
               bool &moved, QString &error)
{
    moved = false;
    for (;;) {
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            if (errno == ENOENT)
                return true;
            error = systemError("cannot open the spool");
            return false;
        }
        const Lock lock = lockCurrent(fd, path, deadline, error);
        if (lock == Lock::Held) {
            moved = ::rename(QFile::encodeName(path).constData(),
                             QFile::encodeName(aside).constData())
                    == 0;
            if (!moved)
                error = systemError("cannot move the spool aside");
        }
        ::close(fd);
        if (moved)
            syncFolderOf(aside);
        if (lock != Lock::Stale)
            return moved;
    }
}

bool read(const QString &file, Entries &entries, QString &error)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) {
        if (!f.exists())
            return true;
        error = QStringLiteral("cannot read %1: %2").arg(file, f.errorString());
        return false;
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
    return true;
}

} // namespace History::Spool
