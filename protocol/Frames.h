#pragma once
// What goes over the wire to the radio and back: the frames of programming
// mode entry and exit and of the block commands, and how a reply is judged.
// Pure functions of their inputs.

#include "protocol/CalibrationBlock.h"

#include <QByteArray>
#include <array>
#include <cstdint>
#include <optional>

namespace Frames {

// The 7 printable bytes the radio takes as the request for programming mode.
inline constexpr std::array<char, 7> AccessCode{'C', 'A', 'L', 'T', 'U', 'N', 'E'};
inline constexpr std::uint8_t Ack = 0x06;
inline constexpr std::uint8_t ExitCommand = 'E';
inline constexpr std::uint8_t ExitReply = 'f';
inline constexpr std::uint8_t WriteCommand = 'W';
inline constexpr std::uint8_t ReadCommand = 'R';
inline constexpr std::uint8_t BlockLength = 0x10;
inline constexpr int WriteFrameSize = 20;
inline constexpr int ReadRequestSize = 4;
inline constexpr int ReadReplySize = 20;

QByteArray accessCode();
QByteArray exitCommand();
QByteArray readRequest(std::uint16_t address);
QByteArray writeFrame(std::uint16_t address, const BlockBytes &block);

// A reply holds only the bytes that came. The radio never answers with a 0
// byte, so a byte that did not come is judged as a 0 byte, and a reply whose
// first byte is 0, or that has none, is no reply. This is the one place
// where a missing byte is given a value.
std::uint8_t judgedByte(const QByteArray &reply, int index);
bool isNoReply(const QByteArray &reply);

enum class EntryReply { Acknowledged, NoReply, OtherReply };
// What one reply to the access code means.
EntryReply judgeEntryReply(const QByteArray &reply);
bool isAck(const QByteArray &reply);
bool isExitReply(const QByteArray &reply);

// The block a read reply carries. Only a whole reply carrying 'W' and the
// address asked for counts: a reply cut short would stand for bytes the
// radio never sent.
std::optional<BlockBytes> blockFromReadReply(const QByteArray &reply, std::uint16_t address);

} // namespace Frames
