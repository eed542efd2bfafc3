#pragma once
// Where an exchange's record is kept: a history on this thread, or one that
// several exchanges of a run share through a thread of its own.

#include "history/Record.h"

namespace History {

class RecordKeeper {
public:
    virtual ~RecordKeeper() = default;
    virtual bool prepare() = 0;
    virtual bool add(Record &record) = 0;
    // `onDisk`: the record must survive a power cut before the call returns
    // (a write's blocks before the block goes out); otherwise a crash of the
    // program is enough to survive.
    virtual bool complete(const Record &record, bool onDisk = false) = 0;
};

} // namespace History
