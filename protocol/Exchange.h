#pragma once
// One attempt of every exchange with the radio: send the frame in one write,
// clear ReplyReceived, wait, read a reply of fixed size into RxBuffer, note
// whether a reply came (first byte not 0), and purge both directions.

#include "serial/basComm.h"

#include <QByteArray>
#include <cstdint>

// Returns how many reply bytes really arrived.
int RunAttempt(basComm::ComHandle port, const QByteArray &frame, float waitMs, std::uint16_t replySize);
