// The command-line program end to end: the real calitune-cli, run as a child
// process against simulated radios on pseudo-terminals.
#include "tests/TestRadio.h"
#include "files/BackupFile.h"
#include "history/HistoryStore.h"
#include "sim/PtyPair.h"
#include "sim/SimRadio.h"
#include "tests/CliRunner.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QRandomGenerator>
#include <QSysInfo>
#include <QtTest>
#include <functional>

using Kind = SimRadio::FrameKind;
using Fault = SimRadio::Fault;

namespace {

// L420 is above 127: the table must show it as it is.
const QByteArray Block = SampleBlock;
const QByteArray ReadRequest = bytes({'R', 0x03, 0x80, 0x10});

QByteArray withChanges(QByteArray block, std::initializer_list<std::pair<int, int>> changes)
{
    for (auto [i, v] : changes)
        block[i] = char(v);
    return block;
}

QByteArray contentOf(const QString &file)
{
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray writeFrameFor(const QByteArray &block) { return bytes({'W', 0x03, 0x80, 0x10}) + block; }

QString backupJson(const QByteArray &block, const std::function<void(QJsonObject &)> &edit = {})
{
    const History::Backup b{block, QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5), Qt::UTC), "COM1", "/dev/ttyUSB0"};
    QJsonObject o = QJsonDocument::fromJson(History::BackupFile::toJson(b)).object();
    if (edit)
        edit(o);
    return QString::fromUtf8(QJsonDocument(o).toJson());
}

} // namespace

class TestCli : public QObject, CliRig {
    Q_OBJECT


    QString historyPath() const { return dir->filePath("history.db"); }

    QProcessEnvironment environment(const QString &com1) const { return CliEnvironment({com1}, historyPath()); }
    void start(QProcess &p, const QStringList &args, const QProcessEnvironment &env) const { StartCli(p, args, env); }
    static CliResult finish(QProcess &p) { return FinishCli(p); }
    CliResult cli(const QStringList &args, const QProcessEnvironment &env) const { return RunCli(args, env); }
    CliResult cli(const QStringList &args) const { return cli(args, environment(radio->devicePath())); }

    QByteArray frameOf(Kind kind, int nth = 0) const
    {
        for (const auto &f : radio->frames())
            if (f.kind == kind && nth-- == 0)
                return f.bytes;
        return {};
    }
    QJsonArray historyJson() const
    {
        const CliResult r = cli({"history", "--json"});
        return r.code == 0 ? r.jsonArray() : QJsonArray{};
    }

private slots:
    void init() { setUp(Block); }
    void cleanup() { tearDown(); }

    void readShowsTheTrueBytes()
    {
        CliResult r = cli({"read"});
        QCOMPARE(r.code, 0);
        QCOMPARE(kinds(), QList<Kind>({Kind::AccessCode, Kind::Read, Kind::Exit}));
        QCOMPARE(frameOf(Kind::Read), ReadRequest);
        const QString text = QString::fromUtf8(r.out);
        QVERIFY2(text.contains(QRegularExpression("high +96 +101 +0 +109 +113 +118\n")), qPrintable(text));
        QVERIFY2(text.contains(QRegularExpression("low +34 +200\\* +5 +46 +50 +55\n")), qPrintable(text));
        QVERIFY(text.contains("* above 127: the window shows 127"));
        QVERIFY(r.err.isEmpty());

        radio->clearLog();
        r = cli({"read", "--json"});
        QCOMPARE(r.code, 0);
        const QJsonObject o = r.json().object();
        QCOMPARE(o["port"].toString(), "COM1");
        QCOMPARE(o["device"].toString(), radio->devicePath());
        QCOMPARE(o["block"].toString(), QString::fromLatin1(Block.toHex()));
        QCOMPARE(o["values"].toObject().size(), 12);
        QCOMPARE(o["values"]["H400"].toInt(), 96);
        QCOMPARE(o["values"]["L420"].toInt(), 200);
        QCOMPARE(o["values"]["L520"].toInt(), 55);
        // Block order, not sorted by name.
        QVERIFY(r.out.indexOf("\"H400\"") < r.out.indexOf("\"L400\"")
                && r.out.indexOf("\"L400\"") < r.out.indexOf("\"H420\""));
    }

