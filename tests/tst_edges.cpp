// The command line at its edges, each once a reported fault: signals and kills
// in the middle of an exchange, backups that cannot or must not be written,
// two paths to one radio, a locked history. The real calitune-cli against
// simulated radios on pseudo-terminals.
#include "tests/TestRadio.h"
#include "files/BackupFile.h"
#include "history/HistoryStore.h"
#include "serial/PortLock.h"
#include "sim/SimRadio.h"
#include "tests/CliRunner.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QScopeGuard>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <cstring>
#include <random>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using Kind = SimRadio::FrameKind;
using Fault = SimRadio::Fault;
using Clock = std::chrono::steady_clock;

namespace {

const QByteArray Block = QByteArray::fromHex("602265c800056d2e7132763711223344");
const QStringList NewValues{"H400=1", "L520=2"};
const QByteArray NewBlock = QByteArray::fromHex("012265c800056d2e7132760211223344");

QString hex(const QByteArray &b) { return QString::fromLatin1(b.toHex()); }

bool waitFor(const std::function<bool()> &done, int ms = 10000)
{
    for (const QDeadlineTimer deadline(ms); !done(); std::this_thread::sleep_for(std::chrono::microseconds(300)))
        if (deadline.hasExpired())
            return false;
    return true;
}

QByteArray contentOf(const QString &file)
{
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

mode_t modeOf(const QString &path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode : 0;
}

// One run of the soak: what the radio saw and how the process ended.
struct SoakRun {
    QString label;
    int signal = 0;
    bool crashed = false;   // ended by the signal itself, not by its handler
    int code = -1;          // -1 also: did not end
    std::vector<SimRadio::Frame> frames{};
    bool programming = false;
    QByteArray block{};
    QString err{};          // what it said on stderr
    Clock::time_point killed{};
    std::chrono::microseconds took{0};   // from the start to the end
    qint64 sent(Kind kind) const
    {
        return std::count_if(frames.begin(), frames.end(), [kind](const auto &f) { return f.kind == kind; });
    }
    bool signalBeforeW() const
    {
        return std::none_of(frames.begin(), frames.end(), [&](const auto &f) { return f.kind == Kind::Write && f.at <= killed; });
    }
};

} // namespace

class TestEdges : public QObject, CliRig {
    Q_OBJECT

    QProcessEnvironment environment(const QString &device) const { return CliEnvironment({device}, path("history.db")); }
    CliResult cli(const QStringList &args) const { return RunCli(args, environment(radio->devicePath())); }
    QJsonArray history() const
    {
        const CliResult r = cli({"history", "--json"});
        return r.code == 0 ? r.jsonArray() : QJsonArray{};
    }
    // A write started and followed until the radio has received a frame of `kind`.
    bool writeUntil(QProcess &p, Kind kind) const
    {
        StartCli(p, QStringList{"write"} + NewValues, environment(radio->devicePath()));
        return waitFor([&] { return radio->count(kind) > 0; });
    }

    SoakRun soakRun(SimRadio &r, int signal, const QString &label, std::chrono::microseconds delay) const
    {
        r.setMemory(CalAddress, Block);
        QProcess p;
        StartCli(p, QStringList{"write", "--radio", label} + NewValues, environment(r.devicePath()));
        SoakRun run{.label = label, .signal = signal};
        if (!p.waitForStarted())
            return run;
        const auto started = Clock::now();
        std::this_thread::sleep_for(delay);
        run.killed = Clock::now();
        ::kill(pid_t(p.processId()), signal);   // signal 0 sends nothing
        if (!WaitForEnd(p, 10000))
            return run;
        run.took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started);
        run.crashed = p.exitStatus() == QProcess::CrashExit;
        run.code = run.crashed ? -1 : p.exitCode();
        run.frames = r.frames();
        run.programming = r.inProgrammingMode();
        run.block = r.memory(CalAddress, 16);
        run.err = QString::fromUtf8(p.readAllStandardError());
        return run;
    }

