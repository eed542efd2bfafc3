#include "history/HistoryStore.h"
#include "settings/StationConfig.h"

#include "history/HistorySchema.h"
#include "history/HistorySpool.h"
#include "history/Story.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStorageInfo>
#include <QThread>
#include <QUrl>
#include <QUuid>
#include <QVariant>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace History {

namespace {

constexpr int PrepareWaitMs = 3000;
constexpr int LookupWaitMs = 1000;
constexpr int SpoolWaitMs = 500;   // the spool's lock is only ever held for one line or a rename


// The history is for this user only; SQLite gives its -wal and -shm files the
// database file's mode.
void createPrivate(const QString &path)
{
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0)
        ::close(fd);
#else
    Q_UNUSED(path);
#endif
}

int sqliteCode(const QSqlError &error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    return ok ? code & 0xff : -1;   // the primary code of an extended one
}

bool isBusy(const QSqlError &error)
{
    const int code = sqliteCode(error);
    return code == 5 /* SQLITE_BUSY */ || code == 6 /* SQLITE_LOCKED */;
}

bool writable(const QString &path)
{
    return QFileInfo(path).isWritable();
}

QVariant blob(const std::optional<QByteArray> &bytes)
{
    return bytes ? QVariant(*bytes) : QVariant(QMetaType::fromType<QByteArray>());
}

std::optional<QByteArray> blobOf(const QVariant &value)
{
    return value.isNull() ? std::nullopt : std::optional(value.toByteArray());
}

QVariant textOrNull(const QString &text)
{
    return text.isEmpty() ? QVariant(QMetaType::fromType<QString>()) : QVariant(text);
}

bool blocksFit(const Record &r)
{
    const auto fits = [](const std::optional<QByteArray> &b) { return !b || b->size() == 16; };
    return fits(r.before) && fits(r.sent) && fits(r.after);
}

// What a new record gets from the history when it lacks it.
void stamp(Record &record)
{
    if (record.uid.isEmpty())
        record.uid = QUuid::createUuid().toString(QUuid::Id128);
    record.time = record.time.isValid() ? record.time.toUTC() : QDateTime::currentDateTimeUtc();
    if (record.station.isEmpty())
        record.station = stationName();
}

const char Columns[] =
    "SELECT id, uid, rev, time, source, station, port, device, radio, action, outcome,"
    " block_before, block_sent, block_after, verified, forced, source_file, source_sha256,"
    " source_record FROM records";

Record readRecord(const QSqlQuery &q)
{
    Record r;
    r.id = q.value(0).toLongLong();
    r.uid = q.value(1).toString();
    r.rev = q.value(2).toLongLong();
    r.time = QDateTime::fromString(q.value(3).toString(), Qt::ISODateWithMs).toUTC();
    r.source = sourceFromName(q.value(4).toString()).value_or(Source::Cli);
    r.station = q.value(5).toString();
    r.port = q.value(6).toString();
    r.device = q.value(7).toString();
    if (!q.value(8).isNull())
        r.radio = q.value(8).toString();
    r.action = actionFromName(q.value(9).toString()).value_or(Action::Read);
    r.outcome = StateFromName(q.value(10).toString()).value_or(Unfinished);
    r.before = blobOf(q.value(11));
    r.sent = blobOf(q.value(12));
    r.after = blobOf(q.value(13));
    if (!q.value(14).isNull())
        r.verified = q.value(14).toInt() != 0;
    r.forced = q.value(15).toInt() != 0;
    r.sourceFile = q.value(16).toString();
    r.sourceSha256 = q.value(17).toString();
    r.sourceRecord = q.value(18).toString();
    return r;
}

void bindRecord(QSqlQuery &q, const Record &r)
{
    q.bindValue(QStringLiteral(":uid"), r.uid);
    q.bindValue(QStringLiteral(":rev"), r.rev);
    q.bindValue(QStringLiteral(":time"), r.time.toUTC().toString(Qt::ISODateWithMs));
    q.bindValue(QStringLiteral(":source"), sourceName(r.source));
    q.bindValue(QStringLiteral(":station"), r.station);
    q.bindValue(QStringLiteral(":port"), r.port);
    q.bindValue(QStringLiteral(":device"), r.device);
    q.bindValue(QStringLiteral(":radio"), textOrNull(r.radio.value_or(QString())));
    q.bindValue(QStringLiteral(":fingerprint"), textOrNull(fingerprintOf(r).value_or(QString())));
    q.bindValue(QStringLiteral(":action"), actionName(r.action));
    q.bindValue(QStringLiteral(":outcome"), OutcomeName(r.outcome));
    q.bindValue(QStringLiteral(":before"), blob(r.before));
    q.bindValue(QStringLiteral(":sent"), blob(r.sent));
    q.bindValue(QStringLiteral(":after"), blob(r.after));
    q.bindValue(QStringLiteral(":verified"),
                r.verified ? QVariant(int(*r.verified)) : QVariant(QMetaType::fromType<int>()));
    q.bindValue(QStringLiteral(":forced"), int(r.forced));
    q.bindValue(QStringLiteral(":source_file"), textOrNull(r.sourceFile));
    q.bindValue(QStringLiteral(":source_sha256"), textOrNull(r.sourceSha256));
    q.bindValue(QStringLiteral(":source_record"), textOrNull(r.sourceRecord));
}

} // namespace

