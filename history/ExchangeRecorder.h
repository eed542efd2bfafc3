#pragma once
// Turns one exchange with a radio into exactly one history record, the same
// way for the window and the command line: stored as unfinished before the
// port is opened, the radio's block and the block to send kept before the
// block goes out, and completed with the ending.

#include "history/RecordKeeper.h"
#include "protocol/Exchange.h"

namespace History {

class ExchangeRecorder : public Exchange::Log {
public:
    // `start` names the exchange: source, action, port, device, radio and,
    // for a restore, what it restores from. `verifyAsked`: a write that reads
    // its block back records whether it matched.
    // `warnings`: where the history's warnings about this exchange go; none:
    // the store's own.
    ExchangeRecorder(RecordKeeper &store, Record start, bool verifyAsked = false, Warnings::Sink warnings = {});

    void blockRead(const BlockBytes &block) override;
    bool aboutToWrite(const BlockBytes &sent) override;
    void readBack(const BlockBytes &block) override;
    void ended(Outcome outcome) override;

    // A restore going on despite another radio: the record says forced once
    // its block goes out.
    void forceWhenWritten() { m_forcePending = true; }
    // No block goes out unless its record, with the block before, is on the
    // disk (the command line); the window writes without it.
    void requireKeptBeforeWrite() { m_requireKept = true; }
    const Record &record() const { return m_record; }

private:
    RecordKeeper &m_store;
    Warnings m_warnings;
    Warnings *m_warnTo;
    Record m_record;
    bool m_verifyAsked;
    bool m_forcePending = false;
    bool m_requireKept = false;
};

} // namespace History
