#pragma once
// The home page: a search for a radio, by label, fingerprint or station, and
// the radios seen most recently, each linking to its own page.

#include "web/Page.h"

#include <QUrlQuery>

namespace Web {

// `radioPrefix`: the station's prefix of radio labels, which a search
// matches with and without.
Page homePage(const Source &source, const QUrlQuery &query, const QString &radioPrefix);

} // namespace Web
