#include "cli/Cli.h"
#include "cli/Commands.h"
#include "cli/StopSignals.h"

#include "history/HistoryStore.h"
#include "history/ServerSync.h"
#include "files/RadioLabel.h"
#include "settings/StationConfig.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QSet>
#include <cstdio>
#include <cstdlib>

namespace Cli {

namespace {

struct OptionSpec {
    Opt id;
    QCommandLineOption option;
};

// What the exchanges with radios take.
QList<OptionSpec> radioOptionSpecs()
{
    using O = QCommandLineOption;
    return {
        {Opt::Port, O(QStringLiteral("port"),
                      QStringLiteral("The radio's port: a number (3), COM3 or a device path; where the command "
                                     "takes several, a comma list (1,3,COM5) or all. May be left out when exactly "
                                     "one port exists."),
                      QStringLiteral("P"))},
        {Opt::Json, O(QStringLiteral("json"), QStringLiteral("Print JSON instead of text."))},
        {Opt::Quiet, O({QStringLiteral("q"), QStringLiteral("quiet")}, QStringLiteral("Print errors only."))},
        {Opt::Verbose, O({QStringLiteral("v"), QStringLiteral("verbose")},
                         QStringLiteral("Print each step and frame on stderr."))},
        {Opt::Radio, O(QStringLiteral("radio"),
                       QStringLiteral("The radio's label (1 to 64 printable characters, e.g. its serial number), "
                                      "kept in the history and the backup; with several ports PORT=LABEL pairs "
                                      "(1=SN0001,3=SN0003). radio_prefix goes in front unless the label starts "
                                      "with it."),
                       QStringLiteral("ID"))},
        {Opt::Radios, O(QStringLiteral("radios"),
                        QStringLiteral("PORT=LABEL pairs, one a line, from a file; - reads standard input. "
                                       "A port without one runs unlabelled."),
                        QStringLiteral("FILE"))},
        {Opt::Story, O(QStringLiteral("story"),
                       QStringLiteral("A radio's whole story, oldest first: ID is its label or its fingerprint "
                                      "(8 hex digits, bytes 12-15 of its block)."),
                       QStringLiteral("ID"))},
        {Opt::NoVerify, O(QStringLiteral("no-verify"), QStringLiteral("Do not read the block back to compare."))},
        {Opt::File, O(QStringLiteral("file"),
                      QStringLiteral("A JSON object of names and values, e.g. {\"H400\": 90}; - reads standard input."),
                      QStringLiteral("F"))},
        {Opt::Output, O({QStringLiteral("o"), QStringLiteral("output")},
                        QStringLiteral("The backup file to write; with several ports, a folder for one file per radio."),
                        QStringLiteral("FILE"))},
        {Opt::Force, O(QStringLiteral("force"),
                       QStringLiteral("backup: replace a file that is not a backup; restore: write even to another "
                                      "radio (recorded as forced)."))},
        {Opt::HistoryId, O(QStringLiteral("history"),
                           QStringLiteral("Write back the block history record ID found in the radio (for a write, "
                                          "the block before it); with --server, STATION:ID."),
                           QStringLiteral("ID"))},
        {Opt::Server, O(QStringLiteral("server"), QStringLiteral("Use the factory's history server."))},
        {Opt::DryRun, O(QStringLiteral("dry-run"),
                        QStringLiteral("Read the radio and show what would change; write nothing."))},
    };
}

// What the history's listings and the settings take.
QList<OptionSpec> historyOptionSpecs()
{
    using O = QCommandLineOption;
    return {
        {Opt::Limit, O(QStringLiteral("limit"), QStringLiteral("At most N records."), QStringLiteral("N"))},
        {Opt::Since, O(QStringLiteral("since"), QStringLiteral("Records from this time on (ISO 8601)."),
                       QStringLiteral("TIME"))},
        {Opt::Until, O(QStringLiteral("until"), QStringLiteral("Records up to this time (ISO 8601)."),
                       QStringLiteral("TIME"))},
        {Opt::Action, O(QStringLiteral("action"), QStringLiteral("read, write, restore or backup."),
                        QStringLiteral("A"))},
        {Opt::Outcome, O(QStringLiteral("outcome"),
                         QStringLiteral("done, port, no-reply, other-reply, link-lost, verify, other-radio, "
                                        "interrupted, file or unfinished."),
                         QStringLiteral("O"))},
        {Opt::Station, O(QStringLiteral("station"), QStringLiteral("Only this station's records (with --server)."),
                         QStringLiteral("S"))},
        {Opt::Local, O(QStringLiteral("local"), QStringLiteral("Show times as local time with its offset."))},
        {Opt::Probe, O(QStringLiteral("probe"),
                       QStringLiteral("Also ask the radio for programming mode (and take it out again)."))},
        {Opt::Config, O(QStringLiteral("config"),
                        QStringLiteral("The settings file to read instead of ~/.config/Calitune/calitune.conf."),
                        QStringLiteral("FILE"))},
    };
}

const QList<OptionSpec> &optionSpecs()
{
    static const QList<OptionSpec> table = radioOptionSpecs() + historyOptionSpecs();
    return table;
}

const QCommandLineOption &optionOf(Opt id)
{
    for (const OptionSpec &s : optionSpecs())
        if (s.id == id)
            return s.option;
    Q_UNREACHABLE();
}

// QCommandLineParser's complaint in this tool's words.
QString parseError(const QCommandLineParser &parser, const QString &command)
{
    const auto dashed = [](const QString &name) { return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name; };
    QStringList unknown;
    for (const QString &name : parser.unknownOptionNames())
        unknown << dashed(name);
    if (!unknown.isEmpty())
        return (command.isEmpty() ? QStringLiteral("there is no option %1") : command + QStringLiteral(" has no option %1"))
            .arg(unknown.join(QStringLiteral(", ")));
    static const QRegularExpression quoted(QStringLiteral("'([^']*)'"));
    const QString text = parser.errorText();
    const QString option = quoted.match(text).captured(1);
    if (text.startsWith(QLatin1String("Missing value")))
        return QStringLiteral("%1 needs a value").arg(option);
    if (text.startsWith(QLatin1String("Unexpected value")))
        return QStringLiteral("%1 takes no value").arg(option);
    return text;
}

const QList<Opt> EveryCommandTakes{Opt::Json, Opt::Quiet, Opt::Verbose, Opt::Config};
constexpr int UploadBudgetMs = 2000;
constexpr int UploadConnectSeconds = 2;   // libpq's least

QString statusMeaning(int status)
{
    switch (status) {
    case Done: return QStringLiteral("done");
    case BadInput: return QStringLiteral("bad command line or input; nothing was sent");
    case PortNotOpened: return QStringLiteral("the port cannot be opened");
    case NoReply: return QStringLiteral("the radio does not answer the access code");
    case OtherReply: return QStringLiteral("the radio answers something else");
    case LinkLost: return QStringLiteral("the link was lost during a block transfer");
    case VerifyMismatch: return QStringLiteral("the radio holds other bytes than written or compared");
    case OtherRadio: return QStringLiteral("another radio's block or backup file; nothing was written or saved");
    case BackupNotSaved: return QStringLiteral("the backup, or the history before a write, could not be saved; nothing was written");
    case ServerFailed: return QStringLiteral("the history server cannot be reached or refused the records");
    }
    return {};
}

QString exitStatusHelp(QList<int> statuses, bool interruptible)
{
    statuses.prepend(BadInput);
    statuses.prepend(Done);
    QString text = QStringLiteral("Exit status:\n");
    for (int s : statuses)
        text += QStringLiteral("  %1  %2\n").arg(s, 3).arg(statusMeaning(s));
    if (interruptible)
        text += QStringLiteral("  128+N  stopped by signal N: 130 Ctrl+C, 143 SIGTERM, 129 SIGHUP\n");
    return text;
}

// The first argument that is not an option or an option's value.
qsizetype commandIndex(const QStringList &arguments)
{
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &a = arguments[i];
        if (a == QLatin1String("--"))
            return -1;
        if (!a.startsWith(QLatin1Char('-')) || a == QLatin1String("-"))
            return i;
        for (const OptionSpec &s : optionSpecs())
            if (!s.option.valueName().isEmpty() && !a.contains(QLatin1Char('='))
                && s.option.names().contains(a.mid(a.startsWith(QLatin1String("--")) ? 2 : 1)))
                ++i;
    }
    return -1;
}

QString topHelp()
{
    QCommandLineParser parser;
    parser.addOption({{QStringLiteral("h"), QStringLiteral("help")},
                      QStringLiteral("This help; COMMAND --help tells more about each command.")});
    parser.addOption({{QStringLiteral("V"), QStringLiteral("version")}, QStringLiteral("The version.")});
    for (Opt o : {Opt::Port, Opt::Json, Opt::Quiet, Opt::Verbose, Opt::Config})
        parser.addOption(optionOf(o));
    QString commands = QStringLiteral("Reads and writes the transmit-power calibration of a UHF radio.\n\nCommands:\n");
    for (const Command &c : Commands())
        commands += QStringLiteral("  %1  %2\n").arg(c.name, -10).arg(c.summary);
    parser.setApplicationDescription(commands.trimmed());
    QString text = parser.helpText();
    text.replace(0, text.indexOf(QLatin1Char('\n')),
                 QStringLiteral("Usage: %1 [--port P] [--json] [-q|-v] [--config FILE] COMMAND [options] [args]\n").arg(Program));
    return text + QStringLiteral("\n") + exitStatusHelp({PortNotOpened, NoReply, OtherReply, LinkLost, VerifyMismatch,
                                                         OtherRadio, BackupNotSaved, ServerFailed},
                                                        true);
}

QString commandHelp(const Command &c, const QCommandLineParser &parser)
{
    QString text = parser.helpText();
    const QString usage = QStringLiteral("%1 %2 [options]%3").arg(Program, c.name,
                                                                  c.arguments.isEmpty() ? QString() : QLatin1Char(' ') + c.arguments);
    text.replace(0, text.indexOf(QLatin1Char('\n')), QStringLiteral("Usage: ") + usage + QLatin1Char('\n'));
    if (!c.details.isEmpty())
        text += QLatin1Char('\n') + c.details;
    const bool radio = c.statuses.contains(PortNotOpened) || c.statuses.contains(ServerFailed);
    return text + QLatin1Char('\n') + exitStatusHelp(c.statuses, radio);
}

const Command *findCommand(const QString &name)
{
    for (const Command &c : Commands())
        if (c.name == name)
            return &c;
    return nullptr;
}

QString commandNames()
{
    QStringList names;
    for (const Command &c : Commands())
        names << c.name;
    return names.join(QLatin1Char(' '));
}

// A station's name goes into every record and the server's key: a line of
// its own in a listing, and a ";" would end it in the settings file.
Checked<void> checkStation(const Invocation &in)
{
    const History::Setting station = in.config.station();
    if (IsRadioLabel(station.value) && !station.value.contains(QLatin1Char(';')))
        return {};
    return BadInputError(QStringLiteral("the station name \"%1\" (%2) must be 1 to 64 printable characters without \";\"")
                             .arg(station.value.left(80), station.origin));
}

// One PORT=LABEL item; `where` names it in a refusal.
Checked<void> labelGiven(Invocation &in, const QString &text, const QString &where)
{
    const QString item = text.trimmed();
    const qsizetype eq = item.indexOf(QLatin1Char('='));
    const QString port = item.left(eq).trimmed(), given = item.mid(eq + 1).trimmed();
    const QString label = in.config.radioLabel(given);
    if (eq < 1 || port.isEmpty() || given.isEmpty() || !IsRadioLabel(label))
        return UsageError(QStringLiteral("%1: \"%2\" is not PORT=LABEL with a label of 1 to 64 printable characters")
                              .arg(where, item));
    in.labels << PortLabel{port, label, where};
    return {};
}

// One pair a line, as a scanning script writes them; blank lines and lines
// starting with # are left out.
Checked<void> labelsFromFile(Invocation &in)
{
    const QString file = in.value(Opt::Radios);
    if (file == QLatin1String("-") && (in.value(Opt::File) == file || in.args.contains(file)))
        return UsageError(QStringLiteral("standard input can give the labels or the values, not both"));
    const Result<QByteArray, FileError> content = ReadInput(file, 1 << 20);
    if (!content)
        return BadInputError(QStringLiteral("--radios %1: %2").arg(file, content.text()));
    const QStringList lines = QString::fromUtf8(*content).split(QLatin1Char('\n'));
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString line = lines[i].trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (Checked<void> label = labelGiven(in, line, QStringLiteral("--radios line %1").arg(i + 1)); !label)
            return label;
    }
    return {};
}

