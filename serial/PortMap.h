#pragma once
// Which device a port number names. CALITUNE_COM1 ... CALITUNE_COM16 map
// numbers to device paths; when any is set, only those ports exist.
// Otherwise Windows uses its own COMn, and elsewhere COM1, COM2 ... name the
// system's serial devices in natural order (ttyUSB2 before ttyUSB10).

#include <QString>
#include <QStringList>
#include <functional>

namespace PortMap {

inline constexpr int FirstPort = 1;
inline constexpr int LastPort = 16;

// Device path or name for QSerialPort; empty when the number names no port.
QString DevicePath(int port);

// The same rule on explicit inputs, for tests: `env` looks up a variable
// (empty when unset), `systemPorts` lists the system's serial device paths.
QString DevicePathFor(int port, const std::function<QString(const QString &)> &env,
                      const std::function<QStringList()> &systemPorts, bool windows);

// Sorts device paths so that embedded numbers compare by value.
QStringList NaturalOrder(QStringList paths);

} // namespace PortMap
