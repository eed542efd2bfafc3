#include "protocol/Module1.h"
#include "protocol/Declare.h"
#include "protocol/Exchange.h"

using namespace basComm;

namespace Module1 {

ComHandle RadioPort = 0;

namespace {

LinkLostUi &linkLostUi()
{
    static LinkLostUi ui;
    return ui;
}

} // namespace

bool IsAck(const QByteArray &reply) { return reply.startsWith(char(Ack)); }

EntryResult JudgeEntryReply(const QByteArray &reply)
{
    if (reply.isEmpty() || reply[0] == '\0')
        return NoReply;
    return IsAck(reply) ? Acknowledged : OtherReply;
}

int OpenRadioPort(std::int16_t port)
{
    RadioPort = OpenComPort(port);
    return RadioPort == 0 ? 1 : 0;
}

int EnterProgramMode(ComHandle port, std::array<std::uint8_t, 11> &codeBuffer, int retryBudget)
{
    for (std::size_t i = 0; i < AccessCode.size(); ++i)
        codeBuffer[i] = std::uint8_t(AccessCode[i]);
    const QByteArray frame(reinterpret_cast<const char *>(codeBuffer.data()), int(AccessCode.size()));

    for (int retries = retryBudget;; --retries) {
        RunAttempt(port, frame, 0.1f, 1);
        const EntryResult result = JudgeEntryReply(Declare::RxBuffer);
        if (result == Acknowledged || retries <= 0)
            return result;
    }
}

void LeaveProgramMode()
{
    const QByteArray frame(1, char(ExitCommand));
    for (int retries = 3;; --retries) {
        RunAttempt(RadioPort, frame, 1.0f, 1);
        Declare::ReplyReceived = std::uint8_t(Declare::RxBuffer[0]) == ExitReply;
        if (Declare::ReplyReceived || retries <= 0)
            return;
    }
}

void CloseRadioPort()
{
    if (RadioPort != 0)
        RadioPort = CloseComPort(RadioPort);
}

void SetLinkLostUi(LinkLostUi ui) { linkLostUi() = std::move(ui); }

void ReportLinkLost()
{
    if (linkLostUi().showMessage)
        linkLostUi().showMessage();
    CloseRadioPort();
    if (linkLostUi().giveBackWindow)
        linkLostUi().giveBackWindow();
}

} // namespace Module1
