#pragma once
// Text and JSON as the command line prints them.

#include "files/Json.h"
#include "protocol/CalibrationBlock.h"

#include <QByteArray>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <optional>

namespace CliOutput {

using JsonObject = Json::Object;

QString hex(const QByteArray &bytes);
QString hex(const BlockBytes &block);
QJsonValue hexOrNull(const std::optional<QByteArray> &bytes);
QJsonValue textOrNull(const QString &text);   // null when empty

// The twelve values as rows "high"/"low" under the six frequencies; a byte
// above 127 is marked, with a note below the table.
QString valueTable(const BlockBytes &block);
JsonObject valueObject(const BlockBytes &block);

} // namespace CliOutput
