#include "history/HistorySchema.h"

#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

namespace History::Schema {

namespace {

bool run(QSqlQuery &q, const QString &sql, QSqlError &error)
{
    if (q.exec(sql))
        return true;
    error = q.lastError();
    return false;
}

bool runAll(const QSqlDatabase &db, const QStringList &statements, QSqlError &error)
{
    QSqlQuery q(db);
    for (const QString &sql : statements)
        if (!run(q, sql, error))
            return false;
    return true;
}

// Reads the first column of every row.
bool column(const QSqlDatabase &db, const QString &sql, QVariantList &values, QSqlError &error)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!run(q, sql, error))
        return false;
    while (q.next())
        values << q.value(0);
    if (q.lastError().isValid()) {
        error = q.lastError();
        return false;
    }
    return true;
}

bool single(const QSqlDatabase &db, const QString &sql, QVariant &value, QSqlError &error)
{
    QVariantList values;
    if (!column(db, sql, values, error))
        return false;
    value = values.value(0);
    return true;
}

QStringList texts(const QVariantList &values)
{
    QStringList out;
    for (const QVariant &v : values)
        out << v.toString();
    return out;
}

// Version 1 had no mark of its own: only these two tables, shaped like this.
bool inspectUnmarked(const QSqlDatabase &db, const QStringList &tables, Found &found,
                     QSqlError &error)
{
    QStringList sorted = tables;
    sorted.sort();
    if (sorted != QStringList{QStringLiteral("records"), QStringLiteral("schema_version")})
        return true;
    QVariant version;
    QVariantList columns;
    if (!single(db, QStringLiteral("SELECT max(version) FROM schema_version"), version, error)
        || !column(db, QStringLiteral("SELECT name FROM pragma_table_info('records')"), columns,
                   error))
        return false;
    const QStringList version1Columns = {"id",     "time",   "source",       "host",
                                         "port",   "device", "action",       "block_before",
                                         "block_sent", "outcome"};
    if (version.toInt() > 1) {
        found = {Layout::Newer, version.toInt()};
    } else if (version.toInt() == 1 && texts(columns) == version1Columns) {
        found.layout = Layout::Version1;
    }
    return true;
}

const char RecordsTable[] = R"(
CREATE TABLE records (
    -- AUTOINCREMENT: an id is never given twice, even after the newest record
    -- went, because `restore --history ID` names a record by its id.
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    uid TEXT NOT NULL UNIQUE,
    rev INTEGER NOT NULL,
    time TEXT NOT NULL,
    source TEXT NOT NULL CHECK (source IN ('window', 'cli')),
    station TEXT NOT NULL,
    port TEXT NOT NULL,
    device TEXT NOT NULL,
    radio TEXT,
    fingerprint TEXT,
    action TEXT NOT NULL CHECK (action IN ('read', 'write', 'restore', 'backup')),
    outcome TEXT NOT NULL CHECK (outcome IN ('done', 'port', 'no-reply', 'other-reply',
        'link-lost', 'verify', 'other-radio', 'interrupted', 'file', 'unfinished')),
    block_before BLOB CHECK (block_before IS NULL
        OR (typeof(block_before) = 'blob' AND length(block_before) = 16)),
    block_sent BLOB CHECK (block_sent IS NULL
        OR (typeof(block_sent) = 'blob' AND length(block_sent) = 16)),
    block_after BLOB CHECK (block_after IS NULL
        OR (typeof(block_after) = 'blob' AND length(block_after) = 16)),
    verified INTEGER CHECK (verified IS NULL OR verified IN (0, 1)),
    forced INTEGER NOT NULL DEFAULT 0 CHECK (forced IN (0, 1)),
    source_file TEXT,
    source_sha256 TEXT,
    source_record TEXT
))";

// The records kept before fingerprints were: theirs, from the blocks they hold.
constexpr QLatin1StringView FingerprintsFromBlocks(

    "UPDATE records SET fingerprint = lower(hex(substr(block_before, 13, 4)))"
    " WHERE block_before IS NOT NULL");

} // namespace

