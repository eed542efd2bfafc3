// The audit trail end to end: the real calitune-cli against simulated radios
// on pseudo-terminals: radio labels, restores refused for another radio, one
// record per exchange, the history listing and an old history file.
#include "tests/TestRadio.h"
#include "files/BackupFile.h"
#include "history/HistoryStore.h"
#include "sim/SimRadio.h"
#include "tests/CliRunner.h"

#include <QCryptographicHash>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

using Kind = SimRadio::FrameKind;

namespace {

const QByteArray Block = SampleBlock;
const QString Station = QStringLiteral("bench-7");

QString hex(const QByteArray &b) { return QString::fromLatin1(b.toHex()); }

// Stops the test function when a helper it called failed.
#define CHECKED(call)                      \
    do {                                   \
        call;                              \
        if (QTest::currentTestFailed())    \
            return;                        \
    } while (false)

} // namespace

class TestAudit : public QObject, CliRig {
    Q_OBJECT
    std::unique_ptr<SimRadio> other;   // COM2 beside the rig's radio on COM1
    bool silentRadio = false;          // its attempts need not take the real window

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = CliEnvironment({radio->devicePath(), other->devicePath()}, path("history.db"),
                                                 path("config"));
        env.insert("CALITUNE_STATION", Station);
        env.insert("CALITUNE_PORT", "1");
        env.insert("TZ", "Asia/Shanghai");   // so that nothing passes by taking local time for UTC
        return silentRadio ? WithShortReplyWindow(env) : env;
    }
    CliResult cli(const QStringList &args) const { return RunCli(args, environment()); }
    QJsonArray history(const QStringList &filters = {}) const
    {
        const CliResult r = cli(QStringList{"history", "--json"} + filters);
        return r.code == 0 ? r.jsonArray() : QJsonArray{};
    }
    // Runs one exchange; it must end with `code` and add exactly one record.
    void exchange(const QStringList &args, int code, QJsonObject *record = nullptr, CliResult *result = nullptr,
                  const QByteArray &input = {})
    {
        const qsizetype before = history().size();
        const CliResult r = RunCli(args, environment(), input);
        QVERIFY2(r.code == code, qPrintable(QString("exit %1: %2").arg(r.code).arg(QString::fromUtf8(r.err))));
        const QJsonArray h = history();
        QCOMPARE(h.size(), before + 1);
        if (record)
            *record = h.first().toObject();
        if (result)
            *result = r;
    }
    void addRecord(const char *time, const QString &port, std::optional<QString> label, History::Action action,
                   History::State outcome, const QByteArray &before = Block) const
    {
        History::Store store(path("history.db"));
        History::Record r;
        r.time = QDateTime::fromString(time, Qt::ISODateWithMs);
        std::tie(r.station, r.port, r.device, r.radio) = std::tuple("s1", port, "/dev/ttyUSB" + port.right(1), label);
        std::tie(r.action, r.outcome, r.before) = std::tuple(action, outcome, before);
        QVERIFY(store.add(r));
    }

