#pragma once
// Where a record waits when the database could not be had in time: a file
// beside it, one JSON object a line, merged by the next prepare(). Internal
// to the history store.
// Appenders and the merger share an exclusive lock; the merger renames the
// spool aside under it, so that no line falls between.

#include "history/Record.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QList>
#include <QString>

namespace History::Spool {

QByteArray recordLine(const Record &record);       // the whole record, uid included
QByteArray completionLine(const Record &record);   // uid and what a completion stores

// Appends one line, flushed to disk before it returns.
bool append(const QString &path, const QByteArray &line, const QDeadlineTimer &deadline,
            QString &error);

// Renames the spool to `aside`; `moved` is false when there was none.
bool moveAside(const QString &path, const QString &aside, const QDeadlineTimer &deadline,
               bool &moved, QString &error);

struct Entries {
    QList<Record> records;
    QList<Record> completions;   // only uid and what a completion stores are set
    int unreadable = 0;          // lines torn by a crash, or not ours
};
// A file that is gone was merged by someone else: it adds nothing.
bool read(const QString &file, Entries &entries, QString &error);

} // namespace History::Spool
