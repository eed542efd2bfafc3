#pragma once
// The calibration block at 0x0380: twelve power values (high then low power
// for each of the six frequency points) and four bytes that are the radio's
// own and travel along unchanged.

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>
#include <optional>

inline constexpr std::uint16_t CalibrationAddress = 0x0380;
inline constexpr int PowerValueCount = 12;

// The whole 16-byte block, as the radio holds it.
using BlockBytes = std::array<std::uint8_t, 16>;
inline QByteArray BlockToBytes(const BlockBytes &block)
{
    return QByteArray(reinterpret_cast<const char *>(block.data()), qsizetype(block.size()));
}
// Nothing unless exactly 16 bytes.
std::optional<BlockBytes> BlockFromBytes(const QByteArray &bytes);

// Names of the twelve values in block order: high then low power per point.
inline constexpr std::array<const char *, PowerValueCount> ValueNames{
    "H400", "L400", "H420", "L420", "H440", "L440", "H460", "L460", "H480", "L480", "H520", "L520"};

// The twelve values to write, in block order; an empty one stays as the
// radio holds it.
using PowerValues = std::array<std::optional<std::uint8_t>, PowerValueCount>;

// The block to send: the radio's block with the given values in place of its
// own. Bytes 12 to 15 are always the radio's.
BlockBytes WithValues(const BlockBytes &radioBlock, const PowerValues &values);

// A field's text copy: nothing before the field first changed, else a text.
using TextCopy = std::optional<QString>;

// The number at the start of a text: optional sign, digits, optional decimal
// point with more digits; 0 when the text does not start with a number.
double LeadingNumber(const QString &text);

// The byte a field's text copy stands for: the nearest whole number to its
// leading number (a half to the even neighbour); an empty copy is 0. Nothing
// when that number does not fit a byte, as for a pasted "-5".
std::optional<std::uint8_t> CopyByte(const TextCopy &copy);

// All twelve copies, given in block order (H1, L1, H2, L2 ... L6), as bytes;
// the index of the first copy without a byte when there is one.
struct PackedCopies {
    PowerValues values;
    std::optional<int> withoutByte;
};
PackedCopies PackTextCopies(const std::array<TextCopy, PowerValueCount> &copiesInBlockOrder);
