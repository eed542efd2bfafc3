// The factory's history through the real command line: stations (each a
// calitune-cli process with its own local history, station name and radio)
// uploading to a real PostgreSQL server started here, which is stopped,
// killed and misconfigured under them.
#include "tests/TestRadio.h"
#include "history/HistoryStore.h"
#include "history/ServerHistory.h"
#include "sim/SimRadio.h"
#include "tests/CliRunner.h"
#include "tests/PgServer.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using Kind = SimRadio::FrameKind;
using Clock = std::chrono::steady_clock;

namespace {


QByteArray blockWith(int first, char own = 0x11)
{
    QByteArray b(12, 40);
    b[0] = char(first);
    return b + QByteArray(4, own);
}

} // namespace

class TestFactory : public QObject {
    Q_OBJECT
    PgServer m_server;
    QTemporaryDir m_dir;

    QString historyOf(const QString &station) const { return m_dir.filePath(station + ".db"); }

    // A station on the factory's line: its history, its name, one radio.
    QProcessEnvironment station(const QString &name, const QString &device, const QString &conninfo) const
    {
        QProcessEnvironment env = CliEnvironment({device}, historyOf(name));
        env.insert("CALITUNE_STATION", name);
        env.insert("CALITUNE_HISTORY_SERVER", conninfo);
        env.insert("PGPASSFILE", m_dir.filePath("no-password-file"));
        return env;
    }
    QProcessEnvironment station(const QString &name, const SimRadio &radio, const QString &db = "line") const
    {
        return station(name, radio.devicePath(), m_server.connectionString("postgres", db));
    }

    qint64 count(const QString &db)
    {
        return m_server.sql("SELECT count(*) FROM calitune.records", db).value_or("-1").toLongLong();
    }
    // A write with the server set: how long the process ran on after the
    // radio's exit frame.
    qint64 msAfterExitFrame(const QProcessEnvironment &env, SimRadio &radio, CliResult *result)
    {
        QProcess p;
        StartCli(p, {"write", "H400=33"}, env);
        *result = FinishCli(p);
        const Clock::time_point ended = Clock::now();
        const std::vector<SimRadio::Frame> frames = radio.frames();
        if (frames.empty() || frames.back().kind != Kind::Exit)
            return -1;
        return std::chrono::duration_cast<std::chrono::milliseconds>(ended - frames.back().at).count();
    }
    // A command that should end at once on a signal, sent once it runs.
    CliResult signalled(const QStringList &args, const QProcessEnvironment &env, const std::function<bool()> &running,
                        qint64 *msAfterSignal)
    {
        QProcess p;
        StartCli(p, args, env);
        QElapsedTimer waited;
        waited.start();
        while (!running() && waited.elapsed() < 30000)
            QThread::msleep(5);
        ::kill(pid_t(p.processId()), SIGTERM);
        waited.restart();
        const CliResult r = FinishCli(p);
        *msAfterSignal = waited.elapsed();
        return r;
    }
    // Every record of these stations' local histories on the server, none
    // twice, and nothing else of theirs.
    void eachRecordOnce(const QString &db, const QStringList &stations)
    {
        QStringList local;
        for (const QString &s : stations) {
            const History::Store::Records records = History::Store(historyOf(s)).list();
            for (const History::Record &r : records.value())
                local << QString("%1:%2").arg(s).arg(r.id);
        }
        QStringList where;
        for (const QString &s : stations)
            where << "'" + s + "'";
        QStringList server = m_server.sql("SELECT station || ':' || local_id FROM calitune.records WHERE station IN ("
                                              + where.join(',') + ")", db)
                                 .value_or("")
                                 .split('\n', Qt::SkipEmptyParts);
        local.sort();
        server.sort();
        QVERIFY(!local.isEmpty());
        QCOMPARE(server, local);
    }
    // Old records a station holds that the server has not had yet.
    void addLocalRecords(const QString &name, int count, const QString &file = {})
    {
        History::Store store(file.isEmpty() ? historyOf(name) : file);
        QVERIFY(store.prepare());
        for (int i = 0; i < count; ++i) {
            History::Record r;
            r.station = name;
            r.port = "COM1";
            r.device = "/dev/ttyUSB0";
            r.outcome = Outcome::Done;
            r.before = blockWith(i % 128);
            const auto added = store.add(r);
            QVERIFY2(added, qPrintable(added.text()));
        }
    }

private slots:
    void initTestCase()
    {
        if (!QSqlDatabase::isDriverAvailable("QPSQL"))
            QSKIP("Qt's QPSQL driver is not installed (Debian: libqt6sql6-psql)");
        if (PgServer::binDir().isEmpty())
            QSKIP("PostgreSQL is not installed (Debian: postgresql)");
        QString error;
        QVERIFY2(m_server.enableTls(&error) && m_server.start(&error), qPrintable(error));
        QVERIFY(m_server.sql("CREATE DATABASE line"));
    }

