#include "web/StationsPage.h"
#include "web/Csv.h"
#include "web/HistoryRows.h"
#include "web/PageSql.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QUrl>

namespace Web {

namespace {

struct Counts {
    qint64 done = 0, noReply = 0, linkLost = 0, other = 0;
    qint64 all() const { return done + noReply + linkLost + other; }
    qint64 failures() const { return noReply + linkLost; }
    void add(const QString &outcome, qint64 n)
    {
        (outcome == u"done" ? done : outcome == u"no-reply" ? noReply : outcome == u"link-lost" ? linkLost : other) += n;
    }
};

double share(qint64 part, qint64 whole) { return whole > 0 ? double(part) / double(whole) : 0; }

struct PortRow {
    QString station, port;
    Counts day, week;
    double othersShare = 0;   // of the station's other ports, over the week
    bool flagged = false;
};

struct Span {
    QDateTime at, dayFrom, weekFrom;
    QString station;
};

Result<QList<PortRow>, ReadKind> portRows(const Source &source, const Span &span)
{
    const QString mark = timeMark(source);
    QString sql = QStringLiteral("SELECT station, port, outcome, count(*), sum(CASE WHEN time > %1 THEN 1 ELSE 0 END)"
                                 " FROM %2 WHERE time > %1 AND time <= %1")
                      .arg(mark, source.table);
    QVariantList values{timeValue(span.dayFrom), timeValue(span.weekFrom), timeValue(span.at)};
    if (!span.station.isNull()) {
        sql += QStringLiteral(" AND station = ?");
        values << span.station;
    }
    auto q = selected(source, sql + QStringLiteral(" GROUP BY station, port, outcome ORDER BY station, port"), values);
    if (!q)
        return q.failure();
    QList<PortRow> rows;
    while (q->next()) {
        const QString station = q->value(0).toString(), port = q->value(1).toString();
        if (rows.isEmpty() || rows.last().station != station || rows.last().port != port)
            rows.append({station, port, {}, {}});
        rows.last().week.add(q->value(2).toString(), q->value(3).toLongLong());
        rows.last().day.add(q->value(2).toString(), q->value(4).toLongLong());
    }
    return rows;
}

void flagCables(QList<PortRow> &rows)
{
    QMap<QString, Counts> stations;
    for (const PortRow &r : rows) {
        Counts &s = stations[r.station];
        s.done += r.week.done, s.noReply += r.week.noReply, s.linkLost += r.week.linkLost, s.other += r.week.other;
    }
    for (PortRow &r : rows) {
        const Counts &s = stations[r.station];
        const qint64 othersAll = s.all() - r.week.all();
        r.othersShare = share(s.failures() - r.week.failures(), othersAll);
        const double own = share(r.week.failures(), r.week.all());
        r.flagged = r.week.all() >= CableRule::MinExchanges && othersAll >= CableRule::MinExchanges
                    && own >= CableRule::MinShare && own > CableRule::Factor * r.othersShare;
    }
}

QString percent(double fraction) { return QString::number(fraction * 100, 'f', 0) + u'%'; }

QString ruleText()
{
    return QStringLiteral("A port is flagged as a likely failing cable when, over the week, it made at least %1"
                          " exchanges, its station's other ports together made at least %1 too, at least %2 of its"
                          " exchanges ended with no reply or a lost link, and that share is more than %3 times the"
                          " share of the station's other ports together.")
        .arg(CableRule::MinExchanges)
        .arg(percent(CableRule::MinShare))
        .arg(CableRule::Factor);
}

QStringList countCells(const Counts &c)
{
    return {QString::number(c.done), QString::number(c.noReply), QString::number(c.linkLost),
            QString::number(c.other), QString::number(c.all())};
}

QString htmlRow(const PortRow &r)
{
    QString cells;
    for (const QString &n : countCells(r.day) + countCells(r.week))
        cells += QStringLiteral("<td class=\"num\">%1</td>").arg(n);
    const QString search = QString::fromLatin1(QUrl::toPercentEncoding(r.station));
    return QStringLiteral("<tr%1><td><a href=\"/?q=%2\">%3</a></td><td>%4</td>%5<td class=\"num\">%6</td>"
                          "<td class=\"num\">%7</td><td>%8</td></tr>\n")
        .arg(r.flagged ? QStringLiteral(" class=\"flagged\"") : QString(), escaped(search), escaped(r.station),
             escaped(r.port), cells, percent(share(r.week.failures(), r.week.all())), percent(r.othersShare),
             r.flagged ? QStringLiteral("<strong class=\"error\">failing cable?</strong>") : QStringLiteral("ok"));
}

QString html(const QList<PortRow> &rows, const Span &span)
{
    QString out = QStringLiteral("<h1>Stations</h1>\n<p>Exchanges per station and port by how they ended: the day"
                                 " and the week up to %1 UTC.</p>\n<p class=\"rule\">%2</p>\n")
                      .arg(escaped(span.at.toString(QStringLiteral("yyyy-MM-dd HH:mm"))), escaped(ruleText()));
    if (rows.isEmpty())
        return out + QStringLiteral("<p>No exchanges in the week.</p>\n");
    out += QStringLiteral(
        "<table class=\"stations\">\n<thead><tr><th rowspan=\"2\" scope=\"col\">Station</th>"
        "<th rowspan=\"2\" scope=\"col\">Port</th><th colspan=\"5\" scope=\"colgroup\">Last day</th>"
        "<th colspan=\"5\" scope=\"colgroup\">Last week</th><th rowspan=\"2\" scope=\"col\">No reply or link lost,"
        " week</th><th rowspan=\"2\" scope=\"col\">Station's other ports</th><th rowspan=\"2\" scope=\"col\">Cable"
        "</th></tr>\n<tr>");
    for (int i = 0; i < 2; ++i)
        out += QStringLiteral("<th>done</th><th>no reply</th><th>link lost</th><th>other</th><th>all</th>");
    out += QStringLiteral("</tr></thead>\n<tbody>\n");
    for (const PortRow &r : rows)
        out += htmlRow(r);
    return out + QStringLiteral("</tbody>\n</table>\n");
}

QJsonObject countsJson(const Counts &c)
{
    return {{QStringLiteral("done"), c.done}, {QStringLiteral("no-reply"), c.noReply},
            {QStringLiteral("link-lost"), c.linkLost}, {QStringLiteral("other"), c.other},
            {QStringLiteral("all"), c.all()}};
}

QJsonObject json(const QList<PortRow> &rows, const Span &span)
{
    QJsonArray array;
    for (const PortRow &r : rows)
        array.append(QJsonObject{{QStringLiteral("station"), r.station}, {QStringLiteral("port"), r.port},
                                 {QStringLiteral("day"), countsJson(r.day)}, {QStringLiteral("week"), countsJson(r.week)},
                                 {QStringLiteral("failure_share"), share(r.week.failures(), r.week.all())},
                                 {QStringLiteral("others_failure_share"), r.othersShare},
                                 {QStringLiteral("flagged"), r.flagged}});
    return {{QStringLiteral("at"), timeValue(span.at).toString()},
            {QStringLiteral("day_from"), timeValue(span.dayFrom).toString()},
            {QStringLiteral("week_from"), timeValue(span.weekFrom).toString()},
            {QStringLiteral("rule"), ruleText()},
            {QStringLiteral("rows"), array}};
}

QString csv(const QList<PortRow> &rows)
{
    QString out = csvLine({"station", "port", "day_done", "day_no_reply", "day_link_lost", "day_other", "day_all",
                           "week_done", "week_no_reply", "week_link_lost", "week_other", "week_all",
                           "week_failure_share", "others_failure_share", "flagged"});
    for (const PortRow &r : rows)
        out += csvLine(QStringList{r.station, r.port} + countCells(r.day) + countCells(r.week)
                       + QStringList{QString::number(share(r.week.failures(), r.week.all()), 'f', 3),
                                     QString::number(r.othersShare, 'f', 3), r.flagged ? "yes" : "no"});
    return out;
}

} // namespace

Page stationsPage(const Source &source, const QUrlQuery &query, const QDateTime &now)
{
    Span span{now.toUTC(), {}, {}, {}};
    if (query.hasQueryItem(QStringLiteral("at"))) {
        const QString at = query.queryItemValue(QStringLiteral("at"), QUrl::FullyDecoded);
        span.at = QDateTime::fromString(at, Qt::ISODateWithMs);
        if (span.at.timeSpec() == Qt::LocalTime)   // the page speaks UTC, whatever the server's zone
            span.at.setTimeSpec(Qt::UTC);
        span.at = span.at.toUTC();
        if (!span.at.isValid())
            return errorPage(400, QStringLiteral("Bad parameter"),
                              QStringLiteral("at must be an ISO-8601 time such as 2026-12-08T14:00:00Z, not \"%1\"")
                                  .arg(at));
    }
    if (query.hasQueryItem(QStringLiteral("station")))
        span.station = query.queryItemValue(QStringLiteral("station"), QUrl::FullyDecoded);
    span.dayFrom = span.at.addDays(-1);
    span.weekFrom = span.at.addDays(-7);
    auto rows = portRows(source, span);
    if (!rows)
        return errorPage(503, QStringLiteral("History unreadable"), rows.text());
    flagCables(*rows);
    Page page;
    page.title = QStringLiteral("Stations");
    page.html = html(*rows, span);
    page.json = json(*rows, span);
    page.csv = csv(*rows);
    return page;
}

} // namespace Web
