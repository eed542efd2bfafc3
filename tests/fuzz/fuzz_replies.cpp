// The radio's replies as the link judges them: the answer to the access code,
// to a block write and to a block read. Input: ADD_H, ADD_L, block index,
// then the reply bytes exactly as they arrived.

#include "tests/fuzz/FuzzCheck.h"

#include "protocol/BlockCommands.h"
#include "protocol/Declare.h"
#include "protocol/Module1.h"

using namespace Declare;

namespace {

void fillCalBuffer(std::uint8_t seed)
{
    for (int k = 0; k < CalBufferSize; ++k) {
        if ((k + seed) % 5 == 0)
            CalBuffer[k] = std::nullopt;
        else
            CalBuffer[k] = (k * 37 + seed) % 300 - 20.5;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 3)
        return 0;
    const std::uint8_t addH = data[0], addL = data[1];
    const auto j = std::int16_t(data[2] % 3);
    // Not copied: a read past the reply's end lands outside the fuzzer's buffer.
    const QByteArray reply =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data + 3), qsizetype(size - 3));
    const int first = reply.isEmpty() ? -1 : std::uint8_t(reply[0]);

    FUZZ_CHECK(Module1::IsAck(reply) == (first == Module1::Ack));
    const Module1::EntryResult expected = first == Module1::Ack ? Module1::Acknowledged
                                          : first <= 0          ? Module1::NoReply
                                                                : Module1::OtherReply;
    FUZZ_CHECK(Module1::JudgeEntryReply(reply) == expected);

    fillCalBuffer(data[2]);
    auto after = CalBuffer;
    const bool valid = reply.size() == ReadReplySize && first == WriteCommand
                       && std::uint8_t(reply[1]) == addH && std::uint8_t(reply[2]) == addL;
    if (valid) {
        for (int k = 0; k < 16; ++k)
            after[16 * j + k] = double(std::uint8_t(reply[4 + k]));
    }
    FUZZ_CHECK(StoreReadReply(reply, addH, addL, j) == valid);
    FUZZ_CHECK(CalBuffer == after);
    return 0;
}