Store::Store() : Store(StationConfig().history().value) {}

Store::Store(const QString &path)
    : m_path(path.compare(QLatin1String("off"), Qt::CaseInsensitive) == 0 ? QString() : path),
      m_connection(QStringLiteral("calitune-history-%1").arg(QUuid::createUuid().toString(QUuid::WithoutBraces)))
{
}

Store::~Store()
{
    disconnect();
}

void Warnings::warn(const QString &message)
{
    if (m_shown.exchange(true))
        return;
    if (m_sink)
        m_sink(message);
    else
        std::fprintf(stderr, "calitune: history: %s\n", qUtf8Printable(message));
}

// Points the store's warnings at a call's own for as long as the call runs.
class Store::WarningsTo {
public:
    WarningsTo(const Store &store, Warnings *to) : m_store(store), m_before(store.m_warnings)
    {
        if (to)
            m_store.m_warnings = to;
    }
    ~WarningsTo() { m_store.m_warnings = m_before; }

private:
    const Store &m_store;
    Warnings *m_before;
};

Failure<StoreError> Store::fail(StoreError kind, const QString &what) const
{
    warn(what);
    return {kind, what};
}

void Store::warn(const QString &what) const { m_warnings->warn(what); }

QString Store::describe(const QSqlError &error) const
{
    const QString path = QDir::toNativeSeparators(m_path);
    const QString folder = QFileInfo(m_path).absolutePath();
    const auto readOnly = [&] {
        const bool mount = QStorageInfo(folder).isReadOnly();
        return QStringLiteral("%1 is read-only (%2)")
            .arg(path, mount                ? QStringLiteral("a read-only file system")
                       : !writable(folder)  ? QStringLiteral("its folder cannot be written")
                       : !writable(m_path)  ? QStringLiteral("the file cannot be written")
                                            : QStringLiteral("refused by SQLite"));
    };
    const QString text = error.databaseText().isEmpty() ? error.text() : error.databaseText();
    switch (sqliteCode(error)) {
    case 5: case 6: return QStringLiteral("%1 is locked by another program").arg(path);
    case 8: return readOnly();
    case 11: return QStringLiteral("%1 is damaged: %2").arg(path, text);
    case 13: return QStringLiteral("%1 cannot grow: the disk is full").arg(path);
    case 26: return QStringLiteral("%1 is not a Calitune history (not a database)").arg(path);
    case 14:
        if (!QFileInfo::exists(m_path))
            return QStringLiteral("there is no history yet at %1").arg(path);
        if (!QFileInfo(m_path).isReadable())
            return QStringLiteral("%1 cannot be read: permission denied").arg(path);
        if (!writable(folder))
            return readOnly();
        break;
    }
    return QStringLiteral("%1: %2").arg(path, text);
}

bool Store::connect(Access access, bool immutable) const
{
    disconnect();
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    // Each call sets its own bound with PRAGMA busy_timeout.
    QStringList options = {QStringLiteral("QSQLITE_BUSY_TIMEOUT=0")};
    if (access == Access::ReadOnly)
        options << QStringLiteral("QSQLITE_OPEN_READONLY");
    if (immutable) {
        // A reader in a folder it cannot write cannot make the shared-memory
        // file a WAL database needs; with no WAL file, nobody is writing it.
        options << QStringLiteral("QSQLITE_OPEN_URI");
        db.setDatabaseName(QUrl::fromLocalFile(QFileInfo(m_path).absoluteFilePath())
                               .toString(QUrl::FullyEncoded)
                           + QStringLiteral("?immutable=1"));
    } else {
        db.setDatabaseName(m_path);
    }
    db.setConnectOptions(options.join(QLatin1Char(';')));
    if (!db.open()) {
        m_sqlError = db.lastError();
        m_why = describe(m_sqlError);
        disconnect();
        return false;
    }
    m_access = access;
    return true;
}

void Store::disconnect() const
{
    m_access = Access::None;
    if (!QSqlDatabase::contains(m_connection))
        return;
    QSqlDatabase::database(m_connection, false).close();
    QSqlDatabase::removeDatabase(m_connection);
}

QSqlDatabase Store::database() const
{
    return QSqlDatabase::database(m_connection, false);
}

