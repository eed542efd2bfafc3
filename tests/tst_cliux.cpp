// The command line as a user meets it around the exchanges tst_cli covers:
// shell completion, dry runs, compare, quiet and verbose runs, standard input,
// the config file, each command's help, the port list and the doctor's probe.
// The real calitune-cli against simulated radios on pseudo-terminals.
#include "tests/TestRadio.h"
#include "files/BackupFile.h"
#include "sim/SimRadio.h"
#include "tests/CliRunner.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSerialPort>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

using Kind = SimRadio::FrameKind;
using Fault = SimRadio::Fault;

namespace {

const QByteArray Block = QByteArray::fromHex("6022657f00056d2e7132763711223344");   // H400 96 ... L520 55
const QString Completion = QStringLiteral(CALITUNE_SOURCE_DIR "/cli/completion/calitune-cli.bash");

QByteArray withChanges(QByteArray block, std::initializer_list<std::pair<int, int>> changes)
{
    for (auto [i, v] : changes)
        block[i] = char(v);
    return block;
}

QByteArray backupOf(const QByteArray &block)
{
    return History::BackupFile::toJson({block, QDateTime::currentDateTimeUtc(), "COM1", "/dev/ttyUSB0"});
}

QList<Kind> readOnly() { return {Kind::AccessCode, Kind::Read, Kind::Exit}; }

} // namespace

class TestCliUx : public QObject, CliRig {
    Q_OBJECT

    QProcessEnvironment env() const { return CliEnvironment({radio->devicePath()}, path("history.db")); }
    CliResult cli(const QStringList &args, const QByteArray &input = {}) const { return RunCli(args, env(), input); }
    QJsonObject lastRecord(const QProcessEnvironment &e) const
    {
        return RunCli({"history", "--json", "--limit", "1"}, e).json().object();
    }

private slots:
    void init() { setUp(Block); }
    void cleanup() { tearDown(); }

    // bash's completion function on partial command lines, as bash splits
    // them (at "=" too); "@dev1", "@dev2" and "@dir" stand for the paths.
    void bashCompletion_data()
    {
        QTest::addColumn<QStringList>("words");
        QTest::addColumn<QStringList>("expected");   // all of them, in order
        QTest::addColumn<QStringList>("absent");     // when given, `expected` need only be among them
        const QStringList exactly;   // no absent list: exactly the expected ones
        QTest::newRow("command") << QStringList{"wr"} << QStringList{"write"} << exactly;
        QTest::newRow("write's options") << QStringList{"write", "--"}
                                         << QStringList{"--port", "--file", "--no-verify", "--dry-run"}
                                         << QStringList{"-q", "--output", "--force", "--history", "--probe"};
        QTest::newRow("value names") << QStringList{"write", "H4"}
                                     << QStringList{"H400=", "H420=", "H440=", "H460=", "H480="} << exactly;
        QTest::newRow("names not given yet") << QStringList{"compare", "h400", "=", "9", "H4"}
                                             << QStringList{"H420=", "H440=", "H460=", "H480="} << exactly;
        QTest::newRow("ports") << QStringList{"--port", ""} << QStringList{"COM1", "@dev1", "COM2", "@dev2", "all"}
                               << exactly;
        QTest::newRow("all") << QStringList{"read", "--port", "a"} << QStringList{"all"} << exactly;
        QTest::newRow("history's port") << QStringList{"history", "--port", ""} << QStringList{"COM1"}
                                        << QStringList{"all"};
        QTest::newRow("port list") << QStringList{"read", "--port", "1,C"} << QStringList{"1,COM1", "1,COM2"}
                                   << exactly;
        QTest::newRow("outcome") << QStringList{"history", "--outcome", "ot"}
                                 << QStringList{"other-reply", "other-radio"} << exactly;
        QTest::newRow("outcome=") << QStringList{"history", "--outcome", "=", "ot"}
                                  << QStringList{"other-reply", "other-radio"} << exactly;
        QTest::newRow("action=") << QStringList{"history", "--action", "="}
                                << QStringList{"read", "write", "restore", "backup"} << exactly;
        QTest::newRow("restore a file") << QStringList{"restore", "@dir/ba"} << QStringList{"@dir/backup.json"}
                                        << exactly;
        QTest::newRow("history sync") << QStringList{"history", ""} << QStringList{"sync"} << exactly;
    }
    void bashCompletion()
    {
        QFETCH(QStringList, words);
        QFETCH(QStringList, expected);
        QFETCH(QStringList, absent);
        SimRadio second;
        QVERIFY(!writeFile("backup.json", backupOf(Block)).isEmpty());
        const auto place = [&](QStringList list) {
            return list.replaceInStrings("@dev1", radio->devicePath())
                .replaceInStrings("@dev2", second.devicePath())
                .replaceInStrings("@dir", dir->path());
        };
        QProcess bash;
        bash.setProcessEnvironment(CliEnvironment({radio->devicePath(), second.devicePath()}, "off"));
        const QString run = R"(source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _calitune_cli;
                               printf '%s\n' "${COMPREPLY[@]}")";
        bash.start("bash", QStringList{"--norc", "--noprofile", "-c", run, "bash", Completion, CliProgram()}
                               + place(words));
        QVERIFY(bash.waitForFinished(10000));
        QCOMPARE(bash.readAllStandardError(), QByteArray());
        const QStringList got = QString::fromUtf8(bash.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        if (absent.isEmpty()) {
            QCOMPARE(got, place(expected));
            return;
        }
        for (const QString &e : expected)
            QVERIFY2(got.contains(e), qPrintable(got.join(' ')));
        for (const QString &a : absent)
            QVERIFY2(!got.contains(a), qPrintable(got.join(' ')));
    }

