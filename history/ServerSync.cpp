#include "history/ServerSync.h"
#include "history/ServerHistory.h"

#include <QLockFile>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace History {

namespace {

constexpr int TickMs = 50;
// How long a cancelled call may take to end before it is left behind.
constexpr int CancelGraceMs = 400;

// What the server thread and its caller share; an abandoned thread keeps it.
struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::function<void()> job;
    bool busy = false;
    bool quit = false;
    std::optional<ServerHistory> server;   // made, used and destroyed on the thread
    std::shared_ptr<ServerCancel> cancel = std::make_shared<ServerCancel>();
    Result<qint64, ServerError> outcome = qint64(0);   // of the last call: the records the server took
};

void serve(const std::shared_ptr<Shared> &shared)
{
    std::unique_lock lock(shared->mutex);
    for (;;) {
        shared->changed.wait(lock, [&] { return shared->busy || shared->quit; });
        if (shared->quit)
            break;
        const std::function<void()> job = std::move(shared->job);
        lock.unlock();
        job();
        lock.lock();
        shared->busy = false;
        shared->changed.notify_all();
    }
    lock.unlock();
    shared->server.reset();
}

class ServerThread {
public:
    explicit ServerThread(const SyncLimits &limits) : m_limits(limits), m_thread(serve, m_shared) {}
    ~ServerThread()
    {
        {
            std::lock_guard lock(m_shared->mutex);
            m_shared->quit = true;
        }
        m_shared->changed.notify_all();
        if (m_abandoned)
            m_thread.detach();   // it ends by itself once its call does
        else
            m_thread.join();
    }
    ServerThread(const ServerThread &) = delete;
    ServerThread &operator=(const ServerThread &) = delete;

    Shared &shared() { return *m_shared; }
    bool abandoned() const { return m_abandoned; }
    bool stopped() const { return m_stopped; }
    bool stopRequested()
    {
        m_stopped = m_stopped || (m_limits.stopRequested && m_limits.stopRequested());
        return m_stopped;
    }

    // Runs `job` on the server thread. When the caller's bound or a stop
    // comes first, the job's statement is cancelled: true still when the job
    // ended, whatever it came to, false when it was left running.
    bool run(std::function<void(Shared &)> job)
    {
        std::unique_lock lock(m_shared->mutex);
        m_shared->job = [shared = m_shared, job = std::move(job)] { job(*shared); };
        m_shared->busy = true;
        m_shared->changed.notify_all();
        auto idle = [this] { return !m_shared->busy; };
        while (!m_shared->changed.wait_for(lock, std::chrono::milliseconds(TickMs), idle)) {
            if (stopRequested() || m_limits.deadline.hasExpired()) {
                m_shared->cancel->cancel();
                m_abandoned = !m_shared->changed.wait_for(lock, std::chrono::milliseconds(CancelGraceMs), idle);
                return !m_abandoned;
            }
        }
        return true;
    }

private:
    SyncLimits m_limits;
    std::shared_ptr<Shared> m_shared = std::make_shared<Shared>();
    bool m_abandoned = false;
    bool m_stopped = false;
    std::thread m_thread;
};

// Two processes sending one history's records would both send them all. A
// history whose folder takes no lock file is sent as before, unlocked.
bool lockSyncState(QLockFile &lock, const SyncLimits &limits)
{
    lock.setStaleLockTime(0);   // a long sync holds it long; a dead holder's lock is taken over
    while (!lock.tryLock(TickMs))
        if (lock.error() != QLockFile::LockFailedError)
            return true;
        else if (limits.deadline.hasExpired() || (limits.stopRequested && limits.stopRequested()))
            return false;
    return true;
}

void connectAndUpload(ServerThread &thread, Store &local, const QString &conninfo, const SyncLimits &limits,
                      qint64 rev, SyncResult &result)
{
    const bool connected = thread.run([conninfo, limits](Shared &s) {
        Result<ServerHistory, ServerError> made =
            ServerHistory::connect(conninfo, std::max(2, limits.connectSeconds), s.cancel);
        if (!made) {
            s.outcome = made.failure();
            return;
        }
        s.server = std::move(made).value();
        s.server->setDeadline(limits.deadline);
    });
    bool ok = connected && thread.shared().server;
    while (ok && !limits.deadline.hasExpired() && !thread.stopRequested()) {
        const Store::Records changed = local.changedAfter(rev, ServerHistory::BatchSize);
        if (!changed) {
            result.done = Failure{SyncError::Local, QStringLiteral("the local history: ") + changed.text()};
            return;
        }
        if (changed->isEmpty())
            break;
        const QList<Record> &batch = *changed;
        ok = thread.run([batch](Shared &s) { s.outcome = s.server->upload(batch); }) && thread.shared().outcome;
        if (!ok)
            break;
        rev = batch.constLast().rev;
        result.sent += *thread.shared().outcome;
        (void)local.setSyncedRev(ServerHistory::serverKey(conninfo), rev);   // it warns itself
    }
    std::lock_guard lock(thread.shared().mutex);   // an abandoned call may still write it
    const Result<qint64, ServerError> &last = thread.shared().outcome;
    if (thread.stopped())
        result.done = Failure{SyncError::Stopped, QStringLiteral("the upload to the history server was stopped")};
    else if (!ok && (thread.abandoned() || thread.shared().cancel->cancelled() || last))
        result.done = Failure{SyncError::Server, QStringLiteral("the history server did not answer in time")};
    else if (!ok)
        result.done = Failure{SyncError::Server, last.text()};
}

// Records not yet sent; 0 when they cannot be counted.
qint64 changesAfter(const Store &local, qint64 rev)
{
    const Result<qint64, StoreError> count = local.countChangedAfter(rev);
    return count ? *count : 0;
}

} // namespace

SyncResult SyncToServer(Store &local, const QString &conninfo, const SyncLimits &limits)
{
    SyncResult result;
    const QString key = ServerHistory::serverKey(conninfo);
    QLockFile lock(local.path() + QStringLiteral(".sync-lock"));
    if (local.enabled() && !lockSyncState(lock, limits)) {
        const bool stopped = limits.stopRequested && limits.stopRequested();
        result.done = Failure{stopped ? SyncError::Stopped : SyncError::Busy,
                              QStringLiteral("another process is sending this history's records")};
    }
    if (result.done)
        (void)local.moveSyncedRev(conninfo, key);   // it warns itself
    const Result<qint64, StoreError> rev = local.syncedRev(key);
    if (result.done && !rev)
        result.done = Failure{SyncError::Local, QStringLiteral("the local history: ") + rev.text()};
    if (result.done && changesAfter(local, *rev) > 0) {   // else no connection is made
        ServerThread thread(limits);
        connectAndUpload(thread, local, conninfo, limits, *rev, result);
        result.abandoned = thread.abandoned();
    }
    const Result<qint64, StoreError> synced = local.syncedRev(key);
    result.waiting = changesAfter(local, synced ? *synced : 0);
    return result;
}

} // namespace History
