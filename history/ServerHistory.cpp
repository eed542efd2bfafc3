#include "history/ServerHistory.h"
#include "history/Story.h"

#include <QLibrary>
#include <QMap>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>
#include <QRegularExpression>
#include <QUrl>
#include <QUuid>
#include <algorithm>
#include <atomic>
#include <mutex>
#include <functional>
#include <utility>

namespace History {

namespace {

// Defaults in front of the user's own keywords, which override them: never
// wait long for a server that does not answer, nor on a dead connection.
QString connectDefaults(int timeoutSeconds)
{
    return QStringLiteral("connect_timeout=%1 keepalives_idle=30 keepalives_interval=10 keepalives_count=3")
        .arg(timeoutSeconds);
}

// Serialises the creation of the tables between stations starting together.
constexpr qint64 SchemaLockKey = 0x63616c6974756e65;   // "calitune"

constexpr QLatin1StringView Columns(

    "station, local_id, uid, time, source, port, device, radio, action, outcome,"
    " block_before, block_sent, block_after, verified, forced,"
    " source_file, source_sha256, source_record");
// The same, read back: times as milliseconds since 1970 in UTC, whatever the
// session's time zone.
constexpr QLatin1StringView SelectedColumns(

    "id, station, local_id, uid, (extract(epoch FROM time) * 1000)::bigint, source, port,"
    " device, radio, action, outcome, block_before, block_sent, block_after, verified, forced,"
    " source_file, source_sha256, source_record, (extract(epoch FROM uploaded_at) * 1000)::bigint");

QString quotedValue(QString value)
{
    value.replace(u'\\', QStringLiteral("\\\\")).replace(u'\'', QStringLiteral("\\'"));
    return u'\'' + value + u'\'';
}

QString decoded(const QString &text)
{
    return QUrl::fromPercentEncoding(text.toUtf8());
}

// host[:port], or [v6-address][:port]
std::pair<QString, QString> hostAndPort(const QString &entry)
{
    const qsizetype close = entry.startsWith(u'[') ? entry.indexOf(u']') : -1;
    const qsizetype colon = entry.indexOf(u':', close < 0 ? 0 : close);
    QString host = colon < 0 ? entry : entry.left(colon);
    if (close > 0)
        host = host.mid(1, close - 1);
    return {decoded(host), colon < 0 ? QString() : entry.mid(colon + 1)};
}

// postgresql://[user[:password]@][host[:port][,…]][/dbname][?keyword=value&…]
Result<QString, ServerError> uriKeywords(QString uri)
{
    QStringList words;
    auto add = [&words](const QString &key, const QString &value) {
        words << key + u'=' + quotedValue(value);
    };
    uri = uri.mid(uri.indexOf(QStringLiteral("://")) + 3);
    QString query, path;
    if (const qsizetype q = uri.indexOf(u'?'); q >= 0) {
        query = uri.mid(q + 1);
        uri.truncate(q);
    }
    if (const qsizetype slash = uri.indexOf(u'/'); slash >= 0) {
        path = uri.mid(slash + 1);
        uri.truncate(slash);
    }
    if (const qsizetype at = uri.lastIndexOf(u'@'); at >= 0) {
        const QString user = uri.left(at);
        const qsizetype colon = user.indexOf(u':');
        add(QStringLiteral("user"), decoded(colon < 0 ? user : user.left(colon)));
        if (colon >= 0)
            add(QStringLiteral("password"), decoded(user.mid(colon + 1)));
        uri = uri.mid(at + 1);
    }
    QStringList hosts, ports;
    for (const QString &entry : uri.split(u',')) {
        const auto [host, port] = hostAndPort(entry);
        hosts << host;
        ports << port;
    }
    if (!hosts.join(QString()).isEmpty())
        add(QStringLiteral("host"), hosts.join(u','));
    if (!ports.join(QString()).isEmpty())
        add(QStringLiteral("port"), ports.join(u','));
    if (!path.isEmpty())
        add(QStringLiteral("dbname"), decoded(path));
    for (const QString &param : query.split(u'&', Qt::SkipEmptyParts)) {
        const qsizetype eq = param.indexOf(u'=');
        QString key = decoded(param.left(eq)), value = eq < 0 ? QString() : decoded(param.mid(eq + 1));
        if (eq < 0 || key.isEmpty() || key.contains(u' '))
            return Failure{ServerError::Settings,
                           QStringLiteral("the history server's address has a bad parameter: %1").arg(param)};
        if (key == u"ssl" && value == u"true")   // libpq's own alias, for URIs only
            std::tie(key, value) = std::pair(QStringLiteral("sslmode"), QStringLiteral("require"));
        add(key, value);
    }
    return words.join(u' ');
}

QString firstLine(const QString &text)
{
    QString line = text.section(u'\n', 0, 0).simplified();
    for (const char *prefix : {"ERROR: ", "FATAL: "})
        if (line.startsWith(QLatin1String(prefix)))
            line = line.mid(qsizetype(qstrlen(prefix)));
    return line;
}

QString connectError(const QSqlError &e)
{
    const QString text = firstLine(e.databaseText());
    if (text.contains(QLatin1String("authentication failed"))
        || text.contains(QLatin1String("no password supplied"))
        || (text.contains(QLatin1String("role \"")) && text.contains(QLatin1String("does not exist"))))
        return QStringLiteral("the history server refused the login: %1").arg(text);
    if (text.contains(QLatin1String("certificate verify failed")))
        return QStringLiteral("the history server's certificate is not signed by the CA that sslrootcert names: %1")
            .arg(text);
    if (text.contains(QLatin1String("does not match host name")))
        return QStringLiteral("the history server's certificate is for another host: %1").arg(text);
    if (text.contains(QLatin1String("database \"")) && text.contains(QLatin1String("does not exist")))
        return QStringLiteral("the history server has no such database: %1").arg(text);
    return QStringLiteral("cannot reach the history server: %1").arg(text);
}

// The server went away (stopped, restarted, crashed) or the link to it broke.
bool connectionLost(const QSqlDatabase &db, const QSqlError &e)
{
    const QString code = e.nativeErrorCode();
    return !db.isOpen() || code.startsWith(QLatin1String("08")) || code.startsWith(QLatin1String("57P"));
}

// What went wrong with a statement, as the end of one line.
QString statementError(const QSqlDatabase &db, const QSqlError &e)
{
    QString text = firstLine(e.databaseText());
    if (text.isEmpty())
        text = e.text().simplified();
    if (connectionLost(db, e))
        return QStringLiteral("the connection was lost (%1)").arg(text);
    if (e.nativeErrorCode() == u"25006")
        return QStringLiteral("the server is read-only (%1)").arg(text);
    return text;
}

// `what` failed, and why, as one line.
Failure<ServerError> statementFailure(const QSqlDatabase &db, const QSqlError &e, const QString &what)
{
    return {connectionLost(db, e) ? ServerError::Unreachable : ServerError::Statement,
            what + statementError(db, e)};
}

QString listed(const QStringList &names)
{
    QStringList quoted;
    for (const QString &n : names)
        quoted << u'\'' + n + u'\'';
    return quoted.join(QStringLiteral(", "));
}

// The server's layout, one step per version. Each step is written so that
// running it again changes nothing: the program runs the steps a server lacks,
// the administrator's SQL runs them all.
struct Migration {
    int version;
    QStringList statements;
};

QString versionMark(int version)
{
    return QStringLiteral("INSERT INTO calitune.schema_version (version) SELECT %1"
                          " WHERE NOT EXISTS (SELECT FROM calitune.schema_version WHERE version = %1)")
        .arg(version);
}

QString recordsTableStatement()
{
    const QString blockCheck = QStringLiteral("bytea CHECK (octet_length(%1) = 16)");
    return QStringLiteral(
        "CREATE TABLE IF NOT EXISTS calitune.records ("
        "\n  id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
        "\n  station text NOT NULL CHECK (station <> ''),"
        "\n  local_id bigint NOT NULL CHECK (local_id > 0),"
        "\n  uid text NOT NULL CHECK (uid <> ''),"
        "\n  time timestamptz NOT NULL,"
        "\n  source text NOT NULL CHECK (source IN (%1)),"
        "\n  port text NOT NULL,"
        "\n  device text NOT NULL,"
        "\n  radio text,"
        "\n  action text NOT NULL CHECK (action IN (%2)),"
        "\n  outcome text NOT NULL CHECK (outcome IN (%3)),"
        "\n  block_before %4,\n  block_sent %5,\n  block_after %6,"
        "\n  verified boolean,"
        "\n  forced boolean NOT NULL DEFAULT false,"
        "\n  source_file text,"
        "\n  source_sha256 text CHECK (source_sha256 ~* '^[0-9a-f]{64}$'),"
        "\n  source_record text,"
        "\n  uploaded_at timestamptz NOT NULL DEFAULT now(),"
        "\n  UNIQUE (station, local_id))")
        .arg(listed({sourceName(Source::Window), sourceName(Source::Cli)}),
             listed({actionName(Action::Read), actionName(Action::Write),
                     actionName(Action::Restore), actionName(Action::Backup)}),
             listed(StateNames()), blockCheck.arg(QLatin1String("block_before")),
             blockCheck.arg(QLatin1String("block_sent")),
             blockCheck.arg(QLatin1String("block_after")));
}

// Whoever may update: a record is only ever completed, once; a block it did
// not have yet may come with its completion, none is rewritten.
QString keepRecordFunction()
{
    return QStringLiteral(
        "CREATE OR REPLACE FUNCTION calitune.keep_record() RETURNS trigger LANGUAGE plpgsql AS $$"
        "\nDECLARE kept calitune.records := NEW;"
        "\nBEGIN"
        "\n  IF OLD.outcome <> 'unfinished' THEN"
        "\n    RAISE EXCEPTION 'record %:% is complete and is never rewritten',"
        " OLD.station, OLD.local_id;"
        "\n  END IF;"
        "\n  kept.outcome := OLD.outcome;"
        "\n  kept.block_after := OLD.block_after;"
        "\n  kept.verified := OLD.verified;"
        "\n  kept.forced := OLD.forced;"
        "\n  IF OLD.block_before IS NULL THEN kept.block_before := NULL; END IF;"
        "\n  IF OLD.block_sent IS NULL THEN kept.block_sent := NULL; END IF;"
        "\n  IF kept IS DISTINCT FROM OLD THEN"
        "\n    RAISE EXCEPTION 'record %:% may only be completed', OLD.station, OLD.local_id;"
        "\n  END IF;"
        "\n  RETURN NEW;"
        "\nEND $$");
}

QStringList recordsTable()
{
    return {
        QStringLiteral("CREATE SCHEMA IF NOT EXISTS calitune"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS calitune.schema_version (version integer NOT NULL)"),
        recordsTableStatement(),
        QStringLiteral("CREATE INDEX IF NOT EXISTS records_time ON calitune.records (time DESC)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS records_radio ON calitune.records (radio, time DESC)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS records_station ON calitune.records (station, time DESC)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS records_port ON calitune.records (port, time DESC)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS records_device ON calitune.records (device, time DESC)"),
        keepRecordFunction(),
        QStringLiteral("DROP TRIGGER IF EXISTS keep_record ON calitune.records"),
        QStringLiteral("CREATE TRIGGER keep_record BEFORE UPDATE ON calitune.records"
                       " FOR EACH ROW EXECUTE FUNCTION calitune.keep_record()"),
    };
}

// Each station login writes only the records of the stations mapped to it,
// however it sends them. session_user, not current_user: the function runs as
// its owner, and a SET ROLE changes current_user only. Superusers and the
// tables' owner write any station's records.
QStringList stationLogins()
{
    return {
        QStringLiteral("CREATE TABLE IF NOT EXISTS calitune.stations ("
                       "\n  station text PRIMARY KEY CHECK (station <> ''),"
                       "\n  login name NOT NULL)"),
        // Once per statement, over the rows it wrote: a row-level check would
        // cost each of a batch's rows a look-up of the login.
        QStringLiteral(
            "CREATE OR REPLACE FUNCTION calitune.bind_station() RETURNS trigger LANGUAGE plpgsql"
            " SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $$"
            "\nDECLARE refused text;"
            "\nBEGIN"
            "\n  IF (SELECT rolsuper FROM pg_roles WHERE rolname = session_user)"
            "\n     OR pg_has_role(session_user, (SELECT relowner FROM pg_class WHERE oid = TG_RELID), 'MEMBER') THEN"
            "\n    RETURN NULL;"
            "\n  END IF;"
            "\n  SELECT w.station INTO refused FROM written w WHERE NOT EXISTS (SELECT FROM calitune.stations s"
            "\n    WHERE s.station = w.station AND s.login = session_user) LIMIT 1;"
            "\n  IF FOUND THEN"
            "\n    RAISE EXCEPTION 'login % may not write records of station %', session_user, refused"
            "\n      USING ERRCODE = 'insufficient_privilege';"
            "\n  END IF;"
            "\n  RETURN NULL;"
            "\nEND $$"),
        QStringLiteral("DROP TRIGGER IF EXISTS bind_station_insert ON calitune.records"),
        QStringLiteral("CREATE TRIGGER bind_station_insert AFTER INSERT ON calitune.records"
                       " REFERENCING NEW TABLE AS written FOR EACH STATEMENT EXECUTE FUNCTION calitune.bind_station()"),
        QStringLiteral("DROP TRIGGER IF EXISTS bind_station_update ON calitune.records"),
        QStringLiteral("CREATE TRIGGER bind_station_update AFTER UPDATE ON calitune.records"
                       " REFERENCING NEW TABLE AS written FOR EACH STATEMENT EXECUTE FUNCTION calitune.bind_station()"),
    };
}

// Each record's fingerprint, kept by a trigger from its block (it fires after
// keep_record, which lets a block be added only where none was). The column is
// first made as a computed one, so that the records already there get theirs
// without an UPDATE that the other triggers would judge; indexed for stories.
QStringList fingerprints()
{
    return {
        QStringLiteral("ALTER TABLE calitune.records ADD COLUMN IF NOT EXISTS fingerprint text"
                       " GENERATED ALWAYS AS (encode(substring(block_before FROM 13 FOR 4), 'hex')) STORED"),
        QStringLiteral("ALTER TABLE calitune.records ALTER COLUMN fingerprint DROP EXPRESSION IF EXISTS"),
        QStringLiteral("CREATE OR REPLACE FUNCTION calitune.set_fingerprint() RETURNS trigger LANGUAGE plpgsql AS $$"
                       "\nBEGIN"
                       "\n  NEW.fingerprint := encode(substring(NEW.block_before FROM 13 FOR 4), 'hex');"
                       "\n  RETURN NEW;"
                       "\nEND $$"),
        QStringLiteral("DROP TRIGGER IF EXISTS set_fingerprint ON calitune.records"),
        QStringLiteral("CREATE TRIGGER set_fingerprint BEFORE INSERT OR UPDATE ON calitune.records"
                       " FOR EACH ROW EXECUTE FUNCTION calitune.set_fingerprint()"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS records_fingerprint ON calitune.records (fingerprint, time)"),
    };
}

QList<Migration> migrations()
{
    return {
        {1, recordsTable()},
        {2, stationLogins()},
        {3, fingerprints()},
    };
}

QStringList schemaStatements(int fromVersion)
{
    QStringList sql;
    for (const Migration &m : migrations())
        if (m.version > fromVersion)
            sql << m.statements << versionMark(m.version);
    return sql;
}

QString sqlIdentifier(QString name)
{
    return u'"' + name.replace(u'"', QStringLiteral("\"\"")) + u'"';
}

QString sqlLiteral(QString text)
{
    return u'\'' + text.replace(u'\'', QStringLiteral("''")) + u'\'';
}

QVariant optionalValue(const auto &value)
{
    return value ? QVariant(*value) : QVariant();
}

QVariant textOrNull(const QString &text)
{
    return text.isEmpty() ? QVariant() : QVariant(text);
}

QString rowValues(const QSqlDriver *driver, const Record &r)
{
    const QVariantList values{
        r.station, r.id, r.uid,
        r.time.isValid() ? QVariant(r.time.toUTC().toString(Qt::ISODateWithMs)) : QVariant(),
        sourceName(r.source), r.port, r.device, optionalValue(r.radio), actionName(r.action),
        OutcomeName(r.outcome), optionalValue(r.before), optionalValue(r.sent),
        optionalValue(r.after), optionalValue(r.verified), r.forced, textOrNull(r.sourceFile),
        textOrNull(r.sourceSha256), textOrNull(r.sourceRecord)};
    QStringList literals;
    for (const QVariant &v : values) {
        QSqlField field(QString(), v.metaType());
        field.setValue(v);
        literals << driver->formatValue(field);
    }
    return u'(' + literals.join(u',') + u')';
}

QDateTime utcFromMs(const QVariant &ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms.toLongLong(), Qt::UTC);
}

ServerRecord recordAt(const QSqlQuery &q)
{
    auto optionalBytes = [&q](int i) {
        return q.isNull(i) ? std::nullopt : std::optional(q.value(i).toByteArray());
    };
    ServerRecord s;
    s.serverId = q.value(0).toLongLong();
    s.uploadedAt = utcFromMs(q.value(19));
    Record &r = s.record;
    r.station = q.value(1).toString();
    r.id = q.value(2).toLongLong();
    r.uid = q.value(3).toString();
    r.time = utcFromMs(q.value(4));
    r.source = sourceFromName(q.value(5).toString()).value_or(Source::Cli);
    r.port = q.value(6).toString();
    r.device = q.value(7).toString();
    r.radio = q.isNull(8) ? std::nullopt : std::optional(q.value(8).toString());
    r.action = actionFromName(q.value(9).toString()).value_or(Action::Read);
    r.outcome = StateFromName(q.value(10).toString()).value_or(Unfinished);
    r.before = optionalBytes(11);
    r.sent = optionalBytes(12);
    r.after = optionalBytes(13);
    r.verified = q.isNull(14) ? std::nullopt : std::optional(q.value(14).toBool());
    r.forced = q.value(15).toBool();
    r.sourceFile = q.value(16).toString();
    r.sourceSha256 = q.value(17).toString();
    r.sourceRecord = q.value(18).toString();
    return s;
}

// libpq prints the server's notices, and the last words of a server going
// away, straight to stderr; what matters reaches the user in our own line.
// QPSQL sets no notice processor, so one is set on its libpq connection.
bool silenced(const QSqlDatabase &db)
{
    using Processor = void (*)(void *, const char *);
    using SetProcessor = Processor (*)(void *, Processor, void *);
    const auto setProcessor = reinterpret_cast<SetProcessor>(
        QLibrary::resolve(QStringLiteral("pq"), 5, "PQsetNoticeProcessor"));
    const QVariant handle = db.driver()->handle();
    const QByteArray type = handle.typeName();
    if (setProcessor && (type == "pg_conn*" || type == "PGconn*"))
        if (void *connection = *static_cast<void *const *>(handle.constData()))
            setProcessor(connection, [](void *, const char *) {}, nullptr);
    return true;
}

template <typename Function>
Function libpq(const char *name)
{
    return reinterpret_cast<Function>(QLibrary::resolve(QStringLiteral("pq"), 5, name));
}

// Every statement gives up when the server makes it wait this long (a held
// lock, a frozen server); an upload with a deadline sets less.
void limitStatements(QSqlDatabase &db, int ms)
{
    QSqlQuery q(db);
    q.exec(QStringLiteral("SET statement_timeout = %1").arg(ms));
    q.exec(QStringLiteral("SET lock_timeout = %1").arg(ms));
}

bool opening(QSqlDatabase &db, ServerCancel &cancel)
{
    if (!db.open() || !silenced(db))
        return false;
    limitStatements(db, ServerHistory::StatementTimeoutMs);
    cancel.attach(db.driver()->handle());
    return true;
}

// Ends a failed transaction. A connection that the driver closed when the
// server went away holds none, and a statement on it only makes Qt warn.
void rollBack(const QSqlDatabase &db)
{
    if (db.isOpen())
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
}

// Runs a statement, and once more on a fresh connection when the server went
// away since the last one (restarted, say): every statement here may be repeated.
bool runReconnecting(QSqlDatabase &db, ServerCancel &cancel,
                     const std::function<bool(QSqlQuery &)> &statement, QSqlError *error)
{
    for (int attempt = 0;; ++attempt) {
        {
            QSqlQuery q(db);
            q.setForwardOnly(true);
            if (statement(q))
                return true;
            *error = q.lastError();
        }
        if (!connectionLost(db, *error) || attempt > 0 || cancel.cancelled() || !opening(db, cancel))
            return false;
    }
}

} // namespace

ServerCancel::~ServerCancel() { attach({}); }

void ServerCancel::attach(const QVariant &handle)
{
    using GetCancel = void *(*)(void *);
    using FreeCancel = void (*)(void *);
    const auto getCancel = libpq<GetCancel>("PQgetCancel");
    const auto freeCancel = libpq<FreeCancel>("PQfreeCancel");
    void *next = nullptr;
    const QByteArray type = handle.typeName();
    if (getCancel && (type == "pg_conn*" || type == "PGconn*"))
        if (void *connection = *static_cast<void *const *>(handle.constData()))
            next = getCancel(connection);
    std::lock_guard lock(m_mutex);
    if (m_cancel && freeCancel)
        freeCancel(m_cancel);
    m_cancel = next;
}

void ServerCancel::cancel()
{
    using Cancel = int (*)(void *, char *, int);
    const auto sendCancel = libpq<Cancel>("PQcancel");
    m_cancelled = true;
    std::lock_guard lock(m_mutex);
    char error[256];
    if (m_cancel && sendCancel)
        sendCancel(m_cancel, error, int(sizeof error));
}

namespace {

// libpq's keyword form: key = value pairs, a value quoted in '' or bare, with
// backslash escapes in either.
QList<std::pair<QString, QString>> keywordPairs(const QString &text)
{
    QList<std::pair<QString, QString>> pairs;
    qsizetype i = 0;
    auto skipSpace = [&] { while (i < text.size() && text[i].isSpace()) ++i; };
    while (skipSpace(), i < text.size()) {
        const qsizetype eq = text.indexOf(u'=', i);
        if (eq < 0)
            break;
        const QString key = text.mid(i, eq - i).trimmed();
        i = eq + 1;
        skipSpace();
        const bool quoted = i < text.size() && text[i] == u'\'';
        i += quoted ? 1 : 0;
        QString value;
        for (; i < text.size() && (quoted ? text[i] != u'\'' : !text[i].isSpace()); ++i) {
            if (text[i] == u'\\' && i + 1 < text.size())
                ++i;
            value += text[i];
        }
        i += quoted ? 1 : 0;
        pairs.append({key, value});
    }
    return pairs;
}

} // namespace

QString ServerHistory::withoutPassword(QString text)
{
    const QRegularExpression keyword(QStringLiteral(R"((\bpassword\s*=\s*)('(?:[^'\\]|\\.)*'?|\S*))"));
    const QRegularExpression userInfo(QStringLiteral(R"(\b(postgres(?:ql)?://[^:@/?\s]*:)[^/?\s]*@)"));
    const QRegularExpression parameter(QStringLiteral(R"(([?&]password=)[^&\s]*)"));
    text.replace(keyword, QStringLiteral("\\1********"));
    text.replace(userInfo, QStringLiteral("\\1********@"));
    text.replace(parameter, QStringLiteral("\\1********"));
    return text;
}

QString ServerHistory::serverKey(const QString &conninfo)
{
    const QStringList naming{QStringLiteral("service"), QStringLiteral("host"), QStringLiteral("hostaddr"),
                             QStringLiteral("port"), QStringLiteral("dbname")};
    const Result<QString, ServerError> keywords = keywordForm(conninfo);
    if (!keywords)
        return withoutPassword(conninfo);
    QStringList kept;
    for (const auto &[key, value] : keywordPairs(*keywords))
        if (naming.contains(key))
            kept << key + u'=' + quotedValue(value);
    return kept.join(u' ');
}

Result<QString, ServerError> ServerHistory::keywordForm(const QString &conninfo)
{
    const QString text = conninfo.trimmed();
    if (text.isEmpty())
        return Failure{ServerError::Settings, QStringLiteral("no history server given")};
    // QPSQL turns every ';' of its options into a space.
    if (text.contains(u';'))
        return Failure{ServerError::Settings,
                       QStringLiteral("the history server's connection string may not hold a ';'")};
    if (text.startsWith(QLatin1String("postgresql://")) || text.startsWith(QLatin1String("postgres://")))
        return uriKeywords(text);
    return text;
}

Result<ServerHistory, ServerError> ServerHistory::connect(const QString &conninfo, int timeoutSeconds,
                                                          std::shared_ptr<ServerCancel> cancel)
{
    if (!cancel)
        cancel = std::make_shared<ServerCancel>();
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL")))
        return Failure{ServerError::Settings, QStringLiteral("Qt's PostgreSQL driver (QPSQL) is not installed")};
    const Result<QString, ServerError> keywords = keywordForm(conninfo);
    if (!keywords)
        return keywords.failure();
    const QString name = QStringLiteral("calitune-server-%1").arg(QUuid::createUuid().toString(QUuid::WithoutBraces));
    QString problem;
    {
        // QPSQL quotes a database name into one value, so the whole string
        // goes in as options, which it hands on as they are.
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        db.setConnectOptions(connectDefaults(timeoutSeconds) + u' ' + *keywords);
        if (!opening(db, *cancel))
            problem = connectError(db.lastError());
    }
    if (!problem.isEmpty()) {
        QSqlDatabase::removeDatabase(name);
        return Failure{ServerError::Unreachable, problem};
    }
    return ServerHistory(name, std::move(cancel));
}

ServerHistory::ServerHistory(const QString &connectionName, std::shared_ptr<ServerCancel> cancel)
    : m_name(connectionName), m_cancel(std::move(cancel))
{
}

ServerHistory::ServerHistory(ServerHistory &&other) noexcept
    : m_name(std::exchange(other.m_name, QString())), m_cancel(other.m_cancel),
      m_schemaChecked(other.m_schemaChecked), m_deadline(other.m_deadline)
{
}

ServerHistory &ServerHistory::operator=(ServerHistory &&other) noexcept
{
    std::swap(m_name, other.m_name);
    std::swap(m_cancel, other.m_cancel);
    std::swap(m_schemaChecked, other.m_schemaChecked);
    std::swap(m_deadline, other.m_deadline);
    return *this;
}

ServerHistory::~ServerHistory()
{
    if (m_name.isEmpty())
        return;
    m_cancel->attach({});
    QSqlDatabase::database(m_name, false).close();
    QSqlDatabase::removeDatabase(m_name);
}

// Opens the connection again after the server went away and came back.
Result<void, ServerError> ServerHistory::opened()
{
    QSqlDatabase db = QSqlDatabase::database(m_name, false);
    if (db.isOpen() || opening(db, *m_cancel))
        return {};
    return Failure{ServerError::Unreachable, connectError(db.lastError())};
}

Result<void, ServerError> ServerHistory::ready()
{
    if (Result<void, ServerError> open = opened(); !open || m_schemaChecked)
        return open;
    return ensureSchema();
}

Result<void, ServerError> ServerHistory::ensureSchema()
{
    if (Result<void, ServerError> open = opened(); !open)
        return open;
    QSqlDatabase db = QSqlDatabase::database(m_name, false);
    QSqlQuery q(db);
    QString problem;
    auto run = [&q, &db, &problem](const QString &sql) {
        if (problem.isEmpty() && !q.exec(sql))
            problem = statementError(db, q.lastError());
        return problem.isEmpty();
    };
    run(QStringLiteral("BEGIN"));
    run(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(SchemaLockKey));
    int version = 0;
    if (run(QStringLiteral("SELECT to_regclass('calitune.schema_version') IS NOT NULL"))
        && q.next() && q.value(0).toBool()
        && run(QStringLiteral("SELECT coalesce(max(version), 0) FROM calitune.schema_version"))
        && q.next())
        version = q.value(0).toInt();
    if (problem.isEmpty() && version > SchemaVersion)
        problem = QStringLiteral("the history server's tables are version %1, newer than this"
                                 " program's %2: update Calitune").arg(version).arg(SchemaVersion);
    if (problem.isEmpty() && version < SchemaVersion) {
        for (const QString &sql : schemaStatements(version))
            run(sql);
        if (q.lastError().nativeErrorCode() == u"42501")
            problem = (version == 0 ? QStringLiteral("the history server has no Calitune tables and this role may"
                                                     " not create them")
                                    : QStringLiteral("the history server's tables are version %1 and this role"
                                                     " may not update them").arg(version))
                      + QStringLiteral(": the administrator runs the set-up SQL (calitune-cli server-sql) (%1)")
                            .arg(problem);
    }
    run(QStringLiteral("COMMIT"));
    if (!problem.isEmpty()) {
        rollBack(db);
        return Failure{ServerError::Tables, problem.startsWith(QLatin1String("the history server"))
                                                ? problem : QStringLiteral("cannot set up the history server: ") + problem};
    }
    m_schemaChecked = true;
    return {};
}

Result<qint64, ServerError> ServerHistory::upload(const QList<Record> &records)
{
    if (Result<void, ServerError> usable = ready(); !usable)
        return usable.failure();
    // One row per key, in key order, so that one statement never meets a row
    // twice and concurrent uploads lock rows in the same order.
    QMap<std::pair<QString, qint64>, Record> byKey;
    for (const Record &r : records) {
        const auto key = std::pair(r.station, r.id);
        const auto it = byKey.constFind(key);
        if (it == byKey.cend() || it->outcome == Unfinished)
            byKey.insert(key, r);
    }
    const QList<Record> all = byKey.values();
    qint64 taken = 0;
    for (qsizetype from = 0; from < all.size(); from += BatchSize) {
        const Result<qint64, ServerError> sent = uploadBatch(all.mid(from, BatchSize));
        if (!sent)
            return sent;
        taken += *sent;
    }
    return taken;
}

// The first record of the batch the server holds under another uid: another
// history that goes by the same station name.
QString collisionCheck(const QSqlDriver *driver, const QList<Record> &batch)
{
    QStringList keys;
    for (const Record &r : batch) {
        QSqlField station(QString(), QMetaType::fromType<QString>()), uid = station;
        station.setValue(r.station);
        uid.setValue(r.uid);
        keys << QStringLiteral("(%1, %2::bigint, %3)").arg(driver->formatValue(station)).arg(r.id).arg(driver->formatValue(uid));
    }
    return QStringLiteral("SELECT r.station, r.local_id FROM calitune.records r"
                          " JOIN (VALUES %1) AS mine (station, local_id, uid)"
                          " ON r.station = mine.station AND r.local_id = mine.local_id"
                          " WHERE r.uid <> mine.uid ORDER BY r.station, r.local_id LIMIT 1")
        .arg(keys.join(u','));
}

Result<qint64, ServerError> ServerHistory::uploadBatch(const QList<Record> &batch)
{
    QSqlDatabase db = QSqlDatabase::database(m_name, false);
    const QSqlDriver *driver = db.driver();
    QString insert = QStringLiteral("INSERT INTO calitune.records (%1) VALUES ").arg(Columns);
    for (const Record &r : batch)
        insert += rowValues(driver, r) + u',';
    insert.chop(1);
    // Completes an unfinished record of the same uid; anything else already
    // there stays as it is.
    insert += QStringLiteral(
        " ON CONFLICT (station, local_id) DO UPDATE SET outcome = EXCLUDED.outcome,"
        " block_before = coalesce(records.block_before, EXCLUDED.block_before),"
        " block_sent = coalesce(records.block_sent, EXCLUDED.block_sent),"
        " block_after = EXCLUDED.block_after, verified = EXCLUDED.verified, forced = EXCLUDED.forced"
        " WHERE records.outcome = 'unfinished' AND EXCLUDED.outcome <> 'unfinished'"
        " AND records.uid = EXCLUDED.uid");
    const QString check = collisionCheck(driver, batch);
    QString collision;
    qint64 rows = 0;
    QSqlError problem;
    const bool ok = runReconnecting(db, *m_cancel, [&](QSqlQuery &q) {
        const qint64 left = m_deadline.isForever()
                                ? StatementTimeoutMs
                                : std::clamp<qint64>(m_deadline.remainingTime(), 1, StatementTimeoutMs);
        collision.clear();
        // When every record was added or completed, none met another uid.
        const bool written = q.exec(QStringLiteral("BEGIN"))
                             && q.exec(QStringLiteral("SELECT set_config('statement_timeout', '%1', true),"
                                                      " set_config('lock_timeout', '%1', true)").arg(left))
                             && q.exec(insert) && ((rows = q.numRowsAffected()) == batch.size() || q.exec(check));
        if (written && rows < batch.size() && q.next())
            collision = QStringLiteral("another history already uses station name %1: record %2 differs")
                            .arg(q.value(0).toString(), q.value(1).toString());
        if (written && collision.isEmpty() && q.exec(QStringLiteral("COMMIT")))
            return true;
        rollBack(db);
        return !collision.isEmpty();   // nothing to try again
    }, &problem);
    const QString what = QStringLiteral("cannot upload to the history server: ");
    if (!collision.isEmpty())
        return Failure{ServerError::Statement, what + collision};
    if (!ok)
        return statementFailure(db, problem, what);
    return rows;
}

ServerHistory::Records ServerHistory::select(const QString &where, const QVariantList &values, int limit,
                                             const QString &order)
{
    return select([&](QSqlQuery &) { return std::optional(Story::Query{where, values}); }, limit, order);
}

ServerHistory::Records ServerHistory::select(const Condition &condition, int limit, const QString &order)
{
    if (Result<void, ServerError> usable = ready(); !usable)
        return usable.failure();
    QList<ServerRecord> found;
    QSqlDatabase db = QSqlDatabase::database(m_name, false);
    QSqlError problem;
    const bool ok = runReconnecting(db, *m_cancel, [&](QSqlQuery &q) {
        const std::optional<Story::Query> where = condition(q);
        if (!where)
            return false;
        q.prepare(QStringLiteral("SELECT %1 FROM calitune.records%2 ORDER BY %3%4")
                      .arg(SelectedColumns,
                           where->condition.isEmpty() ? QString() : QStringLiteral(" WHERE ") + where->condition,
                           order, limit < 0 ? QString() : QStringLiteral(" LIMIT %1").arg(limit)));
        for (const QVariant &v : where->values)
            q.addBindValue(v);
        if (!q.exec())
            return false;
        found.clear();
        while (q.next())
            found.append(recordAt(q));
        return true;
    }, &problem);
    if (!ok)
        return statementFailure(db, problem, QStringLiteral("cannot read the history server: "));
    return found;
}

ServerHistory::Records ServerHistory::list(const Filter &filter)
{
    QStringList where;
    QVariantList values;
    auto add = [&where, &values](const QString &condition, const QVariantList &bound) {
        where << condition;
        values << bound;
    };
    if (!filter.port.isEmpty())
        add(QStringLiteral("(port = ? OR device = ?)"), {filter.port, filter.port});
    if (filter.radio) {
        const QStringList labels = sameRadioLabels(*filter.radio, filter.radioPrefix);
        add(QStringLiteral("radio IN (%1)").arg(QStringList(labels.size(), QStringLiteral("?")).join(u',')),
            QVariantList(labels.begin(), labels.end()));
    }
    if (!filter.station.isEmpty())
        add(QStringLiteral("station = ?"), {filter.station});
    if (filter.action)
        add(QStringLiteral("action = ?"), {actionName(*filter.action)});
    if (filter.outcome)
        add(QStringLiteral("outcome = ?"), {OutcomeName(*filter.outcome)});
    auto utc = [](const QDateTime &time) { return time.toUTC().toString(Qt::ISODateWithMs); };
    if (filter.since.isValid())
        add(QStringLiteral("time >= ?::timestamptz"), {utc(filter.since)});
    if (filter.until.isValid())
        add(QStringLiteral("time <= ?::timestamptz"), {utc(filter.until)});
    return select(where.join(QStringLiteral(" AND ")), values, filter.limit);
}

Result<std::optional<ServerRecord>, ServerError> ServerHistory::find(const QString &station, qint64 localId)
{
    const Records found = select(QStringLiteral("station = ? AND local_id = ?"), {station, localId}, 1);
    if (!found)
        return found.failure();
    return found->isEmpty() ? std::nullopt : std::optional(found->first());
}

ServerHistory::Records ServerHistory::story(const QString &id, const QString &radioPrefix)
{
    // Both steps on one connection, repeated together when it was lost.
    const auto story = [&](QSqlQuery &q) -> std::optional<Story::Query> {
        auto found = Story::of(q, id, radioPrefix, QStringLiteral("calitune.records"));
        return found ? std::optional(std::move(found).value()) : std::nullopt;
    };
    return select(story, -1, QStringLiteral("time, id"));
}

QString ServerHistory::adminSql(const QString &stationRole)
{
    const QString role = sqlIdentifier(stationRole);
    QStringList sql{QStringLiteral(
        "-- Calitune's history tables and the role its stations log in under.\n"
        "-- Run as the database's owner with the right to create roles. Running it\n"
        "-- again changes nothing; a newer Calitune's file brings the tables up to date:\n"
        "--   psql -v ON_ERROR_STOP=1 -d DATABASE -f /usr/share/calitune/calitune-server.sql\n"
        "BEGIN")};
    sql << schemaStatements(0);
    sql << QStringLiteral("DO $$ BEGIN\n"
                          "  IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = %1) THEN\n"
                          "    CREATE ROLE %2 NOLOGIN;\n"
                          "  END IF;\n"
                          "END $$")
               .arg(sqlLiteral(stationRole), role)
        << QStringLiteral("GRANT USAGE ON SCHEMA calitune TO %1").arg(role)
        << QStringLiteral("GRANT SELECT ON calitune.schema_version TO %1").arg(role)
        << QStringLiteral("GRANT SELECT ON calitune.records TO %1").arg(role)
        // Not the server's own id nor the upload time.
        << QStringLiteral("GRANT INSERT (%1) ON calitune.records TO %2").arg(Columns, role)
        << QStringLiteral("GRANT UPDATE (outcome, block_before, block_sent, block_after, verified, forced)"
                          " ON calitune.records TO %1")
               .arg(role)
        << QStringLiteral("COMMIT;\n"
                          "-- Then one login per station, and the stations it writes for:\n"
                          "--   CREATE ROLE station_01 LOGIN PASSWORD '...' IN ROLE %1;\n"
                          "--   INSERT INTO calitune.stations VALUES ('line-1', 'station_01');")
               .arg(role);
    return sql.join(QStringLiteral(";\n")) + u'\n';
}

} // namespace History