    void zshCompletionParses()
    {
        const QString zsh = QStandardPaths::findExecutable("zsh");
        if (zsh.isEmpty())
            QSKIP("zsh is not installed");
        QCOMPARE(QProcess::execute(zsh, {"-n", CALITUNE_SOURCE_DIR "/cli/completion/_calitune-cli"}), 0);
    }

    // A dry run reads the radio, says exactly what would change, sends no
    // block, takes the radio out of programming mode, is kept as a read, and
    // fails as the real run would up to the write.
    void dryRunsWriteNothing()
    {
        CliResult r = cli({"write", "H400=90", "L520=55", "--dry-run"});
        QCOMPARE(r.code, 0);
        QCOMPARE(QString::fromUtf8(r.out), "H400: 96 -> 90\nL520: 55 -> 55\ndry run: nothing was written\n");
        QCOMPARE(kinds(), readOnly());
        QVERIFY(!radio->inProgrammingMode());
        QCOMPARE(lastRecord(env())["action"].toString(), "read");

        const QString file = writeFile("old.json", backupOf(withChanges(Block, {{0, 1}, {11, 3}})));
        radio->clearLog();
        r = cli({"restore", file, "--dry-run", "--json"});
        QCOMPARE(r.code, 0);
        QCOMPARE(r.json()["changes"].toObject(), QJsonObject({{"H400", QJsonObject{{"from", 96}, {"to", 1}}},
                                                              {"L520", QJsonObject{{"from", 55}, {"to", 3}}}}));
        QCOMPARE(r.json()["written"].toBool(true), false);
        QCOMPARE(kinds(), readOnly());

        // Another radio's block: refused as the restore would be, with what would change.
        const QString other = writeFile("other.json", backupOf(withChanges(Block, {{0, 1}, {12, 0}})));
        radio->clearLog();
        r = cli({"restore", other, "--dry-run"});
        QCOMPARE(r.code, 7);
        QCOMPARE(QString::fromUtf8(r.out), "H400: 96 -> 1\ndry run: nothing was written\n");
        QVERIFY2(r.err.contains("nothing would be written"), r.err.constData());
        QCOMPARE(kinds(), readOnly());
        r = cli({"restore", other, "--dry-run", "--force"});
        QCOMPARE(r.code, 0);
        QCOMPARE(QString::fromUtf8(r.out), "H400: 96 -> 1\ndry run: nothing was written\n");
        QVERIFY2(r.err.contains("would be written to another radio"), r.err.constData());
        QCOMPARE(lastRecord(env())["forced"].toBool(true), false);
        QCOMPARE(radio->count(Kind::Write), 0);

        radio->setFaults(Kind::AccessCode, {}, {Fault::WrongByte, 0x15});
        QCOMPARE(cli({"write", "H400=90", "--dry-run"}).code, 4);
        QCOMPARE(radio->count(Kind::Write), 0);
        QCOMPARE(radio->memory(CalAddress, 16), Block);
    }

    void compareSendsNoBlock()
    {
        const QString file = writeFile("radio.json", backupOf(Block));
        CliResult r = cli({"compare", file});
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.endsWith("\nthe same\n"), r.out.constData());
        QCOMPARE(cli({"compare", "h400=96", "L520=55"}).code, 0);

