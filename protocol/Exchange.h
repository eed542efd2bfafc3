#pragma once
// The whole exchanges with a radio, shared by the window and the command
// line: open the port, enter programming mode, move the calibration block,
// leave, close. What the user is told and asked is the front end's (Ui);
// what is kept of the exchange is the history's (Log).

#include "protocol/CalibrationBlock.h"
#include "protocol/Link.h"
#include "protocol/Outcome.h"

#include <functional>
#include <optional>

namespace Exchange {

class Ui {
public:
    virtual ~Ui() = default;
    // Tells the outcome at the moment it is known, always before the port is
    // closed: Done after the exit command, a failure before any unless
    // windsDownFailedTransfers(). NoReply is put as the retry question instead.
    virtual void tell(Outcome outcome) = 0;
    // The radio does not answer the access code: true to try again with the
    // long budget.
    virtual bool retryAfterNoReply() { return false; }
    // true: a block transfer that failed although the radio answered some of
    // its attempts sends the exit command, and is OtherReply when every
    // attempt got a whole reply that was refused (a NAK, other bytes).
    // false: LinkLost, and nothing more is sent.
    virtual bool windsDownFailedTransfers() const { return false; }
};

class Log {
public:
    virtual ~Log() = default;
    virtual void blockRead(const BlockBytes &) {}      // the block as the radio held it
    // Kept before it returns; false: it could not be, and no block goes out.
    virtual bool aboutToWrite(const BlockBytes &) { return true; }
    virtual void readBack(const BlockBytes &) {}
    virtual void ended(Outcome) {}                     // before the outcome is told
};

struct ReadResult {
    Outcome outcome = Outcome::PortNotOpened;
    std::optional<BlockBytes> block;
};
// Reads the calibration block (the access code in 4 attempts).
ReadResult Read(Link &link, const QString &device, Ui &ui, Log &log);

struct Change {
    PowerValues values;           // the others stay as the radio holds them
    bool verify = false;          // read the block back and compare all 16 bytes
    bool skipUnchanged = false;   // send no block that would change nothing
    bool dryRun = false;          // read, decide, write nothing
    // Once the radio's block is known: Done to go on, or the outcome (Refused)
    // that ends the exchange with nothing written.
    std::function<Outcome(const BlockBytes &radioBlock)> admit;
};
struct WriteResult {
    Outcome outcome = Outcome::PortNotOpened;
    std::optional<BlockBytes> before, sent, after;
    bool blockSent = false;       // a block write went out (acknowledged or not)
};
// The one write path (the access code in 11 attempts): reads the block in
// the same programming-mode session, writes it with the given values and the
// radio's own bytes 12 to 15, and reads it back when asked. A failed first
// read writes nothing; a block the log cannot keep is not sent (NotKept).
WriteResult Write(Link &link, const QString &device, Ui &ui, Log &log, const Change &change);

} // namespace Exchange
