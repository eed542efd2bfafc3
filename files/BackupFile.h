#pragma once
// A calibration block saved to a file, to be written back to a radio later.
// The file is JSON carrying the block twice (raw hex and named values) and
// a SHA-256 of the block, so that a damaged or hand-edited file is refused.
//
// Every error is one line, meant to follow "FILE: " on the command line.

#include "base/Result.h"
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

enum class Error {
    CannotRead,   // no such file, no permission, not a regular file
    NotABackup,   // not JSON of this format, too large, or damaged
    Refused,      // a place a backup may not go, or may not replace what is there
    CannotWrite,  // writing, flushing or replacing failed; the old file stays
};

// Whether two blocks, each with its radio's label if known, are of one radio:
// the radio's own bytes 12 to 15 are the same, and so are the labels where
// both carry one. A restore and a backup over an older one ask it.
bool SameRadio(const QByteArray &block, const std::optional<QString> &label, const QByteArray &otherBlock,
               const std::optional<QString> &otherLabel);

QByteArray toJson(const Backup &);
// Refuses a key given twice anywhere; keys it does not know at the top level
// are left for newer versions of the format.
Result<Backup, Error> parse(const QByteArray &json);

// Where a backup goes: checked before the radio is touched, replaced after.
// Links are followed once, at the check; the folder they lead to is opened
// then, and the entry checked is the one replaced: one that changed since (a
// link or another file in its place) is left alone and the save refused. A
// folder, device, pipe or socket is never replaced; an existing regular file
// only if it is a Calitune backup (even a damaged one), empty, or force is set.
class Output {
public:
    static Result<Output, Error> check(const QString &path, bool force);
    Output(Output &&other) noexcept;
    Output &operator=(Output &&other) noexcept;
    ~Output();

    QString path() const { return m_path; }   // as given
    // The backup the file held at the check, when it parsed as one.
    const std::optional<Backup> &replaces() const { return m_replaces; }
    // Writes a new file beside the target, flushes it to disk and reads it
    // back before it replaces the target; on any failure the old file stays.
    Result<void, Error> save(const Backup &);

private:
    Output() = default;
    static Result<Output, Error> at(const QString &path);   // links followed
    QString m_path;
    QString m_target;   // links followed
    std::optional<Backup> m_replaces;
    int m_folder = -1;  // the target's folder, open (POSIX)
    bool m_existed = false;
    quint64 m_device = 0, m_inode = 0;
    qint64 m_changedNs = 0;   // a file made anew may reuse the inode number, never its change time
    uint m_mode = 0, m_owner = 0, m_group = 0;
};

// Whether files can be written in an existing folder: Refused, with why
// (read-only, no permission), when they cannot; success when they can, or
// when the path is no folder.
Result<void, Error> folderWritable(const QString &folder);

// check() and save() at once, with force: what may never be replaced still is not.
Result<void, Error> save(const QString &path, const Backup &);
// Refuses anything but a regular file of at most MaxFileSize, without waiting.
Result<Backup, Error> load(const QString &path);

} // namespace BackupFile
} // namespace History
