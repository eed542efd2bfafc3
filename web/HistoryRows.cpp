#include "web/HistoryRows.h"
#include "protocol/CalibrationBlock.h"

#include <QJsonArray>
#include <QJsonObject>
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
    page.html = QStringLiteral("<h1>%1</h1>\n<p class=error>%2</p>\n").arg(escaped(title), escaped(message));
    page.json = QJsonObject{{"error", message}};
    return page;
}

} // namespace Web
