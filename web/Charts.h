#pragma once
// Plots drawn by the server as inline SVG: each with a <title> that screen
// readers announce, plain presentation attributes only (no script, no style
// sheet), so that they show and print as they are.

#include <QList>
#include <QString>
#include <QStringList>
#include <vector>

namespace Web::Charts {

// The spread of a set of numbers. Quartiles interpolate linearly between the
// sorted values, as a spreadsheet's QUARTILE.INC does.
struct Spread {
    int count = 0;
    double min = 0, q1 = 0, median = 0, q3 = 0, max = 0;
    double iqr() const { return q3 - q1; }
};
Spread spreadOf(std::vector<double> values);

// A value axis with round ticks that holds [lo, hi].
struct Axis {
    double lo = 0, hi = 1, step = 1;
};
Axis roundAxis(double lo, double hi, int ticks = 5);

struct Box {
    QString label;   // under the box and in its title
    Spread spread;
    int group = 0;   // which of the two fills
    QString note;    // at the end of its title, in brackets: what the figures count
};

// Box plots side by side: a box from the lower to the upper quartile with
// the median across it, whiskers to the least and the greatest value. `id`
// makes the title's element id unique on the page; `groupNames` name the two
// fills in the legend.
QString boxPlot(const QString &id, const QString &title, const QList<Box> &boxes,
                const QStringList &groupNames);

// A figure as the pages print it: whole numbers bare, others to two decimals.
QString number(double value);

} // namespace Web::Charts
