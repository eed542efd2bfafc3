// The doctor's checks against a /sys, /proc, group file and lock folder the
// test builds, and once against a real pseudo-terminal and the real system.
#include "cli/Doctor.h"
#include "sim/PtyPair.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPort>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace Doctor;

namespace {

// A user "alice" who is not the one running the test; the device files the
// test makes belong to the group it calls dialout.
class FakeSystem {
public:
    FakeSystem()
    {
        env.sysRoot = path("sys");
        env.procRoot = path("proc");
        env.lockDirs = {path("lock")};
        env.groupFile = path("group");
        env.passwdFile = path("passwd");
        env.programDirs = {path("bin")};
        for (const char *dir : {"sys/class/tty", "proc", "lock", "bin", "dev"})
            QDir().mkpath(path(dir));
        env.userName = "alice";
        env.uid = ::getuid() + 4242;
        env.gid = 4242;
        setGroups("");
    }

    QString path(const QString &relative) const { return m_dir.path() + '/' + relative; }

    void write(const QString &relative, const QByteArray &content)
    {
        QDir().mkpath(QFileInfo(path(relative)).path());
        QFile file(path(relative));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    void link(const QString &relative, const QString &target)
    {
        QDir().mkpath(QFileInfo(path(relative)).path());
        QVERIFY(QFile::link(target, path(relative)));
    }

    QString addDevice(const QString &name, uint mode = 0660)
    {
        write("dev/" + name, {});
        ::chmod(QFile::encodeName(path("dev/" + name)).constData(), mode);
        return path("dev/" + name);
    }
    uint dialout() const { return QFileInfo(m_dir.path()).groupId(); }
    void setGroups(const QString &members, bool primary = false)
    {
        write("group", QStringLiteral("dialout:x:%1:%2\nplugdev:x:%3:alice\n")
                           .arg(dialout()).arg(members).arg(dialout() + 1).toUtf8());
        write("passwd", QStringLiteral("alice:x:%1:%2::/home/alice:/bin/sh\n")
                            .arg(env.uid).arg(primary ? dialout() : env.gid).toUtf8());
    }

    void addProcess(int pid, const QString &comm, const QStringList &openFiles = {})
    {
        const QString dir = QStringLiteral("proc/%1/").arg(pid);
        write(dir + "comm", comm.toUtf8() + '\n');
        QDir().mkpath(path(dir + "fd"));
        link(dir + "fd/0", "socket:[4711]");
        for (int i = 0; i < openFiles.size(); ++i)
            link(dir + QStringLiteral("fd/%1").arg(i + 3), openFiles[i]);
    }

    // usb1/1-2 is the USB device, 1-2:1.0 its interface; a usb-serial driver
    // adds a port folder below the interface, cdc_acm does not.
    void addUsbAdapter(const QString &tty, const QString &driver, const QByteArray &vendor,
                       const QByteArray &product, const QByteArray &maker, const QByteArray &model,
                       int latency = -1)
    {
        const QString usb = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/";
        write(usb + "idVendor", vendor + '\n');
        write(usb + "idProduct", product + '\n');
        write(usb + "manufacturer", maker + '\n');
        write(usb + "product", model + '\n');
        write(usb + "serial", "A10K\n");
        QDir().mkpath(path("sys/bus/usb/drivers/" + driver));
        link(usb + "1-2:1.0/driver", path("sys/bus/usb/drivers/" + driver));
        const bool port = !tty.startsWith("ttyACM");
        const QString device = usb + "1-2:1.0" + (port ? "/" + tty : QString());
        QDir().mkpath(path(device));
        link("sys/class/tty/" + tty + "/device", path(device));
        if (latency >= 0) {
            write(device + "/latency_timer", QByteArray::number(latency) + '\n');
            link("sys/bus/usb-serial/devices/" + tty, path(device));
        }
    }

    Environment env;

private:
    QTemporaryDir m_dir;
};

Finding findingOf(const QList<Finding> &findings, const QString &check)
{
    for (const Finding &f : findings)
        if (f.check == check)
            return f;
    return {};
}

// The lock file Qt SerialPort takes for a device path.
QString qtLockName(QString device)
{
    if (device.startsWith("/dev/"))
        device = device.mid(5);
    return "LCK.." + device.replace('/', '_');
}

} // namespace

class TestDoctor : public QObject {
    Q_OBJECT
private slots:
    void missingDeviceSkipsWhatNeedsIt()
    {
        FakeSystem sys;
        sys.addUsbAdapter("ttyUSB1", "ftdi_sio", "0403", "6001", "FTDI", "FT232R USB UART", 16);
        sys.link("dev/serial/by-id/cable", sys.path("dev/ttyUSB0"));
        bool asked = false;
        const auto probe = [&] { asked = true; return ProbeResult{ProbeResult::Outcome::Answered, {}}; };

        const auto plain = examine(sys.path("dev/ttyUSB0"), sys.env, probe);
        const Finding device = findingOf(plain, "device");
        QCOMPARE(device.status, Status::Problem);
        QCOMPARE(device.text, sys.path("dev/ttyUSB0") + " does not exist");
        QCOMPARE(device.advice, QString("plug the cable in, or use one of: /dev/ttyUSB1"));
        for (const char *check : {"permission", "holder", "adapter", "radio"})
            QCOMPARE(findingOf(plain, check).status, Status::Skipped);
        QVERIFY(!asked);
        QCOMPARE(exitStatus(plain), 2);

        const auto linked = examine(sys.path("dev/serial/by-id/cable"), sys.env);
        QVERIFY(findingOf(linked, "device").text.contains("is a link to " + sys.path("dev/ttyUSB0")));
    }

