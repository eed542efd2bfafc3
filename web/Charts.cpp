#include "web/Charts.h"
#include "web/Page.h"

#include <algorithm>
#include <cmath>

namespace Web::Charts {

namespace {

constexpr double Width = 720, Height = 360, Left = 44, Right = 12, Top = 34, Bottom = 30;
// Tints of the red and blue that the radio's plot draws high and low power in.
const QString Fills[2] = {QStringLiteral("#e6b0aa"), QStringLiteral("#a9cce3")};
const QString Ink = QStringLiteral("#222");

double quantile(const std::vector<double> &sorted, double p)
{
    const double at = p * double(sorted.size() - 1);
    const auto below = std::size_t(std::floor(at));
    const std::size_t above = std::min(below + 1, sorted.size() - 1);
    return sorted[below] + (at - double(below)) * (sorted[above] - sorted[below]);
}

QString coordinate(double v) { return QString::number(v, 'f', 1); }

struct Frame {
    Axis axis;
    double y(double v) const { return Top + (Height - Top - Bottom) * (axis.hi - v) / (axis.hi - axis.lo); }
};

QString grid(const Frame &f)
{
    QString out;
    for (double v = f.axis.lo; v <= f.axis.hi + f.axis.step / 2; v += f.axis.step) {
        const QString y = coordinate(f.y(v));
        out += QStringLiteral("<line x1=\"%1\" x2=\"%2\" y1=\"%3\" y2=\"%3\" stroke=\"#ddd\"/>"
                              "<text x=\"%4\" y=\"%3\" dy=\"4\" text-anchor=\"end\">%5</text>\n")
                   .arg(coordinate(Left), coordinate(Width - Right), y, coordinate(Left - 6), number(v));
    }
    return out;
}

QString legend(const QStringList &groupNames)
{
    QString out;
    double x = Left;
    for (int g = 0; g < std::min<int>(2, int(groupNames.size())); ++g) {
        out += QStringLiteral("<rect x=\"%1\" y=\"8\" width=\"12\" height=\"12\" fill=\"%2\" stroke=\"%3\"/>"
                              "<text x=\"%4\" y=\"18\">%5</text>\n")
                   .arg(coordinate(x), Fills[g], Ink, coordinate(x + 16), escaped(groupNames[g]));
        x += 24 + 7 * double(groupNames[g].size());
    }
    return out;
}

QString boxShape(const Frame &f, const Box &b, double cx, double width)
{
    const Spread &s = b.spread;
    const QString title = QStringLiteral("%1: least %2, lower quartile %3, median %4, upper quartile %5,"
                                         " greatest %6%7")
                              .arg(escaped(b.label), number(s.min), number(s.q1), number(s.median), number(s.q3),
                                   number(s.max), b.note.isEmpty() ? QString() : " (" + escaped(b.note) + ')');
    const QString x = coordinate(cx), x0 = coordinate(cx - width / 2), x1 = coordinate(cx + width / 2);
    const QString cap = QStringLiteral("<line x1=\"%1\" x2=\"%2\" y1=\"%3\" y2=\"%3\"/>");
    return QStringLiteral("<g stroke=\"%1\"><title>%2</title>"
                          "<line x1=\"%3\" x2=\"%3\" y1=\"%4\" y2=\"%5\"/>")
               .arg(Ink, title, x, coordinate(f.y(s.max)), coordinate(f.y(s.min)))
           + cap.arg(coordinate(cx - width / 4), coordinate(cx + width / 4), coordinate(f.y(s.max)))
           + cap.arg(coordinate(cx - width / 4), coordinate(cx + width / 4), coordinate(f.y(s.min)))
           + QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"%5\"/>")
                 .arg(x0, coordinate(f.y(s.q3)), coordinate(width),
                      coordinate(std::max(1.0, f.y(s.q1) - f.y(s.q3))), Fills[b.group & 1])
           + QStringLiteral("<line x1=\"%1\" x2=\"%2\" y1=\"%3\" y2=\"%3\" stroke-width=\"2.5\"/></g>\n")
                 .arg(x0, x1, coordinate(f.y(s.median)));
}

} // namespace

Spread spreadOf(std::vector<double> values)
{
    if (values.empty())
        return {};
    std::sort(values.begin(), values.end());
    return {int(values.size()), values.front(), quantile(values, 0.25), quantile(values, 0.5),
            quantile(values, 0.75), values.back()};
}

Axis roundAxis(double lo, double hi, int ticks)
{
    if (hi <= lo) {
        lo -= 1;
        hi += 1;
    }
    const double raw = (hi - lo) / std::max(1, ticks);
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    const double norm = raw / magnitude;
    const double step = (norm <= 1 ? 1 : norm <= 2 ? 2 : norm <= 5 ? 5 : 10) * magnitude;
    return {std::floor(lo / step) * step, std::ceil(hi / step) * step, step};
}

QString boxPlot(const QString &id, const QString &title, const QList<Box> &boxes, const QStringList &groupNames)
{
    QString svg = QStringLiteral("<svg class=\"plot\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 %1 %2\" width=\"%1\""
                                 " height=\"%2\" role=\"img\" aria-labelledby=\"%3\" font-family=\"sans-serif\""
                                 " font-size=\"11\" fill=\"%4\">\n<title id=\"%3\">%5</title>\n")
                      .arg(Width).arg(Height).arg(escaped(id), Ink, escaped(title));
    double lo = 0, hi = 0;
    bool any = false;
    for (const Box &b : boxes)
        if (b.spread.count > 0) {
            lo = any ? std::min(lo, b.spread.min) : b.spread.min;
            hi = any ? std::max(hi, b.spread.max) : b.spread.max;
            any = true;
        }
    const Frame frame{roundAxis(lo, hi)};
    svg += legend(groupNames) + (any ? grid(frame) : QString());
    const double slot = (Width - Left - Right) / std::max<qsizetype>(1, boxes.size());
    for (qsizetype i = 0; i < boxes.size(); ++i) {
        const double cx = Left + slot * (double(i) + 0.5);
        svg += QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"middle\">%3</text>\n")
                   .arg(coordinate(cx), coordinate(Height - Bottom + 18), escaped(boxes[i].label));
        if (boxes[i].spread.count > 0)
            svg += boxShape(frame, boxes[i], cx, std::min(28.0, slot * 0.6));
    }
    if (!any)
        svg += QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"middle\" font-size=\"14\">no data</text>\n")
                   .arg(coordinate(Width / 2), coordinate(Height / 2));
    return svg + QStringLiteral("</svg>\n");
}

QString number(double value)
{
    if (value == std::round(value))
        return QString::number(qint64(value));
    QString text = QString::number(value, 'f', 2);
    while (text.endsWith(u'0'))
        text.chop(1);
    return text;
}

} // namespace Web::Charts
