// The local history: records in SQLite, the spool beside it, the files it
// upgrades and the files it leaves alone. The binary is also the helper
// process of the multi-process cases (helperMain).
#include "history/HistoryStore.h"

#include <QProcess>
#include <QScopeGuard>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QUuid>
#include <QtTest>
#include <sys/stat.h>
#include <unistd.h>

using namespace History;

namespace {

QByteArray blockOf(int seed)
{
    QByteArray block(16, '\0');
    for (int i = 0; i < 16; ++i)
        block[i] = char((seed * 37 + i * 11) & 0xff);
    return block;
}

// Unbuffered: the test reads the line while the helper still runs.
void say(const QByteArray &line)
{
    if (::write(STDOUT_FILENO, (line + '\n').constData(), size_t(line.size() + 1)) < 0)
        _exit(3);
}

QByteArray contentOf(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

QStringList uidsOf(const QList<Record> &records)
{
    QStringList uids;
    for (const Record &r : records)
        uids << r.uid;
    return uids;
}

// A connection of the test's own, as another program would open the file.
struct RawDb {
    const QString name = QUuid::createUuid().toString();
    explicit RawDb(const QString &path)
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        db.open();
    }
    ~RawDb()
    {
        QSqlDatabase::database(name, false).close();
        QSqlDatabase::removeDatabase(name);
    }
    bool exec(const QString &sql) const
    {
        return QSqlQuery(QSqlDatabase::database(name, false)).exec(sql);
    }
    QVariant value(const QString &sql) const
    {
        QSqlQuery q(QSqlDatabase::database(name, false));
        return q.exec(sql) && q.next() ? q.value(0) : QVariant();
    }
};

// --writer DB COUNT PORT  adds COUNT records, exits 1 on a failure
// --hold DB MS [every]    says "held", holds the write lock (every lock) for MS ms
// --lookup DB             says who it runs as and what a look-up and prepare() give
int helperMain(const QStringList &args)
{
    if (args[1] == QLatin1String("--writer")) {
        Store store(args[2]);
        store.prepare();
        for (int i = 0; i < args[3].toInt(); ++i) {
            Record r;
            r.port = args[4];
            r.before = blockOf(i);
            if (!store.add(r))
                return say(store.lastError().toUtf8()), 1;
        }
        return 0;
    }
    if (args[1] == QLatin1String("--hold")) {
        RawDb raw(args[2]);
        const bool every = args.value(4) == QLatin1String("every");
        if ((every && !raw.exec("PRAGMA locking_mode = EXCLUSIVE"))
            || !raw.exec(every ? "BEGIN EXCLUSIVE" : "BEGIN IMMEDIATE")
            || !raw.exec("INSERT INTO sync_state VALUES ('holder', 0)"))
            return 1;
        say("held");
        QThread::msleep(args[3].toULong());
        return raw.exec("ROLLBACK") ? 0 : 1;
    }
    say("euid " + QByteArray::number(::geteuid()));
    Store store(args[2]);
    const qsizetype listed = store.list().size();
    say("listed " + QByteArray::number(listed) + ' ' + store.lastError().toUtf8());
    const bool prepared = store.prepare();
    say("prepared " + QByteArray::number(prepared) + ' ' + store.lastError().toUtf8());
    return 0;
}

} // namespace

class TestHistory : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString file(const QString &name) const { return m_dir.filePath(name); }

    QProcess *helper(const QStringList &args)
    {
        auto *p = new QProcess(this);
        p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p->start(QCoreApplication::applicationFilePath(), args);
        return p;
    }
    // Returns once the helper holds the lock.
    QProcess *hold(const QString &db, int ms, const char *which = "")
    {
        QProcess *p = helper({"--hold", db, QString::number(ms), which});
        while (!p->canReadLine() && p->waitForReadyRead(5000)) {
        }
        if (p->readLine() != "held\n")
            qWarning("the lock holder did not start");
        return p;
    }

