#pragma once
// Moving one 16-byte block of radio memory: 'W' frame with 0x06 reply, and
// 'R' request with a 20-byte reply. Both report a lost link themselves.

#include "protocol/Declare.h"

#include <cstdint>
#include <optional>

inline constexpr std::uint8_t WriteCommand = 'W';
inline constexpr std::uint8_t ReadCommand = 'R';
inline constexpr std::uint8_t BlockLength = 0x10;
inline constexpr int WriteFrameSize = 20;
inline constexpr int ReadRequestSize = 4;
inline constexpr int ReadReplySize = 20;
inline constexpr int WriteAttempts = 3;
inline constexpr int ReadAttempts = 4;
inline constexpr float BlockWaitMs = 10;

// The byte an element stands for: nearest integer, a half to the even
// neighbour; empty is 0. Nothing when the value has no byte (< 0 or > 255).
std::optional<std::uint8_t> ElementByte(const Declare::CalElement &element);

// Writes CalBuffer elements 16j .. 16j+15 at ADD_H:ADD_L. 0 acknowledged,
// 1 failed (after the link-loss report, or refused unsent when an element
// has no byte value).
std::uint8_t SendData_L(basComm::ComHandle ComTmp, std::uint8_t ADD_H, std::uint8_t ADD_L,
                        std::int16_t j);

// Judges the bytes that arrived in reply to a read request for ADD_H:ADD_L.
// Only a whole reply carrying 'W' and that address counts: its 16 data bytes
// go to CalBuffer elements 16j .. 16j+15 and the result is true. Any other
// reply leaves CalBuffer alone.
bool StoreReadReply(const QByteArray &reply, std::uint8_t ADD_H, std::uint8_t ADD_L,
                     std::int16_t j);

// Reads the block at ADD_H:ADD_L into CalBuffer elements 16j .. 16j+15.
// 0 stored, 1 failed after the link-loss report (CalBuffer unchanged).
std::int32_t ReceiveData_L(basComm::ComHandle ComTmp, std::uint8_t ADD_H, std::uint8_t ADD_L,
                           std::int16_t j);