    // Eight stations write at once into a database without tables yet, each
    // with older records waiting.
    void eightStationsAtOnce()
    {
        std::vector<std::unique_ptr<SimRadio>> radios;
        std::vector<std::unique_ptr<QProcess>> runs;
        QStringList names;
        for (int s = 1; s <= 8; ++s) {
            names << QString("station-%1").arg(s);
            addLocalRecords(names.last(), 100);
            radios.push_back(std::make_unique<SimRadio>());
            radios.back()->setMemory(CalAddress, blockWith(0));
        }
        for (int s = 1; s <= 8; ++s) {
            runs.push_back(std::make_unique<QProcess>());
            StartCli(*runs.back(), {"write", QString("H400=%1").arg(s)}, station(names[s - 1], *radios[s - 1]));
        }
        for (int s = 1; s <= 8; ++s) {
            const CliResult r = FinishCli(*runs[s - 1]);
            QCOMPARE(r.code, 0);
            QVERIFY2(r.err.isEmpty(), r.err.constData());
            QCOMPARE(radios[s - 1]->memory(CalAddress, 1), QByteArray(1, char(s)));
        }
        eachRecordOnce("line", names);
        const CliResult listed = RunCli({"history", "--server", "--json", "--action", "write"},
                                        station("station-3", *radios[0]));
        QCOMPARE(listed.code, 0);
        const QJsonArray writes = listed.jsonArray();
        QCOMPARE(writes.size(), 8);
        for (const QJsonValue &w : writes) {
            const int s = w["station"].toString().section('-', 1).toInt();
            QCOMPARE(w["outcome"].toString(), "done");
            QCOMPARE(w["after"].toString(), QString::fromLatin1(blockWith(s).toHex()));
        }
    }

    void serverStoppedBetweenExchanges()
    {
        SimRadio radio;
        const QProcessEnvironment env = station("away", radio);
        for (int k = 1; k <= 20; ++k) {
            if (k == 11)
                QVERIFY(m_server.stop());
            const CliResult r = RunCli({"write", QString("H400=%1").arg(k)}, env);
            QCOMPARE(r.code, 0);
            QCOMPARE(radio.memory(CalAddress, 1), QByteArray(1, char(k)));
            if (k <= 10)
                QVERIFY2(r.err.isEmpty(), r.err.constData());
            else
                QVERIFY2(r.errLines().size() == 1 && r.err.startsWith("calitune-cli: warning: "), r.err.constData());
        }
        QString error;
        QVERIFY2(m_server.start(&error), qPrintable(error));
        CliResult r = RunCli({"history", "sync", "--json"}, env);
        QCOMPARE(r.code, 0);
        QCOMPARE(r.json().object(), QJsonObject({{"sent", 10}, {"waiting", 0}}));
        eachRecordOnce("line", {"away"});
        r = RunCli({"history", "sync", "--json"}, env);
        QCOMPARE(r.json().object(), QJsonObject({{"sent", 0}, {"waiting", 0}}));
    }

