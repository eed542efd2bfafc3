#include "serial/PortMap.h"

#include <QSerialPortInfo>
#include <algorithm>

namespace PortMap {

namespace {

QString envName(int port) { return QStringLiteral("CALITUNE_COM%1").arg(port); }

QString windowsName(int port)
{
    // COM10 and above exist only in the device namespace.
    if (port >= 10 && port <= 16)
        return QStringLiteral("\\\\.\\COM%1").arg(port);
    return QStringLiteral("COM%1").arg(port);
}

// Compares embedded runs of digits by value, everything else by character.
bool naturalLess(const QString &a, const QString &b)
{
    qsizetype i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            const qsizetype si = i, sj = j;
            while (i < a.size() && a[i].isDigit()) ++i;
            while (j < b.size() && b[j].isDigit()) ++j;
            QStringView da = QStringView(a).mid(si, i - si), db = QStringView(b).mid(sj, j - sj);
            while (da.size() > 1 && da.front() == u'0') da = da.mid(1);
            while (db.size() > 1 && db.front() == u'0') db = db.mid(1);
            if (da.size() != db.size())
                return da.size() < db.size();
            if (const int c = da.compare(db); c != 0)
                return c < 0;
        } else {
            if (a[i] != b[j])
                return a[i] < b[j];
            ++i, ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

std::optional<QString> processEnv(const QString &name)
{
    const QByteArray key = name.toLatin1();
    if (!qEnvironmentVariableIsSet(key.constData()))
        return std::nullopt;
    return qEnvironmentVariable(key.constData());
}

bool onWindows()
{
#ifdef Q_OS_WIN
    return true;
#else
    return false;
#endif
}

QStringList systemDevices()
{
    QStringList found;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        found << (onWindows() ? info.portName() : info.systemLocation());
    return found;
}

// Listed once at first use and again only on Refresh(): the start-up probe
// does not walk the system's devices sixteen times.
Numbering &systemNumbering()
{
    static Numbering numbering = [] {
        Numbering n;
        if (!onWindows())
            n.update(systemDevices());
        return n;
    }();
    return numbering;
}

} // namespace

QStringList NaturalOrder(QStringList paths)
{
    std::stable_sort(paths.begin(), paths.end(), naturalLess);
    return paths;
}

void Numbering::update(const QStringList &present)
{
    m_present = present;
    for (const QString &device : NaturalOrder(present))
        if (!m_devices.contains(device))
            m_devices << device;
}

QString Numbering::device(int port) const
{
    return port >= FirstPort && port <= m_devices.size() ? m_devices[port - 1] : QString();
}

bool Numbering::isPresent(int port) const
{
    const QString d = device(port);
    return !d.isEmpty() && m_present.contains(d);
}

bool AnyMapped(const EnvLookup &env)
{
    for (int n = FirstPort; n <= LastPort; ++n)
        if (env(envName(n)))
            return true;
    return false;
}

QString DevicePathFor(int port, const EnvLookup &env, const Numbering &system, bool windows)
{
    if (port < FirstPort || port > LastPort)
        return {};
    if (AnyMapped(env))
        return env(envName(port)).value_or(QString());
    if (windows)
        return windowsName(port);
    return system.device(port);
}

QString DevicePath(int port)
{
    // A mapping names every port itself: the system's devices need no walk.
    static const Numbering none;
    const bool listSystem = !onWindows() && !AnyMapped(processEnv);
    return DevicePathFor(port, processEnv, listSystem ? systemNumbering() : none, onWindows());
}

QList<Port> Refresh()
{
    QList<Port> ports;
    const bool mapped = AnyMapped(processEnv);
    if (mapped) {
        for (int n = FirstPort; n <= LastPort; ++n)
            if (const QString d = DevicePath(n); !d.isEmpty())
                ports.append({n, d});
        return ports;
    }
    const QStringList present = systemDevices();
    if (onWindows()) {
        for (int n = FirstPort; n <= LastPort; ++n)
            if (present.contains(QStringLiteral("COM%1").arg(n)))
                ports.append({n, windowsName(n)});
        return ports;
    }
    Numbering &numbering = systemNumbering();
    numbering.update(present);
    for (int n = FirstPort; n <= LastPort; ++n)
        if (numbering.isPresent(n))
            ports.append({n, numbering.device(n)});
    return ports;
}

} // namespace PortMap
