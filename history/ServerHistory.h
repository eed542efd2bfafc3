#pragma once
// The factory's history on a PostgreSQL server: every station's records in
// one table, written only by adding records and completing unfinished ones.

#include "history/Record.h"

#include <QList>
#include <QString>
#include <optional>

namespace History {

// A record as the server keeps it: the station's record plus the server's own
// number for it and when it first arrived.
struct ServerRecord {
    qint64 serverId = 0;
    QDateTime uploadedAt;
    Record record;   // record.id is the station's local id
};

// One connection to the server, used from the thread that made it. Each
// object has its own Qt SQL connection name.
class ServerHistory {
public:
    static constexpr int SchemaVersion = 2;
    static constexpr int ConnectTimeoutSeconds = 5;

    // conninfo: libpq's keyword form ("host=… port=… dbname=… user=…
    // sslmode=…") or a postgresql:// URI. Passwords come from libpq's password
    // file or service file as usual. On failure *error gets one line. A
    // connect_timeout in conninfo overrides `timeoutSeconds` (libpq's least is 2).
    static std::optional<ServerHistory> connect(const QString &conninfo, QString *error,
                                                int timeoutSeconds = ConnectTimeoutSeconds);

    ServerHistory(ServerHistory &&other) noexcept;
    ServerHistory &operator=(ServerHistory &&other) noexcept;
    ServerHistory(const ServerHistory &) = delete;
    ServerHistory &operator=(const ServerHistory &) = delete;
    ~ServerHistory();

    // Creates the tables when there are none and this role may create them;
    // refuses a server whose tables are newer than this program's. The other
    // calls run it once by themselves.
    bool ensureSchema(QString *error);

    // Adds records not yet on the server (key: station, local id) and completes
    // those uploaded as unfinished. Safe to repeat, and after an interruption.
    bool upload(const QList<Record> &records, QString *error);

    QList<ServerRecord> list(const Filter &filter, QString *error);   // newest first
    std::optional<ServerRecord> find(const QString &station, qint64 localId, QString *error);
    // A radio's story across the stations (history/Story.h), oldest first.
    QList<ServerRecord> story(const QString &id, const QString &radioPrefix, QString *error);

    // What a database administrator runs once (psql -f): the tables, and a role
    // for the stations that may add, read and complete records and nothing more.
    static QString adminSql(const QString &stationRole = QStringLiteral("calitune_station"));

    // The keyword form of a connection string, which is all Qt's QPSQL driver
    // can hand to libpq: a URI is turned into keywords.
    static std::optional<QString> keywordForm(const QString &conninfo, QString *error);

private:
    explicit ServerHistory(const QString &connectionName);
    bool opened(QString *error);
    bool ready(QString *error);
    bool uploadBatch(const QList<Record> &batch, QString *error);
    QList<ServerRecord> select(const QString &where, const QVariantList &values, int limit,
                               QString *error, const QString &order = QStringLiteral("time DESC, id DESC"));

    QString m_name;
    bool m_schemaChecked = false;
};

} // namespace History
