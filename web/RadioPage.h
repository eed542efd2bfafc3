#pragma once
// A radio's page: its story across the stations, oldest first, with the
// twelve values before and after each write, and a plot of a chosen write
// (?write=ID, the latest by default) against the fleet's median.

#include "web/Page.h"

#include <QUrlQuery>

namespace Web {

// ?id=LABEL or ?id=FINGERPRINT; `radioPrefix` as the station labels radios.
Page radioPage(const Source &source, const QUrlQuery &query, const QString &radioPrefix);

} // namespace Web
