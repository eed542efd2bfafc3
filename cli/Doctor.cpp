#include "cli/Doctor.h"
#include "serial/PortLock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <linux/serial.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Doctor {

namespace {

using S = Status;

struct Device {
    QString given;
    QString resolved;   // every link followed; empty when missing
    bool exists = false;
    bool isCharDevice = false;
    uint mode = 0;
    uint owner = 0;
    uint group = 0;

    QString shown() const { return resolved.isEmpty() || resolved == given ? given : resolved; }
    QString name() const { return QFileInfo(resolved).fileName(); }
    bool isPty() const { return resolved.startsWith(QLatin1String("/dev/pts/")); }
};

struct Process {
    int pid = 0;
    QString name;
    bool holdsDevice = false;
};

struct Service {
    QString check;
    QString program;
    QString running;   // what it may do to the port while it runs
    QString advice;
    bool takesAdapters;   // may claim a USB adapter so that no device appears
};

// The radio check's texts that exitStatus tells apart.
const QString NoReplyText = QStringLiteral("no radio answered the access code");
const QString OtherReplyText = QStringLiteral("something answered, but not as the radio does");

const Service ModemManager{
    QStringLiteral("modemmanager"), QStringLiteral("ModemManager"),
    QStringLiteral("it may open serial ports to look for a modem"),
    QStringLiteral("run: sudo systemctl stop ModemManager (and disable it to keep it off)"), false};
const Service Brltty{
    QStringLiteral("brltty"), QStringLiteral("brltty"),
    QStringLiteral("it may take a USB serial adapter for a Braille display"),
    QStringLiteral("if no Braille display is used, run: sudo apt remove brltty"), true};

Finding finding(const QString &check, Status status, const QString &text, const QString &advice = {})
{
    return Finding{check, status, text, advice};
}

QString readText(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).trimmed();
}

Device lookUp(const QString &path)
{
    Device dev;
    dev.given = path;
    dev.resolved = QFileInfo(path).canonicalFilePath();
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return dev;
    dev.exists = true;
    dev.isCharDevice = S_ISCHR(st.st_mode);
    dev.mode = st.st_mode;
    dev.owner = st.st_uid;
    dev.group = st.st_gid;
    return dev;
}

QString modeText(uint mode)
{
    QString text = S_ISCHR(mode) ? QStringLiteral("c") : S_ISREG(mode) ? QStringLiteral("-") : QStringLiteral("?");
    const char *letters = "rwxrwxrwx";
    for (int bit = 0; bit < 9; ++bit)
        text += mode & (0400u >> bit) ? QLatin1Char(letters[bit]) : QLatin1Char('-');
    return text;
}

Finding deviceFinding(const Device &dev, const Environment &env)
{
    const QString check = QStringLiteral("device");
    if (!dev.exists) {
        const QFileInfo link(dev.given);
        const QString text = link.isSymLink()
            ? QStringLiteral("%1 is a link to %2, which does not exist").arg(dev.given, link.symLinkTarget())
            : QStringLiteral("%1 does not exist").arg(dev.given);
        const QStringList present = usbSerialDevices(env);
        return finding(check, S::Problem, text,
                       present.isEmpty() ? QStringLiteral("plug the cable in, then run this again")
                                         : QStringLiteral("plug the cable in, or use one of: %1")
                                               .arg(present.join(QStringLiteral(", "))));
    }
    const QString what = dev.resolved == dev.given
        ? dev.given
        : QStringLiteral("%1 (%2)").arg(dev.given, dev.resolved);
    if (!dev.isCharDevice)
        return finding(check, S::Problem, QStringLiteral("%1 is not a device").arg(what),
                       QStringLiteral("remove it (sudo rm %1) and plug the cable in again").arg(dev.shown()));
    return finding(check, S::Ok, QStringLiteral("%1 exists").arg(what));
}

// The group file's line for `gid`: name, then its members.
QStringList groupEntry(const QString &groupFile, uint gid)
{
    const QStringList lines = readText(groupFile).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const QStringList f = line.split(QLatin1Char(':'));
        if (f.size() >= 4 && f[2].toUInt() == gid && !f[2].isEmpty())
            return QStringList{f[0]} + f[3].split(QLatin1Char(','), Qt::SkipEmptyParts);
    }
    return {};
}