    void serverKilledInTheMiddleOfASync()
    {
        constexpr int Count = 10000;
        QVERIFY(m_server.sql("CREATE DATABASE crash"));
        QElapsedTimer filling;
        filling.start();
        addLocalRecords("bulk", Count);
        qInfo("%d local records stored in %lld ms", Count, filling.elapsed());
        const QProcessEnvironment env = station("bulk", "/dev/null", m_server.connectionString("postgres", "crash"));
        // Stopped by SIGTERM: what it says it sent is what the server holds.
        qint64 afterSignal = 0;
        CliResult r = signalled({"history", "sync", "--json"}, env, [this] { return count("crash") > 0; }, &afterSignal);
        QCOMPARE(r.code, 128 + SIGTERM);
        QVERIFY2(afterSignal < 3000, qPrintable(QString("%1 ms after SIGTERM").arg(afterSignal)));
        QCOMPARE(r.json()["error"].toString(), "interrupted");
        const qint64 stopped = count("crash");
        QCOMPARE(r.json()["sent"].toInteger(), stopped);
        QCOMPARE(r.json()["waiting"].toInteger(), Count - stopped);

        // Killed as soon as more arrives, watched over a connection of the
        // test's own: a psql each time would see it too late.
        QSqlDatabase watch = QSqlDatabase::addDatabase("QPSQL", "watch");
        watch.setConnectOptions(m_server.connectionString("postgres", "crash"));
        QVERIFY(watch.open());
        QProcess sync;
        StartCli(sync, {"history", "sync"}, env);
        QElapsedTimer waited;
        waited.start();
        for (QSqlQuery q(watch); waited.elapsed() < 30000; QThread::msleep(1))
            if (q.exec("SELECT count(*) FROM calitune.records") && q.next() && q.value(0).toLongLong() > stopped)
                break;
        const bool killed = m_server.kill();
        r = FinishCli(sync);
        QString error;
        QVERIFY2(m_server.start(&error), qPrintable(error));
        QVERIFY(killed);
        QCOMPARE(r.code, 9);
        QVERIFY2(r.errLines().size() == 1 && r.err.contains("history server") && r.err.contains("waiting"),
                 r.err.constData());

        const qint64 before = count("crash");
        QVERIFY2(before > stopped && before < Count, qPrintable(QString::number(before)));
        r = RunCli({"history", "sync", "--json"}, env);
        QCOMPARE(r.code, 0);
        QCOMPARE(r.json()["waiting"].toInteger(), 0);
        QVERIFY(r.json()["sent"].toInteger() >= Count - before);
        QCOMPARE(count("crash"), Count);
        eachRecordOnce("crash", {"bulk"});
    }

    // A server the station cannot use: one warning line, and the radio
    // exchange exactly as without a server.
    void unusableServerLeavesTheExchangeAlone()
    {
        QVERIFY(m_server.sql("CREATE ROLE alice LOGIN PASSWORD 'right'; CREATE DATABASE future"));
        {
            Result<History::ServerHistory, History::ServerError> future =
                History::ServerHistory::connect(m_server.connectionString("postgres", "future"));
            const Result<void, History::ServerError> tables = future ? future->ensureSchema() : future.failure();
            QVERIFY2(tables, qPrintable(tables.text()));
        }
        QVERIFY(m_server.sql(QString("INSERT INTO calitune.schema_version VALUES (%1)")
                                 .arg(History::ServerHistory::SchemaVersion + 1), "future"));
        const QList<std::pair<QString, QString>> servers{
            {m_server.connectionString("alice", "line"), "the history server refused the login"},
            {m_server.connectionString("postgres", "nowhere"), "the history server has no such database"},
            {m_server.connectionString("postgres", "future"), "the history server's tables are version"},
        };
        int value = 50;
        for (const auto &[conninfo, words] : servers) {
            SimRadio radio;
            radio.setMemory(CalAddress, blockWith(0));
            const CliResult r = RunCli({"write", QString("H400=%1").arg(++value)},
                                       station("misled", radio.devicePath(), conninfo));
            QCOMPARE(r.code, 0);
            QCOMPARE(radio.memory(CalAddress, 16), blockWith(value));
            QCOMPARE(radio.count(Kind::Write), 1);
            QCOMPARE(r.errLines().size(), 1);
            QVERIFY2(r.err.startsWith("calitune-cli: warning: " + words.toUtf8()), r.err.constData());
        }
        QCOMPARE(count("future"), 0);
    }

