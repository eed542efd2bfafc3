#pragma once
// Sends a station's records to the factory's history server: those stored or
// completed since the server last had them, in batches, within a time bound.
// Never while a radio is in programming mode: callers run it after the port
// is closed.

#include "history/HistoryStore.h"

#include <QDeadlineTimer>
#include <functional>

namespace History {

struct SyncLimits {
    int connectSeconds = 4;   // libpq's least is 2
    QDeadlineTimer deadline{QDeadlineTimer::Forever};   // the whole call
    std::function<bool()> stopRequested;   // a stop ends the call within a second
};

enum class SyncError {
    Stopped,   // by stopRequested
    Busy,      // another process kept sending this history's records past the bound
    Local,     // the local history could not be read
    Server,    // the server could not be reached, did not answer in time, or refused the records
};

struct SyncResult {
    qint64 sent = 0;      // records the server took now
    qint64 waiting = 0;   // records it still lacks, whether or not the call worked
    Result<void, SyncError> done;   // a failure's text is one line
    bool stopped() const { return !done && done.kind() == SyncError::Stopped; }
    // A call into the server that would not end was left running: the process
    // should end without waiting for it.
    bool abandoned = false;
};

// The server's calls run on a thread of their own, so that neither a server
// that stalls nor one that never answers holds the caller past its bound.
// Two processes syncing one history take turns.
SyncResult SyncToServer(Store &local, const QString &conninfo, const SyncLimits &limits);

} // namespace History
