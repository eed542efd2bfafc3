#include "history/StoreThread.h"
#include "history/HistoryStore.h"

#include <QMetaObject>
#include <QThread>

namespace History {

struct StoreThread::Pending {
    Store::Change change;
    bool done = false;
};

StoreThread::StoreThread(const QString &path)
    : m_thread(std::make_unique<QThread>()), m_context(std::make_unique<QObject>())
{
    m_context->moveToThread(m_thread.get());
    m_thread->start();
    // The store's connection belongs to the thread that opens it.
    onItsThread([this, path] {
        m_store = std::make_unique<Store>(path);
        return true;
    });
}

StoreThread::~StoreThread()
{
    onItsThread([this] {
        m_store.reset();
        return true;
    });
    m_thread->quit();
    m_thread->wait();
}

template <typename Work> bool StoreThread::onItsThread(Work work)
{
    bool result = false;
    QMetaObject::invokeMethod(
        m_context.get(), [&] { result = work(); }, Qt::BlockingQueuedConnection);
    return result;
}

// Preparing waits for the first batch: the records handed in meanwhile are
// then kept in one transaction, not the first one or two in one of their own.
Result<void, StoreError> StoreThread::prepare(Warnings *) { return {}; }

Result<void, StoreError> StoreThread::add(Record &record, Warnings *to) { return keep(record, true, false, to); }

Result<void, StoreError> StoreThread::complete(const Record &record, bool onDisk, Warnings *to)
{
    Record copy = record;   // a change may fill in its record; a completion's stays as given
    return keep(copy, false, onDisk, to);
}

Result<void, StoreError> StoreThread::keep(Record &record, bool isNew, bool onDisk, Warnings *to)
{
    Pending pending{{&record, isNew, onDisk, {}, to}};
    std::unique_lock lock(m_mutex);
    // The first to wait asks the thread; those that come while it works
    // are taken with it, or by the next round.
    if (m_waiting.empty())
        QMetaObject::invokeMethod(m_context.get(), [this] { keepWaiting(); }, Qt::QueuedConnection);
    m_waiting.push_back(&pending);
    m_kept.wait(lock, [&] { return pending.done; });
    return pending.change.kept;
}

void StoreThread::keepWaiting()
{
    if (!m_prepared) {
        Warnings *firstPlace = nullptr;
        {
            std::lock_guard lock(m_mutex);
            if (!m_waiting.empty())
                firstPlace = m_waiting.front()->change.warnings;
        }
        (void)m_store->prepare(firstPlace);
        m_prepared = true;
    }
    std::vector<Pending *> batch;
    {
        std::lock_guard lock(m_mutex);
        batch.swap(m_waiting);
    }
    if (batch.empty())
        return;
    QList<Store::Change> changes;
    for (const Pending *p : batch)
        changes << p->change;
    m_store->keepAll(changes);
    {
        std::lock_guard lock(m_mutex);
        for (std::size_t i = 0; i < batch.size(); ++i) {
            batch[i]->change.kept = changes[qsizetype(i)].kept;
            batch[i]->done = true;
        }
    }
    m_kept.notify_all();
}

} // namespace History
