#pragma once
// A radio's twelve values against frequency, high and low power, as an SVG
// drawn here with a data table beside it: it reads and prints without a script.

#include "web/FleetMedian.h"

#include <QByteArray>
#include <QString>

namespace Web {

struct PlotInput {
    QString title;                       // plain text
    QByteArray before, after;            // 16-byte blocks; an empty one is not drawn
    QString beforeName, afterName;       // "before", "after", "read" ...
    std::optional<ValueMedians> median;  // the fleet's, drawn as a faint band
};

QString calibrationPlot(const PlotInput &input);

} // namespace Web
