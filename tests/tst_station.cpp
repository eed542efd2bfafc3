// A whole station in one run: the real calitune-cli against sixteen
// simulated radios on pseudo-terminals at once (COM1 to COM16), and the
// per-port links stressed side by side on threads.
#include "tests/TestRadio.h"
#include "files/BackupFile.h"
#include "protocol/Link.h"
#include "sim/SimRadio.h"
#include "tests/CliRunner.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <atomic>

using Kind = SimRadio::FrameKind;
using Fault = SimRadio::Fault;

namespace {

constexpr int Radios = 16;

// Radio n (1-based) holds n in H400 and its own bytes 12-15.
QByteArray blockOf(int n)
{
    QByteArray b;
    for (int i = 0; i < 12; ++i)
        b += char(n + 10 * i);
    return b + QByteArray(4, char(0xA0 + n));
}

QString portName(int n) { return QStringLiteral("COM%1").arg(n); }

} // namespace

class TestStation : public QObject {
    Q_OBJECT
    std::vector<std::unique_ptr<SimRadio>> radios;   // radios[n - 1] is on COMn
    std::unique_ptr<QTemporaryDir> dir;

    SimRadio &radio(int n) { return *radios[n - 1]; }
    QString device(int n) const { return radios[n - 1]->devicePath(); }
    QString historyPath() const { return dir->filePath("history.db"); }

