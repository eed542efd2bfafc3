// The factory's history on a real PostgreSQL server started for the test:
// repeats and completions, and the stations' restricted role. Stations at once,
// a server killed mid-upload and the failures a station meets, each told in
// one line, are tested through the command line (tst_factory).

#include "history/ServerHistory.h"
#include "history/ServerSync.h"
#include "tests/PgServer.h"

#include <QFile>
#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QtTest>

using namespace History;

namespace {

// A station's record `id`, a minute after the one before.
Record makeRecord(const QString &station, qint64 id, Action action = Action::Read)
{
    Record r;
    std::tie(r.id, r.uid, r.station, r.action) = std::tuple(id, station + '/' + QString::number(id), station, action);
    r.time = QDateTime(QDate(2026, 3, 2), QTime(8, 0), Qt::UTC).addSecs(id * 60);
    std::tie(r.port, r.device) = std::tuple("ttyUSB0", "/dev/serial/by-id/usb-adapter-port0");
    std::tie(r.outcome, r.before) = std::tuple(Outcome::Done, QByteArray(16, char(id)));
    return r;
}

Record completed(Record r, Outcome outcome = Outcome::Done)
{
    std::tie(r.outcome, r.after, r.verified) = std::tuple(outcome, r.sent, outcome == Outcome::Done);
    return r;
}

// A write whose record was stored before the write ended.
Record unfinishedWrite(const QString &station, qint64 id)
{
    Record r = makeRecord(station, id, Action::Write);
    std::tie(r.outcome, r.sent) = std::tuple(History::Unfinished, QByteArray(16, 'S'));
    return r;
}

// Every field set, so that each must come back from the server.
Record fullRestore(const QString &station, qint64 id)
{
    Record r = makeRecord(station, id, Action::Restore);
    std::tie(r.source, r.radio, r.sent, r.forced) = std::tuple(Source::Window, "R-ü7", QByteArray(16, 'R'), true);
    std::tie(r.sourceFile, r.sourceSha256, r.sourceRecord) = std::tuple("/srv/R7.json", QString(64, 'c'), "OTHER:3");
    return completed(r);
}

// The call's value, or an empty one with *error saying why.
template <typename T>
T got(Result<T, ServerError> result, QString *error)
{
    if (!result) {
        *error = result.text();
        return T{};
    }
    return std::move(result).value();
}

template <typename T>
bool worked(const Result<T, ServerError> &result, QString *error)
{
    if (!result)
        *error = result.text();
    return result.ok();
}

} // namespace

class TestServerHistory : public QObject {
    Q_OBJECT

    PgServer m_server;

    qint64 count(const QString &db, const QString &where = "true")
    {
        return m_server.sql("SELECT count(*) FROM calitune.records WHERE " + where, db).value_or("-1").toLongLong();
    }
    // Connects, or ends the test with the reason.
    ServerHistory connected(const QString &conninfo)
    {
        Result<ServerHistory, ServerError> server = ServerHistory::connect(conninfo);
        if (!server)
            qFatal("cannot connect: %s", qPrintable(server.text()));
        return std::move(server).value();
    }

private slots:
    void initTestCase()
    {
        if (!QSqlDatabase::isDriverAvailable("QPSQL"))
            QSKIP("Qt's QPSQL driver is not installed (Debian: libqt6sql6-psql, which scripts/setup installs)");
        if (PgServer::binDir().isEmpty())
            QSKIP("PostgreSQL is not installed (Debian: postgresql; scripts/setup test installs it)");
        QString error;
        QVERIFY2(m_server.start(&error), qPrintable(error));
        QVERIFY(m_server.sql("CREATE DATABASE factory"));
    }

