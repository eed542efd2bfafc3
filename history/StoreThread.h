#pragma once
// One history for the exchanges of a run on many ports at once: a single
// connection on a thread of its own takes the records, so the exchanges never
// wait on each other's locks. What the exchanges hand in while it prepares or
// commits is kept together in the next transaction. Each call but prepare()
// returns when its record is kept, as with a Store of one's own.

#include "history/RecordKeeper.h"

#include <QString>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

class QThread;

namespace History {

class Store;

class StoreThread : public RecordKeeper {
public:
    explicit StoreThread(const QString &path);
    ~StoreThread() override;

    // Returns at once: the history is prepared on its thread before the
    // first records are kept, and the first record's place hears its warnings.
    Result<void, StoreError> prepare(Warnings *to = nullptr) override;
    Result<void, StoreError> add(Record &record, Warnings *to = nullptr) override;
    Result<void, StoreError> complete(const Record &record, bool onDisk = false, Warnings *to = nullptr) override;

private:
    struct Pending;
    template <typename Work> bool onItsThread(Work work);
    Result<void, StoreError> keep(Record &record, bool isNew, bool onDisk, Warnings *to);
    void keepWaiting();   // on m_thread

    std::unique_ptr<QThread> m_thread;
    std::unique_ptr<QObject> m_context;   // lives on m_thread
    std::unique_ptr<Store> m_store;       // used only on m_thread
    bool m_prepared = false;              // used only on m_thread
    std::mutex m_mutex;                   // guards m_waiting and each Pending's done
    std::condition_variable m_kept;
    std::vector<Pending *> m_waiting;
};

} // namespace History
