// The Read and Write actions: each click is one complete exchange with the
// radio, from opening the port to the one message that tells its outcome.

#include "protocol/BlockCommands.h"
#include "protocol/Declare.h"
#include "history/ExchangeRecorder.h"
#include "protocol/RadioActions.h"
#include "ui/TestForm.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLineEdit>
#include <QPushButton>

using RadioActions::Outcome;

namespace {

const QString PortNotOpened = QStringLiteral("端口没有打开，请检查端口是否被占用。");
const QString NoReplyToEntry = QStringLiteral("通讯出错，请检查线是否连上或对讲机是否开机。");
const QString OtherReplyToEntry = QStringLiteral("通讯出错，请重试！");
const QString LinkLost = QStringLiteral("通讯中断，请重试！");
const QString ValueOutOfRange = QStringLiteral("数值超出范围，请输入0到127之间的数字。");
const QString ReadDone = QStringLiteral("读出成功！");
const QString WriteDone = QStringLiteral("写入成功！");

} // namespace

// What one exchange tells the user, through the window's message boxes, and
// what it leaves in the history.
class TestForm::WindowUi : public RadioActions::ActionUi {
public:
    WindowUi(TestForm &form, const QString &successMessage)
        : m_form(form), m_successMessage(successMessage),
          m_device(RadioActions::DeviceOf({form.ComPortIndex, {}})),
          m_record(form.m_history, History::Source::Window, History::Action::Write,
                   QStringLiteral("COM%1").arg(form.ComPortIndex), m_device) {}

    void holdWindow() override { m_form.holdWindow(); }
    void giveBackWindow() override { m_form.giveBackWindow(); }
    bool retryAfterNoReply() override
    {
        return m_form.showMessage(NoReplyToEntry, MsgIcon::None, MsgButtons::RetryCancel) == MsgAnswer::Retry;
    }
    void tell(Outcome outcome) override
    {
        switch (outcome) {
        case Outcome::Done: m_form.showMessage(m_successMessage); break;
        case Outcome::PortNotOpened: m_form.showMessage(PortNotOpened, MsgIcon::Exclamation); break;
        case Outcome::OtherReply: m_form.showMessage(OtherReplyToEntry); break;
        case Outcome::LinkLost: m_form.showMessage(LinkLost); break;
        case Outcome::NoReply:          // asked in retryAfterNoReply
        case Outcome::VerifyMismatch:   // the window does not read back
            break;
        }
    }

    void blockRead(RadioActions::ReadPurpose purpose, const BlockBytes &block) override
    {
        m_form.m_lastBlockRead[m_device] = block;
        m_record.blockRead(purpose, block);
    }
    // Without a read in this exchange, what the radio held is what this
    // device last gave in this run, if it still holds that.
    void aboutToWrite(const std::optional<BlockBytes> &before, const BlockBytes &sent) override
    {
        const auto last = m_form.m_lastBlockRead.find(m_device);
        m_record.aboutToWrite(before ? before
                              : last != m_form.m_lastBlockRead.end() ? std::optional(last->second)
                                                                     : std::nullopt,
                              sent);
        m_form.m_lastBlockRead.erase(m_device);
        m_sent = sent;
    }
    void writeEnded(Outcome outcome) override
    {
        m_record.writeEnded(outcome);
        if (outcome == Outcome::Done)
            m_form.m_lastBlockRead[m_device] = m_sent;
    }

private:
    TestForm &m_form;
    QString m_successMessage;
    QString m_device;
    History::ExchangeRecorder m_record;
    BlockBytes m_sent{};
};

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

void TestForm::TestRdCmb_Click()
{
    TEST_PART_W(copiesInBlockOrder());
    WindowUi ui(*this, ReadDone);
    if (RadioActions::Read(ui, {ComPortIndex, {}}) != Outcome::Done)
        return;
    const auto fields = fieldsInBlockOrder();
    for (int i = 0; i < PowerValueCount; ++i)
        fields[i].edit->setText(QString::number(ElementByte(Declare::CalBuffer[i]).value_or(0)));
}

// A pasted value such as "-5" has no byte value; it is refused before any
// traffic, with the focus on the field that holds it.
bool TestForm::refuseValueWithoutByte()
{
    for (int i = 0; i < PowerValueCount; ++i) {
        if (ElementByte(Declare::CalBuffer[i]))
            continue;
        holdWindow();
        showMessage(ValueOutOfRange, MsgIcon::Exclamation);
        giveBackWindow();
        QLineEdit *field = fieldsInBlockOrder()[i].edit;
        field->setFocus();
        field->selectAll();
        return true;
    }
    return false;
}

void TestForm::TestWrCmb_Click()
{
    TEST_PART_W(copiesInBlockOrder());
    if (refuseValueWithoutByte())
        return;
    WindowUi ui(*this, WriteDone);
    RadioActions::Write(ui, {ComPortIndex, {}});
}