// --radio LABEL for one port, --radio PORT=LABEL,… or --radios FILE for
// the radios of a run (the history's --radio is a filter: one label).
Checked<void> radioLabels(Invocation &in)
{
    if (in.isSet(Opt::Radio) && in.isSet(Opt::Radios))
        return UsageError(QStringLiteral("give the labels either with --radio or with --radios, not both"));
    if (in.isSet(Opt::Radios))
        return labelsFromFile(in);
    if (!in.isSet(Opt::Radio))
        return {};
    const QString given = in.value(Opt::Radio);
    const bool talksToRadios = in.command.statuses.contains(PortNotOpened);
    if (talksToRadios && given.contains(QLatin1Char('=')) && LooksLikePort(given.section(QLatin1Char('='), 0, 0))) {
        const QStringList items = given.split(QLatin1Char(','));
        for (qsizetype i = 0; i < items.size(); ++i)
            if (Checked<void> label = labelGiven(in, items[i], QStringLiteral("--radio item %1").arg(i + 1)); !label)
                return label;
        return {};
    }
    const QString label = in.config.radioLabel(given);
    if (given.isEmpty() || !IsRadioLabel(label))
        return UsageError(QStringLiteral("--radio needs 1 to 64 printable characters"));
    const QString port = in.value(Opt::Port);
    if (port.contains(QLatin1Char(',')) || port.compare(QLatin1String("all"), Qt::CaseInsensitive) == 0)
        return UsageError(QStringLiteral("--radio LABEL labels the radio on one port: with several give PORT=LABEL "
                                         "pairs (--radio 1=SN0001,3=SN0003) or --radios FILE"));
    in.settings.radio = label;
    return {};
}