Store::Step Store::failed(const QSqlError &error) const
{
    m_sqlError = error;
    m_why = describe(error);
    return isBusy(error) ? Step::Busy : Step::Failed;
}

// Retries what comes back busy at once (some statements do despite the busy
// timeout) until the deadline; the busy timeout covers the rest.
Store::Step Store::run(QSqlQuery &query, const QDeadlineTimer &deadline, const QString &sql) const
{
    for (;;) {
        QSqlQuery(database()).exec(
            QStringLiteral("PRAGMA busy_timeout = %1").arg(std::max<qint64>(0, deadline.remainingTime())));
        if (sql.isEmpty() ? query.exec() : query.exec(sql))
            return Step::Ok;
        const Step result = failed(query.lastError());
        if (result != Step::Busy || deadline.hasExpired())
            return result;
        QThread::msleep(2);
    }
}

// Writes records within one transaction: each statement is prepared once,
// and revisions count on from one look-up, as nobody else writes meanwhile.
class Store::RecordWriter {
public:
    explicit RecordWriter(const Store &store) : m_store(store), m_insert(store.database()), m_update(store.database()) {}
    // An insert that meets its uid already stored (a spool merged twice) does nothing.
    Step insert(Record &record, bool &inserted);
    Step update(const Record &record, bool &found);

private:
    Step prepared(QSqlQuery &query, bool &ready, const QString &sql);
    Step claimRev(qint64 &rev);

    const Store &m_store;
    QSqlQuery m_insert, m_update;
    bool m_insertReady = false, m_updateReady = false;
    qint64 m_nextRev = 0;   // 0: not looked up yet
};

Store::Step Store::RecordWriter::prepared(QSqlQuery &query, bool &ready, const QString &sql)
{
    if (!ready && !query.prepare(sql))
        return m_store.failed(query.lastError());
    ready = true;
    return Step::Ok;
}

Store::Step Store::RecordWriter::claimRev(qint64 &rev)
{
    if (m_nextRev == 0) {
        QSqlQuery q(m_store.database());
        if (!q.exec(QStringLiteral("SELECT coalesce(max(rev), 0) + 1 FROM records")) || !q.next())
            return m_store.failed(q.lastError());
        m_nextRev = q.value(0).toLongLong();
    }
    rev = m_nextRev;
    return Step::Ok;
}

Store::Step Store::RecordWriter::insert(Record &record, bool &inserted)
{
    // Qt binds a null QString as NULL: the text that must be there falls back to ''.
    Step result = prepared(m_insert, m_insertReady, QStringLiteral(
        "INSERT INTO records (uid, rev, time, source, station, port, device, radio, fingerprint,"
        " action, outcome, block_before, block_sent, block_after, verified, forced, source_file,"
        " source_sha256, source_record) VALUES (:uid, :rev, :time, :source,"
        " coalesce(:station, ''), coalesce(:port, ''), coalesce(:device, ''), :radio, :fingerprint,"
        " :action, :outcome, :before, :sent, :after, :verified, :forced, :source_file, :source_sha256,"
        " :source_record) ON CONFLICT (uid) DO NOTHING"));
    if (result == Step::Ok)
        result = claimRev(record.rev);
    if (result != Step::Ok)
        return result;
    bindRecord(m_insert, record);
    if (!m_insert.exec())
        return m_store.failed(m_insert.lastError());
    inserted = m_insert.numRowsAffected() == 1;
    record.id = inserted ? m_insert.lastInsertId().toLongLong() : 0;
    m_nextRev += inserted;
    return Step::Ok;
}

Store::Step Store::RecordWriter::update(const Record &record, bool &found)
{
    qint64 rev = 0;
    Step result = prepared(m_update, m_updateReady, QStringLiteral(
        "UPDATE records SET outcome = :outcome, block_before = :before, fingerprint = :fingerprint,"
        " block_sent = :sent, block_after = :after, verified = :verified, forced = :forced, rev = :rev"
        " WHERE uid = :uid"));
    if (result == Step::Ok)
        result = claimRev(rev);
    if (result != Step::Ok)
        return result;
    QSqlQuery &q = m_update;
    q.bindValue(QStringLiteral(":outcome"), OutcomeName(record.outcome));
    q.bindValue(QStringLiteral(":before"), blob(record.before));
    q.bindValue(QStringLiteral(":fingerprint"), textOrNull(fingerprintOf(record).value_or(QString())));
    q.bindValue(QStringLiteral(":sent"), blob(record.sent));
    q.bindValue(QStringLiteral(":after"), blob(record.after));
    q.bindValue(QStringLiteral(":forced"), int(record.forced));
    q.bindValue(QStringLiteral(":verified"), record.verified ? QVariant(int(*record.verified))
                                                             : QVariant(QMetaType::fromType<int>()));
    q.bindValue(QStringLiteral(":rev"), rev);
    q.bindValue(QStringLiteral(":uid"), record.uid);
    if (!q.exec())
        return m_store.failed(q.lastError());
    found = q.numRowsAffected() == 1;
    m_nextRev += found;
    return Step::Ok;
}

