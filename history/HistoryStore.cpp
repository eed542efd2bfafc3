#include "history/HistoryStore.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QSysInfo>
#include <QThread>
#include <QVariant>
#include <atomic>
#include <cstdio>
#include <mutex>

namespace History {

namespace {

constexpr int SchemaVersion = 1;
constexpr int Attempts = 3;   // each may wait out the busy timeout below
const char BusyTimeout[] = "QSQLITE_BUSY_TIMEOUT=1500";

std::mutex sinkMutex;
std::function<void(const QString &)> sink;
std::atomic_bool warned{false};
std::atomic_int connections{0};

void warnOnce(const QString &message)
{
    if (warned.exchange(true))
        return;
    std::lock_guard lock(sinkMutex);
    if (sink)
        sink(message);
    else
        std::fprintf(stderr, "calitune: history: %s\n", qUtf8Printable(message));
}

bool busy(const QSqlError &error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok) & 0xff;
    return ok && (code == 5 /* SQLITE_BUSY */ || code == 6 /* SQLITE_LOCKED */);
}

// The busy timeout covers most waits; a few statements (a journal mode
// change, a lock met during recovery) can still come back busy at once.
bool exec(QSqlQuery &query, const QString &sql = {})
{
    for (int attempt = 1;; ++attempt) {
        if (sql.isEmpty() ? query.exec() : query.exec(sql))
            return true;
        if (attempt == Attempts || !busy(query.lastError()))
            return false;
        QThread::msleep(10 * attempt);
    }
}

QString describe(const QSqlQuery &query)
{
    const QSqlError e = query.lastError();
    return e.databaseText().isEmpty() ? e.text() : e.databaseText();
}

QVariant blob(const std::optional<QByteArray> &bytes)
{
    return bytes ? QVariant(*bytes) : QVariant(QMetaType::fromType<QByteArray>());
}

std::optional<QByteArray> blob(const QVariant &value)
{
    if (value.isNull())
        return std::nullopt;
    return value.toByteArray();
}

const char Columns[] =
    "SELECT id, time, source, host, port, device, action, block_before, block_sent, outcome "
    "FROM records ";

Record readRecord(const QSqlQuery &q)
{
    Record r;
    r.id = q.value(0).toLongLong();
    r.time = QDateTime::fromString(q.value(1).toString(), Qt::ISODateWithMs).toUTC();
    r.source = q.value(2).toString() == sourceName(Source::Cli) ? Source::Cli : Source::Window;
    r.host = q.value(3).toString();
    r.port = q.value(4).toString();
    r.device = q.value(5).toString();
    const QString action = q.value(6).toString();
    r.action = action == actionName(Action::Write)     ? Action::Write
               : action == actionName(Action::Restore) ? Action::Restore
                                                       : Action::Read;
    r.before = blob(q.value(7));
    r.sent = blob(q.value(8));
    r.outcome = q.value(9).toString();
    return r;
}

} // namespace

QString sourceName(Source source)
{
    return source == Source::Cli ? QStringLiteral("cli") : QStringLiteral("window");
}

QString actionName(Action action)
{
    switch (action) {
    case Action::Read: return QStringLiteral("read");
    case Action::Write: return QStringLiteral("write");
    case Action::Restore: return QStringLiteral("restore");
    }
    return {};
}

static QString placeFromEnvironment()
{
    const QString set = qEnvironmentVariable("CALITUNE_HISTORY");
    if (!set.isEmpty())
        return set;
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    return folder.isEmpty() ? QStringLiteral("off") : folder + QStringLiteral("/history.db");
}

Store::Store() : Store(placeFromEnvironment()) {}

Store::Store(const QString &path)
    : m_path(path == QLatin1String("off") ? QString() : path),
      m_connection(QStringLiteral("calitune-history-%1").arg(++connections))
{
}

Store::~Store()
{
    if (!QSqlDatabase::contains(m_connection))
        return;
    QSqlDatabase::database(m_connection, false).close();
    QSqlDatabase::removeDatabase(m_connection);
}

void Store::setWarningSink(std::function<void(const QString &)> newSink)
{
    std::lock_guard lock(sinkMutex);
    sink = std::move(newSink);
}

bool Store::fail(const QString &what) const
{
    m_error = what;
    warnOnce(QStringLiteral("cannot use %1: %2").arg(QDir::toNativeSeparators(m_path), what));
    return false;
}

