#pragma once
// The values a write is asked to change, from NAME=V arguments or a JSON file,
// checked completely before anything is sent: every name known and given
// once, every value a whole number 0 to 127 (what the window accepts).

#include "base/Result.h"
#include "protocol/CalibrationBlock.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>
#include <optional>

namespace ValueArgs {

inline constexpr int MaxValue = 127;

// Index in block order, or -1; names are matched regardless of case.
int indexOf(const QString &name);

using Values = std::array<std::optional<std::uint8_t>, PowerValueCount>;

enum class Refusal {
    NotReadable,   // not NAME=VALUE, not JSON, not an object
    UnknownName,
    GivenTwice,
    OutOfRange,
    NoValue,
};

// At least one value, else the refusal with a one-line reason.
Result<Values, Refusal> parseAssignments(const QStringList &args);
Result<Values, Refusal> parseValueFile(const QByteArray &json);

} // namespace ValueArgs
