#pragma once
// Every station's ports and how their exchanges ended over the last day and
// the last week. A failing cable shows as one port whose exchanges end
// unanswered or cut off far more often than those of its station's others.

#include "web/Page.h"

#include <QDateTime>
#include <QUrlQuery>

namespace Web {

// When a port is flagged, over the week: it made at least MinExchanges
// exchanges and the station's other ports together as many; at least
// MinShare of the port's ended no-reply or link-lost; and that share is more
// than Factor times the other ports' share together.
struct CableRule {
    static constexpr int MinExchanges = 10;
    static constexpr double MinShare = 0.2;
    static constexpr double Factor = 2;
};

// Parameters: `at`, an ISO-8601 time the day and the week end at (UTC
// unless it says otherwise; default `now`); `station`, one station only.
Page stationsPage(const Source &source, const QUrlQuery &query, const QDateTime &now);

} // namespace Web
