// read, write and compare.
#include "cli/Commands.h"
#include "cli/ValueArgs.h"

#include <QFile>

namespace Cli {

namespace {

using CliOutput::JsonObject;
using CliOutput::hex;

QString name(std::size_t i) { return QLatin1String(ValueNames[i]); }

QString fingerprint(const BlockBytes &block) { return History::fingerprintOf(BlockToBytes(block)); }

PortReport readOne(const Target &t, const RunSettings &settings)
{
    Session session(settings, t, StartRecord(History::Action::Read));
    const Exchange::ReadResult r = Exchange::Read(session.link, t.device, session.ui(), session.record());
    if (r.outcome != Outcome::Done)
        return session.failed(r.outcome, Session::ReadAttempts);
    PortReport report;
    report.out = t.label() + QLatin1Char('\n') + CliOutput::valueTable(*r.block);
    report.json = t.json()
                      .add(QStringLiteral("fingerprint"), fingerprint(*r.block))
                      .add(QStringLiteral("values"), CliOutput::valueObject(*r.block))
                      .add(QStringLiteral("block"), hex(*r.block))
                      .toJson();
    return report;
}

// The lines of a compare: each value asked for that the radio holds otherwise.
PortReport compared(const Target &t, const BlockBytes &radio, const BlockBytes &wanted, const PowerValues &asked)
{
    QString lines;
    JsonObject differences;
    for (std::size_t i = 0; i < asked.size(); ++i) {
        if (!asked[i] || radio[i] == wanted[i])
            continue;
        lines += QStringLiteral("%1: radio %2, expected %3\n").arg(name(i)).arg(radio[i]).arg(wanted[i]);
        differences.add(name(i), JsonObject().add(QStringLiteral("radio"), int(radio[i])).add(QStringLiteral("expected"), int(wanted[i])));
    }
    PortReport report;
    report.status = lines.isEmpty() ? Done : VerifyMismatch;
    report.out = t.label() + QLatin1Char('\n') + (lines.isEmpty() ? QStringLiteral("the same\n") : lines);
    report.json = t.json()
                      .add(QStringLiteral("fingerprint"), fingerprint(radio))
                      .add(QStringLiteral("equal"), lines.isEmpty())
                      .add(QStringLiteral("differences"), differences)
                      .add(QStringLiteral("block"), hex(radio))
                      .toJson();
    return report;
}

} // namespace

Result<QByteArray, FileError> ReadInput(const QString &file, qint64 limit)
{
    QFile f;
    const bool ok = file == QLatin1String("-") ? f.open(stdin, QIODevice::ReadOnly)
                                               : (f.setFileName(file), f.open(QIODevice::ReadOnly));
    if (!ok)
        return Failure{FileError::CannotRead, QStringLiteral("cannot read the file: %1").arg(f.errorString())};
    QByteArray content = f.read(limit + 1);
    if (content.size() > limit)
        return Failure{FileError::TooLarge, QStringLiteral("too large")};
    return content;
}

Checked<PowerValues> ValuesGiven(const QStringList &args, const QString &file)
{
    if (!file.isEmpty()) {
        if (!args.isEmpty())
            return UsageError(QStringLiteral("give values either as NAME=V or with --file, not both"));
        const Result<QByteArray, FileError> content = ReadInput(file, 1 << 20);
        const QString from = file == QLatin1String("-") ? QStringLiteral("standard input") : file;
        if (!content)
            return BadInputError(QStringLiteral("%1: %2").arg(from, content.text()));
        const Result<ValueArgs::Values, ValueArgs::Refusal> parsed = ValueArgs::parseValueFile(*content);
        if (!parsed)
            return BadInputError(QStringLiteral("%1: %2").arg(from, parsed.text()));
        return *parsed;
    }
    const Result<ValueArgs::Values, ValueArgs::Refusal> parsed = ValueArgs::parseAssignments(args);
    if (!parsed)
        return UsageError(parsed.text());
    return *parsed;
}

PortReport WriteReport(const Session &session, const Exchange::WriteResult &result, const PowerValues &asked,
                       bool onlyChanges, bool verify, bool dryRun)
{
    const Target &t = session.target;
    const BlockBytes &before = *result.before, &sent = *result.sent;
    QString lines;
    JsonObject changes;
    for (std::size_t i = 0; i < asked.size(); ++i) {
        if (!asked[i] || (onlyChanges && before[i] == sent[i]))
            continue;
        lines += QStringLiteral("%1: %2 -> %3\n").arg(name(i)).arg(before[i]).arg(sent[i]);
        changes.add(name(i), JsonObject().add(QStringLiteral("from"), int(before[i])).add(QStringLiteral("to"), int(sent[i])));
    }
    const bool unchanged = before == sent;
    if (result.outcome == Outcome::VerifyMismatch) {
        PortReport r = ErrorReport(VerifyMismatch, History::OutcomeName(Outcome::VerifyMismatch),
                                   QStringLiteral("%1: verify failed: the radio holds other bytes than were written").arg(t.label()),
                                   &t,
                                   JsonObject()
                                       .add(QStringLiteral("before"), hex(before))
                                       .add(QStringLiteral("sent"), hex(sent))
                                       .add(QStringLiteral("after"), hex(*result.after)));
        r.out = QStringLiteral("written:   %1\nread back: %2\n").arg(hex(sent), hex(*result.after));
        return r;
    }
    PortReport r;
    if (unchanged)
        lines.clear();
    r.out = lines + (unchanged ? QStringLiteral("nothing to change: the radio holds these values already\n")
                     : dryRun  ? QStringLiteral("dry run: nothing was written\n")
                     : verify  ? QStringLiteral("verified: the radio holds the block written\n")
                               : QStringLiteral("written, not verified (--no-verify)\n"));
    r.json = t.json()
                 .add(QStringLiteral("fingerprint"), fingerprint(before))
                 .add(QStringLiteral("changes"), changes)
                 .add(QStringLiteral("before"), hex(before))
                 .add(QStringLiteral("sent"), hex(sent))
                 .add(QStringLiteral("after"), result.after ? QJsonValue(hex(*result.after)) : QJsonValue())
                 .add(QStringLiteral("written"), result.blockSent)
                 .add(QStringLiteral("verified"), result.after.has_value())
                 .toJson();
    return r;
}

int RunRead(Invocation &in)
{
    if (!in.args.isEmpty())
        return in.finish(UsageError(QStringLiteral("read takes no arguments: \"%1\"").arg(in.args.first())));
    const Checked<QList<Target>> targets = ChosenTargets(in);
    if (!targets)
        return in.finish(targets.failure());
    return in.finishExchanges(OnEveryTarget(in.settings, *targets, readOne));
}

int RunWrite(Invocation &in)
{
    const Checked<PowerValues> values = ValuesGiven(in.args, in.value(Opt::File));
    if (!values)
        return in.finish(values.failure());
    const Checked<QList<Target>> targets = ChosenTargets(in);
    if (!targets)
        return in.finish(targets.failure());
    Exchange::Change change;
    change.values = *values;
    change.verify = !in.isSet(Opt::NoVerify);
    change.skipUnchanged = true;
    change.dryRun = in.isSet(Opt::DryRun);
    const bool several = targets->size() > 1;
    return in.finishExchanges(OnEveryTarget(in.settings, *targets, [&](const Target &t, const RunSettings &settings) {
        Session session(settings, t, StartRecord(change.dryRun ? History::Action::Read : History::Action::Write),
                        change.verify);
        const Exchange::WriteResult r = Exchange::Write(session.link, t.device, session.ui(), session.record(), change);
        if (r.outcome != Outcome::Done && r.outcome != Outcome::VerifyMismatch)
            return session.failed(r.outcome, Session::WriteAttempts,
                                  r.blockSent ? Session::Writing::BlockSent : Session::Writing::NothingSent);
        PortReport report = WriteReport(session, r, change.values, false, change.verify, change.dryRun);
        if (several)
            report.out.prepend(t.label() + QLatin1Char('\n'));
        return report;
    }));
}

int RunCompare(Invocation &in)
{
    // A backup file, or the values named.
    PowerValues asked;
    BlockBytes wanted{};
    if (in.args.size() == 1 && !in.args.first().contains(QLatin1Char('='))) {
        const Result<LoadedBackup, FileError> loaded = LoadBackup(in.args.first());
        if (!loaded)
            return in.finish(BadInputError(QStringLiteral("%1: %2").arg(in.args.first(), loaded.text())));
        wanted = *BlockFromBytes(loaded->backup.block);
        for (std::size_t i = 0; i < asked.size(); ++i)
            asked[i] = wanted[i];
    } else {
        const Checked<PowerValues> values = ValuesGiven(in.args, {});
        if (!values)
            return in.finish(values.failure());
        asked = *values;
        wanted = WithValues(wanted, asked);
    }
    const Checked<QList<Target>> targets = ChosenTargets(in);
    if (!targets)
        return in.finish(targets.failure());
    const Target &t = targets->first();
    Session session(in.settings, t, StartRecord(History::Action::Read));
    const Exchange::ReadResult r = Exchange::Read(session.link, t.device, session.ui(), session.record());
    if (r.outcome != Outcome::Done)
        return in.finishExchanges({session.failed(r.outcome, Session::ReadAttempts)});
    return in.finishExchanges({compared(t, *r.block, wanted, asked)});
}

} // namespace Cli
