// history: the exchanges kept, newest first, filtered.
#include "cli/Commands.h"

#include "cli/StopSignals.h"
#include "cli/Targets.h"
#include "history/HistoryStore.h"
#include "history/ServerHistory.h"
#include "history/ServerSync.h"

#include <QRegularExpression>
#include <QTimeZone>

namespace Cli {

namespace {

using CliOutput::JsonObject;
using CliOutput::hexOrNull;


QString changedValues(const History::Record &rec)
{
    if (!rec.sent)
        return {};
    if (!rec.before || rec.before->size() != rec.sent->size())
        return QStringLiteral("sent ") + CliOutput::hex(*rec.sent);
    QStringList changes;
    for (int i = 0; i < PowerValueCount && i < rec.sent->size(); ++i) {
        const int from = quint8(rec.before->at(i)), to = quint8(rec.sent->at(i));
        if (from != to)
            changes << QStringLiteral("%1 %2->%3").arg(QLatin1String(ValueNames[std::size_t(i)])).arg(from).arg(to);
    }
    return changes.isEmpty() ? QStringLiteral("no change") : changes.join(QLatin1Char(' '));
}

QString timeText(const QDateTime &time, bool local)
{
    return local ? time.toLocalTime().toOffsetFromUtc(time.toLocalTime().offsetFromUtc()).toString(Qt::ISODate)
                 : time.toUTC().toString(Qt::ISODate);
}

JsonObject recordJson(const History::Record &r)
{
    JsonObject o;
    o.add(QStringLiteral("id"), r.id)
        .add(QStringLiteral("time"), r.time.toUTC().toString(Qt::ISODateWithMs))
        .add(QStringLiteral("station"), r.station)
        .add(QStringLiteral("source"), History::sourceName(r.source))
        .add(QStringLiteral("port"), r.port)
        .add(QStringLiteral("device"), r.device)
        .add(QStringLiteral("radio"), r.radio ? QJsonValue(*r.radio) : QJsonValue())
        .add(QStringLiteral("fingerprint"), CliOutput::textOrNull(History::fingerprintOf(r).value_or(QString())))
        .add(QStringLiteral("action"), History::actionName(r.action))
        .add(QStringLiteral("outcome"), History::OutcomeName(r.outcome))
        .add(QStringLiteral("before"), hexOrNull(r.before))
        .add(QStringLiteral("sent"), hexOrNull(r.sent))
        .add(QStringLiteral("after"), hexOrNull(r.after));
    if (r.verified)
        o.add(QStringLiteral("verified"), *r.verified);
    o.add(QStringLiteral("forced"), r.forced)
        .add(QStringLiteral("source_file"),
             r.sourceFile.isEmpty() ? QJsonValue()
                                    : QJsonValue::fromVariant(QVariantMap{{QStringLiteral("path"), r.sourceFile},
                                                                          {QStringLiteral("sha256"), r.sourceSha256}}))
        .add(QStringLiteral("source_record"), CliOutput::textOrNull(r.sourceRecord));
    return o;
}

// The columns of a listing: the header's names or a record's values.
QString columns(const QStringList &c, int timeWidth)
{
    return QStringLiteral("%1  %2  %3  %4  %5  %6  %7  %8  %9")
        .arg(c[0], 4)
        .arg(c[1], -timeWidth)
        .arg(c[2], -10)
        .arg(c[3], -6)
        .arg(c[4], -8)
        .arg(c[5], -7)
        .arg(c[6], -11)
        .arg(c[7], -6)
        .arg(c[8]);
}

QString recordLine(const History::Record &r, bool local)
{
    const QString time = timeText(r.time, local);
    return columns({QString::number(r.id), time, r.station, r.port, r.radio.value_or(QStringLiteral("-")),
                    History::actionName(r.action), History::OutcomeName(r.outcome), History::sourceName(r.source),
                    changedValues(r) + (r.forced ? QStringLiteral(" (forced)") : QString())},
                   int(time.size()));
}

QString headerLine(const QString &first, bool local)
{
    const int timeWidth = int(timeText(QDateTime::currentDateTimeUtc(), local).size());
    return columns({first, QStringLiteral("TIME"), QStringLiteral("STATION"), QStringLiteral("PORT"),
                    QStringLiteral("RADIO"), QStringLiteral("ACTION"), QStringLiteral("OUTCOME"),
                    QStringLiteral("SOURCE"), QStringLiteral("CHANGES")},
                   timeWidth);
}

QString trimmedRight(QString line)
{
    qsizetype end = line.size();
    while (end > 0 && line.at(end - 1).isSpace())
        --end;
    line.truncate(end);
    return line;
}

// An ISO 8601 time or date; without an offset it is taken as UTC, or as local
// time with --local, as the listing shows it.
std::optional<QDateTime> timeGiven(const QString &text, bool local, bool endOfDay)
{
    // A day alone first: Qt reads it as a time at midnight, and reads a day
    // out of any text that begins with one.
    const QDate day = text.size() == 10 ? QDate::fromString(text, Qt::ISODate) : QDate();
    QDateTime t = day.isValid() ? QDateTime(day, endOfDay ? QTime(23, 59, 59, 999) : QTime(0, 0))
                                : QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!t.isValid())
        return std::nullopt;
    const bool offsetGiven = text.endsWith(QLatin1Char('Z'), Qt::CaseInsensitive)
                             || text.contains(QRegularExpression(QStringLiteral("[+-]\\d\\d:?\\d\\d$")));
    if (!offsetGiven)
        t.setTimeZone(local ? QTimeZone::systemTimeZone() : QTimeZone::utc());
    return t.toUTC();
}

Checked<History::Filter> filterGiven(const Invocation &in)
{
    History::Filter f;
    f.port = PortFilterName(in.value(Opt::Port));
    f.radio = in.settings.radio;   // with the station's prefix, as it was stored
    f.radioPrefix = in.config.radioPrefix().value;
    f.station = in.value(Opt::Station);
    if (in.isSet(Opt::Action) && !(f.action = History::actionFromName(in.value(Opt::Action))))
        return UsageError(QStringLiteral("--action is one of: read write restore backup"));
    if (in.isSet(Opt::Outcome) && !(f.outcome = History::StateFromName(in.value(Opt::Outcome))))
        return UsageError(QStringLiteral("--outcome is one of: done port no-reply other-reply link-lost verify "
                                         "other-radio interrupted file unfinished"));
    for (auto [opt, target, end] : {std::tuple{Opt::Since, &f.since, false}, std::tuple{Opt::Until, &f.until, true}}) {
        if (!in.isSet(opt))
            continue;
        const std::optional<QDateTime> t = timeGiven(in.value(opt), in.isSet(Opt::Local), end);
        if (!t)
            return UsageError(QStringLiteral("\"%1\" is not an ISO 8601 time, e.g. 2026-12-07 or 2026-12-07T08:00:00Z")
                                  .arg(in.value(opt)));
        *target = *t;
    }
    if (in.isSet(Opt::Limit)) {
        bool ok = false;
        f.limit = in.value(Opt::Limit).toInt(&ok);
        if (!ok || f.limit < 1)
            return UsageError(QStringLiteral("--limit needs a whole number above 0"));
    }
    return f;
}

int listed(const Invocation &in, const History::Store &store, const History::Store::Records &found)
{
    if (!found)
        return in.finish(BadInputError(QStringLiteral("cannot read the history %1: %2").arg(store.path(), found.text())));
    const QList<History::Record> &records = *found;
    PortReport report;
    QList<JsonObject> items;
    for (const History::Record &r : records) {
        if (in.settings.style.json)
            items << recordJson(r);
        else
            report.out += trimmedRight(recordLine(r, in.isSet(Opt::Local))) + QLatin1Char('\n');
    }
    report.out = records.isEmpty() ? QStringLiteral("no records\n")
                                   : trimmedRight(headerLine(QStringLiteral("ID"), in.isSet(Opt::Local)))
                                         + QLatin1Char('\n') + report.out;
    report.json = Json::lines(items);
    return in.finish(report);
}

// The factory's records: the first column names each as STATION:ID, which
// is what restore --history takes with --server.
int listedOnServer(const Invocation &in, const History::ServerHistory::Records &found)
{
    if (!found)
        return in.finish(ErrorReport(ServerFailed, QStringLiteral("server"), found.text()));
    const QList<History::ServerRecord> &records = *found;
    PortReport report;
    QList<JsonObject> items;
    for (const History::ServerRecord &s : records) {
        items << recordJson(s.record)
                     .add(QStringLiteral("server_id"), s.serverId)
                     .add(QStringLiteral("uploaded_at"), s.uploadedAt.toUTC().toString(Qt::ISODateWithMs));
        QString line = trimmedRight(recordLine(s.record, in.isSet(Opt::Local)));
        line.replace(0, 4, QStringLiteral("%1:%2").arg(s.record.station).arg(s.record.id));
        report.out += line + QLatin1Char('\n');
    }
    QString header = trimmedRight(headerLine(QStringLiteral("ID"), in.isSet(Opt::Local)));
    report.out = records.isEmpty() ? QStringLiteral("no records\n")
                                   : header.replace(0, 4, QStringLiteral("STATION:ID")) + QLatin1Char('\n') + report.out;
    report.json = Json::lines(items);
    return in.finish(report);
}

// The server's answer to `query`, or why there is none.
History::ServerHistory::Records onServer(const QString &conninfo,
                                         const std::function<History::ServerHistory::Records(History::ServerHistory &)> &query)
{
    Result<History::ServerHistory, History::ServerError> server = History::ServerHistory::connect(conninfo);
    if (!server)
        return server.failure();
    return query(*server);
}

// As long as records keep going out; a server that cannot be reached is given
// up after ServerHistory::ConnectTimeoutSeconds, a statement after
// ServerHistory::StatementTimeoutMs.
int sync(const Invocation &in)
{
    if (in.server.isEmpty())
        return in.finish(UsageError(History::StationConfig::serverNotSet()));
    StopSignals::Install();
    History::Store store(in.settings.historyPath);
    store.setWarnings(HistoryWarnings(in.settings.style));
    (void)store.prepare();   // it warns itself; the upload reads what is stored
    const History::SyncResult r = History::SyncToServer(
        store, in.server, {History::ServerHistory::ConnectTimeoutSeconds, QDeadlineTimer::Forever, StopSignals::Requested});
    const JsonObject counts = JsonObject().add(QStringLiteral("sent"), r.sent).add(QStringLiteral("waiting"), r.waiting);
    if (!r.done) {
        const int status = r.stopped() ? 128 + StopSignals::Signal() : ServerFailed;
        const QString kind = r.stopped() ? QStringLiteral("interrupted") : QStringLiteral("server");
        const PortReport failed = ErrorReport(status, kind, QStringLiteral("%1; %2 record(s) sent, %3 waiting")
                                                                .arg(r.done.text()).arg(r.sent).arg(r.waiting),
                                              nullptr, counts);
        return EndAfterServer(in.finish(failed), r);
    }
    PortReport report;
    report.out = QStringLiteral("sent %1 record(s) to the history server; %2 waiting\n").arg(r.sent).arg(r.waiting);
    report.json = counts.toJson();
    return in.finish(report);
}

// The records of one radio, from this station's history or the server's.
int story(const Invocation &in)
{
    const QString id = in.value(Opt::Story);
    for (Opt o : {Opt::Port, Opt::Radio, Opt::Station, Opt::Since, Opt::Until, Opt::Action, Opt::Outcome, Opt::Limit})
        if (in.isSet(o))
            return in.finish(UsageError(QStringLiteral("--story lists a whole story: leave out the other filters")));
    if (id.trimmed().isEmpty() || id.size() > 64)
        return in.finish(UsageError(QStringLiteral("--story needs a label or a fingerprint (8 hex digits)")));
    const QString prefix = in.config.radioPrefix().value;
    if (in.isSet(Opt::Server)) {
        if (in.server.isEmpty())
            return listedOnServer(in, Failure{History::ServerError::Settings,
                                            QStringLiteral("--server: ") + History::StationConfig::serverNotSet()});
        return listedOnServer(in, onServer(in.server, [&](History::ServerHistory &s) { return s.story(id, prefix); }));
    }
    History::Store store(in.settings.historyPath);
    store.setWarnings([](const QString &) {});   // failures are reported below
    if (store.spoolWaiting())
        (void)store.prepare();   // what it cannot merge stays in the spool
    return listed(in, store, store.story(id, prefix));
}

} // namespace

int RunHistory(Invocation &in)
{
    if (in.args == QStringList{QStringLiteral("sync")})
        return sync(in);
    if (!in.args.isEmpty())
        return in.finish(UsageError(QStringLiteral("history takes no arguments but sync: \"%1\"").arg(in.args.first())));
    if (in.isSet(Opt::Story))
        return story(in);
    const Checked<History::Filter> filter = filterGiven(in);
    if (!filter)
        return in.finish(filter.failure());
    if (in.isSet(Opt::Server)) {
        if (in.server.isEmpty())
            return in.finish(UsageError(QStringLiteral("--server: ") + History::StationConfig::serverNotSet()));
        return listedOnServer(in, onServer(in.server, [&](History::ServerHistory &s) { return s.list(*filter); }));
    }
    if (in.isSet(Opt::Station))
        return in.finish(UsageError(QStringLiteral("--station filters the history server's records: add --server")));
    History::Store store(in.settings.historyPath);
    store.setWarnings([](const QString &) {});   // failures are reported below
    // What a locked history left in its spool is merged first, so that it is listed.
    if (store.spoolWaiting())
        (void)store.prepare();   // what it cannot merge stays in the spool
    return listed(in, store, store.list(*filter));
}

} // namespace Cli
