#pragma once
// The spread of the twelve calibration values over the fleet, each radio
// counted once with its latest block, and the radios far outside it.

#include "base/Result.h"
#include "web/Charts.h"
#include "web/Page.h"
#include "web/PageSql.h"

#include <QByteArray>
#include <QList>
#include <QUrlQuery>
#include <array>

namespace Web {

struct RadioBlock {
    QString radio;      // its label, or its fingerprint where it has none
    QByteArray block;   // 16 bytes
};

// Every radio's latest block that it is known to hold: the block read back
// after a write, from any exchange; else, from an exchange that ended done,
// the block written, else the block read. A record without a label counts
// under its fingerprint, unless a labelled record has the same fingerprint
// (that radio is then known by its label). Sorted by radio.
Result<QList<RadioBlock>, ReadKind> latestBlocks(const Source &source);

// The spread of each of the twelve values, in block order.
std::array<Charts::Spread, 12> fleetSpreads(const QList<RadioBlock> &radios);

// Parameter `far` (default 3): a radio is listed when one of its values lies
// more than `far` interquartile ranges below the lower or above the upper
// quartile.
Page fleetPage(const Source &source, const QUrlQuery &query);

} // namespace Web
