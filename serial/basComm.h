#pragma once
// The serial port driver: the only code that touches a serial device. A
// ComPort is one open port, used by one thread; every operation is
// synchronous, shows nothing and reports failure only through its result.
// Every wait is given with the call: the port keeps no time-outs of its own.

#include "base/Result.h"

#include <QByteArray>
#include <QString>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

class QSerialPort;

namespace basComm {

using std::chrono::milliseconds;

// Why an open failed; the failure's text is the system's own words.
enum class OpenError { Missing, Busy, Permission, Other };

enum class DataBits { Five = 5, Six = 6, Seven = 7, Eight = 8 };
enum class Parity { None, Odd, Even, Mark, Space };
enum class StopBits { One, OneAndHalf, Two };

// How a read ended: every byte asked for came, the time ran out (some bytes
// may have come), or the device failed (it vanished, say).
enum class ReadStatus { Complete, TimedOut, Error };
struct Received {
    QByteArray bytes;   // only what arrived, never more than asked for
    ReadStatus status = ReadStatus::TimedOut;
};

class ComPort {
public:
    // Opens the device exclusively, by its resolved path, and holds it
    // against every other path to it and every other process, root's
    // included. Drops input waiting from before.
    static Result<std::unique_ptr<ComPort>, OpenError> open(const QString &device);
    ~ComPort();
    ComPort(const ComPort &) = delete;
    ComPort &operator=(const ComPort &) = delete;

    QString device() const;   // the resolved path that was opened

    // False when the line refuses a setting (a baud rate of 0, say).
    bool configure(std::uint32_t baudRate, DataBits, Parity, StopBits);

    void purge(bool input, bool output);

    // Reads up to `count` bytes. Returns when all have come, when more than
    // `gap` passes after a byte without the next, or when `timeout` has passed
    // since the call.
    Received read(int count, milliseconds timeout, milliseconds gap);

    // Reads up to `count` more bytes of a reply already begun: returns when
    // all have come, when no byte has come for `quiet` (counted from the call
    // until the first), or when `timeout` has passed.
    Received readMore(int count, milliseconds quiet, milliseconds timeout);

    // Waits until no byte has arrived for `quiet` (at once when the line has
    // been quiet that long already), at most `timeout`, discarding what
    // comes, then purges both directions. Returns how many bytes were dropped.
    int settle(milliseconds quiet, milliseconds timeout);

    // Sends the bytes, giving up after `timeout`; a write that runs out of
    // time sends no more later, and drops what the system still holds.
    // Returns how many the system took.
    std::uint32_t write(const QByteArray &bytes, milliseconds timeout);

private:
    ComPort(std::unique_ptr<QSerialPort> serial, QString device);
    Received readInto(int count, std::chrono::nanoseconds gap, std::chrono::nanoseconds timeout,
                      bool gapFromStart);

    std::unique_ptr<QSerialPort> m_serial;
    QString m_device;
    std::chrono::steady_clock::time_point m_lastByte;   // when a byte last came in
};

// The 32-bit millisecond tick counter behind WaitMs; tests stage a wrap.
using TickSource = std::function<std::uint32_t()>;
std::uint32_t SystemTicks();

// Waits `ms` by the millisecond tick counter, on the caller's thread.
void WaitMs(float ms, const TickSource &ticks = SystemTicks);

} // namespace basComm