// Everything of the command line that is checked before a port is opened.
Checked<void> checkOptions(Invocation &in)
{
    const QCommandLineParser &p = in.parser;
    if (in.command.name != QLatin1String("config"))
        if (Checked<void> station = checkStation(in); !station)
            return station;
    for (Opt o : in.command.options) {
        const QCommandLineOption &option = optionOf(o);
        if (!option.valueName().isEmpty() && p.values(option).size() > 1)
            return UsageError(QStringLiteral("--%1 is given more than once").arg(option.names().constLast()));
    }
    if (p.isSet(optionOf(Opt::Quiet)) && p.isSet(optionOf(Opt::Verbose)))
        return UsageError(QStringLiteral("-q and -v exclude each other"));
    return radioLabels(in);
}

void applySettings(Invocation &in)
{
    in.settings.style.json = in.isSet(Opt::Json);
    in.settings.style.quiet = in.isSet(Opt::Quiet);
    in.settings.historyPath = in.config.history().value;
    in.settings.station = in.config.station().value;
    in.server = in.config.server().value;
    in.settings.progress = !in.isSet(Opt::Quiet) && !in.isSet(Opt::Verbose) && StderrIsTerminal();
    // Qt's and the steps' messages as this program's lines, not under Qt's category names.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &message) {
        Write(stderr, Program + QStringLiteral(": ") + message + QLatin1Char('\n'));
    });
    if (in.isSet(Opt::Verbose))
        QLoggingCategory::setFilterRules(QStringLiteral("calitune.*.debug=true"));
    for (const QString &warning : in.config.warnings())
        Warn(in.settings.style, warning);
}

