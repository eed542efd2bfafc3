#pragma once
// How the pages read the history, the same way locally and on the server:
// one statement with its values bound, and times compared as each database
// keeps them.

#include "base/Result.h"
#include "web/Page.h"

#include <QDateTime>
#include <QSqlQuery>
#include <QVariantList>

namespace Web {

enum class ReadKind { Unreadable };

// Runs `sql`, forward only, with `values` bound in order to its ? marks.
Result<QSqlQuery, ReadKind> selected(const Source &source, const QString &sql, const QVariantList &values);

// A bound time to compare with the column `time`: "?" locally, where times
// are ISO-8601 text in UTC, a cast to timestamptz on the server.
QString timeMark(const Source &source);
QVariant timeValue(const QDateTime &time);

} // namespace Web
