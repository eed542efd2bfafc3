#pragma once
// Tables as CSV for spreadsheets: every field quoted, and a text that a
// spreadsheet would run as a formula made plain text.

#include <QString>
#include <QStringList>

namespace Web {

// One line, ended by CR LF. A field starting with =, +, -, @, a tab or a
// carriage return gets a leading apostrophe, so that a label such as
// "=HYPERLINK(…)" is shown, never run.
QString csvLine(const QStringList &fields);

} // namespace Web
