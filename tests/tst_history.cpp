// The local history of reads and writes, and backup files.
//
// The binary doubles as the writer process of the multi-process cases:
//   tst_history --writer DB COUNT PORT   adds COUNT reads, exits 1 on a failure
//   tst_history --endless DB             begins and finishes writes until killed,
//                                        printing "B id" / "F id" once each is stored
#include "history/BackupFile.h"
#include "history/HistoryStore.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QSysInfo>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
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
    // Unbuffered, so that a line seen by the test was stored before the kill.
    const QByteArray out = line + '\n';
    if (::write(STDOUT_FILENO, out.constData(), size_t(out.size())) < 0)
        _exit(3);
}

int writerMain(const QStringList &args)
{
    if (args.size() == 5 && args[1] == QLatin1String("--writer")) {
        Store store(args[2]);
        const int count = args[3].toInt();
        for (int i = 0; i < count; ++i)
            if (!store.addRead(Source::Cli, args[4], QStringLiteral("/dev/pts/%1").arg(i),
                               blockOf(i))) {
                say(store.lastError().toUtf8());
                return 1;
            }
        return 0;
    }
    if (args.size() == 3 && args[1] == QLatin1String("--endless")) {
        Store store(args[2]);
        for (int i = 0;; ++i) {
            const qint64 id = store.beginWrite(Source::Cli, Action::Write, QStringLiteral("COM3"),
                                               QStringLiteral("/dev/ttyUSB0"), blockOf(i),
                                               blockOf(i + 1));
            if (id == 0)
                break;
            say("B " + QByteArray::number(id));
            if (!store.finishWrite(id, QStringLiteral("done")))
                break;
            say("F " + QByteArray::number(id));
        }
        say(store.lastError().toUtf8());
        return 1;
    }
    return 2;
}

QProcess *startWriter(const QStringList &args, QObject *parent)
{
    auto *p = new QProcess(parent);
    p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p->start(QCoreApplication::applicationFilePath(), args);
    return p;
}

Backup sampleBackup()
{
    Backup b;
    b.block = QByteArray::fromHex("00ff807f0102030405060708a0b0c0d0");
    b.taken = QDateTime(QDate(2024, 5, 17), QTime(9, 41, 7, 250), Qt::UTC);
    b.port = QStringLiteral("COM3");
    b.device = QStringLiteral("/dev/ttyUSB0");
    return b;
}

QJsonObject sampleObject()
{
    return QJsonDocument::fromJson(BackupFile::toJson(sampleBackup())).object();
}

QByteArray jsonOf(const QJsonObject &object)
{
    return QJsonDocument(object).toJson();
}

} // namespace

class TestHistory : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString file(const QString &name) const { return m_dir.filePath(name); }

