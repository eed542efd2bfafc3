// Which device each port number names.
#include "serial/PortMap.h"

#include <QtTest>

using PortMap::DevicePathFor;
using PortMap::Numbering;

namespace {

PortMap::EnvLookup envOf(std::map<QString, QString> vars)
{
    return [vars](const QString &name) -> std::optional<QString> {
        const auto it = vars.find(name);
        return it == vars.end() ? std::nullopt : std::optional<QString>(it->second);
    };
}

Numbering numbered(const QStringList &present)
{
    Numbering n;
    n.update(present);
    return n;
}

} // namespace

class TestPortMap : public QObject {
    Q_OBJECT
private slots:
    void mappedPortsAreTheOnlyPorts()
    {
        const auto env = envOf({{"CALITUNE_COM3", "/dev/pts/7"}, {"CALITUNE_COM12", "/tmp/radio"}});
        const Numbering system = numbered({"/dev/ttyUSB0"});
        QCOMPARE(DevicePathFor(3, env, system, false), QString("/dev/pts/7"));
        QCOMPARE(DevicePathFor(12, env, system, true), QString("/tmp/radio"));
        QCOMPARE(DevicePathFor(1, env, system, false), QString());
        QCOMPARE(DevicePathFor(17, env, system, false), QString());

        // Set but empty still means "mapped": the system's ports stay out.
        const auto empty = envOf({{"CALITUNE_COM1", ""}});
        QVERIFY(PortMap::AnyMapped(empty));
        QCOMPARE(DevicePathFor(1, empty, system, false), QString());
        QCOMPARE(DevicePathFor(1, empty, system, true), QString());
    }

    void windowsNamesItsOwnPorts()
    {
        const auto none = envOf({});
        const Numbering system;
        QCOMPARE(DevicePathFor(9, none, system, true), QString("COM9"));
        QCOMPARE(DevicePathFor(10, none, system, true), QString("\\\\.\\COM10"));
        QCOMPARE(DevicePathFor(16, none, system, true), QString("\\\\.\\COM16"));
        QCOMPARE(DevicePathFor(0, none, system, true), QString());
    }

    void systemPortsAreNumberedInNaturalOrder()
    {
        const auto none = envOf({});
        const Numbering system = numbered({"/dev/ttyUSB10", "/dev/ttyS0", "/dev/ttyUSB2", "/dev/ttyACM0"});
        QCOMPARE(DevicePathFor(1, none, system, false), QString("/dev/ttyACM0"));
        QCOMPARE(DevicePathFor(2, none, system, false), QString("/dev/ttyS0"));
        QCOMPARE(DevicePathFor(3, none, system, false), QString("/dev/ttyUSB2"));
        QCOMPARE(DevicePathFor(4, none, system, false), QString("/dev/ttyUSB10"));
        QCOMPARE(DevicePathFor(5, none, system, false), QString());
        QCOMPARE(PortMap::NaturalOrder({"a10", "a9", "a09b", "a9a", "a009"}),
                 QStringList({"a9", "a009", "a9a", "a09b", "a10"}));
    }

    // A cable plugged in later takes a free number; nothing shifts under a
    // selection, and a device that comes back gets its old number.
    void devicesKeepTheirNumbersForTheRun()
    {
        Numbering n = numbered({"/dev/ttyUSB1", "/dev/ttyS0"});
        n.update({"/dev/ttyUSB0", "/dev/ttyS0"});
        QCOMPARE(n.device(1), QString("/dev/ttyS0"));
        QCOMPARE(n.device(2), QString("/dev/ttyUSB1"));
        QCOMPARE(n.device(3), QString("/dev/ttyUSB0"));
        QVERIFY(!n.isPresent(2));
        QVERIFY(n.isPresent(3));
        n.update({"/dev/ttyUSB1", "/dev/ttyUSB0", "/dev/ttyS0"});
        QVERIFY(n.isPresent(2));
        QCOMPARE(n.device(2), QString("/dev/ttyUSB1"));
        QCOMPARE(n.device(4), QString());
    }
};

QTEST_APPLESS_MAIN(TestPortMap)
#include "tst_portmap.moc"
