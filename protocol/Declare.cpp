#include "protocol/Declare.h"

namespace Declare {

std::array<CalElement, CalBufferSize> CalBuffer;
QByteArray RxBuffer;
int TransferFailed = 0;
int BlockAddrH = 0;
std::uint8_t BlockAddrL = 0;
int BlockIndex = 0;
std::array<std::uint8_t, 11> CodeBuffer{};

void Reset()
{
    CalBuffer.fill(std::nullopt);
    RxBuffer.clear();
    ReplyReceived = false;
    TransferFailed = 0;
    BlockAddrH = 0;
    BlockAddrL = 0;
    BlockIndex = 0;
    CodeBuffer.fill(0);
}

} // namespace Declare
