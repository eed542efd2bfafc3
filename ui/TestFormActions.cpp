// The Read and Write actions: each click is one complete exchange with the
// radio, from opening the port to the one message that tells its outcome.

#include "history/HistoryStore.h"
#include "history/ServerHistory.h"
#include "history/ServerSync.h"
#include "settings/StationConfig.h"
#include "ui/ExchangeWorker.h"
#include "ui/TestForm.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QThread>
#include <cstdio>

namespace {

const QString PortNotOpened = QStringLiteral("端口没有打开，请检查端口是否被占用。");
const QString NoReplyToEntry = QStringLiteral("通讯出错，请检查线是否连上或对讲机是否开机。");
const QString OtherReplyToEntry = QStringLiteral("通讯出错，请重试！");
const QString LinkLost = QStringLiteral("通讯中断，请重试！");
const QString ValueOutOfRange = QStringLiteral("数值超出范围，请输入0到127之间的数字。");
const QString ReadDone = QStringLiteral("读出成功！");
const QString WriteDone = QStringLiteral("写入成功！");

} // namespace

// An exchange still running is stopped: it ends the step on the wire, takes
// the radio out of programming mode and closes the port, telling nothing.
TestForm::~TestForm()
{
    if (m_upload)
        m_upload->wait();
    if (!m_run)
        return;
    disconnect(m_run->worker, nullptr, this, nullptr);
    m_run->worker->stop();
    m_run->thread->quit();
    m_run->thread->wait();
}

void TestForm::tell(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Done:
        showMessage(m_run && m_run->action == History::Action::Write ? WriteDone : ReadDone);
        break;
    case Outcome::PortNotOpened: showMessage(PortNotOpened, MsgIcon::Exclamation); break;
    case Outcome::OtherReply: showMessage(OtherReplyToEntry); break;
    case Outcome::LinkLost: showMessage(LinkLost); break;
    default: break;   // the window neither verifies nor restores
    }
}

void TestForm::connectActions()
{
    connect(TestRdCmb, &QPushButton::clicked, this, &TestForm::TestRdCmb_Click);
    connect(TestWrCmb, &QPushButton::clicked, this, &TestForm::TestWrCmb_Click);
}

void TestForm::holdWindow()
{
    // Disabling takes the focus away; the user gets it back where it was.
    m_focusBeforeExchange = focusWidget();
    setEnabled(false);
    TestWrCmb->setEnabled(false);
    TestRdCmb->setEnabled(false);
    setBusyCursor(true);
}

void TestForm::giveBackWindow()
{
    setBusyCursor(false);
    setEnabled(true);
    TestWrCmb->setEnabled(true);
    TestRdCmb->setEnabled(true);
    if (m_focusBeforeExchange)
        m_focusBeforeExchange->setFocus();
}

void TestForm::setBusyCursor(bool busy)
{
    if (busy == m_busyCursor)
        return;
    m_busyCursor = busy;
    if (busy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

void TestForm::closeEvent(QCloseEvent *event)
{
    // The window is disabled exactly while an exchange runs; it ends with its
    // message and its port closed before the window may go.
    if (!isEnabled())
        event->ignore();
    else
        event->accept();
}

// After an exchange, with its port closed: the records the factory's server
// lacks go there in the background, for at most 2 s; what is left goes later.
void TestForm::uploadRecords()
{
    const QString server = History::StationConfig().server().value;
    if (server.isEmpty() || (m_upload && !m_upload->wait(0)))
        return;
    // Warned of once per window: the next exchange would only say it again.
    m_upload.reset(QThread::create([this, server] {
        History::Store store;
        const History::SyncResult r = History::SyncToServer(store, server, {2, QDeadlineTimer(2000), {}});
        if (!r.done && !m_uploadWarned.exchange(true))
            std::fprintf(stderr, "calitune: warning: %s; records are kept here and sent later\n",
                         qUtf8Printable(History::ServerHistory::withoutPassword(r.done.text())));
    }));
    m_upload->start();
}

bool TestForm::exchangePortOpen() const { return m_run && m_run->worker->portOpen(); }

void TestForm::startExchange(History::Action action, const PowerValues &values)
{
    holdWindow();
    auto *worker = new ExchangeWorker({action, PortMap::PortName(ComPortIndex),
                                       m_ports.devicePath(ComPortIndex), values, replyWindow});
    m_run = Run{action, std::make_unique<QThread>(), worker};
    worker->moveToThread(m_run->thread.get());
    connect(m_run->thread.get(), &QThread::started, worker, &ExchangeWorker::run);
    connect(m_run->thread.get(), &QThread::finished, worker, &QObject::deleteLater);
    connect(worker, &ExchangeWorker::retryAsked, this, &TestForm::askRetry);
    connect(worker, &ExchangeWorker::outcomeKnown, this, &TestForm::tellOutcome);
    connect(worker, &ExchangeWorker::finished, this, &TestForm::exchangeFinished);
    m_run->thread->start();
}

// A window that is quitting asks and tells nothing more, also when the
// question was already on its way.
void TestForm::askRetry()
{
    answerWorker(!m_quitCode && showMessage(NoReplyToEntry, MsgIcon::None, MsgButtons::RetryCancel) == MsgAnswer::Retry);
}

void TestForm::tellOutcome(Outcome outcome)
{
    if (!m_quitCode)
        tell(outcome);
    answerWorker(false);
}

// A stopped exchange may have ended while its question was still up.
void TestForm::answerWorker(bool retry)
{
    if (!m_run)
        return;
    ExchangeWorker *worker = m_run->worker;
    QMetaObject::invokeMethod(worker, [worker, retry] { worker->answer(retry); }, Qt::QueuedConnection);
}

void TestForm::exchangeFinished(const std::optional<BlockBytes> &block)
{
    m_run->thread->quit();
    m_run->thread->wait();
    m_run.reset();
    giveBackWindow();
    if (block)
        for (std::size_t i = 0; i < PWRText.size(); ++i)
            PWRText[i]->setText(QString::number((*block)[i]));
    uploadRecords();
    emit exchangeEnded();
    if (m_quitCode)
        emit readyToQuit(*m_quitCode);
}

void TestForm::quitWhenIdle(int exitCode)
{
    m_quitCode = exitCode;
    if (!m_run) {
        emit readyToQuit(exitCode);
        return;
    }
    m_run->worker->stop();
    // A question or message still up is answered as closed.
    if (QWidget *box = QApplication::activeModalWidget())
        box->close();
}

void TestForm::TestRdCmb_Click()
{
    startExchange(History::Action::Read);
}

// A pasted value such as "-5" has no byte value; it is refused before any
// traffic, with the focus on the field that holds it.
bool TestForm::refuseValueWithoutByte(const std::optional<int> &field)
{
    if (!field)
        return false;
    holdWindow();
    showMessage(ValueOutOfRange, MsgIcon::Exclamation);
    giveBackWindow();
    QLineEdit *edit = PWRText[std::size_t(*field)];
    edit->setFocus();
    edit->selectAll();
    return true;
}

void TestForm::TestWrCmb_Click()
{
    const PackedCopies packed = PackTextCopies(PWRText_temp);
    if (refuseValueWithoutByte(packed.withoutByte))
        return;
    startExchange(History::Action::Write, packed.values);
}
