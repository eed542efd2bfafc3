#pragma once
// Program-wide variables of the radio link. They live for the whole run and
// start empty.

#include "serial/basComm.h"

#include <QByteArray>
#include <array>
#include <cstdint>
#include <optional>

namespace Declare {

// An element is empty or holds a number: a byte after a block was read into
// it, or a field's value after the fields were packed into it.
using CalElement = std::optional<double>;
inline constexpr int CalBufferSize = 51;
extern std::array<CalElement, CalBufferSize> CalBuffer;

extern QByteArray RxBuffer;          // the last reply read from the radio
using basComm::ReplyReceived;        // kept with the wait that watches it
extern int TransferFailed;           // 1 when the last block transfer failed
extern int BlockAddrH;
extern std::uint8_t BlockAddrL;
extern int BlockIndex;
extern std::array<std::uint8_t, 11> CodeBuffer;

// Back to the start-up state (for tests).
void Reset();

} // namespace Declare
