#pragma once
// Which ports a command works on: --port P, a comma list of them, "all", or
// none when exactly one port exists.

#include "cli/Report.h"
#include "serial/PortMap.h"

#include <QList>
#include <optional>

namespace Cli {

struct TargetChoice {
    QList<Target> targets;   // in the order given
    std::optional<PortReport> refusal;
};

// `given`: "3", "COM3", "/dev/ttyUSB0", "1,3,COM5,/dev/ttyUSB0" or "all";
// empty for the one port that exists. A list or "all" only when `many`.
TargetChoice ChooseTargets(const QString &given, PortMap::Map &ports, bool many);

// "3" and "com3" as "COM3"; anything else as it is (for filters).
QString PortFilterName(const QString &given);

} // namespace Cli
