// The local history: records in SQLite, the spool beside it, the files it
// upgrades and the files it leaves alone.
//
// The binary doubles as the helper process of the multi-process cases:
//   tst_history --writer DB COUNT PORT   adds COUNT reads, exits 1 on a failure
//   tst_history --hold DB MS [every]     prints "held", then holds the write lock
//                                        (with "every", every lock) for MS ms
//   tst_history --lookup DB MISSING      prints what look-ups and prepare() say
#include "history/HistoryStore.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
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

void say(const QByteArray &line)
{
    // Unbuffered, so that a line seen by the test was kept before the kill.
    const QByteArray out = line + '\n';
    if (::write(STDOUT_FILENO, out.constData(), size_t(out.size())) < 0)
        _exit(3);
}

QByteArray checksum(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly)
               ? QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256)
               : QByteArray();
}

// A connection of the test's own, as another program would open the file.
class RawDb {
public:
    explicit RawDb(const QString &path)
        : m_name(QUuid::createUuid().toString())
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(path);
        db.open();
    }
    ~RawDb()
    {
        QSqlDatabase::database(m_name, false).close();
        QSqlDatabase::removeDatabase(m_name);
    }
    QSqlDatabase db() const { return QSqlDatabase::database(m_name, false); }
    bool exec(const QString &sql) const
    {
        QSqlQuery q(db());
        if (q.exec(sql))
            return true;
        qWarning() << sql << q.lastError().text();
        return false;
    }
    QVariant value(const QString &sql) const
    {
        QSqlQuery q(db());
        return q.exec(sql) && q.next() ? q.value(0) : QVariant();
    }

private:
    QString m_name;
};

int holdMain(const QStringList &args)
{
    RawDb raw(args[2]);
    const bool every = args.size() > 4 && args[4] == QLatin1String("every");
    if ((every && !raw.exec("PRAGMA locking_mode = EXCLUSIVE"))
        || !raw.exec(every ? "BEGIN EXCLUSIVE" : "BEGIN IMMEDIATE")
        || !raw.exec("INSERT INTO sync_state VALUES ('holder', 0)"))
        return 1;
    say("held");
    QThread::msleep(args[3].toULong());
    return raw.exec("ROLLBACK") ? 0 : 1;
}

int lookupMain(const QStringList &args)
{
    say("euid " + QByteArray::number(::geteuid()));
    Store store(args[2]);
    const QList<Record> records = store.list();
    say("listed " + QByteArray::number(records.size()) + ' ' + store.lastError().toUtf8());
    const bool prepared = store.prepare();
    say("prepared " + QByteArray::number(prepared) + ' ' + store.lastError().toUtf8());
    Store missing(args[3]);
    missing.list();
    say("missing " + missing.lastError().toUtf8());
    return 0;
}

int helperMain(const QStringList &args)
{
    Store::setWarningSink([](const QString &) {});   // what counts is what the calls return
    if (args.size() == 5 && args[1] == QLatin1String("--writer")) {
        Store store(args[2]);
        store.prepare();
        for (int i = 0; i < args[3].toInt(); ++i) {
            Record r;
            r.port = args[4];
            r.device = QStringLiteral("/dev/pts/%1").arg(i);
            r.before = blockOf(i);
            r.outcome = Outcome::Done;
            if (!store.add(r)) {
                say(store.lastError().toUtf8());
                return 1;
            }
        }
        return 0;
    }
    if (args.size() >= 4 && args[1] == QLatin1String("--hold"))
        return holdMain(args);
    if (args.size() == 4 && args[1] == QLatin1String("--lookup"))
        return lookupMain(args);
    return 2;
}

QProcess *startHelper(const QStringList &args, QObject *parent)
{
    auto *p = new QProcess(parent);
    p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p->start(QCoreApplication::applicationFilePath(), args);
    return p;
}

