#pragma once
// The calibration block at 0x0380: twelve power values (high then low power
// for each of the six frequency points) and four bytes carried along.

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>
#include <optional>

inline constexpr int CalibrationBlockAddrH = 0x03;
inline constexpr std::uint8_t CalibrationBlockAddrL = 0x80;
inline constexpr int PowerValueCount = 12;

// A field's text copy: nothing before the field first changed, else a text.
using TextCopy = std::optional<QString>;

// The number at the start of a text: optional sign, digits, optional decimal
// point with more digits; 0 when the text does not start with a number.
double LeadingNumber(const QString &text);

// Packs the twelve copies, given in block order (H1, L1, H2, L2 ... L6), into
// CalBuffer elements 0 to 11. Elements 12 to 15 are left alone.
void TEST_PART_W(const std::array<TextCopy, PowerValueCount> &copiesInBlockOrder);

// One block transfer each at 0x0380; the outcome is left in TransferFailed.
void WriteFunction();
void ReadFunction();

// Moves BlockAddrH:BlockAddrL on by one block.
void AdvanceBlockAddress();

// The whole 16-byte block, as the radio holds it.
using BlockBytes = std::array<std::uint8_t, 16>;
inline QByteArray BlockToBytes(const BlockBytes &block)
{
    return QByteArray(reinterpret_cast<const char *>(block.data()), qsizetype(block.size()));
}

// Names of the twelve values in block order: high then low power per point.
inline constexpr std::array<const char *, PowerValueCount> ValueNames{
    "H400", "L400", "H420", "L420", "H440", "L440", "H460", "L460", "H480", "L480", "H520", "L520"};
