#pragma once
// Qt SerialPort's lock files, and the ones a killed program leaves behind.

#include <QString>
#include <QStringList>

namespace PortLock {

// The folders Qt SerialPort may put its lock files in, in its order.
QStringList LockDirs();

// "LCK..ttyUSB0": the lock file's name for a device path, as Qt names it:
// the path without /dev/, each '/' as '_'. A link and its target take two.
QString LockFileName(const QString &device);

// Qt honours a lock file that names no live process for 30 s when it cannot
// read a process from it: an empty file, or a ".rmlock" beside it, left by a
// program killed while it made or cleared one. The port then seems busy
// though nothing holds it. When no other process holds the device itself
// either, such leftovers of `device` are removed; true when any was.
bool ClearLeftovers(const QString &device);

} // namespace PortLock
