#pragma once
// JSON as this program writes it, for the command line's --json and the
// backup file alike. Objects keep their members in the order added (block
// order for the values), which QJsonObject would sort away.

#include <QByteArray>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <vector>

namespace Json {

QByteArray quoted(const QString &text);     // a JSON string, escapes and all
QByteArray text(const QJsonValue &value);   // whole numbers without a fraction

class Object {
public:
    Object &add(const QString &key, const QJsonValue &value);
    Object &add(const QString &key, const Object &object);
    Object &append(const Object &other);
    QByteArray toJson() const;       // one line: {"a": 1, "b": {"c": 2}}
    QByteArray toIndented() const;   // a member a line, four spaces a level

private:
    struct Member {
        QString key;
        QByteArray value;              // as JSON text, unless it is an object
        std::vector<Member> members;   // the object's
        bool isObject = false;
    };
    static QByteArray written(const std::vector<Member> &members, int level);
    std::vector<Member> m_members;
};

// JSON Lines: one object a line (no newline after the last); empty for none.
QByteArray lines(const QList<Object> &items);

} // namespace Json