    static void checkSoakRun(const SoakRun &run, const QJsonObject &record)
    {
        const QString outcome = record["outcome"].toString();
        QVERIFY2(run.block == Block || run.block == NewBlock, qPrintable(run.label + ": " + hex(run.block)));
        if (!run.frames.empty())
            QVERIFY2(!record.isEmpty(), qPrintable(run.label + ": frames went out with no record"));
        if (run.sent(Kind::Write) > 0) {
            QCOMPARE(record["before"].toString(), hex(Block));
            QCOMPARE(record["sent"].toString(), hex(NewBlock));
        }
        if (run.signal == SIGKILL) {   // unless it had ended already
            QVERIFY2(run.crashed ? outcome.isEmpty() || outcome == "unfinished" || (outcome == "done" && run.sent(Kind::Exit) > 0)
                                 : run.code == 0 && outcome == "done",
                     qPrintable(run.label + ": " + outcome + ", " + run.err));
            return;
        }
        // SIGTERM before its handler is installed kills a process that has sent nothing.
        QVERIFY2(!run.crashed || run.frames.empty(), qPrintable(run.label));
        QVERIFY2(run.crashed || run.code == 0 || run.code == 128 + SIGTERM, qPrintable(run.label + ": " + run.err));
        QVERIFY2(!run.programming && (run.sent(Kind::AccessCode) == 0 || run.sent(Kind::Exit) > 0), qPrintable(run.label));
        if (!run.crashed)
            QCOMPARE(outcome, run.code == 0 ? "done" : "interrupted");
    }

private slots:
    void init() { setUp(Block); }
    void cleanup() { tearDown(); }

