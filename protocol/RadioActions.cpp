#include "protocol/RadioActions.h"
#include "protocol/BlockCommands.h"
#include "protocol/Declare.h"
#include "protocol/Exchange.h"
#include "protocol/Module1.h"
#include "serial/PortMap.h"

#include <algorithm>

using namespace Module1;

namespace RadioActions {

namespace {

// Holds the window for one exchange; on every way out closes the port and
// gives the window back, exactly once. A block transfer that runs out of
// attempts reports through the same path.
class Session {
public:
    explicit Session(ActionUi &ui) : m_ui(ui)
    {
        m_ui.holdWindow();
        SetLinkLostUi({[this] { m_ui.tell(Outcome::LinkLost); }, [this] { end(); }});
    }
    ~Session()
    {
        end();
        SetLinkLostUi({});
    }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    void end()
    {
        CloseRadioPort();
        if (!m_givenBack) {
            m_givenBack = true;
            m_ui.giveBackWindow();
        }
    }

private:
    ActionUi &m_ui;
    bool m_givenBack = false;
};

constexpr int CarriedBytesFirst = PowerValueCount;   // block bytes 12 to 15

bool openPort(const PortChoice &port)
{
    return (port.device.isEmpty() ? OpenRadioPort(std::int16_t(port.number))
                                  : OpenRadioDevice(port.device)) == 0;
}

// Sets up the line and enters programming mode, as often as the user asks.
Outcome enter(ActionUi &ui, int retryBudget)
{
    basComm::ConfigureComPort(RadioPort, 9600, 8, 0, 0, 26);
    int result = EnterProgramMode(RadioPort, Declare::CodeBuffer, retryBudget);
    // A radio that was not yet switched on can be tried again at once.
    while (result == NoReply && ui.retryAfterNoReply())
        result = EnterProgramMode(RadioPort, Declare::CodeBuffer, LongRetryBudget);
    if (result == Acknowledged)
        return Outcome::Done;
    if (result == OtherReply)
        ui.tell(Outcome::OtherReply);
    return result == OtherReply ? Outcome::OtherReply : Outcome::NoReply;
}

// Opens and enters; Done when the radio is in programming mode.
Outcome start(ActionUi &ui, const PortChoice &port, int retryBudget)
{
    if (!openPort(port)) {
        qCDebug(lcLink) << "port" << port.number << port.device << "not opened:"
                        << basComm::LastOpenErrorText();
        ui.tell(Outcome::PortNotOpened);
        return Outcome::PortNotOpened;
    }
    return enter(ui, retryBudget);
}

BlockBytes bufferedBlock()
{
    BlockBytes block{};
    for (std::size_t k = 0; k < block.size(); ++k)
        block[k] = ElementByte(Declare::CalBuffer[k]).value_or(0);
    return block;
}

bool readBlock(ActionUi &ui, ReadPurpose purpose)
{
    ReadFunction();
    if (Declare::TransferFailed == 1)
        return false;
    ui.blockRead(purpose, bufferedBlock());
    return true;
}

bool carriedBytesKnown()
{
    const auto &buffer = Declare::CalBuffer;
    return std::all_of(buffer.begin() + CarriedBytesFirst, buffer.begin() + BlockLength,
                       [](const auto &e) { return e.has_value(); });
}

// Writes what CalBuffer holds; the user is told of a lost link already.
bool writeBlock(ActionUi &ui, const std::optional<BlockBytes> &before)
{
    ui.aboutToWrite(before, bufferedBlock());
    WriteFunction();
    if (Declare::TransferFailed != 1)
        return true;
    ui.writeEnded(Outcome::LinkLost);
    return false;
}

Outcome finish(ActionUi &ui, Outcome outcome)
{
    LeaveProgramMode();
    ui.tell(outcome);
    return outcome;
}

const char *outcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Done: return "done";
    case Outcome::PortNotOpened: return "port not opened";
    case Outcome::NoReply: return "no reply to the access code";
    case Outcome::OtherReply: return "other reply to the access code";
    case Outcome::LinkLost: return "link lost";
    case Outcome::VerifyMismatch: return "read back other bytes than written";
    }
    return "?";
}