Store::Step Store::inTransaction(const QDeadlineTimer &deadline,
                                 const std::function<Step(RecordWriter &)> &body) const
{
    QSqlQuery q(database());
    Step result = run(q, deadline, QStringLiteral("BEGIN IMMEDIATE"));
    if (result != Step::Ok)
        return result;
    {
        RecordWriter writer(*this);
        result = body(writer);
    }
    if (result == Step::Ok)
        result = run(q, deadline, QStringLiteral("COMMIT"));
    if (result != Step::Ok)
        QSqlQuery(database()).exec(QStringLiteral("ROLLBACK"));
    return result;
}

Store::Step Store::inspect(Schema::Found &found, const QDeadlineTimer &deadline) const
{
    for (;;) {
        QSqlQuery(database()).exec(
            QStringLiteral("PRAGMA busy_timeout = %1").arg(std::max<qint64>(0, deadline.remainingTime())));
        // One read transaction: a file being created must not look half made.
        QSqlError error;
        QSqlQuery q(database());
        const bool ok = q.exec(QStringLiteral("BEGIN")) && Schema::inspect(database(), found, error);
        if (!error.isValid())
            error = q.lastError();
        q.exec(QStringLiteral("ROLLBACK"));
        if (ok)
            return Step::Ok;
        const Step result = failed(error);
        if (result != Step::Busy || deadline.hasExpired())
            return result;
        QThread::msleep(2);
    }
}

// A history is a regular file or a new one: SQLite would take a device
// (CALITUNE_HISTORY=/dev/null) and make its journal beside it.
QString Store::notAFile() const
{
    const QFileInfo info(m_path);
    const QString path = QDir::toNativeSeparators(m_path);
    if (info.isDir())
        return QStringLiteral("%1 is a folder, not a history").arg(path);
    if (info.exists() && !info.isFile())
        return QStringLiteral("%1 is not a regular file, not a history (CALITUNE_HISTORY=off turns the "
                              "history off)")
            .arg(path);
    return {};
}

bool Store::refuse(const Schema::Found &found) const
{
    const QString path = QDir::toNativeSeparators(m_path);
    if (found.layout == Schema::Layout::Newer)
        m_why = QStringLiteral("%1 was written by a newer Calitune (layout %2; this one knows "
                               "layout %3) and is left as it is")
                    .arg(path)
                    .arg(found.version)
                    .arg(Schema::Version);
    else if (found.layout == Schema::Layout::Foreign)
        m_why = QStringLiteral("%1 is not a Calitune history and is left as it is").arg(path);
    else
        return false;
    return true;
}

// Decides on a read-only connection what the file is before anything is
// changed: another program's database keeps even its journal mode.
Store::Step Store::openWritable(const QDeadlineTimer &deadline) const
{
    if (m_access == Access::Writable)
        return Step::Ok;
    const QFileInfo info(m_path);
    Schema::Found found{Schema::Layout::Empty, 0};
    if (const QString why = notAFile(); !why.isEmpty()) {
        m_why = why;
        return Step::Failed;
    }
    if (info.exists()) {
        if (!connect(Access::ReadOnly))
            return Step::Failed;
        const Step result = inspect(found, deadline);
        disconnect();
        if (result != Step::Ok)
            return result;   // held by a lock even against readers: the spool still takes it
        if (refuse(found))
            return Step::Failed;
    } else if (!QDir().mkpath(info.absolutePath())) {
        m_why = QStringLiteral("%1: cannot create its folder").arg(QDir::toNativeSeparators(m_path));
        return Step::Failed;
    } else {
        createPrivate(m_path);
    }
    if (!connect(Access::Writable))
        return Step::Failed;
    const Step result = setUp(found.layout, deadline);
    if (result != Step::Ok)
        disconnect();
    return result;
}

// FULL: a write's record, with the block as it was, is on the disk before
// the block goes out, whatever happens to this process or the machine.
// NORMAL for the other steps: in WAL mode a commit then survives a crash of
// the program, and a station of sixteen radios does not wait on the disk.
Store::Step Store::syncToDisk(bool full, const QDeadlineTimer &deadline) const
{
    if (full == m_syncFull)
        return Step::Ok;
    QSqlQuery q(database());
    const Step result = run(q, deadline, full ? QStringLiteral("PRAGMA synchronous = FULL")
                                                : QStringLiteral("PRAGMA synchronous = NORMAL"));
    if (result == Step::Ok)
        m_syncFull = full;
    return result;
}