    // A radio written at one station, taken back at another from the
    // factory's record; another radio there is refused.
    void restoreFromAnotherStationsRecord()
    {
        SimRadio radio, other;
        radio.setMemory(CalAddress, blockWith(9));
        other.setMemory(CalAddress, blockWith(9, 0x22));
        QCOMPARE(RunCli({"write", "H400=1"}, station("bench-a", radio)).code, 0);
        CliResult r = RunCli({"history", "--server", "--station", "bench-a", "--json"}, station("bench-b", radio));
        const QString source = QString("bench-a:%1").arg(r.jsonArray().at(0)["id"].toInteger());

        r = RunCli({"restore", "--history", source, "--server"}, station("bench-b", radio));
        QCOMPARE(r.code, 0);
        QCOMPARE(radio.memory(CalAddress, 16), blockWith(9));
        r = RunCli({"history", "--server", "--station", "bench-b", "--json"}, station("bench-b", radio));
        QCOMPARE(r.jsonArray().at(0)["action"].toString(), "restore");
        QCOMPARE(r.jsonArray().at(0)["source_record"].toString(), source);

        r = RunCli({"restore", "--history", source, "--server", "--json"}, station("bench-b", other));
        QCOMPARE(r.code, 7);
        QCOMPARE(r.json()["error"].toString(), "other-radio");
        QCOMPARE(other.count(Kind::Write), 0);
        QCOMPARE(other.memory(CalAddress, 16), blockWith(9, 0x22));
        QVERIFY(!other.inProgrammingMode());
    }

    // One radio read unlabelled at one station, written with its label at
    // another: its story, asked by label or fingerprint anywhere, is both.
    void storyAcrossStations()
    {
        SimRadio radio, other;
        radio.setMemory(CalAddress, blockWith(5, 0x37));
        other.setMemory(CalAddress, blockWith(5, 0x38));
        QCOMPARE(RunCli({"read"}, station("story-a", radio)).code, 0);
        QCOMPARE(RunCli({"read"}, station("story-a", other)).code, 0);
        QCOMPARE(RunCli({"read", "--radio", "SN0008"}, station("story-b", other)).code, 0);
        QCOMPARE(RunCli({"write", "H400=6", "--radio", "SN0007"}, station("story-b", radio)).code, 0);

        QProcessEnvironment prefixed = station("story-c", radio);
        prefixed.insert("CALITUNE_RADIO_PREFIX", "SN");
        for (const char *id : {"SN0007", "0007", "37373737"}) {
            const CliResult r = RunCli({"history", "--server", "--story", id, "--json"}, prefixed);
            QCOMPARE(r.code, 0);
            const QJsonArray story = r.jsonArray();
            QCOMPARE(story.size(), 2);
            QCOMPARE(story[0]["station"].toString(), "story-a");
            QCOMPARE(story[0]["action"].toString(), "read");
            QVERIFY(story[0]["radio"].isNull());
            QCOMPARE(story[1]["station"].toString(), "story-b");
            QCOMPARE(story[1]["radio"].toString(), "SN0007");
            QCOMPARE(story[1]["port"].toString(), "COM1");
            for (const QJsonValue &rec : story)
                QCOMPARE(rec["fingerprint"].toString(), "37373737");
        }
        const CliResult text = RunCli({"history", "--server", "--story", "SN0007"}, prefixed);
        QVERIFY2(text.out.startsWith("STATION:ID") && text.out.indexOf("story-a:") < text.out.indexOf("story-b:")
                     && text.out.count('\n') == 3,
                 text.out.constData());
    }