// Returns once the helper holds the lock.
QProcess *hold(const QString &db, int ms, QObject *parent, bool every = false)
{
    QProcess *p = startHelper({"--hold", db, QString::number(ms), every ? "every" : ""}, parent);
    while (!p->canReadLine() && p->waitForReadyRead(5000)) {
    }
    if (p->readLine() != "held\n")
        qWarning("the lock holder did not start");
    return p;
}

QStringList uidsOf(const QList<Record> &records)
{
    QStringList uids;
    for (const Record &r : records)
        uids << r.uid;
    return uids;
}

// A record as another station stored it: uid, time and station given.
Record olderRead()
{
    Record r;
    r.uid = QStringLiteral("0123456789abcdef0123456789abcdef");
    r.time = QDateTime(QDate(2024, 5, 17), QTime(9, 41, 7, 250), Qt::UTC);
    r.station = QStringLiteral("BENCH-2");
    r.port = QStringLiteral("COM3");
    r.device = QStringLiteral("/dev/ttyUSB0");
    r.before = blockOf(1);
    r.outcome = Outcome::Done;
    return r;
}

// Every field this store fills in is left empty.
Record fullRestore()
{
    Record r;
    r.source = Source::Window;
    r.port = QStringLiteral("COM4");
    r.device = QStringLiteral("/dev/ttyUSB1");
    r.radio = QStringLiteral("R-17");
    r.action = Action::Restore;
    r.before = blockOf(2);
    r.sent = blockOf(3);
    r.forced = true;
    r.sourceFile = QStringLiteral("/backups/r17.json");
    r.sourceSha256 = QString(64, QLatin1Char('a'));
    r.sourceRecord = QStringLiteral("OTHER:41");
    return r;
}

} // namespace