Store::Step Store::setUp(Schema::Layout layout, const QDeadlineTimer &deadline) const
{
    m_syncFull = false;
    QSqlQuery q(database());
    Step result = syncToDisk(true, deadline);
    if (result != Step::Ok || layout == Schema::Layout::Current)
        return result;
    result = run(q, deadline, QStringLiteral("PRAGMA journal_mode = WAL"));
    if (result != Step::Ok)
        return result;
    const bool wal = q.next() && q.value(0).toString() == QLatin1String("wal");
    q.finish();   // a statement still open would keep the commit below from ending
    if (!wal) {
        m_why = QStringLiteral("%1 cannot be shared: WAL mode is refused")
                    .arg(QDir::toNativeSeparators(m_path));
        return Step::Failed;
    }
    return inTransaction(deadline, [&](RecordWriter &) {
        Schema::Found found;
        QSqlError error;
        bool ok = Schema::inspect(database(), found, error);   // another process may have been first
        if (ok && found.layout == Schema::Layout::Empty)
            ok = Schema::create(database(), error);
        else if (ok && found.layout == Schema::Layout::Version1)
            ok = Schema::upgradeFromVersion1(database(), error);
        else if (ok && found.layout == Schema::Layout::Version2)
            ok = Schema::upgradeFromVersion2(database(), error);
        if (!ok)
            return failed(error);
        return refuse(found) ? Step::Failed : Step::Ok;
    });
}

Result<void, StoreError> Store::openForLookup() const
{
    if (m_access != Access::None)
        return {};
    const QFileInfo info(m_path);
    if (!info.exists() || !notAFile().isEmpty())
        return Failure{StoreError::Failed, info.exists() ? notAFile()
                                                         : QStringLiteral("there is no history yet at %1")
                                                               .arg(QDir::toNativeSeparators(m_path))};
    const QDeadlineTimer deadline(LookupWaitMs);
    Schema::Found found;
    Step result = connect(Access::ReadOnly) ? inspect(found, deadline) : Step::Failed;
    const int code = sqliteCode(m_sqlError);
    if (result == Step::Failed && (code == 8 || code == 14)
        && !writable(info.absolutePath()) && !QFileInfo::exists(m_path + QStringLiteral("-wal")))
        result = connect(Access::ReadOnly, true) ? inspect(found, deadline) : Step::Failed;
    if (result == Step::Ok && found.layout == Schema::Layout::Current)
        return {};
    disconnect();
    if (result == Step::Ok && found.layout == Schema::Layout::Empty)
        m_why = QStringLiteral("there is no history yet at %1").arg(QDir::toNativeSeparators(m_path));
    else if (result == Step::Ok
             && (found.layout == Schema::Layout::Version1 || found.layout == Schema::Layout::Version2))
        result = openWritable(deadline);   // an older layout is read once upgraded
    else if (result == Step::Ok)
        refuse(found);
    if (m_access != Access::None)
        return {};
    return lookUpFailed(result, m_why);
}

// A look-up fails without a warning: its caller says what it could not do.
Failure<StoreError> Store::lookUpFailed(Step step, const QString &why) const
{
    return {step == Step::Busy ? StoreError::Busy : StoreError::Failed, why};
}

Store::Step Store::whenWritable(const std::function<Step(const QDeadlineTimer &)> &then) const
{
    const QDeadlineTimer deadline(PrepareWaitMs);
    const Step result = openWritable(deadline);
    return result == Step::Ok ? then(deadline) : result;
}

Result<void, StoreError> Store::prepare(Warnings *to)
{
    const WarningsTo warnings(*this, to);
    if (!enabled())
        return {};
    const Step result = whenWritable([this](const QDeadlineTimer &deadline) { return mergeSpool(deadline); });
    if (result == Step::Busy)
        return fail(StoreError::Busy, QStringLiteral("%1; new records wait in %2").arg(m_why, spoolPath()));
    if (result != Step::Ok)
        return fail(StoreError::Failed, m_why);
    return {};
}

bool Store::spoolWaiting() const
{
    return enabled() && (QFileInfo::exists(spoolPath()) || !mergingFiles().isEmpty());
}

QStringList Store::mergingFiles() const
{
    const QFileInfo info(m_path);
    const QFileInfoList found = info.dir().entryInfoList(
        {info.fileName() + QStringLiteral(".spool.merging-*")}, QDir::Files,
        QDir::Time | QDir::Reversed);
    QStringList paths;
    for (const QFileInfo &f : found)
        paths << f.absoluteFilePath();
    return paths;
}

