#include "cli/CliOutput.h"

namespace CliOutput {

QString hex(const QByteArray &bytes) { return QString::fromLatin1(bytes.toHex()); }

QString hex(const BlockBytes &block) { return hex(BlockToBytes(block)); }

QJsonValue hexOrNull(const std::optional<QByteArray> &bytes)
{
    return bytes ? QJsonValue(hex(*bytes)) : QJsonValue(QJsonValue::Null);
}

QJsonValue textOrNull(const QString &text) { return text.isEmpty() ? QJsonValue() : QJsonValue(text); }

QString valueTable(const BlockBytes &block)
{
    constexpr int Points = PowerValueCount / 2;
    static const char *const frequencies[Points] = {"400", "420", "440", "460", "480", "520"};
    QString out = QStringLiteral("%1").arg(QString(), -5);
    for (const char *f : frequencies)
        out += QStringLiteral("%1").arg(QLatin1String(f), 6);
    out += QStringLiteral(" MHz\n");
    bool above = false;
    for (int row = 0; row < 2; ++row) {
        out += QStringLiteral("%1").arg(row == 0 ? QStringLiteral("high") : QStringLiteral("low"), -5);
        for (int p = 0; p < Points; ++p) {
            const int v = block[std::size_t(2 * p + row)];
            const bool mark = v > 127;
            above = above || mark;
            out += QStringLiteral("%1%2").arg(v, mark ? 5 : 6).arg(mark ? QStringLiteral("*") : QString());
        }
        out += QLatin1Char('\n');
    }
    if (above)
        out += QStringLiteral("* above 127: the window shows 127\n");
    return out;
}

JsonObject valueObject(const BlockBytes &block)
{
    JsonObject values;
    for (int i = 0; i < PowerValueCount; ++i)
        values.add(QLatin1String(ValueNames[i]), int(block[std::size_t(i)]));
    return values;
}

} // namespace CliOutput