private slots:
    void init()
    {
        setUp(Block);
        other = std::make_unique<SimRadio>();
        silentRadio = false;
    }
    void cleanup()
    {
        other.reset();
        tearDown();
    }

    void radioLabelGoesEverywhere()
    {
        const QString label = QStringLiteral("Ünit 7/A");   // a space and a letter beyond ASCII
        const QString file = path("labelled.json");
        QJsonObject rec;
        CHECKED(exchange({"backup", "--output", file, "--radio", label}, 0, &rec));
        QCOMPARE(rec["action"].toString(), "backup");
        QFile saved(file);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        const QJsonDocument backup = QJsonDocument::fromJson(saved.readAll());
        QCOMPARE(backup["radio"].toString(), label);
        QCOMPARE(backup["fingerprint"].toString(), "11223344");
        CHECKED(exchange({"read", "--radio", label}, 0));
        CHECKED(exchange({"write", "H400=1", "--radio", label}, 0));
        CHECKED(exchange({"restore", file, "--radio", label}, 0));
        QCOMPARE(radio->memory(CalAddress, 16), Block);
        CHECKED(exchange({"read", "--radio", QString(64, QChar(0xe9))}, 0));   // 64 characters, 128 bytes

        const QJsonArray mine = history({"--radio", label});
        QCOMPARE(mine.size(), 4);
        for (const QJsonValue &r : mine)
            QCOMPARE(r["radio"].toString(), label);
        const QString text = QString::fromUtf8(cli({"history", "--radio", label}).out);
        QCOMPARE(text.count('\n'), 5);   // and the header
        QVERIFY2(text.contains(QRegularExpression("Z +" + Station + " +COM1 +" + label + " +restore +done")),
                 qPrintable(text));

        // A station's prefix goes before the number typed, for the look-up too.
        QVERIFY(QDir().mkpath(path("config/Calitune")));
        QFile config(path("config/Calitune/calitune.conf"));
        QVERIFY(config.open(QIODevice::WriteOnly) && config.write("radio_prefix=SN\n") > 0);
        config.close();
        // A label scanned with the prefix keeps it once; a look-up finds the
        // labels written with and without it (stations set up otherwise).
        CHECKED(exchange({"read", "--radio", "12"}, 0, &rec));
        QCOMPARE(rec["radio"].toString(), "SN12");
        QCOMPARE(rec["fingerprint"].toString(), "11223344");
        CHECKED(exchange({"read", "--radio", "SN12"}, 0, &rec));
        QCOMPARE(rec["radio"].toString(), "SN12");
        CHECKED(addRecord("2025-03-01T10:00:00Z", "COM1", "12", History::Action::Read, Outcome::Done));
        QCOMPARE(cli({"read", "--radio", ""}).code, 1);
        for (const char *asked : {"12", "SN12"})
            QCOMPARE(history({"--radio", asked}).size(), 3);
        QVERIFY2(cli({"config"}).out.contains("SN goes in front of a label that does not start with it"),
                 cli({"config"}).out.constData());
    }

    void badRadioLabelsSendNothing_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("65 characters") << QStringList{"read", "--radio", QString(65, 'x')};
        QTest::newRow("empty") << QStringList{"write", "H400=1", "--radio", ""};
        QTest::newRow("tab") << QStringList{"read", "--radio", "A\tB"};
        QTest::newRow("escape") << QStringList{"backup", "--output", "@dir/b.json", "--radio", "A\x1b[2J"};
        QTest::newRow("newline") << QStringList{"restore", "@dir/b.json", "--radio", "A\nB"};
        QTest::newRow("delete") << QStringList{"history", "--radio", "A\x7f"};
        QTest::newRow("line separator") << QStringList{"backup", "--output", "@dir/b.json", "--radio", "A\u2028B"};
        QTest::newRow("port list") << QStringList{"read", "--port", "1,2", "--radio", "A"};
        QTest::newRow("all ports") << QStringList{"backup", "--port", "all", "--output", "@dir", "--radio", "A"};
    }
    void badRadioLabelsSendNothing()
    {
        QFETCH(QStringList, args);
        args.replaceInStrings("@dir", dir->path());
        QVERIFY(History::BackupFile::save(path("b.json"), {Block, QDateTime::currentDateTimeUtc(), "COM1", "x"}));
        const CliResult r = cli(args << "--json");
        QCOMPARE(r.code, 1);
        QCOMPARE(r.errLines().size(), 1);
        QVERIFY2(r.err.contains("--radio"), r.err.constData());
        QCOMPARE(r.json()["error"].toString(), "usage");
        QVERIFY(r.json()["port"].isNull() && r.json()["device"].isNull());
        QVERIFY(radio->frames().empty() && other->frames().empty());
        QVERIFY(history().isEmpty());
    }

    void restoreRefusesAnotherRadio_data()
    {
        QTest::addColumn<bool>("fromFile");
        QTest::addColumn<QByteArray>("originOwn");   // bytes 12-15 where the block came from
        QTest::addColumn<QString>("originLabel");
        QTest::addColumn<QString>("portLabel");
        QTest::addColumn<int>("code");
        const QByteArray same = Block.mid(12), others = bytes({0xaa, 0xbb, 0xcc, 0xdd});
        QTest::newRow("file, other bytes") << true << others << "" << "" << 7;
        QTest::newRow("file, other label") << true << same << "B-2" << "A-1" << 7;
        QTest::newRow("file without a label") << true << same << "" << "A-1" << 0;
        QTest::newRow("record, other bytes, same label") << false << others << "A-1" << "A-1" << 7;
        QTest::newRow("record, other label") << false << same << "B-2" << "A-1" << 7;
        QTest::newRow("record, same bytes, no labels") << false << same << "" << "" << 0;
    }
    void restoreRefusesAnotherRadio()
    {
        QFETCH(bool, fromFile);
        QFETCH(QByteArray, originOwn);
        QFETCH(QString, originLabel);
        QFETCH(QString, portLabel);
        QFETCH(int, code);
        const QByteArray origin = bytes({10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21}) + originOwn;
        other->setMemory(CalAddress, origin);
        const QStringList originRadio = originLabel.isEmpty() ? QStringList{} : QStringList{"--radio", originLabel};
        QStringList args{"restore", "--port", "1", "--json"};
        if (!portLabel.isEmpty())
            args << "--radio" << portLabel;
        QString from;
        QJsonObject rec;
        if (fromFile) {
            from = "backup " + path("other.json");
            CHECKED(exchange(QStringList{"backup", "--port", "2", "--output", path("other.json")} + originRadio, 0));
            args << path("other.json");
        } else {
            CHECKED(exchange(QStringList{"read", "--port", "2"} + originRadio, 0, &rec));
            from = "record " + QString::number(rec["id"].toInteger());
            args << "--history" << QString::number(rec["id"].toInteger());
        }
        const QByteArray restored = origin.left(12) + Block.mid(12);   // the radio keeps its own bytes
        if (code == 0) {
            CHECKED(exchange(args, 0));
            QCOMPARE(radio->memory(CalAddress, 16), restored);
            return;
        }
        CliResult r;
        CHECKED(exchange(args, 7, &rec, &r));
        QCOMPARE(rec["action"].toString(), "restore");
        QCOMPARE(rec["outcome"].toString(), "other-radio");
        QVERIFY(rec["sent"].isNull() && !rec["forced"].toBool(true));
        QCOMPARE(r.json()["error"].toString(), "other-radio");
        QCOMPARE(r.json()["port"].toString(), "COM1");
        QCOMPARE(r.json()["device"].toString(), radio->devicePath());
        QCOMPARE(r.errLines().size(), 1);
        const QString line = r.errLines().first();
        const QStringList expected{"radio " + (portLabel.isEmpty() ? "none" : portLabel), "bytes 12-15 11223344",
                                   "radio " + (originLabel.isEmpty() ? "none" : originLabel),
                                   "bytes 12-15 " + hex(originOwn), from};
        for (const QString &shown : expected)
            QVERIFY2(line.contains(shown), qPrintable(shown + " not in: " + line));
        QCOMPARE(radio->count(Kind::Write), 0);
        QVERIFY(radio->count(Kind::Exit) == 1 && !radio->inProgrammingMode());
        QCOMPARE(radio->memory(CalAddress, 16), Block);

        CHECKED(exchange(args + QStringList{"--dry-run"}, 7));
        QCOMPARE(radio->count(Kind::Write), 0);
        QVERIFY(!radio->inProgrammingMode());

        CHECKED(exchange(args + QStringList{"--force"}, 0, &rec));
        QCOMPARE(radio->memory(CalAddress, 16), restored);
        QCOMPARE(rec["forced"].toBool(), true);
        QCOMPARE(rec["outcome"].toString(), "done");
        QCOMPARE(rec["sent"].toString(), hex(restored));
    }

    // What each kind of exchange keeps; failures at the port, the reply and
    // the link are checked per outcome in tst_cli.
    void everyExchangeLeavesItsRecord()
    {
        const QString file = path("radio.json");
        QJsonObject rec;
        CHECKED(exchange({"read"}, 0, &rec));
        QCOMPARE(rec["station"].toString(), Station);
        QVERIFY(rec["source_file"].isNull() && rec["source_record"].isNull() && !rec.contains("verified"));
        CHECKED(exchange({"backup", "--output", file}, 0, &rec));
        QCOMPARE(rec["action"].toString(), "backup");
        QCOMPARE(rec["before"].toString(), hex(Block));
        QVERIFY(rec["sent"].isNull() && !rec.contains("verified"));
        CHECKED(exchange({"write", "H400=1", "--no-verify"}, 0, &rec));
        QCOMPARE(rec["action"].toString(), "write");
        QVERIFY(!rec["sent"].isNull() && rec["after"].isNull() && !rec.contains("verified"));
        const QString write = QString::number(rec["id"].toInt());

        QFile saved(file);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        const QString sha = hex(QCryptographicHash::hash(saved.readAll(), QCryptographicHash::Sha256));
        CHECKED(exchange({"restore", file}, 0, &rec));
        QCOMPARE(rec["action"].toString(), "restore");
        QCOMPARE(rec["source_file"].toObject(), QJsonObject({{"path", file}, {"sha256", sha}}));
        QVERIFY(rec["source_record"].isNull());
        QCOMPARE(rec["verified"].toBool(false), true);
        const QByteArray other = bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}) + Block.mid(12);
        const QByteArray piped = History::BackupFile::toJson({other, QDateTime::currentDateTimeUtc(), "COM1", "x"});
        CHECKED(exchange({"restore", "-"}, 0, &rec, nullptr, piped));
        QCOMPARE(rec["source_file"].toObject(),
                 QJsonObject({{"path", "-"}, {"sha256", hex(QCryptographicHash::hash(piped, QCryptographicHash::Sha256))}}));
        QCOMPARE(radio->memory(CalAddress, 16), other);
        CHECKED(exchange({"restore", "--history", write}, 0, &rec));
        QCOMPARE(rec["source_record"].toString(), write);
        QVERIFY(rec["source_file"].isNull());
        QCOMPARE(radio->memory(CalAddress, 16), Block);

        radio->setFaults(Kind::AccessCode, {}, SimRadio::Fault::Silent);
        silentRadio = true;
        CliResult r;
        CHECKED(exchange({"read", "--json"}, 3, &rec, &r));
        QCOMPARE(r.json()["port"].toString(), "COM1");
        QCOMPARE(r.json()["device"].toString(), radio->devicePath());
        QCOMPARE(rec["outcome"].toString(), "no-reply");
        QVERIFY(rec["before"].isNull());
    }

    void historyFilters_data()
    {
        QTest::addColumn<QStringList>("filters");
        QTest::addColumn<QList<int>>("ids");   // newest first; empty: refused
        using L = QList<int>;
        QTest::newRow("none") << QStringList{} << L{4, 3, 2, 1};
        QTest::newRow("port name") << QStringList{"--port", "COM3"} << L{2};
        QTest::newRow("port number") << QStringList{"--port", "2"} << L{3, 1};
        QTest::newRow("device") << QStringList{"--port", "/dev/ttyUSB3"} << L{2};
        QTest::newRow("radio") << QStringList{"--radio", "R1"} << L{4, 1};
        QTest::newRow("since a day") << QStringList{"--since", "2025-03-02"} << L{4, 3};
        QTest::newRow("until a day, all of it") << QStringList{"--until", "2025-03-01"} << L{2, 1};
        QTest::newRow("times are UTC, inclusive")
            << QStringList{"--since", "2025-03-01T23:30:00", "--until", "2025-03-02T00:00:00"} << L{3, 2};
        QTest::newRow("offset") << QStringList{"--until", "2025-03-02T07:30:00+08:00"} << L{2, 1};
        QTest::newRow("local with --local") << QStringList{"--local", "--until", "2025-03-02T07:30:00"} << L{2, 1};
        QTest::newRow("milliseconds") << QStringList{"--since", "2025-03-03T12:00:00.000Z"} << L{4};
        QTest::newRow("action") << QStringList{"--action", "backup"} << L{3};
        QTest::newRow("outcome") << QStringList{"--outcome", "other-radio"} << L{4};
        QTest::newRow("unfinished") << QStringList{"--outcome", "unfinished"} << L{3};
        QTest::newRow("limit") << QStringList{"--limit", "2"} << L{4, 3};
        QTest::newRow("combined") << QStringList{"--radio", "R1", "--action", "read"} << L{1};
        // Oldest first; record 3 is R1's unlabelled, record 2 another radio's.
        QTest::newRow("story of a label") << QStringList{"--story", "R1"} << L{1, 3, 4};
        QTest::newRow("story of a fingerprint") << QStringList{"--story", "11223344"} << L{1, 3, 4};
        QTest::newRow("story of the other radio") << QStringList{"--story", "R2"} << L{2};
        QTest::newRow("bad story with a filter") << QStringList{"--story", "R1", "--limit", "2"} << L{};
        for (const QStringList &bad : {QStringList{"--since", "yesterday"}, {"--until", "2025-02-30"}, {"--since", ""},
                                       {"--until", "2025-03-01T25:00:00Z"}, {"--action", "erase"}, {"--outcome", "ok"},
                                       {"--limit", "0"}, {"--limit", "2x"}, {"--limit", "-1"}})
            QTest::newRow(qPrintable("bad " + bad.join(' '))) << bad << L{};
    }
    void historyFilters()
    {
        QFETCH(QStringList, filters);
        QFETCH(QList<int>, ids);
        CHECKED(addRecord("2025-03-01T10:00:00Z", "COM2", "R1", History::Action::Read, Outcome::Done));
        CHECKED(addRecord("2025-03-01T23:30:00Z", "COM3", "R2", History::Action::Write, Outcome::VerifyMismatch,
                          Block.left(12) + "R2R2"));
        CHECKED(addRecord("2025-03-02T00:00:00Z", "COM2", {}, History::Action::Backup, History::Unfinished));
        CHECKED(addRecord("2025-03-03T12:00:00Z", "COM1", "R1", History::Action::Restore, Outcome::Refused));
        const CliResult r = cli(QStringList{"history", "--json"} + filters);
        if (ids.isEmpty()) {
            QCOMPARE(r.code, 1);
            QCOMPARE(r.json()["error"].toString(), "usage");
            QVERIFY(r.json()["port"].isNull() && r.json()["device"].isNull());
            return;
        }
        QCOMPARE(r.code, 0);
        QList<int> listed;
        for (const QJsonValue &rec : r.jsonArray())
            listed << rec["id"].toInt();
        QCOMPARE(listed, ids);
    }

    void historyTimes()
    {
        CHECKED(addRecord("2025-03-01T10:00:00.250Z", "COM2", "R1", History::Action::Read, Outcome::Done));
        CliResult r = cli({"history"});
        QVERIFY2(r.out.contains("\n   1  2025-03-01T10:00:00Z  s1  ") && r.out.contains("COM2    R1  "), r.out.constData());
        r = cli({"history", "--local"});
        QVERIFY2(r.out.contains("  2025-03-01T18:00:00+08:00  s1  "), r.out.constData());
        r = cli({"history", "--local", "--json"});
        QCOMPARE(r.jsonArray().at(0)["time"].toString(), "2025-03-01T10:00:00.250Z");
    }

    void errorsNameTheirPort_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("where");   // port and device of each line's error; empty: null
        QTest::newRow("no port chosen") << QStringList{"read"} << QStringList{};
        QTest::newRow("bad backup file") << QStringList{"restore", "@dir"} << QStringList{};
        QTest::newRow("mapped port gone") << QStringList{"read", "--port", "3"} << QStringList{"COM3", "@gone"};
        QTest::newRow("one of a list") << QStringList{"read", "--port", "1,@gone"} << QStringList{"@gone", "@gone"};
    }
    void errorsNameTheirPort()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, where);
        const QString gone = path("no-such-tty");
        args.replaceInStrings("@dir", dir->path()).replaceInStrings("@gone", gone);
        where.replaceInStrings("@gone", gone);
        QProcessEnvironment env = environment();
        env.insert("CALITUNE_COM3", gone);
        env.remove("CALITUNE_PORT");
        const CliResult r = RunCli(args << "--json", env);
        QVERIFY(r.code > 0);
        const QJsonObject error = r.jsonLines().last().object();
        QVERIFY2(error.contains("error") && error.contains("port") && error.contains("device"), r.out.constData());
        QCOMPARE(error["port"].toVariant().toString(), where.value(0));
        QCOMPARE(error["device"].toVariant().toString(), where.value(1));
        QCOMPARE(error["port"].isNull(), where.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestAudit)
#include "tst_audit.moc"
