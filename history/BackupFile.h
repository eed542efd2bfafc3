#pragma once
// A calibration block saved to a file, to be written back to a radio later.
// The file is JSON carrying the block twice (raw hex and named values) and
// a SHA-256 of the block, so that a damaged or hand-edited file is refused.

#include "protocol/CalibrationBlock.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <optional>

namespace History {

struct Backup {
    QByteArray block;   // 16 bytes as read from the radio
    QDateTime taken;    // UTC
    QString port, device;
    friend bool operator==(const Backup &, const Backup &) = default;
};

namespace BackupFile {

QByteArray toJson(const Backup &);
std::optional<Backup> parse(const QByteArray &json, QString *error);

// Whether a file could be saved at path, checked before the radio is touched.
bool canWrite(const QString &path, QString *error);
// Replaces path only once the whole file is written.
bool save(const QString &path, const Backup &, QString *error);
bool load(const QString &path, Backup &, QString *error);

} // namespace BackupFile
} // namespace History
