#include "history/Record.h"
#include "history/StationConfig.h"

#include <QRegularExpression>

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

QString fingerprintOf(const QByteArray &block) { return QString::fromLatin1(block.mid(12, 4).toHex()); }

bool isFingerprint(const QString &text)
{
    static const QRegularExpression eightHex(QStringLiteral("^[0-9a-fA-F]{8}$"));
    return eightHex.match(text).hasMatch();
}

std::optional<QString> fingerprintOf(const Record &record)
{
    if (!record.before || record.before->size() != 16)
        return std::nullopt;
    return fingerprintOf(*record.before);
}

QStringList sameRadioLabels(const QString &label, const QString &prefix)
{
    if (prefix.isEmpty() || label.isEmpty())
        return {label};
    if (label.startsWith(prefix) && label.size() > prefix.size())
        return {label, label.mid(prefix.size())};
    return {label, prefix + label};
}

} // namespace History
