#pragma once
// The fleet's median of each of the twelve values, over the latest block of
// every radio: the band a radio's plot is drawn against.

#include "protocol/CalibrationBlock.h"
#include "web/Page.h"

#include <array>
#include <optional>

namespace Web {

using ValueMedians = std::array<double, PowerValueCount>;

// Nothing when no radio has a block yet, or the history cannot be read.
// Kept for five minutes: the fleet moves slowly, and one radio's page should
// not read a block of every radio.
std::optional<ValueMedians> fleetMedian(const Source &source);

} // namespace Web
