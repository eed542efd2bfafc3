#pragma once
// The command line: a table of commands, and its exit statuses: one per
// outcome of an exchange, and those of its own refusals.

#include "protocol/Outcome.h"

#include <QStringList>

namespace Cli {

enum ExitStatus {
    Done = 0,
    BadInput = 1,         // nothing was sent
    PortNotOpened = 2,
    NoReply = 3,          // to the access code
    OtherReply = 4,       // to the access code, or to every attempt of a block transfer
    LinkLost = 5,         // during a block transfer: silence, or a reply cut short
    VerifyMismatch = 6,   // the radio holds other bytes than were written, or than compared
    OtherRadio = 7,       // refused: the block, or the backup file to replace, is another radio's
    BackupNotSaved = 8,   // the backup, or the history's record before a write, could not be saved
    ServerFailed = 9,     // the history server cannot be reached or refused the records
};

// The exit status of an exchange's outcome; an interrupted one gives
// 128 + the signal that interrupted it.
int ExitStatusOf(Outcome outcome);

// arguments as QCoreApplication::arguments() gives them.
int run(const QStringList &arguments);

} // namespace Cli
