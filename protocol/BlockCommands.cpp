#include "protocol/BlockCommands.h"
#include "protocol/Exchange.h"
#include "protocol/Module1.h"

#include <QtGlobal>
#include <cmath>

using namespace Declare;

namespace {

bool blockFits(std::int16_t j) { return j >= 0 && 16 * j + 15 < CalBufferSize; }

} // namespace

std::optional<std::uint8_t> ElementByte(const CalElement &element)
{
    if (!element)
        return 0;
    const double v = std::nearbyint(*element);   // the default rounding: a half to even
    if (!(v >= 0 && v <= 255))
        return std::nullopt;
    return std::uint8_t(v);
}

std::uint8_t SendData_L(basComm::ComHandle ComTmp, std::uint8_t ADD_H, std::uint8_t ADD_L, std::int16_t j)
{
    Q_ASSERT(blockFits(j));
    if (!blockFits(j))
        return 1;
    QByteArray frame(WriteFrameSize, '\0');
    frame[0] = char(WriteCommand);
    frame[1] = char(ADD_H);
    frame[2] = char(ADD_L);
    frame[3] = char(BlockLength);
    for (int k = 0; k < 16; ++k) {
        const std::optional<std::uint8_t> byte = ElementByte(CalBuffer[16 * j + k]);
        // A value with no byte would reach the radio wrapped: never send it.
        Q_ASSERT_X(byte, "SendData_L", "block element outside 0..255");
        if (!byte)
            return 1;
        frame[4 + k] = char(*byte);
    }

    for (int n = 1;; ++n) {
        RunAttempt(ComTmp, frame, {"block write", n, WriteAttempts, BlockWaitMs, 1});
        if (Module1::IsAck(RxBuffer))
            return 0;
        if (n >= WriteAttempts) {
            Module1::ReportLinkLost();
            return 1;
        }
    }
}

bool StoreReadReply(const QByteArray &reply, std::uint8_t ADD_H, std::uint8_t ADD_L,
                     std::int16_t j)
{
    // A reply cut short would store zeros for calibration bytes the radio
    // never sent, so only a whole reply counts.
    if (reply.size() != ReadReplySize || std::uint8_t(reply[0]) != WriteCommand
        || std::uint8_t(reply[1]) != ADD_H || std::uint8_t(reply[2]) != ADD_L)
        return false;
    for (int k = 0; k < 16; ++k)
        CalBuffer[16 * j + k] = double(std::uint8_t(reply[4 + k]));
    return true;
}

std::int32_t ReceiveData_L(basComm::ComHandle ComTmp, std::uint8_t ADD_H, std::uint8_t ADD_L, std::int16_t j)
{
    Q_ASSERT(blockFits(j));
    if (!blockFits(j))
        return 1;
    const char request[ReadRequestSize] = {char(ReadCommand), char(ADD_H), char(ADD_L), char(BlockLength)};
    const QByteArray frame(request, ReadRequestSize);

    bool earlierReplyCut = false;
    for (int n = 1;; ++n) {
        Attempt attempt{"block read", n, ReadAttempts, BlockWaitMs, ReadReplySize};
        attempt.completeSplitReply = true;
        attempt.lineMayCarryOldReply = earlierReplyCut;
        const QByteArray reply = RunAttempt(ComTmp, frame, attempt);
        if (StoreReadReply(reply, ADD_H, ADD_L, j))
            return 0;
        earlierReplyCut = earlierReplyCut || !reply.isEmpty();
        if (n >= ReadAttempts) {
            Module1::ReportLinkLost();
            return 1;
        }
    }
}