// Under the database's write lock, so that one merge runs at a time; a file
// is deleted only once what it holds is committed, and merging it again (a
// merge that crashed before the deletion) changes nothing.
Store::Step Store::mergeSpool(const QDeadlineTimer &deadline)
{
    QStringList files;
    QString trouble;
    int unreadable = 0;
    const Step result = inTransaction(deadline, [&](RecordWriter &writer) {
        files = mergingFiles();
        const QString aside = spoolPath() + QStringLiteral(".merging-%1-%2").arg(
            QString::number(QCoreApplication::applicationPid()),
            QUuid::createUuid().toString(QUuid::Id128).left(8));
        const Result<bool, Spool::Error> moved = Spool::moveAside(
            spoolPath(), aside, QDeadlineTimer(std::min<qint64>(SpoolWaitMs, deadline.remainingTime())));
        if (!moved)
            trouble = moved.text();
        else if (*moved)
            files << aside;
        Spool::Entries entries;
        for (const QString &file : std::as_const(files))
            if (const Result<void, Spool::Error> read = Spool::read(file, entries); !read) {
                m_why = read.text();
                return Step::Failed;
            }
        std::stable_sort(entries.records.begin(), entries.records.end(),
                         [](const Record &a, const Record &b) { return a.time < b.time; });
        bool done = false;
        for (Record &record : entries.records)
            if (const Step r = writer.insert(record, done); r != Step::Ok)
                return r;
        for (const Record &completion : std::as_const(entries.completions))
            if (const Step r = writer.update(completion, done); r != Step::Ok)
                return r;
        unreadable = entries.unreadable;
        return Step::Ok;
    });
    if (result != Step::Ok)
        return result;
    for (const QString &file : std::as_const(files))
        QFile::remove(file);
    if (unreadable > 0)
        trouble = QStringLiteral("%1 unreadable lines of %2 were left out").arg(unreadable).arg(spoolPath());
    if (!trouble.isEmpty())
        warn(trouble);
    return Step::Ok;
}

Result<void, StoreError> Store::toSpool(const QByteArray &line) const
{
    if (const Result<void, Spool::Error> kept = Spool::append(spoolPath(), line, QDeadlineTimer(SpoolWaitMs)); !kept)
        return fail(StoreError::Failed, QStringLiteral("%1, and the spool failed too: %2").arg(m_why, kept.text()));
    warn(QStringLiteral("%1; records wait in %2").arg(m_why, spoolPath()));
    return {};
}

Result<void, StoreError> Store::add(Record &record, Warnings *to)
{
    const WarningsTo warnings(*this, to);
    if (!enabled())
        return {};
    if (!blocksFit(record))
        return fail(StoreError::Refused, QStringLiteral("a record's blocks must be 16 bytes"));
    stamp(record);
    const QDeadlineTimer deadline(ExchangeWaitMs);
    Step result = openWritable(deadline);
    if (result == Step::Ok)
        result = syncToDisk(false, deadline);
    if (result == Step::Ok)
        result = inTransaction(deadline, [&](RecordWriter &writer) {
            bool inserted = false;
            const Step r = writer.insert(record, inserted);
            if (r == Step::Ok && !inserted)
                m_why = QStringLiteral("record %1 is stored already").arg(record.uid);
            return r == Step::Ok && !inserted ? Step::Failed : r;
        });
    if (result == Step::Ok)
        return {};
    record.id = record.rev = 0;
    if (result == Step::Busy)
        return toSpool(Spool::recordLine(record));
    return fail(StoreError::Failed, m_why);
}

Result<void, StoreError> Store::complete(const Record &record, bool onDisk, Warnings *to)
{
    const WarningsTo warnings(*this, to);
    if (!enabled())
        return {};
    if (record.uid.isEmpty() || (record.after && record.after->size() != 16))
        return fail(StoreError::Refused, QStringLiteral("a record's ending needs its uid and a 16-byte block"));
    const QDeadlineTimer deadline(ExchangeWaitMs);
    bool found = false;
    Step result = openWritable(deadline);
    if (result == Step::Ok)
        result = syncToDisk(onDisk, deadline);
    if (result == Step::Ok)
        result = inTransaction(deadline, [&](RecordWriter &writer) { return writer.update(record, found); });
    if (result == Step::Ok && !found && record.id == 0) {
        m_why = QStringLiteral("%1 does not hold record %2 yet").arg(m_path, record.uid);
        return toSpool(Spool::completionLine(record));   // its record waits there too
    }
    if (result == Step::Ok && !found)
        return fail(StoreError::Refused, QStringLiteral("%1 holds no record %2").arg(m_path, record.uid));
    if (result == Step::Ok)
        return {};
    if (result == Step::Busy)
        return toSpool(Spool::completionLine(record));
    return fail(StoreError::Failed, m_why);
}

