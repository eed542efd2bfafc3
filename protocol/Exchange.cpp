#include "protocol/Exchange.h"
#include "protocol/Declare.h"

#include <QElapsedTimer>

Q_LOGGING_CATEGORY(lcLink, "calitune.link", QtWarningMsg)

using namespace basComm;

namespace {

AttemptListener &listener()
{
    static AttemptListener l;
    return l;
}

constexpr int MoreBytesChunk = 64;

// The reply's own time budget, as the driver's read rule gives it.
int replyBudgetMs(int replySize) { return 700 + 2 * replySize; }

void completeReply(ComHandle port, QByteArray &got, const Attempt &a, const QElapsedTimer &readClock)
{
    const auto left = [&] { return int(replyBudgetMs(a.replySize) - readClock.elapsed()); };
    if (a.completeSplitReply && !got.isEmpty() && got.size() < a.replySize)
        ReadMoreComBytes(port, got, a.replySize - int(got.size()), SplitReplyQuietMs, left());
    if (a.lineMayCarryOldReply && got.size() == a.replySize) {
        QByteArray more;
        while (left() > 0 && ReadMoreComBytes(port, more, MoreBytesChunk, ResyncQuietMs,
                                              std::min(left(), ResyncMaxMs)) > 0) {
        }
        if (!more.isEmpty()) {
            qCDebug(lcLink) << a.step << "reply followed by" << more.size() << "more bytes; taking the last"
                            << a.replySize;
            got = (got + more).right(a.replySize);
        }
    }
}

} // namespace

void SetAttemptListener(AttemptListener l) { listener() = std::move(l); }

QByteArray RunAttempt(ComHandle port, const QByteArray &frame, const Attempt &a)
{
    if (a.number > 1) {
        if (const int dropped = SettleComPort(port, ResyncQuietMs, ResyncMaxMs))
            qCDebug(lcLink) << a.step << "dropped" << dropped << "late bytes before attempt" << a.number;
    }
    WriteComBytes(port, frame, std::uint32_t(frame.size()));
    Declare::ReplyReceived = false;
    WaitMs(a.waitMs);
    QElapsedTimer readClock;
    readClock.start();
    int arrived = 0;
    Declare::RxBuffer = ReadComBytes(port, a.replySize, &arrived);
    QByteArray got = Declare::RxBuffer.left(arrived);
    completeReply(port, got, a, readClock);
    Declare::RxBuffer = got + QByteArray(a.replySize - got.size(), '\0');
    Declare::ReplyReceived = Declare::RxBuffer[0] != 0;
    PurgeComPort(port, true, true);
    qCDebug(lcLink).noquote() << a.step << "attempt" << a.number << "of" << a.of << "sent"
                              << frame.toHex(' ') << "got" << (got.isEmpty() ? "nothing" : got.toHex(' '));
    if (listener())
        listener()({a.step, a.number, a.of, got});
    return got;
}
