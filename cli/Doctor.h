#pragma once
// `calitune-cli doctor`: why a cable "does not work" on Linux. Each check
// gives one finding with what to do about it. Every look-up goes through an
// Environment, so a test can point it at a /sys, /proc and group file of its own.

#include "serial/PortLock.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

namespace Doctor {

enum class Status { Ok, Warning, Problem, Skipped };

struct Finding {
    QString check;    // device, permission, holder, modemmanager, brltty,
                      // adapter, latency, low-latency, radio
    Status status = Status::Ok;
    QString text;     // one line: what was found
    QString advice;   // one line: what to do; empty when nothing
};

// What asking the radio for its access code gave; the command line supplies
// the exchange (it opens the port, sends the code, leaves programming mode).
struct ProbeResult {
    enum class Outcome { Answered, NoReply, OtherReply, PortNotOpened };
    Outcome outcome = Outcome::NoReply;
    QString detail;   // shown after the finding: the radio, the reply, the open error
};
using Probe = std::function<ProbeResult()>;

struct Environment {
    QString sysRoot = QStringLiteral("/sys");
    QString procRoot = QStringLiteral("/proc");
    // Where Qt SerialPort puts its lock files.
    QStringList lockDirs = PortLock::LockDirs();
    QString groupFile = QStringLiteral("/etc/group");
    QString passwdFile = QStringLiteral("/etc/passwd");
    // Where ModemManager and brltty are installed when they are.
    QStringList programDirs{QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin"),
                            QStringLiteral("/sbin"), QStringLiteral("/bin")};
    QString userName;
    uint uid = 0;
    uint gid = 0;
    QList<uint> sessionGroups;   // this process's supplementary groups

    // The running process's user, groups and the real system paths.
    static Environment current();
};

// Runs the checks on `device` (a path; links are followed). The radio is
// asked only when `probe` is given and nothing found so far stops an open.
QList<Finding> examine(const QString &device, const Environment &env, const Probe &probe = {});

// The USB serial devices the kernel knows (/dev/ttyUSB*, /dev/ttyACM*), sorted.
QStringList usbSerialDevices(const Environment &env);

QString statusName(Status status);   // ok, warning, problem, skipped

// One line per finding: status, check, text, and " — advice" when there is one.
QString formatText(const QList<Finding> &findings);

// 0 when nothing is a problem (warnings allowed). When the radio's answer is
// the only problem: 3 for no reply, 4 for another reply, 2 when the probe
// could not open the port; any other problem: 2, the port cannot be used.
// These are the command line's exit statuses of the same names.
int exitStatus(const QList<Finding> &findings);

} // namespace Doctor