Outcome logged(const char *action, Outcome outcome)
{
    qCDebug(lcLink) << action << "ended:" << outcomeName(outcome);
    return outcome;
}

Outcome runRead(ActionUi &ui, const PortChoice &port)
{
    Session session(ui);
    if (const Outcome o = start(ui, port, ShortRetryBudget); o != Outcome::Done)
        return o;
    if (!readBlock(ui, ReadPurpose::Read))
        return Outcome::LinkLost;
    return finish(ui, Outcome::Done);
}

Outcome runWrite(ActionUi &ui, const PortChoice &port)
{
    Session session(ui);
    if (const Outcome o = start(ui, port, LongRetryBudget); o != Outcome::Done)
        return o;
    std::optional<BlockBytes> before;
    // Bytes 12 to 15 are not ours: until a read in this run has brought
    // them, learn them from the radio rather than overwrite them. The values
    // already packed stay as they are.
    if (!carriedBytesKnown()) {
        const auto packed = Declare::CalBuffer;
        if (!readBlock(ui, ReadPurpose::Learn))
            return Outcome::LinkLost;
        before = bufferedBlock();
        std::copy(packed.begin(), packed.begin() + CarriedBytesFirst, Declare::CalBuffer.begin());
    }
    if (!writeBlock(ui, before))
        return Outcome::LinkLost;
    ui.writeEnded(Outcome::Done);
    return finish(ui, Outcome::Done);
}

WriteResult changeBlock(ActionUi &ui, const PortChoice &port, const Change &change)
{
    WriteResult r;
    Session session(ui);
    if (r.outcome = start(ui, port, LongRetryBudget); r.outcome != Outcome::Done)
        return r;
    r.outcome = Outcome::LinkLost;
    if (!readBlock(ui, ReadPurpose::Learn))
        return r;
    r.before = bufferedBlock();
    for (int i = 0; i < PowerValueCount; ++i)
        if (change.values[i])
            Declare::CalBuffer[i] = double(*change.values[i]);
    r.sent = bufferedBlock();
    if (!writeBlock(ui, r.before))
        return r;
    if (change.verify) {
        if (!readBlock(ui, ReadPurpose::Verify)) {
            ui.writeEnded(Outcome::LinkLost);
            return r;
        }
        r.after = bufferedBlock();
    }
    r.outcome = r.after && *r.after != *r.sent ? Outcome::VerifyMismatch : Outcome::Done;
    ui.writeEnded(r.outcome);
    r.outcome = finish(ui, r.outcome);
    return r;
}

} // namespace

Outcome Read(ActionUi &ui, const PortChoice &port) { return logged("read", runRead(ui, port)); }

Outcome Write(ActionUi &ui, const PortChoice &port) { return logged("write", runWrite(ui, port)); }

WriteResult WriteChanged(ActionUi &ui, const PortChoice &port, const Change &change)
{
    WriteResult r = changeBlock(ui, port, change);
    logged("write with read-back", r.outcome);
    return r;
}

QList<PortState> ListPorts()
{
    QList<PortState> ports;
    for (const PortMap::Port &p : PortMap::Refresh()) {
        const basComm::ComHandle handle = basComm::OpenComPort(p.number);
        ports.append({p.number, p.device, handle != 0});
        basComm::CloseComPort(handle);
    }
    return ports;
}

QString DeviceOf(const PortChoice &port)
{
    return port.device.isEmpty() ? PortMap::DevicePath(port.number) : port.device;
}

OpenError LastOpenFailure() { return basComm::LastOpenError(); }

QString LastOpenFailureText() { return basComm::LastOpenErrorText(); }

} // namespace RadioActions
