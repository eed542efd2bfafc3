// The doctor's checks against a /sys, /proc, group file and lock folder the
// test builds, and once against a real pseudo-terminal and the real system.
#include "cli/Doctor.h"
#include "sim/PtyPair.h"

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
        env = {path("sys"), path("proc"), {path("lock")}, path("group"), path("passwd"), {path("bin")},
               "alice", ::getuid() + 4242, 4242, {}};
        setGroups("");
    }

    QString path(const QString &relative) const { return m_dir.path() + '/' + relative; }
    void write(const QString &relative, const QByteArray &content)
    {
        QDir().mkpath(QFileInfo(path(relative)).path());
        QFile file(path(relative));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
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
        link(dir + "fd/0", "socket:[4711]");
        for (int i = 0; i < openFiles.size(); ++i)
            link(dir + QStringLiteral("fd/%1").arg(i + 3), openFiles[i]);
    }
    // usb1/1-2 is the USB device, 1-2:1.0 its interface; a usb-serial driver
    // adds a port folder below the interface, cdc_acm does not.
    void addUsbAdapter(const QString &tty, const QString &driver, int latency = -1)
    {
        const QString usb = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/";
        for (auto [name, value] : {std::pair{"idVendor", "0403"}, {"idProduct", "6001"}, {"manufacturer", "FTDI"},
                                   {"product", "FT232R USB UART"}, {"serial", "A10K"}})
            write(usb + name, QByteArray(value) + '\n');
        QDir().mkpath(path("sys/bus/usb/drivers/" + driver));
        link(usb + "1-2:1.0/driver", path("sys/bus/usb/drivers/" + driver));
        const QString device = usb + "1-2:1.0" + (tty.startsWith("ttyACM") ? QString() : "/" + tty);
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

QString said(const Finding &f)
{
    return f.text + " — " + f.advice;
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
        sys.addUsbAdapter("ttyUSB1", "ftdi_sio", 16);
        bool asked = false;
        const auto findings = examine(sys.path("dev/ttyUSB0"), sys.env, [&] { asked = true; return ProbeResult{}; });
        const Finding device = findingOf(findings, "device");
        QCOMPARE(device.status, Status::Problem);
        QCOMPARE(said(device), sys.path("dev/ttyUSB0") + " does not exist — plug the cable in, or use one of: /dev/ttyUSB1");
        for (const char *check : {"permission", "holder", "adapter", "radio"})
            QCOMPARE(findingOf(findings, check).status, Status::Skipped);
        QVERIFY(!asked);
        QCOMPARE(exitStatus(findings), 2);
    }

    void permission()
    {
        const struct { uint mode; const char *members; bool primary, inSession; Status status; const char *says; } cases[] = {
            {0660, "bob,alice", false, true, Status::Ok, "you are in group dialout"},
            {0660, "bob,alice", false, false, Status::Problem, "log out and in again"},   // added after the session began
            {0660, "", true, false, Status::Problem, "log out and in again"},            // as its primary group
            {0660, "bob", false, false, Status::Problem, "run: sudo usermod -aG dialout $USER, then log in again"},
            {0600, "alice", false, true, Status::Problem, "only its owner may open it (-rw-------)"},
            {0644, "alice", false, true, Status::Problem, "only its owner may open it (-rw-r--r--)"},   // others may only read
            {0666, "", false, false, Status::Ok, "anyone may open it (-rw-rw-rw-)"},
        };
        for (const auto &c : cases) {
            FakeSystem sys;
            const QString device = sys.addDevice("ttyUSB0", c.mode);
            sys.setGroups(c.members, c.primary);
            if (c.inSession)
                sys.env.sessionGroups = {7, sys.dialout()};
            const Finding f = findingOf(examine(device, sys.env), "permission");
            QVERIFY2(f.status == c.status && said(f).contains(c.says), qPrintable(said(f)));
        }
    }

    void holder()
    {
        // A pid of 0: no descriptor, no lock file.
        const struct { bool throughLink; int descriptorPid, lockPid; Status status; const char *says; } cases[] = {
            {false, 0, 0, Status::Ok, "no process of yours holds it"},
            {false, 1234, 0, Status::Problem, "held by minicom (pid 1234) — close that program, or run: kill 1234"},
            {true, 1234, 0, Status::Problem, "held by minicom (pid 1234)"},
            {false, 0, 77, Status::Problem, "held by gtkterm (pid 77); lock file"},
            {true, 0, 77, Status::Problem, "held by gtkterm (pid 77)"},   // the lock is named after the link
            {false, 0, 99999, Status::Warning, "run: sudo rm "},
        };
        for (const auto &c : cases) {
            FakeSystem sys;
            const QString device = sys.addDevice("ttyUSB0");
            const QString given = c.throughLink ? sys.path("dev/serial/by-id/cable") : device;
            if (c.throughLink)
                sys.link("dev/serial/by-id/cable", device);
            sys.addProcess(1, "systemd", {"/dev/null"});
            sys.addProcess(1234, "minicom", c.descriptorPid ? QStringList{"/dev/tty", device} : QStringList{});
            sys.addProcess(77, "gtkterm");
            if (c.lockPid)
                sys.write("lock/" + qtLockName(given), QByteArray::number(c.lockPid) + "\ngtkterm\nhost\n");
            const Finding f = findingOf(examine(given, sys.env), "holder");
            QVERIFY2(f.status == c.status && said(f).contains(c.says), qPrintable(said(f)));
        }
    }

    void services()
    {
        const struct { const char *program; bool installed, running, holds, deviceMissing; Status status; } cases[] = {
            {"ModemManager", false, false, false, false, Status::Ok},
            {"ModemManager", true, true, false, false, Status::Warning},
            {"ModemManager", true, true, true, false, Status::Problem},
            {"brltty", true, true, false, true, Status::Problem},
        };
        for (const auto &c : cases) {
            FakeSystem sys;
            const QString device = c.deviceMissing ? sys.path("dev/ttyUSB0") : sys.addDevice("ttyUSB0");
            if (c.installed)
                sys.write(QString("bin/") + c.program, "#!/bin/sh\n");
            if (c.running)
                sys.addProcess(555, c.program, c.holds ? QStringList{device} : QStringList{});
            const auto findings = examine(device, sys.env);
            const Finding f = findingOf(findings, QString(c.program).toLower());
            QVERIFY2(f.status == c.status && f.advice.isEmpty() == !c.running, qPrintable(said(f)));
            if (c.holds)
                QCOMPARE(findingOf(findings, "holder").advice, f.advice);
        }
    }

    void adapter()
    {
        // latency -1: the driver has no timer
        const struct { const char *tty, *driver; int latency; const char *adapterText; Status timer; } cases[] = {
            {"ttyUSB0", "ftdi_sio", 16, "FTDI FT232R USB UART, serial A10K, 0403:6001, driver ftdi_sio", Status::Warning},
            {"ttyUSB0", "ftdi_sio", 1, "driver ftdi_sio", Status::Ok},
            {"ttyACM0", "cdc_acm", -1, "driver cdc_acm", Status::Skipped},
        };
        for (const auto &c : cases) {
            FakeSystem sys;
            sys.addUsbAdapter(c.tty, c.driver, c.latency);
            const auto findings = examine(sys.addDevice(c.tty), sys.env);
            const Finding adapter = findingOf(findings, "adapter"), timer = findingOf(findings, "latency");
            QVERIFY2(adapter.status == Status::Ok && adapter.text.endsWith(c.adapterText), qPrintable(adapter.text));
            QCOMPARE(timer.status, c.timer);
            if (timer.status == Status::Warning)
                QVERIFY(timer.advice.contains("echo 1 | sudo tee "
                                              + sys.path("sys/bus/usb-serial/devices/ttyUSB0/latency_timer")));
        }

        FakeSystem sys;
        QDir().mkpath(sys.path("sys/devices/platform/serial8250/tty/ttyS0"));
        sys.link("sys/class/tty/ttyS0/device", sys.path("sys/devices/platform/serial8250"));
        const auto builtIn = examine(sys.addDevice("ttyS0"), sys.env);
        QVERIFY(findingOf(builtIn, "adapter").text.contains("built-in serial port"));
        QCOMPARE(findingOf(builtIn, "latency").check, QString());
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
        QCOMPARE(findingOf(held, "permission").status, Status::Ok);
        const Finding holder = findingOf(held, "holder");
        QVERIFY2(holder.status == Status::Problem
                     && holder.text.startsWith(QString("held by tst_doctor (pid %1); lock file /").arg(::getpid()))
                     && holder.text.endsWith("/" + qtLockName(pty.slavePath())),
                 qPrintable(holder.text));
        QCOMPARE(findingOf(held, "adapter").text, pty.slavePath() + " is a pseudo-terminal, not a USB adapter");
        QVERIFY(!asked);
        port.close();
        QCOMPARE(findingOf(examine(pty.slavePath(), env), "holder").status, Status::Ok);
    }

    // The radio's answer sets the exit status when it is the only problem.
    void probeAndExitStatus()
    {
        using O = ProbeResult::Outcome;
        const struct { int outcome; Status status; int exit; } cases[] = {   // outcome -1: not asked
            {-1, Status::Skipped, 0},
            {int(O::Answered), Status::Ok, 0},
            {int(O::NoReply), Status::Problem, 3},
            {int(O::OtherReply), Status::Problem, 4},
            {int(O::PortNotOpened), Status::Problem, 2},
        };
        PtyPair pty;
        for (const auto &c : cases) {
            Probe probe;
            if (c.outcome >= 0)
                probe = [&] { return ProbeResult{O(c.outcome), "line one\nline two"}; };
            const auto findings = examine(pty.slavePath(), Environment::current(), probe);
            const Finding radio = findingOf(findings, "radio");
            QCOMPARE(radio.status, c.status);
            QCOMPARE(radio.text.endsWith(": line one line two"), c.outcome >= 0);
            QCOMPARE(exitStatus(findings), c.exit);
        }

        const QList<Finding> findings{{"device", Status::Ok, "/dev/ttyUSB0 exists", {}},
                                      {"latency", Status::Warning, "latency timer 16 ms", "set it to 1"},
                                      {"permission", Status::Problem, "not in dialout", "run: usermod"}};
        QCOMPARE(formatText(findings), QString("ok       device        /dev/ttyUSB0 exists\n"
                                               "warning  latency       latency timer 16 ms — set it to 1\n"
                                               "PROBLEM  permission    not in dialout — run: usermod\n"));
        QCOMPARE(exitStatus(findings), 2);
        QCOMPARE(exitStatus(findings.mid(0, 2)), 0);   // warnings alone pass
    }
};

QTEST_GUILESS_MAIN(TestDoctor)
#include "tst_doctor.moc"