private slots:
    void recordsRoundTrip()
    {
        const QString db = file("roundtrip.db");
        Record read, restore;   // read as another station stored it; restore left to the store
        read.uid = "0123456789abcdef0123456789abcdef";
        read.time = QDateTime(QDate(2024, 5, 17), QTime(9, 41, 7, 250), Qt::UTC);
        std::tie(read.station, read.port, read.device) = std::tuple("BENCH-2", "COM3", "/dev/ttyUSB0");
        std::tie(read.outcome, read.before) = std::tuple(Outcome::Done, blockOf(1));
        std::tie(restore.source, restore.port, restore.device, restore.radio, restore.action) =
            std::tuple(Source::Window, "COM4", "/dev/ttyUSB1", "R-17", Action::Restore);
        std::tie(restore.before, restore.sent, restore.forced) = std::tuple(blockOf(2), blockOf(3), true);
        std::tie(restore.sourceFile, restore.sourceSha256, restore.sourceRecord) =
            std::tuple("/backups/r17.json", QString(64, 'a'), "OTHER:41");
        {
            Store store(db);
            QVERIFY(store.add(read) && store.add(restore));
            QVERIFY(restore.id > read.id && restore.uid.size() == 32 && restore.station == stationName());
            std::tie(restore.outcome, restore.after, restore.verified) =
                std::tuple(Outcome::VerifyMismatch, blockOf(9), false);
            QVERIFY(store.complete(restore));
            Record bad;
            bad.before = QByteArray(15, 'x');
            QVERIFY(!store.add(bad));
        }
        Store again(db);
        const QList<Record> all = again.list();
        QCOMPARE(all.size(), 2);
        QVERIFY(all[1] == read);
        QVERIFY(all[0].rev > restore.rev);   // a completion is a change of its own
        restore.rev = all[0].rev;
        QVERIFY(all[0] == restore);
        QCOMPARE(uidsOf(again.changedAfter(read.rev, 10)), uidsOf({restore}));
        QVERIFY(again.setSyncedRev("factory", 7));
        QCOMPARE(again.syncedRev("factory"), 7);

        // What another program finds: UTC text times that sort, and the constraints.
        RawDb raw(db);
        QCOMPARE(raw.value("SELECT time FROM records WHERE id = 1").toString(), "2024-05-17T09:41:07.250Z");
        const QString insert = "INSERT INTO records (uid, rev, time, source, station, port, device, action,"
                               " outcome, block_before) VALUES (%1, %1, 't', 'cli', 's', 'p', 'd', 'read', %2, %3)";
        QVERIFY(raw.exec(insert.arg("100", "'done'", "NULL")));
        QVERIFY(!raw.exec(insert.arg("101", "'fine'", "NULL")));
        QVERIFY(!raw.exec(insert.arg("102", "'done'", "x'00ff'")));
    }

    // By time, newest first; of the same time the later stored first.
    void newestFirst()
    {
        Store store(file("order.db"));
        const QDateTime t0(QDate(2024, 6, 1), QTime(10, 0), Qt::UTC);
        const int minutes[] = {0, 1, 3, 3, -10};   // the last stored late, but the oldest
        for (int i = 0; i < 5; ++i) {
            Record r;
            r.uid = QString::number(i);
            r.time = t0.addSecs(60 * minutes[i]);
            QVERIFY(store.add(r));
        }
        QCOMPARE(uidsOf(store.list()).join(QString()), "32104");
    }

    void offInAnyCaseAndLookupsCreateNothing()
    {
        for (const char *off : {"off", "OFF", "Off"}) {
            Store store{QString::fromLatin1(off)};
            Record r;
            QVERIFY2(!store.enabled() && store.prepare() && store.add(r) && store.list().isEmpty(), off);
        }
        const QString missing = file("deeper/none.db");
        Store store(missing);
        QVERIFY(store.list().isEmpty());
        QCOMPARE(store.lastError(), "there is no history yet at " + missing);
        QVERIFY(!QFileInfo::exists(file("deeper")));
    }

    void upgradesVersion1InPlace()
    {
        const QString db = file("version1.db");
        const struct { const char *action, *outcome; std::optional<QByteArray> before, sent; } rows[] = {
            {"read", "done", blockOf(1), std::nullopt},
            {"write", "unfinished", blockOf(2), blockOf(3)},   // deleted: no id moves into its place
            {"restore", "link-lost", std::nullopt, blockOf(4)},
            {"write", "verify", blockOf(5), blockOf(6)},
            {"read", "done", blockOf(7), std::nullopt},   // deleted: its id is not given again
        };
        {
            RawDb raw(db);
            QVERIFY(raw.exec("PRAGMA journal_mode=WAL")
                    && raw.exec("CREATE TABLE schema_version (version INTEGER NOT NULL)")
                    && raw.exec("INSERT INTO schema_version (version) VALUES (1)")
                    && raw.exec("CREATE TABLE records (id INTEGER PRIMARY KEY AUTOINCREMENT, time TEXT NOT NULL,"
                                " source TEXT NOT NULL, host TEXT NOT NULL, port TEXT NOT NULL, device TEXT NOT NULL,"
                                " action TEXT NOT NULL, block_before BLOB, block_sent BLOB, outcome TEXT NOT NULL)"));
            const auto blob = [](const std::optional<QByteArray> &b) { return b ? "x'" + b->toHex() + "'" : "NULL"; };
            for (const auto &row : rows)
                QVERIFY(raw.exec(QString("INSERT INTO records (time, source, host, port, device, action, block_before,"
                                         " block_sent, outcome) VALUES ('2023-01-02T03:04:05.%1Z', 'cli', 'bench-1',"
                                         " 'COM3', '/dev/ttyUSB0', '%2', %3, %4, '%5')")
                                     .arg(&row - rows + 100).arg(row.action, blob(row.before), blob(row.sent), row.outcome)));
            QVERIFY(raw.exec("DELETE FROM records WHERE id IN (2, 5)"));
        }

        Store store(db);
        const QList<Record> all = store.list();   // a look-up upgrades too
        QCOMPARE(all.size(), 3);
        QSet<QString> uids;
        for (const Record &r : all) {
            const auto &row = rows[r.id - 1];
            QCOMPARE(r.rev, r.id);
            QCOMPARE(r.time, QDateTime(QDate(2023, 1, 2), QTime(3, 4, 5, 99 + int(r.id)), Qt::UTC));
            QCOMPARE(r.station + r.port + r.device, "bench-1COM3/dev/ttyUSB0");
            QCOMPARE(actionName(r.action) + ' ' + OutcomeName(r.outcome), QString(row.action) + ' ' + row.outcome);
            QCOMPARE(r.before, row.before);
            QCOMPARE(r.sent, row.sent);
            uids.insert(r.uid);
        }
        QCOMPARE(uids.size(), 3);
        Record next;
        QVERIFY(store.add(next));
        QCOMPARE(next.id, 6);
        RawDb raw(db);
        QCOMPARE(raw.value("PRAGMA user_version").toInt(), 2);
        QCOMPARE(raw.value("SELECT count(*) FROM sqlite_master WHERE name LIKE '%version%'").toInt(), 0);
    }

    void otherFilesAreLeftUntouched()
    {
        const QString foreign = file("foreign.db"), newer = file("newer.db");
        {
            RawDb raw(foreign), other(newer);
            QVERIFY(raw.exec("CREATE TABLE foo (x)") && raw.exec("INSERT INTO foo VALUES (1)"));
            QVERIFY(other.exec("PRAGMA application_id = 1128352852") && other.exec("PRAGMA user_version = 3")
                    && other.exec("CREATE TABLE records (x)"));
        }
        QVERIFY(writeFile(file("corrupt.db"), QByteArray(8192, 'Z')) && writeFile(file("plain"), "x"));
        QVERIFY(QDir(m_dir.path()).mkpath("folder.db"));
        const struct { QString path; const char *says; } cases[] = {
            {foreign, "is not a Calitune history"},
            {newer, "was written by a newer Calitune (layout 3"},
            {file("corrupt.db"), "is not a Calitune history"},
            {file("folder.db"), "is a folder"},
            {file("plain/history.db"), "cannot create its folder"},
        };
        for (const auto &c : cases) {
            const QByteArray before = contentOf(c.path);
            Store store(c.path);
            Record r;
            QVERIFY(!store.prepare());
            QVERIFY2(store.lastError().contains(c.says), qPrintable(store.lastError()));
            QVERIFY(!store.add(r) && store.list().isEmpty());
            QVERIFY2(!QFileInfo::exists(c.path + ".spool"), qPrintable(c.path));
            QCOMPARE(contentOf(c.path), before);
        }
        QCOMPARE(RawDb(foreign).value("PRAGMA journal_mode").toString(), "delete");
        QCOMPARE(QDir(m_dir.path()).entryList({"foreign.db*"}), QStringList{"foreign.db"});
    }

    // Root writes anywhere: the look-ups then run as nobody.
    void readOnlyHistoryIsStillLookedUp()
    {
        QTemporaryDir dir;
        QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0);
        const QString folder = dir.filePath("ro"), db = folder + "/history.db";
        QVERIFY(QDir().mkpath(folder));
        {
            Store store(db);
            Record a, b;
            QVERIFY(store.add(a) && store.add(b));
        }
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0555) == 0);
        auto writableAgain = qScopeGuard([&] { ::chmod(QFile::encodeName(folder).constData(), 0755); });
        QProcess p;
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        if (::geteuid() == 0)
            p.setChildProcessModifier([] {
                if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                    _exit(4);
            });
        p.start(QCoreApplication::applicationFilePath(), {"--lookup", db});
        QVERIFY(p.waitForFinished());
        if (p.exitCode() == 4)
            QSKIP("cannot drop root here, and root writes a read-only folder");
        const QStringList lines = QString::fromUtf8(p.readAllStandardOutput()).split('\n');
        QCOMPARE(lines.size(), 4);
        QVERIFY2(lines[0] != "euid 0", "the look-ups ran as root");
        QCOMPARE(lines[1], QString("listed 2 "));
        QVERIFY2(lines[2].startsWith("prepared 0 " + db + " is read-only"), qPrintable(lines[2]));
    }

    void briefLockIsWaitedOut()
    {
        const QString db = file("brief.db");
        Store store(db);
        QVERIFY(store.prepare());
        QProcess *holder = hold(db, 100);
        Record brief;
        QVERIFY(store.add(brief) && brief.id > 0 && !QFileInfo::exists(db + ".spool"));
        QVERIFY(holder->waitForFinished() && holder->exitCode() == 0);
    }

    // A record and both endings wait in the spool; merged once, even when a
    // merge died after its commit and left its file.
    void longLockSpoolsAndMergesOnce()
    {
        const QString db = file("locked.db"), spool = db + ".spool";
        Store store(db);
        Record early, late;
        early.action = late.action = Action::Write;
        early.sent = blockOf(1);
        late.sent = blockOf(2);
        QVERIFY(store.prepare() && store.add(early));

        QProcess *holder = hold(db, 2000);
        QElapsedTimer timer;
        timer.start();
        QVERIFY(store.add(late));
        QCOMPARE(late.id, 0);
        std::tie(late.outcome, late.after, late.verified) = std::tuple(Outcome::Done, blockOf(2), true);
        early.outcome = Outcome::LinkLost;
        QVERIFY(store.complete(late) && store.complete(early));
        QVERIFY2(timer.elapsed() < 1500, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(Store(db).list().size(), 1);   // look-ups are not held up
        QVERIFY(QFile::copy(spool, file("spool-copy")));
        QVERIFY(holder->waitForFinished() && holder->exitCode() == 0);

        for (const QString &leftOver : {QString(), spool + ".merging-1-dead"}) {
            if (!leftOver.isEmpty())
                QVERIFY(QFile::copy(file("spool-copy"), leftOver) && QFile::copy(file("spool-copy"), spool));
            Store next(db);
            QVERIFY(next.prepare());
            const QList<Record> all = next.list();
            QCOMPARE(uidsOf(all), uidsOf({late, early}));
            QVERIFY(all[0].outcome == Outcome::Done && all[0].after == late.after && all[0].verified == true);
            QCOMPARE(all[1].outcome, Outcome::LinkLost);
            QCOMPARE(QDir(m_dir.path()).entryList({"locked.db.spool*"}), QStringList());
        }
    }

    void lockedAgainstReadersSaysSo()
    {
        const QString db = file("exclusive.db");
        QVERIFY(Store(db).prepare());
        QProcess *holder = hold(db, 10000, "every");
        Store store(db);
        QVERIFY(store.list().isEmpty());
        QCOMPARE(store.lastError(), db + " is locked by another program");
        holder->kill();
        QVERIFY(holder->waitForFinished());
    }

    void concurrentProcessesLoseNothing()
    {
        const QString db = file("shared.db");
        constexpr int Writers = 4, Each = 200;
        QList<QProcess *> writers;
        for (int w = 0; w < Writers; ++w)
            writers << helper({"--writer", db, QString::number(Each), QString("W%1").arg(w)});
        Store mine(db);
        for (int i = 0; i < Each; ++i) {
            Record r;
            r.port = "MAIN";
            QVERIFY2(mine.add(r), qPrintable(mine.lastError()));
        }
        for (QProcess *p : writers) {
            QVERIFY(p->waitForFinished(60000) && p->exitStatus() == QProcess::NormalExit);
            QVERIFY2(p->exitCode() == 0, p->readAllStandardOutput().constData());
        }
        Store after(db);
        QVERIFY(after.prepare());   // merges whatever had to wait
        QSet<qint64> ids;
        QHash<QString, int> perPort;
        for (const Record &r : after.list()) {
            ids.insert(r.id);
            ++perPort[r.port];
        }
        QCOMPARE(ids.size(), (Writers + 1) * Each);
        QCOMPARE(perPort.value("MAIN"), Each);
        for (int w = 0; w < Writers; ++w)
            QCOMPARE(perPort.value(QString("W%1").arg(w)), Each);
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Store::setWarningSink([](const QString &) {});   // what counts is what the calls return
    if (app.arguments().value(1).startsWith(QLatin1String("--")))
        return helperMain(app.arguments());
    TestHistory test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_history.moc"
