// The factory's history on a real PostgreSQL server started for the test:
// repeats and completions, the stations' restricted role, and the failures a
// station meets, each told in one line. Stations at once and a server killed
// mid-upload are tested through the command line (tst_factory).

#include "history/ServerHistory.h"
#include "tests/PgServer.h"

#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>

using namespace History;

namespace {

// The i-th record of a station, the same in every process. Stations named
// "…-N" are N seconds apart, so that no two records share a time.
Record makeRecord(const QString &station, qint64 i)
{
    Record r;
    r.id = i;
    r.uid = QString("%1/%2").arg(station).arg(i);
    r.time = QDateTime(QDate(2026, 3, 2), QTime(8, 0), Qt::UTC)
                 .addSecs(i * 60 + station.section(u'-', -1).toInt());
    r.source = i % 2 ? Source::Window : Source::Cli;
    r.station = station;
    r.port = QString("ttyUSB%1").arg(i % 3);
    r.device = QString("/dev/serial/by-id/usb-adapter-%1-port0").arg(i % 3);
    if (i % 5)
        r.radio = QString("R%1").arg(i % 40);
    r.action = Action(i % 4);
    r.outcome = i % 7 ? Outcome::Done : Outcome::NoReply;
    r.before = QByteArray(15, char(i)).prepend(char(i >> 8));
    if (r.action == Action::Write || r.action == Action::Restore) {
        r.sent = QByteArray(16, char(i + 1));
        r.after = r.sent;
        r.verified = true;
    }
    if (r.action == Action::Restore) {
        r.forced = i % 3 == 0;
        r.sourceFile = QString("/srv/backups/R%1.cal").arg(i % 40);
        r.sourceSha256 = QString(64, u'c');
        r.sourceRecord = QString("OTHER:%1").arg(i);
    }
    return r;
}

// A write whose record was stored before the write ended.
Record unfinishedWrite(const QString &station, qint64 i)
{
    Record r = makeRecord(station, i);
    r.action = Action::Write;
    r.outcome = Outcome::Unfinished;
    r.sent = QByteArray(16, 'S');
    r.after.reset();
    r.verified.reset();
    return r;
}

Record completed(Record r, Outcome outcome = Outcome::Done)
{
    r.outcome = outcome;
    r.after = r.sent;
    r.verified = outcome == Outcome::Done;
    return r;
}

QList<Record> recordsOf(const QList<ServerRecord> &found)
{
    QList<Record> records;
    for (const ServerRecord &s : found)
        records.append(s.record);
    return records;
}

} // namespace

class TestServerHistory : public QObject {
    Q_OBJECT

    PgServer m_server;

    qint64 count(const QString &db, const QString &where = "true")
    {
        return m_server.sql("SELECT count(*) FROM calitune.records WHERE " + where, db)
            .value_or("-1").toLongLong();
    }

    // Connects, or fails the test with the reason.
    ServerHistory connected(const QString &conninfo)
    {
        QString error;
        std::optional<ServerHistory> server = ServerHistory::connect(conninfo, &error);
        if (!server)
            qFatal("cannot connect: %s", qPrintable(error));
        return std::move(*server);
    }

private slots:
    void initTestCase()
    {
        if (!QSqlDatabase::isDriverAvailable("QPSQL"))
            QSKIP("Qt's QPSQL driver is not installed (Debian: libqt6sql6-psql, which scripts/setup"
                  " installs)");
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
        QVERIFY2(server.upload({unfinished, read}, &error), qPrintable(error));
        QCOMPARE(m_server.sql(QStringLiteral("SELECT count(*) FROM pg_stat_activity"
                                             " WHERE application_name = 'station one'")), "1");
        QVERIFY2(server.upload({unfinished, read}, &error), qPrintable(error));
        QCOMPARE(count("factory", "station = 'completing'"), 2);

        // The completion arrives; the blocks it carries from before do not.
        Record completion = completed(unfinished);
        completion.before = QByteArray(16, 'B');
        completion.sent = QByteArray(16, 'X');
        completion.after = completion.sent;
        Record expected = unfinished;
        expected.outcome = Outcome::Done;
        expected.after = completion.after;
        expected.verified = true;
        QVERIFY2(server.upload({completion}, &error), qPrintable(error));
        const std::optional<ServerRecord> found = server.find(station, 1, &error);
        QVERIFY2(found, qPrintable(error));
        QCOMPARE(found->record, expected);
        QCOMPARE(server.find(found->serverId, &error).value().record, expected);

        // A completed record is never rewritten, by a repeat or anything else.
        Record changedRead = read;
        changedRead.outcome = Outcome::LinkLost;
        const QList<Record> again{completed(unfinished, Outcome::VerifyMismatch), unfinished, changedRead};
        QVERIFY2(server.upload(again, &error), qPrintable(error));
        QCOMPARE(server.find(station, 1, &error).value().record, expected);
        QCOMPARE(server.find(station, 4, &error).value().record, read);

        // The same record twice in one upload: the completed one counts.
        const Record second = unfinishedWrite(station, 2);
        QVERIFY2(server.upload({completed(second), second}, &error), qPrintable(error));
        QCOMPARE(server.find(station, 2, &error).value().record, completed(second));
        QCOMPARE(count("factory", "station = 'completing'"), 3);
        QVERIFY(!server.find(station, 3, &error));
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }

