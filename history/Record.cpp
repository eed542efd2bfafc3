#include "history/Record.h"
#include "settings/StationConfig.h"

#include <algorithm>
#include <cctype>

#include <array>
#include <utility>

namespace History {

namespace {

constexpr std::array<std::pair<State, const char *>, 10> StateNameTable{{
    {Outcome::Done, "done"},
    {Outcome::PortNotOpened, "port"},
    {Outcome::NoReply, "no-reply"},
    {Outcome::OtherReply, "other-reply"},
    {Outcome::LinkLost, "link-lost"},
    {Outcome::VerifyMismatch, "verify"},
    {Outcome::Refused, "other-radio"},   // the one refusal there is: another radio's block
    {Outcome::Interrupted, "interrupted"},
    {Outcome::NotKept, "file"},
    {Unfinished, "unfinished"},
}};

} // namespace

QString OutcomeName(State state)
{
    for (const auto &[s, name] : StateNameTable)
        if (s == state)
            return QString::fromLatin1(name);
    return {};
}

std::optional<State> StateFromName(QStringView name)
{
    for (const auto &[s, text] : StateNameTable)
        if (name == QLatin1String(text))
            return s;
    return std::nullopt;
}

QStringList StateNames()
{
    QStringList names;
    for (const auto &[s, name] : StateNameTable)
        names << QString::fromLatin1(name);
    return names;
}

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
    return text.size() == 8 && std::all_of(text.begin(), text.end(), [](QChar c) { return isxdigit(c.unicode()); });
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