bool Store::open() const
{
    if (m_open)
        return true;
    if (!QDir().mkpath(QFileInfo(m_path).absolutePath()))
        return fail(QStringLiteral("cannot create its folder"));
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE")))
        return fail(QStringLiteral("the Qt SQLite driver is not installed"));

    QSqlDatabase db = QSqlDatabase::contains(m_connection)
                          ? QSqlDatabase::database(m_connection, false)
                          : QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    db.setDatabaseName(m_path);
    db.setConnectOptions(QString::fromLatin1(BusyTimeout));
    if (!db.open())
        return fail(db.lastError().text());

    QString error;
    bool ok = false;
    {
        QSqlQuery q(db);
        auto step = [&](const QString &sql) {
            if (exec(q, sql))
                return true;
            error = describe(q);
            return false;
        };
        // NORMAL loses nothing when a process dies; only a power cut may
        // take the last few records with it.
        ok = step(QStringLiteral("PRAGMA journal_mode=WAL"))
             && step(QStringLiteral("PRAGMA synchronous=NORMAL"))
             && step(QStringLiteral("BEGIN IMMEDIATE"));
        if (ok) {
            ok = step(QStringLiteral(
                     "CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)"))
                 && step(QStringLiteral(
                     "CREATE TABLE IF NOT EXISTS records ("
                     "id INTEGER PRIMARY KEY AUTOINCREMENT, time TEXT NOT NULL,"
                     " source TEXT NOT NULL, host TEXT NOT NULL, port TEXT NOT NULL,"
                     " device TEXT NOT NULL, action TEXT NOT NULL,"
                     " block_before BLOB, block_sent BLOB, outcome TEXT NOT NULL)"))
                 && step(QStringLiteral("SELECT max(version) FROM schema_version"));
            if (ok && !q.next()) {
                error = describe(q);
                ok = false;
            }
            if (ok) {
                const QVariant version = q.value(0);
                q.finish();
                if (version.isNull())
                    ok = step(QStringLiteral("INSERT INTO schema_version (version) VALUES (%1)")
                                  .arg(SchemaVersion));
                else if (version.toInt() != SchemaVersion) {
                    error = QStringLiteral("written by another Calitune version (layout %1)")
                                .arg(version.toInt());
                    ok = false;
                }
            }
            ok = ok && step(QStringLiteral("COMMIT"));
            if (!ok)
                q.exec(QStringLiteral("ROLLBACK"));
        }
    }
    if (!ok) {
        db.close();
        return fail(error.isEmpty() ? QStringLiteral("cannot set it up") : error);
    }
    m_open = true;
    return true;
}

qint64 Store::insert(Source source, Action action, const QString &port, const QString &device,
                     const std::optional<QByteArray> &before,
                     const std::optional<QByteArray> &sent, const QString &outcome)
{
    if (!open())
        return 0;
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery q(db);
    if (!exec(q, QStringLiteral("BEGIN IMMEDIATE"))) {
        fail(describe(q));
        return 0;
    }
    q.prepare(QStringLiteral(
        "INSERT INTO records (time, source, host, port, device, action, block_before,"
        " block_sent, outcome) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"));
    q.addBindValue(QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    q.addBindValue(sourceName(source));
    q.addBindValue(QSysInfo::machineHostName());
    q.addBindValue(port);
    q.addBindValue(device);
    q.addBindValue(actionName(action));
    q.addBindValue(blob(before));
    q.addBindValue(blob(sent));
    q.addBindValue(outcome);
    qint64 id = 0;
    if (q.exec())
        id = q.lastInsertId().toLongLong();
    if (id > 0 && exec(q, QStringLiteral("COMMIT")))
        return id;
    const QString error = describe(q);
    q.exec(QStringLiteral("ROLLBACK"));
    fail(error);
    return 0;
}

bool Store::addRead(Source source, const QString &port, const QString &device,
                    const QByteArray &block)
{
    m_error.clear();
    return !enabled()
           || insert(source, Action::Read, port, device, block, std::nullopt,
                     QStringLiteral("done")) > 0;
}

qint64 Store::beginWrite(Source source, Action action, const QString &port,
                         const QString &device, const std::optional<QByteArray> &before,
                         const QByteArray &sent)
{
    m_error.clear();
    if (!enabled())
        return 0;
    return insert(source, action, port, device, before, sent, QStringLiteral("unfinished"));
}

bool Store::finishWrite(qint64 id, const QString &outcome)
{
    m_error.clear();
    if (!enabled())
        return true;
    if (id <= 0)
        return false;   // the begin failed and has already warned
    if (!open())
        return false;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("UPDATE records SET outcome = ? WHERE id = ?"));
    q.addBindValue(outcome);
    q.addBindValue(id);
    if (!exec(q))
        return fail(describe(q));
    return q.numRowsAffected() == 1;
}

QList<Record> Store::list(const QString &portFilter, int limit) const
{
    m_error.clear();
    QList<Record> records;
    if (!enabled() || !open())
        return records;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.setForwardOnly(true);
    q.prepare(QString::fromLatin1(Columns)
              + (portFilter.isEmpty() ? QString() : QStringLiteral("WHERE port = ? OR device = ? "))
              + QStringLiteral("ORDER BY id DESC LIMIT ?"));
    if (!portFilter.isEmpty()) {
        q.addBindValue(portFilter);
        q.addBindValue(portFilter);
    }
    q.addBindValue(limit < 0 ? -1 : limit);
    if (!exec(q)) {
        fail(describe(q));
        return records;
    }
    while (q.next())
        records.append(readRecord(q));
    if (q.lastError().isValid()) {
        fail(describe(q));
        records.clear();
    }
    return records;
}

std::optional<Record> Store::find(qint64 id) const
{
    m_error.clear();
    if (!enabled() || !open())
        return std::nullopt;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.setForwardOnly(true);
    q.prepare(QString::fromLatin1(Columns) + QStringLiteral("WHERE id = ?"));
    q.addBindValue(id);
    if (!exec(q)) {
        fail(describe(q));
        return std::nullopt;
    }
    if (q.next())
        return readRecord(q);
    if (q.lastError().isValid())
        fail(describe(q));
    return std::nullopt;
}

} // namespace History