    // The stations' role from the administrator's SQL: it adds, reads and
    // completes records, and can do nothing else to them.
    void stationRole()
    {
        // The set-up an administrator runs is the one the README shows.
        QFile readme(QStringLiteral(QT_TESTCASE_SOURCEDIR "/../README.md"));
        QVERIFY(readme.open(QIODevice::ReadOnly));
        QVERIFY2(readme.readAll().contains("```sql\n" + ServerHistory::adminSql().toUtf8() + "```\n"),
                 "README.md does not show the set-up SQL that ServerHistory::adminSql() gives");
        QVERIFY(m_server.sql("CREATE DATABASE locked; CREATE DATABASE bare"));
        QString error;
        QVERIFY2(m_server.sql(ServerHistory::adminSql(), "locked", &error), qPrintable(error));
        QVERIFY(m_server.sql(QStringLiteral(
            "CREATE ROLE station1 LOGIN PASSWORD 'pw1' IN ROLE calitune_station;"
            "CREATE ROLE reader LOGIN PASSWORD 'pw2' IN ROLE calitune_station;"
            "ALTER ROLE reader SET default_transaction_read_only = on")));
        QTemporaryDir home;
        QFile passwords(home.filePath("pgpass"));
        QVERIFY(passwords.open(QIODevice::WriteOnly)
                && passwords.write("*:*:*:station1:pw1\n*:*:*:reader:pw2\n") > 0);
        passwords.close();
        QVERIFY(passwords.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
        qputenv("PGPASSFILE", QFile::encodeName(passwords.fileName()));

        ServerHistory station = connected(m_server.uri("station1", "locked"));
        const Record unfinished = unfinishedWrite("line-1", 1), done = makeRecord("line-1", 2);
        QVERIFY2(station.upload({unfinished, done}, &error), qPrintable(error));
        QVERIFY2(station.upload({completed(unfinished)}, &error), qPrintable(error));
        QCOMPARE(recordsOf(station.list({}, &error)), QList<Record>({done, completed(unfinished)}));

        QSqlDatabase raw = QSqlDatabase::addDatabase("QPSQL", "raw");
        raw.setConnectOptions(m_server.connectionString("station1", "locked"));
        QVERIFY2(raw.open(), qPrintable(raw.lastError().text()));
        for (const char *refused : {"DELETE FROM calitune.records", "TRUNCATE calitune.records",
                                    "UPDATE calitune.records SET block_before = block_sent",
                                    "UPDATE calitune.records SET outcome = 'verify' WHERE local_id = 1",
                                    "UPDATE calitune.records SET block_after = NULL WHERE local_id = 2",
                                    "DROP TABLE calitune.records",
                                    "INSERT INTO calitune.records (station, local_id, uid, time, source, port,"
                                    " device, action, outcome, uploaded_at) VALUES ('line-1', 9, 'u', now(),"
                                    " 'cli', '', '', 'read', 'done', now() - interval '1 year')"}) {
            QSqlQuery q(raw);
            QVERIFY2(!q.exec(QString::fromLatin1(refused)), refused);
        }
        raw.close();
        raw = QSqlDatabase();
        QSqlDatabase::removeDatabase("raw");
        // Not even the owner rewrites the blocks of an unfinished record.
        QVERIFY(station.upload({unfinishedWrite("line-1", 3)}, &error));
        QVERIFY(!m_server.sql("UPDATE calitune.records SET block_sent = NULL WHERE local_id = 3",
                              "locked"));
        QCOMPARE(station.find("line-1", 2, &error).value().record, done);

        ServerHistory reader = connected(m_server.connectionString("reader", "locked"));
        QVERIFY(!reader.upload({makeRecord("line-2", 1)}, &error));
        QVERIFY2(error.contains(QLatin1String("read-only")), qPrintable(error));
        QCOMPARE(reader.list({}, &error).size(), 3);

        ServerHistory empty = connected(m_server.connectionString("station1", "bare"));
        QVERIFY(!empty.ensureSchema(&error));
        QVERIFY2(error.contains(QLatin1String("administrator runs the setup SQL")), qPrintable(error));
        qunsetenv("PGPASSFILE");
    }

    // Each failure a station meets is told in one line, without a long wait.
    void clearErrors()
    {
        QVERIFY(m_server.sql("CREATE ROLE alice LOGIN PASSWORD 'right'; CREATE DATABASE future"));
        ServerHistory owner = connected(m_server.connectionString("postgres", "future"));
        QString error;
        QVERIFY2(owner.ensureSchema(&error), qPrintable(error));
        QVERIFY(m_server.sql(QString("UPDATE calitune.schema_version SET version = %1")
                                 .arg(ServerHistory::SchemaVersion + 1), "future"));

        auto failure = [](const QString &conninfo) {
            QElapsedTimer timer;
            timer.start();
            QString error;
            std::optional<ServerHistory> server = ServerHistory::connect(conninfo, &error);
            if (server && server->upload({makeRecord("late", 1)}, &error))
                error.clear();
            return timer.elapsed() < 10000 && !error.contains(u'\n') ? error : "slow: " + error;
        };
        auto expect = [](const QString &error, const char *phrase) {
            QVERIFY2(error.startsWith(QLatin1String(phrase)), qPrintable(error));
        };
        expect(failure(m_server.connectionString("alice") + " password=wrong"),
               "the history server refused the login: ");
        expect(failure(m_server.uri("postgres", "nowhere")),
               "the history server has no such database: ");
        expect(failure(m_server.connectionString("postgres", "future")),
               "the history server's tables are version 2, newer than this program's 1");
        QCOMPARE(count("future"), 0);
        QVERIFY(m_server.stop());
        expect(failure(m_server.connectionString()), "cannot reach the history server: ");
        QVERIFY(m_server.start());
    }
};

QTEST_GUILESS_MAIN(TestServerHistory)

#include "tst_serverhistory.moc"
