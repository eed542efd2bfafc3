#include "web/HistoryRows.h"
#include "history/Record.h"
#include "protocol/CalibrationBlock.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QUrl>

namespace Web {

QString timeColumn(const Source &source)
{
    // Milliseconds since 1970 in UTC, whatever the session's time zone.
    return source.server ? QStringLiteral("(extract(epoch FROM time) * 1000)::bigint") : QStringLiteral("time");
}

QDateTime timeOf(const QVariant &value, const Source &source)
{
    if (source.server)
        return QDateTime::fromMSecsSinceEpoch(value.toLongLong(), Qt::UTC);
    return QDateTime::fromString(value.toString(), Qt::ISODateWithMs).toUTC();
}

QString shownTime(const QDateTime &time)
{
    return time.isValid() ? time.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QStringLiteral(" UTC")
                          : QString();
}

QString isoTime(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

namespace {

QString marks(qsizetype count)
{
    return QStringList(count, QStringLiteral("?")).join(u',');
}

} // namespace

std::optional<Condition> radioCondition(const Source &source, const QString &id, const QString &radioPrefix)
{
    const QStringList labels = History::sameRadioLabels(id, radioPrefix);
    QSqlQuery q(QSqlDatabase::database(source.connection, false));
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT DISTINCT fingerprint FROM %1 WHERE radio IN (%2) AND fingerprint IS NOT NULL")
                  .arg(source.table, marks(labels.size())));
    for (const QString &label : labels)
        q.addBindValue(label);
    if (!q.exec())
        return std::nullopt;
    QStringList fingerprints;
    while (q.next())
        fingerprints << q.value(0).toString();
    if (History::isFingerprint(id) && !fingerprints.contains(id.toLower()))
        fingerprints << id.toLower();
    Condition c{QStringLiteral("radio IN (%1)").arg(marks(labels.size())), {}};
    for (const QString &label : labels)
        c.values << label;
    if (!fingerprints.isEmpty())
        c.sql = QStringLiteral("(%1 OR fingerprint IN (%2))").arg(c.sql, marks(fingerprints.size()));
    for (const QString &fingerprint : fingerprints)
        c.values << fingerprint;
    return c;
}

QString whoName(const QString &source)
{
    return source == u"window" ? QStringLiteral("window") : QStringLiteral("command line");
}

QJsonValue valuesJson(const QByteArray &block)
{
    if (block.size() != 16)
        return QJsonValue::Null;
    QJsonArray values;
    for (int i = 0; i < PowerValueCount; ++i)
        values.append(int(quint8(block[i])));
    return values;
}

QString radioHref(const QString &id)
{
    return escaped(QStringLiteral("/radio?id=") + QString::fromLatin1(QUrl::toPercentEncoding(id)));
}

Page errorPage(int status, const QString &title, const QString &message)
{
    Page page;
    page.status = status;
    page.title = title;
    page.html = QStringLiteral("<p class=error>%1</p>").arg(escaped(message));
    page.json = QJsonObject{{"error", message}};
    return page;
}

} // namespace Web
