#include "history/StoreThread.h"
#include "history/HistoryStore.h"

#include <QMetaObject>
#include <QThread>

namespace History {

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

bool StoreThread::prepare()
{
    if (!m_prepared) {
        m_ready = onItsThread([this] { return m_store->prepare(); });
        m_prepared = true;
    }
    return m_ready;
}

bool StoreThread::add(Record &record)
{
    return onItsThread([&] { return m_store->add(record); });
}

bool StoreThread::complete(const Record &record, bool onDisk)
{
    return onItsThread([&] { return m_store->complete(record, onDisk); });
}

} // namespace History
