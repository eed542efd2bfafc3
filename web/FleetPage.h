#pragma once
// The spread of each of the twelve values over the latest block of every radio.

#include "web/Page.h"

#include <QUrlQuery>

Web::Page fleetPage(const Web::Source &, const QUrlQuery &);
