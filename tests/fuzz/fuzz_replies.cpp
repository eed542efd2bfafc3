// The radio's replies as the link judges them, checked against facts of the
// wire format rather than against a second copy of the judges: a read reply
// built as the radio builds it is taken and stored; the same reply with any
// of its first three bytes changed, or cut short, is refused and changes
// nothing. Input: ADD_H, ADD_L, block index, length byte, 16 data bytes, a
// change (what and how), then bytes that follow a first reply byte.

#include "tests/fuzz/FuzzCheck.h"

#include "protocol/BlockCommands.h"
#include "protocol/Declare.h"
#include "protocol/Module1.h"

using namespace Declare;

namespace {

constexpr std::size_t HeaderSize = 4, DataSize = 16, ChangeSize = 2;
constexpr std::size_t InputSize = HeaderSize + DataSize + ChangeSize;

void fillCalBuffer(std::uint8_t seed)
{
    for (int k = 0; k < CalBufferSize; ++k)
        CalBuffer[k] = (k + seed) % 5 == 0 ? std::nullopt : std::optional<double>((k * 37 + seed) % 300);
}

QByteArray bytes(const std::uint8_t *data, std::size_t n)
{
    return QByteArray(reinterpret_cast<const char *>(data), qsizetype(n));
}

void checkEntryReplies(const QByteArray &rest)
{
    FUZZ_CHECK(Module1::JudgeEntryReply(QByteArray()) == Module1::NoReply);
    FUZZ_CHECK(Module1::JudgeEntryReply(QByteArray(1, '\x00') + rest) == Module1::NoReply);
    FUZZ_CHECK(Module1::JudgeEntryReply(QByteArray(1, '\x06') + rest) == Module1::Acknowledged);
    FUZZ_CHECK(Module1::JudgeEntryReply(QByteArray(1, '\x15') + rest) == Module1::OtherReply);
    FUZZ_CHECK(Module1::IsAck(QByteArray(1, '\x06') + rest));
    FUZZ_CHECK(!Module1::IsAck(QByteArray(1, 'f') + rest));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < InputSize)
        return 0;
    const std::uint8_t addH = data[0], addL = data[1];
    const auto j = std::int16_t(data[2] % 3);
    const QByteArray block = bytes(data + HeaderSize, DataSize);
    // As the radio sends it: 'W', the address asked for, a length byte that
    // nobody examines, the sixteen bytes.
    const QByteArray reply = QByteArray(1, 'W') + char(addH) + char(addL) + char(data[3]) + block;

    fillCalBuffer(data[2]);
    auto expected = CalBuffer;
    for (std::size_t k = 0; k < DataSize; ++k)
        expected[16 * j + k] = double(std::uint8_t(block[qsizetype(k)]));
    FUZZ_CHECK(StoreReadReply(reply, addH, addL, j));
    FUZZ_CHECK(CalBuffer == expected);

    const std::uint8_t what = data[HeaderSize + DataSize], how = data[HeaderSize + DataSize + 1];
    QByteArray spoilt = reply;
    if (what % 4 < 3)
        spoilt[what % 4] = char(spoilt[what % 4] ^ (how | 1));   // never a zero change
    else
        spoilt.truncate(how % ReadReplySize);
    fillCalBuffer(data[2]);
    const auto before = CalBuffer;
    FUZZ_CHECK(!StoreReadReply(spoilt, addH, addL, j));
    FUZZ_CHECK(CalBuffer == before);

    checkEntryReplies(bytes(data + InputSize, size - InputSize));
    return 0;
}
