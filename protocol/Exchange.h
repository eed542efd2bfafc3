#pragma once
// One attempt of every exchange with the radio: send the frame in one write,
// clear ReplyReceived, wait, read a reply of fixed size into RxBuffer, note
// whether a reply came (first byte not 0), and purge both directions. Before
// a repeated attempt the line is first let fall quiet, so that the tail of an
// earlier reply still on its way is not read as the start of the next one.

#include "serial/basComm.h"

#include <QByteArray>
#include <QLoggingCategory>
#include <cstdint>
#include <functional>

Q_DECLARE_LOGGING_CATEGORY(lcLink)

// A USB adapter passes bytes on in bursts (every 16 ms by default): quiet
// for longer than that means the line has nothing more on its way.
inline constexpr int ResyncQuietMs = 25;
inline constexpr int ResyncMaxMs = 250;
// A reply that came in parts is waited for while its bytes keep coming.
inline constexpr int SplitReplyQuietMs = 50;

struct Attempt {
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

// Returns the reply bytes that really arrived (at most replySize).
QByteArray RunAttempt(basComm::ComHandle port, const QByteArray &frame, const Attempt &attempt);

// Told of every attempt once its reply is in (e.g. to show progress).
struct AttemptReport {
    const char *step;
    int number;
    int of;
    QByteArray reply;
};
using AttemptListener = std::function<void(const AttemptReport &)>;
void SetAttemptListener(AttemptListener listener);
