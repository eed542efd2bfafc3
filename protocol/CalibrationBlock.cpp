#include "protocol/CalibrationBlock.h"
#include "protocol/BlockCommands.h"
#include "protocol/Module1.h"

using namespace Declare;

void TEST_PART_W(const std::array<TextCopy, PowerValueCount> &copiesInBlockOrder)
{
    for (int i = 0; i < PowerValueCount; ++i) {
        const TextCopy &copy = copiesInBlockOrder[i];
        CalBuffer[i] = (!copy || copy->isEmpty()) ? 0.0 : LeadingNumber(*copy);
    }
}

void AdvanceBlockAddress()
{
    if (BlockAddrL + 16 == 256) {
        BlockAddrL = 0;
        ++BlockAddrH;
    } else {
        BlockAddrL += 16;
    }
}

void WriteFunction()
{
    BlockAddrH = CalibrationBlockAddrH;
    BlockAddrL = CalibrationBlockAddrL;
    TransferFailed = SendData_L(Module1::RadioPort, std::uint8_t(BlockAddrH), BlockAddrL, 0);
    if (TransferFailed != 1)
        AdvanceBlockAddress();
}

void ReadFunction()
{
    BlockAddrH = CalibrationBlockAddrH;
    BlockAddrL = CalibrationBlockAddrL;
    for (BlockIndex = 0; BlockIndex <= 0; ++BlockIndex) {
        TransferFailed = ReceiveData_L(Module1::RadioPort, std::uint8_t(BlockAddrH), BlockAddrL,
                                       std::int16_t(BlockIndex));
        if (TransferFailed == 1)
            break;
        AdvanceBlockAddress();
    }
}
