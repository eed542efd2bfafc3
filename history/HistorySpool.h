#pragma once
// Where a record waits when the database could not be had in time: a file
// beside it, one JSON object a line, merged by the next prepare(). Internal
// to the history store.
// Appenders and the merger share an exclusive lock; the merger renames the
// spool aside under it, so that no line falls between.

#include "base/Result.h"
#include "history/Record.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QList>
#include <QString>

namespace History::Spool {

QByteArray recordLine(const Record &record);       // the whole record, uid included
QByteArray completionLine(const Record &record);   // uid and what a completion stores

enum class Error {
    Locked,   // another program held it past the deadline
    NotOurs,  // a link, or not a regular file of this user's: left alone
    Io,       // the system refused to open, read, write or rename it
};

// Appends one line, flushed to disk before it returns.
Result<void, Error> append(const QString &path, const QByteArray &line, const QDeadlineTimer &deadline);

// Renames the spool to `aside`: false when there was none.
Result<bool, Error> moveAside(const QString &path, const QString &aside, const QDeadlineTimer &deadline);

struct Entries {
    QList<Record> records;
    QList<Record> completions;   // only uid and what a completion stores are set
    int unreadable = 0;          // lines torn by a crash, or not ours
};
// Adds a file's entries; one that is gone was merged by someone else and adds nothing.
Result<void, Error> read(const QString &file, Entries &entries);

} // namespace History::Spool
