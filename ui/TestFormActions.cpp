// The Read and Write actions: each click is one complete exchange with the
// radio, from opening the port to the one message that tells its outcome.

#include "protocol/BlockCommands.h"
#include "protocol/Declare.h"
#include "protocol/Module1.h"
#include "ui/TestForm.h"

#include <QCloseEvent>
#include <algorithm>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>

using namespace Module1;

namespace {

const QString PortNotOpened = QStringLiteral("端口没有打开，请检查端口是否被占用。");
const QString NoReplyToEntry = QStringLiteral("通讯出错，请检查线是否连上或对讲机是否开机。");
const QString OtherReplyToEntry = QStringLiteral("通讯出错，请重试！");
const QString LinkLost = QStringLiteral("通讯中断，请重试！");
const QString ValueOutOfRange = QStringLiteral("数值超出范围，请输入0到127之间的数字。");
const QString ReadDone = QStringLiteral("读出成功！");
const QString WriteDone = QStringLiteral("写入成功！");
constexpr int CarriedBytesFirst = PowerValueCount;   // block bytes 12 to 15

} // namespace

void TestForm::connectActions()
{
    connect(TestRdCmb, &QPushButton::clicked, this, &TestForm::TestRdCmb_Click);
    connect(TestWrCmb, &QPushButton::clicked, this, &TestForm::TestWrCmb_Click);
    // A window destroyed before its replacement installs its own must not be called.
    const QPointer<TestForm> self(this);
    SetLinkLostUi({[self] { if (self) self->showMessage(LinkLost); },
                   [self] { if (self) self->giveBackWindow(); }});
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
}

void TestForm::giveBackWindow()
{
    setEnabled(true);
    TestWrCmb->setEnabled(true);
    TestRdCmb->setEnabled(true);
    if (m_focusBeforeExchange)
        m_focusBeforeExchange->setFocus();
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

// Opens the chosen port, sets up the line and puts the radio into
// programming mode. On failure the user has been told, the window is given
// back and the port is closed.
bool TestForm::openPortAndEnter(int retryBudget)
{
    if (OpenRadioPort(ComPortIndex) == 1) {
        showMessage(PortNotOpened, MsgIcon::Exclamation);
        giveBackWindow();
        return false;
    }
    basComm::ConfigureComPort(RadioPort, 9600, 8, 0, 0, 26);
    int outcome = EnterProgramMode(RadioPort, Declare::CodeBuffer, retryBudget);
    // A radio that was not yet switched on can be tried again at once.
    while (outcome == NoReply
           && showMessage(NoReplyToEntry, MsgIcon::None, MsgButtons::RetryCancel) == MsgAnswer::Retry)
        outcome = EnterProgramMode(RadioPort, Declare::CodeBuffer, LongRetryBudget);
    if (outcome == Acknowledged)
        return true;
    if (outcome == OtherReply)
        showMessage(OtherReplyToEntry);
    giveBackWindow();
    CloseRadioPort();
    return false;
}

// Ends an exchange after its block transfer: on success the radio leaves
// programming mode and the message is shown while the port is still open;
// a failed transfer has already been reported by the link-loss report.
bool TestForm::finishExchange(const QString &successMessage)
{
    const bool transferred = Declare::TransferFailed != 1;
    if (transferred) {
        LeaveProgramMode();
        showMessage(successMessage);
    }
    CloseRadioPort();
    giveBackWindow();
    return transferred;
}

void TestForm::TestRdCmb_Click()
{
    holdWindow();
    TEST_PART_W(copiesInBlockOrder());
    if (!openPortAndEnter(ShortRetryBudget))
        return;
    ReadFunction();
    if (!finishExchange(ReadDone))
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
        showMessage(ValueOutOfRange, MsgIcon::Exclamation);
        giveBackWindow();
        QLineEdit *field = fieldsInBlockOrder()[i].edit;
        field->setFocus();
        field->selectAll();
        return true;
    }
    return false;
}

// Bytes 12 to 15 of the block are not ours: until a read in this run has
// brought them, learn them from the radio rather than overwrite them. The
// values packed from the fields stay as they are.
bool TestForm::learnCarriedBytes()
{
    const auto first = Declare::CalBuffer.begin() + CarriedBytesFirst;
    if (std::all_of(first, Declare::CalBuffer.begin() + BlockLength, [](const auto &e) { return e.has_value(); }))
        return true;
    const auto packed = Declare::CalBuffer;
    ReadFunction();
    if (Declare::TransferFailed == 1)
        return false;
    std::copy(packed.begin(), packed.begin() + CarriedBytesFirst, Declare::CalBuffer.begin());
    return true;
}

void TestForm::TestWrCmb_Click()
{
    holdWindow();
    TEST_PART_W(copiesInBlockOrder());
    if (refuseValueWithoutByte() || !openPortAndEnter(LongRetryBudget))
        return;
    if (learnCarriedBytes())
        WriteFunction();
    finishExchange(WriteDone);
}
