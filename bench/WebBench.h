#pragma once
// Times the web view's station and fleet pages on a history of 10,000
// radios, locally and on the factory's server, and 50 clients at once
// against the built calitune-web.

#include <QDateTime>
#include <QString>

namespace WebBench {

// The local history's rows, and the clients' row when calitune-web is
// built; throws std::runtime_error when a page fails.
void run();

// The pages on a server already filled (ServerBench's million records), on a
// connection of its own; `now`: the newest record's time.
bool serverRows(const QString &conninfo, const QDateTime &now);

} // namespace WebBench
