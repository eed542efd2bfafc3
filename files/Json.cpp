#include "files/Json.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>

namespace Json {

// A history listing has many of them: by hand, not through QJsonDocument.
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

QByteArray text(const QJsonValue &value)
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

Object &Object::add(const QString &key, const QJsonValue &value)
{
    m_members.push_back({key, text(value), {}, false});
    return *this;
}

Object &Object::add(const QString &key, const Object &object)
{
    m_members.push_back({key, {}, object.m_members, true});
    return *this;
}

Object &Object::append(const Object &other)
{
    m_members.insert(m_members.end(), other.m_members.begin(), other.m_members.end());
    return *this;
}

// level < 0: all on one line.
QByteArray Object::written(const std::vector<Member> &members, int level)
{
    const bool oneLine = level < 0;
    const QByteArray indent = oneLine ? QByteArray() : QByteArray(4 * (level + 1), ' ');
    QByteArray out = oneLine ? "{" : "{\n";
    for (std::size_t i = 0; i < members.size(); ++i) {
        const Member &m = members[i];
        if (i && oneLine)
            out += ", ";
        out += indent;
        out += quoted(m.key);
        out += ": ";
        out += m.isObject ? written(m.members, oneLine ? -1 : level + 1) : m.value;
        if (!oneLine)
            out += i + 1 < members.size() ? ",\n" : "\n";
    }
    return out + (oneLine ? QByteArray() : QByteArray(4 * level, ' ')) + '}';
}

QByteArray Object::toJson() const { return written(m_members, -1); }

QByteArray Object::toIndented() const { return written(m_members, 0); }

QByteArray lines(const QList<Object> &items)
{
    QByteArrayList all;
    for (const Object &item : items)
        all << item.toJson();
    return all.join('\n');
}

} // namespace Json
