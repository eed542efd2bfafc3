#pragma once
// Text and JSON as the command line prints them. JSON objects keep their
// members in the order added (block order for the values), which QJsonObject
// would sort away.

#include "protocol/CalibrationBlock.h"

#include <QByteArray>
#include <QJsonValue>
#include <QList>
#include <QPair>
#include <QString>
#include <optional>

namespace CliOutput {

class JsonObject {
public:
    JsonObject &add(const QString &key, const QJsonValue &value);
    JsonObject &add(const QString &key, const JsonObject &object);
    JsonObject &append(const JsonObject &other);
    QByteArray toJson() const;   // one line

private:
    QList<QPair<QString, QByteArray>> m_members;   // value already as JSON text
};

// JSON Lines: one object a line (no newline after the last); empty for none.
QByteArray jsonLines(const QList<JsonObject> &items);
QByteArray jsonText(const QJsonValue &value);

QString hex(const QByteArray &bytes);
QString hex(const BlockBytes &block);
QJsonValue hexOrNull(const std::optional<QByteArray> &bytes);
QJsonValue textOrNull(const QString &text);   // null when empty

// The twelve values as rows "high"/"low" under the six frequencies; a byte
// above 127 is marked, with a note below the table.
QString valueTable(const BlockBytes &block);
JsonObject valueObject(const BlockBytes &block);

} // namespace CliOutput