// A refusal before the command's settings are known: printed as --json asks.
int refusedEarly(const Failure<Refusal> &refusal, bool json)
{
    Print(Reported(refusal), {json, false});
    return refusal.kind.status;
}

// The settings file: --config FILE, or the user's.
Checked<History::StationConfig> configGiven(const QCommandLineParser &parser)
{
    if (!parser.isSet(optionOf(Opt::Config)))
        return History::StationConfig();
    const QString file = parser.value(optionOf(Opt::Config));
    if (!QFileInfo(file).isFile())
        return UsageError(QStringLiteral("--config %1: not a file").arg(file));
    return History::StationConfig(file);
}

int runCommand(const Command &c, const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(c.summary);
    parser.addOption({{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("This help.")});
    for (Opt o : EveryCommandTakes + c.options) {
        QCommandLineOption option = optionOf(o);
        for (const auto &[id, help] : c.optionHelp)
            if (id == o)
                option.setDescription(help);
        parser.addOption(option);
    }
    if (!c.arguments.isEmpty())
        parser.addPositionalArgument(c.arguments, c.argumentHelp);
    const bool json = arguments.contains(QStringLiteral("--json"));
    if (!parser.parse(arguments)) {
        return refusedEarly(UsageError(parseError(parser, c.name)), json);
    }
    if (parser.isSet(QStringLiteral("help"))) {
        Write(stdout, commandHelp(c, parser));
        return Done;
    }
    // A command that talks to radios ends an exchange properly on a signal;
    // the others may simply stop.
    if (c.statuses.contains(PortNotOpened))
        StopSignals::Install();
    Checked<History::StationConfig> config = configGiven(parser);
    if (!config)
        return refusedEarly(config.failure(), json);
    Invocation in{c, parser, parser.positionalArguments(), {}, {}, PortMap::Map(), std::move(config).value(), {}};
    applySettings(in);
    if (const Checked<void> checked = checkOptions(in); !checked)
        return in.finish(checked.failure());
    return c.run(in);
}

} // namespace

