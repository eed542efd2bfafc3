#include "history/Story.h"
#include "history/Record.h"

namespace History::Story {

Query of(const QString &id, const QString &prefix, const QString &table)
{
    const QStringList labels = sameRadioLabels(id, prefix);
    const QString marks = QStringList(labels.size(), QStringLiteral("?")).join(QLatin1Char(','));
    Query q;
    // Two index look-ups whose ids are joined: by label, and by the
    // fingerprints of the label's records and of the id itself. (An OR of
    // the two makes PostgreSQL read the whole table.)
    q.condition = QStringLiteral("id IN (SELECT id FROM %2 WHERE radio IN (%1) UNION SELECT id FROM %2 WHERE fingerprint"
                                 " IN (SELECT fingerprint FROM %2 WHERE radio IN (%1) AND fingerprint IS NOT NULL"
                                 " UNION ALL SELECT CAST(? AS TEXT)))")
                      .arg(marks, table);
    for (const QString &label : labels)
        q.values << label;
    for (const QString &label : labels)
        q.values << label;
    q.values << (isFingerprint(id) ? QVariant(id.toLower()) : QVariant(QMetaType::fromType<QString>()));
    return q;
}

} // namespace History::Story