    // The upload waits for the radio to be out of programming mode, and
    // takes little time after it.
    void uploadAfterTheExchange()
    {
        SimRadio radio;
        radio.setMemory(CalAddress, blockWith(0));
        CliResult r;
        const qint64 sinceExit = msAfterExitFrame(station("timed", radio), radio, &r);
        const qint64 endedMs = QDateTime::currentMSecsSinceEpoch();
        QCOMPARE(r.code, 0);
        QVERIFY2(sinceExit >= 0 && sinceExit < 2000, qPrintable(QString("%1 ms from the exit frame to the end").arg(sinceExit)));

        const QStringList row = m_server.sql("SELECT outcome, encode(block_after, 'hex'),"
                                             " (extract(epoch FROM uploaded_at) * 1000)::bigint"
                                             " FROM calitune.records WHERE station = 'timed'", "line")
                                    .value_or("")
                                    .split('|');
        QCOMPARE(row.size(), 3);
        QCOMPARE(row[0], "done");
        QCOMPARE(row[1], QString::fromLatin1(blockWith(33).toHex()));
        const qint64 early = endedMs - sinceExit - row[2].toLongLong();
        QVERIFY2(early <= 2, qPrintable(QString("uploaded %1 ms before the exit frame").arg(early)));
    }

    // Two PCs cloned from one image go by one station name: the second
    // history's records are refused, not merged, and wait.
    void twoHistoriesOneStationName()
    {
        addLocalRecords("twin", 2, m_dir.filePath("pc-a.db"));
        addLocalRecords("twin", 2, m_dir.filePath("pc-b.db"));
        QProcessEnvironment env = station("twin", "/dev/null", m_server.connectionString("postgres", "line"));
        env.insert("CALITUNE_HISTORY", m_dir.filePath("pc-a.db"));
        CliResult r = RunCli({"history", "sync", "--json"}, env);
        QCOMPARE(r.json().object(), QJsonObject({{"sent", 2}, {"waiting", 0}}));
        env.insert("CALITUNE_HISTORY", m_dir.filePath("pc-b.db"));
        r = RunCli({"history", "sync", "--json"}, env);
        QCOMPARE(r.code, 9);
        QCOMPARE(r.errLines().size(), 1);
        QVERIFY2(r.err.contains("another history already uses station name twin: record 1 differs"), r.err.constData());
        QCOMPARE(r.json()["error"].toString(), "server");
        QCOMPARE(r.json()["waiting"].toInteger(), 2);
        QStringList uids;
        const History::Store::Records records = History::Store(m_dir.filePath("pc-a.db")).list();
        for (const History::Record &rec : records.value())
            uids.prepend(rec.uid);
        QCOMPARE(m_server.sql("SELECT string_agg(uid, ',' ORDER BY local_id) FROM calitune.records WHERE station = 'twin'",
                              "line"),
                 uids.join(','));
    }

    // Two syncs of one history at once: each record goes, and is counted, once.
    void twoSyncsOfOneHistory()
    {
        constexpr int Count = 3000;
        addLocalRecords("doubled", Count);
        const QProcessEnvironment env = station("doubled", "/dev/null", m_server.connectionString("postgres", "line"));
        QProcess first, second;
        StartCli(first, {"history", "sync", "--json"}, env);
        StartCli(second, {"history", "sync", "--json"}, env);
        qint64 sent = 0;
        for (QProcess *p : {&first, &second}) {
            const CliResult r = FinishCli(*p);
            QCOMPARE(r.code, 0);
            QCOMPARE(r.json()["waiting"].toInteger(), 0);
            sent += r.json()["sent"].toInteger();
        }
        QCOMPARE(sent, Count);
        eachRecordOnce("line", {"doubled"});
    }

