#pragma once
// Which ports a command works on: --port P, a comma list of them, "all", or
// none when exactly one port exists.

#include "cli/Report.h"
#include "serial/PortMap.h"

#include <QList>

namespace Cli {

// `given`: "3", "COM3", "/dev/ttyUSB0", "1,3,COM5,/dev/ttyUSB0" or "all";
// empty for the one port that exists. A list or "all" only when `many`. The
// targets come in the order given.
Checked<QList<Target>> ChooseTargets(const QString &given, PortMap::Map &ports, bool many);

// "3" and "com3" as "COM3"; anything else as it is (for filters).
QString PortFilterName(const QString &given);

// A label given for one port: "3=SN0003" of --radio, or a line of --radios.
struct PortLabel {
    QString port;    // in any form --port takes
    QString label;   // as it is stored, the station's prefix in front
    QString where;   // "--radios line 4", for a refusal
};
// Whether `text` has the form of one port of --port (it need not exist).
bool LooksLikePort(const QString &text);
// Gives the targets their labels; the others stay unlabelled. Refuses a
// label whose port is not among the targets, and a port labelled twice.
Checked<void> LabelTargets(QList<Target> &targets, const QList<PortLabel> &labels, PortMap::Map &ports);

} // namespace Cli
