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

} // namespace

QStringList NaturalOrder(QStringList paths)
{
    std::stable_sort(paths.begin(), paths.end(), naturalLess);
    return paths;
}

QString DevicePathFor(int port, const std::function<QString(const QString &)> &env,
                      const std::function<QStringList()> &systemPorts, bool windows)
{
    bool anyMapped = false;
    for (int n = FirstPort; n <= LastPort && !anyMapped; ++n)
        anyMapped = !env(envName(n)).isEmpty();
    if (anyMapped)
        return port >= FirstPort && port <= LastPort ? env(envName(port)) : QString();
    if (port < FirstPort)
        return {};
    if (windows)
        return windowsName(port);
    const QStringList ordered = NaturalOrder(systemPorts());
    return port <= ordered.size() ? ordered[port - 1] : QString();
}

QString DevicePath(int port)
{
#ifdef Q_OS_WIN
    const bool windows = true;
#else
    const bool windows = false;
#endif
    const auto env = [](const QString &name) { return qEnvironmentVariable(name.toLatin1().constData()); };
    // Listed once per run: numbers keep naming the devices the port list
    // showed even when a cable is plugged in later, and the start-up probe
    // does not walk the system's devices sixteen times.
    const auto systemPorts = [] {
        static const QStringList paths = [] {
            QStringList found;
            for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
                found << info.systemLocation();
            return found;
        }();
        return paths;
    };
    return DevicePathFor(port, env, systemPorts, windows);
}

} // namespace PortMap
