#include "web/PageSql.h"

#include <QJsonObject>
#include <QSqlError>

namespace Web {

Result<QSqlQuery, ReadKind> selected(const Source &source, const QString &sql, const QVariantList &values)
{
    QSqlQuery q(QSqlDatabase::database(source.connection, false));
    q.setForwardOnly(true);
    bool ok = q.prepare(sql);
    for (const QVariant &value : values)
        q.addBindValue(value);
    ok = ok && q.exec();
    if (!ok)
        return Failure{ReadKind::Unreadable, q.lastError().text().simplified()};
    return q;
}

QString timeMark(const Source &source)
{
    return source.server ? QStringLiteral("CAST(? AS timestamptz)") : QStringLiteral("?");
}

QVariant timeValue(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

Page failedPage(int status, const QString &title, const QString &text)
{
    Page page;
    page.status = status;
    page.title = title;
    page.html = QStringLiteral("<h1>%1</h1>\n<p class=\"error\">%2</p>\n").arg(escaped(title), escaped(text));
    page.json = QJsonObject{{QStringLiteral("error"), text}};
    return page;
}

} // namespace Web