    void portForms_data()
    {
        QTest::addColumn<QStringList>("portArgs");
        QTest::addColumn<QString>("name");
        QTest::newRow("left out, one port") << QStringList{} << "COM1";
        QTest::newRow("number") << QStringList{"--port", "1"} << "COM1";
        QTest::newRow("COM name, any case") << QStringList{"--port", "com1"} << "COM1";
        QTest::newRow("after the command") << QStringList{"read", "--port", "COM1"} << "COM1";
        QTest::newRow("device path") << QStringList{"--port", "@device"} << "@device";
    }
    void portForms()
    {
        QFETCH(QStringList, portArgs);
        QFETCH(QString, name);
        portArgs.replaceInStrings("@device", radio->devicePath());
        name.replace("@device", radio->devicePath());
        QStringList args = portArgs;
        if (!args.contains("read"))
            args << "read";
        const CliResult r = cli(args << "--json");
        QCOMPARE(r.code, 0);
        QCOMPARE(r.json()["port"].toString(), name);
        QCOMPARE(r.json()["device"].toString(), radio->devicePath());
        QCOMPARE(historyJson().first()["port"].toString(), name);
    }

    void portsAndAmbiguousPort()
    {
        SimRadio second;
        QProcessEnvironment env = environment(radio->devicePath());
        env.insert("CALITUNE_COM4", second.devicePath());
        QSerialPort holder(second.devicePath());
        QVERIFY(holder.open(QIODevice::ReadWrite));

        CliResult r = cli({"ports", "--json"}, env);
        QCOMPARE(r.code, 0);
        const QJsonArray ports = r.jsonArray();
        QCOMPARE(ports.size(), 2);
        // A pseudo-terminal has no adapter: its maker, ids and serial are null.
        const QJsonObject none{{"description", QJsonValue()}, {"manufacturer", QJsonValue()},
                               {"vendor_id", QJsonValue()}, {"product_id", QJsonValue()},
                               {"serial_number", QJsonValue()}};
        QJsonObject com1 = none, com4 = none;
        for (auto [o, values] : {std::pair{&com1, QJsonObject{{"port", "COM1"}, {"number", 1}, {"device", radio->devicePath()}, {"available", true}}},
                                 std::pair{&com4, QJsonObject{{"port", "COM4"}, {"number", 4}, {"device", second.devicePath()}, {"available", false}}}})
            for (auto it = values.begin(); it != values.end(); ++it)
                o->insert(it.key(), it.value());
        QCOMPARE(ports[0].toObject(), com1);
        QCOMPARE(ports[1].toObject(), com4);
        QCOMPARE(r.out.count('\n'), 2);   // JSON Lines
        r = cli({"ports"}, env);
        QCOMPARE(r.code, 0);
        QCOMPARE(r.out.count('\n'), 2);

        // Two ports and none chosen: refused, naming both, nothing sent.
        r = cli({"read"}, env);
        QCOMPARE(r.code, 1);
        QCOMPARE(r.errLines().size(), 1);
        QVERIFY(r.err.contains("COM1") && r.err.contains("COM4"));
        QVERIFY(radio->frames().empty() && second.frames().empty());
    }

