#include "ui/ExchangeWorker.h"

#include "history/ExchangeRecorder.h"
#include "history/HistoryStore.h"

ExchangeWorker::ExchangeWorker(Job job) : m_job(std::move(job))
{
    m_link.setStopCheck([this] { return m_stop.load(); });
    m_link.setReplyWindow(m_job.replyWindow);
}

void ExchangeWorker::stop()
{
    m_stop = true;
    QMetaObject::invokeMethod(this, [this] { answer(false); }, Qt::QueuedConnection);
}

void ExchangeWorker::run()
{
    History::Record start;
    start.source = History::Source::Window;
    start.action = m_job.action;
    start.port = m_job.port;
    start.device = m_job.device;
    History::Store store;
    History::ExchangeRecorder record(store, start);
    std::optional<BlockBytes> block;
    if (m_job.action == History::Action::Write) {
        Exchange::Change change;
        change.values = m_job.values;
        Exchange::Write(m_link, m_job.device, *this, record, change);
    } else {
        block = Exchange::Read(m_link, m_job.device, *this, record).block;
    }
    emit finished(block);
}

// Waited for: the exchange asks mid-session, port open, and goes on from here.
bool ExchangeWorker::retryAfterNoReply()
{
    if (m_stop)
        return false;
    emit retryAsked();
    return awaitAnswer();
}

// The port stays open until the user has closed the message.
void ExchangeWorker::tell(Outcome outcome)
{
    // No reply was put as the retry question; a stop tells nothing.
    if (m_stop || outcome == Outcome::NoReply)
        return;
    emit outcomeKnown(outcome);
    awaitAnswer();
}

bool ExchangeWorker::awaitAnswer()
{
    QEventLoop loop;
    m_waiting = &loop;
    m_retry = false;
    // Ends at once when the thread was told to quit.
    loop.exec();
    m_waiting = nullptr;
    return m_retry && !m_stop;
}

void ExchangeWorker::answer(bool retry)
{
    if (!m_waiting)
        return;
    m_retry = retry;
    m_waiting->quit();
}