    // A password in the connection string, in either form: never in any
    // output, nor in the station's files, which only their user may read.
    void passwordNeitherShownNorStored()
    {
        const QByteArray secret = "Sekr3t-pw";
        const QString history = m_dir.filePath("private/secret.db");
        const QString keywords = m_server.connectionString("postgres", "line") + " password=" + secret;
        SimRadio radio;
        QProcessEnvironment env = station("private", radio.devicePath(), keywords);
        env.insert("CALITUNE_HISTORY", history);
        QVERIFY(QDir().mkpath(m_dir.filePath("private")));
        {   // what an earlier version kept: the whole string as the key of what the server has
            History::Store store(history);
            QVERIFY(store.prepare() && store.setSyncedRev(keywords, 1));
        }
        const QString uri = m_server.uri("postgres", "line").replace("postgres@", "postgres:" + secret + "@");
        QByteArray shown;
        for (const QString &conninfo : {keywords, uri}) {
            env.insert("CALITUNE_HISTORY_SERVER", conninfo);
            for (const QStringList &args : {QStringList{"config"}, QStringList{"config", "--json"},
                                            QStringList{"-v", "write", "H400=44"}}) {
                const CliResult r = RunCli(args, env);
                QCOMPARE(r.code, 0);
                QVERIFY2(r.err.isEmpty() || args.contains("-v"), r.err.constData());
                shown += r.out + r.err;
            }
        }
        env.insert("CALITUNE_HISTORY_SERVER", "host=/nonexistent password=" + secret);
        addLocalRecords("private", 1, history);
        const CliResult failed = RunCli({"history", "sync"}, env);
        QCOMPARE(failed.code, 9);
        shown += failed.err;
        QVERIFY2(!shown.contains(secret), shown.constData());
        QVERIFY(shown.contains("password=********") && shown.contains(":********@"));
        QCOMPARE(count("line") > 0, true);
        for (const QFileInfo &file : QDir(m_dir.filePath("private")).entryInfoList(QDir::Files)) {
            QFile f(file.filePath());
            QVERIFY(f.open(QIODevice::ReadOnly));
            QVERIFY2(!f.readAll().contains(secret), qPrintable(file.fileName()));
            if (!file.fileName().endsWith("-lock"))
                QVERIFY2(f.permissions() == (QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser),
                         qPrintable(file.fileName()));
        }
    }

    // A table held locked by another session for a minute: the exchange's
    // upload ends on time, a sync gives up, and SIGTERM ends a sync at once.
    void stalledServer()
    {
        SimRadio radio;
        const QProcessEnvironment env = station("stalled", radio);
        QVERIFY(RunCli({"history", "sync"}, env).code == 0);   // the tables exist
        QProcess holder;
        holder.start(PgServer::binDir() + "/psql", {"-X", "-q", "-d", m_server.connectionString("postgres", "line"), "-c",
                                                    "BEGIN; LOCK TABLE calitune.records IN ACCESS EXCLUSIVE MODE;"
                                                    " SELECT pg_sleep(60)"});
        auto release = [&] {
            m_server.sql("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE query LIKE '%pg_sleep(60)%'"
                         " AND pid <> pg_backend_pid()");
            holder.waitForFinished(10000);
        };
        auto releaseAnyway = qScopeGuard(release);
        QElapsedTimer waited;
        waited.start();
        while (m_server.sql("SELECT count(*) FROM pg_locks WHERE relation = 'calitune.records'::regclass"
                            " AND mode = 'AccessExclusiveLock' AND granted") != "1" && waited.elapsed() < 30000)
            QThread::msleep(20);

        CliResult r;
        const qint64 sinceExit = msAfterExitFrame(env, radio, &r);
        QCOMPARE(r.code, 0);
        QVERIFY2(sinceExit >= 0 && sinceExit < 3000, qPrintable(QString("%1 ms after the exit frame").arg(sinceExit)));
        QVERIFY2(r.errLines().size() == 1 && r.err.startsWith("calitune-cli: warning: "), r.err.constData());

        qint64 afterSignal = 0;
        r = signalled({"history", "sync", "--json"}, env, [] { QThread::msleep(500); return true; }, &afterSignal);
        QCOMPARE(r.code, 128 + SIGTERM);
        QVERIFY2(afterSignal < 3000, qPrintable(QString("%1 ms after SIGTERM").arg(afterSignal)));
        QCOMPARE(r.json()["waiting"].toInteger(), 1);

        waited.restart();
        r = RunCli({"history", "sync"}, env);
        QCOMPARE(r.code, 9);
        QVERIFY2(waited.elapsed() < 15000, qPrintable(QString("%1 ms").arg(waited.elapsed())));
        QCOMPARE(r.errLines().size(), 1);

        release();
        r = RunCli({"history", "sync", "--json"}, env);
        QCOMPARE(r.json().object(), QJsonObject({{"sent", 1}, {"waiting", 0}}));
    }

