#include "cli/Targets.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

namespace Cli {

namespace {

// "3", "COM3", "com3".
const QRegularExpression &numberedPort()
{
    static const QRegularExpression pattern(QStringLiteral("^(?:COM)?([0-9]{1,4})$"),
                                            QRegularExpression::CaseInsensitiveOption);
    return pattern;
}

QString portList(const QList<PortMap::Port> &ports)
{
    QStringList items;
    for (const PortMap::Port &p : ports)
        items << QStringLiteral("%1 (%2)").arg(PortMap::PortName(p.number), p.device);
    return items.join(QStringLiteral(", "));
}

Checked<QList<Target>> theOnlyPort(PortMap::Map &ports)
{
    const QList<PortMap::Port> exist = ports.refresh();
    if (exist.size() == 1)
        return QList<Target>{Target{PortMap::PortName(exist[0].number), exist[0].device}};
    if (exist.isEmpty())
        return UsageError(QStringLiteral("no serial port exists; plug in the programming cable or give --port"));
    return UsageError(QStringLiteral("%1 ports exist, choose one with --port: %2")
                          .arg(exist.size())
                          .arg(portList(exist)));
}

Checked<QList<Target>> everyPort(PortMap::Map &ports)
{
    QList<Target> targets;
    for (const PortMap::Port &p : ports.numbered())
        targets << Target{PortMap::PortName(p.number), p.device};
    if (targets.isEmpty())
        return Failure{Refusal{PortNotOpened, QStringLiteral("port")},
                       QStringLiteral("--port all: no serial port exists; plug in the programming cable")};
    return targets;
}

enum class NoPort { NumberOutOfRange, NotAPort };

// One item of --port, or why it names no port.
Result<Target, NoPort> oneTarget(const QString &given, PortMap::Map &ports)
{
    if (const QRegularExpressionMatch m = numberedPort().match(given); m.hasMatch()) {
        const int number = m.captured(1).toInt();
        if (number < PortMap::FirstPort || number > PortMap::LastPort)
            return Failure{NoPort::NumberOutOfRange, QStringLiteral("there is no port %1: ports are numbered %2 to %3")
                                                         .arg(given)
                                                         .arg(PortMap::FirstPort)
                                                         .arg(PortMap::LastPort)};
        // Only this port's entry of the map: opening the others to list them
        // would collide with runs on those ports at the same moment.
        return Target{PortMap::PortName(number), ports.devicePath(number)};
    }
#ifndef Q_OS_WIN
    if (!given.contains(QLatin1Char('/')))
        return Failure{NoPort::NotAPort,
                       QStringLiteral("\"%1\" is not a port: give a number, COMn or a device path").arg(given)};
#endif
    return Target{given, given};
}

} // namespace

Checked<QList<Target>> ChooseTargets(const QString &given, PortMap::Map &ports, bool many)
{
    if (given.isEmpty())
        return theOnlyPort(ports);
    const QStringList items = given.split(QLatin1Char(','));
    if (!many && (items.size() > 1 || given.compare(QLatin1String("all"), Qt::CaseInsensitive) == 0))
        return UsageError(QStringLiteral("this command works on one port at a time: --port %1").arg(given));
    if (given.compare(QLatin1String("all"), Qt::CaseInsensitive) == 0)
        return everyPort(ports);
    QList<Target> targets;
    QSet<QString> seen;
    for (const QString &item : items) {
        const Result<Target, NoPort> t = oneTarget(item.trimmed(), ports);
        if (!t)
            return UsageError(t.text());
        // The same radio twice would be two links fighting over one port.
        for (const QString &key : {t->name, t->device}) {
            if (!key.isEmpty() && seen.contains(key))
                return UsageError(QStringLiteral("--port names %1 twice").arg(key));
        }
        seen << t->name << t->device;
        targets << *t;
    }
    return targets;
}

bool LooksLikePort(const QString &text)
{
#ifdef Q_OS_WIN
    return numberedPort().match(text).hasMatch() || text.startsWith(QLatin1String("\\\\.\\"));
#else
    return numberedPort().match(text).hasMatch() || text.startsWith(QLatin1Char('/'));
#endif
}

namespace {

bool samePort(const Target &a, const Target &b)
{
    if (a.name.compare(b.name, Qt::CaseInsensitive) == 0 || (!a.device.isEmpty() && a.device == b.device))
        return true;
    // A link such as /dev/serial/by-id/… and the device it leads to.
    const QString canonical = QFileInfo(a.device).canonicalFilePath();
    return !canonical.isEmpty() && canonical == QFileInfo(b.device).canonicalFilePath();
}

} // namespace

Checked<void> LabelTargets(QList<Target> &targets, const QList<PortLabel> &labels, PortMap::Map &ports)
{
    QList<bool> labelled(targets.size(), false);
    for (const PortLabel &l : labels) {
        const Result<Target, NoPort> named = oneTarget(l.port, ports);
        if (!named)
            return UsageError(QStringLiteral("%1: %2").arg(l.where, named.text()));
        qsizetype at = 0;
        while (at < targets.size() && !samePort(*named, targets[at]))
            ++at;
        if (at == targets.size())
            return UsageError(QStringLiteral("%1: %2 is not one of the ports of this run").arg(l.where, l.port));
        if (labelled[at])
            return UsageError(QStringLiteral("%1: %2 is labelled twice").arg(l.where, targets[at].name));
        labelled[at] = true;
        targets[at].radio = l.label;
    }
    return {};
}

QString PortFilterName(const QString &given)
{
    if (const QRegularExpressionMatch m = numberedPort().match(given); m.hasMatch())
        return PortMap::PortName(m.captured(1).toInt());
    return given;
}

} // namespace Cli