bool primaryGroupIs(const QString &passwdFile, const QString &user, uint gid)
{
    const QStringList lines = readText(passwdFile).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const QStringList f = line.split(QLatin1Char(':'));
        if (f.size() >= 4 && f[0] == user)
            return !f[3].isEmpty() && f[3].toUInt() == gid;
    }
    return false;
}

Finding permissionFinding(const Device &dev, const Environment &env)
{
    const QString check = QStringLiteral("permission");
    const QString mode = modeText(dev.mode);
    if (env.uid == 0)
        return finding(check, S::Ok, QStringLiteral("running as root, which may open any device "
                                                    "(run without sudo to check your own account)"));
    if (dev.owner == env.uid && (dev.mode & 0600) == 0600)
        return finding(check, S::Ok, QStringLiteral("you own it (%1)").arg(mode));
    if ((dev.mode & 06) == 06)
        return finding(check, S::Ok, QStringLiteral("anyone may open it (%1)").arg(mode));
    if ((dev.mode & 060) != 060)
        return finding(check, S::Problem, QStringLiteral("only its owner may open it (%1)").arg(mode),
                       QStringLiteral("run as its owner, or: sudo chmod g+rw %1").arg(dev.shown()));

    const QStringList entry = groupEntry(env.groupFile, dev.group);
    const QString group = entry.isEmpty() ? QString::number(dev.group) : entry.first();
    if (env.gid == dev.group || env.sessionGroups.contains(dev.group))
        return finding(check, S::Ok, QStringLiteral("you are in group %1, which may open it (%2)").arg(group, mode));
    if (entry.mid(1).contains(env.userName) || primaryGroupIs(env.passwdFile, env.userName, dev.group))
        return finding(check, S::Problem,
                       QStringLiteral("you are in group %1, but this session started before you were added").arg(group),
                       QStringLiteral("log out and in again (or restart the computer)"));
    return finding(check, S::Problem,
                   QStringLiteral("only group %1 may open it (%2) and you are not in it").arg(group, mode),
                   QStringLiteral("run: sudo usermod -aG %1 $USER, then log in again").arg(group));
}

QString linkTarget(const QString &path)
{
    char buffer[4096];
    const ssize_t n = ::readlink(QFile::encodeName(path).constData(), buffer, sizeof buffer);
    return n > 0 ? QFile::decodeName(QByteArray(buffer, int(n))) : QString();
}

