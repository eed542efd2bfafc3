#pragma once
// The factory's history on a PostgreSQL server: every station's records in
// one table, written only by adding records and completing unfinished ones.

#include "base/Result.h"
#include "history/Record.h"
#include "history/Story.h"

#include <QDeadlineTimer>
#include <QList>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace History {

enum class ServerError {
    Settings,      // the connection string cannot be used, or Qt has no PostgreSQL driver
    Unreachable,   // no connection, the login was refused, or the connection was lost
    Tables,        // the server's tables are newer than this program's, or cannot be set up
    Statement,     // the server refused a statement or the records it was sent
};

// A record as the server keeps it: the station's record plus the server's own
// number for it and when it first arrived.
struct ServerRecord {
    qint64 serverId = 0;
    QDateTime uploadedAt;
    Record record;   // record.id is the station's local id
};

// Ends the statement a connection runs now, from any thread; the connection
// then makes no new attempt to reach the server.
class ServerCancel {
public:
    ServerCancel() = default;
    ServerCancel(const ServerCancel &) = delete;
    ServerCancel &operator=(const ServerCancel &) = delete;
    ~ServerCancel();

    void cancel();
    bool cancelled() const { return m_cancelled; }
    void attach(const QVariant &driverHandle);   // the connection's own thread

private:
    std::mutex m_mutex;
    void *m_cancel = nullptr;   // libpq's PGcancel
    std::atomic_bool m_cancelled{false};
};

// One connection to the server, used from the thread that made it. Each
// object has its own Qt SQL connection name.
class ServerHistory {
public:
    static constexpr int SchemaVersion = 3;
    static constexpr int ConnectTimeoutSeconds = 4;
    static constexpr int StatementTimeoutMs = 8000;
    // Uploads go in multi-row statements of this many records; one statement
    // is one transaction, so a batch is on the server whole or not at all.
    static constexpr int BatchSize = 500;

    // conninfo: libpq's keyword form ("host=… port=… dbname=… user=…
    // sslmode=…") or a postgresql:// URI. Passwords come from libpq's password
    // file or service file as usual. A failure's text is one line. A
    // connect_timeout in conninfo overrides `timeoutSeconds` (libpq's least is 2).
    // Each statement gives up after StatementTimeoutMs; `cancel` ends one sooner.
    static Result<ServerHistory, ServerError> connect(const QString &conninfo,
                                                      int timeoutSeconds = ConnectTimeoutSeconds,
                                                      std::shared_ptr<ServerCancel> cancel = {});

    ServerHistory(ServerHistory &&other) noexcept;
    ServerHistory &operator=(ServerHistory &&other) noexcept;
    ServerHistory(const ServerHistory &) = delete;
    ServerHistory &operator=(const ServerHistory &) = delete;
    ~ServerHistory();

    // Creates the tables when there are none, or brings older ones up to
    // date, when this role may; refuses a server whose tables are newer than
    // this program's. The other calls run it once by themselves.
    Result<void, ServerError> ensureSchema();

    // Adds records not yet on the server (key: station, local id) and completes
    // those uploaded as unfinished. Safe to repeat, and after an interruption.
    // A record the server holds under another uid stops the upload of the
    // batch it is in, and nothing of that batch is written.
    // Gives how many records the server added or completed now.
    Result<qint64, ServerError> upload(const QList<Record> &records);
    // Uploads give up when this expires, whatever the server does.
    void setDeadline(const QDeadlineTimer &deadline) { m_deadline = deadline; }

    using Records = Result<QList<ServerRecord>, ServerError>;
    Records list(const Filter &filter);   // newest first
    // Nothing when the server has no such record.
    Result<std::optional<ServerRecord>, ServerError> find(const QString &station, qint64 localId);
    // A radio's story across the stations (history/Story.h), oldest first.
    Records story(const QString &id, const QString &radioPrefix);

    // What a database administrator runs once (psql -f): the tables, and a role
    // for the stations that may add, read and complete records and nothing more.
    static QString adminSql(const QString &stationRole = QStringLiteral("calitune_station"));

    // The text with every password of a connection string in it, in either
    // form, shown as ********.
    static QString withoutPassword(QString text);
    // What names the server in a connection string (service, host, hostaddr,
    // port, dbname), in keyword form: how the station remembers what a
    // server has, never with a password.
    static QString serverKey(const QString &conninfo);

    // The keyword form of a connection string, which is all Qt's QPSQL driver
    // can hand to libpq: a URI is turned into keywords.
    static Result<QString, ServerError> keywordForm(const QString &conninfo);

private:
    ServerHistory(const QString &connectionName, std::shared_ptr<ServerCancel> cancel);
    Result<void, ServerError> opened();
    Result<void, ServerError> ready();
    Result<qint64, ServerError> uploadBatch(const QList<Record> &batch);
    Records select(const QString &where, const QVariantList &values, int limit,
                   const QString &order = QStringLiteral("time DESC, id DESC"));
    // The condition is asked for on the query that then reads the records;
    // nothing when it cannot be read, the query's error saying why.
    using Condition = std::function<std::optional<Story::Query>(QSqlQuery &)>;
    Records select(const Condition &condition, int limit, const QString &order);

    QString m_name;
    std::shared_ptr<ServerCancel> m_cancel;
    bool m_schemaChecked = false;
    QDeadlineTimer m_deadline{QDeadlineTimer::Forever};
};

} // namespace History