    void repeatsAndCompletions()
    {
        const QString station = "completing";
        ServerHistory server = connected(m_server.uri("postgres", "factory")
                                         + "?sslmode=disable&application_name=station%20one");
        QString error;
        const Record unfinished = unfinishedWrite(station, 1), read = makeRecord(station, 4);
        for (int repeat = 0; repeat < 2; ++repeat)
            QVERIFY2(worked(server.upload({unfinished, read}), &error), qPrintable(error));
        QCOMPARE(m_server.sql("SELECT count(*) FROM pg_stat_activity WHERE application_name = 'station one'"), "1");
        QCOMPARE(count("factory", "station = 'completing'"), 2);

        // The completion arrives; the blocks it carries from before do not.
        Record completion = completed(unfinished);
        completion.before = QByteArray(16, 'B');
        completion.sent = completion.after = QByteArray(16, 'X');
        Record expected = unfinished;
        std::tie(expected.outcome, expected.after, expected.verified) = std::tuple(Outcome::Done, completion.after, true);
        QVERIFY2(worked(server.upload({completion}), &error), qPrintable(error));
        const std::optional<ServerRecord> found = got(server.find(station, 1), &error);
        QVERIFY2(found && found->record == expected, qPrintable(error));

        // A completed record is never rewritten, by a repeat or anything else.
        Record changedRead = read;
        changedRead.outcome = Outcome::LinkLost;
        QVERIFY(worked(server.upload({completed(unfinished, Outcome::VerifyMismatch), unfinished, changedRead}), &error));
        QCOMPARE(got(server.find(station, 1), &error).value().record, expected);
        QCOMPARE(got(server.find(station, 4), &error).value().record, read);

        // The same record twice in one upload: the completed one counts.
        const Record second = unfinishedWrite(station, 2);
        const Result<qint64, ServerError> taken = server.upload({completed(second), second});
        QVERIFY2(worked(taken, &error), qPrintable(error));
        QCOMPARE(*taken, 1);
        QCOMPARE(got(server.find(station, 2), &error).value().record, completed(second));
        QCOMPARE(count("factory", "station = 'completing'"), 3);
        QVERIFY(!got(server.find(station, 3), &error) && error.isEmpty());
    }

    // Another history under the same station name: its records are never
    // merged into this one's, nor do they complete them.
    void stationNameTakenByAnotherHistory()
    {
        ServerHistory server = connected(m_server.connectionString("postgres", "factory"));
        QString error;
        const Record mine = unfinishedWrite("twin", 2);
        QVERIFY2(worked(server.upload({mine}), &error), qPrintable(error));
        Record theirs = completed(unfinishedWrite("twin", 2));
        theirs.uid = "other-pc/2";
        for (const QList<Record> &upload : {QList<Record>{makeRecord("twin", 1), theirs, makeRecord("twin", 3)},
                                            QList<Record>{theirs}}) {
            QVERIFY(!worked(server.upload(upload), &error));
            QCOMPARE(error, "cannot upload to the history server: another history already uses station name twin:"
                            " record 2 differs");
        }
        QCOMPARE(count("factory", "station = 'twin'"), 1);
        QCOMPARE(got(server.find("twin", 2), &error).value().record, mine);
        QVERIFY2(worked(server.upload({completed(mine)}), &error), qPrintable(error));
        QCOMPARE(got(server.find("twin", 2), &error).value().record, completed(mine));
    }

    // A local history that breaks while its records are sent: the sync fails
    // and says so, never "done" with records left behind.
    void localHistoryBrokenDuringSync()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("station.db");
        const QByteArray marker = QByteArray::fromHex("5eed5eed5eed5eed5eed5eed5eed0001");
        {
            Store local(path);
            QVERIFY(local.prepare());
            for (qint64 i = 1; i <= 120; ++i) {
                Record r = makeRecord("broken", i);
                std::tie(r.id, r.uid, r.before) = std::tuple(0, QString(), i == 60 ? marker : QByteArray(16, char(i)));
                QVERIFY(local.add(r));
            }
        }
        // Only the table's pages hold blocks: the index that counts what waits stays readable.
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        const QByteArray bytes = file.readAll();
        const qsizetype at = bytes.indexOf(marker);
        QVERIFY(at > 0 && bytes.indexOf(marker, at + 1) < 0);
        const qsizetype pageSize = qsizetype(quint8(bytes[16])) << 8 | quint8(bytes[17]);
        QVERIFY(file.seek(at / pageSize * pageSize) && file.write("\xff", 1) == 1);
        file.close();

