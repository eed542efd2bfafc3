#pragma once
// The command line: one command per run, one exit status per outcome.

#include <QStringList>

namespace Cli {

enum ExitStatus {
    Done = 0,
    BadInput = 1,         // nothing was sent
    PortNotOpened = 2,
    NoReply = 3,          // to the access code
    OtherReply = 4,       // to the access code
    LinkLost = 5,         // during a block transfer
    VerifyMismatch = 6,   // the radio holds other bytes than were written
};

// arguments as QCoreApplication::arguments() gives them.
int run(const QStringList &arguments);

} // namespace Cli
