#include "cli/Commands.h"
#include "cli/Targets.h"
#include "settings/StationConfig.h"
#include "history/StoreThread.h"

#include <QCoreApplication>
#include <QThread>
#include <memory>

namespace Cli {

namespace {

// The commands that talk to radios.
QList<Command> radioCommands()
{
    const QString names = [] {
        QStringList n;
        for (const char *v : ValueNames)
            n << QLatin1String(v);
        return n.join(QLatin1Char(' '));
    }();
    using O = Opt;
    return {
        {QStringLiteral("ports"), QStringLiteral("list the ports, their adapters and whether each can be opened now"),
         {}, {}, {}, {}, {}, false, RunPorts},
        {QStringLiteral("read"), QStringLiteral("read the twelve calibration values"), {}, {}, {},
         {O::Port, O::Radio, O::Radios}, {PortNotOpened, NoReply, OtherReply, LinkLost}, true, RunRead},
        {QStringLiteral("write"), QStringLiteral("write NAME=V ... (or --file F), read back and compare"),
         QStringLiteral("NAME=V..."), QStringLiteral("V is a whole number 0 to 127; names: ") + names,
         QStringLiteral("The other values and the radio's own bytes 12-15 stay as they are. A write that "
                        "would change nothing sends no block.\n"),
         {O::Port, O::Radio, O::Radios, O::File, O::NoVerify, O::DryRun},
         {PortNotOpened, NoReply, OtherReply, LinkLost, VerifyMismatch, BackupNotSaved}, true, RunWrite},
        {QStringLiteral("compare"), QStringLiteral("compare the radio with a backup file or with NAME=V ..."),
         QStringLiteral("FILE|NAME=V..."), QStringLiteral("a backup file, or values as for write"),
         QStringLiteral("Reads the radio and lists the differences; exit status 6 when there are any.\n"),
         {O::Port, O::Radio}, {PortNotOpened, NoReply, OtherReply, LinkLost, VerifyMismatch}, false, RunCompare},
        {QStringLiteral("backup"), QStringLiteral("save the radio's block to a file (--output FILE)"), {}, {},
         QStringLiteral("With several ports --output names a folder: one file per radio, named after its label, or "
                        "without one its fingerprint, and the time: SN0001-20261207T122908Z.json.\n"
                        "A file that holds another radio's backup (its label or its own bytes 12-15 differ) is "
                        "replaced only with --force.\n"),
         {O::Port, O::Radio, O::Radios, O::Output, O::Force},
         {PortNotOpened, NoReply, OtherReply, LinkLost, OtherRadio, BackupNotSaved}, true, RunBackup},
        {QStringLiteral("restore"),
         QStringLiteral("write back a backup file, or a history record's block (--history ID)"),
         QStringLiteral("[FILE|-]"), QStringLiteral("a file saved by backup; - reads standard input"),
         QStringLiteral("Refuses, writing nothing, when the radio is not the one the block came from (its own "
                        "bytes 12-15 or its label differ); --force writes anyway.\n"),
         {O::Port, O::Radio, O::HistoryId, O::Server, O::Force, O::DryRun},
         {PortNotOpened, NoReply, OtherReply, LinkLost, VerifyMismatch, OtherRadio, BackupNotSaved, ServerFailed},
         false, RunRestore},
    };
}

// The history's, the settings' and the cable's.
QList<Command> otherCommands()
{
    using O = Opt;
    return {
        {QStringLiteral("history"), QStringLiteral("list the exchanges with radios, newest first (or: history sync)"),
         QStringLiteral("[sync]"), QStringLiteral("sync: send the records the history server does not have yet"),
         QStringLiteral("Times are UTC, or local time with its offset with --local. --radio also finds the "
                        "labels written with or without the station's radio_prefix. --story lists a radio's "
                        "whole story, oldest first: the records of its label, and every record (of any label "
                        "or none) with a fingerprint those records show. history sync gives up when the server cannot be "
                        "reached in 4 s or a statement makes no progress for 8 s; Ctrl+C, SIGTERM and SIGHUP stop "
                        "it at once (128+N), and what the server did not take waits.\n"),
         {O::Port, O::Radio, O::Story, O::Station, O::Since, O::Until, O::Action, O::Outcome, O::Limit, O::Local,
          O::Server},
         {ServerFailed}, false, RunHistory,
         {{O::Port, QStringLiteral("Only the records of this port: a number (3), COM3 or a device path.")},
          {O::Radio, QStringLiteral("Only the records of the radio with this label (with the station's radio_prefix).")}}},
        {QStringLiteral("config"), QStringLiteral("show the settings in force and where each comes from"), {}, {}, {},
         {}, {}, false, RunConfig},
        {QStringLiteral("server-sql"), QStringLiteral("print the SQL that sets up a history server"), {}, {},
         QStringLiteral("The same text as /usr/share/calitune/calitune-server.sql; running it again changes "
                        "nothing.\n"),
         {}, {}, false, RunServerSql},
        {QStringLiteral("doctor"), QStringLiteral("find out why a cable does not work"), {}, {},
         QStringLiteral("Without --port it checks the ports CALITUNE_COM1 ... CALITUNE_COM16 map, or when none is "
                        "mapped every USB serial adapter.\n"),
         {O::Port, O::Probe}, {PortNotOpened, NoReply, OtherReply}, true, RunDoctor},
    };
}

} // namespace

const QList<Command> &Commands()
{
    static const QList<Command> table = radioCommands() + otherCommands();
    return table;
}

Checked<QList<Target>> ChosenTargets(Invocation &in)
{
    QString given = in.value(Opt::Port);
    if (given.isEmpty())
        given = in.config.port().value;
    Checked<QList<Target>> targets = ChooseTargets(given, in.ports, in.command.manyPorts);
    if (!targets)
        return targets;
    if (in.settings.radio)
        targets->first().radio = in.settings.radio;
    if (const Checked<void> labelled = LabelTargets(*targets, in.labels, in.ports); !labelled)
        return labelled.failure();
    return targets;
}

QList<PortReport> OnEveryTarget(const RunSettings &settings, const QList<Target> &targets, const PortJob &job)
{
    QList<PortReport> reports(targets.size());
    if (targets.size() == 1) {
        reports[0] = job(targets[0], settings);
        return reports;
    }
    // One history connection for all: links that took turns at the
    // database's lock would wait on each other.
    History::StoreThread history(settings.historyPath);
    RunSettings shared = settings;
    shared.sharedHistory = &history;
    // QThreads, not std::threads: a serial port's socket notifiers need a
    // thread with an event dispatcher, or Qt warns on stderr for every port.
    std::vector<std::unique_ptr<QThread>> threads;
    for (qsizetype i = 0; i < targets.size(); ++i) {
        threads.emplace_back(QThread::create([&, i] { reports[i] = job(targets[i], shared); }));
        // Sixteen stacks of 1 MiB stay in the C library's cache of stacks;
        // of the default 8 MiB most would be unmapped again at the end.
        threads.back()->setStackSize(1024 * 1024);
        threads.back()->start();
    }
    for (const std::unique_ptr<QThread> &t : threads)
        t->wait();
    return reports;
}

} // namespace Cli
