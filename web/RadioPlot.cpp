#include "web/RadioPlot.h"

#include <algorithm>
#include <cmath>

namespace Web {

namespace {

constexpr std::array<int, 6> Frequencies{400, 420, 440, 460, 480, 520};   // MHz, the block's six points
constexpr int Width = 560, Height = 330, Left = 48, Right = 16, Top = 16, Bottom = 70;

struct Scale {
    double low = 0, high = 255;
    double x(int mhz) const
    {
        return Left + (mhz - Frequencies.front()) * double(Width - Left - Right) / (Frequencies.back() - Frequencies.front());
    }
    double y(double value) const { return Top + (high - value) * double(Height - Top - Bottom) / (high - low); }
};

int valueAt(const QByteArray &block, int point, bool low)
{
    return quint8(block[2 * point + (low ? 1 : 0)]);
}

// The values drawn, with some room, on round numbers within a byte.
Scale scaleFor(const PlotInput &in)
{
    double low = 255, high = 0;
    for (const QByteArray &block : {in.before, in.after})
        for (int i = 0; i < PowerValueCount && block.size() == 16; ++i) {
            low = std::min<double>(low, quint8(block[i]));
            high = std::max<double>(high, quint8(block[i]));
        }
    for (int i = 0; i < PowerValueCount && in.median; ++i) {
        low = std::min(low, (*in.median)[i]);
        high = std::max(high, (*in.median)[i]);
    }
    if (low > high)
        return {};
    return {std::max(0.0, std::floor((low - 5) / 10) * 10), std::min(260.0, std::ceil((high + 5) / 10) * 10)};
}

QString num(double v)
{
    return QString::number(v, 'f', 1);
}

QString axes(const Scale &s)
{
    QString svg;
    const double span = s.high - s.low;
    const int step = span <= 40 ? 5 : span <= 80 ? 10 : span <= 160 ? 20 : 50;
    for (int v = int(std::ceil(s.low / step)) * step; v <= s.high; v += step)
        svg += QStringLiteral("<line class=grid x1=%1 x2=%2 y1=%3 y2=%3 /><text class=tick x=%4 y=%5 text-anchor=end>%6</text>")
                   .arg(Left).arg(Width - Right).arg(num(s.y(v))).arg(Left - 6).arg(num(s.y(v) + 4)).arg(v);
    for (int f : Frequencies)
        svg += QStringLiteral("<text class=tick x=%1 y=%2 text-anchor=middle>%3</text>")
                   .arg(num(s.x(f))).arg(Height - Bottom + 16).arg(f);
    svg += QStringLiteral("<text class=axis x=%1 y=%2 text-anchor=middle>MHz</text>")
               .arg((Left + Width - Right) / 2).arg(Height - Bottom + 32);
    return svg;
}

QString points(const Scale &s, const std::array<double, 6> &values)
{
    QStringList out;
    for (int p = 0; p < 6; ++p)
        out << num(s.x(Frequencies[p])) + u',' + num(s.y(values[p]));
    return out.join(u' ');
}

// One line of one power over the six points, a dot with its value at each.
QString series(const Scale &s, const QByteArray &block, bool low, const QString &name)
{
    std::array<double, 6> values{};
    for (int p = 0; p < 6; ++p)
        values[p] = valueAt(block, p, low);
    const QString power = low ? QStringLiteral("low") : QStringLiteral("high");
    QString svg = QStringLiteral("<g class=\"series %1 %2\" data-series=\"%1-%2\"><polyline points=\"%3\" />")
                      .arg(name, power, points(s, values));
    for (int p = 0; p < 6; ++p)
        svg += QStringLiteral("<circle cx=%1 cy=%2 r=4 data-name=%3 data-value=%4><title>%5 %3: %4</title></circle>")
                   .arg(num(s.x(Frequencies[p])), num(s.y(values[p])),
                        QLatin1String(ValueNames[2 * p + (low ? 1 : 0)]))
                   .arg(int(values[p]))
                   .arg(name);
    return svg + QStringLiteral("</g>");
}

QString medianBand(const Scale &s, const ValueMedians &median, bool low)
{
    std::array<double, 6> values{};
    for (int p = 0; p < 6; ++p)
        values[p] = median[2 * p + (low ? 1 : 0)];
    return QStringLiteral("<polyline class=\"median %1\" points=\"%2\" />")
        .arg(low ? QStringLiteral("low") : QStringLiteral("high"), points(s, values));
}

QString legend(const PlotInput &in)
{
    QString svg;
    int x = Left;
    auto entry = [&](const QString &cls, const QString &text) {
        svg += QStringLiteral("<line class=\"%1\" x1=%2 x2=%3 y1=%4 y2=%4 /><text class=tick x=%5 y=%6>%7</text>")
                   .arg(cls).arg(x).arg(x + 22).arg(Height - 14).arg(x + 26).arg(Height - 10).arg(escaped(text));
        x += 30 + 7 * int(text.size());
    };
    for (const QString &power : {QStringLiteral("high"), QStringLiteral("low")}) {
        if (!in.before.isEmpty())
            entry(QStringLiteral("key before ") + power, power + u' ' + in.beforeName);
        if (!in.after.isEmpty())
            entry(QStringLiteral("key after ") + power, power + u' ' + in.afterName);
    }
    if (in.median)
        entry(QStringLiteral("key median"), QStringLiteral("fleet median"));
    return svg;
}

QString cell(const QByteArray &block, int index)
{
    return block.size() == 16 ? QString::number(quint8(block[index])) : QString();
}

QString dataTable(const PlotInput &in)
{
    QString html = QStringLiteral("<table class=plotdata><caption>The values plotted</caption><thead><tr><th>MHz</th>");
    for (const QString &power : {QStringLiteral("High"), QStringLiteral("Low")}) {
        if (!in.before.isEmpty())
            html += QStringLiteral("<th>%1<br>%2</th>").arg(power, escaped(in.beforeName));
        if (!in.after.isEmpty())
            html += QStringLiteral("<th>%1<br>%2</th>").arg(power, escaped(in.afterName));
        if (in.median)
            html += QStringLiteral("<th>%1<br>fleet median</th>").arg(power);
    }
    html += QStringLiteral("</tr></thead><tbody>");
    for (int p = 0; p < 6; ++p) {
        html += QStringLiteral("<tr><th>%1</th>").arg(Frequencies[p]);
        for (int low = 0; low < 2; ++low) {
            const int index = 2 * p + low;
            if (!in.before.isEmpty())
                html += QStringLiteral("<td>%1</td>").arg(cell(in.before, index));
            if (!in.after.isEmpty())
                html += QStringLiteral("<td>%1</td>").arg(cell(in.after, index));
            if (in.median)
                html += QStringLiteral("<td>%1</td>").arg((*in.median)[index]);
        }
        html += QStringLiteral("</tr>");
    }
    return html + QStringLiteral("</tbody></table>");
}

} // namespace

QString calibrationPlot(const PlotInput &in)
{
    const Scale s = scaleFor(in);
    QString svg = QStringLiteral("<svg class=plot viewBox=\"0 0 %1 %2\" width=%1 height=%2 role=img"
                                 " aria-labelledby=plot-title xmlns=\"http://www.w3.org/2000/svg\">"
                                 "<title id=plot-title>%3</title>")
                      .arg(Width).arg(Height).arg(escaped(in.title));
    svg += axes(s);
    for (bool low : {false, true}) {
        if (in.median)
            svg += medianBand(s, *in.median, low);
        if (in.before.size() == 16)
            svg += series(s, in.before, low, QStringLiteral("before"));
        if (in.after.size() == 16)
            svg += series(s, in.after, low, QStringLiteral("after"));
    }
    svg += legend(in) + QStringLiteral("</svg>");
    return QStringLiteral("<div class=plotbox><figure><figcaption>%1</figcaption>%2</figure>%3</div>")
        .arg(escaped(in.title), svg, dataTable(in));
}

} // namespace Web
