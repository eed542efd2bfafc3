#include "cli/Session.h"
#include "cli/StopSignals.h"

#include <csignal>

namespace Cli {

namespace {

History::Record withPlace(History::Record r, const RunSettings &settings, const Target &t)
{
    r.source = History::Source::Cli;
    r.station = settings.station;
    r.port = t.name;
    r.device = t.device;
    r.radio = t.radio;
    return r;
}

QString signalName(int signal)
{
    switch (signal) {
    case SIGINT: return QStringLiteral("Ctrl+C (SIGINT)");
    case SIGTERM: return QStringLiteral("SIGTERM");
#ifdef SIGHUP
    case SIGHUP: return QStringLiteral("SIGHUP (the session ended)");
#endif
    }
    return QStringLiteral("signal %1").arg(signal);
}

const QString DialoutHint =
    QStringLiteral("add yourself to the dialout group: sudo usermod -aG dialout $USER, then log in again");

} // namespace

std::chrono::milliseconds LinkReplyWindow()
{
    bool ok = false;
    const int ms = qEnvironmentVariableIntValue("CALITUNE_REPLY_WINDOW_MS", &ok);
    return ok && ms > 0 ? std::chrono::milliseconds(ms) : Link::DefaultReplyWindow;
}

History::Record StartRecord(History::Action action)
{
    History::Record r;
    r.action = action;
    return r;
}

Session::Session(const RunSettings &settings, const Target &t, History::Record start, bool verifyAsked)
    : target(t),
      m_ownHistory(settings.sharedHistory ? nullptr : std::make_unique<History::Store>(settings.historyPath)),
      m_record(settings.sharedHistory ? *settings.sharedHistory : *m_ownHistory,
               withPlace(std::move(start), settings, t), verifyAsked, HistoryWarnings(settings.style, t.label() + QStringLiteral(": "))),
      m_progress(t.name, link, settings.progress)
{
    link.setReplyWindow(LinkReplyWindow());
    link.setStopCheck(StopSignals::Requested);
    link.setHurryCheck(StopSignals::Hurried);
    m_record.requireKeptBeforeWrite();
}

QString Session::whyNotOpened() const
{
    switch (link.openFailure().kind) {
    case basComm::OpenError::Missing:
        return QStringLiteral("the device does not exist (is the cable plugged in?)");
    case basComm::OpenError::Busy:
        return QStringLiteral("the port is in use by another program");
    case basComm::OpenError::Permission:
        return QStringLiteral("permission denied; ") + DialoutHint;
    case basComm::OpenError::Other:
        break;
    }
    const QString text = link.openFailure().text;
    return text.isEmpty() ? QStringLiteral("unknown reason") : text;
}

// What became of programming mode, as far as the radio said.
QString Session::programmingMode() const
{
    switch (link.exitCommand()) {
    case Link::ExitCommand::Confirmed:
        return QStringLiteral("the radio confirmed the exit command: it is out of programming mode");
    case Link::ExitCommand::NotConfirmed:
        return QStringLiteral("the exit command was sent but the radio did not confirm it: it may still be in "
                              "programming mode (switch it off and on)");
    case Link::ExitCommand::NotSent:
        break;
    }
    return link.entered() ? QStringLiteral("the radio may still be in programming mode (switch it off and on)")
                          : QStringLiteral("the radio was not put in programming mode");
}

PortReport Session::failed(Outcome outcome, int accessAttempts, Writing writing) const
{
    const bool blockSent = writing == Writing::BlockSent;
    const QString written = writing == Writing::No ? QString()
                            : blockSent            ? QStringLiteral("the block was sent: read the radio to see what it holds; ")
                                                   : QStringLiteral("nothing was written; ");
    const QString at = target.label();
    const QString kind = History::OutcomeName(outcome);
    const int status = ExitStatusOf(outcome);
    switch (outcome) {
    case Outcome::PortNotOpened:
        return ErrorReport(status, kind, QStringLiteral("%1: cannot open the port: %2").arg(at, whyNotOpened()), &target);
    case Outcome::NoReply:
        return ErrorReport(status, kind,
                           QStringLiteral("%1: the radio does not answer the access code (%2 attempts); "
                                          "check the cable and that the radio is switched on")
                               .arg(at)
                               .arg(accessAttempts),
                           &target);
    case Outcome::OtherReply:
        if (link.entered())
            return ErrorReport(status, kind,
                               QStringLiteral("%1: the radio answers the block transfer with something else (a refusal "
                                              "or other bytes); %2%3")
                                   .arg(at, written, programmingMode()),
                               &target);
        return ErrorReport(status, kind,
                           QStringLiteral("%1: the radio answers the access code with something other than "
                                          "an acknowledgement; check that it is the right radio and try again")
                               .arg(at),
                           &target);
    case Outcome::LinkLost:
        return ErrorReport(status, kind,
                           QStringLiteral("%1: the link was lost during a block transfer%2%3")
                               .arg(at, writing == Writing::No ? QString()
                                        : blockSent ? QStringLiteral("; the radio may hold a partly written block: read it, "
                                                                     "or restore it from the history")
                                                    : QStringLiteral("; nothing was written to the radio"),
                                    link.exitCommand() == Link::ExitCommand::NotSent ? QString()
                                                                                     : "; " + programmingMode()),
                           &target);
    case Outcome::Interrupted:
        return ErrorReport(status, kind,
                           QStringLiteral("%1: interrupted by %2; %3%4")
                               .arg(at, signalName(StopSignals::Signal()), written, programmingMode()),
                           &target);
    case Outcome::NotKept:
        return ErrorReport(status, kind,
                           QStringLiteral("%1: the history could not be saved; nothing was written; %2 "
                                          "(CALITUNE_HISTORY=off writes without a record)")
                               .arg(at, programmingMode()),
                           &target);
    default:
        return ErrorReport(status, kind, QStringLiteral("%1: %2").arg(at, kind), &target);
    }
}

} // namespace Cli