// All or nothing: a record stored already or a completion without its record
// fails the batch, and one by one says why.
Store::Step Store::keepInOne(QList<Change> &changes) const
{
    bool onDisk = false;
    for (const Change &c : changes)
        onDisk = onDisk || c.onDisk;
    const QDeadlineTimer deadline(ExchangeWaitMs);
    Step result = openWritable(deadline);
    if (result == Step::Ok)
        result = syncToDisk(onDisk, deadline);
    if (result == Step::Ok)
        result = inTransaction(deadline, [&](RecordWriter &writer) {
            for (Change &c : changes) {
                bool done = false;
                const Step r = c.isNew ? writer.insert(*c.record, done) : writer.update(*c.record, done);
                if (r != Step::Ok || !done)
                    return r == Step::Ok ? Step::Failed : r;
            }
            return Step::Ok;
        });
    return result;
}

void Store::keepAll(QList<Change> &changes)
{
    bool fit = true;
    for (Change &c : changes) {
        fit = fit && blocksFit(*c.record) && !(c.record->uid.isEmpty() && !c.isNew);
        if (c.isNew && enabled())
            stamp(*c.record);
    }
    const Step result = !enabled() ? Step::Ok : fit ? keepInOne(changes) : Step::Failed;
    for (Change &c : changes) {
        if (result == Step::Ok) {
            c.kept = {};
            continue;
        }
        if (c.isNew)
            c.record->id = c.record->rev = 0;   // rolled back
        // A history still locked after the wait takes the whole batch into the spool.
        const WarningsTo warnings(*this, c.warnings);
        if (result == Step::Busy)
            c.kept = toSpool(c.isNew ? Spool::recordLine(*c.record) : Spool::completionLine(*c.record));
        else
            c.kept = c.isNew ? add(*c.record) : complete(*c.record, c.onDisk);
    }
}

Store::Records Store::select(const QString &where, const QVariantMap &named, int limit,
                            const QVariantList &positional) const
{
    if (!enabled())
        return QList<Record>();
    if (Result<void, StoreError> open = openForLookup(); !open)
        return open.failure();
    QSqlQuery q(database());
    q.setForwardOnly(true);
    q.prepare(QString::fromLatin1(Columns) + where + QStringLiteral(" LIMIT %1").arg(limit < 0 ? -1 : limit));
    for (auto it = named.begin(); it != named.end(); ++it)
        q.bindValue(it.key(), it.value());
    for (const QVariant &v : positional)
        q.addBindValue(v);
    if (const Step step = run(q, QDeadlineTimer(LookupWaitMs)); step != Step::Ok)
        return lookUpFailed(step, m_why);
    QList<Record> records;
    while (q.next())
        records << readRecord(q);
    if (q.lastError().isValid())
        return lookUpFailed(Step::Failed, describe(q.lastError()));
    return records;
}

Store::Records Store::list(const Filter &filter) const
{
    QStringList where;
    QVariantMap values;
    auto match = [&](const QString &condition, const QString &name, const QVariant &value) {
        where << condition;
        values.insert(name, value);
    };
    if (!filter.port.isEmpty()) {
        match(QStringLiteral("(port = :port OR device = :device)"), QStringLiteral(":port"), filter.port);
        values.insert(QStringLiteral(":device"), filter.port);
    }
    if (filter.radio && filter.radio->isEmpty()) {
        where << QStringLiteral("radio IS NULL");   // the records of no named radio
    } else if (filter.radio) {
        const QStringList labels = sameRadioLabels(*filter.radio, filter.radioPrefix);
        QStringList names;
        for (qsizetype i = 0; i < labels.size(); ++i) {
            names << QStringLiteral(":radio%1").arg(i);
            values.insert(names.last(), labels[i]);
        }
        where << QStringLiteral("radio IN (%1)").arg(names.join(QLatin1Char(',')));
    }
    if (!filter.station.isEmpty())
        match(QStringLiteral("station = :station"), QStringLiteral(":station"), filter.station);
    if (filter.action)
        match(QStringLiteral("action = :action"), QStringLiteral(":action"), actionName(*filter.action));
    if (filter.outcome)
        match(QStringLiteral("outcome = :outcome"), QStringLiteral(":outcome"), OutcomeName(*filter.outcome));
    if (filter.since.isValid())
        match(QStringLiteral("time >= :since"), QStringLiteral(":since"),
              filter.since.toUTC().toString(Qt::ISODateWithMs));
    if (filter.until.isValid())
        match(QStringLiteral("time <= :until"), QStringLiteral(":until"),
              filter.until.toUTC().toString(Qt::ISODateWithMs));
    // By time, as records merged from the spool get their ids late; the id
    // orders records of the same millisecond.
    const QString clause = where.isEmpty() ? QString() : QStringLiteral(" WHERE ") + where.join(QStringLiteral(" AND "));
    return select(clause + QStringLiteral(" ORDER BY time DESC, id DESC"), values, filter.limit);
}

