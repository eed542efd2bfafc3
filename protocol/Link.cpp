#include "protocol/Link.h"

#include <QElapsedTimer>

Q_LOGGING_CATEGORY(lcLink, "calitune.link", QtWarningMsg)

// One attempt of every exchange with the radio: send the frame in one write,
// wait, read a reply of fixed size, and purge both directions.
struct Link::Attempt {
    const char *step;        // what is being done, for the log
    int number;              // 1 for the first attempt
    int of;                  // attempts in all
    float waitMs;            // after the send
    std::uint16_t replySize;
    bool completeSplitReply = false;
    // An earlier attempt's reply was cut: bytes it still had on the way may
    // come first, so a reply followed by more bytes is taken from the end.
    bool lineMayCarryOldReply = false;
};

namespace {

constexpr int MoreBytesChunk = 64;

} // namespace

Link::Link() = default;

Link::~Link() { close(); }

Result<void, basComm::OpenError> Link::open(const QString &device)
{
    close();
    m_stopped = false;
    m_entered = false;
    m_exit = ExitCommand::NotSent;
    auto opened = basComm::ComPort::open(device);
    if (!opened) {
        m_openFailure = opened.failure();
        qCDebug(lcLink) << "port" << device << "not opened:" << m_openFailure.text;
        return m_openFailure;
    }
    m_port = std::move(opened).value();
    m_port->configure(9600, basComm::DataBits::Eight, basComm::Parity::None, basComm::StopBits::One);
    m_open = true;
    return {};
}

void Link::close()
{
    m_port.reset();
    m_open = false;
    m_inProgrammingMode = false;
    m_accessCodeSent = false;
}

// The attempt on the wire always finishes; a stop asked for meanwhile keeps
// the next one, of this step or another, from starting.
bool Link::mayStartAttempt()
{
    if (m_stop && m_stop())
        m_stopped = true;
    return !m_stopped;
}

void Link::startStep()
{
    m_attemptsSent = 0;
    m_replies = {};
}

void Link::completeReply(QByteArray &got, const Attempt &a, std::chrono::milliseconds readSoFar)
{
    using std::chrono::milliseconds;
    QElapsedTimer clock;
    clock.start();
    const auto left = [&] { return replyTime(a.replySize) - readSoFar - milliseconds(clock.elapsed()); };
    if (a.completeSplitReply && !got.isEmpty() && got.size() < a.replySize)
        got += m_port->readMore(a.replySize - int(got.size()), SplitReplyQuiet, left()).bytes;
    if (a.lineMayCarryOldReply && got.size() == a.replySize) {
        QByteArray more;
        while (left() > milliseconds::zero()) {
            const QByteArray chunk = m_port->readMore(MoreBytesChunk, ResyncQuiet, std::min(left(), ResyncMax)).bytes;
            if (chunk.isEmpty())
                break;
            more += chunk;
        }
        if (!more.isEmpty()) {
            qCDebug(lcLink) << a.step << "reply followed by" << more.size() << "more bytes; taking the last"
                            << a.replySize;
            got = (got + more).right(a.replySize);
        }
    }
}

// Returns the reply bytes that really arrived (at most replySize). Before a
// repeated attempt the line is first let fall quiet, so that the tail of an
// earlier reply still on its way is not read as the start of the next one.
QByteArray Link::runAttempt(const QByteArray &frame, const Attempt &a)
{
    if (!m_port)
        return {};
    m_attemptsSent = a.number;
    if (a.number > 1) {
        if (const int dropped = m_port->settle(ResyncQuiet, ResyncMax))
            qCDebug(lcLink) << a.step << "dropped" << dropped << "late bytes before attempt" << a.number;
    }
    m_port->write(frame, WriteTimePerByte * (frame.size() + 1));
    basComm::WaitMs(a.waitMs);
    QElapsedTimer readClock;
    readClock.start();
    QByteArray got = m_port->read(a.replySize, replyTime(a.replySize), ByteSpacing).bytes;
    completeReply(got, a, std::chrono::milliseconds(readClock.elapsed()));
    m_port->purge(true, true);
    if (Frames::isNoReply(got))
        ++m_replies.silent;
    else if (got.size() < a.replySize)
        ++m_replies.cut;
    else
        ++m_replies.whole;
    qCDebug(lcLink).noquote() << a.step << "attempt" << a.number << "of" << a.of << "sent" << frame.toHex(' ')
                              << "got" << (got.isEmpty() ? "nothing" : got.toHex(' '));
    if (m_listener)
        m_listener({a.step, a.number, a.of, got});
    return got;
}

Frames::EntryReply Link::enterProgramMode(int retryBudget)
{
    startStep();
    const QByteArray frame = Frames::accessCode();
    const int attempts = 1 + std::max(retryBudget, 0);
    Frames::EntryReply result = Frames::EntryReply::NoReply;
    for (int n = 1; n <= attempts && mayStartAttempt(); ++n) {
        m_accessCodeSent = true;
        result = Frames::judgeEntryReply(runAttempt(frame, {"entry", n, attempts, EntryWaitMs, 1}));
        if (result == Frames::EntryReply::Acknowledged)
            break;
    }
    m_inProgrammingMode = result == Frames::EntryReply::Acknowledged;
    m_entered = m_entered || m_inProgrammingMode;
    return result;
}

bool Link::leaveProgramMode(int attempts)
{
    startStep();
    const QByteArray frame = Frames::exitCommand();
    // Taking the radio out of programming mode is what a stop asks for, so
    // these attempts are not cut short by it; only a hurry is.
    bool confirmed = false;
    for (int n = 1; n <= attempts && !confirmed && (n == 1 || !m_hurry || !m_hurry()); ++n)
        confirmed = Frames::isExitReply(runAttempt(frame, {"exit", n, attempts, ExitWaitMs, 1}));
    m_inProgrammingMode = false;
    if (m_port)
        m_exit = confirmed ? ExitCommand::Confirmed : ExitCommand::NotConfirmed;
    return confirmed;
}

std::optional<BlockBytes> Link::readBlock(std::uint16_t address)
{
    startStep();
    const QByteArray frame = Frames::readRequest(address);
    bool earlierReplyCut = false;
    for (int n = 1; n <= ReadAttempts && mayStartAttempt(); ++n) {
        Attempt attempt{"block read", n, ReadAttempts, BlockWaitMs, Frames::ReadReplySize};
        attempt.completeSplitReply = true;
        attempt.lineMayCarryOldReply = earlierReplyCut;
        const QByteArray reply = runAttempt(frame, attempt);
        if (const auto block = Frames::blockFromReadReply(reply, address))
            return block;
        earlierReplyCut = earlierReplyCut || !reply.isEmpty();
    }
    return std::nullopt;
}

bool Link::writeBlock(const BlockBytes &block, std::uint16_t address)
{
    startStep();
    const QByteArray frame = Frames::writeFrame(address, block);
    for (int n = 1; n <= WriteAttempts && mayStartAttempt(); ++n)
        if (Frames::isAck(runAttempt(frame, {"block write", n, WriteAttempts, BlockWaitMs, 1})))
            return true;
    return false;
}
