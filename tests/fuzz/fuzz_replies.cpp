// The radio's replies as the link judges them, checked against facts of the
// wire format rather than against a second copy of the judges: a read reply
// built as the radio builds it gives its block; the same reply with any of
// its first three bytes changed, or cut short, gives nothing. Input: address
// high and low, an unused byte, the length byte, 16 data bytes, a change
// (what and how), then bytes that follow a first reply byte.

#include "tests/fuzz/FuzzCheck.h"

#include "protocol/Frames.h"

using Frames::EntryReply;

namespace {

constexpr std::size_t HeaderSize = 4, DataSize = 16, ChangeSize = 2;
constexpr std::size_t InputSize = HeaderSize + DataSize + ChangeSize;

QByteArray bytes(const std::uint8_t *data, std::size_t n)
{
    return QByteArray(reinterpret_cast<const char *>(data), qsizetype(n));
}

void checkEntryReplies(const QByteArray &rest)
{
    FUZZ_CHECK(Frames::judgeEntryReply(QByteArray()) == EntryReply::NoReply);
    FUZZ_CHECK(Frames::judgeEntryReply(QByteArray(1, '\x00') + rest) == EntryReply::NoReply);
    FUZZ_CHECK(Frames::judgeEntryReply(QByteArray(1, '\x06') + rest) == EntryReply::Acknowledged);
    FUZZ_CHECK(Frames::judgeEntryReply(QByteArray(1, '\x15') + rest) == EntryReply::OtherReply);
    FUZZ_CHECK(Frames::isAck(QByteArray(1, '\x06') + rest));
    FUZZ_CHECK(!Frames::isAck(QByteArray(1, 'f') + rest));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < InputSize)
        return 0;
    const std::uint8_t addH = data[0], addL = data[1];
    const auto address = std::uint16_t(addH << 8 | addL);
    const QByteArray block = bytes(data + HeaderSize, DataSize);
    // As the radio sends it: 'W', the address asked for, a length byte that
    // nobody examines, the sixteen bytes.
    const QByteArray reply = QByteArray(1, 'W') + char(addH) + char(addL) + char(data[3]) + block;
    FUZZ_CHECK(Frames::blockFromReadReply(reply, address) == BlockFromBytes(block));

    const std::uint8_t what = data[HeaderSize + DataSize], how = data[HeaderSize + DataSize + 1];
    QByteArray spoilt = reply;
    if (what % 4 < 3)
        spoilt[what % 4] = char(spoilt[what % 4] ^ (how | 1));   // never a zero change
    else
        spoilt.truncate(how % Frames::ReadReplySize);
    FUZZ_CHECK(!Frames::blockFromReadReply(spoilt, address));

    checkEntryReplies(bytes(data + InputSize, size - InputSize));
    return 0;
}
