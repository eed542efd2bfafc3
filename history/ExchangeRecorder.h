#pragma once
// Turns what one exchange with a radio learns and does into history records,
// the same way for the window and the command line.

#include "history/HistoryStore.h"
#include "protocol/Exchange.h"

namespace History {

class ExchangeRecorder : public Exchange::Log {
public:
    // `writeAction` is how a write of this exchange is recorded.
    ExchangeRecorder(Store &store, Source source, Action writeAction, QString port, QString device)
        : m_store(store), m_source(source), m_writeAction(writeAction), m_port(std::move(port)),
          m_device(std::move(device)) {}

    void blockRead(const BlockBytes &block) override;
    // Stored as "unfinished" before the block goes out.
    void aboutToWrite(const BlockBytes &sent) override;
    void ended(Outcome outcome) override;

private:
    Store &m_store;
    Source m_source;
    Action m_writeAction;
    QString m_port, m_device;
    std::optional<BlockBytes> m_before;
    qint64 m_writeRecord = 0;
};

} // namespace History
