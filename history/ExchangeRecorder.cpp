#include "history/ExchangeRecorder.h"

namespace History {

ExchangeRecorder::ExchangeRecorder(Store &store, Record start, bool verifyAsked)
    : m_store(store), m_record(std::move(start)), m_verifyAsked(verifyAsked)
{
    m_record.outcome = Outcome::Unfinished;
    if (m_store.enabled())
        m_store.add(m_record);
}

void ExchangeRecorder::blockRead(const BlockBytes &block)
{
    m_record.before = BlockToBytes(block);
}

void ExchangeRecorder::aboutToWrite(const BlockBytes &sent)
{
    m_record.sent = BlockToBytes(sent);
    if (m_store.enabled())
        m_store.complete(m_record);
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
    if (m_store.enabled())
        m_store.complete(m_record);
}

} // namespace History
