#pragma once
// Splits the bytes the simulated radio receives into the frames it knows:
// the access code, 'R' requests, 'W' frames and the exit command. Bytes may
// come split or merged in any way. A byte that starts no frame is junk and
// dropped; so is the first byte of an unfinished frame that got no further
// byte for StaleAfter.

#include "sim/SimRadio.h"

#include <QByteArray>
#include <QByteArrayView>
#include <chrono>
#include <optional>
#include <vector>

class FrameParser {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds StaleAfter{100};

    // Bytes that arrived together at `at`.
    void append(QByteArrayView bytes, Clock::time_point at);
    void clear();
    bool isEmpty() const { return m_pending.isEmpty(); }

    // The complete frame at the head as it stands at `now`, stamped with the
    // arrival of its first byte; it stays there until pop().
    std::optional<SimRadio::Frame> head(Clock::time_point now);
    // Removes the complete frame at the head, if there is one.
    void pop();

private:
    void drop(qsizetype n);

    QByteArray m_pending;
    std::vector<Clock::time_point> m_arrivals;   // one per pending byte
};