private slots:
    void recordsRoundTripThroughTheFile()
    {
        const QString db = file(QStringLiteral("roundtrip.db"));
        const QByteArray read = blockOf(1), before = blockOf(2), sent = blockOf(3);
        const QDateTime start = QDateTime::currentDateTimeUtc().addMSecs(-1);
        qint64 written = 0, restored = 0;
        {
            Store store(db);
            QVERIFY(store.enabled());
            QVERIFY(store.addRead(Source::Window, "COM3", "/dev/ttyUSB0", read));
            written = store.beginWrite(Source::Cli, Action::Write, "COM4", "/dev/ttyUSB1", before,
                                       sent);
            QVERIFY(written > 0);
            QVERIFY(store.finishWrite(written, "verify"));
            restored = store.beginWrite(Source::Window, Action::Restore, "COM5", "/dev/pts/3",
                                        std::nullopt, sent);
            QVERIFY(restored > written);
            QVERIFY(!store.finishWrite(restored + 100, "done"));
            QVERIFY(store.lastError().isEmpty());
        }

        // A fresh connection sees exactly what the first one stored.
        Store again(db);
        const QList<Record> all = again.list();
        QCOMPARE(all.size(), 3);
        const Record &r = all[2];
        QVERIFY(r.time >= start && r.time <= QDateTime::currentDateTimeUtc());
        QCOMPARE(r.time.timeSpec(), Qt::UTC);
        QCOMPARE(r.source, Source::Window);
        QCOMPARE(r.host, QSysInfo::machineHostName());
        QCOMPARE(r.port, QString("COM3"));
        QCOMPARE(r.device, QString("/dev/ttyUSB0"));
        QCOMPARE(r.action, Action::Read);
        QCOMPARE(r.before, std::optional(read));
        QCOMPARE(r.sent, std::nullopt);
        QCOMPARE(r.outcome, QString("done"));

        const std::optional<Record> w = again.find(written);
        QVERIFY(w);
        QCOMPARE(w->source, Source::Cli);
        QCOMPARE(w->action, Action::Write);
        QCOMPARE(w->before, std::optional(before));
        QCOMPARE(w->sent, std::optional(sent));
        QCOMPARE(w->outcome, QString("verify"));

        const std::optional<Record> u = again.find(restored);
        QVERIFY(u);
        QCOMPARE(u->action, Action::Restore);
        QCOMPARE(u->before, std::nullopt);
        QCOMPARE(u->outcome, QString("unfinished"));
        QVERIFY(!again.find(restored + 1));

        // Several processes share the file: it must be in WAL mode with a layout version.
        {
            QSqlDatabase raw = QSqlDatabase::addDatabase("QSQLITE", "raw-check");
            raw.setDatabaseName(db);
            QVERIFY(raw.open());
            QSqlQuery q(raw);
            QVERIFY(q.exec("PRAGMA journal_mode") && q.next());
            QCOMPARE(q.value(0).toString(), QString("wal"));
            QVERIFY(q.exec("SELECT version FROM schema_version") && q.next());
            QCOMPARE(q.value(0).toInt(), 1);
            QVERIFY(!q.next());
        }
        QSqlDatabase::removeDatabase("raw-check");
    }

    void listsNewestFirstWithPortFilterAndLimit()
    {
        Store store(file(QStringLiteral("list.db")));
        const QStringList ports = {"COM3", "COM4", "COM3", "COM7", "COM3"};
        const QStringList devices = {"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB0",
                                     "/dev/ttyUSB0", "/dev/ttyS2"};
        for (int i = 0; i < ports.size(); ++i)
            QVERIFY(store.addRead(Source::Cli, ports[i], devices[i], blockOf(i)));

        auto order = [](const QList<Record> &records) {   // as indexes into ports
            QList<int> out;
            for (const Record &r : records)
                out << (r.before ? QList<QByteArray>{blockOf(0), blockOf(1), blockOf(2), blockOf(3),
                                                     blockOf(4)}
                                       .indexOf(*r.before)
                                 : -1);
            return out;
        };
        QCOMPARE(order(store.list()), QList<int>({4, 3, 2, 1, 0}));
        QCOMPARE(order(store.list("COM3")), QList<int>({4, 2, 0}));
        // The device path matches too: the same adapter may carry another port name.
        QCOMPARE(order(store.list("/dev/ttyUSB0")), QList<int>({3, 2, 0}));
        QCOMPARE(order(store.list({}, 2)), QList<int>({4, 3}));
        QCOMPARE(order(store.list("COM3", 1)), QList<int>({4}));
        QVERIFY(store.list("COM9").isEmpty());
        QVERIFY(store.list("COM", -1).isEmpty());
        QVERIFY(store.list({}, 0).isEmpty());
        QVERIFY(store.lastError().isEmpty());
    }

    void placeComesFromTheEnvironment()
    {
        const QByteArray saved = qgetenv("CALITUNE_HISTORY");
        auto restore = qScopeGuard([&] { qputenv("CALITUNE_HISTORY", saved); });

        qputenv("CALITUNE_HISTORY", "off");
        Store offByEnvironment, offByName(QStringLiteral("off"));
        for (Store *store : {&offByEnvironment, &offByName}) {
            QVERIFY(!store->enabled());
            QVERIFY(store->addRead(Source::Cli, "COM3", "/dev/ttyUSB0", blockOf(0)));
            QCOMPARE(store->beginWrite(Source::Cli, Action::Write, "COM3", "/dev/ttyUSB0",
                                       blockOf(0), blockOf(1)),
                     0);
            QVERIFY(store->list().isEmpty());
        }

        const QString chosen = file(QStringLiteral("env/deeper/chosen.db"));
        qputenv("CALITUNE_HISTORY", chosen.toUtf8());
        {
            Store store;
            QCOMPARE(store.path(), chosen);
            QVERIFY(!QFileInfo::exists(QFileInfo(chosen).path()));   // nothing until first use
            QVERIFY(store.addRead(Source::Window, "COM1", "/dev/pts/1", blockOf(5)));
            QVERIFY(QFileInfo::exists(chosen));
        }

        qunsetenv("CALITUNE_HISTORY");
        const QByteArray savedData = qgetenv("XDG_DATA_HOME");
        auto restoreData = qScopeGuard([&] { qputenv("XDG_DATA_HOME", savedData); });
        qputenv("XDG_DATA_HOME", file(QStringLiteral("data")).toUtf8());
        QCoreApplication::setApplicationName(QStringLiteral("calitune"));
        const QString appData = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        QVERIFY(appData.startsWith(file(QStringLiteral("data"))));
        Store store;
        QCOMPARE(store.path(), appData + "/history.db");
        QVERIFY(store.addRead(Source::Window, "COM1", "/dev/pts/1", blockOf(5)));
        QCOMPARE(store.list().size(), 1);
    }

    // The only case that may warn: the warning is once per process.
    void unusableHistoryFailsQuietlyAndWarnsOnce()
    {
        QStringList warnings;
        Store::setWarningSink([&](const QString &w) { warnings << w; });
        auto resetSink = qScopeGuard([] { Store::setWarningSink({}); });

        QFile plain(file(QStringLiteral("plain")));
        QVERIFY(plain.open(QIODevice::WriteOnly) && plain.write("x") == 1);
        plain.close();
        QFile corrupt(file(QStringLiteral("corrupt.db")));
        QVERIFY(corrupt.open(QIODevice::WriteOnly));
        corrupt.write(QByteArray(8192, 'Z'));
        corrupt.close();
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("folder.db")));
        const QString newer = file(QStringLiteral("newer.db"));
        {
            QSqlDatabase raw = QSqlDatabase::addDatabase("QSQLITE", "raw-newer");
            raw.setDatabaseName(newer);
            QVERIFY(raw.open());
            QSqlQuery q(raw);
            QVERIFY(q.exec("CREATE TABLE schema_version (version INTEGER NOT NULL)"));
            QVERIFY(q.exec("INSERT INTO schema_version VALUES (2)"));
        }
        QSqlDatabase::removeDatabase("raw-newer");

        const QStringList places = {file(QStringLiteral("plain/history.db")),
                                    file(QStringLiteral("corrupt.db")),
                                    file(QStringLiteral("folder.db")), newer};
        for (const QString &place : places) {
            Store store(place);
            QVERIFY2(!store.addRead(Source::Cli, "COM3", "/dev/ttyUSB0", blockOf(1)),
                     qPrintable(place));
            QVERIFY(!store.lastError().isEmpty());
            QCOMPARE(store.beginWrite(Source::Cli, Action::Write, "COM3", "/dev/ttyUSB0",
                                      blockOf(1), blockOf(2)),
                     0);
            QVERIFY(!store.finishWrite(1, "done"));
            QVERIFY(store.list().isEmpty());
            QVERIFY(!store.find(1));
            QVERIFY(!store.lastError().isEmpty());
        }
        QCOMPARE(QFileInfo(file(QStringLiteral("corrupt.db"))).size(), 8192);   // left alone

        // Locked by someone else for too long: the call gives up within a few
        // seconds, and the same store works once the lock is gone.
        const QString busy = file(QStringLiteral("busy.db"));
        Store store(busy);
        QVERIFY(store.addRead(Source::Cli, "COM3", "/dev/ttyUSB0", blockOf(1)));
        {
            QSqlDatabase raw = QSqlDatabase::addDatabase("QSQLITE", "raw-lock");
            raw.setDatabaseName(busy);
            QVERIFY(raw.open());
            QSqlQuery q(raw);
            QVERIFY(q.exec("BEGIN EXCLUSIVE"));
            QElapsedTimer timer;
            timer.start();
            QVERIFY(!store.addRead(Source::Cli, "COM3", "/dev/ttyUSB0", blockOf(2)));
            QVERIFY2(timer.elapsed() < 15000, qPrintable(QString::number(timer.elapsed())));
            QVERIFY(q.exec("ROLLBACK"));
        }
        QSqlDatabase::removeDatabase("raw-lock");
        QVERIFY(store.addRead(Source::Cli, "COM3", "/dev/ttyUSB0", blockOf(3)));
        QCOMPARE(store.list().size(), 2);

        QCOMPARE(warnings.size(), 1);
        QVERIFY2(warnings[0].contains(places[0]), qPrintable(warnings[0]));
    }

    void concurrentProcessesLoseNothing()
    {
        const QString db = file(QStringLiteral("shared.db"));
        constexpr int Writers = 4, Each = 200;
        QList<QProcess *> writers;
        for (int w = 0; w < Writers; ++w)
            writers << startWriter({"--writer", db, QString::number(Each), QString("W%1").arg(w)},
                                   this);

        Store mine(db);
        int added = 0;
        auto running = [&] {
            return std::any_of(writers.begin(), writers.end(),
                               [](QProcess *p) { return p->state() != QProcess::NotRunning; });
        };
        while (added < Each || running()) {
            if (added < Each) {
                QVERIFY2(mine.addRead(Source::Window, "MAIN", "/dev/pts/0", blockOf(added)),
                         qPrintable(mine.lastError()));
                ++added;
            } else {
                QThread::msleep(5);
            }
            for (QProcess *p : writers)
                p->waitForFinished(0);
        }
        for (QProcess *p : writers) {
            QCOMPARE(p->exitStatus(), QProcess::NormalExit);
            QVERIFY2(p->exitCode() == 0, p->readAllStandardOutput().constData());
        }

        const QList<Record> all = mine.list();
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

    void killedWriterLosesNothingItReported()
    {
        const QString db = file(QStringLiteral("killed.db"));
        int reported = 0;
        for (int round = 0; round < 10; ++round) {
            QProcess *writer = startWriter({"--endless", db}, this);
            QVERIFY(writer->waitForStarted());
            Store reader(db);   // a new connection each round, opening after the last kill
            QElapsedTimer timer;
            timer.start();
            const int lifetime = QRandomGenerator::global()->bounded(30, 300);
            while (timer.elapsed() < lifetime) {
                reader.list({}, 20);
                QVERIFY2(reader.lastError().isEmpty(), qPrintable(reader.lastError()));
            }
            writer->kill();
            QVERIFY(writer->waitForFinished());
            const QByteArray output = writer->readAllStandardOutput();
            QVERIFY2(writer->exitStatus() == QProcess::CrashExit, output.right(200).constData());
            delete writer;
            const QList<QByteArray> lines = output.split('\n');
            Store after(db);
            QVERIFY(after.list({}, 1).size() <= 1 && after.lastError().isEmpty());
            for (const QByteArray &line : lines) {
                if (line.isEmpty())
                    continue;
                const QList<QByteArray> parts = line.split(' ');
                QVERIFY2(parts.size() == 2, line.constData());
                const std::optional<Record> r = after.find(parts[1].toLongLong());
                QVERIFY2(r, line.constData());
                QCOMPARE(r->sent->size(), 16);
                if (parts[0] == "F")
                    QCOMPARE(r->outcome, QString("done"));
                else
                    QVERIFY(r->outcome == "unfinished" || r->outcome == "done");
                ++reported;
            }
        }
        QVERIFY(reported > 0);   // else the rounds proved nothing
    }

    void backupSavesAndLoadsAtomically()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("radio.json"));
        const Backup original = sampleBackup();
        QString error;
        QVERIFY2(BackupFile::canWrite(path, &error), qPrintable(error));
        QVERIFY2(BackupFile::save(path, original, &error), qPrintable(error));
        Backup loaded;
        QVERIFY2(BackupFile::load(path, loaded, &error), qPrintable(error));
        QVERIFY(loaded == original);

        // Replacing an existing file leaves only the file, no temporary beside it.
        Backup second = original;
        second.block[0] = char(0x42);
        QVERIFY(BackupFile::save(path, second, &error));
        QVERIFY(BackupFile::load(path, loaded, &error) && loaded == second);
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{"radio.json"});

        // What a reader without this program finds in the file.
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QJsonObject o = QJsonDocument::fromJson(f.readAll()).object();
        QCOMPARE(o.value("block").toString(), QString("42ff807f0102030405060708a0b0c0d0"));
        QCOMPARE(o.value("sha256").toString(),
                 QString(QCryptographicHash::hash(second.block, QCryptographicHash::Sha256).toHex()));
        QCOMPARE(o.value("taken").toString(), QString("2024-05-17T09:41:07.250Z"));
        const QJsonObject values = o.value("values").toObject();
        QCOMPARE(values.size(), 12);
        QCOMPARE(values.value("H400").toInt(), 0x42);
        QCOMPARE(values.value("L400").toInt(), 255);
        QCOMPARE(values.value("L520").toInt(), 8);

    }

    void badBackupFilesAreRefusedSayingWhy()
    {
        auto with = [](const char *key, const QJsonValue &value) {
            QJsonObject o = sampleObject();
            if (value.isUndefined())
                o.remove(key);
            else
                o[key] = value;
            return jsonOf(o);
        };
        auto withValue = [](const char *name, const QJsonValue &value) {
            QJsonObject o = sampleObject();
            QJsonObject values = o["values"].toObject();
            if (value.isUndefined())
                values.remove(name);
            else
                values[name] = value;
            o["values"] = values;
            return jsonOf(o);
        };
        const QJsonValue gone(QJsonValue::Undefined);
        // Byte 12 is no value: only the checksum can notice it changed.
        QString otherByte12 = sampleObject()["block"].toString();
        otherByte12.replace(24, 2, "ee");

        const struct {
            const char *name;
            QByteArray json;
            const char *says;
        } cases[] = {
            {"truncated", BackupFile::toJson(sampleBackup()).chopped(5), "not JSON"},
            {"array", "[1, 2]", "not a JSON object"},
            {"no format", with("format", gone), "\"format\" is missing"},
            {"other format", with("format", "calitune-log"), "format is not"},
            {"no version", with("version", gone), "\"version\" is missing"},
            {"newer version", with("version", 2), "newer Calitune"},
            {"version 1.5", with("version", 1.5), "unsupported backup version 1.5"},
            {"other address", with("address", "0x0390"), "address must be 0x0380"},
            {"short block", with("block", "00ff807f0102030405060708a0b0c0"), "32 hex digits"},
            {"not hex", with("block", "zzff807f0102030405060708a0b0c0d0"), "32 hex digits"},
            {"changed byte", with("block", otherByte12), "checksum does not match"},
            {"no checksum", with("sha256", gone), "\"sha256\" is missing"},
            {"no values", with("values", gone), "\"values\" is missing"},
            {"missing value", withValue("L520", gone), "value L520 is missing"},
            {"unknown value", withValue("H500", 3), "unknown value name \"H500\""},
            {"value 256", withValue("H440", 256), "value H440 must be a whole number"},
            {"value disagrees", withValue("L460", 7), "value L460 is 7 but the block holds 4"},
            {"bad time", with("taken", "yesterday"), "\"taken\""},
            {"port as number", with("port", 3), "\"port\" is missing or not text"},
        };
        for (const auto &c : cases) {
            QString error;
            const std::optional<Backup> b = BackupFile::parse(c.json, &error);
            QVERIFY2(!b, c.name);
            QVERIFY2(error.contains(QLatin1String(c.says)),
                     qPrintable(QString("%1: %2").arg(c.name, error)));
        }

        QTemporaryDir dir;
        Backup untouched = sampleBackup();
        QString error;
        QVERIFY(!BackupFile::load(dir.filePath("absent.json"), untouched, &error));
        QVERIFY2(error.contains("cannot read"), qPrintable(error));
        QFile big(dir.filePath("big.json"));
        QVERIFY(big.open(QIODevice::WriteOnly));
        big.write(QByteArray(100 * 1024, ' ') + BackupFile::toJson(sampleBackup()));
        big.close();
        QVERIFY(!BackupFile::load(big.fileName(), untouched, &error));
        QVERIFY2(error.contains("too large"), qPrintable(error));
        QVERIFY(untouched == sampleBackup());
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() > 1 && args[1].startsWith(QLatin1String("--")))
        return writerMain(args);
    TestHistory test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_history.moc"
