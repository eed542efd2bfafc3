#pragma once
// The whole Read and Write exchanges with the radio, shared by the window and
// the command line: open the port, set up the line, enter programming mode,
// move the calibration block, leave, close. What the user is told, whether to
// try again, and what is remembered are the caller's, through ActionUi.

#include "protocol/CalibrationBlock.h"
#include "serial/basComm.h"

#include <QList>
#include <QString>
#include <array>
#include <optional>

namespace RadioActions {

enum class Outcome {
    Done,
    PortNotOpened,
    NoReply,         // to the access code
    OtherReply,      // to the access code
    LinkLost,        // during a block transfer
    VerifyMismatch,  // the radio holds other bytes than were written
};

// A port by number (the port map's COMn) or by device path.
struct PortChoice {
    int number = 0;
    QString device;    // used when not empty
};

enum class ReadPurpose { Read, Learn, Verify };

class ActionUi {
public:
    virtual ~ActionUi() = default;
    // The window is held for the whole exchange and given back exactly once,
    // after the port is closed and the last message is gone.
    virtual void holdWindow() {}
    virtual void giveBackWindow() {}
    // Tells the outcome at the moment it is known: Done while the port is
    // still open; LinkLost before the port is closed.
    virtual void tell(Outcome outcome) = 0;
    // Tells that the radio does not answer; true to try once more.
    virtual bool retryAfterNoReply() { return false; }
    // What was learnt and done, for the record.
    virtual void blockRead(ReadPurpose, const BlockBytes &) {}
    virtual void aboutToWrite(const std::optional<BlockBytes> & /*before*/, const BlockBytes & /*sent*/) {}
    virtual void writeEnded(Outcome) {}
};

// Reads the calibration block; on Done it is in CalBuffer elements 0 to 15.
Outcome Read(ActionUi &ui, const PortChoice &port);

// Writes CalBuffer elements 0 to 15 (0 to 11 already packed and each a
// byte). Bytes 12 to 15 not yet learnt in this run are read from the radio
// first; a failed learning read writes nothing.
Outcome Write(ActionUi &ui, const PortChoice &port);

// Reads the block, changes the given bytes, writes it, and unless told not
// to reads it back and compares all 16 bytes. Bytes 12 to 15 always stay the
// radio's own. `before`/`after` receive the blocks read.
struct Change {
    std::array<std::optional<std::uint8_t>, PowerValueCount> values;
    bool verify = true;
};
struct WriteResult {
    Outcome outcome = Outcome::PortNotOpened;
    std::optional<BlockBytes> before, sent, after;
};
WriteResult WriteChanged(ActionUi &ui, const PortChoice &port, const Change &change);

// The ports that exist now (the system's devices are listed again), and
// whether each can be opened.
struct PortState {
    int number;
    QString device;
    bool available;
};
QList<PortState> ListPorts();

// The device a port choice names now; empty when none.
QString DeviceOf(const PortChoice &port);

// Why the last port open failed, and the system's own words.
using basComm::OpenError;
OpenError LastOpenFailure();
QString LastOpenFailureText();

} // namespace RadioActions
