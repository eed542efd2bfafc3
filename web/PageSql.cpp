#include "web/PageSql.h"

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

} // namespace Web