bool Invocation::isSet(Opt option) const
{
    return (command.options.contains(option) || EveryCommandTakes.contains(option)) && parser.isSet(optionOf(option));
}

QString Invocation::value(Opt option) const { return isSet(option) ? parser.value(optionOf(option)) : QString(); }

int Invocation::finish(const PortReport &report) const { return finish(QList<PortReport>{report}); }

int Invocation::finish(const Failure<Refusal> &refusal) const { return finish(Reported(refusal)); }

int Invocation::finish(const QList<PortReport> &reports) const { return PrintAll(reports, settings.style); }

int Invocation::finishExchanges(const QList<PortReport> &reports) const
{
    const int status = finish(reports);
    if (server.isEmpty())
        return status;
    History::Store store(settings.historyPath);
    store.setWarnings(HistoryWarnings(settings.style));
    const History::SyncResult sent = History::SyncToServer(
        store, server, {UploadConnectSeconds, QDeadlineTimer(UploadBudgetMs), StopSignals::Requested});
    if (!sent.done && !sent.stopped())
        Warn(settings.style, QStringLiteral("%1; %2 record(s) are kept here and go with a later run or '%3 history sync'")
                 .arg(sent.done.text())
                 .arg(sent.waiting)
                 .arg(Program));
    return EndAfterServer(sent.stopped() ? 128 + StopSignals::Signal() : status, sent);
}

int EndAfterServer(int status, const History::SyncResult &result)
{
    if (!result.abandoned)
        return status;
    // A call into the server is still running on a thread of its own: the
    // process ends now rather than wait for it or tear its connection down.
    std::fflush(nullptr);
    std::_Exit(status);
}

int run(const QStringList &arguments)
{
    const qsizetype at = commandIndex(arguments);
    const bool json = arguments.contains(QStringLiteral("--json"));
    if (at < 0) {
        QCommandLineParser top;
        const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Help."));
        const QCommandLineOption version({QStringLiteral("V"), QStringLiteral("version")}, QStringLiteral("Version."));
        top.addOptions({help, version, optionOf(Opt::Port), optionOf(Opt::Json), optionOf(Opt::Quiet),
                        optionOf(Opt::Verbose), optionOf(Opt::Config)});
        const bool parsed = top.parse(arguments);
        if (parsed && top.isSet(version)) {
            Write(stdout, QStringLiteral("%1 %2\n").arg(Program, QCoreApplication::applicationVersion()));
            return Done;
        }
        if (parsed && top.isSet(help)) {
            Write(stdout, topHelp());
            return Done;
        }
        return refusedEarly(UsageError(parsed ? QStringLiteral("no command given; one of: ") + commandNames()
                                              : parseError(top, {})),
                            json);
    }
    const Command *command = findCommand(arguments[at]);
    if (!command)
        return refusedEarly(
            UsageError(QStringLiteral("unknown command \"%1\"; one of: %2").arg(arguments[at], commandNames())), json);
    QStringList rest = arguments;
    rest.removeAt(at);
    return runCommand(*command, rest);
}

} // namespace Cli
