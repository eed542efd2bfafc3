#include "history/Story.h"
#include "history/Record.h"

#include <QSqlError>
#include <QSqlQuery>

namespace History::Story {

namespace {

QString marks(qsizetype count)
{
    return QStringList(count, QStringLiteral("?")).join(u',');
}

} // namespace

Result<Query, Kind> of(QSqlQuery &q, const QString &id, const QString &prefix, const QString &table)
{
    const QStringList labels = sameRadioLabels(id, prefix);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT DISTINCT fingerprint FROM %1 WHERE radio IN (%2) AND fingerprint IS NOT NULL")
                  .arg(table, marks(labels.size())));
    for (const QString &label : labels)
        q.addBindValue(label);
    if (!q.exec())
        return Failure{Kind::Unreadable, q.lastError().text()};
    QStringList fingerprints;
    while (q.next())
        fingerprints << q.value(0).toString();
    if (q.lastError().isValid())
        return Failure{Kind::Unreadable, q.lastError().text()};
    if (isFingerprint(id) && !fingerprints.contains(id.toLower()))
        fingerprints << id.toLower();
    Query story{QStringLiteral("radio IN (%1)").arg(marks(labels.size())), {}};
    for (const QString &label : labels)
        story.values << label;
    if (!fingerprints.isEmpty())
        story.condition = QStringLiteral("(%1 OR fingerprint IN (%2))").arg(story.condition, marks(fingerprints.size()));
    for (const QString &fingerprint : fingerprints)
        story.values << fingerprint;
    return story;
}

} // namespace History::Story
