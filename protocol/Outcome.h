#pragma once
// How an exchange with a radio ended, from the link up to the history, the
// command line's exit status and its --json.

#include <QString>
#include <QStringView>
#include <optional>

enum class Outcome {
    Done,
    PortNotOpened,
    NoReply,          // to the access code
    OtherReply,       // to the access code
    LinkLost,         // during a block transfer
    VerifyMismatch,   // the radio holds other bytes than were written
    OtherRadio,       // a restore refused: the block came from another radio
    Interrupted,      // a signal ended the exchange early
    BackupNotSaved,   // a file that had to be kept could not be: the backup after a read, the history before a write
    Unfinished,       // a write's record before the write has ended
};

// The short names the history, --json and the exit-status help use:
// done, port, no-reply, other-reply, link-lost, verify, other-radio,
// interrupted, file, unfinished.
QString OutcomeName(Outcome outcome);
std::optional<Outcome> OutcomeFromName(QStringView name);
