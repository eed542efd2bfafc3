#pragma once
// The one rule for a radio's label, as a user gives it and a backup file
// carries it, and for a station's name: 1 to 64 printable characters, no
// line or paragraph breaks.

#include <QString>

inline constexpr int MaxRadioLabelLength = 64;

bool IsRadioLabel(const QString &label);
