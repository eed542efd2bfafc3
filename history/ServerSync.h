#pragma once
// Sends a station's records to the factory's history server: those stored or
// completed since the server last had them, in batches, within a time bound.
// Never while a radio is in programming mode: callers run it after the port
// is closed.

#include "history/HistoryStore.h"

namespace History {

struct SyncResult {
    qint64 sent = 0;      // records the server took now
    qint64 waiting = 0;   // records it still lacks
    QString error;        // one line; empty when the server answered
};

// `budgetMs` bounds the whole call (a connection takes at least 2 s to give up).
SyncResult SyncToServer(Store &local, const QString &conninfo, int budgetMs);

} // namespace History
