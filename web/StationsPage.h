#pragma once
// Per station and port, the exchanges of the last day and week by outcome.

#include "web/Page.h"

#include <QDateTime>
#include <QUrlQuery>

Web::Page stationsPage(const Web::Source &, const QUrlQuery &, const QDateTime &now);
