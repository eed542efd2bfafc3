#include "web/RadioPage.h"
#include "history/Story.h"
#include "protocol/CalibrationBlock.h"
#include "web/Csv.h"
#include "web/HistoryRows.h"
#include "web/RadioPlot.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QUrl>

namespace Web {

namespace {

constexpr int LongestId = 100;
constexpr int MostRecords = 10000;

struct Entry {
    qint64 id = 0;
    QDateTime time;
    QString station, port, device, label, fingerprint, action, outcome, who;
    QByteArray before, after;   // after: what the radio holds after a write, when known
    bool isWrite() const { return action == u"write" || action == u"restore"; }
};

std::optional<QList<Entry>> story(const Source &source, const QString &id, const QString &prefix)
{
    QSqlQuery q(QSqlDatabase::database(source.connection, false));
    const auto story = History::Story::of(q, id, prefix, source.table);
    if (!story)
        return std::nullopt;
    q.prepare(QStringLiteral("SELECT id, %1, station, port, device, radio, fingerprint, action, outcome, source,"
                             " block_before, block_sent, block_after FROM %2 WHERE %3 ORDER BY time, id LIMIT %4")
                  .arg(timeColumn(source), source.table, story->condition).arg(MostRecords));
    for (const QVariant &v : story->values)
        q.addBindValue(v);
    if (!q.exec())
        return std::nullopt;
    QList<Entry> out;
    while (q.next()) {
        Entry e{q.value(0).toLongLong(), timeOf(q.value(1), source), q.value(2).toString(), q.value(3).toString(),
                q.value(4).toString(), q.value(5).toString(), q.value(6).toString(), q.value(7).toString(),
                q.value(8).toString(), whoName(q.value(9).toString()), q.value(10).toByteArray(), {}};
        const QByteArray sent = q.value(11).toByteArray(), readBack = q.value(12).toByteArray();
        e.after = readBack.size() == 16 ? readBack : (e.outcome == u"done" ? sent : QByteArray());
        out << e;
    }
    return out;
}

QString valueCells(const Entry &e)
{
    QString html;
    for (int i = 0; i < PowerValueCount; ++i) {
        const QString before = e.before.size() == 16 ? QString::number(quint8(e.before[i])) : QString();
        const QString after = e.after.size() == 16 ? QString::number(quint8(e.after[i])) : QString();
        if (!after.isEmpty() && after != before)
            html += QStringLiteral("<td class=changed><del>%1</del> <ins>%2</ins></td>").arg(before, after);
        else
            html += QStringLiteral("<td>%1</td>").arg(before);
    }
    return html;
}

QString storyTable(const QList<Entry> &entries, const QString &id, const Entry *chosen)
{
    QString html = QStringLiteral("<table class=story><caption>Every exchange with the radio, oldest first;"
                                  " a changed value shows the old one struck out and the new one after it</caption>"
                                  "<thead><tr><th>Time</th><th>Station</th><th>Port</th><th>Action</th>"
                                  "<th>Outcome</th><th>Who</th>");
    for (const char *name : ValueNames)
        html += QStringLiteral("<th>%1</th>").arg(QLatin1String(name));
    html += QStringLiteral("</tr></thead><tbody>");
    for (const Entry &e : entries) {
        const QString action = e.isWrite() ? QStringLiteral("<a href=\"%1&amp;write=%2#plot\">%3</a>")
                                                 .arg(radioHref(id)).arg(e.id).arg(escaped(e.action))
                                           : escaped(e.action);
        html += QStringLiteral("<tr%1><td>%2</td><td>%3</td><td title=\"%4\">%5</td><td>%6</td><td class=\"outcome %7\">%7</td><td>%8</td>")
                    .arg(&e == chosen ? QStringLiteral(" class=selected") : QString(), shownTime(e.time),
                         escaped(e.station), escaped(e.device), escaped(e.port), action, escaped(e.outcome), e.who)
                + valueCells(e) + QStringLiteral("</tr>");
    }
    return html + QStringLiteral("</tbody></table>");
}

QJsonObject entryJson(const Entry &e)
{
    return {{"id", e.id},           {"time", isoTime(e.time)}, {"station", e.station},
            {"port", e.port},       {"device", e.device},      {"radio", e.label.isEmpty() ? QJsonValue() : QJsonValue(e.label)},
            {"fingerprint", e.fingerprint.isEmpty() ? QJsonValue() : QJsonValue(e.fingerprint)},
            {"action", e.action},   {"outcome", e.outcome},    {"who", e.who},
            {"before", valuesJson(e.before)}, {"after", valuesJson(e.after)}};
}

QString storyCsv(const QList<Entry> &entries)
{
    QStringList head{"id", "time", "station", "port", "device", "radio", "fingerprint", "action", "outcome", "who"};
    for (const QString &when : {QStringLiteral("before_"), QStringLiteral("after_")})
        for (const char *name : ValueNames)
            head << when + QLatin1String(name);
    QString csv = csvLine(head);
    for (const Entry &e : entries) {
        QStringList row{QString::number(e.id), isoTime(e.time), e.station, e.port, e.device, e.label,
                        e.fingerprint, e.action, e.outcome, e.who};
        for (const QByteArray &block : {e.before, e.after})
            for (int i = 0; i < PowerValueCount; ++i)
                row << (block.size() == 16 ? QString::number(quint8(block[i])) : QString());
        csv += csvLine(row);
    }
    return csv;
}

// What the plot shows: the chosen write before and after, else the newest
// block read when the radio was never written.
PlotInput plotOf(const QList<Entry> &entries, const Entry *chosen, const QString &id, const Source &source)
{
    PlotInput in;
    in.median = fleetMedian(source);
    if (chosen) {
        in = {QStringLiteral("%1: the twelve values before and after the %2 of %3").arg(id, chosen->action, shownTime(chosen->time)),
              chosen->before, chosen->after, QStringLiteral("before"), QStringLiteral("after"), in.median};
        return in;
    }
    for (auto e = entries.crbegin(); e != entries.crend(); ++e)
        if (e->before.size() == 16) {
            in.title = QStringLiteral("%1: the twelve values read %2").arg(id, shownTime(e->time));
            in.before = e->before;
            in.beforeName = QStringLiteral("read");
            break;
        }
    return in;
}

QJsonValue mediansJson(const std::optional<ValueMedians> &median)
{
    if (!median)
        return QJsonValue::Null;
    QJsonArray values;
    for (double v : *median)
        values.append(v);
    return values;
}

QString heading(const QList<Entry> &entries, const QString &id)
{
    QStringList labels, fingerprints;
    for (const Entry &e : entries) {
        if (!e.label.isEmpty() && !labels.contains(e.label))
            labels << e.label;
        if (!e.fingerprint.isEmpty() && !fingerprints.contains(e.fingerprint))
            fingerprints << e.fingerprint;
    }
    return QStringLiteral("<h1>Radio %1</h1><p class=facts>Labels: %2 · fingerprints: <code>%3</code> · %4 records</p>")
        .arg(escaped(id), escaped(labels.join(QStringLiteral(", "))), escaped(fingerprints.join(QStringLiteral(", "))))
        .arg(entries.size());
}

// The write ?write= names, the newest write without it; null when the radio was never written.
std::optional<const Entry *> chosenWrite(const QList<Entry> &entries, const QUrlQuery &query)
{
    if (!query.hasQueryItem(QStringLiteral("write"))) {
        for (auto e = entries.crbegin(); e != entries.crend(); ++e)
            if (e->isWrite())
                return &*e;
        return nullptr;
    }
    bool ok = false;
    const qint64 id = query.queryItemValue(QStringLiteral("write"), QUrl::FullyDecoded).toLongLong(&ok);
    for (const Entry &e : entries)
        if (ok && e.id == id && e.isWrite())
            return &e;
    return std::nullopt;
}

} // namespace

Page radioPage(const Source &source, const QUrlQuery &query, const QString &radioPrefix)
{
    const QString id = query.queryItemValue(QStringLiteral("id"), QUrl::FullyDecoded).trimmed();
    const QString title = QStringLiteral("Radio %1").arg(id);
    if (id.isEmpty() || id.size() > LongestId)
        return errorPage(400, QStringLiteral("Radio"), QStringLiteral("Name the radio: ?id= a label or a fingerprint."));
    const std::optional<QList<Entry>> entries = story(source, id, radioPrefix);
    if (!entries)
        return errorPage(503, title, QStringLiteral("The history cannot be read just now."));
    if (entries->isEmpty())
        return errorPage(404, title, QStringLiteral("The history holds no record of radio %1.").arg(id));
    const std::optional<const Entry *> chosen = chosenWrite(*entries, query);
    if (!chosen)
        return errorPage(400, title, QStringLiteral("?write= names no write of radio %1.").arg(id));
    const PlotInput plot = plotOf(*entries, *chosen, id, source);
    Page page;
    page.title = title;
    page.html = heading(*entries, id) + QStringLiteral("<section id=plot>")
                + (plot.before.isEmpty() ? QStringLiteral("<p>No block of this radio was read.</p>") : calibrationPlot(plot))
                + QStringLiteral("</section>") + storyTable(*entries, id, *chosen);
    QJsonArray records;
    for (const Entry &e : *entries)
        records.append(entryJson(e));
    page.json = QJsonObject{{"radio", id}, {"records", records},
                            {"plot", QJsonObject{{"write", *chosen ? QJsonValue((*chosen)->id) : QJsonValue()},
                                                 {"before", valuesJson(plot.before)}, {"after", valuesJson(plot.after)},
                                                 {"median", mediansJson(plot.median)}}}};
    page.csv = storyCsv(*entries);
    return page;
}

} // namespace Web
