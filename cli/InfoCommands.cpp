// ports, config and doctor: what this station has, without a radio exchange
// (but for the doctor's --probe).
#include "cli/Commands.h"

#include "cli/StopSignals.h"
#include "history/ServerHistory.h"
#include "settings/StationConfig.h"

#include <QFileInfo>

#ifdef Q_OS_LINUX
#include "cli/Doctor.h"
#endif

namespace Cli {

namespace {

using CliOutput::JsonObject;

QString hexId(const std::optional<quint16> &id)
{
    return id ? QStringLiteral("%1").arg(*id, 4, 16, QLatin1Char('0')) : QString();
}


} // namespace

int RunPorts(Invocation &in)
{
    if (!in.args.isEmpty())
        return in.finish(UsageError(QStringLiteral("ports takes no arguments: \"%1\"").arg(in.args.first())));
    const QList<PortMap::Port> ports = in.ports.probe();
    PortReport report;
    QList<JsonObject> items;
    for (const PortMap::Port &p : ports) {
        items << JsonObject()
                     .add(QStringLiteral("port"), PortMap::PortName(p.number))
                     .add(QStringLiteral("number"), p.number)
                     .add(QStringLiteral("device"), p.device)
                     .add(QStringLiteral("available"), p.available)
                     .add(QStringLiteral("description"), CliOutput::textOrNull(p.description))
                     .add(QStringLiteral("manufacturer"), CliOutput::textOrNull(p.manufacturer))
                     .add(QStringLiteral("vendor_id"), CliOutput::textOrNull(hexId(p.vendorId)))
                     .add(QStringLiteral("product_id"), CliOutput::textOrNull(hexId(p.productId)))
                     .add(QStringLiteral("serial_number"), CliOutput::textOrNull(p.serialNumber));
        report.out += QStringLiteral("%1  %2  %3  %4")
                          .arg(PortMap::PortName(p.number), -5)
                          .arg(p.device, -20)
                          .arg(p.available ? QStringLiteral("available") : QStringLiteral("cannot be opened now"), -20)
                          .arg(PortMap::AdapterText(p))
                          .trimmed()
                      + QLatin1Char('\n');
    }
    if (ports.isEmpty())
        report.out = QStringLiteral("no serial ports\n");
    report.json = Json::lines(items);
    return in.finish(report);
}

int RunConfig(Invocation &in)
{
    if (!in.args.isEmpty())
        return in.finish(UsageError(QStringLiteral("config takes no arguments: \"%1\"").arg(in.args.first())));
    const History::StationConfig &config = in.config;
    History::Setting server = config.server();
    server.value = History::ServerHistory::withoutPassword(server.value);
    const QList<std::pair<QString, History::Setting>> settings{
        {QStringLiteral("port"), config.port()},
        {QStringLiteral("history"), config.history()},
        {QStringLiteral("history_server"), server},
        {QStringLiteral("station"), config.station()},
        {QStringLiteral("radio_prefix"), config.radioPrefix()},
    };
    PortReport report;
    JsonObject values;
    report.out = QStringLiteral("config file: %1%2\n")
                     .arg(config.file(), QFileInfo::exists(config.file()) ? QString() : QStringLiteral(" (none yet)"));
    for (const auto &[key, s] : settings) {
        report.out += QStringLiteral("%1  %2  (%3)\n").arg(key, -15).arg(s.isSet() ? s.value : QStringLiteral("-"),
                                                                          s.isSet() ? s.origin : QStringLiteral("not set"));
        values.add(key, JsonObject().add(QStringLiteral("value"), CliOutput::textOrNull(s.value)).add(QStringLiteral("from"), CliOutput::textOrNull(s.origin)));
    }
    const QString prefix = config.radioPrefix().value;
    const QString rule = prefix.isEmpty()
                             ? QStringLiteral("labels are kept as given")
                             : QStringLiteral("%1 goes in front of a label that does not start with it: --radio 0001 "
                                              "labels %2, --radio %2 stays %2")
                                   .arg(prefix, config.radioLabel(QStringLiteral("0001")));
    report.out += QStringLiteral("radio labels: %1\n").arg(rule);
    report.json = JsonObject()
                      .add(QStringLiteral("file"), config.file())
                      .add(QStringLiteral("settings"), values)
                      .add(QStringLiteral("radio_label_rule"), rule)
                      .toJson();
    return in.finish(report);
}

// The same text as the package's calitune-server.sql.
int RunServerSql(Invocation &in)
{
    if (!in.args.isEmpty())
        return in.finish(UsageError(QStringLiteral("server-sql takes no arguments: \"%1\"").arg(in.args.first())));
    PortReport report;
    report.out = History::ServerHistory::adminSql();
    report.json = CliOutput::JsonObject().add(QStringLiteral("sql"), report.out).toJson();
    return in.finish(report);
}

#ifdef Q_OS_LINUX
namespace {

// Asks for programming mode with the short budget and takes the radio out
// of it again.
Doctor::ProbeResult probe(const QString &device)
{
    Link link;
    link.setReplyWindow(LinkReplyWindow());
    link.setStopCheck(StopSignals::Requested);
    if (!link.open(device))
        return {Doctor::ProbeResult::Outcome::PortNotOpened, link.openFailure().text};
    const Frames::EntryReply reply = link.enterProgramMode(Link::ShortRetryBudget);
    if (reply == Frames::EntryReply::Acknowledged) {
        link.leaveProgramMode();
        return {Doctor::ProbeResult::Outcome::Answered, QStringLiteral("it was taken out of programming mode again")};
    }
    return {reply == Frames::EntryReply::NoReply ? Doctor::ProbeResult::Outcome::NoReply
                                                 : Doctor::ProbeResult::Outcome::OtherReply,
            QStringLiteral("%1 attempts").arg(Link::ShortRetryBudget + 1)};
}

// The ports to check: those --port names, else the mapped ones, else the
// USB serial adapters there are.
Checked<QList<Target>> doctorTargets(Invocation &in, const Doctor::Environment &env)
{
    if (in.isSet(Opt::Port))
        return ChosenTargets(in);
    QList<Target> targets;
    if (in.ports.mapped()) {
        for (const PortMap::Port &p : in.ports.numbered())
            targets << Target{PortMap::PortName(p.number), p.device};
        return targets;
    }
    QStringList devices = Doctor::usbSerialDevices(env);
    if (devices.isEmpty())
        devices << QStringLiteral("/dev/ttyUSB0");
    for (const QString &device : devices)
        targets << Target{device, device};
    return targets;
}

PortReport doctorReport(const Target &t, const QList<Doctor::Finding> &findings, bool several)
{
    PortReport r;
    r.status = Doctor::exitStatus(findings);
    r.out = (several ? t.label() + QLatin1Char('\n') : QString()) + Doctor::formatText(findings);
    QList<JsonObject> lines;
    for (const Doctor::Finding &f : findings)
        lines << t.json()
                     .add(QStringLiteral("check"), f.check)
                     .add(QStringLiteral("status"), Doctor::statusName(f.status))
                     .add(QStringLiteral("text"), f.text)
                     .add(QStringLiteral("advice"), f.advice);
    r.json = Json::lines(lines);
    return r;
}

} // namespace

int RunDoctor(Invocation &in)
{
    if (!in.args.isEmpty())
        return in.finish(UsageError(QStringLiteral("doctor takes no arguments: \"%1\"").arg(in.args.first())));
    const Doctor::Environment env = Doctor::Environment::current();
    const Checked<QList<Target>> targets = doctorTargets(in, env);
    if (!targets)
        return in.finish(targets.failure());
    QList<PortReport> reports;
    for (const Target &t : *targets) {
        if (t.device.isEmpty()) {
            reports << ErrorReport(PortNotOpened, QStringLiteral("port"),
                                   QStringLiteral("%1 names no device: set CALITUNE_%1, or see %2 ports").arg(t.name, Program),
                                   &t);
            continue;
        }
        const QString device = t.device;
        const Doctor::Probe asked = in.isSet(Opt::Probe) ? Doctor::Probe([device] { return probe(device); }) : Doctor::Probe();
        const QList<Doctor::Finding> findings = Doctor::examine(device, env, asked);
        // A probe cut short would read as "no radio answered".
        if (StopSignals::Requested())
            return in.finish(reports << ErrorReport(128 + StopSignals::Signal(), QStringLiteral("interrupted"),
                                                    QStringLiteral("%1: interrupted by signal %2; the radio is not left "
                                                                   "in programming mode")
                                                        .arg(t.label())
                                                        .arg(StopSignals::Signal()),
                                                    &t));
        reports << doctorReport(t, findings, targets->size() > 1);
    }
    return in.finish(reports);
}
#else
int RunDoctor(Invocation &in)
{
    return in.finish(BadInputError(QStringLiteral("doctor checks Linux systems only")));
}
#endif

} // namespace Cli
