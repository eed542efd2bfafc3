// Which device each port number names.
#include "serial/PortMap.h"

#include <QtTest>

using PortMap::DevicePathFor;

class TestPortMap : public QObject {
    Q_OBJECT
private slots:
    void mappedPortsAreTheOnlyPorts()
    {
        const auto env = [](const QString &name) {
            if (name == "CALITUNE_COM3") return QString("/dev/pts/7");
            if (name == "CALITUNE_COM12") return QString("/tmp/radio");
            return QString();
        };
        const auto system = [] { return QStringList{"/dev/ttyUSB0"}; };
        QCOMPARE(DevicePathFor(3, env, system, false), QString("/dev/pts/7"));
        QCOMPARE(DevicePathFor(12, env, system, true), QString("/tmp/radio"));
        QCOMPARE(DevicePathFor(1, env, system, false), QString());
        QCOMPARE(DevicePathFor(17, env, system, false), QString());
    }

    void windowsNamesItsOwnPorts()
    {
        const auto none = [](const QString &) { return QString(); };
        const auto system = [] { return QStringList(); };
        QCOMPARE(DevicePathFor(9, none, system, true), QString("COM9"));
        QCOMPARE(DevicePathFor(10, none, system, true), QString("\\\\.\\COM10"));
        QCOMPARE(DevicePathFor(16, none, system, true), QString("\\\\.\\COM16"));
        QCOMPARE(DevicePathFor(0, none, system, true), QString());
    }

    void systemPortsAreNumberedInNaturalOrder()
    {
        const auto none = [](const QString &) { return QString(); };
        const auto system = [] {
            return QStringList{"/dev/ttyUSB10", "/dev/ttyS0", "/dev/ttyUSB2", "/dev/ttyACM0"};
        };
        QCOMPARE(DevicePathFor(1, none, system, false), QString("/dev/ttyACM0"));
        QCOMPARE(DevicePathFor(2, none, system, false), QString("/dev/ttyS0"));
        QCOMPARE(DevicePathFor(3, none, system, false), QString("/dev/ttyUSB2"));
        QCOMPARE(DevicePathFor(4, none, system, false), QString("/dev/ttyUSB10"));
        QCOMPARE(DevicePathFor(5, none, system, false), QString());
        QCOMPARE(PortMap::NaturalOrder({"a10", "a9", "a09b", "a9a"}),
                 QStringList({"a9", "a9a", "a09b", "a10"}));
    }
};

QTEST_APPLESS_MAIN(TestPortMap)
#include "tst_portmap.moc"
