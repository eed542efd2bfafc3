#pragma once
// A radio's story: every record of it, at every station that kept one. The
// label names records; those records give the radio's fingerprints, and the
// fingerprints give its records of any label or none, read before it was
// labelled or at a station that labels otherwise. The local history, the
// factory's server and the web view ask the same question in the same words, here.

#include "base/Result.h"

#include <QString>
#include <QVariantList>

class QSqlQuery;

namespace History::Story {

struct Query {
    QString condition;     // for WHERE, over the columns radio and fingerprint
    QVariantList values;   // bound in order to its ? placeholders
};

enum class Kind { Unreadable };

// Asked in two steps: the label's fingerprints are read first (on `q`, whose
// database the story is read from), so that the condition names them and the
// database plans the look-up knowing how few they are. (In one statement
// PostgreSQL guesses the fingerprints of a well-used label at thousands of
// records and reads the whole table.) On failure q.lastError() says why.
// `id`: a label, or 8 hex digits (a fingerprint, and a label too: a station
// may label radios so); `prefix`: the station's radio prefix; `table`: the
// records table as the database names it.
Result<Query, Kind> of(QSqlQuery &q, const QString &id, const QString &prefix, const QString &table);

} // namespace History::Story