class TestHistory : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QStringList m_warnings;
    QString file(const QString &name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase()
    {
        Store::setWarningSink([this](const QString &w) { m_warnings << w; });
    }

    void recordsRoundTripEveryField()
    {
        const QString db = file(QStringLiteral("roundtrip.db"));
        Record read = olderRead(), restore = fullRestore();
        const QDateTime start = QDateTime::currentDateTimeUtc().addMSecs(-1);
        {
            Store store(db);
            QVERIFY2(store.prepare(), qPrintable(store.lastError()));
            QVERIFY(store.add(read) && read.id > 0);
            QVERIFY(store.add(restore) && restore.id > read.id && restore.rev > read.rev);
            QCOMPARE(restore.uid.size(), 32);
            QCOMPARE(restore.station, stationName());
            QVERIFY(restore.time >= start && restore.time <= QDateTime::currentDateTimeUtc());
            restore.outcome = Outcome::VerifyMismatch;
            restore.after = blockOf(9);
            restore.verified = false;
            QVERIFY(store.complete(restore));
            Record bad;
            bad.before = QByteArray(15, 'x');
            QVERIFY(!store.add(bad));
            QVERIFY(!store.lastError().isEmpty());
            QVERIFY(store.setSyncedRev(QStringLiteral("factory"), 1));
        }

        // A fresh connection sees exactly what the first one stored.
        Store again(db);
        const QList<Record> all = again.list();
        QCOMPARE(all.size(), 2);
        QVERIFY(all[1] == read);
        QVERIFY(all[0].rev > restore.rev);   // a completion is a change of its own
        restore.rev = all[0].rev;
        QVERIFY(all[0] == restore);
        QVERIFY(again.find(read.id) == read);
        QVERIFY(!again.find(restore.id + 1) && again.lastError().isEmpty());

        QCOMPARE(uidsOf(again.changedAfter(0, 10)), uidsOf({read, restore}));
        QCOMPARE(uidsOf(again.changedAfter(read.rev, 10)), uidsOf({restore}));
        QCOMPARE(uidsOf(again.changedAfter(0, 1)), uidsOf({read}));
        QCOMPARE(again.syncedRev(QStringLiteral("factory")), 1);
        QCOMPARE(again.syncedRev(QStringLiteral("other")), 0);
        QVERIFY(again.setSyncedRev(QStringLiteral("factory"), 7));
        QCOMPARE(again.syncedRev(QStringLiteral("factory")), 7);

        // What another program finds in the file; the constraints hold against it too.
        RawDb raw(db);
        QCOMPARE(raw.value("PRAGMA application_id").toInt(), 0x43414C54);
        QCOMPARE(raw.value("PRAGMA user_version").toInt(), 2);
        QCOMPARE(raw.value("PRAGMA journal_mode").toString(), QString("wal"));
        QCOMPARE(raw.value("SELECT time FROM records WHERE id = 1").toString(),
                 QString("2024-05-17T09:41:07.250Z"));
        const QString insert = "INSERT INTO records (uid, rev, time, source, station, port, device,"
                               " action, outcome, block_before) VALUES (%1, %1, 't', 'cli', 's',"
                               " 'p', 'd', 'read', %2, %3)";
        auto refused = [&](const QString &sql) {
            QSqlQuery q(raw.db());
            return !q.exec(sql) && q.lastError().text().contains("CHECK constraint failed");
        };
        QVERIFY(raw.exec(insert.arg("100", "'done'", "NULL")));
        QVERIFY(refused(insert.arg("101", "'fine'", "NULL")));
        QVERIFY(refused(insert.arg("102", "'done'", "x'00ff'")));
    }

    void filtersAndNewestFirst()
    {
        Store store(file(QStringLiteral("filters.db")));
        const QDateTime t0(QDate(2024, 6, 1), QTime(10, 0), Qt::UTC);
        const struct {
            int minute;
            const char *port, *device, *radio, *station;
            Action action;
            Outcome outcome;
        } rows[] = {
            {0, "COM3", "/dev/ttyUSB0", "A", "S1", Action::Read, Outcome::Done},
            {1, "COM4", "/dev/ttyUSB1", "B", "S1", Action::Write, Outcome::Done},
            {2, "COM3", "/dev/ttyUSB0", nullptr, "S2", Action::Write, Outcome::VerifyMismatch},
            {3, "COM7", "/dev/ttyUSB0", "A", "S2", Action::Restore, Outcome::LinkLost},
            {3, "COM3", "/dev/ttyS2", "A", "S1", Action::Read, Outcome::Done},   // same time: later id first
            {-10, "COM3", "/dev/ttyUSB0", "B", "S1", Action::Backup, Outcome::Done},   // stored late, older
        };
        for (int i = 0; i < 6; ++i) {
            Record r;
            r.uid = QString::number(i);
            r.time = t0.addSecs(60 * rows[i].minute);
            r.port = rows[i].port;
            r.device = rows[i].device;
            if (rows[i].radio)
                r.radio = QString(rows[i].radio);
            r.station = rows[i].station;
            r.action = rows[i].action;
            r.outcome = rows[i].outcome;
            QVERIFY(store.add(r));
        }
        auto order = [&](const std::function<void(Filter &)> &set) {
            Filter filter;
            set(filter);
            return uidsOf(store.list(filter)).join(QString());
        };
        QCOMPARE(order([](Filter &) {}), QString("432105"));
        QCOMPARE(order([&](Filter &f) { f.port = "COM3"; }), QString("4205"));
        // The device path matches too: the same adapter may carry another port name.
        QCOMPARE(order([&](Filter &f) { f.port = "/dev/ttyUSB0"; }), QString("3205"));
        QCOMPARE(order([&](Filter &f) { f.port = "COM"; }), QString());
        QCOMPARE(order([&](Filter &f) { f.radio = "A"; }), QString("430"));
        QCOMPARE(order([&](Filter &f) { f.radio = ""; }), QString("2"));
        QCOMPARE(order([&](Filter &f) { f.radio = "A"; f.station = "S1"; }), QString("40"));
        QCOMPARE(order([&](Filter &f) { f.station = "S2"; }), QString("32"));
        QCOMPARE(order([&](Filter &f) { f.action = Action::Write; }), QString("21"));
        QCOMPARE(order([&](Filter &f) { f.outcome = Outcome::Done; }), QString("4105"));
        QCOMPARE(order([&](Filter &f) { f.since = t0.addSecs(60); f.until = t0.addSecs(180); }), QString("4321"));
        QCOMPARE(order([&](Filter &f) { f.limit = 2; }), QString("43"));
        QCOMPARE(order([&](Filter &f) { f.port = "COM3"; f.limit = 1; }), QString("4"));
        QCOMPARE(order([&](Filter &f) { f.limit = 0; }), QString());
        QVERIFY(store.lastError().isEmpty());
    }

    void placeComesFromTheEnvironment()
    {
        const QByteArray saved = qgetenv("CALITUNE_HISTORY");
        const QString savedFolder = QDir::currentPath();
        auto restore = qScopeGuard([&] {
            qputenv("CALITUNE_HISTORY", saved);
            QDir::setCurrent(savedFolder);
        });
        QVERIFY(QDir::setCurrent(m_dir.path()));

        for (const char *off : {"off", "OFF", "Off"}) {
            qputenv("CALITUNE_HISTORY", off);
            Store byEnvironment, byName(QString::fromLatin1(off));
            for (Store *store : {&byEnvironment, &byName}) {
                QVERIFY(!store->enabled());
                Record r;
                QVERIFY(store->prepare() && store->add(r) && store->complete(r));
                QVERIFY(store->list().isEmpty());
            }
            QVERIFY(!QFileInfo::exists(QString::fromLatin1(off)));
        }

        // A look-up neither creates a history nor calls a missing one empty.
        const QString chosen = file(QStringLiteral("env/deeper/chosen.db"));
        qputenv("CALITUNE_HISTORY", chosen.toUtf8());
        {
            Store store;
            QCOMPARE(store.path(), chosen);
            QVERIFY(store.list().isEmpty() && !store.find(1));
            QVERIFY2(store.lastError().contains("there is no history yet at " + chosen),
                     qPrintable(store.lastError()));
            QVERIFY(!QFileInfo::exists(QFileInfo(chosen).path()));
            Record r;
            QVERIFY(store.add(r));
            QCOMPARE(store.list().size(), 1);
        }

        qunsetenv("CALITUNE_HISTORY");
        const QByteArray savedData = qgetenv("XDG_DATA_HOME");
        auto restoreData = qScopeGuard([&] { qputenv("XDG_DATA_HOME", savedData); });
        qputenv("XDG_DATA_HOME", file(QStringLiteral("data")).toUtf8());
        QCoreApplication::setApplicationName(QStringLiteral("calitune"));
        const QString appData = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        QVERIFY(appData.startsWith(file(QStringLiteral("data"))));
        QCOMPARE(Store().path(), appData + "/history.db");
    }

    void upgradesVersion1InPlace()
    {
        const QString db = file(QStringLiteral("version1.db"));
        const struct {
            const char *action, *outcome;
            std::optional<QByteArray> before, sent;
        } rows[] = {
            {"read", "done", blockOf(1), std::nullopt},
            {"write", "unfinished", blockOf(2), blockOf(3)},
            {"restore", "link-lost", std::nullopt, blockOf(4)},
            {"write", "verify", blockOf(5), blockOf(6)},
            {"read", "done", blockOf(7), std::nullopt},   // deleted: its id is not given again
        };
        {
            RawDb raw(db);
            QVERIFY(raw.exec("PRAGMA journal_mode=WAL"));
            QVERIFY(raw.exec("CREATE TABLE schema_version (version INTEGER NOT NULL)"));
            QVERIFY(raw.exec("INSERT INTO schema_version (version) VALUES (1)"));
            QVERIFY(raw.exec("CREATE TABLE records (id INTEGER PRIMARY KEY AUTOINCREMENT,"
                             " time TEXT NOT NULL, source TEXT NOT NULL, host TEXT NOT NULL,"
                             " port TEXT NOT NULL, device TEXT NOT NULL, action TEXT NOT NULL,"
                             " block_before BLOB, block_sent BLOB, outcome TEXT NOT NULL)"));
            for (const auto &row : rows) {
                QSqlQuery q(raw.db());
                q.prepare("INSERT INTO records (time, source, host, port, device, action,"
                          " block_before, block_sent, outcome) VALUES (:time, 'cli', 'bench-1',"
                          " 'COM3', '/dev/ttyUSB0', :action, :before, :sent, :outcome)");
                q.bindValue(":time", QString("2023-01-02T03:04:05.%1Z").arg(&row - rows + 100));
                q.bindValue(":action", row.action);
                q.bindValue(":before", row.before ? QVariant(*row.before) : QVariant(QMetaType::fromType<QByteArray>()));
                q.bindValue(":sent", row.sent ? QVariant(*row.sent) : QVariant(QMetaType::fromType<QByteArray>()));
                q.bindValue(":outcome", row.outcome);
                QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
            }
            QVERIFY(raw.exec("DELETE FROM records WHERE id = 5"));
        }

        Store store(db);
        const QList<Record> all = store.list();   // a look-up upgrades too
        QVERIFY2(store.lastError().isEmpty(), qPrintable(store.lastError()));
        QCOMPARE(all.size(), 4);
        QSet<QString> uids;
        for (const Record &r : all) {
            const auto &row = rows[r.id - 1];
            QCOMPARE(r.rev, r.id);
            QCOMPARE(r.time, QDateTime(QDate(2023, 1, 2), QTime(3, 4, 5, 99 + int(r.id)), Qt::UTC));
            QCOMPARE(r.source, Source::Cli);
            QCOMPARE(r.station, QString("bench-1"));
            QCOMPARE(r.port, QString("COM3"));
            QCOMPARE(r.device, QString("/dev/ttyUSB0"));
            QCOMPARE(actionName(r.action), QString(row.action));
            QCOMPARE(OutcomeName(r.outcome), QString(row.outcome));
            QCOMPARE(r.before, row.before);
            QCOMPARE(r.sent, row.sent);
            QVERIFY(!r.radio && !r.after && !r.verified);
            uids.insert(r.uid);
        }
        QCOMPARE(uids.size(), 4);
        Record next;
        QVERIFY(store.add(next));
        QCOMPARE(next.id, 6);
        QCOMPARE(next.rev, 5);

        RawDb raw(db);
        QCOMPARE(raw.value("PRAGMA user_version").toInt(), 2);
        QCOMPARE(raw.value("PRAGMA journal_mode").toString(), QString("wal"));
        QCOMPARE(raw.value("SELECT count(*) FROM sqlite_master WHERE name LIKE '%version%'").toInt(), 0);
    }

    // Also the one case sure to warn: the warning is once per process.
    void otherFilesAreLeftUntouched()
    {
        const QString foreign = file(QStringLiteral("foreign.db"));
        const QString newer = file(QStringLiteral("newer.db"));
        {
            RawDb raw(foreign);
            QVERIFY(raw.exec("CREATE TABLE foo (x)") && raw.exec("INSERT INTO foo VALUES (1)"));
            RawDb other(newer);
            QVERIFY(other.exec("PRAGMA application_id = 1128352852")
                    && other.exec("PRAGMA user_version = 3")
                    && other.exec("CREATE TABLE records (x)"));
        }
        QFile corrupt(file(QStringLiteral("corrupt.db")));
        QVERIFY(corrupt.open(QIODevice::WriteOnly) && corrupt.write(QByteArray(8192, 'Z')) == 8192);
        corrupt.close();
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("folder.db")));
        QFile plain(file(QStringLiteral("plain")));
        QVERIFY(plain.open(QIODevice::WriteOnly) && plain.write("x") == 1);
        plain.close();

        const struct {
            QString path;
            const char *says;
        } cases[] = {
            {foreign, "is not a Calitune history"},
            {newer, "was written by a newer Calitune (layout 3"},
            {corrupt.fileName(), "is not a Calitune history"},
            {file(QStringLiteral("folder.db")), "is a folder"},
            {file(QStringLiteral("plain/history.db")), "cannot create its folder"},
        };
        for (const auto &c : cases) {
            const QByteArray before = checksum(c.path);
            Store store(c.path);
            Record r;
            QVERIFY(!store.prepare());
            QVERIFY2(store.lastError().contains(c.says), qPrintable(store.lastError()));
            QVERIFY(!store.add(r) && r.id == 0);
            QVERIFY(!store.complete(r));
            QVERIFY(store.list().isEmpty() && !store.find(1));
            QVERIFY(!store.lastError().isEmpty());
            QVERIFY2(!QFileInfo::exists(c.path + ".spool"), qPrintable(c.path));
            QCOMPARE(checksum(c.path), before);
        }
        RawDb raw(foreign);
        QCOMPARE(raw.value("PRAGMA journal_mode").toString(), QString("delete"));
        QCOMPARE(raw.value("SELECT group_concat(name) FROM sqlite_master").toString(), QString("foo"));
        QCOMPARE(QDir(m_dir.path()).entryList({"foreign.db*"}), QStringList{"foreign.db"});

        QCOMPARE(m_warnings.size(), 1);
    }

    // Root writes anywhere: the look-ups then run as nobody.
    void readOnlyHistoryIsStillLookedUp()
    {
        QTemporaryDir dir;
        QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                      | QFile::ReadOther | QFile::ExeOther));
        const QString folder = dir.filePath(QStringLiteral("ro"));
        const QString db = folder + "/history.db";
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
        p.start(QCoreApplication::applicationFilePath(), {"--lookup", db, folder + "/none.db"});
        QVERIFY(p.waitForFinished());
        if (p.exitCode() == 4)
            QSKIP("cannot drop root here, and root writes a read-only folder");
        const QStringList lines = QString::fromUtf8(p.readAllStandardOutput()).split('\n');
        QCOMPARE(lines.size(), 5);
        QVERIFY2(lines[0] != "euid 0", "the look-ups ran as root");
        QCOMPARE(lines[1], QString("listed 2 "));
        QVERIFY2(lines[2].startsWith("prepared 0 " + db + " is read-only"), qPrintable(lines[2]));
        QCOMPARE(lines[3], "missing there is no history yet at " + folder + "/none.db");
    }

    void briefLockIsWaitedOut()
    {
        const QString db = file(QStringLiteral("brief.db"));
        Store store(db);
        QVERIFY(store.prepare());
        QProcess *holder = hold(db, 100, this);
        Record brief;
        QVERIFY(store.add(brief));
        QVERIFY(brief.id > 0 && !QFileInfo::exists(db + ".spool"));
        QVERIFY(holder->waitForFinished() && holder->exitCode() == 0);
    }

    void longLockSpoolsAndMergesOnce()
    {
        const QString db = file(QStringLiteral("locked.db"));
        const QString spool = db + ".spool";
        Store store(db);
        QVERIFY(store.prepare());
        Record early;
        early.action = Action::Write;
        early.sent = blockOf(1);
        QVERIFY(store.add(early) && early.id > 0);

        // The record and both endings go to the spool.
        QProcess *holder = hold(db, 2000, this);
        QElapsedTimer timer;
        timer.start();
        Record late;
        late.action = Action::Write;
        late.sent = blockOf(2);
        QVERIFY(store.add(late));
        QCOMPARE(late.id, 0);
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
        late.outcome = Outcome::Done;
        late.after = blockOf(2);
        late.verified = true;
        early.outcome = Outcome::LinkLost;
        timer.restart();
        QVERIFY(store.complete(late) && store.complete(early));
        QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(store.lastError().isEmpty());
        {
            Store reader(db);
            QCOMPARE(reader.list().size(), 1);   // look-ups are not held up
        }
        QVERIFY(QFile::copy(spool, file(QStringLiteral("spool-copy"))));
        QVERIFY(holder->waitForFinished() && holder->exitCode() == 0);

        auto check = [&] {
            Store next(db);
            QVERIFY(next.prepare());
            const QList<Record> all = next.list();
            QCOMPARE(uidsOf(all), uidsOf({late, early}));
            QCOMPARE(all[0].outcome, Outcome::Done);
            QCOMPARE(all[0].after, late.after);
            QCOMPARE(all[0].verified, std::optional(true));
            QCOMPARE(all[1].outcome, Outcome::LinkLost);
            QCOMPARE(QDir(m_dir.path()).entryList({"locked.db.spool*"}), QStringList());
        };
        check();
        if (QTest::currentTestFailed())
            return;
        // A merge that died after its commit left its file; merged again, it adds nothing.
        QVERIFY(QFile::copy(file(QStringLiteral("spool-copy")), spool + ".merging-1-dead"));
        QVERIFY(QFile::copy(file(QStringLiteral("spool-copy")), spool));
        check();
    }

    // A lock even against readers: look-ups say so, and a record still goes to the spool.
    void lockedAgainstReadersSaysSo()
    {
        const QString db = file(QStringLiteral("exclusive.db"));
        QVERIFY(Store(db).prepare());
        QProcess *holder = hold(db, 10000, this, true);
        Store store(db);
        QVERIFY(store.list().isEmpty());
        QVERIFY2(store.lastError().contains("is locked by another program"),
                 qPrintable(store.lastError()));
        QVERIFY(!store.find(1));
        QCOMPARE(store.lastError(), db + " is locked by another program");
        Record r;
        QVERIFY(store.add(r) && r.id == 0 && QFileInfo::exists(db + ".spool"));
        holder->kill();
        QVERIFY(holder->waitForFinished());
    }

    void concurrentProcessesLoseNothing()
    {
        const QString db = file(QStringLiteral("shared.db"));
        constexpr int Writers = 4, Each = 200;
        QList<QProcess *> writers;
        for (int w = 0; w < Writers; ++w)
            writers << startHelper({"--writer", db, QString::number(Each), QString("W%1").arg(w)},
                                   this);
        Store mine(db);
        for (int i = 0; i < Each; ++i) {
            Record r;
            r.port = QStringLiteral("MAIN");
            r.before = blockOf(i);
            QVERIFY2(mine.add(r), qPrintable(mine.lastError()));
        }
        for (QProcess *p : writers) {
            QVERIFY(p->waitForFinished(60000));
            QCOMPARE(p->exitStatus(), QProcess::NormalExit);
            QVERIFY2(p->exitCode() == 0, p->readAllStandardOutput().constData());
        }

        Store after(db);
        QVERIFY(after.prepare());   // merges whatever had to wait
        const QList<Record> all = after.list();
        QCOMPARE(all.size(), (Writers + 1) * Each);
        QSet<qint64> ids;
        QHash<QString, int> perPort;
        for (const Record &r : all) {
            ids.insert(r.id);
            ++perPort[r.port];
        }
        QCOMPARE(ids.size(), all.size());
        QCOMPARE(perPort.value("MAIN"), Each);
        for (int w = 0; w < Writers; ++w)
            QCOMPARE(perPort.value(QString("W%1").arg(w)), Each);
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() > 1 && args[1].startsWith(QLatin1String("--")))
        return helperMain(args);
    TestHistory test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_history.moc"