    void permission_data()
    {
        QTest::addColumn<bool>("root");
        QTest::addColumn<uint>("mode");
        QTest::addColumn<QString>("members");
        QTest::addColumn<bool>("primary");
        QTest::addColumn<bool>("inSession");
        QTest::addColumn<Status>("status");
        QTest::addColumn<QString>("expected");   // in the text or the advice

        QTest::newRow("root") << true << 0660u << "" << false << false << Status::Ok << "running as root";
        QTest::newRow("in group and session")
            << false << 0660u << "bob,alice" << false << true << Status::Ok << "you are in group dialout";
        QTest::newRow("added after the session began")
            << false << 0660u << "bob,alice" << false << false << Status::Problem << "log out and in again";
        QTest::newRow("primary group after the session began")
            << false << 0660u << "" << true << false << Status::Problem << "log out and in again";
        QTest::newRow("not in group") << false << 0660u << "bob" << false << false << Status::Problem
                                      << "run: sudo usermod -aG dialout $USER, then log in again";
        QTest::newRow("owner only") << false << 0600u << "alice" << false << true << Status::Problem
                                    << "only its owner may open it (-rw-------)";
    }
    void permission()
    {
        QFETCH(bool, root);
        QFETCH(uint, mode);
        QFETCH(QString, members);
        QFETCH(bool, primary);
        QFETCH(bool, inSession);
        FakeSystem sys;
        const QString device = sys.addDevice("ttyUSB0", mode);
        sys.setGroups(members, primary);
        if (root)
            sys.env.uid = 0;
        if (inSession)
            sys.env.sessionGroups = {7, sys.dialout()};

        const Finding f = findingOf(examine(device, sys.env), "permission");
        QTEST(f.status, "status");
        QFETCH(QString, expected);
        QVERIFY2((f.text + " — " + f.advice).contains(expected), qPrintable(f.text + " — " + f.advice));
    }

    void holder_data()
    {
        QTest::addColumn<bool>("throughLink");
        QTest::addColumn<int>("descriptorPid");   // 0: none
        QTest::addColumn<int>("lockPid");         // 0: no lock file
        QTest::addColumn<Status>("status");
        QTest::addColumn<QString>("expected");

        QTest::newRow("nobody") << false << 0 << 0 << Status::Ok << "no process of yours holds it";
        QTest::newRow("open descriptor") << false << 1234 << 0 << Status::Problem
                                         << "held by minicom (pid 1234) — close that program, or run: kill 1234";
        QTest::newRow("open through a link") << true << 1234 << 0 << Status::Problem << "held by minicom (pid 1234)";
        QTest::newRow("live lock only") << false << 0 << 77 << Status::Problem << "held by gtkterm (pid 77); lock file";
        QTest::newRow("lock taken through a link") << true << 0 << 77 << Status::Problem << "held by gtkterm (pid 77)";
        QTest::newRow("stale lock") << false << 0 << 99999 << Status::Warning << "run: sudo rm ";
    }
    void holder()
    {
        QFETCH(bool, throughLink);
        QFETCH(int, descriptorPid);
        QFETCH(int, lockPid);
        FakeSystem sys;
        const QString device = sys.addDevice("ttyUSB0");
        const QString given = throughLink ? sys.path("dev/serial/by-id/cable") : device;
        if (throughLink)
            sys.link("dev/serial/by-id/cable", device);
        sys.addProcess(1, "systemd", {"/dev/null"});
        sys.addProcess(1234, "minicom", descriptorPid ? QStringList{"/dev/tty", device} : QStringList{});
        sys.addProcess(77, "gtkterm");
        if (lockPid)
            sys.write("lock/" + qtLockName(given), QByteArray::number(lockPid) + "\ngtkterm\nhost\n");

        const Finding f = findingOf(examine(given, sys.env), "holder");
        QTEST(f.status, "status");
        QFETCH(QString, expected);
        QVERIFY2((f.text + " — " + f.advice).contains(expected), qPrintable(f.text + " — " + f.advice));
    }

