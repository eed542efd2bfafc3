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

// A port that exists, and what the system knows of its adapter (empty
// where it knows nothing, as for a pseudo-terminal).
struct Port {
    int number = 0;
    QString device;
    QString description, manufacturer, serialNumber;
    std::optional<quint16> vendorId, productId;
    bool available = false;   // could be opened when last probed
};

// "COM3": how a port number is shown, everywhere.
QString PortName(int port);

// What is known of a port's adapter, "description (maker, vvvv:pppp, serial
// X)" with only the parts known; empty when nothing is (a pseudo-terminal).
QString AdapterText(const Port &port);

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

// Looks up an environment variable: nothing when unset.
using EnvLookup = std::function<std::optional<QString>(const QString &)>;
std::optional<QString> ProcessEnvironment(const QString &name);

// Whether any CALITUNE_COMn is set, even empty.
bool AnyMapped(const EnvLookup &env);

// The port numbers of one program run. Front ends keep one for the run, so
// that a device keeps its number; the system's devices are listed at the
// first look-up and again on each refresh().
class Map {
public:
    explicit Map(EnvLookup env = ProcessEnvironment);

    // Device path or name for QSerialPort; empty when the number names no port.
    QString devicePath(int port);
    // Lists the system's devices again (a cable may have come or gone) and
    // returns the ports that exist now, in number order.
    QList<Port> refresh();
    // refresh(), and whether each port can be opened now.
    QList<Port> probe();
    // The ports that exist now, in number order, without what the system
    // knows of their adapters: with a mapping, no walk of the system's devices.
    QList<Port> numbered();
    // Whether CALITUNE_COMn name the ports.
    bool mapped() const { return AnyMapped(m_env); }

private:
    void listOnce();

    EnvLookup m_env;
    Numbering m_system;
    bool m_listed = false;
};

// The rule on explicit inputs, for tests.
QString DevicePathFor(int port, const EnvLookup &env, const Numbering &system, bool windows);

// Sorts device paths so that embedded numbers compare by value.
QStringList NaturalOrder(QStringList paths);

} // namespace PortMap
