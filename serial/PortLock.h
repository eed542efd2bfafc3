#pragma once
// Qt SerialPort's lock files, and the ones a killed program leaves behind.

#include <QString>
#include <QStringList>

namespace PortLock {

// The folders Qt SerialPort may put its lock files in, in its order. The
// list is Qt's own and fixed: the first writable folder takes the file.
QStringList LockDirs();

// "LCK..ttyUSB0": the lock file's name for a device path, as Qt names it:
// the path without /dev/, each '/' as '_'. A link and its target take two.
QString LockFileName(const QString &device);

// Qt honours a lock file that names no live process for 30 s when it cannot
// read a process from it: an empty file, or a ".rmlock" beside it, left by a
// program killed while it made or cleared one; and one whose process number
// a new process of the same name has taken. The port then seems busy though
// nothing holds it. Qt's maker of a lock file holds a flock on it from right
// after creating it, and every Calitune holds one on the device for its whole
// exchange; when neither is held, such leftovers of `device` are removed. An
// empty file younger than a second may be one a live program is making: it
// is waited out. True when the port may be opened again now.
bool ClearLeftovers(const QString &device);

// Removes each lock file of `device` that no live program holds: for a
// device just made or going away, whose lock files can only be an earlier
// one's.
void RemoveUnheld(const QString &device);

} // namespace PortLock
