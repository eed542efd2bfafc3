#pragma once
// A calibration block saved to a file, to be written back to a radio later.
// The file is JSON carrying the block twice (raw hex and named values) and
// a SHA-256 of the block, so that a damaged or hand-edited file is refused.
//
// Every error is one line, meant to follow "FILE: " on the command line.

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
    std::optional<QString> radio = std::nullopt;   // the radio's label: 1 to 64 printable characters
    friend bool operator==(const Backup &, const Backup &) = default;
};

namespace BackupFile {

inline constexpr qint64 MaxFileSize = 1024 * 1024;

QByteArray toJson(const Backup &);
// Refuses a key given twice anywhere; keys it does not know at the top level
// are left for newer versions of the format.
std::optional<Backup> parse(const QByteArray &json, QString *error);

// Whether save() may write path, checked before the radio is touched. Links are
// followed: the file they lead to is the one checked and later replaced. A
// folder, device, pipe or socket is never replaced; an existing regular file
// only if it is a Calitune backup (even a damaged one), empty, or force is set.
bool checkOutput(const QString &path, bool force, QString *error);

// Writes a new file beside path's target, flushes it to disk and reads it back
// before it replaces the target; on any failure the old file is left as it was.
bool save(const QString &path, const Backup &, QString *error);
// Refuses anything but a regular file of at most MaxFileSize, without waiting.
bool load(const QString &path, Backup &, QString *error);

} // namespace BackupFile
} // namespace History
