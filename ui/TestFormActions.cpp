// The Read and Write actions: each click is one complete exchange with the
// radio, from opening the port to the one message that tells its outcome.

#include "history/ExchangeRecorder.h"
#include "history/ServerHistory.h"
#include "history/ServerSync.h"
#include "settings/StationConfig.h"
#include "protocol/Exchange.h"
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

// What the exchange tells and asks the user. It runs on the worker thread;
// each message is put to the window's thread, and the worker waits for the
// answer, so messages and the port keep their order.
class TestForm::WindowUi : public Exchange::Ui {
public:
    WindowUi(TestForm &form, Run &run, const QString &successMessage)
        : m_form(form), m_run(run), m_successMessage(successMessage) {}

    bool retryAfterNoReply() override
    {
        bool retry = false;
        onWindowThread([&] {
            retry = m_form.showMessage(NoReplyToEntry, MsgIcon::None, MsgButtons::RetryCancel) == MsgAnswer::Retry;
        });
        return retry;
    }
    void tell(Outcome outcome) override
    {
        onWindowThread([&] { m_form.tell(outcome, m_successMessage); });
    }

private:
    // A window that is quitting asks and tells nothing more, also when the
    // question was already on its way.
    void onWindowThread(const std::function<void()> &work)
    {
        if (m_run.stop)
            return;
        QMetaObject::invokeMethod(
            &m_form,
            [this, &work] {
                if (!m_run.stop)
                    work();
            },
            Qt::BlockingQueuedConnection);
    }

    TestForm &m_form;
    Run &m_run;
    QString m_successMessage;
};

// An exchange still running is let finish first: its worker uses the window,
// and may be waiting for it to take a message that is no longer shown.
TestForm::~TestForm()
{
    if (m_upload)
        m_upload->wait();
    if (!m_run)
        return;
    m_run->stop = true;
    while (!m_run->thread->wait(10))
        QCoreApplication::sendPostedEvents(this);
}

void TestForm::tell(Outcome outcome, const QString &successMessage)
{
    switch (outcome) {
    case Outcome::Done: showMessage(successMessage); break;
    case Outcome::PortNotOpened: showMessage(PortNotOpened, MsgIcon::Exclamation); break;
    case Outcome::OtherReply: showMessage(OtherReplyToEntry); break;
    case Outcome::LinkLost: showMessage(LinkLost); break;
    default: break;   // no reply is asked as the retry question; the window neither verifies nor restores
    }
}

void TestForm::connectActions()
{
    connect(TestRdCmb, &QPushButton::clicked, this, &TestForm::TestRdCmb_Click);
    connect(TestWrCmb, &QPushButton::clicked, this, &TestForm::TestWrCmb_Click);
}

std::array<TextCopy, PowerValueCount> TestForm::copiesInBlockOrder()
{
    std::array<TextCopy, PowerValueCount> copies;
    const auto fields = fieldsInBlockOrder();
    for (int i = 0; i < PowerValueCount; ++i)
        copies[i] = *fields[i].copy;
    return copies;
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
    // The window is disabled exactly while an exchange runs; closing it then
    // would pull the port from under a wait that is still using it.
    if (!isEnabled())
        event->ignore();
    else
        event->accept();
}

namespace {

History::Record windowRecord(History::Action action, const TestForm::Run &run)
{
    History::Record r;
    r.source = History::Source::Window;
    r.action = action;
    r.port = run.port;
    r.device = run.device;
    return r;
}

} // namespace

// After an exchange, with its port closed: the records the factory's server
// lacks go there in the background, for at most 2 s; what is left goes later.
void TestForm::uploadRecords()
{
    const QString server = History::StationConfig().server().value;
    if (server.isEmpty() || (m_upload && !m_upload->wait(0)))
        return;
    m_upload.reset(QThread::create([server] {
        static std::atomic_bool warned{false};
        History::Store store;
        const History::SyncResult r = History::SyncToServer(store, server, {2, QDeadlineTimer(2000), {}});
        if (!r.error.isEmpty() && !warned.exchange(true))
            std::fprintf(stderr, "calitune: warning: %s; records are kept here and sent later\n",
                         qUtf8Printable(History::ServerHistory::withoutPassword(r.error)));
    }));
    m_upload->start();
}

bool TestForm::exchangePortOpen() const { return m_run && m_run->link.isOpen(); }

void TestForm::startExchange(History::Action action, const QString &successMessage, ExchangeBody body,
                             std::function<void(const Run &)> afterwards)
{
    holdWindow();
    m_run = std::make_unique<Run>();
    Run &run = *m_run;
    run.port = PortMap::PortName(ComPortIndex);
    run.device = m_ports.devicePath(ComPortIndex);
    run.link.setStopCheck([&run] { return run.stop.load(); });
    run.thread.reset(QThread::create([this, &run, action, successMessage, body] {
        WindowUi ui(*this, run, successMessage);
        History::Store store;
        History::ExchangeRecorder record(store, windowRecord(action, run));
        body(run, ui, record);
    }));
    connect(run.thread.get(), &QThread::finished, this, [this, afterwards] {
        m_run->thread->wait();   // finished comes just before the thread's very end
        giveBackWindow();
        afterwards(*m_run);
        m_run.reset();
        uploadRecords();
        emit exchangeEnded();
        if (m_quitCode)
            emit readyToQuit(*m_quitCode);
    });
    run.thread->start();
}

void TestForm::quitWhenIdle(int exitCode)
{
    m_quitCode = exitCode;
    if (!m_run) {
        emit readyToQuit(exitCode);
        return;
    }
    m_run->stop = true;
    // A question or message still up is answered as closed.
    if (QWidget *box = QApplication::activeModalWidget())
        box->close();
}

void TestForm::TestRdCmb_Click()
{
    startExchange(
        History::Action::Read, ReadDone,
        [](Run &run, Exchange::Ui &ui, Exchange::Log &record) {
            run.block = Exchange::Read(run.link, run.device, ui, record).block;
        },
        [this](const Run &run) {
            if (!run.block)
                return;
            const auto fields = fieldsInBlockOrder();
            for (std::size_t i = 0; i < fields.size(); ++i)
                fields[i].edit->setText(QString::number((*run.block)[i]));
        });
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
    QLineEdit *edit = fieldsInBlockOrder()[std::size_t(*field)].edit;
    edit->setFocus();
    edit->selectAll();
    return true;
}

void TestForm::TestWrCmb_Click()
{
    const PackedCopies packed = PackTextCopies(copiesInBlockOrder());
    if (refuseValueWithoutByte(packed.withoutByte))
        return;
    Exchange::Change change;
    change.values = packed.values;
    startExchange(
        History::Action::Write, WriteDone,
        [change](Run &run, Exchange::Ui &ui, Exchange::Log &record) {
            Exchange::Write(run.link, run.device, ui, record, change);
        },
        [](const Run &) {});
}
