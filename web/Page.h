#pragma once
// What a page of the web view hands the server: a title and body for the
// browser, the same facts as JSON, and a table as CSV where it has one. The
// server adds the frame, the headers and the format the request asked for.

#include <QJsonValue>
#include <QString>
#include <QStringView>

namespace Web {

// Where pages read: a Qt SQL connection opened by the server in the thread
// that calls the page, and how that database names its records.
struct Source {
    QString connection;   // for QSqlDatabase::database(connection, false)
    QString table;        // "records" locally, "calitune.records" on the server
    bool server = false;  // PostgreSQL: time is timestamptz, id is the server's
};

struct Page {
    int status = 200;     // 400 for a bad parameter, the body saying which
    QString title;        // plain text; the server escapes it
    QString html;         // the body, every text from the history escaped
    QJsonValue json;      // ?format=json
    QString csv;          // ?format=csv; empty when the page has no table
};

// For HTML text and attribute values alike.
QString escaped(QStringView text);

} // namespace Web
