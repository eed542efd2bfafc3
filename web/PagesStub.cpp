// Stand-ins for the station and fleet pages until they are built.
#include "web/FleetPage.h"
#include "web/StationsPage.h"

#include <QJsonObject>

Web::Page stationsPage(const Web::Source &, const QUrlQuery &, const QDateTime &)
{
    return {200, QStringLiteral("Stations"), QStringLiteral("<p>Not built yet.</p>"), QJsonObject{}, QString()};
}

Web::Page fleetPage(const Web::Source &, const QUrlQuery &)
{
    return {200, QStringLiteral("Fleet"), QStringLiteral("<p>Not built yet.</p>"), QJsonObject{}, QString()};
}
