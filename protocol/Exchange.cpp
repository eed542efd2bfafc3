#include "protocol/Exchange.h"
#include "protocol/Declare.h"

using namespace basComm;

int RunAttempt(ComHandle port, const QByteArray &frame, float waitMs, std::uint16_t replySize)
{
    WriteComBytes(port, frame, std::uint32_t(frame.size()));
    Declare::ReplyReceived = false;
    WaitMs(waitMs);
    int arrived = 0;
    Declare::RxBuffer = ReadComBytes(port, replySize, &arrived);
    Declare::ReplyReceived = Declare::RxBuffer[0] != 0;
    PurgeComPort(port, true, true);
    return arrived;
}
