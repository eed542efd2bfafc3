#pragma once
// One history for the exchanges of a run on many ports at once: a single
// connection on a thread of its own takes every record in turn, so the
// exchanges never wait on each other's locks. Each call returns when its
// record is kept, as with a Store of one's own.

#include "history/RecordKeeper.h"

#include <QString>
#include <memory>

class QThread;

namespace History {

class Store;

class StoreThread : public RecordKeeper {
public:
    explicit StoreThread(const QString &path);
    ~StoreThread() override;

    bool prepare() override;   // the first call prepares; later ones only report it
    bool add(Record &record) override;
    bool complete(const Record &record, bool onDisk = false) override;

private:
    template <typename Work> bool onItsThread(Work work);

    std::unique_ptr<QThread> m_thread;
    std::unique_ptr<QObject> m_context;   // lives on m_thread
    std::unique_ptr<Store> m_store;       // used only on m_thread
    bool m_prepared = false, m_ready = false;
};

} // namespace History
