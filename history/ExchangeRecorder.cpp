#include "history/ExchangeRecorder.h"

namespace History {

using RadioActions::Outcome;

void ExchangeRecorder::blockRead(RadioActions::ReadPurpose purpose, const BlockBytes &block)
{
    if (purpose != RadioActions::ReadPurpose::Verify)
        m_store.addRead(m_source, m_port, m_device, BlockToBytes(block));
}

void ExchangeRecorder::aboutToWrite(const std::optional<BlockBytes> &before, const BlockBytes &sent)
{
    std::optional<QByteArray> known;
    if (before)
        known = BlockToBytes(*before);
    m_writeRecord = m_store.beginWrite(m_source, m_writeAction, m_port, m_device, known, BlockToBytes(sent));
}

void ExchangeRecorder::writeEnded(Outcome outcome)
{
    if (m_writeRecord == 0)
        return;
    m_store.finishWrite(m_writeRecord, outcome == Outcome::Done             ? QStringLiteral("done")
                                       : outcome == Outcome::VerifyMismatch ? QStringLiteral("verify")
                                                                            : QStringLiteral("link-lost"));
}

} // namespace History
