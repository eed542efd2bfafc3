#include "web/FleetMedian.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>
#include <algorithm>
#include <mutex>

namespace Web {

namespace {

constexpr int KeptMs = 5 * 60'000;

// One index probe per radio: the next fingerprint after the last, then that
// radio's newest record with a block (what it holds after a write that
// went through, else what was read). Both databases take it.
const char LatestBlocks[] = R"(
WITH RECURSIVE radios(f) AS (
    SELECT min(fingerprint) FROM %1
    UNION ALL
    SELECT (SELECT min(fingerprint) FROM %1 WHERE fingerprint > radios.f) FROM radios WHERE radios.f IS NOT NULL)
SELECT (SELECT CASE WHEN block_after IS NOT NULL THEN block_after
                    WHEN outcome = 'done' AND block_sent IS NOT NULL THEN block_sent
                    ELSE block_before END
        FROM %1 WHERE fingerprint = radios.f AND (block_before IS NOT NULL OR block_after IS NOT NULL)
        ORDER BY time DESC LIMIT 1)
FROM radios WHERE radios.f IS NOT NULL)";

double median(std::vector<int> &values)
{
    const size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + qsizetype(middle), values.end());
    if (values.size() % 2)
        return values[middle];
    const int upper = values[middle];
    return (upper + *std::max_element(values.begin(), values.begin() + qsizetype(middle))) / 2.0;
}

std::optional<ValueMedians> computed(const Source &source, bool *read)
{
    QSqlQuery q(QSqlDatabase::database(source.connection, false));
    q.setForwardOnly(true);
    *read = q.exec(QString::fromLatin1(LatestBlocks).arg(source.table));
    if (!*read)
        return std::nullopt;
    std::array<std::vector<int>, PowerValueCount> columns;
    while (q.next()) {
        const QByteArray block = q.value(0).toByteArray();
        if (block.size() == 16)
            for (int i = 0; i < PowerValueCount; ++i)
                columns[i].push_back(quint8(block[i]));
    }
    if (columns[0].empty())
        return std::nullopt;
    ValueMedians out;
    for (int i = 0; i < PowerValueCount; ++i)
        out[i] = median(columns[i]);
    return out;
}

struct Kept {
    std::optional<ValueMedians> medians;
    QDeadlineTimer until;
};

} // namespace

std::optional<ValueMedians> fleetMedian(const Source &source)
{
    static std::mutex mutex;
    static QHash<QString, Kept> kept;   // by table: one per database the server reads
    {
        std::lock_guard lock(mutex);
        const auto it = kept.constFind(source.table);
        if (it != kept.constEnd() && !it->until.hasExpired())
            return it->medians;
    }
    bool read = false;
    std::optional<ValueMedians> medians = computed(source, &read);
    if (!read)
        return std::nullopt;   // asked again with the next page
    std::lock_guard lock(mutex);
    kept.insert(source.table, {medians, QDeadlineTimer(KeptMs)});
    return medians;
}

} // namespace Web