bool inspect(const QSqlDatabase &db, Found &found, QSqlError &error)
{
    QVariant applicationId, userVersion;
    QVariantList objects, tables;
    if (!single(db, QStringLiteral("PRAGMA application_id"), applicationId, error)
        || !single(db, QStringLiteral("PRAGMA user_version"), userVersion, error)
        || !column(db, QStringLiteral("SELECT name FROM sqlite_master"), objects, error)
        || !column(db,
                   QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table'"
                                  " AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\'"),
                   tables, error))
        return false;

    found = {Layout::Foreign, 0};
    const int version = userVersion.toInt();
    if (applicationId.toInt() == ApplicationId) {
        if (version == Version)
            found.layout = Layout::Current;
        else if (version == 2)
            found.layout = Layout::Version2;
        else if (version > Version)
            found = {Layout::Newer, version};
        return true;
    }
    if (applicationId.toInt() != 0 || version != 0)
        return true;
    if (objects.isEmpty()) {
        found.layout = Layout::Empty;
        return true;
    }
    return inspectUnmarked(db, texts(tables), found, error);
}

bool create(const QSqlDatabase &db, QSqlError &error)
{
    // Each listing filters on one of these and reads newest first; the rowid
    // that ends every index breaks ties of time without a sort.
    return runAll(db,
                  {QString::fromLatin1(RecordsTable),
                   QStringLiteral("CREATE INDEX records_radio ON records (radio, time)"),
                   QStringLiteral("CREATE INDEX records_fingerprint ON records (fingerprint, time)"),
                   QStringLiteral("CREATE INDEX records_port ON records (port, time)"),
                   QStringLiteral("CREATE INDEX records_device ON records (device, time)"),
                   QStringLiteral("CREATE INDEX records_station ON records (station, time)"),
                   QStringLiteral("CREATE INDEX records_time ON records (time)"),
                   QStringLiteral("CREATE UNIQUE INDEX records_rev ON records (rev)"),
                   QStringLiteral("CREATE TABLE sync_state ("
                                  "server TEXT PRIMARY KEY, rev INTEGER NOT NULL)"),
                   QStringLiteral("PRAGMA application_id = %1").arg(ApplicationId),
                   QStringLiteral("PRAGMA user_version = %1").arg(Version)},
                  error);
}

bool upgradeFromVersion1(const QSqlDatabase &db, QSqlError &error)
{
    // Renaming the old table carries its AUTOINCREMENT counter along; the new
    // table takes it over so that no id of a record deleted by hand comes back.
    return runAll(db, {QStringLiteral("ALTER TABLE records RENAME TO records_version1")}, error)
           && create(db, error)
           && runAll(db,
                     {QStringLiteral(
                          "INSERT INTO records (id, uid, rev, time, source, station, port,"
                          " device, action, outcome, block_before, block_sent)"
                          " SELECT id, lower(hex(randomblob(16))), id,"
                          " coalesce(strftime('%Y-%m-%dT%H:%M:%fZ', time), time), source, host,"
                          " port, device, action, outcome, block_before, block_sent"
                          " FROM records_version1 ORDER BY id"),
                      QStringLiteral(
                          "UPDATE sqlite_sequence SET seq = max(seq, coalesce((SELECT seq FROM"
                          " sqlite_sequence WHERE name = 'records_version1'), 0))"
                          " WHERE name = 'records'"),
                      QStringLiteral(
                          "INSERT INTO sqlite_sequence (name, seq) SELECT 'records', seq"
                          " FROM sqlite_sequence WHERE name = 'records_version1' AND NOT EXISTS"
                          " (SELECT 1 FROM sqlite_sequence WHERE name = 'records')"),
                      QStringLiteral("DROP TABLE records_version1"),
                      QStringLiteral("DROP TABLE schema_version"),
                      FingerprintsFromBlocks},
                     error);
}

bool upgradeFromVersion2(const QSqlDatabase &db, QSqlError &error)
{
    return runAll(db,
                  {QStringLiteral("ALTER TABLE records ADD COLUMN fingerprint TEXT"),
                   FingerprintsFromBlocks,
                   QStringLiteral("CREATE INDEX records_fingerprint ON records (fingerprint, time)"),
                   QStringLiteral("PRAGMA user_version = %1").arg(Version)},
                  error);
}

} // namespace History::Schema
