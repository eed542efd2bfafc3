#include "protocol/CalibrationBlock.h"

#include <cmath>

std::optional<BlockBytes> BlockFromBytes(const QByteArray &bytes)
{
    BlockBytes block;
    if (bytes.size() != qsizetype(block.size()))
        return std::nullopt;
    for (std::size_t k = 0; k < block.size(); ++k)
        block[k] = std::uint8_t(bytes[qsizetype(k)]);
    return block;
}

BlockBytes WithValues(const BlockBytes &radioBlock, const PowerValues &values)
{
    BlockBytes block = radioBlock;
    for (std::size_t i = 0; i < values.size(); ++i)
        if (values[i])
            block[i] = *values[i];
    return block;
}

std::optional<std::uint8_t> CopyByte(const TextCopy &copy)
{
    if (!copy || copy->isEmpty())
        return 0;
    const double v = std::nearbyint(LeadingNumber(*copy));   // the default rounding: a half to even
    if (!(v >= 0 && v <= 255))
        return std::nullopt;
    return std::uint8_t(v);
}

PackedCopies PackTextCopies(const std::array<TextCopy, PowerValueCount> &copiesInBlockOrder)
{
    PackedCopies packed;
    for (int i = 0; i < PowerValueCount; ++i) {
        packed.values[std::size_t(i)] = CopyByte(copiesInBlockOrder[std::size_t(i)]);
        if (!packed.values[std::size_t(i)] && !packed.withoutByte)
            packed.withoutByte = i;
    }
    return packed;
}
