#pragma once
// Where an exchange's record is kept: a history on this thread, or one that
// several exchanges of a run share through a thread of its own.

#include "base/Result.h"
#include "history/Record.h"

#include <atomic>
#include <functional>

namespace History {

// Where a history's warnings go. Each place (a port's exchange, a store used
// on its own) shows only its first, so that a run on many ports still says
// once for each port that its records could not be kept as they should.
class Warnings {
public:
    using Sink = std::function<void(const QString &)>;
    explicit Warnings(Sink sink = {}) : m_sink(std::move(sink)) {}
    void setSink(Sink sink) { m_sink = std::move(sink); }   // before any warning
    void warn(const QString &message);   // without a sink: one line on stderr

private:
    Sink m_sink;
    std::atomic_bool m_shown{false};
};

// Why a history call failed; the failure's text says it in words for the user.
enum class StoreError {
    Busy,      // another program held the history past the wait
    Failed,    // the history cannot be opened, read or written, and the spool did not help
    Refused,   // the call's record cannot be kept as given (its blocks, its uid)
};

class RecordKeeper {
public:
    virtual ~RecordKeeper() = default;
    // `to`: where the call's warnings go; nullptr: the keeper's own.
    virtual Result<void, StoreError> prepare(Warnings *to = nullptr) = 0;
    virtual Result<void, StoreError> add(Record &record, Warnings *to = nullptr) = 0;
    // `onDisk`: the record must survive a power cut before the call returns
    // (a write's blocks before the block goes out); otherwise a crash of the
    // program is enough to survive.
    virtual Result<void, StoreError> complete(const Record &record, bool onDisk = false, Warnings *to = nullptr) = 0;
};

} // namespace History
