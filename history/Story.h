#pragma once
// A radio's story: every record of it, at every station that kept one. The
// label names records; those records give the radio's fingerprints, and the
// fingerprints give its records of any label or none, read before it was
// labelled or at a station that labels otherwise. The local history and the
// factory's server ask the same question in the same words, here.

#include <QString>
#include <QVariantList>

namespace History::Story {

struct Query {
    QString condition;     // for WHERE, over the columns id, radio and fingerprint
    QVariantList values;   // bound in order to its ? placeholders
};

// `id`: a label, or 8 hex digits (a fingerprint, and a label too: a station
// may label radios so); `prefix`: the station's radio prefix; `table`: the
// records table as the database names it.
Query of(const QString &id, const QString &prefix, const QString &table);

} // namespace History::Story