    void services_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<bool>("installed");
        QTest::addColumn<bool>("running");
        QTest::addColumn<bool>("holds");
        QTest::addColumn<bool>("deviceMissing");
        QTest::addColumn<Status>("status");

        QTest::newRow("ModemManager absent") << "ModemManager" << false << false << false << false << Status::Ok;
        QTest::newRow("ModemManager stopped") << "ModemManager" << true << false << false << false << Status::Ok;
        QTest::newRow("ModemManager running") << "ModemManager" << true << true << false << false << Status::Warning;
        QTest::newRow("ModemManager holding the port")
            << "ModemManager" << true << true << true << false << Status::Problem;
        QTest::newRow("brltty running, no device") << "brltty" << true << true << false << true << Status::Problem;
    }
    void services()
    {
        QFETCH(QString, program);
        QFETCH(bool, installed);
        QFETCH(bool, running);
        QFETCH(bool, holds);
        QFETCH(bool, deviceMissing);
        FakeSystem sys;
        const QString device = deviceMissing ? sys.path("dev/ttyUSB0") : sys.addDevice("ttyUSB0");
        if (installed)
            sys.write("bin/" + program, "#!/bin/sh\n");
        if (running)
            sys.addProcess(555, program, holds ? QStringList{device} : QStringList{});

        const auto findings = examine(device, sys.env);
        const Finding f = findingOf(findings, program.toLower());
        QTEST(f.status, "status");
        QCOMPARE(f.advice.isEmpty(), !running);
        if (holds)
            QCOMPARE(findingOf(findings, "holder").advice, f.advice);
    }

    void adapter_data()
    {
        QTest::addColumn<QString>("tty");
        QTest::addColumn<QString>("driver");
        QTest::addColumn<int>("latency");   // -1: the driver has no timer
        QTest::addColumn<QString>("adapterText");
        QTest::addColumn<Status>("latencyStatus");

        QTest::newRow("FTDI at 16 ms") << "ttyUSB0" << "ftdi_sio" << 16
                                       << "FTDI FT232R USB UART, serial A10K, 0403:6001, driver ftdi_sio"
                                       << Status::Warning;
        QTest::newRow("FTDI at 1 ms") << "ttyUSB0" << "ftdi_sio" << 1 << "driver ftdi_sio" << Status::Ok;
        QTest::newRow("CH340") << "ttyUSB0" << "ch341" << -1 << "0403:6001, driver ch341" << Status::Skipped;
        QTest::newRow("CDC ACM") << "ttyACM0" << "cdc_acm" << -1 << "driver cdc_acm" << Status::Skipped;
    }
    void adapter()
    {
        QFETCH(QString, tty);
        QFETCH(QString, driver);
        QFETCH(int, latency);
        FakeSystem sys;
        sys.addUsbAdapter(tty, driver, "0403", "6001", "FTDI", "FT232R USB UART", latency);
        const auto findings = examine(sys.addDevice(tty), sys.env);

        const Finding adapter = findingOf(findings, "adapter");
        QCOMPARE(adapter.status, Status::Ok);
        QFETCH(QString, adapterText);
        QVERIFY2(adapter.text.endsWith(adapterText), qPrintable(adapter.text));
        const Finding timer = findingOf(findings, "latency");
        QTEST(timer.status, "latencyStatus");
        if (timer.status == Status::Warning)
            QVERIFY(timer.advice.contains("echo 1 | sudo tee "
                                          + sys.path("sys/bus/usb-serial/devices/ttyUSB0/latency_timer")));
    }