        Store local(path);
        QCOMPARE(local.countChangedAfter(0).value(), 120);
        const SyncResult result = SyncToServer(local, m_server.connectionString("postgres", "factory"), {});
        QVERIFY(!result.done);
        QCOMPARE(result.done.kind(), SyncError::Local);
        QVERIFY2(result.done.text().startsWith("the local history: "), qPrintable(result.done.text()));
    }

    // A server of the first layout gets its records' fingerprints from their
    // blocks, and keeps them as unfinished records are completed.
    void fingerprintsOfAnOlderServer()
    {
        QVERIFY(m_server.sql("CREATE DATABASE older"));
        QString error;
        const Record unfinished = unfinishedWrite("old", 1), read = makeRecord("old", 2);
        Record blockless = unfinishedWrite("old", 3);
        blockless.before.reset();
        {
            ServerHistory server = connected(m_server.connectionString("postgres", "older"));
            QVERIFY2(worked(server.upload({unfinished, read, blockless}), &error), qPrintable(error));
        }
        QVERIFY(m_server.sql("DROP TRIGGER set_fingerprint ON calitune.records; DROP FUNCTION calitune.set_fingerprint();"
                             "ALTER TABLE calitune.records DROP COLUMN fingerprint;"
                             "UPDATE calitune.schema_version SET version = 1", "older"));
        ServerHistory server = connected(m_server.connectionString("postgres", "older"));
        Record completion = completed(blockless);
        completion.before = QByteArray(12, 'b') + "\x0a\x0b\x0c\x0d";
        QVERIFY2(worked(server.upload({completed(unfinished), completion}), &error), qPrintable(error));
        QCOMPARE(m_server.sql("SELECT string_agg(coalesce(fingerprint, '-'), ' ' ORDER BY local_id) FROM calitune.records",
                              "older"),
                 "01010101 02020202 0a0b0c0d");
        QCOMPARE(m_server.sql("SELECT max(version) FROM calitune.schema_version", "older"), "3");
        QCOMPARE(got(server.story("0a0b0c0d", {}), &error).size(), 1);
    }

    // The administrator's SQL, shown in the README and packed as a file, run
    // twice; a station's login writes only its own station's records, through
    // the program or through plain SQL.
    void stationRole()
    {
        const QByteArray sql = ServerHistory::adminSql().toUtf8();
        QFile readme(QStringLiteral(QT_TESTCASE_SOURCEDIR "/../README.md"));
        QFile packed(QStringLiteral(QT_TESTCASE_SOURCEDIR "/../packaging/calitune-server.sql"));
        QVERIFY(readme.open(QIODevice::ReadOnly) && packed.open(QIODevice::ReadOnly));
        QVERIFY2(readme.readAll().contains("```sql\n" + sql + "```\n"),
                 "README.md does not show the set-up SQL that ServerHistory::adminSql() gives");
        QVERIFY2(packed.readAll() == sql, "packaging/calitune-server.sql is not what ServerHistory::adminSql() gives");
        QString error;
        QVERIFY(m_server.sql("CREATE DATABASE locked; CREATE DATABASE bare"));
        const QString layout = "SELECT string_agg(version::text, ',' ORDER BY version) FROM calitune.schema_version;"
                               "SELECT count(*) FROM pg_trigger WHERE tgrelid = 'calitune.records'::regclass;";
        QVERIFY2(m_server.sql(ServerHistory::adminSql(), "locked", &error), qPrintable(error));
        const std::optional<QString> once = m_server.sql(layout, "locked");
        QVERIFY2(m_server.sql(ServerHistory::adminSql(), "locked", &error), qPrintable(error));
        QCOMPARE(m_server.sql(layout, "locked"), once);
        QCOMPARE(once.value_or("").section('\n', 0, 0), "1,2,3");
        QVERIFY(m_server.sql("CREATE ROLE station1 LOGIN PASSWORD 'pw1' IN ROLE calitune_station;"
                             "CREATE ROLE reader LOGIN PASSWORD 'pw2' IN ROLE calitune_station;"
                             "ALTER ROLE reader SET default_transaction_read_only = on;"
                             "INSERT INTO calitune.stations VALUES ('line-1', 'station1'), ('line-2', 'station2')",
                             "locked"));
        QTemporaryDir home;
        QFile passwords(home.filePath("pgpass")), services(home.filePath("pg_service.conf"));
        QVERIFY(passwords.open(QIODevice::WriteOnly) && passwords.write("*:*:*:station1:pw1\n*:*:*:reader:pw2\n") > 0);
        passwords.close();
        QVERIFY(passwords.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
        const QString service = "[calitune]\n" + m_server.connectionString("station1", "locked").replace(' ', '\n') + '\n';
        QVERIFY(services.open(QIODevice::WriteOnly) && services.write(service.toUtf8()) > 0);
        services.close();
        qputenv("PGPASSFILE", QFile::encodeName(passwords.fileName()));
        qputenv("PGSERVICEFILE", QFile::encodeName(services.fileName()));
        auto forgetPasswords = qScopeGuard([] { qunsetenv("PGPASSFILE"); qunsetenv("PGSERVICEFILE"); });

        ServerHistory station = connected("service=calitune");
        const Record unfinished = unfinishedWrite("line-1", 1), done = fullRestore("line-1", 2);
        QVERIFY2(worked(station.upload({unfinished, done}), &error), qPrintable(error));
        QVERIFY2(worked(station.upload({completed(unfinished)}), &error), qPrintable(error));
        QList<Record> listed;
        for (const ServerRecord &s : got(station.list({}), &error))
            listed << s.record;
        QVERIFY(listed == QList<Record>({done, completed(unfinished)}));
        QVERIFY(worked(station.upload({unfinishedWrite("line-1", 3)}), &error));
        QCOMPARE(m_server.sql("SELECT count(*) FROM calitune.records", "locked", nullptr, "station1"), "3");
        QVERIFY(ServerHistory(connected(m_server.connectionString("postgres", "locked"))).upload({unfinishedWrite("line-2", 7)}));
        for (const char *refused : {"DELETE FROM calitune.records", "TRUNCATE calitune.records",
                                    "UPDATE calitune.records SET block_before = block_sent",
                                    "UPDATE calitune.records SET outcome = 'verify' WHERE local_id = 1",
                                    "UPDATE calitune.records SET block_after = NULL WHERE local_id = 2",
                                    "DROP TABLE calitune.records",
                                    "INSERT INTO calitune.records (station, local_id, uid, time, source, port, device,"
                                    " action, outcome, uploaded_at) VALUES ('line-1', 9, 'u', now(), 'cli', '', '',"
                                    " 'read', 'done', now() - interval '1 year')",
                                    "SET ROLE calitune_station; INSERT INTO calitune.records (station, local_id, uid,"
                                    " time, source, port, device, action, outcome, block_sent) VALUES ('line-2', 2,"
                                    " 'forged2', now(), 'cli', '', '', 'write', 'unfinished', '\\x7f7f7f7f7f7f7f7f7f7f7f7f7f7f7f7f')",
                                    "UPDATE calitune.records SET outcome = 'done', block_after = block_sent WHERE station = 'line-2'"})
            QVERIFY2(!m_server.sql(refused, "locked", nullptr, "station1"), refused);
        QVERIFY(!worked(station.upload({makeRecord("line-2", 1)}), &error));
        QCOMPARE(error, "cannot upload to the history server: login station1 may not write records of station line-2");
        // Not even the owner rewrites the blocks of an unfinished record.
        QVERIFY(!m_server.sql("UPDATE calitune.records SET block_sent = NULL WHERE local_id = 3", "locked"));
        QVERIFY(got(station.find("line-1", 2), &error).value().record == done);

        ServerHistory reader = connected(m_server.connectionString("reader", "locked"));
        QVERIFY(!worked(reader.upload({makeRecord("line-2", 1)}), &error));
        QVERIFY2(error.startsWith("cannot upload to the history server: the server is read-only (") && !error.contains('\n'),
                 qPrintable(error));
        QCOMPARE(got(reader.list({}), &error).size(), 4);
        QCOMPARE(count("locked", "station = 'line-2' AND outcome = 'unfinished' AND uid = 'line-2/7'"), 1);
        QVERIFY(!worked(connected(m_server.connectionString("station1", "bare")).ensureSchema(), &error));
        QVERIFY2(error.contains("the administrator runs the set-up SQL (calitune-cli server-sql)"), qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(TestServerHistory)
#include "tst_serverhistory.moc"