        radio->setMemory(CalAddress, withChanges(Block, {{0, 1}, {11, 3}}));
        r = cli({"compare", file, "--json"});
        QCOMPARE(r.code, 6);
        QCOMPARE(r.json()["equal"].toBool(true), false);
        QCOMPARE(r.json()["differences"].toObject(),
                 QJsonObject({{"H400", QJsonObject{{"radio", 1}, {"expected", 96}}},
                              {"L520", QJsonObject{{"radio", 3}, {"expected", 55}}}}));
        r = cli({"compare", "L400=34", "L520=4"});
        QCOMPARE(r.code, 6);
        QVERIFY2(r.out.endsWith("\nL520: radio 3, expected 4\n"), r.out.constData());
        QVERIFY(r.err.isEmpty());
        QCOMPARE(radio->count(Kind::Write), 0);
        QVERIFY(!radio->inProgrammingMode());
    }

    // Standard input for write --file - and restore -; a restore of what the
    // radio holds already sends no block.
    void standardInputAndNothingToChange()
    {
        CliResult r = cli({"write", "--file", "-"}, R"({"H400": 90})");
        QCOMPARE(r.code, 0);
        QCOMPARE(r.out, QByteArray("H400: 96 -> 90\nverified: the radio holds the block written\n"));
        QCOMPARE(radio->memory(CalAddress, 16), withChanges(Block, {{0, 90}}));

        const QByteArray backup = backupOf(Block);
        r = cli({"restore", "-"}, backup);
        QCOMPARE(r.code, 0);
        QCOMPARE(r.out, QByteArray("H400: 90 -> 96\nverified: the radio holds the block written\n"));
        QCOMPARE(radio->memory(CalAddress, 16), Block);
        const QJsonObject source = lastRecord(env())["source_file"].toObject();
        QCOMPARE(source["path"].toString(), "-");
        QCOMPARE(source["sha256"].toString(),
                 QString::fromLatin1(QCryptographicHash::hash(backup, QCryptographicHash::Sha256).toHex()));

        radio->clearLog();
        r = cli({"restore", "-"}, backup);
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.startsWith("nothing to change"), r.out.constData());
        QCOMPARE(kinds(), readOnly());
    }

    void quietVerboseAndVersion()
    {
        CliResult r = cli({"-q", "write", "H400=90"});
        QCOMPARE(r.code, 0);
        QCOMPARE(r.out + r.err, QByteArray());
        r = cli({"--quiet", "--port", "/dev/calitune-no-such-port", "read"});
        QCOMPARE(r.code, 2);
        QVERIFY(r.out.isEmpty());
        QCOMPARE(r.errLines().size(), 1);

        // Every step, with the bytes sent and received, on stderr only.
        radio->clearLog();
        r = cli({"read", "-v", "--json"});
        QCOMPARE(r.code, 0);
        QCOMPARE(r.json()["block"].toString(), QString::fromLatin1(withChanges(Block, {{0, 90}}).toHex()));
        const QString log = QString::fromUtf8(r.err);
        for (const QByteArray &frame : {QByteArray("CALTUNE"), QByteArray::fromHex("52038010"), QByteArray("E")})
            QVERIFY2(log.contains(" sent " + frame.toHex(' ')), qPrintable(log));
        QVERIFY2(log.contains(QRegularExpression("entry attempt 1 of 4 .* got 06")), qPrintable(log));
        for (const QString &line : r.errLines())   // the program's lines, not Qt's category names
            QVERIFY2(line.startsWith("calitune-cli: ") && !line.contains("calitune."), qPrintable(line));

        for (const char *version : {"-V", "--version"}) {
            r = cli({version});
            QCOMPARE(r.code, 0);
            QCOMPARE(r.out, QByteArray("calitune-cli " CALITUNE_VERSION "\n"));
        }
        radio->clearLog();
        r = cli({"-q", "-v", "read"});
        QCOMPARE(r.code, 1);
        QVERIFY(r.err.contains("exclude each other"));
        QVERIFY(radio->frames().empty());
    }

    // The file, the environment over it, the command line over both.
    void configFile()
    {
        SimRadio second;
        second.setMemory(CalAddress, Block);
        const QString configHome = path("config");
        QVERIFY(QDir().mkpath(configHome + "/Calitune"));
        const QString file = configHome + "/Calitune/calitune.conf";
        const QString history = path("station-history.db");
        const QByteArray settings = "[General]\nport=COM2\nhistory=" + history.toUtf8()
                                    + "\nstation=bench-7\nradio_prefix=LAB-\n";
        QVERIFY(!writeFile("config/Calitune/calitune.conf", settings + "history_server=host=/nonexistent\n").isEmpty());
        QProcessEnvironment e = CliEnvironment({radio->devicePath(), second.devicePath()}, {}, configHome);
        e.remove("CALITUNE_HISTORY");
        e.insert("CALITUNE_STATION", "bench-env");

        CliResult r = RunCli({"config", "--json"}, e);
        QCOMPARE(r.code, 0);
        QCOMPARE(r.json()["file"].toString(), file);
        const QJsonObject fromFile{{"from", "config file " + file}};
        const QJsonObject expected{
            {"port", QJsonObject{{"value", "COM2"}, {"from", fromFile["from"]}}},
            {"history", QJsonObject{{"value", history}, {"from", fromFile["from"]}}},
            {"history_server", QJsonObject{{"value", "host=/nonexistent"}, {"from", fromFile["from"]}}},
            {"station", QJsonObject{{"value", "bench-env"}, {"from", "environment CALITUNE_STATION"}}},
            {"radio_prefix", QJsonObject{{"value", "LAB-"}, {"from", fromFile["from"]}}}};
        QCOMPARE(r.json()["settings"].toObject(), expected);
        r = RunCli({"config"}, e);
        QVERIFY2(QString::fromUtf8(r.out).contains(
                     QRegularExpression("\nstation +bench-env +\\(environment CALITUNE_STATION\\)\n")),
                 r.out.constData());

        // No server from here on: the exchanges would try to reach it.
        QVERIFY(!writeFile("config/Calitune/calitune.conf", settings).isEmpty());
        r = RunCli({"read", "--json", "--radio", "7"}, e);
        QCOMPARE(r.code, 0);
        QCOMPARE(r.json()["port"].toString(), "COM2");
        QVERIFY(radio->frames().empty());
        QVERIFY(QFile::exists(history));
        const QJsonObject record = lastRecord(e);
        QCOMPARE(record["station"].toString(), "bench-env");
        QCOMPARE(record["radio"].toString(), "LAB-7");
        QCOMPARE(record["device"].toString(), second.devicePath());

        e.insert("CALITUNE_PORT", "COM1");
        QCOMPARE(RunCli({"read", "--json"}, e).json()["port"].toString(), "COM1");
        QCOMPARE(RunCli({"--port", "2", "read", "--json"}, e).json()["port"].toString(), "COM2");

        // A misspelt key: one warning, naming the file and the key.
        QVERIFY(!writeFile("config/Calitune/calitune.conf", settings + "histry=/tmp/h.db\n").isEmpty());
        r = RunCli({"read"}, e);
        QCOMPARE(r.code, 0);
        QCOMPARE(r.errLines(), QStringList{"calitune-cli: warning: the config file " + file
                                           + " has an unknown setting \"histry\" (known: port history "
                                             "history_server station radio_prefix)"});
        // --config names another file; a station name the INI reader would cut at ";" is refused whole.
        e.remove("CALITUNE_STATION");
        const QString other = writeFile("other.conf", "[General]\nstation=line-2;7\n");
        r = RunCli({"--config", other, "config", "--json"}, e);
        QCOMPARE(r.json()["file"].toString(), other);
        QCOMPARE(r.json()["settings"]["station"]["value"].toString(), "line-2;7");
        radio->clearLog();
        second.clearLog();
        r = RunCli({"--config", other, "read"}, e);
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains("\"line-2;7\"") && r.err.contains(other.toUtf8()), r.err.constData());
        QVERIFY(radio->frames().empty() && second.frames().empty());
        // A settings file that cannot be read (a folder in its place): said, and the run goes on.
        QVERIFY(QFile::remove(file) && QDir().mkpath(file));
        r = RunCli({"config"}, e);
        QCOMPARE(r.code, 0);
        QCOMPARE(r.errLines().size(), 1);
        QVERIFY2(r.err.contains("cannot read the config file " + file.toUtf8()), r.err.constData());
    }

    // Each command's help lists the exit statuses it can give and no other.
    void helpListsTheCommandsStatuses_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("statuses");
        QTest::addColumn<bool>("interruptible");
        QTest::newRow("all") << "" << "0123456789" << true;
        for (const char *c : {"ports", "config"})
            QTest::newRow(c) << c << "01" << false;
        QTest::newRow("history") << "history" << "019" << true;
        QTest::newRow("read") << "read" << "012345" << true;
        QTest::newRow("write") << "write" << "01234568" << true;
        QTest::newRow("compare") << "compare" << "0123456" << true;
        QTest::newRow("backup") << "backup" << "01234578" << true;
        QTest::newRow("restore") << "restore" << "0123456789" << true;
        QTest::newRow("doctor") << "doctor" << "01234" << true;
    }
    void helpListsTheCommandsStatuses()
    {
        QFETCH(QString, command);
        QFETCH(QString, statuses);
        QFETCH(bool, interruptible);
        const CliResult r = cli(command.isEmpty() ? QStringList{"--help"} : QStringList{command, "--help"});
        QCOMPARE(r.code, 0);
        const QString help = QString::fromUtf8(r.out);
        const QString section = help.mid(help.indexOf("\nExit status:\n"));
        QString listed;
        for (const auto &m : QRegularExpression("\n +(\\d+)  ").globalMatch(section))
            listed += m.captured(1);
        QCOMPARE(listed, statuses);
        QCOMPARE(section.contains("\n  128+N  "), interruptible);
        if (command == "history")   // filters, not the write's "one port only"
            QVERIFY2(help.contains("Only the records of this port") && !help.contains("one port only"), qPrintable(help));
    }

    // Text: one line a port, its device and whether it can be opened; a
    // pseudo-terminal has no adapter to describe.
    void portsText()
    {
        SimRadio second;
        QSerialPort holder(second.devicePath());
        QVERIFY(holder.open(QIODevice::ReadWrite));
        const CliResult r = RunCli({"ports"}, CliEnvironment({radio->devicePath(), {}, second.devicePath()}, "off"));
        QCOMPARE(r.code, 0);
        const QStringList lines = QString::fromUtf8(r.out).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines[0].contains(QRegularExpression("^COM1 +" + radio->devicePath() + " +available$")),
                 qPrintable(lines[0]));
        QVERIFY2(lines[1].contains(QRegularExpression("^COM3 +" + second.devicePath() + " +cannot be opened now$")),
                 qPrintable(lines[1]));
    }

    // The mapped ports: all of them by default or with --port all, or a list;
    // one JSON line a finding; an unmapped port is exit 2, by its name.
    void doctorPorts()
    {
        SimRadio second;
        const QProcessEnvironment two = CliEnvironment({radio->devicePath(), second.devicePath()}, "off");
        CliResult r = RunCli({"doctor", "--json"}, two);
        QCOMPARE(r.code, 0);
        QSet<QString> ports;
        for (const QJsonDocument &line : r.jsonLines()) {
            QVERIFY2(line.isObject() && !line["check"].toString().isEmpty(), r.out.constData());
            ports << line["port"].toString() + " " + line["device"].toString();
        }
        QCOMPARE(ports, QSet<QString>({"COM1 " + radio->devicePath(), "COM2 " + second.devicePath()}));
        r = RunCli({"doctor", "--port", "all"}, two);
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.startsWith("COM1 (" + radio->devicePath().toUtf8() + ")\n")
                     && r.out.contains("\nCOM2 (" + second.devicePath().toUtf8() + ")\n"),
                 r.out.constData());
        r = RunCli({"doctor", "--port", "2,5"}, two);
        QCOMPARE(r.code, 2);
        // In parentheses: /dev/pts/2 is a prefix of /dev/pts/25.
        QVERIFY2(r.out.contains("(" + second.devicePath().toUtf8() + ")")
                     && !r.out.contains("(" + radio->devicePath().toUtf8() + ")"),
                 r.out.constData());
        QCOMPARE(r.errLines().size(), 1);
        QVERIFY2(r.err.startsWith("calitune-cli: COM5 names no device"), r.err.constData());
    }

    void doctorProbe()
    {
        CliResult r = cli({"doctor", "--port", radio->devicePath(), "--probe"});
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.contains("a radio answered the access code"), r.out.constData());
        QCOMPARE(kinds(), QList<Kind>({Kind::AccessCode, Kind::Exit}));
        QVERIFY(!radio->inProgrammingMode());

        radio->clearLog();
        radio->setFaults(Kind::AccessCode, {}, Fault::Silent);
        r = RunCli({"doctor", "--port", "1", "--probe", "--json"}, WithShortReplyWindow(env()));
        QCOMPARE(r.code, 3);
        QCOMPARE(radio->count(Kind::AccessCode), 4);

        // Stopped during the probe: the signal's status, not "no radio answered".
        radio->clearLog();
        QProcess doctor;
        StartCli(doctor, {"doctor", "--port", "1", "--probe"}, env());
        QTRY_VERIFY(radio->count(Kind::AccessCode) > 0);
        QCOMPARE(::kill(pid_t(doctor.processId()), SIGINT), 0);
        r = FinishCli(doctor);
        QCOMPARE(r.code, 128 + SIGINT);
        QVERIFY2(r.err.contains("interrupted") && !r.out.contains("no radio answered"), r.err.constData());
        QVERIFY(radio->count(Kind::AccessCode) < 4);
    }
};

QTEST_GUILESS_MAIN(TestCliUx)
#include "tst_cliux.moc"
