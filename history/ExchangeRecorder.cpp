#include "history/ExchangeRecorder.h"

namespace History {

void ExchangeRecorder::blockRead(const BlockBytes &block)
{
    m_before = block;
    m_store.addRead(m_source, m_port, m_device, BlockToBytes(block));
}

void ExchangeRecorder::aboutToWrite(const BlockBytes &sent)
{
    std::optional<QByteArray> known;
    if (m_before)
        known = BlockToBytes(*m_before);
    m_writeRecord = m_store.beginWrite(m_source, m_writeAction, m_port, m_device, known, BlockToBytes(sent));
}

void ExchangeRecorder::ended(Outcome outcome)
{
    if (m_writeRecord == 0)
        return;
    m_store.finishWrite(m_writeRecord, outcome == Outcome::Done             ? QStringLiteral("done")
                                       : outcome == Outcome::VerifyMismatch ? QStringLiteral("verify")
                                                                            : QStringLiteral("link-lost"));
}

} // namespace History
