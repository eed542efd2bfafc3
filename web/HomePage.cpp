#include "web/HomePage.h"
#include "history/Story.h"
#include "web/Csv.h"
#include "web/HistoryRows.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

namespace Web {

namespace {

constexpr int RadiosShown = 25;
// Newest records read to find that many radios: an index walk along time,
// never the whole table.
constexpr int RecordsRead = 500;
constexpr int LongestSearch = 100;

struct Seen {
    QString label, fingerprint, station;
    QDateTime time;
    QString id() const { return label.isEmpty() ? fingerprint : label; }
};

// A radio seen first without a label takes the one an older record gives it.
void nameUnlabelled(QList<Seen> &list, const Seen &older)
{
    for (Seen &s : list)
        if (s.label.isEmpty() && !older.label.isEmpty() && s.fingerprint == older.fingerprint)
            s.label = older.label;
}

// Radios in the order their newest record comes, each once: a label or a
// fingerprint seen before names a radio listed already.
std::optional<QList<Seen>> radios(const Source &source, const QString &where, const QVariantList &values)
{
    QSqlQuery q(QSqlDatabase::database(source.connection, false));
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT radio, fingerprint, station, %1 FROM %2 WHERE (%3)"
                             " AND (radio IS NOT NULL OR fingerprint IS NOT NULL) ORDER BY time DESC LIMIT %4")
                  .arg(timeColumn(source), source.table, where).arg(RecordsRead));
    for (const QVariant &v : values)
        q.addBindValue(v);
    if (!q.exec())
        return std::nullopt;
    QList<Seen> out;
    QSet<QString> labels, fingerprints;
    while (q.next() && out.size() < RadiosShown) {
        const Seen s{q.value(0).toString(), q.value(1).toString(), q.value(2).toString(), timeOf(q.value(3), source)};
        const bool known = (!s.label.isEmpty() && labels.contains(s.label))
                           || (!s.fingerprint.isEmpty() && fingerprints.contains(s.fingerprint));
        if (!s.label.isEmpty())
            labels.insert(s.label);
        if (!s.fingerprint.isEmpty())
            fingerprints.insert(s.fingerprint);
        if (!known)
            out << s;
        else
            nameUnlabelled(out, s);
    }
    return out;
}

// A label or fingerprint names the radio; a station names those seen there.
std::optional<QList<Seen>> found(const Source &source, const QString &text, const QString &prefix)
{
    QSqlQuery q(QSqlDatabase::database(source.connection, false));
    const auto story = History::Story::of(q, text, prefix, source.table);
    std::optional<QList<Seen>> byRadio = story ? radios(source, story->condition, story->values) : std::nullopt;
    std::optional<QList<Seen>> byStation = radios(source, QStringLiteral("station = ?"), {text});
    if (!byRadio || !byStation)
        return std::nullopt;
    for (const Seen &s : *byStation)
        if (std::none_of(byRadio->begin(), byRadio->end(), [&s](const Seen &r) { return r.id() == s.id(); }))
            *byRadio << s;
    return byRadio;
}

QString searchForm(const QString &text)
{
    return QStringLiteral("<form class=search method=get action=\"/\" role=search>"
                          "<label>Radio label, fingerprint or station <input name=q value=\"%1\" autofocus></label>"
                          " <button>Search</button></form>")
        .arg(escaped(text));
}

QString table(const QList<Seen> &list)
{
    QString html = QStringLiteral("<table class=radios><thead><tr><th>Radio</th><th>Fingerprint</th>"
                                  "<th>Last seen</th><th>Station</th></tr></thead><tbody>");
    for (const Seen &s : list)
        html += QStringLiteral("<tr><td><a href=\"%1\">%2</a></td><td><code>%3</code></td><td>%4</td><td>%5</td></tr>")
                    .arg(radioHref(s.id()), s.label.isEmpty() ? QStringLiteral("(no label)") : escaped(s.label),
                         escaped(s.fingerprint), shownTime(s.time), escaped(s.station));
    return html + QStringLiteral("</tbody></table>");
}

void fill(Page &page, const QString &text, const QList<Seen> &list)
{
    const QString heading = text.isEmpty() ? QStringLiteral("Radios seen most recently")
                                           : QStringLiteral("Radios matching \u201c%1\u201d").arg(escaped(text));
    page.html = QStringLiteral("<h1>Radios</h1>") + searchForm(text) + QStringLiteral("<h2>%1</h2>").arg(heading)
                + (list.isEmpty() ? QStringLiteral("<p>No radio.</p>") : table(list));
    QJsonArray rows;
    page.csv = csvLine({QStringLiteral("radio"), QStringLiteral("fingerprint"), QStringLiteral("last_seen"),
                        QStringLiteral("station")});
    for (const Seen &s : list) {
        rows.append(QJsonObject{{"radio", s.label.isEmpty() ? QJsonValue() : QJsonValue(s.label)},
                                {"fingerprint", s.fingerprint.isEmpty() ? QJsonValue() : QJsonValue(s.fingerprint)},
                                {"lastSeen", isoTime(s.time)},
                                {"station", s.station},
                                {"page", QStringLiteral("/radio?id=") + QUrl::toPercentEncoding(s.id())}});
        page.csv += csvLine({s.label, s.fingerprint, isoTime(s.time), s.station});
    }
    page.json = QJsonObject{{"query", text.isEmpty() ? QJsonValue() : QJsonValue(text)}, {"radios", rows}};
}

} // namespace

Page homePage(const Source &source, const QUrlQuery &query, const QString &radioPrefix)
{
    Page page;
    page.title = QStringLiteral("Radios");
    const QString text = query.queryItemValue(QStringLiteral("q"), QUrl::FullyDecoded).trimmed();
    if (text.size() > LongestSearch) {
        return errorPage(400, page.title, QStringLiteral("A search is at most %1 characters.").arg(LongestSearch));
    }
    const std::optional<QList<Seen>> list = text.isEmpty() ? radios(source, QStringLiteral("1 = 1"), {})
                                                          : found(source, text, radioPrefix);
    if (!list)
        return errorPage(503, page.title, QStringLiteral("The history cannot be read just now."));
    fill(page, text, *list);
    return page;
}

} // namespace Web