    void writeChangesOnlyTheGivenValues()
    {
        const QByteArray expected = withChanges(Block, {{0, 90}, {11, 5}});
        CliResult r = cli({"write", "H400=90", "l520=5"});
        QCOMPARE(r.code, 0);
        QCOMPARE(QString::fromUtf8(r.out), "H400: 96 -> 90\nL520: 55 -> 5\nverified: the radio holds the block written\n");
        QCOMPARE(kinds(), QList<Kind>({Kind::AccessCode, Kind::Read, Kind::Write, Kind::Read, Kind::Exit}));
        QCOMPARE(frameOf(Kind::AccessCode), QByteArray("CALTUNE"));
        QCOMPARE(frameOf(Kind::Read, 0), ReadRequest);
        QCOMPARE(frameOf(Kind::Write), writeFrameFor(expected));
        QCOMPARE(frameOf(Kind::Read, 1), ReadRequest);
        QCOMPARE(frameOf(Kind::Exit), QByteArray("E"));
        QCOMPARE(radio->memory(CalAddress, 16), expected);
        QVERIFY(!radio->inProgrammingMode());

        // From a file, without the read back, as JSON.
        radio->clearLog();
        const QString file = writeFile("values.json", R"({"H420": 7, "L400": 127})");
        r = cli({"write", "--file", file, "--no-verify", "--json"});
        QCOMPARE(r.code, 0);
        QCOMPARE(kinds(), QList<Kind>({Kind::AccessCode, Kind::Read, Kind::Write, Kind::Exit}));
        const QByteArray second = withChanges(expected, {{1, 127}, {2, 7}});
        QCOMPARE(frameOf(Kind::Write), writeFrameFor(second));
        const QJsonObject o = r.json().object();
        QCOMPARE(o["changes"].toObject(),
                 QJsonObject({{"L400", QJsonObject({{"from", 34}, {"to", 127}})},
                              {"H420", QJsonObject({{"from", 101}, {"to", 7}})}}));
        QCOMPARE(o["before"].toString(), QString::fromLatin1(expected.toHex()));
        QCOMPARE(o["sent"].toString(), QString::fromLatin1(second.toHex()));
        QVERIFY(o["after"].isNull());
        QCOMPARE(o["written"].toBool(), true);
        QCOMPARE(o["verified"].toBool(), false);

        // Values the radio holds already: no block goes out.
        radio->clearLog();
        r = cli({"write", "H420=7", "--json"});
        QCOMPARE(r.code, 0);
        QCOMPARE(kinds(), QList<Kind>({Kind::AccessCode, Kind::Read, Kind::Exit}));
        QCOMPARE(r.json()["written"].toBool(), false);
        r = cli({"write", "H420=7", "H400=90"});
        QCOMPARE(r.out, QByteArray("nothing to change: the radio holds these values already\n"));
        r = cli({"write", "H420=7", "--no-verify", "L400=1"});
        QCOMPARE(r.out, QByteArray("L400: 127 -> 1\nH420: 7 -> 7\nwritten, not verified (--no-verify)\n"));
    }

