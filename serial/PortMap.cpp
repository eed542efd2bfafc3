#include "serial/PortMap.h"
#include "serial/basComm.h"

#include <QFileInfo>
#include <QSerialPortInfo>
#include <algorithm>

namespace PortMap {

namespace {

QString envName(int port) { return QStringLiteral("CALITUNE_COM%1").arg(port); }

QString windowsName(int port)
{
    // COM10 and above exist only in the device namespace.
    if (port >= 10 && port <= 16)
        return QStringLiteral("\\\\.\\") + PortName(port);
    return PortName(port);
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

bool onWindows()
{
#ifdef Q_OS_WIN
    return true;
#else
    return false;
#endif
}

QString deviceOf(const QSerialPortInfo &info)
{
    return onWindows() ? info.portName() : info.systemLocation();
}

QStringList devicesOf(const QList<QSerialPortInfo> &infos)
{
    QStringList found;
    for (const QSerialPortInfo &info : infos)
        found << deviceOf(info);
    return found;
}

Port portAt(int number, const QString &device)
{
    Port port;
    port.number = number;
    port.device = device;
    return port;
}

// Adds what the system knows of each port's adapter; a mapped path may be a
// link to the device the system lists.
void describe(QList<Port> &ports, const QList<QSerialPortInfo> &infos)
{
    for (Port &port : ports) {
        const QString target = QFileInfo(port.device).canonicalFilePath();
        for (const QSerialPortInfo &info : infos) {
            const bool same = deviceOf(info) == port.device || deviceOf(info) == target
                              || (onWindows() && deviceOf(info) == PortName(port.number));
            if (!same)
                continue;
            port.description = info.description();
            port.manufacturer = info.manufacturer();
            port.serialNumber = info.serialNumber();
            if (info.hasVendorIdentifier())
                port.vendorId = info.vendorIdentifier();
            if (info.hasProductIdentifier())
                port.productId = info.productIdentifier();
        }
    }
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

QString PortName(int port) { return QStringLiteral("COM%1").arg(port); }

QString AdapterText(const Port &port)
{
    const auto hexId = [](quint16 id) { return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0')); };
    QStringList facts;
    if (!port.manufacturer.isEmpty())
        facts << port.manufacturer;
    if (port.vendorId && port.productId)
        facts << hexId(*port.vendorId) + QLatin1Char(':') + hexId(*port.productId);
    if (!port.serialNumber.isEmpty())
        facts << QStringLiteral("serial ") + port.serialNumber;
    if (facts.isEmpty())
        return port.description;
    return (port.description.isEmpty() ? QString() : port.description + QLatin1Char(' '))
           + QLatin1Char('(') + facts.join(QStringLiteral(", ")) + QLatin1Char(')');
}

std::optional<QString> ProcessEnvironment(const QString &name)
{
    const QByteArray key = name.toLatin1();
    if (!qEnvironmentVariableIsSet(key.constData()))
        return std::nullopt;
    return qEnvironmentVariable(key.constData());
}

Map::Map(EnvLookup env) : m_env(std::move(env)) {}

// Listed at the first look-up, not sixteen times by a start-up probe; a
// mapping names every port itself, so then the system's devices need no walk.
void Map::listOnce()
{
    if (m_listed || onWindows() || AnyMapped(m_env))
        return;
    m_system.update(devicesOf(QSerialPortInfo::availablePorts()));
    m_listed = true;
}

QString Map::devicePath(int port)
{
    listOnce();
    return DevicePathFor(port, m_env, m_system, onWindows());
}

QList<Port> Map::refresh()
{
    const QList<QSerialPortInfo> infos = QSerialPortInfo::availablePorts();
    const QStringList present = devicesOf(infos);
    QList<Port> ports;
    if (AnyMapped(m_env)) {
        for (int n = FirstPort; n <= LastPort; ++n)
            if (const QString d = devicePath(n); !d.isEmpty())
                ports.append(portAt(n, d));
    } else if (onWindows()) {
        for (int n = FirstPort; n <= LastPort; ++n)
            if (present.contains(PortName(n)))
                ports.append(portAt(n, windowsName(n)));
    } else {
        m_system.update(present);
        m_listed = true;
        for (int n = FirstPort; n <= LastPort; ++n)
            if (m_system.isPresent(n))
                ports.append(portAt(n, m_system.device(n)));
    }
    describe(ports, infos);
    return ports;
}

QList<Port> Map::numbered()
{
    if (!mapped())
        return refresh();
    QList<Port> ports;
    for (int n = FirstPort; n <= LastPort; ++n)
        if (const QString d = devicePath(n); !d.isEmpty())
            ports.append(portAt(n, d));
    return ports;
}

QList<Port> Map::probe()
{
    QList<Port> ports = refresh();
    for (Port &port : ports)
        port.available = basComm::ComPort::open(port.device).ok();
    return ports;
}

} // namespace PortMap