    // The server's certificate checked against the factory's own CA; a
    // server the CA did not sign is refused in one line.
    void tlsVerifiedServer()
    {
        SimRadio radio;
        CliResult r = RunCli({"write", "H400=21"}, station("tls", radio.devicePath(),
                                                            m_server.tlsConnectionString("line", m_server.caFile())));
        QCOMPARE(r.code, 0);
        QVERIFY2(r.err.isEmpty(), r.err.constData());
        QCOMPARE(m_server.sql("SELECT count(*) FROM calitune.records WHERE station = 'tls'", "line"), "1");

        const QProcessEnvironment impostor = station("tls", radio.devicePath(),
                                                     m_server.tlsConnectionString("line", m_server.otherCaFile()));
        const QByteArray refused = "the history server's certificate is not signed by the CA that sslrootcert names";
        r = RunCli({"write", "H400=22"}, impostor);
        QCOMPARE(r.code, 0);
        QVERIFY2(r.errLines().size() == 1 && r.err.contains(refused), r.err.constData());
        r = RunCli({"history", "sync"}, impostor);
        QCOMPARE(r.code, 9);
        QVERIFY2(r.errLines().size() == 1 && r.err.contains(refused), r.err.constData());
        QCOMPARE(m_server.sql("SELECT count(*) FROM calitune.records WHERE station = 'tls'", "line"), "1");
    }

    // A server address that takes the connection and never answers.
    void blackholedServer()
    {
        // Never accepted: the system completes the handshakes and nothing answers.
        const int hole = ::socket(AF_INET, SOCK_STREAM, 0);
        auto closeHole = qScopeGuard([hole] { ::close(hole); });
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        QVERIFY(::bind(hole, reinterpret_cast<sockaddr *>(&address), length) == 0 && ::listen(hole, 16) == 0
                && ::getsockname(hole, reinterpret_cast<sockaddr *>(&address), &length) == 0);
        const QString conninfo = QString("host=127.0.0.1 port=%1 dbname=line user=postgres").arg(ntohs(address.sin_port));
        SimRadio radio;
        CliResult r;
        const qint64 sinceExit = msAfterExitFrame(station("void", radio.devicePath(), conninfo), radio, &r);
        QCOMPARE(r.code, 0);
        QVERIFY2(sinceExit >= 0 && sinceExit < 3000, qPrintable(QString("%1 ms after the exit frame").arg(sinceExit)));
        QElapsedTimer waited;
        for (const QStringList &args : {QStringList{"history", "sync", "--json"}, QStringList{"history", "--server", "--json"}}) {
            waited.start();
            r = RunCli(args, station("void", radio.devicePath(), conninfo));
            QCOMPARE(r.code, 9);
            QCOMPARE(r.json()["error"].toString(), "server");
            QVERIFY2(waited.elapsed() < 7000, qPrintable(QString("%1 ms").arg(waited.elapsed())));
        }
    }
};

QTEST_GUILESS_MAIN(TestFactory)
#include "tst_factory.moc"