    void signalEndsTheExchange_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<Kind>("during");
        QTest::addColumn<QString>("says");   // what became of programming mode
        const QString confirmed = "the radio confirmed the exit command";
        for (auto [name, signal] : {std::pair{"SIGTERM", SIGTERM}, {"SIGINT", SIGINT}, {"SIGHUP", SIGHUP}}) {
            QTest::addRow("%s during the block read", name) << signal << Kind::Read << confirmed;
            QTest::addRow("%s during the write attempts", name) << signal << Kind::Write << confirmed;
        }
        // Its answer may only be late: the exit command goes out all the same.
        QTest::newRow("SIGTERM during the access code") << SIGTERM << Kind::AccessCode
                                                        << "the exit command was sent but the radio did not confirm it";
    }
    void signalEndsTheExchange()
    {
        QFETCH(int, signal);
        QFETCH(Kind, during);
        QFETCH(QString, says);
        radio->setPacing(true);   // the read reply takes 21 ms: the signal comes inside it
        if (during != Kind::Read)
            radio->setFaults(during, {}, Fault::Silent);
        QProcess p;
        QVERIFY(writeUntil(p, during));
        ::kill(pid_t(p.processId()), signal);
        const CliResult r = FinishCli(p, 10000);
        QCOMPARE(r.code, 128 + signal);
        QCOMPARE(radio->count(Kind::Write), during == Kind::Write ? 1 : 0);   // the attempt on the wire, no more
        QVERIFY(radio->count(Kind::Exit) > 0 && !radio->inProgrammingMode());
        QCOMPARE(radio->memory(CalAddress, 16), Block);
        QCOMPARE(r.errLines().size(), 1);
        QVERIFY2(r.err.contains("interrupted") && r.err.contains(says.toUtf8()), r.err.constData());
        const QJsonArray h = history();
        QCOMPARE(h.size(), 1);
        QCOMPARE(h[0]["outcome"].toString(), "interrupted");
        if (during == Kind::Write)
            QCOMPARE(h[0]["before"].toString(), hex(Block));
    }

    // A radio that answers neither the block nor the exit command makes the
    // wind-down last ~3.5 s (the attempt on the wire and 4 exit attempts); a
    // second signal leaves one exit attempt, and the run ends as the first said.
    void secondSignalCutsTheWindDownShort()
    {
        radio->setFaults(Kind::Write, {}, Fault::Silent);
        radio->setFaults(Kind::Exit, {}, Fault::Silent);
        QProcess p;
        QVERIFY(writeUntil(p, Kind::Write));
        ::kill(pid_t(p.processId()), SIGTERM);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ::kill(pid_t(p.processId()), SIGINT);
        QElapsedTimer clock;
        clock.start();
        const CliResult r = FinishCli(p, 10000);
        QVERIFY2(clock.elapsed() < 2800, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(r.code, 128 + SIGTERM);
        QCOMPARE(radio->count(Kind::Exit), 1);
        QCOMPARE(r.errLines().size(), 1);
        QVERIFY2(r.err.contains("interrupted by SIGTERM") && r.err.contains("did not confirm"), r.err.constData());
        QCOMPARE(history().first()["outcome"].toString(), "interrupted");
    }

    // kill -9 and SIGTERM at random moments of a write: the radio holds the
    // old block or the new, the history the old one before any 'W' frame.
    void killsAtRandomMoments()
    {
        const int repeats = 50;   // per signal: ~4 s in all, ~8 s sanitized
        const quint64 seed = qEnvironmentVariableIsSet("CALITUNE_SOAK_SEED")
                                 ? qEnvironmentVariable("CALITUNE_SOAK_SEED").toULongLong()
                                 : std::random_device{}();
        std::mt19937_64 random(seed);
        // A radio of its own per run, gone once the run is read: a hundred
        // kept to the end would each poll a terminal nobody holds.
        const auto onFreshRadio = [&](int signal, const QString &label, std::chrono::microseconds delay) {
            SimRadio r;
            return soakRun(r, signal, label, delay);
        };
        std::vector<qint64> took;   // the median of three writes left alone
        for (int i = 0; i < 3; ++i)
            took.push_back(onFreshRadio(0, "timing", {}).took.count());
        std::sort(took.begin(), took.end());
        const qint64 writeUs = took[1];
        qInfo("seed %llu (CALITUNE_SOAK_SEED=%llu repeats it), %d runs per signal, a write takes %lld ms", seed, seed,
              repeats, writeUs / 1000);
        std::vector<SoakRun> runs;
        for (int signal : {SIGKILL, SIGTERM}) {
            int old = 0, beforeW = 0, ended = 0;
            for (int i = 0; i < repeats; ++i) {
                const auto delay = std::chrono::microseconds(std::uniform_int_distribution<qint64>(0, writeUs)(random));
                runs.push_back(onFreshRadio(signal, QStringLiteral("soak-%1-%2").arg(signal).arg(i), delay));
                const SoakRun &run = runs.back();
                QVERIFY2(run.code != -1 || run.crashed, qPrintable(run.label + ": did not end"));
                old += run.block == Block ? 1 : 0;
                beforeW += run.signalBeforeW() ? 1 : 0;
                ended += signal == SIGKILL && !run.crashed ? 1 : 0;
            }
            qInfo("%s: %d runs; the old block after %d, the new after %d; the signal before the 'W' frame %d, "
                  "after %d%s", signal == SIGKILL ? "kill -9" : "SIGTERM", repeats, old, repeats - old, beforeW,
                  repeats - beforeW, signal == SIGKILL ? qPrintable(QStringLiteral(" (%1 after the end)").arg(ended)) : "");
        }
        QHash<QString, QJsonObject> records;
        for (const QJsonValue &v : history())
            records.insert(v["radio"].toString(), v.toObject());
        for (const SoakRun &run : runs) {
            checkSoakRun(run, records.value(run.label));
            if (QTest::currentTestFailed())
                return;
        }
    }

    // kill -9 at random moments around the making of the port's lock file:
    // whatever the killed run left, the next one started at once works.
    void killWhileLockingNeverRefusesTheNext()
    {
        QStringList locks;   // wherever Qt may put it
        for (const QString &dir : PortLock::LockDirs())
            locks << dir + "/" + PortLock::LockFileName(radio->devicePath());
        const auto lockLeft = [&]() -> QFileInfo {
            for (const QString &file : locks)
                if (QFileInfo info(file); info.exists())
                    return info;
            return {};
        };
        std::mt19937 random(std::random_device{}());
        int left = 0, empty = 0;
        for (int killed = 0, tries = 0; killed < 16; ++tries) {
            QVERIFY2(tries < 100, "the runs ended before their lock files were seen");
            QProcess p;
            StartCli(p, {"read"}, environment(radio->devicePath()));
            QVERIFY(p.waitForStarted());
            // The history is written first: a busy disk may hold that a while.
            bool ended = false;
            for (const QDeadlineTimer deadline(60000); !lockLeft().exists() && !ended;) {
                QVERIFY2(!deadline.hasExpired(), "no lock file was made");
                std::this_thread::sleep_for(std::chrono::microseconds(50));
                ended = p.waitForFinished(0);
            }
            if (ended)
                continue;   // done before it was seen: no kill this time
            for (const auto until = Clock::now() + std::chrono::microseconds(random() % 300); Clock::now() < until;) {
            }
            p.kill();
            QVERIFY(WaitForEnd(p, 10000));
            ++killed;
            const QFileInfo leftover = lockLeft();
            left += leftover.exists();
            empty += leftover.exists() && leftover.size() == 0;
            const CliResult next = cli({"read"});
            QVERIFY2(next.code == 0, next.err.constData());
        }
        qInfo("16 runs killed: %d left a lock file, %d of them empty", left, empty);
    }

    void backupThatCannotBeSaved()
    {
        const QString folder = path("small");
        QVERIFY(QDir().mkpath(folder));
        // A full file system when root may mount one; else a file size limit,
        // which the history could not live under.
        const bool tmpfs = ::mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs", 0, "size=64k") == 0;
        const auto unmount = qScopeGuard([&] {
            if (tmpfs)
                ::umount2(QFile::encodeName(folder).constData(), MNT_DETACH);
        });
        const QString file = folder + "/radio.json";
        QCOMPARE(cli({"backup", "--output", file}).code, 0);
        const QByteArray old = contentOf(file);
        radio->setMemory(CalAddress, NewBlock);
        QProcess p;
        QProcessEnvironment env = environment(radio->devicePath());
        if (tmpfs) {
            QFile filler(folder + "/filler");
            QVERIFY(filler.open(QIODevice::WriteOnly));
            while (filler.write(QByteArray(4096, 'x')) == 4096 && filler.flush()) {
            }
        } else {
            env.insert("CALITUNE_HISTORY", "off");
            p.setChildProcessModifier([] {
                const rlimit small{256, 256};
                ::setrlimit(RLIMIT_FSIZE, &small);
                ::signal(SIGXFSZ, SIG_IGN);
            });
        }
        StartCli(p, {"backup", "--output", file, "--json"}, env);
        const CliResult r = FinishCli(p);
        QCOMPARE(r.code, 8);
        QCOMPARE(r.json()["error"].toString(), "file");
        QCOMPARE(r.errLines().size(), 1);
        const QString reason = QString::fromLocal8Bit(std::strerror(tmpfs ? ENOSPC : EFBIG));
        QVERIFY2(r.errLines()[0].contains(file) && r.errLines()[0].contains(reason), r.err.constData());
        QCOMPARE(contentOf(file), old);
        const QStringList left = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
        QCOMPARE(left, tmpfs ? QStringList({"filler", "radio.json"}) : QStringList({"radio.json"}));
        if (!tmpfs) {
            qInfo("not root: the record of the backup not saved is checked on a full tmpfs only");
            return;
        }
        const QJsonObject record = history().first().toObject();
        QCOMPARE(record["action"].toString(), "backup");
        QCOMPARE(record["outcome"].toString(), "file");
        QCOMPARE(record["before"].toString(), hex(NewBlock));
    }

    // The block the radio held must be on the disk before the block goes
    // out; a history that cannot hold it stops the write, and the radio is
    // taken out of programming mode. Only "off" writes without a record.
    void historyThatCannotKeepTheBlockStopsTheWrite_data()
    {
        QTest::addColumn<QString>("history");   // @: on a full file system
        QTest::newRow("full disk") << "@";
        QTest::newRow("a device") << "/dev/null";
    }
    void historyThatCannotKeepTheBlockStopsTheWrite()
    {
        QFETCH(QString, history);
        const QString folder = path("small");
        QVERIFY(QDir().mkpath(folder));
        const bool full = history == "@";
        if (full && ::mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs", 0, "size=512k") != 0)
            QSKIP("a full file system needs root to mount it");
        const auto unmount = qScopeGuard([&] {
            if (full)
                ::umount2(QFile::encodeName(folder).constData(), MNT_DETACH);
        });
        QProcessEnvironment env = environment(radio->devicePath());
        if (full) {
            history = folder + "/history.db";
            env.insert("CALITUNE_HISTORY", history);
            QCOMPARE(RunCli({"read"}, env).code, 0);
            QFile filler(folder + "/filler");
            QVERIFY(filler.open(QIODevice::WriteOnly));
            while (filler.write(QByteArray(4096, 'x')) == 4096 && filler.flush()) {
            }
        }
        env.insert("CALITUNE_HISTORY", history);
        radio->clearLog();
        CliResult r = RunCli(QStringList{"write", "--json"} + NewValues, env);
        QCOMPARE(r.code, 8);
        QCOMPARE(r.json()["error"].toString(), "file");
        QVERIFY2(r.errLines().last().contains("the history could not be saved; nothing was written"), r.err.constData());
        QCOMPARE(kinds(), QList<Kind>({Kind::AccessCode, Kind::Read, Kind::Exit}));
        QVERIFY(!radio->inProgrammingMode());
        QCOMPARE(radio->memory(CalAddress, 16), Block);
        QVERIFY(!QFileInfo::exists("/dev/null-journal") || !QFile::remove("/dev/null-journal"));
        env.insert("CALITUNE_HISTORY", "off");
        QCOMPARE(RunCli(QStringList{"write"} + NewValues, env).code, 0);
        QCOMPARE(radio->memory(CalAddress, 16), NewBlock);
    }

    void refusedBeforeAnyPort_data()
    {
        QTest::addColumn<QStringList>("args");   // @ is the test's folder
        QTest::addColumn<QString>("words");
        QTest::newRow("backup to a link to a folder") << QStringList{"backup", "--output", "@/folder-link"} << "which is a folder";
        QTest::newRow("backup to a FIFO") << QStringList{"backup", "--output", "@/fifo"} << "is a pipe";
        QTest::newRow("backup to /dev/null") << QStringList{"backup", "--output", "/dev/null"} << "is a device";
        QTest::newRow("backup to a link to /dev/null") << QStringList{"backup", "--output", "@/null-link"} << "which is a device";
        QTest::newRow("restore a FIFO") << QStringList{"restore", "@/fifo"} << "is a pipe";
        QTest::newRow("restore over 1 MiB") << QStringList{"restore", "@/large.json"} << "too large";
        QTest::newRow("restore a key twice") << QStringList{"restore", "@/twice.json"} << "\"block\" appears twice";
    }
    void refusedBeforeAnyPort()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, words);
        QVERIFY(QDir().mkpath(path("folder")) && QFile::link(path("folder"), path("folder-link")));
        QVERIFY(QFile::link("/dev/null", path("null-link")));
        QCOMPARE(::mkfifo(QFile::encodeName(path("fifo")).constData(), 0600), 0);
        const QByteArray backup = History::BackupFile::toJson({Block, QDateTime::currentDateTimeUtc(), "COM1", "/dev/ttyUSB0"});
        QVERIFY(!writeFile("large.json", backup + QByteArray(History::BackupFile::MaxFileSize, ' ')).isEmpty());
        const QByteArray twice = "{\"block\": \"" + NewBlock.toHex() + "\"," + backup.mid(1);
        QVERIFY(!writeFile("twice.json", twice).isEmpty());
        args.replaceInStrings("@", dir->path());

        QProcess p;
        StartCli(p, args, environment(radio->devicePath()));
        const CliResult r = FinishCli(p, 2500);
        QVERIFY2(r.code != -1, "still running: it waits on the file");
        QCOMPARE(r.code, 1);
        QCOMPARE(r.errLines().size(), 1);
        QVERIFY2(r.err.contains(words.toUtf8()) && r.err.contains(args.last().toUtf8()), r.err.constData());
        QVERIFY(radio->frames().empty());
        QVERIFY(S_ISFIFO(modeOf(path("fifo"))) && S_ISCHR(modeOf("/dev/null")));
    }

    void backupReplacesOnlyWhatItMay()
    {
        const QString other = path("other.db");
        {
            History::Store store(other);
            History::Record record;
            QVERIFY(store.add(record));
        }
        const QByteArray database = contentOf(other);
        QCOMPARE(cli({"backup", "--output", other}).code, 1);
        QVERIFY(radio->frames().empty() && contentOf(other) == database);
        QCOMPARE(cli({"backup", "--output", other, "--force"}).code, 0);
        Result<History::Backup, History::BackupFile::Error> saved = History::BackupFile::load(other);
        QVERIFY2(saved, qPrintable(saved ? QString() : saved.text()));
        QCOMPARE(saved->block, Block);
        // An earlier backup is replaced without being asked.
        radio->setMemory(CalAddress, NewBlock);
        QCOMPARE(cli({"backup", "--output", other}).code, 0);
        saved = History::BackupFile::load(other);
        QVERIFY2(saved, qPrintable(saved ? QString() : saved.text()));
        QCOMPARE(saved->block, NewBlock);
    }

    void secondPathToAHeldRadio()
    {
        const QString link = path("radio-link");
        QVERIFY(QFile::link(radio->devicePath(), link));
        radio->setFaults(Kind::Write, {}, Fault::Silent);   // the writer holds the port ~2 s
        QProcess writer;
        QVERIFY(writeUntil(writer, Kind::Write));
        // A link, and a spelling of the path whose lock file has another name.
        const QString spelled = QString(radio->devicePath()).replace("/pts/", "/pts//");
        for (const QString &other : {link, spelled}) {
            const CliResult r = cli({"--port", other, "read"});
            QCOMPARE(r.code, 2);
            QVERIFY2(r.err.contains("in use"), r.err.constData());
        }
        QCOMPARE(FinishCli(writer).code, 5);
        QCOMPARE(radio->count(Kind::AccessCode), 1);   // the writer's: the readers sent nothing
    }

    void lockedHistoryDoesNotStallTheRadio()
    {
        QCOMPARE(cli({"read"}).code, 0);
        radio->clearLog();
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "locker");
            db.setDatabaseName(path("history.db"));
            QVERIFY(db.open());
            QSqlQuery lock(db);
            QVERIFY(lock.exec("PRAGMA locking_mode = EXCLUSIVE") && lock.exec("BEGIN EXCLUSIVE")
                    && lock.exec("SELECT count(*) FROM records"));
            const CliResult r = cli(QStringList{"write"} + NewValues);
            lock.finish();
            db.close();
            QCOMPARE(r.code, 0);
        }
        QSqlDatabase::removeDatabase("locker");
        const auto frames = radio->frames();
        QCOMPARE(frames.size(), size_t(5));
        QCOMPARE(frames[2].kind, Kind::Write);
        const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(frames[2].at - frames[1].at);
        QVERIFY2(gap.count() < 900, qPrintable(QString::number(gap.count())));
        QCOMPARE(radio->memory(CalAddress, 16), NewBlock);

        // The look-up merges the spool; the next exchange finds nothing more in it.
        for (int look = 0; look < 2; ++look) {
            QList<QJsonObject> writes;
            for (const QJsonValue &v : history())
                if (v["action"].toString() == "write")
                    writes << v.toObject();
            QCOMPARE(writes.size(), 1);
            QCOMPARE(writes[0]["before"].toString(), hex(Block));
            QCOMPARE(writes[0]["outcome"].toString(), "done");
            QCOMPARE(cli({"read"}).code, 0);
        }
    }

    void portChoicesRefused()
    {
        SimRadio second;
        QProcessEnvironment env = CliEnvironment({radio->devicePath(), second.devicePath()}, path("history.db"));
        CliResult r = RunCli(QStringList{"--port", "2", "--port", "1", "write"} + NewValues, env);
        QCOMPARE(r.code, 1);
        env.insert("CALITUNE_COM17", radio->devicePath());
        r = RunCli({"--port", "17", "read"}, env);
        QCOMPARE(r.code, 1);
        QVERIFY(radio->frames().empty() && second.frames().empty());
        // The last port there is.
        env.insert("CALITUNE_COM16", second.devicePath());
        r = RunCli({"--port", "16", "read", "--json"}, env);
        QCOMPARE(r.code, 0);
        QCOMPARE(r.json()["port"].toString(), "COM16");
        QCOMPARE(second.count(Kind::Read), 1);
    }
};

QTEST_GUILESS_MAIN(TestEdges)
#include "tst_edges.moc"