    QProcessEnvironment environment() const
    {
        QStringList devices;
        for (const auto &r : radios)
            devices << r->devicePath();
        return CliEnvironment(devices, historyPath());
    }
    CliResult cli(const QStringList &args, const QByteArray &input = {}) const
    {
        return RunCli(args, environment(), input);
    }
    // With a silent radio among them, whose attempts need not take the real window.
    CliResult cliBesideSilent(const QStringList &args, const QByteArray &input = {}) const
    {
        return RunCli(args, WithShortReplyWindow(environment()), input);
    }
    static QStringList radiosOf(const QList<QJsonDocument> &lines)
    {
        QStringList labels;
        for (const QJsonDocument &d : lines)
            labels << (d["radio"].isNull() ? QStringLiteral("-") : d["radio"].toString());
        return labels;
    }
    int framesOnAnyRadio() const
    {
        int frames = 0;
        for (const auto &r : radios)
            frames += int(r->frames().size());
        return frames;
    }
    // The --json lines name these ports, in this order.
    static QStringList portsOf(const QList<QJsonDocument> &lines)
    {
        QStringList ports;
        for (const QJsonDocument &d : lines)
            ports << d["port"].toString();
        return ports;
    }

private slots:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        radios.clear();
        for (int n = 1; n <= Radios; ++n) {
            radios.push_back(std::make_unique<SimRadio>());
            radios.back()->setMemory(CalAddress, blockOf(n));
        }
    }
    void cleanup()
    {
        radios.clear();
        dir.reset();
    }

    void everyPortAtOnce()
    {
        CliResult r = cli({"--port", "all", "read", "--json"});
        QCOMPARE(r.code, 0);
        QVERIFY2(r.err.isEmpty(), r.err.constData());
        QList<QJsonDocument> lines = r.jsonLines();
        QCOMPARE(lines.size(), Radios);
        for (int n = 1; n <= Radios; ++n) {
            const QJsonDocument &o = lines[n - 1];
            QCOMPARE(o["port"].toString(), portName(n));
            QCOMPARE(o["device"].toString(), device(n));
            QCOMPARE(o["block"].toString(), QString::fromLatin1(blockOf(n).toHex()));
            QCOMPARE(o["values"]["H400"].toInt(), n);
            QVERIFY(!radio(n).inProgrammingMode());
        }
        const CliResult history = cli({"history", "--json"});
        QCOMPARE(history.jsonArray().size(), Radios);   // sixteen threads, one history

        // One radio silent: its own error line and exit status, the rest read.
        radio(5).setFaults(Kind::AccessCode, {}, Fault::Silent);
        r = cliBesideSilent({"--port", "all", "read"});
        QCOMPARE(r.code, 3);
        QCOMPARE(r.errLines().size(), 1);
        QVERIFY2(r.errLines().first().startsWith("calitune-cli: COM5 (" + device(5) + "): the radio does not answer"),
                 r.err.constData());
        const QString text = QString::fromUtf8(r.out);
        qsizetype last = -1;
        for (int n = 1; n <= Radios; ++n) {
            const qsizetype at = text.indexOf(portName(n) + " (" + device(n) + ")\n");
            if (n == 5) {
                QCOMPARE(at, -1);
                continue;
            }
            QVERIFY2(at > last, qPrintable(portName(n) + " out of order:\n" + text));
            QVERIFY(text.indexOf(QRegularExpression(QString("high +%1 ").arg(n)), at) > at);
            last = at;
        }

        r = cli({"--port", "all", "read", "--json"});
        QCOMPARE(r.code, 3);
        lines = r.jsonLines();
        QCOMPARE(lines.size(), Radios);
        for (int n = 1; n <= Radios; ++n) {
            QCOMPARE(lines[n - 1]["port"].toString(), portName(n));
            QCOMPARE(lines[n - 1]["device"].toString(), device(n));
            QCOMPARE(lines[n - 1]["error"].toString(), n == 5 ? "no-reply" : "");
        }
    }

    void commaListsAndPortsGivenTwice()
    {
        const CliResult r = cli({"--port", "COM5,1,3," + device(2), "read", "--json"});
        QCOMPARE(r.code, 0);
        QCOMPARE(portsOf(r.jsonLines()), QStringList({"COM5", "COM1", "COM3", device(2)}));
        QCOMPARE(r.jsonLines()[3]["values"]["H400"].toInt(), 2);
        QCOMPARE(r.jsonLines()[0]["values"]["H400"].toInt(), 5);
        for (int n = 1; n <= Radios; ++n)
            radio(n).clearLog();

        for (const QString &twice : QStringList{"1,COM1", "com2,3,2", "2," + device(2), device(4) + ",4"}) {
            const CliResult refused = cli({"--port", twice, "write", "H400=9"});
            QCOMPARE(refused.code, 1);
            QCOMPARE(refused.errLines().size(), 1);
            QVERIFY2(refused.err.contains("twice"), refused.err.constData());
        }
        QCOMPARE(framesOnAnyRadio(), 0);
    }

    // A history that cannot be kept is told for each port of the run, once.
    void historyWarningForEachPort()
    {
        QFile blocker(dir->filePath("not-a-folder"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        QStringList devices;
        for (const auto &r : radios)
            devices << r->devicePath();
        const CliResult r = RunCli({"--port", "1,2", "write", "H400=7"},
                                   CliEnvironment(devices, blocker.fileName() + "/history.db"));
        QStringList warned;
        for (const QString &line : r.errLines())
            if (line.contains(": the history: "))
                warned << line.section(QLatin1Char(' '), 2, 2);
        warned.sort();
        QCOMPARE(warned, QStringList({"COM1", "COM2"}));
    }

    void writeToSeveralWithOneFailing()
    {
        radio(3).setFaults(Kind::Write, {}, Fault::StoreOther);
        CliResult r = cli({"--port", "1,2,3,4", "write", "H400=100", "--json"});
        QCOMPARE(r.code, 6);
        QCOMPARE(r.errLines().size(), 1);
        QVERIFY2(r.err.contains("COM3") && r.err.contains("verify failed"), r.err.constData());
        const QList<QJsonDocument> lines = r.jsonLines();
        QCOMPARE(portsOf(lines), QStringList({"COM1", "COM2", "COM3", "COM4"}));
        QCOMPARE(lines[2]["error"].toString(), "verify");
        QCOMPARE(lines[2]["device"].toString(), device(3));
        for (int n : {1, 2, 4}) {
            QCOMPARE(lines[n - 1]["written"].toBool(), true);
            QCOMPARE(lines[n - 1]["verified"].toBool(), true);
            QCOMPARE(radio(n).memory(CalAddress, 16), char(100) + blockOf(n).mid(1));
        }
        QCOMPARE(radio(3).memory(CalAddress, 16), char(100 ^ 1) + blockOf(3).mid(1));
        QCOMPARE(radio(5).count(Kind::AccessCode), 0);

        // Two failures: the status is that of the first in the order given.
        const QString missing = "/dev/calitune-no-such-port";
        r = cli({"--port", "2,3," + missing, "write", "H400=110"});
        QCOMPARE(r.code, 6);
        QCOMPARE(r.errLines().size(), 2);
        r = cli({"--port", missing + ",3,2", "write", "H400=102"});
        QCOMPARE(r.code, 2);
        QCOMPARE(radio(2).memory(CalAddress, 1), QByteArray(1, char(102)));
    }

    // A label per port, as a scanning script gives them, in the run's JSON
    // lines and records; a port without one runs unlabelled.
    void labelPerPort()
    {
        CliResult r = cli({"--port", "1,3", "--radio", "1=SN0001,COM3=SN0003", "read", "--json"});
        QCOMPARE(r.code, 0);
        QCOMPARE(radiosOf(r.jsonLines()), QStringList({"SN0001", "SN0003"}));
        QCOMPARE(r.jsonLines()[1]["fingerprint"].toString(), "a3a3a3a3");

        radio(2).setFaults(Kind::AccessCode, {}, Fault::Silent);
        const QByteArray scanned = "# bench 4\n1=SN0101\r\n\n" + device(2).toUtf8() + "=SN0102\ncom4=SN0104\n";
        r = cliBesideSilent({"--port", "1,2,3,4", "write", "H400=77", "--radios", "-", "--json"}, scanned);
        QCOMPARE(r.code, 3);
        QCOMPARE(radiosOf(r.jsonLines()), QStringList({"SN0101", "SN0102", "-", "SN0104"}));
        QCOMPARE(r.jsonLines()[1]["error"].toString(), "no-reply");
        QCOMPARE(radio(3).memory(CalAddress, 1), QByteArray(1, char(77)));
        QStringList recorded;
        for (const QJsonValue &rec : cli({"history", "--json", "--limit", "4"}).jsonArray())
            recorded.prepend(rec["port"].toString() + '=' + (rec["radio"].isNull() ? "-" : rec["radio"].toString()));
        recorded.sort();
        QCOMPARE(recorded, QStringList({"COM1=SN0101", "COM2=SN0102", "COM3=-", "COM4=SN0104"}));

        // Refused before any port opens.
        for (int n = 1; n <= Radios; ++n)
            radio(n).clearLog();
        const QList<std::pair<QStringList, QByteArray>> refusals{
            {{"--port", "1,2", "--radio", "1=A,5=B", "read"}, {}},
            {{"--port", "1,2", "--radio", "1=A,COM1=B", "read"}, {}},
            {{"--port", "all", "--radios", "-", "read"}, "1=A\n2 B\n"},
            {{"--port", "all", "--radios", "-", "read"}, "2=A\n" + device(2).toUtf8() + "=B\n"},
            {{"--port", "1,2", "--radios", "-", "read"}, "3=C\n"},
            {{"--port", "1,2", "--radios", "-", "write", "--file", "-"}, "1=A\n"},
            {{"--port", "1,2", "--radios", dir->filePath("no-such-file"), "read"}, {}},
        };
        for (const auto &[args, input] : refusals) {
            const CliResult refused = cli(args, input);
            QVERIFY2(refused.code == 1 && refused.errLines().size() == 1, qPrintable(args.join(' ') + ": " + refused.err));
        }
        QCOMPARE(framesOnAnyRadio(), 0);
    }

    // One file per radio, named after its label or else its fingerprint and
    // the time: a second batch leaves the first one's files alone.
    void backupOfEveryPortToAFolder()
    {
        const QString folder = dir->filePath("backups");
        QVERIFY(QDir().mkdir(folder));
        for (int batch = 1; batch <= 2; ++batch) {
            const CliResult r = cli({"backup", "--port", "all", "--radio", "1=SN1,16=SN16", "--output", folder});
            QCOMPARE(r.code, 0);
            QCOMPARE(QString::fromUtf8(r.out).count(" saved to "), Radios);
        }
        const QStringList files = QDir(folder).entryList(QDir::Files);
        QCOMPARE(files.size(), 2 * Radios);
        for (int n = 1; n <= Radios; ++n) {
            const QString name = n == 1 || n == 16 ? QString("SN%1").arg(n) : QString::fromLatin1(blockOf(n).right(4).toHex());
            const QStringList mine = files.filter(QRegularExpression("^" + name + "-20\\d{6}T\\d{6}Z(-2)?\\.json$"));
            QCOMPARE(mine.size(), 2);
            const Result<History::Backup, History::BackupFile::Error> loaded =
                History::BackupFile::load(folder + "/" + mine[0]);
            QVERIFY2(loaded, qPrintable(loaded ? QString() : loaded.text()));
            const History::Backup &saved = *loaded;
            QCOMPARE(saved.block, blockOf(n));
            QCOMPARE(saved.port, portName(n));
        }

        // A folder that is missing, or is a file: refused before a port opens.
        for (int n = 1; n <= Radios; ++n)
            radio(n).clearLog();
        for (auto [ports, output] : {std::pair{QString("all"), dir->filePath("no-such-folder")},
                                     std::pair{QString("1,2"), dir->filePath("history.db")}}) {
            const CliResult refused = cli({"backup", "--port", ports, "--output", output});
            QCOMPARE(refused.code, 1);
            QVERIFY2(refused.err.contains(output.toUtf8()), refused.err.constData());
        }
        QCOMPARE(framesOnAnyRadio(), 0);
    }

    void restoreAndRadioLabelTakeOnePort()
    {
        const QString file = dir->filePath("one.json");
        const Result<void, History::BackupFile::Error> saved =
            History::BackupFile::save(file, {blockOf(1), QDateTime::currentDateTimeUtc(), "COM1", device(1)});
        QVERIFY2(saved, qPrintable(saved.text()));
        const QList<QStringList> refusals{
            {"restore", file, "--port", "1,2"},
            {"restore", "--port", "all", file},
            {"write", "--radio", "R1", "--port", "all", "H400=1"},
        };
        for (const QStringList &args : refusals) {
            const CliResult r = cli(args);
            QCOMPARE(r.code, 1);
            QCOMPARE(r.errLines().size(), 1);
            QVERIFY2(r.err.contains("one port"), r.err.constData());
        }
        QCOMPARE(framesOnAnyRadio(), 0);
    }

    // Links on eight threads at once, each moving its own block to and from
    // its own radio: a byte of one link seen by another fails the test.
    void linksShareNothing()
    {
        constexpr int Threads = 8;
        std::vector<std::unique_ptr<SimRadio>> own(Threads);
        for (auto &r : own)
            r = std::make_unique<SimRadio>();
        std::vector<QString> failures(Threads);
        std::vector<int> cycles(Threads, 0);
        std::vector<BlockBytes> last(Threads), lastTried(Threads);
        std::atomic_bool stop{false};
        const auto address = [](int t) { return std::uint16_t(0x1000 + 0x100 * t); };
        const auto work = [&](int t) {
            Link link;   // made here: its port belongs to this thread
            if (!link.open(own[t]->devicePath()) || link.enterProgramMode(Link::ShortRetryBudget)
                                                         != Frames::EntryReply::Acknowledged) {
                failures[t] = "no link";
                return;
            }
            // A reply that came too late on a starved CPU is no cross-talk: it
            // only leaves open which of the last two blocks the radio holds.
            BlockBytes held{}, tried{};
            for (int c = 0; !stop && failures[t].isEmpty(); ++c) {
                BlockBytes next;
                for (std::size_t i = 0; i < next.size(); ++i)
                    next[i] = std::uint8_t(t * 31 + c * 7 + int(i) * 13);
                const std::optional<BlockBytes> before = link.readBlock(address(t));
                if (!before)
                    continue;
                if (*before != held && *before != tried)
                    failures[t] = QString("cycle %1: read another block").arg(c);
                held = *before;
                tried = next;
                const bool written = link.writeBlock(next, address(t));
                const std::optional<BlockBytes> after = link.readBlock(address(t));
                if (written && after && *after != next)
                    failures[t] = QString("cycle %1: read back another block").arg(c);
                if (written && after)
                    held = next, cycles[t] += 1;
            }
            last[t] = held;
            lastTried[t] = tried;
            for (int tries = 0; tries < 5; ++tries)
                if (link.leaveProgramMode())
                    break;
        };
        std::vector<std::unique_ptr<QThread>> threads;
        for (int t = 0; t < Threads; ++t) {
            threads.emplace_back(QThread::create(work, t));
            threads.back()->start();
        }
        QThread::msleep(2500);
        stop = true;
        for (const auto &t : threads)
            QVERIFY(t->wait(30000));
        for (int t = 0; t < Threads; ++t) {
            QVERIFY2(failures[t].isEmpty(), qPrintable(QString("thread %1: %2").arg(t).arg(failures[t])));
            QVERIFY2(cycles[t] >= 3, qPrintable(QString("thread %1: %2 cycles").arg(t).arg(cycles[t])));
            const QByteArray held = own[t]->memory(address(t), 16);
            QVERIFY(held == BlockToBytes(last[t]) || held == BlockToBytes(lastTried[t]));
            for (const SimRadio::Frame &f : own[t]->frames()) {
                if (f.kind == Kind::Read || f.kind == Kind::Write)
                    QCOMPARE((quint8(f.bytes[1]) << 8) | quint8(f.bytes[2]), int(address(t)));
            }
            QVERIFY(!own[t]->inProgrammingMode());
        }
        const auto [fewest, most] = std::minmax_element(cycles.begin(), cycles.end());
        qInfo("%d to %d read/write/read cycles per link", *fewest, *most);
    }
};

QTEST_GUILESS_MAIN(TestStation)
#include "tst_station.moc"