QString processName(const QString &procDir)
{
    const QString comm = readText(procDir + QStringLiteral("/comm"));
    if (!comm.isEmpty())
        return comm;
    const QByteArray cmdline = [&] {
        QFile file(procDir + QStringLiteral("/cmdline"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }();
    return QFileInfo(QFile::decodeName(cmdline.left(cmdline.indexOf('\0')))).fileName();
}

// Every process, and whether one of its descriptors is the device. Only
// root sees the descriptors of other users' processes.
QList<Process> scanProcesses(const Environment &env, const QString &device)
{
    QList<Process> processes;
    const QStringList pids = QDir(env.procRoot).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : pids) {
        bool numeric = false;
        const int pid = entry.toInt(&numeric);
        if (!numeric)
            continue;
        const QString dir = env.procRoot + QLatin1Char('/') + entry;
        Process p{pid, processName(dir), false};
        const QString fdDir = dir + QStringLiteral("/fd");
        const QStringList fds = QDir(fdDir).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        for (const QString &fd : fds) {
            if (!device.isEmpty() && linkTarget(fdDir + QLatin1Char('/') + fd) == device) {
                p.holdsDevice = true;
                break;
            }
        }
        processes << p;
    }
    return processes;
}

struct LockFile {
    QString path;
    int pid = 0;
};

// A link and its target take two different lock files.
QList<LockFile> findLocks(const Environment &env, const Device &dev)
{
    QStringList names;
    for (const QString &path : {dev.given, dev.resolved}) {
        const QString name = PortLock::LockFileName(path);
        if (!path.isEmpty() && !names.contains(name))
            names << name;
    }
    QStringList dirsSeen;
    QList<LockFile> locks;
    for (const QString &dir : env.lockDirs) {
        const QString real = QFileInfo(dir).canonicalFilePath();
        if (real.isEmpty() || dirsSeen.contains(real))
            continue;
        dirsSeen << real;
        for (const QString &name : names) {
            const QString path = dir + QLatin1Char('/') + name;
            if (QFileInfo::exists(path))
                locks << LockFile{path, readText(path).section(QLatin1Char('\n'), 0, 0).trimmed().toInt()};
        }
    }
    return locks;
}

QString adviceToStop(const Process &p)
{
    for (const Service *s : {&ModemManager, &Brltty})
        if (p.name == s->program)
            return s->advice;
    return QStringLiteral("close that program, or run: kill %1").arg(p.pid);
}

Finding holderFinding(const Environment &env, const Device &dev, const QList<Process> &processes)
{
    const QString check = QStringLiteral("holder");
    QList<Process> holders;
    for (const Process &p : processes)
        if (p.holdsDevice)
            holders << p;
    QStringList lockNotes, stale;
    for (const LockFile &lock : findLocks(env, dev)) {
        const auto alive = std::find_if(processes.begin(), processes.end(),
                                        [&](const Process &p) { return p.pid == lock.pid; });
        if (alive == processes.end()) {
            stale << lock.path;
            continue;
        }
        lockNotes << lock.path;
        if (!alive->holdsDevice)
            holders << *alive;
    }
    if (!holders.isEmpty()) {
        QStringList names;
        for (const Process &p : holders)
            names << QStringLiteral("%1 (pid %2)").arg(p.name).arg(p.pid);
        QString text = QStringLiteral("held by ") + names.join(QStringLiteral(", "));
        if (!lockNotes.isEmpty())
            text += QStringLiteral("; lock file ") + lockNotes.join(QStringLiteral(", "));
        return finding(check, S::Problem, text, adviceToStop(holders.first()));
    }
    if (!stale.isEmpty())
        return finding(check, S::Warning,
                       QStringLiteral("no process holds it, but a lock file is left by one that has ended: %1")
                           .arg(stale.first()),
                       QStringLiteral("run: sudo rm %1").arg(stale.join(QLatin1Char(' '))));
    return finding(check, S::Ok, env.uid == 0 ? QStringLiteral("no process holds it")
                                              : QStringLiteral("no process of yours holds it "
                                                               "(only root sees other users' processes)"));
}

Finding serviceFinding(const Environment &env, const Service &service, const QList<Process> &processes,
                       const Device &dev)
{
    bool installed = false;
    for (const QString &dir : env.programDirs)
        installed = installed || QFileInfo::exists(dir + QLatin1Char('/') + service.program);
    bool running = false, holds = false;
    for (const Process &p : processes) {
        if (p.name == service.program) {
            running = true;
            holds = holds || p.holdsDevice;
        }
    }
    if (holds)
        return finding(service.check, S::Problem,
                       QStringLiteral("%1 is running and holds the port").arg(service.program), service.advice);
    if (running && !dev.exists && service.takesAdapters)
        return finding(service.check, S::Problem,
                       QStringLiteral("%1 is running and may have taken the adapter").arg(service.program),
                       service.advice);
    if (running)
        return finding(service.check, S::Warning,
                       QStringLiteral("%1 is running: %2").arg(service.program, service.running), service.advice);
    return finding(service.check, S::Ok,
                   installed ? QStringLiteral("%1 is installed but not running").arg(service.program)
                             : QStringLiteral("%1 is not installed").arg(service.program));
}

struct UsbAdapter {
    QString maker, model, serial, driver, vendorId, productId;
};

// From the tty's device up to the first folder with an idVendor: that is the
// USB device, and the folder just below it the interface the driver serves.
std::optional<UsbAdapter> usbAdapter(const Environment &env, const QString &ttyName)
{
    const QString root = QFileInfo(env.sysRoot).canonicalFilePath();
    QString dir = QFileInfo(env.sysRoot + QStringLiteral("/class/tty/") + ttyName + QStringLiteral("/device"))
                      .canonicalFilePath();
    QString below = dir;
    while (!root.isEmpty() && dir.startsWith(root + QLatin1Char('/'))) {
        if (QFileInfo::exists(dir + QStringLiteral("/idVendor"))) {
            auto attr = [&](const char *name) { return readText(dir + QLatin1Char('/') + QLatin1String(name)); };
            return UsbAdapter{attr("manufacturer"), attr("product"), attr("serial"),
                              QFileInfo(QFileInfo(below + QStringLiteral("/driver")).canonicalFilePath()).fileName(),
                              attr("idVendor"), attr("idProduct")};
        }
        below = dir;
        dir = QFileInfo(dir).path();
    }
    return std::nullopt;
}

Finding latencyFinding(const Environment &env, const Device &dev, const UsbAdapter &usb)
{
    const QString check = QStringLiteral("latency");
    const QString path =
        env.sysRoot + QStringLiteral("/bus/usb-serial/devices/") + dev.name() + QStringLiteral("/latency_timer");
    if (!QFileInfo::exists(path))
        return finding(check, S::Skipped, QStringLiteral("the %1 driver has no latency timer").arg(usb.driver));
    const int ms = readText(path).toInt();
    if (ms <= 1)
        return finding(check, S::Ok, QStringLiteral("latency timer %1 ms").arg(ms));
    return finding(check, S::Warning,
                   QStringLiteral("latency timer %1 ms: replies come in %1 ms bursts (works, slower)").arg(ms),
                   QStringLiteral("run: echo 1 | sudo tee %1 (until unplugged); to keep it, put this line in "
                                  "/etc/udev/rules.d/99-calitune.rules: ACTION==\"add\", SUBSYSTEM==\"usb-serial\", "
                                  "DRIVER==\"%2\", ATTR{latency_timer}=\"1\"")
                       .arg(path, usb.driver));
}

Finding lowLatencyFinding(const Device &dev)
{
    const QString check = QStringLiteral("low-latency");
    const int fd = ::open(QFile::encodeName(dev.resolved).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return finding(check, S::Skipped, QStringLiteral("cannot open it to read its low-latency mode"));
    serial_struct serial{};
    const bool known = ::ioctl(fd, TIOCGSERIAL, &serial) == 0;
    ::close(fd);
    if (!known)
        return finding(check, S::Skipped, QStringLiteral("the driver does not report a low-latency mode"));
    if (serial.flags & ASYNC_LOW_LATENCY)
        return finding(check, S::Ok, QStringLiteral("low-latency mode is on"));
    return finding(check, S::Ok,
                   QStringLiteral("low-latency mode is off; Calitune turns it on each time it opens the port"));
}

QList<Finding> adapterFindings(const Environment &env, const Device &dev)
{
    const QString check = QStringLiteral("adapter");
    if (!dev.exists)
        return {finding(check, S::Skipped, QStringLiteral("no device"))};
    if (dev.isPty())
        return {finding(check, S::Skipped,
                        QStringLiteral("%1 is a pseudo-terminal, not a USB adapter").arg(dev.resolved))};
    if (!QFileInfo::exists(env.sysRoot + QStringLiteral("/class/tty/") + dev.name() + QStringLiteral("/device")))
        return {finding(check, S::Skipped, QStringLiteral("%1 has no hardware behind it").arg(dev.shown()))};
    const std::optional<UsbAdapter> usb = usbAdapter(env, dev.name());
    if (!usb)
        return {finding(check, S::Skipped,
                        QStringLiteral("%1 is a built-in serial port, not a USB adapter").arg(dev.shown()))};

    QStringList parts;
    const QString name = QStringList{usb->maker, usb->model}.join(QLatin1Char(' ')).trimmed();
    parts << (name.isEmpty() ? QStringLiteral("USB adapter") : name);
    if (!usb->serial.isEmpty())
        parts << QStringLiteral("serial ") + usb->serial;
    parts << usb->vendorId + QLatin1Char(':') + usb->productId;
    parts << QStringLiteral("driver ") + (usb->driver.isEmpty() ? QStringLiteral("none") : usb->driver);
    return {finding(check, S::Ok, parts.join(QStringLiteral(", "))), latencyFinding(env, dev, *usb),
            lowLatencyFinding(dev)};
}

Finding radioFinding(const QList<Finding> &before, const Probe &probe)
{
    const QString check = QStringLiteral("radio");
    if (!probe)
        return finding(check, S::Skipped, QStringLiteral("not asked; add --probe to see whether a radio answers"));
    for (const Finding &f : before)
        if (f.status == S::Problem && (f.check == QLatin1String("device") || f.check == QLatin1String("permission")
                                       || f.check == QLatin1String("holder")))
            return finding(check, S::Skipped, QStringLiteral("not asked: the port cannot be used (see above)"));
    const ProbeResult result = probe();
    const QString detail = result.detail.simplified();
    auto with = [&](const QString &text) { return detail.isEmpty() ? text : text + QStringLiteral(": ") + detail; };
    switch (result.outcome) {
    case ProbeResult::Outcome::Answered:
        return finding(check, S::Ok, with(QStringLiteral("a radio answered the access code")));
    case ProbeResult::Outcome::NoReply:
        return finding(check, S::Problem, with(NoReplyText),
                       QStringLiteral("check that the radio is on and the plug sits fully in its jack, "
                                      "then try again"));
    case ProbeResult::Outcome::OtherReply:
        return finding(check, S::Problem, with(OtherReplyText),
                       QStringLiteral("check that it is the right radio and cable"));
    case ProbeResult::Outcome::PortNotOpened:
        break;
    }
    return finding(check, S::Problem, with(QStringLiteral("the port could not be opened")),
                   QStringLiteral("close any program that uses it, then try again"));
}

} // namespace

Environment Environment::current()
{
    Environment env;
    env.uid = ::geteuid();
    env.gid = ::getegid();
    if (const passwd *pw = ::getpwuid(env.uid))
        env.userName = QString::fromLocal8Bit(pw->pw_name);
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(std::size_t(std::max(count, 0)));
    const int got = count > 0 ? ::getgroups(count, groups.data()) : 0;
    for (int i = 0; i < got; ++i)
        env.sessionGroups << groups[std::size_t(i)];
    return env;
}

QList<Finding> examine(const QString &device, const Environment &env, const Probe &probe)
{
    const Device dev = lookUp(device);
    const QList<Process> processes = scanProcesses(env, dev.resolved);
    QList<Finding> out{deviceFinding(dev, env)};
    if (dev.exists) {
        out << permissionFinding(dev, env) << holderFinding(env, dev, processes);
    } else {
        out << finding(QStringLiteral("permission"), S::Skipped, QStringLiteral("no device"))
            << finding(QStringLiteral("holder"), S::Skipped, QStringLiteral("no device"));
    }
    out << serviceFinding(env, ModemManager, processes, dev) << serviceFinding(env, Brltty, processes, dev);
    out << adapterFindings(env, dev);
    out << radioFinding(out, probe);
    return out;
}

QStringList usbSerialDevices(const Environment &env)
{
    const QStringList names = QDir(env.sysRoot + QStringLiteral("/class/tty"))
                                  .entryList({QStringLiteral("ttyUSB*"), QStringLiteral("ttyACM*")},
                                             QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name);
    QStringList paths;
    for (const QString &name : names)
        paths << QStringLiteral("/dev/") + name;
    return paths;
}

QString statusName(Status status)
{
    switch (status) {
    case S::Ok: return QStringLiteral("ok");
    case S::Warning: return QStringLiteral("warning");
    case S::Problem: return QStringLiteral("problem");
    case S::Skipped: break;
    }
    return QStringLiteral("skipped");
}

QString formatText(const QList<Finding> &findings)
{
    QString out;
    for (const Finding &f : findings) {
        const QString status = f.status == S::Problem ? QStringLiteral("PROBLEM") : statusName(f.status);
        out += status.leftJustified(9) + f.check.leftJustified(14) + f.text;
        if (!f.advice.isEmpty())
            out += QStringLiteral(" — ") + f.advice;
        out += QLatin1Char('\n');
    }
    return out;
}

int exitStatus(const QList<Finding> &findings)
{
    int status = 0;
    for (const Finding &f : findings) {
        if (f.status != S::Problem)
            continue;
        if (f.check != QLatin1String("radio"))
            return 2;
        status = f.text.startsWith(NoReplyText) ? 3 : f.text.startsWith(OtherReplyText) ? 4 : 2;
    }
    return status;
}

} // namespace Doctor
