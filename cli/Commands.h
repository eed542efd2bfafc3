#pragma once
// The commands of calitune-cli, as a table: each declares its options, its
// help with the exit statuses it can give, and the function that runs it.

#include "cli/Report.h"
#include "protocol/Exchange.h"
#include "cli/Session.h"
#include "cli/Targets.h"
#include "files/BackupFile.h"
#include "history/ServerSync.h"
#include "settings/StationConfig.h"
#include "serial/PortMap.h"

#include <QCommandLineParser>
#include <QList>
#include <functional>

namespace Cli {

enum class Opt {
    Port, Json, Quiet, Verbose, Radio, NoVerify, File, Output, Force, HistoryId, Server,
    DryRun, Limit, Since, Until, Action, Outcome, Station, Local, Probe, Config, Radios, Story,
};

struct Invocation;

struct Command {
    QString name;
    QString summary;            // one line, for the list of commands
    QString arguments;          // after the options in the usage line, e.g. "NAME=V..."
    QString argumentHelp;       // what they are
    QString details;            // more lines for the command's own --help
    QList<Opt> options;         // beside --help, --json, -q, -v and --config, which every command takes
    QList<int> statuses;        // the exit statuses it can give, beside 0 and 1
    bool manyPorts = false;     // --port may be a list or "all"
    std::function<int(Invocation &)> run;
    QList<std::pair<Opt, QString>> optionHelp = {};   // where an option means something else here
};

const QList<Command> &Commands();

// A command as the user gave it: its options parsed and checked, the
// station's settings in force.
struct Invocation {
    const Command &command;
    QCommandLineParser &parser;
    QStringList args;                 // positional arguments after the command
    RunSettings settings;
    QString server;                   // CALITUNE_HISTORY_SERVER, or empty
    PortMap::Map ports;
    History::StationConfig config;    // the station's settings, read once
    QList<PortLabel> labels;          // --radio PORT=LABEL,… or --radios

    bool isSet(Opt option) const;
    QString value(Opt option) const;
    // Prints and returns the exit status of one report.
    int finish(const PortReport &report) const;
    int finish(const Failure<Refusal> &refusal) const;
    int finish(const QList<PortReport> &reports) const;
    // The same after exchanges with radios, whose ports are closed now: then
    // sends the records the history server lacks, for at most 2 s.
    int finishExchanges(const QList<PortReport> &reports) const;
};

// The ports the command works on, with the labels given for them, or why
// they cannot be had.
Checked<QList<Target>> ChosenTargets(Invocation &in);
// Runs `job` for every target at once, each on its own thread, with the
// run's settings (several ports share one history thread); the reports come
// back in the order of the targets.
using PortJob = std::function<PortReport(const Target &, const RunSettings &)>;
QList<PortReport> OnEveryTarget(const RunSettings &settings, const QList<Target> &targets, const PortJob &job);

// What a write or a restore did, as text and JSON: every value asked for (a
// restore: only those that change), or that nothing would change.
PortReport WriteReport(const Session &session, const Exchange::WriteResult &result, const PowerValues &asked,
                       bool onlyChanges, bool verify, bool dryRun);
// The values a write or a compare names: NAME=V arguments, or a JSON file
// (- for standard input), or the refusal when any is not good.
Checked<PowerValues> ValuesGiven(const QStringList &args, const QString &file);
// A backup file, or standard input for "-", with the bytes read.
struct LoadedBackup {
    History::Backup backup;
    QByteArray content;
};
Result<LoadedBackup, FileError> LoadBackup(const QString &file);
// Reads a file, or standard input for "-", up to `limit` bytes.
Result<QByteArray, FileError> ReadInput(const QString &file, qint64 limit);

// The exit status; when the sync left a server call running, the process
// ends here with it.
int EndAfterServer(int status, const History::SyncResult &result);

int RunPorts(Invocation &in);
int RunRead(Invocation &in);
int RunWrite(Invocation &in);
int RunBackup(Invocation &in);
int RunRestore(Invocation &in);
int RunCompare(Invocation &in);
int RunHistory(Invocation &in);
int RunConfig(Invocation &in);
int RunServerSql(Invocation &in);
int RunDoctor(Invocation &in);

} // namespace Cli
