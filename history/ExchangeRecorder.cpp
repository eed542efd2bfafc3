#include "history/ExchangeRecorder.h"

namespace History {

ExchangeRecorder::ExchangeRecorder(RecordKeeper &store, Record start, bool verifyAsked, Warnings::Sink warnings)
    : m_store(store), m_warnings(warnings), m_warnTo(warnings ? &m_warnings : nullptr), m_record(std::move(start)),
      m_verifyAsked(verifyAsked)
{
    m_record.outcome = Unfinished;
    // Any wait for a locked history, and the merge of what earlier runs
    // left in the spool, happen here, before a port is opened; a history
    // still locked takes the record into its spool.
    // Each warns of its own failure; the exchange goes on without its record.
    (void)m_store.prepare(m_warnTo);
    (void)m_store.add(m_record, m_warnTo);
}

void ExchangeRecorder::blockRead(const BlockBytes &block)
{
    m_record.before = BlockToBytes(block);
}

bool ExchangeRecorder::aboutToWrite(const BlockBytes &sent)
{
    m_record.sent = BlockToBytes(sent);
    m_record.forced = m_forcePending;
    return m_store.complete(m_record, true, m_warnTo).ok() || !m_requireKept;
}

void ExchangeRecorder::readBack(const BlockBytes &block)
{
    m_record.after = BlockToBytes(block);
}

void ExchangeRecorder::ended(Outcome outcome)
{
    m_record.outcome = outcome;
    if (m_verifyAsked && m_record.sent)
        m_record.verified = m_record.after == m_record.sent;
    (void)m_store.complete(m_record, false, m_warnTo);
}

} // namespace History
