#pragma once
// The layout of the local history database: what a file turns out to hold,
// and how an empty or older one becomes the current layout. Internal to the
// history store.

#include <QSqlDatabase>
#include <QSqlError>

namespace History::Schema {

constexpr int Version = 3;
// "CALT": marks the file as a Calitune history for this program and for `file`.
constexpr int ApplicationId = 0x43414C54;

enum class Layout {
    Empty,      // a new or zero-length file
    Current,
    Version1,   // made before the file was marked, with a schema_version table
    Version2,   // marked, without the radios' fingerprints
    Newer,
    Foreign,    // another program's database, or one damaged beyond recognition
};

struct Found {
    Layout layout = Layout::Foreign;
    int version = 0;   // of a newer layout
};

// Only reads. False with the error when the file cannot be read.
bool inspect(const QSqlDatabase &db, Found &found, QSqlError &error);

// Both run inside a write transaction the caller opened.
bool create(const QSqlDatabase &db, QSqlError &error);
bool upgradeFromVersion1(const QSqlDatabase &db, QSqlError &error);
bool upgradeFromVersion2(const QSqlDatabase &db, QSqlError &error);

} // namespace History::Schema
