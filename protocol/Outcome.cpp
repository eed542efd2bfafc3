#include "protocol/Outcome.h"

#include <array>
#include <utility>

namespace {

constexpr std::array<std::pair<Outcome, const char *>, 10> Names{{
    {Outcome::Done, "done"},
    {Outcome::PortNotOpened, "port"},
    {Outcome::NoReply, "no-reply"},
    {Outcome::OtherReply, "other-reply"},
    {Outcome::LinkLost, "link-lost"},
    {Outcome::VerifyMismatch, "verify"},
    {Outcome::OtherRadio, "other-radio"},
    {Outcome::Interrupted, "interrupted"},
    {Outcome::BackupNotSaved, "file"},
    {Outcome::Unfinished, "unfinished"},
}};

} // namespace

QString OutcomeName(Outcome outcome)
{
    for (const auto &[o, name] : Names)
        if (o == outcome)
            return QString::fromLatin1(name);
    return {};
}

std::optional<Outcome> OutcomeFromName(QStringView name)
{
    for (const auto &[o, text] : Names)
        if (name == QLatin1String(text))
            return o;
    return std::nullopt;
}
