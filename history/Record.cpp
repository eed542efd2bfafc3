#include "history/Record.h"
#include "history/StationConfig.h"


namespace History {

QString sourceName(Source source)
{
    return source == Source::Cli ? QStringLiteral("cli") : QStringLiteral("window");
}

QString actionName(Action action)
{
    switch (action) {
    case Action::Read: return QStringLiteral("read");
    case Action::Write: return QStringLiteral("write");
    case Action::Restore: return QStringLiteral("restore");
    case Action::Backup: return QStringLiteral("backup");
    }
    return {};
}

std::optional<Source> sourceFromName(QStringView name)
{
    for (Source s : {Source::Window, Source::Cli})
        if (name == sourceName(s))
            return s;
    return std::nullopt;
}

std::optional<Action> actionFromName(QStringView name)
{
    for (Action a : {Action::Read, Action::Write, Action::Restore, Action::Backup})
        if (name == actionName(a))
            return a;
    return std::nullopt;
}

QString stationName() { return StationConfig().station().value; }

} // namespace History
