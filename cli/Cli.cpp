#include "cli/Cli.h"
#include "cli/CliOutput.h"
#include "cli/ValueArgs.h"

#include "history/BackupFile.h"
#include "history/ExchangeRecorder.h"
#include "history/HistoryStore.h"
#include "protocol/Exchange.h"
#include "protocol/Link.h"
#include "serial/PortMap.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <cstdio>
#include <functional>

#ifdef Q_OS_WIN
#include <io.h>
#define CALITUNE_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define CALITUNE_ISATTY(fd) isatty(fd)
#endif

namespace Cli {

namespace {

using namespace CliOutput;

PortMap::Map &portMap()
{
    static PortMap::Map map;
    return map;
}

basComm::OpenFailure lastOpenFailure;

const QString Program = QStringLiteral("calitune-cli");
const QString Commands = QStringLiteral("ports read write history backup restore");
const QString DialoutHint =
    QStringLiteral("add yourself to the dialout group: sudo usermod -aG dialout $USER, then log in again");

void print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream);
    std::fflush(stream);
}

void printJson(const QByteArray &json)
{
    std::fwrite(json.constData(), 1, std::size_t(json.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// The one line that is shown while the radio does not answer, rewritten in
// place; only on a terminal.
class Progress {
public:
    Progress(const QString &portName, Link &link) : m_port(portName), m_on(CALITUNE_ISATTY(2))
    {
        active = this;
        if (m_on)
            link.setAttemptListener([this](const Link::AttemptReport &r) { report(r); });
    }
    ~Progress()
    {
        clear();
        active = nullptr;
    }
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    void clear()
    {
        if (m_width == 0)
            return;
        print(stderr, QLatin1Char('\r') + QString(m_width, QLatin1Char(' ')) + QLatin1Char('\r'));
        m_width = 0;
    }

    static inline Progress *active = nullptr;

private:
    void report(const Link::AttemptReport &r)
    {
        if (!r.reply.isEmpty() && r.reply[0] != 0) {
            clear();
            return;
        }
        const QString step = QLatin1String(r.step);
        const QString what = step == QLatin1String("entry")         ? QStringLiteral("the access code")
                             : step == QLatin1String("block read")  ? QStringLiteral("the block read")
                             : step == QLatin1String("block write") ? QStringLiteral("the block write")
                             : step == QLatin1String("exit")        ? QStringLiteral("the exit command")
                                                                    : step;
        const QString line = QStringLiteral("%1: no answer to %2, attempt %3 of %4")
                                 .arg(m_port, what)
                                 .arg(r.number)
                                 .arg(r.of);
        print(stderr, QLatin1Char('\r') + line.leftJustified(m_width));
        m_width = int(std::max<qsizetype>(m_width, line.size()));
    }

    QString m_port;
    bool m_on;
    int m_width = 0;
};

// Prints an error: one line on stderr, and with --json the object on stdout.
class Reporter {
public:
    bool json = false;

    int fail(int status, const QString &kind, const QString &message, const JsonObject &extra = {}) const
    {
        if (Progress::active)
            Progress::active->clear();
        print(stderr, Program + QStringLiteral(": ") + message + QLatin1Char('\n'));
        if (json)
            printJson(JsonObject().add(QStringLiteral("error"), kind).add(QStringLiteral("message"), message)
                          .append(extra).toJson());
        return status;
    }
    int usage(const QString &message) const
    {
        return fail(BadInput, QStringLiteral("usage"),
                    message + QStringLiteral(" (see %1 --help)").arg(Program));
    }
    int badInput(const QString &message) const { return fail(BadInput, QStringLiteral("usage"), message); }
};

// --- Ports -------------------------------------------------------------------

struct Target {
    QString name;     // "COM3", or the device path given
    QString device;   // what the name stands for; empty when nothing
    QString label() const
    {
        return device.isEmpty() ? name + QStringLiteral(" (no device)")
               : device == name ? name
                                : QStringLiteral("%1 (%2)").arg(name, device);
    }
};

QString comName(int number) { return QStringLiteral("COM%1").arg(number); }

// "3", "COM3", "com3".
const QRegularExpression &numberedPort()
{
    static const QRegularExpression pattern(QStringLiteral("^(?:COM)?([0-9]{1,4})$"),
                                            QRegularExpression::CaseInsensitiveOption);
    return pattern;
}

QString portList(const QList<PortMap::Port> &ports)
{
    QStringList items;
    for (const auto &p : ports)
        items << QStringLiteral("%1 (%2)").arg(comName(p.number), p.device);
    return items.join(QStringLiteral(", "));
}

// Nothing, with the reason, when the text names no port.
std::optional<Target> resolveTarget(const QString &given, QString *error)
{
    if (given.isEmpty()) {
        const QList<PortMap::Port> ports = portMap().refresh();
        if (ports.size() == 1)
            return Target{comName(ports[0].number), ports[0].device};
        *error = ports.isEmpty()
                     ? QStringLiteral("no serial port exists; plug in the programming cable or give --port")
                     : QStringLiteral("%1 ports exist, choose one with --port: %2")
                           .arg(ports.size())
                           .arg(portList(ports));
        return std::nullopt;
    }
    if (const QRegularExpressionMatch m = numberedPort().match(given); m.hasMatch()) {
        const int number = m.captured(1).toInt();
        if (number < 1) {
            *error = QStringLiteral("there is no port %1").arg(given);
            return std::nullopt;
        }
        // Only this port's entry of the map: opening the others to list them
        // would collide with runs on those ports at the same moment.
        return Target{comName(number), portMap().devicePath(number)};
    }
#ifndef Q_OS_WIN
    if (!given.contains(QLatin1Char('/'))) {
        *error = QStringLiteral("\"%1\" is not a port: give a number, COMn or a device path").arg(given);
        return std::nullopt;
    }
#endif
    return Target{given, given};
}

// --- One exchange --------------------------------------------------------------

// What the command line is told during an exchange: progress and the history.
class CliUi : public Exchange::Ui {
public:
    explicit CliUi(Progress &progress) : m_progress(progress) {}
    void tell(Outcome) override { m_progress.clear(); }

private:
    Progress &m_progress;
};

QString whyNotOpened()
{
    switch (lastOpenFailure.error) {
    case basComm::OpenError::Missing:
        return QStringLiteral("the device does not exist (is the cable plugged in?)");
    case basComm::OpenError::Busy:
        return QStringLiteral("the port is in use by another program");
    case basComm::OpenError::Permission:
        return QStringLiteral("permission denied; ") + DialoutHint;
    case basComm::OpenError::None:
    case basComm::OpenError::Other:
        break;
    }
    const QString text = lastOpenFailure.text;
    return text.isEmpty() ? QStringLiteral("unknown reason") : text;
}

int failedExchange(const Reporter &r, Outcome outcome, const Target &t, int attempts, bool writing)
{
    switch (outcome) {
    case Outcome::Done: return Done;
    case Outcome::PortNotOpened:
        return r.fail(PortNotOpened, QStringLiteral("port"),
                      QStringLiteral("%1: cannot open the port: %2").arg(t.label(), whyNotOpened()));
    case Outcome::NoReply:
        return r.fail(NoReply, QStringLiteral("no-reply"),
                      QStringLiteral("%1: the radio does not answer the access code (%2 attempts); "
                                     "check the cable and that the radio is switched on")
                          .arg(t.label())
                          .arg(attempts));
    case Outcome::OtherReply:
        return r.fail(OtherReply, QStringLiteral("other-reply"),
                      QStringLiteral("%1: the radio answers the access code with something other than "
                                     "an acknowledgement; check that it is the right radio and try again")
                          .arg(t.label()));
    case Outcome::LinkLost:
        return r.fail(LinkLost, QStringLiteral("link-lost"),
                      QStringLiteral("%1: the link was lost during a block transfer%2")
                          .arg(t.label(), writing ? QStringLiteral("; the radio may hold a partly written "
                                                                   "block: read it, or restore it from the history")
                                                  : QString()));
    case Outcome::VerifyMismatch: break;   // reported with the blocks, by the caller
    default: break;
    }
    return VerifyMismatch;
}

constexpr int ReadAttempts = Link::ShortRetryBudget + 1;
constexpr int WriteAttempts = Link::LongRetryBudget + 1;

// --- Commands --------------------------------------------------------------------

int ports(const Reporter &r)
{
    const QList<PortMap::Port> list = portMap().probe();
    if (r.json) {
        QList<JsonObject> items;
        for (const auto &p : list)
            items << JsonObject()
                         .add(QStringLiteral("port"), comName(p.number))
                         .add(QStringLiteral("number"), p.number)
                         .add(QStringLiteral("device"), p.device)
                         .add(QStringLiteral("available"), p.available);
        printJson(jsonArray(items));
        return Done;
    }
    if (list.isEmpty())
        print(stdout, QStringLiteral("no serial ports\n"));
    for (const auto &p : list)
        print(stdout, QStringLiteral("%1  %2  %3\n")
                          .arg(comName(p.number), -5)
                          .arg(p.device, -20)
                          .arg(p.available ? QStringLiteral("available") : QStringLiteral("cannot be opened now")));
    return Done;
}

JsonObject targetJson(const Target &t)
{
    return JsonObject().add(QStringLiteral("port"), t.name).add(QStringLiteral("device"), t.device);
}

// Reads the block; nothing after printing the failure.
std::optional<BlockBytes> readBlock(const Reporter &r, const Target &t, int *status)
{
    History::Store store;
    History::ExchangeRecorder record(store, History::Source::Cli, History::Action::Write, t.name, t.device);
    Link link;
    Progress progress(t.name, link);
    CliUi ui(progress);
    const Exchange::ReadResult result = Exchange::Read(link, t.device, ui, record);
    lastOpenFailure = link.openFailure();
    if (result.outcome != Outcome::Done) {
        *status = failedExchange(r, result.outcome, t, ReadAttempts, false);
        return std::nullopt;
    }
    return result.block;
}

int read(const Reporter &r, const Target &t)
{
    int status = Done;
    const std::optional<BlockBytes> block = readBlock(r, t, &status);
    if (!block)
        return status;
    if (r.json)
        printJson(targetJson(t)
                      .add(QStringLiteral("values"), valueObject(*block))
                      .add(QStringLiteral("block"), hex(*block))
                      .toJson());
    else
        print(stdout, t.label() + QLatin1Char('\n') + valueTable(*block));
    return Done;
}

// Writes the values; a restore prints only those that change, a write every one given.
int write(const Reporter &r, const Target &t, const ValueArgs::Values &values, bool verify,
          History::Action action)
{
    History::Store store;
    Exchange::WriteResult result;
    {
        History::ExchangeRecorder record(store, History::Source::Cli, action, t.name, t.device);
        Link link;
        Progress progress(t.name, link);
        CliUi ui(progress);
        Exchange::Change change;
        change.values = values;
        change.verify = verify;
        result = Exchange::Write(link, t.device, ui, record, change);
        lastOpenFailure = link.openFailure();
    }
    if (result.outcome != Outcome::Done && result.outcome != Outcome::VerifyMismatch)
        return failedExchange(r, result.outcome, t, WriteAttempts, true);

    const BlockBytes &before = *result.before, &sent = *result.sent;
    const bool restoring = action == History::Action::Restore;
    QString lines;
    JsonObject changes;
    for (int i = 0; i < PowerValueCount; ++i) {
        const std::size_t k = std::size_t(i);
        if (!values[k] || (restoring && before[k] == sent[k]))
            continue;
        lines += QStringLiteral("%1: %2 -> %3\n").arg(QLatin1String(ValueNames[k])).arg(before[k]).arg(sent[k]);
        changes.add(QLatin1String(ValueNames[k]),
                    JsonObject().add(QStringLiteral("from"), int(before[k])).add(QStringLiteral("to"), int(sent[k])));
    }
    if (restoring && lines.isEmpty())
        lines = QStringLiteral("the radio already held these values\n");

    if (result.outcome == Outcome::VerifyMismatch) {
        const QString written = hex(sent), readBack = hex(*result.after);
        if (!r.json)
            print(stdout, QStringLiteral("written:   %1\nread back: %2\n").arg(written, readBack));
        return r.fail(VerifyMismatch, QStringLiteral("verify"),
                      QStringLiteral("%1: verify failed: the radio holds other bytes than were written")
                          .arg(t.label()),
                      JsonObject().add(QStringLiteral("written"), written).add(QStringLiteral("read_back"), readBack));
    }
    if (r.json)
        printJson(targetJson(t)
                      .add(QStringLiteral("changes"), changes)
                      .add(QStringLiteral("before"), hex(before))
                      .add(QStringLiteral("sent"), hex(sent))
                      .add(QStringLiteral("after"), result.after ? QJsonValue(hex(*result.after)) : QJsonValue())
                      .add(QStringLiteral("verified"), result.after.has_value())
                      .toJson());
    else
        print(stdout, lines + (verify ? QString() : QStringLiteral("(not verified)\n")));
    return Done;
}

QString changedValues(const History::Record &rec)
{
    if (rec.action == History::Action::Read || !rec.sent)
        return {};
    if (!rec.before || rec.before->size() != rec.sent->size())
        return QStringLiteral("sent ") + hex(*rec.sent);
    QStringList changes;
    for (int i = 0; i < PowerValueCount && i < rec.sent->size(); ++i) {
        const int from = quint8(rec.before->at(i)), to = quint8(rec.sent->at(i));
        if (from != to)
            changes << QStringLiteral("%1 %2->%3").arg(QLatin1String(ValueNames[std::size_t(i)])).arg(from).arg(to);
    }
    return changes.isEmpty() ? QStringLiteral("no change") : changes.join(QLatin1Char(' '));
}

int history(const Reporter &r, const QString &portFilter, int limit)
{
    History::Store::setWarningSink([](const QString &) {});   // failures are reported below
    History::Store store;
    const QList<History::Record> records = store.list(portFilter, limit);
    if (!store.lastError().isEmpty())
        return r.badInput(QStringLiteral("cannot read the history %1: %2").arg(store.path(), store.lastError()));
    if (r.json) {
        QList<JsonObject> items;
        for (const History::Record &rec : records)
            items << JsonObject()
                         .add(QStringLiteral("id"), rec.id)
                         .add(QStringLiteral("time"), rec.time.toUTC().toString(Qt::ISODateWithMs))
                         .add(QStringLiteral("source"), History::sourceName(rec.source))
                         .add(QStringLiteral("port"), rec.port)
                         .add(QStringLiteral("device"), rec.device)
                         .add(QStringLiteral("action"), History::actionName(rec.action))
                         .add(QStringLiteral("outcome"), rec.outcome)
                         .add(QStringLiteral("before"), hexOrNull(rec.before))
                         .add(QStringLiteral("sent"), hexOrNull(rec.sent));
        printJson(jsonArray(items));
        return Done;
    }
    for (const History::Record &rec : records)
        print(stdout, QStringLiteral("%1  %2  %3  %4  %5  %6  %7\n")
                          .arg(rec.id, 4)
                          .arg(rec.time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")))
                          .arg(rec.port, -6)
                          .arg(History::actionName(rec.action), -7)
                          .arg(rec.outcome, -10)
                          .arg(History::sourceName(rec.source), -6)
                          .arg(changedValues(rec))
                          .remove(QRegularExpression(QStringLiteral("\\s+$")))
                      + QLatin1Char('\n'));
    return Done;
}

int backup(const Reporter &r, const Target &t, const QString &output)
{
    int status = Done;
    const std::optional<BlockBytes> block = readBlock(r, t, &status);
    if (!block)
        return status;
    const History::Backup saved{BlockToBytes(*block), QDateTime::currentDateTimeUtc(), t.name, t.device};
    QString error;
    if (!History::BackupFile::save(output, saved, &error))
        return r.badInput(QStringLiteral("%1: cannot save the backup: %2").arg(output, error));
    if (r.json)
        printJson(targetJson(t)
                      .add(QStringLiteral("file"), output)
                      .add(QStringLiteral("block"), hex(*block))
                      .toJson());
    else
        print(stdout, QStringLiteral("%1: block %2 saved to %3\n").arg(t.label(), hex(*block), output));
    return Done;
}

// The values of a write, from NAME=V arguments or a file; Done when all are good.
int valuesToWrite(const Reporter &r, const QStringList &args, const std::optional<QString> &file,
                  ValueArgs::Values &values)
{
    QString error;
    std::optional<ValueArgs::Values> parsed;
    if (file) {
        if (!args.isEmpty())
            return r.usage(QStringLiteral("give values either as NAME=V or with --file, not both"));
        QFile f(*file);
        if (!f.open(QIODevice::ReadOnly))
            return r.badInput(QStringLiteral("%1: cannot read the file: %2").arg(*file, f.errorString()));
        parsed = ValueArgs::parseValueFile(f.read(1 << 20), &error);
        if (!parsed)
            return r.badInput(QStringLiteral("%1: %2").arg(*file, error));
    } else {
        parsed = ValueArgs::parseAssignments(args, &error);
        if (!parsed)
            return r.usage(error);
    }
    values = *parsed;
    return Done;
}

// All twelve bytes of a backup file or of a history record's block, as stored.
int blockToRestore(const Reporter &r, const QStringList &args, const std::optional<QString> &historyId,
                   ValueArgs::Values &values)
{
    QByteArray block;
    if (historyId) {
        if (!args.isEmpty())
            return r.usage(QStringLiteral("give either a backup file or --history ID, not both"));
        bool ok = false;
        const qint64 id = historyId->toLongLong(&ok);
        if (!ok || id < 1)
            return r.usage(QStringLiteral("--history needs a record id (see %1 history)").arg(Program));
        History::Store store;
        const std::optional<History::Record> record = store.find(id);
        if (!record)
            return r.badInput(QStringLiteral("there is no history record %1").arg(id));
        if (!record->before || record->before->size() != int(std::tuple_size_v<BlockBytes>))
            return r.badInput(QStringLiteral("history record %1 holds no block found in the radio").arg(id));
        block = *record->before;
    } else {
        if (args.size() != 1)
            return r.usage(QStringLiteral("restore needs one backup file, or --history ID"));
        History::Backup saved;
        QString error;
        if (!History::BackupFile::load(args.first(), saved, &error))
            return r.badInput(QStringLiteral("%1: %2").arg(args.first(), error));
        block = saved.block;
    }
    for (int i = 0; i < PowerValueCount; ++i)
        values[std::size_t(i)] = std::uint8_t(block[i]);
    return Done;
}

// --- Command line ------------------------------------------------------------------

enum class Kind { Ports, Read, Write, History, Backup, Restore };
struct Command {
    Kind kind;
    const char *name;
    const char *summary;
};
const Command CommandList[] = {
    {Kind::Ports, "ports", "list the ports and whether each can be opened now"},
    {Kind::Read, "read", "read the twelve calibration values"},
    {Kind::Write, "write", "write NAME=V ... (or --file F), read back and compare"},
    {Kind::History, "history", "list the blocks read and written, newest first"},
    {Kind::Backup, "backup", "save the radio's block to a file (--output FILE)"},
    {Kind::Restore, "restore", "write back a backup file, or a history record's block (--history ID)"},
};

const QString ExitStatusHelp = QStringLiteral(
    "Exit status:\n"
    "  0  done\n"
    "  1  bad command line or input; nothing was sent\n"
    "  2  the port cannot be opened\n"
    "  3  the radio does not answer the access code\n"
    "  4  the radio answers something else\n"
    "  5  the link was lost during a block transfer\n"
    "  6  verify found the radio holding other bytes than written\n");

QString helpOf(const QCommandLineParser &parser, const QString &usage)
{
    QString text = parser.helpText();
    const QString argv0 = QCoreApplication::arguments().value(0);
    if (!argv0.isEmpty())
        text.replace(QStringLiteral("Usage: ") + argv0, QStringLiteral("Usage: ") + usage);
    return text;
}

QString valueNamesHelp()
{
    QStringList names;
    for (const char *n : ValueNames)
        names << QLatin1String(n);
    return names.join(QLatin1Char(' '));
}

} // namespace

int run(const QStringList &arguments)
{
    Reporter r;
    r.json = arguments.contains(QStringLiteral("--json"));
    History::Store::setWarningSink([](const QString &message) {
        if (Progress::active)
            Progress::active->clear();
        print(stderr, Program + QStringLiteral(": warning: the history is not kept: ") + message + QLatin1Char('\n'));
    });

    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("The radio's port: a number (3), COM3 or a device path; "
                                                       "may be left out when exactly one port exists."),
                                        QStringLiteral("P"));
    const QCommandLineOption jsonOption(QStringLiteral("json"), QStringLiteral("Print JSON instead of text."));
    const QCommandLineOption versionOption(QStringLiteral("version"), QStringLiteral("Print the version."));

    QCommandLineParser top;
    top.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    QString commandHelp = QStringLiteral("Reads and writes the transmit-power calibration of a UHF radio.\n\nCommands:\n");
    for (const Command &c : CommandList)
        commandHelp += QStringLiteral("  %1  %2\n").arg(QLatin1String(c.name), -8).arg(QLatin1String(c.summary));
    commandHelp += QStringLiteral("\n'%1 COMMAND --help' tells more about each.").arg(Program);
    top.setApplicationDescription(commandHelp);
    const QCommandLineOption helpOption = top.addHelpOption();
    top.addOption(versionOption);
    top.addOption(portOption);
    top.addOption(jsonOption);
    top.addPositionalArgument(QStringLiteral("command"), QStringLiteral("One of: ") + Commands,
                              QStringLiteral("COMMAND [args]"));
    if (!top.parse(arguments))
        return r.usage(top.errorText());
    if (top.isSet(versionOption)) {
        print(stdout, QStringLiteral("%1 %2\n").arg(Program, QCoreApplication::applicationVersion()));
        return Done;
    }
    const QStringList topArgs = top.positionalArguments();
    if (top.isSet(helpOption)) {
        print(stdout, helpOf(top, Program + QStringLiteral(" [--port P]")) + QLatin1Char('\n') + ExitStatusHelp);
        return Done;
    }
    if (topArgs.isEmpty())
        return r.usage(QStringLiteral("no command given; one of: ") + Commands);

    const QString command = topArgs.first();
    const Command *known = nullptr;
    for (const Command &c : CommandList)
        if (command == QLatin1String(c.name))
            known = &c;
    if (!known)
        return r.usage(QStringLiteral("unknown command \"%1\"; one of: %2").arg(command, Commands));
    const Kind kind = known->kind;

    QCommandLineParser p;
    p.setApplicationDescription(QLatin1String(known->summary));
    p.addHelpOption();
    p.addOption(jsonOption);
    if (kind != Kind::Ports)
        p.addOption(kind == Kind::History
                        ? QCommandLineOption(QStringLiteral("port"),
                                             QStringLiteral("Only this port's records (a port name or device path)."),
                                             QStringLiteral("P"))
                        : portOption);
    const QCommandLineOption noVerifyOption(QStringLiteral("no-verify"),
                                            QStringLiteral("Do not read the block back to compare."));
    const QCommandLineOption fileOption(QStringLiteral("file"),
                                        QStringLiteral("A JSON object of names and values, e.g. {\"H400\": 90}."),
                                        QStringLiteral("F"));
    const QCommandLineOption limitOption(QStringLiteral("limit"), QStringLiteral("At most N records."),
                                         QStringLiteral("N"));
    const QCommandLineOption outputOption({QStringLiteral("o"), QStringLiteral("output")},
                                          QStringLiteral("The backup file to write."), QStringLiteral("FILE"));
    const QCommandLineOption historyOption(QStringLiteral("history"),
                                           QStringLiteral("Write back the block history record ID found in the radio "
                                                          "(for a write, the block before it)."),
                                           QStringLiteral("ID"));
    QString usage = Program + QStringLiteral(" [--port P] ") + command;
    if (kind == Kind::Write) {
        p.addOption(noVerifyOption);
        p.addOption(fileOption);
        p.addPositionalArgument(QStringLiteral("NAME=V"),
                                QStringLiteral("A value to change, V a whole number 0 to 127; names: ")
                                    + valueNamesHelp(),
                                QStringLiteral("NAME=V..."));
    } else if (kind == Kind::History) {
        p.addOption(limitOption);
        usage = Program + QStringLiteral(" history");
    } else if (kind == Kind::Backup) {
        p.addOption(outputOption);
    } else if (kind == Kind::Restore) {
        p.addOption(historyOption);
        p.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("A file saved by backup."), QStringLiteral("[FILE]"));
    } else if (kind == Kind::Ports) {
        usage = Program + QStringLiteral(" ports");
    }
    if (!p.parse(QStringList{Program} + topArgs.mid(1)))
        return r.usage(QStringLiteral("%1: %2").arg(command, p.errorText()));
    if (p.isSet(QStringLiteral("help"))) {
        print(stdout, helpOf(p, usage) + QLatin1Char('\n') + ExitStatusHelp);
        return Done;
    }
    const QStringList args = p.positionalArguments();

    // The port: before or after the command, once.
    QString portGiven = top.value(portOption);
    if (p.optionNames().contains(QStringLiteral("port"))) {
        const QString after = p.value(QStringLiteral("port"));
        if (!portGiven.isEmpty() && portGiven != after)
            return r.usage(QStringLiteral("--port is given twice"));
        portGiven = after;
    }
    if (top.isSet(portOption) && portGiven.isEmpty())
        return r.usage(QStringLiteral("--port needs a port"));

    // Everything the user typed or named is checked before a port is opened.
    ValueArgs::Values values;
    bool verify = true;
    History::Action action = History::Action::Write;
    if (kind != Kind::Write && kind != Kind::Restore && !args.isEmpty())
        return r.usage(QStringLiteral("%1 takes no arguments: \"%2\"").arg(command, args.first()));
    if (kind == Kind::Ports)
        return ports(r);
    if (kind == Kind::History) {
        int limit = -1;
        if (p.isSet(limitOption)) {
            bool ok = false;
            limit = p.value(limitOption).toInt(&ok);
            if (!ok || limit < 1)
                return r.usage(QStringLiteral("--limit needs a whole number above 0"));
        }
        // "3" and "com3" find the records of COM3; a device path is taken as it is.
        if (const QRegularExpressionMatch m = numberedPort().match(portGiven); m.hasMatch())
            portGiven = comName(m.captured(1).toInt());
        return history(r, portGiven, limit);
    }
    if (kind == Kind::Backup) {
        const QString output = p.value(outputOption);
        if (output.isEmpty())
            return r.usage(QStringLiteral("backup needs --output FILE"));
        QString error;
        if (!History::BackupFile::canWrite(output, &error))
            return r.badInput(QStringLiteral("%1: %2").arg(output, error));
    }
    if (kind == Kind::Write) {
        verify = !p.isSet(noVerifyOption);
        const int status = valuesToWrite(r, args, p.isSet(fileOption) ? std::optional(p.value(fileOption)) : std::nullopt,
                                         values);
        if (status != Done)
            return status;
    }
    if (kind == Kind::Restore) {
        action = History::Action::Restore;
        const int status = blockToRestore(r, args, p.isSet(historyOption) ? std::optional(p.value(historyOption))
                                                                          : std::nullopt,
                                          values);
        if (status != Done)
            return status;
    }

    QString error;
    const std::optional<Target> target = resolveTarget(portGiven, &error);
    if (!target)
        return r.usage(error);
    if (kind == Kind::Read)
        return read(r, *target);
    if (kind == Kind::Backup)
        return backup(r, *target, p.value(outputOption));
    return write(r, *target, values, verify, action);
}

} // namespace Cli
