#pragma once
// How an exchange with a radio ended. The history keeps it in its records,
// the command line turns it into an exit status; the names both use are the
// history's (history/RecordState.h).

enum class Outcome {
    Done,
    PortNotOpened,
    NoReply,          // to the access code
    OtherReply,       // to the access code
    LinkLost,         // during a block transfer
    VerifyMismatch,   // the radio holds other bytes than were written
    Refused,          // the front end would not have this radio written (Exchange::Change::admit)
    Interrupted,      // a signal ended the exchange early
    NotKept,          // what had to be kept before the write could not be: nothing was written
};
