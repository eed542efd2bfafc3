#include "web/FleetPage.h"
#include "web/Csv.h"
#include "web/HistoryRows.h"
#include "protocol/CalibrationBlock.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QUrl>
#include <algorithm>

namespace Web {

namespace {

constexpr double DefaultFar = 3, MostFar = 100;

// The block a radio holds after an exchange, and the records that tell it.
const QString Block = QStringLiteral(
    "CASE WHEN block_after IS NOT NULL THEN block_after ELSE coalesce(block_sent, block_before) END");
const QString Known = QStringLiteral(
    "(block_after IS NOT NULL OR (outcome = 'done' AND coalesce(block_sent, block_before) IS NOT NULL))");

// The distinct values of an indexed column, one index probe each, rather
// than a scan and sort of every record: the labels, then the fingerprints.
// Each name then takes its newest known block, again through its index.
QString latestSql(const QString &table)
{
    const QString distinct = QStringLiteral(
        "%1s(%1) AS (SELECT (SELECT %1 FROM %2 WHERE %1 IS NOT NULL ORDER BY %1 LIMIT 1) UNION ALL"
        " SELECT (SELECT %1 FROM %2 WHERE %1 > d.%1 ORDER BY %1 LIMIT 1) FROM %1s d WHERE d.%1 IS NOT NULL)");
    const QString newest = QStringLiteral(
        "(SELECT %1 FROM %2 r WHERE %3 AND %4 ORDER BY r.time DESC, r.id DESC LIMIT 1)");
    return QStringLiteral("WITH RECURSIVE %1, %2 SELECT radio, %3 FROM radios WHERE radio IS NOT NULL"
                          " UNION ALL SELECT fingerprint, %4 FROM fingerprints f WHERE fingerprint IS NOT NULL"
                          " AND NOT EXISTS (SELECT 1 FROM %5 l WHERE l.fingerprint = f.fingerprint AND l.radio IS NOT NULL)"
                          " ORDER BY 1")
        .arg(distinct.arg(QStringLiteral("radio"), table), distinct.arg(QStringLiteral("fingerprint"), table),
             newest.arg(Block, table, QStringLiteral("r.radio = radios.radio"), Known),
             newest.arg(Block, table, QStringLiteral("r.fingerprint = f.fingerprint AND r.radio IS NULL"), Known),
             table);
}

struct Outlier {
    QString radio;
    int value;    // index in block order
    int byte;
    double low, high;   // the fences it lies outside of
};

QList<Outlier> outliers(const QList<RadioBlock> &radios, const std::array<Charts::Spread, 12> &spreads, double far)
{
    QList<Outlier> out;
    for (const RadioBlock &r : radios)
        for (int v = 0; v < PowerValueCount; ++v) {
            const Charts::Spread &s = spreads[std::size_t(v)];
            const double low = s.q1 - far * s.iqr(), high = s.q3 + far * s.iqr();
            const int byte = quint8(r.block.at(v));
            if (byte < low || byte > high)
                out.append({r.radio, v, byte, low, high});
        }
    return out;
}

QString radioLink(const QString &radio)
{
    return QStringLiteral("<a href=\"%1\">%2</a>").arg(radioHref(radio), escaped(radio));
}

QString spreadTable(const std::array<Charts::Spread, 12> &spreads)
{
    QString out = QStringLiteral("<table class=\"plotdata spread\">\n<caption>The twelve values over the fleet</caption>\n"
                                 "<thead><tr><th scope=\"col\">Value</th><th scope=\"col\">Radios</th>"
                                 "<th scope=\"col\">Least</th><th scope=\"col\">Lower quartile</th>"
                                 "<th scope=\"col\">Median</th><th scope=\"col\">Upper quartile</th>"
                                 "<th scope=\"col\">Greatest</th></tr></thead>\n<tbody>\n");
    for (int v = 0; v < PowerValueCount; ++v) {
        const Charts::Spread &s = spreads[std::size_t(v)];
        out += QStringLiteral("<tr><th scope=\"row\">%1</th><td class=\"num\">%2</td>").arg(ValueNames[v]).arg(s.count);
        for (double figure : {s.min, s.q1, s.median, s.q3, s.max})
            out += QStringLiteral("<td class=\"num\">%1</td>").arg(s.count ? Charts::number(figure) : QStringLiteral("-"));
        out += QStringLiteral("</tr>\n");
    }
    return out + QStringLiteral("</tbody>\n</table>\n");
}

QString outlierSection(const QList<Outlier> &far, double factor)
{
    QString out = QStringLiteral("<h2>Radios far outside</h2>\n<p>Values more than %1 interquartile ranges below the"
                                 " lower quartile or above the upper quartile.</p>\n")
                      .arg(Charts::number(factor));
    if (far.isEmpty())
        return out + QStringLiteral("<p>None.</p>\n");
    out += QStringLiteral("<table class=\"outliers\">\n<thead><tr><th scope=\"col\">Radio</th><th scope=\"col\">"
                          "Value</th><th scope=\"col\">Byte</th><th scope=\"col\">Usual range</th></tr></thead>\n"
                          "<tbody>\n");
    for (const Outlier &o : far)
        out += QStringLiteral("<tr><td>%1</td><td>%2</td><td class=\"num\">%3</td><td>%4 to %5</td></tr>\n")
                   .arg(radioLink(o.radio), QLatin1String(ValueNames[o.value]), QString::number(o.byte),
                        Charts::number(std::max(0.0, o.low)), Charts::number(std::min(255.0, o.high)));
    return out + QStringLiteral("</tbody>\n</table>\n");
}

QString html(qsizetype radios, const std::array<Charts::Spread, 12> &spreads, const QList<Outlier> &far, double factor)
{
    const QString counted = radios == 1 ? QStringLiteral("1 radio") : QStringLiteral("%1 radios").arg(radios);
    QList<Charts::Box> boxes;
    for (int v = 0; v < PowerValueCount; ++v)
        boxes.append({QLatin1String(ValueNames[v]), spreads[std::size_t(v)], v % 2, counted});
    const QString title = QStringLiteral("The twelve calibration values over %1: least, quartiles, median,"
                                         " greatest").arg(counted);
    return QStringLiteral("<h1>Fleet</h1>\n<p>%1, each with the latest block it is known to hold: read back"
                          " after a write, else written or read by an exchange that ended done. High and low power"
                          " at 400, 420, 440, 460, 480 and 520 MHz.</p>\n<div class=\"plotbox\">\n")
               .arg(counted)
           + Charts::boxPlot(QStringLiteral("fleet-plot"), title, boxes,
                             {QStringLiteral("high power"), QStringLiteral("low power")})
           + spreadTable(spreads) + QStringLiteral("</div>\n") + outlierSection(far, factor);
}

QJsonObject json(qsizetype radios, const std::array<Charts::Spread, 12> &spreads, const QList<Outlier> &far,
                 double factor)
{
    QJsonArray values, outside;
    for (int v = 0; v < PowerValueCount; ++v) {
        const Charts::Spread &s = spreads[std::size_t(v)];
        // No figures at all rather than zeros when there are no radios.
        const auto figure = [&s](double f) { return s.count ? QJsonValue(f) : QJsonValue(); };
        values.append(QJsonObject{{QStringLiteral("value"), QLatin1String(ValueNames[v])}, {QStringLiteral("radios"), s.count},
                                  {QStringLiteral("min"), figure(s.min)}, {QStringLiteral("q1"), figure(s.q1)},
                                  {QStringLiteral("median"), figure(s.median)}, {QStringLiteral("q3"), figure(s.q3)},
                                  {QStringLiteral("max"), figure(s.max)}});
    }
    for (const Outlier &o : far)
        outside.append(QJsonObject{{QStringLiteral("radio"), o.radio}, {QStringLiteral("value"), QLatin1String(ValueNames[o.value])},
                                   {QStringLiteral("byte"), o.byte}, {QStringLiteral("low"), o.low},
                                   {QStringLiteral("high"), o.high}});
    return {{QStringLiteral("radios"), radios}, {QStringLiteral("far"), factor},
            {QStringLiteral("values"), values}, {QStringLiteral("outliers"), outside}};
}

QString csv(const std::array<Charts::Spread, 12> &spreads)
{
    QString out = csvLine({"value", "radios", "min", "q1", "median", "q3", "max"});
    for (int v = 0; v < PowerValueCount; ++v) {
        const Charts::Spread &s = spreads[std::size_t(v)];
        out += csvLine({QLatin1String(ValueNames[v]), QString::number(s.count), Charts::number(s.min),
                        Charts::number(s.q1), Charts::number(s.median), Charts::number(s.q3), Charts::number(s.max)});
    }
    return out;
}

} // namespace

Result<QList<RadioBlock>, ReadKind> latestBlocks(const Source &source)
{
    auto q = selected(source, latestSql(source.table), {});
    if (!q)
        return q.failure();
    QList<RadioBlock> radios;
    while (q->next()) {
        const QByteArray block = q->value(1).toByteArray();
        if (block.size() == 16)
            radios.append({q->value(0).toString(), block});
    }
    return radios;
}

std::array<Charts::Spread, 12> fleetSpreads(const QList<RadioBlock> &radios)
{
    std::array<Charts::Spread, 12> spreads;
    std::vector<double> values(std::size_t(radios.size()));
    for (int v = 0; v < PowerValueCount; ++v) {
        for (qsizetype i = 0; i < radios.size(); ++i)
            values[std::size_t(i)] = quint8(radios[i].block.at(v));
        spreads[std::size_t(v)] = Charts::spreadOf(values);
    }
    return spreads;
}

Page fleetPage(const Source &source, const QUrlQuery &query)
{
    double factor = DefaultFar;
    if (query.hasQueryItem(QStringLiteral("far"))) {
        const QString text = query.queryItemValue(QStringLiteral("far"), QUrl::FullyDecoded);
        bool ok = false;
        factor = text.toDouble(&ok);
        if (!ok || !(factor > 0 && factor <= MostFar))
            return errorPage(400, QStringLiteral("Bad parameter"),
                              QStringLiteral("far must be a number above 0 and at most %1, not \"%2\"")
                                  .arg(Charts::number(MostFar), text));
    }
    auto radios = latestBlocks(source);
    if (!radios)
        return errorPage(503, QStringLiteral("History unreadable"), radios.text());
    const std::array<Charts::Spread, 12> spreads = fleetSpreads(*radios);
    const QList<Outlier> far = outliers(*radios, spreads, factor);
    Page page;
    page.title = QStringLiteral("Fleet");
    page.html = html(radios->size(), spreads, far, factor);
    page.json = json(radios->size(), spreads, far, factor);
    page.csv = csv(spreads);
    return page;
}

} // namespace Web
