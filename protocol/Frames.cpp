#include "protocol/Frames.h"

namespace Frames {

namespace {

char high(std::uint16_t address) { return char(address >> 8); }
char low(std::uint16_t address) { return char(address & 0xff); }

} // namespace

QByteArray accessCode() { return QByteArray(AccessCode.data(), qsizetype(AccessCode.size())); }

QByteArray exitCommand() { return QByteArray(1, char(ExitCommand)); }

QByteArray readRequest(std::uint16_t address)
{
    const char request[ReadRequestSize] = {char(ReadCommand), high(address), low(address), char(BlockLength)};
    return QByteArray(request, ReadRequestSize);
}

QByteArray writeFrame(std::uint16_t address, const BlockBytes &block)
{
    QByteArray frame;
    frame.reserve(WriteFrameSize);
    frame += char(WriteCommand);
    frame += high(address);
    frame += low(address);
    frame += char(BlockLength);
    return frame + BlockToBytes(block);
}

std::uint8_t judgedByte(const QByteArray &reply, int index)
{
    return index >= 0 && index < reply.size() ? std::uint8_t(reply[index]) : 0;
}

bool isNoReply(const QByteArray &reply) { return judgedByte(reply, 0) == 0; }

EntryReply judgeEntryReply(const QByteArray &reply)
{
    if (isNoReply(reply))
        return EntryReply::NoReply;
    return isAck(reply) ? EntryReply::Acknowledged : EntryReply::OtherReply;
}

bool isAck(const QByteArray &reply) { return judgedByte(reply, 0) == Ack; }

bool isExitReply(const QByteArray &reply) { return judgedByte(reply, 0) == ExitReply; }

std::optional<BlockBytes> blockFromReadReply(const QByteArray &reply, std::uint16_t address)
{
    if (reply.size() != ReadReplySize || std::uint8_t(reply[0]) != WriteCommand || reply[1] != high(address)
        || reply[2] != low(address))
        return std::nullopt;
    BlockBytes block;
    for (std::size_t k = 0; k < block.size(); ++k)
        block[k] = std::uint8_t(reply[qsizetype(4 + k)]);
    return block;
}

} // namespace Frames
