#include "history/ServerSync.h"
#include "history/ServerHistory.h"

#include <QDeadlineTimer>

namespace History {

namespace {

constexpr int Batch = 500;
constexpr int LeastConnectSeconds = 2;   // libpq's own least connect_timeout

} // namespace

SyncResult SyncToServer(Store &local, const QString &conninfo, int budgetMs)
{
    SyncResult result;
    const QDeadlineTimer deadline(budgetMs);
    qint64 rev = local.syncedRev(conninfo);
    if (!local.lastError().isEmpty()) {
        result.error = QStringLiteral("the local history: ") + local.lastError();
        return result;
    }
    if (local.countChangedAfter(rev) == 0)
        return result;   // nothing to send: no connection made
    std::optional<ServerHistory> server = ServerHistory::connect(
        conninfo, &result.error, std::max(LeastConnectSeconds, int(deadline.remainingTime() / 1000)));
    while (server && !deadline.hasExpired()) {
        const QList<Record> batch = local.changedAfter(rev, Batch);
        if (batch.isEmpty() || !server->upload(batch, &result.error))
            break;
        rev = batch.constLast().rev;
        result.sent += batch.size();
        local.setSyncedRev(conninfo, rev);
    }
    result.waiting = local.countChangedAfter(rev);
    return result;
}

} // namespace History