    void badInputSendsNothing_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("file");   // written and given with --file when not null
        QTest::addColumn<QString>("words");
        const QByteArray none;
        QTest::newRow("negative") << QStringList{"write", "H400=-1"} << none << "\"-1\"";
        QTest::newRow("above 127") << QStringList{"write", "H400=128"} << none << "\"128\"";
        QTest::newRow("fraction") << QStringList{"write", "H400=1.5"} << none << "\"1.5\"";
        QTest::newRow("hex") << QStringList{"write", "H400=0x10"} << none << "\"0x10\"";
        QTest::newRow("empty") << QStringList{"write", "H400="} << none << "H400";
        QTest::newRow("space") << QStringList{"write", "H400= 5"} << none << "\" 5\"";
        QTest::newRow("huge") << QStringList{"write", "L520=99999999999999999999"} << none << "L520";
        QTest::newRow("unknown name") << QStringList{"write", "H410=5"} << none << "unknown value name \"H410\"";
        QTest::newRow("no equals") << QStringList{"write", "H400"} << none << "NAME=VALUE";
        QTest::newRow("twice") << QStringList{"write", "H400=5", "h400=6"} << none << "more than once";
        QTest::newRow("nothing to write") << QStringList{"write"} << none << "no values";
        QTest::newRow("file and NAME=V") << QStringList{"write", "L400=5"} << QByteArray(R"({"H400": 5})")
                                         << "not both";
        QTest::newRow("file not JSON") << QStringList{"write"} << QByteArray("H400=5") << "not JSON";
        QTest::newRow("file not object") << QStringList{"write"} << QByteArray("[90]") << "not a JSON object";
        QTest::newRow("file fraction") << QStringList{"write"} << QByteArray(R"({"H400": 90.5})") << "\"90.5\"";
        QTest::newRow("file string") << QStringList{"write"} << QByteArray(R"({"H400": "90"})") << "H400: \"90\" is not";
        QTest::newRow("file above 127") << QStringList{"write"} << QByteArray(R"({"H400": 200})") << "\"200\"";
        QTest::newRow("file unknown") << QStringList{"write"} << QByteArray(R"({"H400": 1, "X": 2})") << "\"X\"";
        QTest::newRow("file twice") << QStringList{"write"} << QByteArray(R"({"H400": 1, "H400": 2})")
                                    << "more than once";
        QTest::newRow("file empty object") << QStringList{"write"} << QByteArray("{}") << "no values";
        QTest::newRow("file missing") << QStringList{"write", "--file", "/nonexistent/values.json"} << none
                                      << "cannot read";
        QTest::newRow("unknown command") << QStringList{"erase"} << none << "unknown command";
        QTest::newRow("unknown option") << QStringList{"read", "--fast"} << none << "read has no option --fast (see";
        QTest::newRow("value for a switch") << QStringList{"read", "--quiet=1"} << none << "--quiet takes no value";
        QTest::newRow("server record") << QStringList{"restore", "--history", "line-2:48"} << none
                                       << "a STATION:ID record is on the history server: add --server";
        QTest::newRow("no config file") << QStringList{"--config", "/nonexistent/c.conf", "read"} << none
                                        << "--config /nonexistent/c.conf: not a file";
        QTest::newRow("not a port") << QStringList{"--port", "ttyUSB0", "read"} << none << "not a port";
        QTest::newRow("restore nothing") << QStringList{"restore"} << none << "backup file";
        QTest::newRow("backup without output") << QStringList{"backup"} << none << "--output";
    }
    void badInputSendsNothing()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, file);
        QFETCH(QString, words);
        if (!file.isNull())
            args << "--file" << writeFile("values.json", file);
        for (bool json : {false, true}) {
            const CliResult r = cli(json ? args + QStringList{"--json"} : args);
            QCOMPARE(r.code, 1);
            QCOMPARE(r.errLines().size(), 1);
            QVERIFY2(r.err.startsWith("calitune-cli: ") && QString::fromUtf8(r.err).contains(words),
                     r.err.constData());
            if (json) {
                QCOMPARE(r.json()["error"].toString(), "usage");
                QCOMPARE("calitune-cli: " + r.json()["message"].toString() + "\n", QString::fromUtf8(r.err));
            } else {
                QVERIFY(r.out.isEmpty());
            }
        }
        QVERIFY(radio->frames().empty());
        QVERIFY(historyJson().isEmpty());
    }

    void failures_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<std::function<void(SimRadio &)>>("fault");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("words");
        QTest::addColumn<int>("writes");
        QTest::addColumn<bool>("exits");   // the exit command goes out: the radio answered
        using F = std::function<void(SimRadio &)>;
        QTest::newRow("port missing") << QStringList{"--port", "/dev/calitune-no-such-port", "read"}
                                      << F([](SimRadio &) {}) << 2 << "port" << "does not exist" << 0 << false;
        QTest::newRow("other reply") << QStringList{"write", "H400=1"}
                                     << F([](SimRadio &s) { s.setFaults(Kind::AccessCode, {}, {Fault::WrongByte, 0x15}); })
                                     << 4 << "other-reply" << "something other" << 0 << false;
        QTest::newRow("read silent") << QStringList{"read"}
                                     << F([](SimRadio &s) { s.setFaults(Kind::Read, {}, Fault::Silent); })
                                     << 5 << "link-lost" << "link was lost" << 0 << false;
        QTest::newRow("read reply cut") << QStringList{"read"}
                                        << F([](SimRadio &s) { s.setFaults(Kind::Read, {}, {Fault::CutAfter, 9}); })
                                        << 5 << "link-lost" << "confirmed the exit command" << 0 << true;
        QTest::newRow("read reply of other bytes") << QStringList{"backup", "--output", "@/radio.json"}
                                                   << F([](SimRadio &s) { s.setFaults(Kind::Read, {}, {Fault::WrongHeader, 'X'}); })
                                                   << 4 << "other-reply" << "block transfer with something else" << 0 << true;
        QTest::newRow("radio gone after entry") << QStringList{"write", "H400=1"}
                                                << F([](SimRadio &s) { s.setSilentAfter(1); })
                                                << 5 << "link-lost" << "nothing was written" << 0 << false;
        QTest::newRow("block write unanswered") << QStringList{"write", "H400=1"}
                                                << F([](SimRadio &s) { s.setFaults(Kind::Write, {}, Fault::Silent); })
                                                << 5 << "link-lost" << "partly written" << 3 << false;
        QTest::newRow("block write refused") << QStringList{"write", "H400=1"}
                                             << F([](SimRadio &s) { s.setFaults(Kind::Write, {}, {Fault::WrongByte, 0x15}); })
                                             << 4 << "other-reply" << "the block was sent" << 3 << true;
        QTest::newRow("stores other bytes") << QStringList{"write", "L400=1"}
                                            << F([](SimRadio &s) { s.setFaults(Kind::Write, {}, Fault::StoreOther); })
                                            << 6 << "verify" << "other bytes" << 1 << true;
    }
    void failures()
    {
        QFETCH(QStringList, args);
        QFETCH(std::function<void(SimRadio &)>, fault);
        QFETCH(int, code);
        QFETCH(QString, kind);
        QFETCH(QString, words);
        QFETCH(int, writes);
        QFETCH(bool, exits);
        args.replaceInStrings("@", dir->path());
        fault(*radio);
        const CliResult r = cli(args + QStringList{"--json"}, WithShortReplyWindow(environment(radio->devicePath())));
        QCOMPARE(r.code, code);
        QCOMPARE(r.errLines().size(), 1);
        const QString line = r.errLines().first();
        QVERIFY2(line.contains(words), qPrintable(line));
        const QString device = args.contains("--port") ? args[args.indexOf("--port") + 1] : radio->devicePath();
        QVERIFY2(line.contains(device), qPrintable(line));
        const QJsonObject o = r.json().object();
        QCOMPARE(o["error"].toString(), kind);
        QCOMPARE("calitune-cli: " + o["message"].toString(), line);
        QCOMPARE(o["port"].toString(), args.contains("--port") ? device : "COM1");
        QCOMPARE(o["device"].toString(), device);
        QCOMPARE(radio->count(Kind::Write), writes);
        // A radio that answered is taken out of programming mode; a silent one is not waited for.
        QCOMPARE(radio->count(Kind::Exit) > 0, exits);
        QVERIFY(!exits || !radio->inProgrammingMode());
        // Every failure leaves its record, with its outcome.
        const QJsonArray h = historyJson();
        QCOMPARE(h.size(), 1);
        QCOMPARE(h[0]["outcome"].toString(), kind);
        if (code == 6) {
            const QByteArray sent = withChanges(Block, {{1, 1}});
            QCOMPARE(o["sent"].toString(), QString::fromLatin1(sent.toHex()));
            QCOMPARE(o["after"].toString(), QString::fromLatin1(withChanges(sent, {{0, 96 ^ 1}}).toHex()));
            QCOMPARE(h[0]["verified"].toBool(true), false);
        }
    }

    void portBusyAndVerifyInText()
    {
        {
            QSerialPort holder(radio->devicePath());
            QVERIFY(holder.open(QIODevice::ReadWrite));
            const CliResult r = cli({"--port", "1", "read"});
            QCOMPARE(r.code, 2);
            QCOMPARE(r.errLines(), QStringList{"calitune-cli: COM1 (" + radio->devicePath()
                                               + "): cannot open the port: the port is in use by another program"});
            QVERIFY(r.out.isEmpty());
        }
        QVERIFY(radio->frames().empty());

        radio->setFaults(Kind::Write, {}, Fault::StoreOther);
        const CliResult r = cli({"write", "H400=1"});
        QCOMPARE(r.code, 6);
        QVERIFY2(r.out.contains("written:   01" + Block.mid(1).toHex() + "\nread back: 00" + Block.mid(1).toHex()),
                 r.out.constData());
        QCOMPARE(r.errLines().size(), 1);
    }

    // A silent radio: exit 3, and on a terminal the attempts are counted in
    // one line that is rewritten and cleared before the error.
    void silentRadioOnATerminal()
    {
        radio->setFaults(Kind::AccessCode, {}, Fault::Silent);
        PtyPair terminal;
        QProcess p;
        p.setStandardErrorFile(terminal.slavePath());
        start(p, {"read"}, WithShortReplyWindow(environment(radio->devicePath())));
        QByteArray shown;
        while (!p.waitForFinished(20))
            shown += terminal.read(std::chrono::milliseconds(10));
        for (int i = 0; i < 3 && !shown.endsWith('\n'); ++i)
            shown += terminal.read(std::chrono::milliseconds(100));
        const CliResult r = finish(p);
        QCOMPARE(r.code, 3);
        QCOMPARE(radio->count(Kind::AccessCode), 4);
        QCOMPARE(radio->count(Kind::Read), 0);
        for (int n = 1; n <= 4; ++n)
            QVERIFY2(shown.contains("\rCOM1: no answer to the access code, attempt " + QByteArray::number(n) + " of 4"),
                     shown.constData());
        const QList<QByteArray> lines = shown.split('\r');
        QVERIFY(lines.last().startsWith("calitune-cli: COM1 (" + radio->devicePath().toUtf8()
                                        + "): the radio does not answer the access code"));
        QVERIFY(lines[lines.size() - 2].trimmed().isEmpty());   // progress cleared
    }

    // One record per exchange, a write's first read and read-back inside it.
    void historyKeepsEveryExchange()
    {
        {
            History::Store window(historyPath());
            History::Record r;
            r.source = History::Source::Window;
            r.port = "COM2";
            r.device = "/dev/ttyUSB1";
            r.before = Block;
            r.outcome = Outcome::Done;
            QVERIFY(window.add(r));
        }
        QCOMPARE(cli({"read"}).code, 0);
        QCOMPARE(cli({"write", "H400=90", "L400=40"}).code, 0);
        const QJsonArray h = historyJson();
        QCOMPARE(h.size(), 3);   // the window's read, a read, the write
        const QJsonObject write = h[0].toObject();
        const QByteArray sent = withChanges(Block, {{0, 90}, {1, 40}});
        QCOMPARE(write["source"].toString(), "cli");
        QCOMPARE(write["action"].toString(), "write");
        QCOMPARE(write["outcome"].toString(), "done");
        QCOMPARE(write["port"].toString(), "COM1");
        QCOMPARE(write["device"].toString(), radio->devicePath());
        QCOMPARE(write["station"].toString(), QSysInfo::machineHostName());
        QVERIFY(write["radio"].isNull());
        QCOMPARE(write["before"].toString(), QString::fromLatin1(Block.toHex()));
        QCOMPARE(write["sent"].toString(), QString::fromLatin1(sent.toHex()));
        QCOMPARE(write["after"].toString(), QString::fromLatin1(sent.toHex()));
        QCOMPARE(write["verified"].toBool(false), true);
        QCOMPARE(write["forced"].toBool(true), false);
        QCOMPARE(h[1]["action"].toString(), "read");
        QCOMPARE(h[1]["before"].toString(), QString::fromLatin1(Block.toHex()));
        QVERIFY(h[1]["sent"].isNull() && !h[1].toObject().contains("verified"));
        QCOMPARE(h[2]["source"].toString(), "window");
        QVERIFY(h[0]["id"].toInteger() > h[1]["id"].toInteger());

        CliResult r = cli({"history", "--limit", "2"});
        QCOMPARE(r.code, 0);
        const QStringList lines = QString::fromUtf8(r.out).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 3);
        QVERIFY2(lines[0].contains(QRegularExpression("^ +ID +TIME +STATION +PORT +RADIO +ACTION +OUTCOME +SOURCE +CHANGES$")),
                 qPrintable(lines[0]));
        const QString time = "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ";
        QVERIFY2(lines[1].contains(QRegularExpression(time + " +\\S+ +COM1 +- +write +done +cli +H400 96->90 L400 34->40$")),
                 qPrintable(lines[1]));
        QVERIFY2(lines[2].contains(QRegularExpression("COM1 +- +read +done +cli$")), qPrintable(lines[2]));
        // Each header stands over its column.
        for (auto [header, value] : {std::pair{"TIME", "20"}, {"PORT", "COM1"}, {"ACTION", "write"}, {"CHANGES", "H400"}})
            QCOMPARE(lines[0].indexOf(header), lines[1].indexOf(value));
        QCOMPARE(cli({"history", "--json"}).out.count('\n'), 3);   // JSON Lines
        r = cli({"history", "--port", "com2", "--json"});
        QCOMPARE(r.jsonArray().size(), 1);
        QCOMPARE(r.jsonArray().at(0)["source"].toString(), "window");

        // A history that cannot be written changes nothing else.
        QProcessEnvironment env = environment(radio->devicePath());
        env.insert("CALITUNE_HISTORY", "/proc/calitune/history.db");
        r = cli({"read", "--json"}, env);
        QCOMPARE(r.code, 0);
        QCOMPARE(r.json()["values"]["H400"].toInt(), 90);
        QCOMPARE(r.errLines().size(), 1);
        QVERIFY(r.err.contains("warning"));
    }

    void backupThenRestore()
    {
        // "-" is standard output, with nothing else on it; no file of that name.
        CliResult r = cli({"backup", "--output", "-"});
        QCOMPARE(r.code, 0);
        const Result<History::Backup, History::BackupFile::Error> streamed = History::BackupFile::parse(r.out);
        QVERIFY2(streamed && streamed->block == Block, qPrintable(streamed ? QString() : streamed.text()));
        QVERIFY(!QFileInfo::exists("-"));
        for (const QStringList &both : {QStringList{"--json"}, QStringList{"--port", "1,2"}})   // one radio, nothing else
            QCOMPARE(cli(QStringList{"backup", "--output", "-"} + both).code, 1);

        const QString file = path("radio.json");
        r = cli({"backup", "--output", file});
        QCOMPARE(r.code, 0);
        const Result<History::Backup, History::BackupFile::Error> loaded = History::BackupFile::load(file);
        QVERIFY2(loaded, qPrintable(loaded ? QString() : loaded.text()));
        const History::Backup &saved = *loaded;
        QCOMPARE(saved.block, Block);
        QCOMPARE(saved.port, "COM1");
        QCOMPARE(saved.device, radio->devicePath());

        QCOMPARE(cli({"write", "H400=1", "L400=2", "L520=3"}).code, 0);
        radio->clearLog();
        r = cli({"restore", file});
        QCOMPARE(r.code, 0);
        QCOMPARE(QString::fromUtf8(r.out), "H400: 1 -> 96\nL400: 2 -> 34\nL520: 3 -> 55\nverified: the radio holds the block written\n");
        QCOMPARE(radio->memory(CalAddress, 16), Block);   // byte for byte, 200 included
        QCOMPARE(kinds(), QList<Kind>({Kind::AccessCode, Kind::Read, Kind::Write, Kind::Read, Kind::Exit}));
        QCOMPARE(historyJson().first()["action"].toString(), "restore");

        // Another radio's file is refused, nothing written; with --force its
        // values go in, but this radio's own bytes 12-15 stay.
        const QByteArray other = bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 255, 0xaa, 0xbb, 0xcc, 0xdd});
        const QString otherFile = writeFile("other.json", backupJson(other).toUtf8());
        radio->clearLog();
        r = cli({"restore", otherFile, "--json"});
        QCOMPARE(r.code, 7);
        QCOMPARE(r.json()["error"].toString(), "other-radio");
        QVERIFY2(r.err.contains("bytes 12-15 11223344") && r.err.contains("bytes 12-15 aabbccdd"), r.err.constData());
        QCOMPARE(radio->count(Kind::Write), 0);
        QVERIFY(!radio->inProgrammingMode());
        QCOMPARE(historyJson().first()["outcome"].toString(), "other-radio");
        QCOMPARE(cli({"restore", otherFile, "--force"}).code, 0);
        QCOMPARE(radio->memory(CalAddress, 16), other.left(12) + Block.mid(12));
        QCOMPARE(historyJson().first()["forced"].toBool(), true);
    }

    void restoreFromHistory()
    {
        QCOMPARE(cli({"write", "H400=0", "H520=0"}).code, 0);
        const qint64 wrongWrite = historyJson().first()["id"].toInteger();
        QCOMPARE(cli({"write", "L400=0"}).code, 0);
        const CliResult r = cli({"restore", "--history", QString::number(wrongWrite), "--json"});
        QCOMPARE(r.code, 0);
        QCOMPARE(radio->memory(CalAddress, 16), Block);
        QCOMPARE(r.json()["changes"].toObject().keys(), QStringList({"H400", "H520", "L400"}));

        // Records that hold no block to go back to: refused, nothing sent.
        qint64 withoutBefore = 0;
        {
            History::Store store(historyPath());
            History::Record unfinished;
            unfinished.action = History::Action::Write;
            unfinished.sent = Block;
            QVERIFY(store.add(unfinished));
            withoutBefore = unfinished.id;
            QVERIFY(withoutBefore > 0);
        }
        radio->clearLog();
        for (const qint64 id : {withoutBefore, withoutBefore + 100}) {
            const CliResult refused = cli({"restore", "--history", QString::number(id)});
            QCOMPARE(refused.code, 1);
            QVERIFY(refused.err.contains(QByteArray::number(id)));
        }
        QVERIFY(radio->frames().empty());
    }

    // kill -9 at any moment of a restore: its record is there, unfinished
    // or complete, never missing.
    void killedRestoreLeavesItsRecord()
    {
        const QString file = path("radio.json");
        QCOMPARE(cli({"backup", "--output", file}).code, 0);
        QCOMPARE(cli({"write", "H400=1"}).code, 0);
        radio->setPacing(true);   // a restore of about 120 ms: room for kills at every step
        auto *random = QRandomGenerator::global();
        constexpr int Runs = 12;
        int reachedTheRadio = 0;
        for (int i = 0; i < Runs; ++i) {
            radio->clearLog();
            QProcess p;
            start(p, {"restore", file, "--force"}, environment(radio->devicePath()));
            QVERIFY(p.waitForStarted());
            QTest::qWait(int(random->bounded(150)));
            p.kill();
            p.waitForFinished();
            // A loaded radio may read the killed run's last frame only now: count it to this run.
            for (std::size_t seen = SIZE_MAX; seen != radio->frames().size(); QTest::qWait(250))
                seen = radio->frames().size();
            reachedTheRadio += !radio->frames().empty();
        }
        radio->setPacing(false);
        int restores = 0;
        for (const QJsonValue r : historyJson()) {
            if (r["action"].toString() != "restore")
                continue;
            ++restores;
            const QString outcome = r["outcome"].toString();
            QVERIFY2(outcome == "unfinished" || outcome == "done", qPrintable(outcome));
            QVERIFY(r["sent"].isNull() || r["sent"].toString() == QString::fromLatin1(Block.toHex()));
        }
        // The record is stored before the port is opened: every run that
        // reached the radio left one.
        QVERIFY2(restores >= reachedTheRadio,
                 qPrintable(QStringLiteral("%1 records, %2 runs reached the radio").arg(restores).arg(reachedTheRadio)));
    }

    void badBackupFileSendsNothing_data()
    {
        QTest::addColumn<QString>("content");
        QTest::addColumn<QString>("words");
        QTest::newRow("not JSON") << "{\"format\": " << "not JSON";
        QTest::newRow("checksum mismatch") << backupJson(Block, [](QJsonObject &o) {
            o["block"] = QString::fromLatin1(withChanges(Block, {{0, 97}}).toHex());
        }) << "checksum";
    }
    void badBackupFileSendsNothing()
    {
        QFETCH(QString, content);
        QFETCH(QString, words);
        const QString file = writeFile("bad.json", content.toUtf8());
        const CliResult r = cli({"restore", file});
        QCOMPARE(r.code, 1);
        QCOMPARE(r.errLines().size(), 1);
        QVERIFY2(r.errLines().first().contains(words) && r.errLines().first().contains(file),
                 r.err.constData());
        QVERIFY(radio->frames().empty());
    }

    void unwritableBackupTouchesNoRadio()
    {
        const QStringList before = QDir(dir->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System);
        for (const QString &output : {QString("/nonexistent-folder/radio.json"), dir->path()})
            for (const QStringList &force : {QStringList{}, QStringList{"--force"}}) {
                const CliResult r = cli(QStringList{"backup", "--output", output, "--json"} + force);
                QCOMPARE(r.code, 1);
                QCOMPARE(r.json()["error"].toString(), "usage");
                QVERIFY(r.err.contains(output.toUtf8()));
            }
        // A folder the system will not let anyone write in (root included): no other name mends it.
        const CliResult r = cli({"backup", "--output", "/sys/calitune-radio.json", "--json"});
        QCOMPARE(r.code, 8);
        QCOMPARE(r.json()["error"].toString(), "file");
        QVERIFY(radio->frames().empty());
        QCOMPARE(QDir(dir->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System), before);
    }

    // A radio differs from another in one own byte, or in its label: a
    // restore of the other's backup writes nothing, and a backup over the
    // other's file saves nothing, unless forced.
    void otherRadioByOneByteOrLabel_data()
    {
        QTest::addColumn<int>("byte");           // -1: the label differs
        for (int byte = 12; byte < 16; ++byte)
            QTest::addRow("byte %d", byte) << byte;
        QTest::newRow("label") << -1;
    }
    void otherRadioByOneByteOrLabel()
    {
        QFETCH(int, byte);
        const QString file = path("radio.json");
        QCOMPARE(cli({"--radio", "A1", "backup", "--output", file}).code, 0);
        const QByteArray saved = contentOf(file);
        if (byte >= 0)
            radio->setMemory(CalAddress, withChanges(Block, {{byte, Block[byte] ^ 0x01}}));
        const QStringList label{"--radio", byte >= 0 ? "A1" : "B2"};
        radio->clearLog();
        CliResult r = cli(label + QStringList{"restore", file, "--json"});
        QCOMPARE(r.code, 7);
        QCOMPARE(radio->count(Kind::Write), 0);
        QCOMPARE(historyJson().first()["outcome"].toString(), "other-radio");
        r = cli(label + QStringList{"backup", "--output", file, "--json"});
        QCOMPARE(r.code, 7);
        QCOMPARE(r.json()["error"].toString(), "other-radio");
        QCOMPARE(contentOf(file), saved);
        QCOMPARE(historyJson().first()["outcome"].toString(), "other-radio");
        QCOMPARE(cli(label + QStringList{"backup", "--output", file, "--force"}).code, 0);
        QVERIFY(contentOf(file) != saved);
    }

};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
