#pragma once
// Which device a port number names. CALITUNE_COM1 ... CALITUNE_COM16 map
// numbers to device paths; when any is set (even empty), only the non-empty
// ones exist. Otherwise Windows uses its own COMn, and elsewhere COM1, COM2 ...
// name the system's serial devices: in natural order at the first listing
// (ttyUSB2 before ttyUSB10), and a device keeps its number for the whole run.

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

namespace PortMap {

inline constexpr int FirstPort = 1;
inline constexpr int LastPort = 16;

// Device path or name for QSerialPort; empty when the number names no port.
QString DevicePath(int port);

struct Port {
    int number;
    QString device;
};
// Lists the system's devices again (a cable may have come or gone) and
// returns the ports that exist now, in number order.
QList<Port> Refresh();

// Numbers for the system's devices. Devices new at one update take the
// lowest numbers never given out, in natural order among themselves; a
// device that goes away keeps its number for when it comes back.
class Numbering {
public:
    void update(const QStringList &present);
    QString device(int port) const;      // also for a device now gone
    bool isPresent(int port) const;
private:
    QStringList m_devices;               // index = number - 1
    QStringList m_present;
};

// The rule on explicit inputs, for tests: `env` looks up a variable
// (nothing when unset).
using EnvLookup = std::function<std::optional<QString>(const QString &)>;
QString DevicePathFor(int port, const EnvLookup &env, const Numbering &system, bool windows);
// Whether any CALITUNE_COMn is set, even empty.
bool AnyMapped(const EnvLookup &env);

// Sorts device paths so that embedded numbers compare by value.
QStringList NaturalOrder(QStringList paths);

} // namespace PortMap
