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

// What a look-up found; nothing when it failed.
QList<Record> found(const Store::Records &records)
{
    return records ? *records : QList<Record>();
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
// --hold DB MS            says "held", holds the write lock for MS ms
// --lookup DB             says who it runs as and what a look-up and prepare() give
int helperMain(const QStringList &args)
{
    if (args[1] == QLatin1String("--writer")) {
        Store store(args[2]);
        (void)store.prepare();
        for (int i = 0; i < args[3].toInt(); ++i) {
            Record r;
            r.port = args[4];
            r.before = blockOf(i);
            if (const auto added = store.add(r); !added)
                return say(added.text().toUtf8()), 1;
        }
        return 0;
    }
    if (args[1] == QLatin1String("--hold")) {
        RawDb raw(args[2]);
        if (!raw.exec("BEGIN IMMEDIATE") || !raw.exec("INSERT INTO sync_state VALUES ('holder', 0)"))
            return 1;
        say("held");
        QThread::msleep(args[3].toULong());
        return raw.exec("ROLLBACK") ? 0 : 1;
    }
    say("euid " + QByteArray::number(::geteuid()));
    Store store(args[2]);
    const Store::Records listed = store.list();
    say("listed " + QByteArray::number(found(listed).size()) + ' ' + (listed ? QString() : listed.text()).toUtf8());
    const auto prepared = store.prepare();
    say("prepared " + QByteArray::number(prepared.ok()) + ' ' + prepared.text().toUtf8());
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
    QProcess *hold(const QString &db, int ms)
    {
        QProcess *p = helper({"--hold", db, QString::number(ms)});
        while (!p->canReadLine() && p->waitForReadyRead(5000)) {
        }
        if (p->readLine() != "held\n")
            qWarning("the lock holder did not start");
        return p;
    }

private slots:
    // Newest first by time, whatever the order stored; of the same time the later stored first.
    void recordsRoundTrip()
    {
        const QString db = file("roundtrip.db");
        Record write, read, twin;   // the read as another station stored it
        std::tie(write.source, write.radio, write.action, write.sent) =
            std::tuple(Source::Window, "R-17", Action::Write, blockOf(3));
        read.uid = "0123456789abcdef0123456789abcdef";
        read.time = twin.time = QDateTime(QDate(2024, 5, 17), QTime(9, 41, 7, 250), Qt::UTC);
        std::tie(read.station, read.outcome, read.before) = std::tuple("BENCH-2", Outcome::Done, blockOf(1));
        {
            Store store(db);
            QVERIFY(store.add(write) && store.add(read));
            QVERIFY(write.uid.size() == 32 && write.station == stationName() && write.time > read.time);
            std::tie(write.outcome, write.after, write.verified) = std::tuple(Outcome::VerifyMismatch, blockOf(9), false);
            // Several exchanges' changes at once: a completion whose record is
            // nowhere fails alone, the others are kept as one by one.
            Record stray;
            std::tie(stray.uid, stray.id) = std::tuple("not-stored", 5);
            QList<Store::Change> batch{{&twin, true}, {&stray, false}, {&write, false}};
            store.keepAll(batch);
            QVERIFY(batch[0].kept && !batch[1].kept && batch[2].kept && twin.id == 3);
        }
        const QList<Record> all = found(Store(db).list());
        QCOMPARE(uidsOf(all), uidsOf({write, twin, read}));
        QVERIFY(all[2] == read);
        QVERIFY(all[0].rev > write.rev);   // a completion is a change of its own, to be uploaded again
        write.rev = all[0].rev;
        QVERIFY(all[0] == write);
        // Times as UTC text that sorts, for the look-ups' filters and order.
        QCOMPARE(RawDb(db).value("SELECT time FROM records WHERE id = 2").toString(), "2024-05-17T09:41:07.250Z");
    }

    void offInAnyCaseAndLookupsCreateNothing()
    {
        for (const char *off : {"off", "OFF", "Off"}) {
            Store store{QString::fromLatin1(off)};
            Record r;
            QVERIFY2(!store.enabled() && store.prepare() && store.add(r) && found(store.list()).isEmpty(), off);
        }
        const QString missing = file("deeper/none.db");
        Store store(missing);
        const Store::Records none = store.list();
        QVERIFY(found(none).isEmpty());
        QCOMPARE(none.text(), "there is no history yet at " + missing);
        QVERIFY(!QFileInfo::exists(file("deeper")));
    }

    void upgradesOlderLayoutsInPlace()
    {
        const QString db = file("version1.db");
        const struct { const char *action, *outcome; std::optional<QByteArray> before, sent; } rows[] = {
            {"read", "done", blockOf(1), std::nullopt},
            {"read", "done", blockOf(2), std::nullopt},   // deleted: no id moves into its place
            {"write", "unfinished", blockOf(3), blockOf(4)},
            {"restore", "link-lost", std::nullopt, blockOf(5)},
            {"write", "verify", blockOf(6), blockOf(7)},
            {"read", "done", blockOf(8), std::nullopt},   // deleted: its id is not given again
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
            QVERIFY(raw.exec("DELETE FROM records WHERE id IN (2, 6)"));
        }

        Store store(db);
        const QList<Record> all = found(store.list());   // a look-up upgrades too
        QCOMPARE(all.size(), 4);
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
        QCOMPARE(uids.size(), 4);
        Record next;
        QVERIFY(store.add(next));
        QCOMPARE(next.id, 7);
        RawDb raw(db);
        QCOMPARE(raw.value("PRAGMA user_version").toInt(), 3);
        QCOMPARE(raw.value("SELECT count(*) FROM sqlite_master WHERE name LIKE '%version%'").toInt(), 0);

        // The fingerprints, from the blocks found in the radios; again from
        // the layout before them.
        const QString fingerprints = "SELECT group_concat(coalesce(fingerprint, '-'), ' ') FROM"
                                     " (SELECT fingerprint FROM records ORDER BY id)";
        const QString expected = fingerprintOf(blockOf(1)) + ' ' + fingerprintOf(blockOf(3)) + " - "
                                 + fingerprintOf(blockOf(6)) + " -";
        QCOMPARE(raw.value(fingerprints).toString(), expected);
        QVERIFY(raw.exec("DROP INDEX records_fingerprint") && raw.exec("ALTER TABLE records DROP COLUMN fingerprint")
                && raw.exec("PRAGMA user_version = 2"));
        QCOMPARE(found(Store(db).story(fingerprintOf(blockOf(3)), {})).size(), 1);
        QCOMPARE(raw.value(fingerprints).toString(), expected);
        QCOMPARE(raw.value("PRAGMA user_version").toInt(), 3);
    }

    void otherFilesAreLeftUntouched()
    {
        const QString foreign = file("foreign.db"), newer = file("newer.db");
        {
            RawDb raw(foreign), other(newer);
            QVERIFY(raw.exec("CREATE TABLE foo (x)") && raw.exec("INSERT INTO foo VALUES (1)"));
            QVERIFY(other.exec("PRAGMA application_id = 1128352852") && other.exec("PRAGMA user_version = 4")
                    && other.exec("CREATE TABLE records (x)"));
        }
        QVERIFY(writeFile(file("corrupt.db"), QByteArray(8192, 'Z')) && writeFile(file("plain"), "x"));
        QVERIFY(QDir(m_dir.path()).mkpath("folder.db"));
        const struct { QString path; const char *says; } cases[] = {
            {foreign, "is not a Calitune history"},
            {newer, "was written by a newer Calitune (layout 4"},
            {file("corrupt.db"), "is not a Calitune history"},
            {file("folder.db"), "is a folder"},
            {file("plain/history.db"), "cannot create its folder"},
        };
        for (const auto &c : cases) {
            const QByteArray before = contentOf(c.path);
            Store store(c.path);
            Record r;
            const auto prepared = store.prepare();
            QVERIFY(!prepared);
            QVERIFY2(prepared.text().contains(c.says), qPrintable(prepared.text()));
            QVERIFY(!store.add(r) && found(store.list()).isEmpty());
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
        // A history made readable to others on purpose; the folder is what stays read-only.
        for (const QFileInfo &f : QDir(folder).entryInfoList(QDir::Files))
            QVERIFY(::chmod(QFile::encodeName(f.filePath()).constData(), 0644) == 0);
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0555) == 0);
        auto writableAgain = qScopeGuard([&] { ::chmod(QFile::encodeName(folder).constData(), 0755); });
        QProcess p;
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        const QByteArray program = QFile::encodeName(QCoreApplication::applicationFilePath());
        const QByteArray history = QFile::encodeName(db);
        if (::geteuid() == 0)
            p.setChildProcessModifier([&] {
                if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                    _exit(4);
                // A build folder closed to other users (mktemp -d makes one).
                if (::access(program.constData(), X_OK) != 0 || ::access(history.constData(), R_OK) != 0)
                    _exit(5);
            });
        p.start(QString::fromLocal8Bit(program), {"--lookup", db});
        QVERIFY(p.waitForFinished());
        if (p.exitCode() == 4)
            QSKIP("cannot drop root here, and root writes a read-only folder");
        if (p.exitCode() == 5)
            QSKIP("nobody cannot reach the test program or its folder: the look-ups cannot run as another user");
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
        struct stat st {};
        QVERIFY(::stat(QFile::encodeName(spool).constData(), &st) == 0 && (st.st_mode & 0777) == 0600);
        std::tie(late.outcome, late.after, late.verified) = std::tuple(Outcome::Done, blockOf(2), true);
        early.outcome = Outcome::LinkLost;
        QList<Store::Change> together{{&early, false}};
        store.keepAll(together);
        QVERIFY(store.complete(late) && together[0].kept);
        QVERIFY2(timer.elapsed() < 1500, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(found(Store(db).list()).size(), 1);   // look-ups are not held up
        QVERIFY(QFile::copy(spool, file("spool-copy")));
        QVERIFY(holder->waitForFinished() && holder->exitCode() == 0);

        for (const QString &leftOver : {QString(), spool + ".merging-1-dead"}) {
            if (!leftOver.isEmpty())
                QVERIFY(QFile::copy(file("spool-copy"), leftOver) && QFile::copy(file("spool-copy"), spool));
            Store next(db);
            QVERIFY(next.prepare());
            const QList<Record> all = found(next.list());
            QCOMPARE(uidsOf(all), uidsOf({late, early}));
            QVERIFY(all[0].outcome == Outcome::Done && all[0].after == late.after && all[0].verified == true);
            QCOMPARE(all[1].outcome, Outcome::LinkLost);
            QCOMPARE(QDir(m_dir.path()).entryList({"locked.db.spool*"}), QStringList());
        }
    }

    // The spool is only ever a regular file of this user's: never a link,
    // whatever it points at. A line torn by a crash costs no later record.
    void spoolKeepsToItsOwnFile()
    {
        const QString db = file("spooled.db"), spool = db + ".spool";
        Store store(db);
        QVERIFY(store.prepare());
        QVERIFY(writeFile(file("victim"), "kept\n") && QFile::link(file("victim"), spool));
        QProcess *holder = hold(db, 2000);
        Record linked, foreign, afterTorn;
        QVERIFY(!store.add(linked));   // kept nowhere
        QCOMPARE(contentOf(file("victim")), "kept\n");
        QVERIFY(QFile::remove(spool) && writeFile(spool, {}));
        if (::chown(QFile::encodeName(spool).constData(), 65534, 65534) == 0)
            QVERIFY(!store.add(foreign));   // another user's
        QVERIFY(QFile::remove(spool) && writeFile(spool, "{\"kind\":\"record\",\"uid\":\"torn"));
        QVERIFY(store.add(afterTorn) && afterTorn.id == 0);
        QVERIFY(holder->waitForFinished() && holder->exitCode() == 0);
        Store next(db);
        QVERIFY(next.prepare());
        QCOMPARE(uidsOf(found(next.list())), QStringList{afterTorn.uid});
    }

    void concurrentProcessesLoseNothing()
    {
        const QString db = file("shared.db");
        constexpr int Writers = 5, Each = 200;
        QList<QProcess *> writers;
        for (int w = 0; w < Writers; ++w)
            writers << helper({"--writer", db, QString::number(Each), QString("W%1").arg(w)});
        for (QProcess *p : writers) {
            QVERIFY(p->waitForFinished(60000) && p->exitStatus() == QProcess::NormalExit);
            QVERIFY2(p->exitCode() == 0, p->readAllStandardOutput().constData());
        }
        Store after(db);
        QVERIFY(after.prepare());   // merges whatever had to wait
        QSet<qint64> ids;
        QHash<QString, int> perPort;
        for (const Record &r : found(after.list())) {
            ids.insert(r.id);
            ++perPort[r.port];
        }
        QCOMPARE(ids.size(), Writers * Each);
        for (int w = 0; w < Writers; ++w)
            QCOMPARE(perPort.value(QString("W%1").arg(w)), Each);
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (app.arguments().value(1).startsWith(QLatin1String("--")))
        return helperMain(app.arguments());
    TestHistory test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_history.moc"