    void builtInPortIsNotAnAdapter()
    {
        FakeSystem sys;
        QDir().mkpath(sys.path("sys/devices/platform/serial8250/tty/ttyS0"));
        sys.link("sys/class/tty/ttyS0/device", sys.path("sys/devices/platform/serial8250"));
        const auto findings = examine(sys.addDevice("ttyS0"), sys.env);
        QCOMPARE(findingOf(findings, "adapter").status, Status::Skipped);
        QVERIFY(findingOf(findings, "adapter").text.contains("built-in serial port"));
        QCOMPARE(findingOf(findings, "latency").check, QString());
    }

    // The test process holds the slave through Qt SerialPort, lock file and all.
    void realPseudoTerminal()
    {
        PtyPair pty;
        const Environment env = Environment::current();
        QSerialPort port(pty.slavePath());
        QVERIFY(port.open(QIODevice::ReadWrite));
        bool asked = false;
        const auto held = examine(pty.slavePath(), env, [&] { asked = true; return ProbeResult{}; });

        QCOMPARE(findingOf(held, "device").status, Status::Ok);
        QCOMPARE(findingOf(held, "permission").status, Status::Ok);
        const Finding holder = findingOf(held, "holder");
        QCOMPARE(holder.status, Status::Problem);
        QVERIFY2(holder.text.startsWith(QString("held by tst_doctor (pid %1); lock file /").arg(::getpid())),
                 qPrintable(holder.text));
        QVERIFY2(holder.text.endsWith("/" + qtLockName(pty.slavePath())), qPrintable(holder.text));
        QCOMPARE(findingOf(held, "adapter").text, pty.slavePath() + " is a pseudo-terminal, not a USB adapter");
        QCOMPARE(findingOf(held, "radio").status, Status::Skipped);
        QVERIFY(!asked);

        port.close();
        QCOMPARE(findingOf(examine(pty.slavePath(), env), "holder").status, Status::Ok);
    }

    void probe_data()
    {
        QTest::addColumn<int>("outcome");   // -1: not asked
        QTest::addColumn<Status>("status");
        QTest::addColumn<int>("exit");

        using O = ProbeResult::Outcome;
        QTest::newRow("not asked") << -1 << Status::Skipped << 0;
        QTest::newRow("answered") << int(O::Answered) << Status::Ok << 0;
        QTest::newRow("no reply") << int(O::NoReply) << Status::Problem << 3;
        QTest::newRow("other reply") << int(O::OtherReply) << Status::Problem << 4;
        QTest::newRow("port not opened") << int(O::PortNotOpened) << Status::Problem << 2;
    }
    void probe()
    {
        QFETCH(int, outcome);
        PtyPair pty;
        Probe probe;
        if (outcome >= 0)
            probe = [&] { return ProbeResult{ProbeResult::Outcome(outcome), "line one\nline two"}; };
        const auto findings = examine(pty.slavePath(), Environment::current(), probe);

        const Finding radio = findingOf(findings, "radio");
        QTEST(radio.status, "status");
        QCOMPARE(radio.text.endsWith(": line one line two"), outcome >= 0);
        QTEST(exitStatus(findings), "exit");
    }

    void formats()
    {
        const QList<Finding> findings{{"device", Status::Ok, "/dev/ttyUSB0 exists", {}},
                                      {"latency", Status::Warning, "latency timer 16 ms", "set it to 1"},
                                      {"permission", Status::Problem, "not in dialout", "run: usermod"}};
        QCOMPARE(formatText(findings), QString("ok       device        /dev/ttyUSB0 exists\n"
                                               "warning  latency       latency timer 16 ms — set it to 1\n"
                                               "PROBLEM  permission    not in dialout — run: usermod\n"));
        const QJsonArray json = QJsonDocument::fromJson(formatJson(findings)).array();
        QCOMPARE(json.size(), 3);
        QCOMPARE(json[2].toObject()["advice"].toString(), QString("run: usermod"));
        QCOMPARE(formatJson(findings.mid(1, 1)),
                 R"([{"check":"latency","status":"warning","text":"latency timer 16 ms","advice":"set it to 1"}])");
        QCOMPARE(exitStatus(findings), 2);
        QCOMPARE(exitStatus(findings.mid(0, 2)), 0);
    }
};

QTEST_GUILESS_MAIN(TestDoctor)
#include "tst_doctor.moc"
