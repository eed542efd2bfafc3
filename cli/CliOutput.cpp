#include "cli/CliOutput.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>

namespace CliOutput {

namespace {

// JSON's escapes for a string; a history listing has many of them.
QByteArray quoted(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    out.reserve(utf8.size() + 2);
    out += '"';
    for (const char c : utf8) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (std::uint8_t(c) < 0x20)
                out += "\\u00" + QByteArray::number(std::uint8_t(c), 16).rightJustified(2, '0');
            else
                out += c;
        }
    }
    return out + '"';
}

} // namespace

QByteArray jsonText(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Null: return "null";
    case QJsonValue::Bool: return value.toBool() ? "true" : "false";
    case QJsonValue::String: return quoted(value.toString());
    case QJsonValue::Double:
        if (const double d = value.toDouble(); d == std::floor(d) && std::abs(d) < 1e15)
            return QByteArray::number(qint64(d));
        break;
    default: break;
    }
    const QByteArray wrapped = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return wrapped.mid(1, wrapped.size() - 2);
}

JsonObject &JsonObject::add(const QString &key, const QJsonValue &value)
{
    m_members.append({key, jsonText(value)});
    return *this;
}

JsonObject &JsonObject::add(const QString &key, const JsonObject &object)
{
    m_members.append({key, object.toJson()});
    return *this;
}

JsonObject &JsonObject::append(const JsonObject &other)
{
    m_members += other.m_members;
    return *this;
}

QByteArray JsonObject::toJson() const
{
    QByteArray out = "{";
    for (qsizetype i = 0; i < m_members.size(); ++i) {
        if (i)
            out += ", ";
        out += jsonText(m_members[i].first) + ": " + m_members[i].second;
    }
    return out + '}';
}

QByteArray jsonLines(const QList<JsonObject> &items)
{
    QByteArrayList lines;
    for (const JsonObject &item : items)
        lines << item.toJson();
    return lines.join('\n');
}

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
