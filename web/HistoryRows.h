#pragma once
// What the pages over the history's records share: reading a record's time
// on either database, and writing its texts, blocks and links.

#include "web/Page.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonValue>
#include <QStringList>
#include <QVariant>
#include <optional>

namespace Web {

// The SQL expression of a record's time that timeOf reads back.
QString timeColumn(const Source &source);
QDateTime timeOf(const QVariant &value, const Source &source);
QString shownTime(const QDateTime &time);   // "2026-12-08 14:31:11 UTC"
QString isoTime(const QDateTime &time);     // for JSON and CSV

// "window" or "command line", from the record's source column.
QString whoName(const QString &source);

// The twelve values of a 16-byte block as a JSON array; null for no block.
QJsonValue valuesJson(const QByteArray &block);

// A radio's page, for an href (escaped).
QString radioHref(const QString &id);

// A page that says what went wrong, as HTML and JSON; `message` is plain text.
Page errorPage(int status, const QString &title, const QString &message);


} // namespace Web
