#include "web/HistorySource.h"
#include "history/HistorySchema.h"
#include "history/ServerHistory.h"

#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <atomic>

namespace Web {

namespace {

constexpr int ConnectTimeoutSeconds = 4;
constexpr int StatementTimeoutMs = 8000;

// Removes the thread's connection when the thread ends.
struct ThreadConnection {
    QString name;
    ~ThreadConnection() { drop(); }
    void drop()
    {
        if (name.isEmpty())
            return;
        QSqlDatabase::database(name, false).close();
        QSqlDatabase::removeDatabase(std::exchange(name, QString()));
    }
};
thread_local ThreadConnection here;

QString newName()
{
    static std::atomic<int> counter = 0;
    return QStringLiteral("calitune-web-%1").arg(++counter);
}

Failure<OpenFailure> unreadable(const QString &what, const QSqlError &error)
{
    return {OpenFailure::Unreachable,
            QStringLiteral("%1: %2").arg(what, History::ServerHistory::withoutPassword(
                                                   error.text().section(u'\n', 0, 0).trimmed()))};
}

Result<void, OpenFailure> openLocal(QSqlDatabase &db, const QString &file)
{
    if (file.compare(QLatin1String("off"), Qt::CaseInsensitive) == 0 || file.isEmpty())
        return Failure{OpenFailure::Missing, QStringLiteral("the history is off (CALITUNE_HISTORY=off)")};
    if (!QFileInfo(file).isFile())
        return Failure{OpenFailure::Missing, QStringLiteral("there is no history at %1").arg(file)};
    db.setDatabaseName(file);
    // Read-only: the server never creates, upgrades or changes a history.
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000"));
    if (!db.open())
        return unreadable(QStringLiteral("cannot read the history %1").arg(file), db.lastError());
    QSqlQuery q(db);
    int application = 0, version = 0;
    if (q.exec(QStringLiteral("PRAGMA application_id")) && q.next())
        application = q.value(0).toInt();
    if (q.exec(QStringLiteral("PRAGMA user_version")) && q.next())
        version = q.value(0).toInt();
    if (application != History::Schema::ApplicationId)
        return Failure{OpenFailure::NotAHistory, QStringLiteral("%1 is not a Calitune history").arg(file)};
    if (version != History::Schema::Version)
        return Failure{OpenFailure::NotAHistory,
                       QStringLiteral("the history %1 has layout %2, this program reads layout %3: "
                                      "run calitune-cli history once to bring it up to date")
                           .arg(file).arg(version).arg(History::Schema::Version)};
    return {};
}

Result<void, OpenFailure> openServer(QSqlDatabase &db, const QString &conninfo)
{
    const Result<QString, History::ServerError> keywords = History::ServerHistory::keywordForm(conninfo);
    if (!keywords)
        return Failure{OpenFailure::Missing, keywords.text()};
    db.setConnectOptions(QStringLiteral("connect_timeout=%1 ").arg(ConnectTimeoutSeconds) + *keywords);
    if (!db.open())
        return unreadable(QStringLiteral("cannot reach the history server"), db.lastError());
    QSqlQuery q(db);
    // Reads only, whatever the login may do, and never waits long.
    if (!q.exec(QStringLiteral("SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY"))
        || !q.exec(QStringLiteral("SET statement_timeout = %1").arg(StatementTimeoutMs))
        || !q.exec(QStringLiteral("SELECT 1 FROM calitune.records LIMIT 1")))
        return unreadable(QStringLiteral("cannot read the history server's records"), q.lastError());
    return {};
}

} // namespace

Result<Source, OpenFailure> sourceHere(const Origin &origin)
{
    const Source source{here.name, origin.server ? QStringLiteral("calitune.records") : QStringLiteral("records"),
                        origin.server};
    if (!here.name.isEmpty())
        return source;
    const QString name = newName();
    Result<void, OpenFailure> opened;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(origin.server ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE"),
                                                    name);
        opened = origin.server ? openServer(db, origin.conninfo) : openLocal(db, origin.historyFile);
    }
    if (!opened) {
        QSqlDatabase::removeDatabase(name);
        return opened.failure();
    }
    here.name = name;
    return Source{name, source.table, source.server};
}

void forgetSourceHere()
{
    here.drop();
}

} // namespace Web
