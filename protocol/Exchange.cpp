#include "protocol/Exchange.h"

namespace Exchange {

namespace {

// Closes the port on every way out, after the outcome has been told.
struct ClosesLink {
    Link &link;
    ~ClosesLink() { link.close(); }
};

Outcome told(Ui &ui, Log &log, Outcome outcome)
{
    qCDebug(lcLink) << "exchange ended:" << int(outcome);
    log.ended(outcome);
    ui.tell(outcome);
    return outcome;
}

// The radio answered and is left in programming mode no longer.
Outcome finish(Link &link, Ui &ui, Log &log, Outcome outcome)
{
    link.leaveProgramMode();
    return told(ui, log, outcome);
}

// A block transfer that ran out of attempts. A radio that answered nothing
// is gone with its cable: nothing more is sent to it.
Outcome transferFailed(Link &link, Ui &ui, Log &log)
{
    const Link::Replies heard = link.replies();
    if (!ui.windsDownFailedTransfers() || heard.silent == link.attemptsSent())
        return told(ui, log, Outcome::LinkLost);
    return finish(link, ui, log, heard.whole == link.attemptsSent() ? Outcome::OtherReply : Outcome::LinkLost);
}

// A step that ran out of attempts, or was stopped: a stopped exchange still
// takes the radio out of programming mode.
Outcome broken(Link &link, Ui &ui, Log &log)
{
    if (!link.stopped())
        return transferFailed(link, ui, log);
    if (link.inProgrammingMode())
        link.leaveProgramMode();
    else if (link.accessCodeSent())
        link.leaveProgramMode(1);   // its answer may only have been late
    return told(ui, log, Outcome::Interrupted);
}

// Opens the port and enters programming mode, as often as the user asks;
// Done when the radio is in programming mode.
Outcome start(Link &link, const QString &device, Ui &ui, Log &log, int retryBudget)
{
    if (!link.open(device))
        return told(ui, log, Outcome::PortNotOpened);
    Frames::EntryReply reply = link.enterProgramMode(retryBudget);
    // A radio that was not yet switched on can be tried again at once.
    while (reply == Frames::EntryReply::NoReply && !link.stopped() && ui.retryAfterNoReply())
        reply = link.enterProgramMode(Link::LongRetryBudget);
    if (reply == Frames::EntryReply::Acknowledged)
        return Outcome::Done;
    if (link.stopped())
        return broken(link, ui, log);
    return told(ui, log, reply == Frames::EntryReply::OtherReply ? Outcome::OtherReply : Outcome::NoReply);
}

// Opens, enters programming mode and reads the block as the radio holds it;
// nothing, with `outcome` told, when any step fails.
std::optional<BlockBytes> startAndRead(Link &link, const QString &device, Ui &ui, Log &log, int retryBudget,
                                       Outcome &outcome)
{
    if (outcome = start(link, device, ui, log, retryBudget); outcome != Outcome::Done)
        return std::nullopt;
    const std::optional<BlockBytes> block = link.readBlock();
    if (!block) {
        outcome = broken(link, ui, log);
        return std::nullopt;
    }
    log.blockRead(*block);
    return block;
}

} // namespace

ReadResult Read(Link &link, const QString &device, Ui &ui, Log &log)
{
    ClosesLink closes{link};
    ReadResult r;
    r.block = startAndRead(link, device, ui, log, Link::ShortRetryBudget, r.outcome);
    if (r.block)
        r.outcome = finish(link, ui, log, Outcome::Done);
    return r;
}

WriteResult Write(Link &link, const QString &device, Ui &ui, Log &log, const Change &change)
{
    ClosesLink closes{link};
    WriteResult r;
    r.before = startAndRead(link, device, ui, log, Link::LongRetryBudget, r.outcome);
    if (!r.before)
        return r;
    if (const Outcome admitted = change.admit ? change.admit(*r.before) : Outcome::Done; admitted != Outcome::Done) {
        r.outcome = finish(link, ui, log, admitted);
        return r;
    }
    r.sent = WithValues(*r.before, change.values);
    if (change.dryRun || (change.skipUnchanged && *r.sent == *r.before)) {
        r.outcome = finish(link, ui, log, Outcome::Done);
        return r;
    }
    if (!log.aboutToWrite(*r.sent)) {
        r.outcome = finish(link, ui, log, Outcome::NotKept);
        return r;
    }
    const bool written = link.writeBlock(*r.sent);
    r.blockSent = link.attemptsSent() > 0;
    if (!written) {
        r.outcome = broken(link, ui, log);
        return r;
    }
    Outcome outcome = Outcome::Done;
    if (change.verify) {
        r.after = link.readBlock();
        if (!r.after) {
            r.outcome = broken(link, ui, log);
            return r;
        }
        log.readBack(*r.after);
        outcome = *r.after == *r.sent ? Outcome::Done : Outcome::VerifyMismatch;
    }
    r.outcome = finish(link, ui, log, outcome);
    return r;
}

} // namespace Exchange
