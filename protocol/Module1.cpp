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

int OpenRadioDevice(const QString &device)
{
    RadioPort = OpenComDevice(device);
    return RadioPort == 0 ? 1 : 0;
}

int EnterProgramMode(ComHandle port, std::array<std::uint8_t, 11> &codeBuffer, int retryBudget)
{
    for (std::size_t i = 0; i < AccessCode.size(); ++i)
        codeBuffer[i] = std::uint8_t(AccessCode[i]);
    const QByteArray frame(reinterpret_cast<const char *>(codeBuffer.data()), int(AccessCode.size()));

    const int attempts = 1 + std::max(retryBudget, 0);
    for (int n = 1;; ++n) {
        RunAttempt(port, frame, {"entry", n, attempts, EntryWaitMs, 1});
        const EntryResult result = JudgeEntryReply(Declare::RxBuffer);
        if (result == Acknowledged || n >= attempts)
            return result;
    }
}

void LeaveProgramMode()
{
    const QByteArray frame(1, char(ExitCommand));
    for (int n = 1;; ++n) {
        RunAttempt(RadioPort, frame, {"exit", n, ExitAttempts, ExitWaitMs, 1});
        Declare::ReplyReceived = std::uint8_t(Declare::RxBuffer[0]) == ExitReply;
        if (Declare::ReplyReceived || n >= ExitAttempts)
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