Result<std::optional<Record>, StoreError> Store::find(qint64 id) const
{
    const Records found = select(QStringLiteral(" WHERE id = :id"), {{QStringLiteral(":id"), id}}, 1);
    if (!found)
        return found.failure();
    return found->isEmpty() ? std::nullopt : std::optional(found->first());
}

Store::Records Store::story(const QString &id, const QString &radioPrefix) const
{
    if (!enabled())
        return QList<Record>();
    if (Result<void, StoreError> open = openForLookup(); !open)
        return open.failure();
    QSqlQuery q(database());
    const auto story = Story::of(q, id, radioPrefix, QStringLiteral("records"));
    if (!story)
        return lookUpFailed(Step::Failed, describe(q.lastError()));
    return select(QStringLiteral(" WHERE ") + story->condition + QStringLiteral(" ORDER BY time, id"), {}, -1,
                  story->values);
}

Store::Records Store::changedAfter(qint64 rev, int limit) const
{
    return select(QStringLiteral(" WHERE rev > :rev ORDER BY rev"), {{QStringLiteral(":rev"), rev}}, limit);
}

Result<qint64, StoreError> Store::lookUpNumber(const QString &sql, const QString &name, const QVariant &value) const
{
    if (!enabled())
        return 0;
    if (Result<void, StoreError> open = openForLookup(); !open)
        return open.failure();
    QSqlQuery q(database());
    q.prepare(sql);
    q.bindValue(name, value);
    if (const Step step = run(q, QDeadlineTimer(LookupWaitMs)); step != Step::Ok)
        return lookUpFailed(step, m_why);
    return q.next() ? q.value(0).toLongLong() : 0;
}

Result<qint64, StoreError> Store::countChangedAfter(qint64 rev) const
{
    return lookUpNumber(QStringLiteral("SELECT count(*) FROM records WHERE rev > :rev"), QStringLiteral(":rev"), rev);
}

Result<qint64, StoreError> Store::syncedRev(const QString &server) const
{
    return lookUpNumber(QStringLiteral("SELECT rev FROM sync_state WHERE server = :server"),
                        QStringLiteral(":server"), server);
}

Result<void, StoreError> Store::setSyncedRev(const QString &server, qint64 rev)
{
    if (!enabled())
        return {};
    const Step result = whenWritable([&](const QDeadlineTimer &deadline) {
        return inTransaction(deadline, [&](RecordWriter &) {
            QSqlQuery q(database());
            q.prepare(QStringLiteral("INSERT INTO sync_state (server, rev) VALUES (:server, :rev)"
                                     " ON CONFLICT (server) DO UPDATE SET rev = excluded.rev"));
            q.bindValue(QStringLiteral(":server"), server);
            q.bindValue(QStringLiteral(":rev"), rev);
            return q.exec() ? Step::Ok : failed(q.lastError());
        });
    });
    if (result != Step::Ok)
        return fail(result == Step::Busy ? StoreError::Busy : StoreError::Failed, m_why);
    return {};
}

// Earlier versions kept the whole connection string, a password with it:
// its count goes to the new key, and the old row is overwritten on disk.
Result<void, StoreError> Store::moveSyncedRev(const QString &from, const QString &to)
{
    if (!enabled() || from == to)
        return {};
    const Result<qint64, StoreError> moving = syncedRev(from);
    if (!moving)
        return moving.failure();
    if (*moving == 0)
        return {};
    const QDeadlineTimer deadline(PrepareWaitMs);
    Step result = openWritable(deadline);
    QSqlQuery pragma(database());
    if (result == Step::Ok)
        result = run(pragma, deadline, QStringLiteral("PRAGMA secure_delete = ON"));
    if (result == Step::Ok)
        result = inTransaction(deadline, [&](RecordWriter &) {
            QSqlQuery q(database());
            q.prepare(QStringLiteral("INSERT INTO sync_state (server, rev) SELECT :to, rev FROM sync_state"
                                     " WHERE server = :from ON CONFLICT (server) DO UPDATE SET rev = max(rev, excluded.rev)"));
            q.bindValue(QStringLiteral(":to"), to);
            q.bindValue(QStringLiteral(":from"), from);
            if (!q.exec())
                return failed(q.lastError());
            q.prepare(QStringLiteral("DELETE FROM sync_state WHERE server = :from"));
            q.bindValue(QStringLiteral(":from"), from);
            return q.exec() ? Step::Ok : failed(q.lastError());
        });
    if (result == Step::Ok)
        run(pragma, deadline, QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
    if (result != Step::Ok)
        return fail(result == Step::Busy ? StoreError::Busy : StoreError::Failed, m_why);
    return {};
}

} // namespace History
