#include "cli/ValueArgs.h"

#include "files/JsonKeys.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace ValueArgs {

namespace {

Failure<Refusal> refuse(Refusal kind, const QString &why) { return {kind, why}; }

QString knownNames()
{
    QStringList names;
    for (const char *n : ValueNames)
        names << QLatin1String(n);
    return names.join(QLatin1Char(' '));
}

// Plain decimal digits only: no sign, no spaces, no fraction, no base prefix.
std::optional<std::uint8_t> valueOf(QStringView text)
{
    if (text.isEmpty())
        return std::nullopt;
    int value = 0;
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
        value = value * 10 + (c.unicode() - '0');
        if (value > MaxValue)
            return std::nullopt;
    }
    return std::uint8_t(value);
}

// A name or value as typed, fit for a one-line message.
QString shown(const QString &text)
{
    QString out;
    for (QChar c : text.left(40))
        out += c.isPrint() || c == QLatin1Char(' ') ? QString(c) : QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
    return text.size() > 40 ? out + QStringLiteral("...") : out;
}

// `given` as typed, or as a file's JSON text, where a string has its quotes already.
QString rangeError(const QString &name, const QString &given)
{
    const bool quoted = given.startsWith(QLatin1Char('"'));
    return QStringLiteral("%1: %2 is not a whole number from 0 to %3")
        .arg(name, quoted ? shown(given) : QLatin1Char('"') + shown(given) + QLatin1Char('"'))
        .arg(MaxValue);
}

// Adds one value, unless the name is unknown or repeated or the value out of range.
Result<void, Refusal> take(Values &values, const QString &name, std::optional<std::uint8_t> value,
                           const QString &given)
{
    const int i = indexOf(name);
    if (i < 0)
        return refuse(Refusal::UnknownName,
                      QStringLiteral("unknown value name \"%1\" (known: %2)").arg(shown(name), knownNames()));
    if (values[i])
        return refuse(Refusal::GivenTwice, QStringLiteral("%1 is given more than once").arg(QLatin1String(ValueNames[i])));
    if (!value)
        return refuse(Refusal::OutOfRange, rangeError(QLatin1String(ValueNames[i]), given));
    values[i] = value;
    return {};
}

Result<Values, Refusal> atLeastOne(const Values &values)
{
    for (const auto &v : values)
        if (v)
            return values;
    return refuse(Refusal::NoValue, QStringLiteral("no values given: name at least one, e.g. H400=90"));
}

// The members of a JSON object in the order written, repeated keys kept,
// each value as its source text. Only called on text that is valid JSON
// holding an object, so the scan needs to track nothing but strings and depth.
struct Member {
    QString key;
    QByteArray valueText;
};

QList<Member> membersInOrder(const QByteArray &json)
{
    QList<Member> members;
    qsizetype i = json.indexOf('{');
    if (i < 0)
        return members;
    ++i;
    const qsizetype n = json.size();
    const auto skipString = [&](qsizetype at) {   // at: the opening quote; returns past the closing one
        for (++at; at < n; ++at) {
            if (json[at] == '\\')
                ++at;
            else if (json[at] == '"')
                return at + 1;
        }
        return n;
    };
    while (i < n) {
        const qsizetype keyStart = json.indexOf('"', i);
        const qsizetype close = json.indexOf('}', i);
        if (keyStart < 0 || (close >= 0 && close < keyStart))
            break;
        const qsizetype keyEnd = skipString(keyStart);
        const QJsonArray decoded =
            QJsonDocument::fromJson('[' + json.mid(keyStart, keyEnd - keyStart) + ']').array();
        Member m{decoded.isEmpty() ? QString() : decoded.first().toString(), {}};
        qsizetype at = json.indexOf(':', keyEnd);
        if (at < 0)
            break;
        const qsizetype valueStart = ++at;
        int depth = 0;
        for (; at < n; ++at) {
            const char c = json[at];
            if (c == '"') {
                at = skipString(at) - 1;
            } else if (c == '{' || c == '[') {
                ++depth;
            } else if (c == '}' || c == ']') {
                if (depth == 0)
                    break;
                --depth;
            } else if (c == ',' && depth == 0) {
                break;
            }
        }
        m.valueText = json.mid(valueStart, at - valueStart).trimmed();
        members.append(m);
        if (at >= n || json[at] == '}')
            break;
        i = at + 1;
    }
    return members;
}

} // namespace

int indexOf(const QString &name)
{
    for (int i = 0; i < PowerValueCount; ++i)
        if (name.compare(QLatin1String(ValueNames[i]), Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

Result<Values, Refusal> parseAssignments(const QStringList &args)
{
    Values values;
    for (const QString &arg : args) {
        const qsizetype eq = arg.indexOf(QLatin1Char('='));
        if (eq < 0)
            return refuse(Refusal::NotReadable, QStringLiteral("\"%1\" is not NAME=VALUE, e.g. H400=90").arg(shown(arg)));
        const QString name = arg.left(eq);
        const QString given = arg.mid(eq + 1);
        if (const Result<void, Refusal> taken = take(values, name, valueOf(given), given); !taken)
            return taken.failure();
    }
    return atLeastOne(values);
}

Result<Values, Refusal> parseValueFile(const QByteArray &json)
{
    const Result<QJsonObject, History::JsonKeys::Refusal> object = History::JsonKeys::objectIn(json);
    if (!object)
        return refuse(Refusal::NotReadable, object.kind() == History::JsonKeys::Refusal::NotJson
                                                ? object.text()
                                                : QStringLiteral("not a JSON object of names and values, e.g. {\"H400\": 90}"));
    // QJsonObject keeps one of two equal keys silently; the scan sees both.
    const QList<Member> members = membersInOrder(json);
    if (members.size() < object->size())
        return refuse(Refusal::NotReadable, QStringLiteral("the file could not be read as an object of names and values"));
    Values values;
    for (const Member &m : members) {
        const QString given = QString::fromUtf8(m.valueText);
        if (const Result<void, Refusal> taken = take(values, m.key, valueOf(given), given); !taken)
            return taken.failure();
    }
    return atLeastOne(values);
}

} // namespace ValueArgs
