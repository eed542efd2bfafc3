#pragma once
// The serial port driver: the only code that touches a serial device. A
// ComPort is one open port, used by one thread; every operation is
// synchronous, shows nothing and reports failure only through its result.

#include <QByteArray>
#include <QString>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

class QSerialPort;

namespace basComm {

// Why an open failed, and the system's own words.
enum class OpenError { None, Missing, Busy, Permission, Other };
struct OpenFailure {
    OpenError error = OpenError::None;
    QString text;
};

class ComPort {
public:
    // Opens the device exclusively, by its resolved path, and holds it
    // against every other path to it and every other process, root's
    // included. Sets the read and write time-outs (2 ms, 3 ms per byte) and
    // queue sizes and drops input waiting from before. Nothing on failure.
    static std::unique_ptr<ComPort> open(const QString &device, OpenFailure *failure = nullptr);
    ~ComPort();
    ComPort(const ComPort &) = delete;
    ComPort &operator=(const ComPort &) = delete;

    QString device() const;   // the resolved path that was opened

    // Note the order: stop-bits code (0 one, 1 one and a half, 2 two) before
    // parity code (0 none, 1 odd, 2 even, 3 mark, 4 space).
    bool configure(std::uint32_t baudRate, std::uint8_t byteSize, std::uint8_t stopBits,
                   std::uint8_t parity, int eofChar);

    // A read returns when all bytes arrived, when more than `readSpacingMs`
    // pass after a byte without the next, or after 700 + readSpacingMs * count
    // ms. A write gives up after writeMsPerByte * (count + 1) ms.
    bool setTimeouts(std::uint32_t readSpacingMs, std::uint32_t writeMsPerByte);
    bool setBuffers(std::uint32_t inputQueue, std::uint32_t outputQueue);

    void purge(bool input, bool output);

    // Always exactly `count` bytes; positions where nothing arrived hold 0.
    // `arrived`, when given, receives how many bytes really arrived.
    QByteArray read(std::uint16_t count, int *arrived = nullptr);

    // Reads up to `count` bytes into `out` (appending) until they are all
    // there, or no byte has come for `quietMs` (counted from the call when
    // none came yet), or `totalMs` have passed. Returns how many arrived.
    int readMore(QByteArray &out, int count, int quietMs, int totalMs);

    // Waits until no byte has arrived for `quietMs` (at once when the line
    // has been quiet that long already), at most `maxMs`, discarding what
    // comes, then purges both directions. Returns how many bytes were dropped.
    int settle(int quietMs, int maxMs);

    // Sends bytes 0 .. count-1; returns how many the line accepted. A null
    // array (never given a size) sends nothing.
    std::uint32_t write(const QByteArray &bytes, std::uint32_t count);

private:
    struct Timeouts {
        std::uint32_t readInterval = 0;     // ms allowed between two bytes of a reply
        std::uint32_t readMultiplier = 0;   // ms per requested byte, added to the constant
        std::uint32_t readConstant = 0;
        std::uint32_t writeMultiplier = 0;
        std::uint32_t writeConstant = 0;
    };
    ComPort(std::unique_ptr<QSerialPort> serial, QString device);
    int readInto(QByteArray &out, int count, qint64 gapNs, qint64 totalNs, bool gapFromStart);

    std::unique_ptr<QSerialPort> m_serial;
    QString m_device;
    Timeouts m_timeouts;
    std::chrono::steady_clock::time_point m_lastByte;   // when a byte last came in
};

// The 32-bit millisecond tick counter behind WaitMs; tests stage a wrap.
using TickSource = std::function<std::uint32_t()>;
std::uint32_t SystemTicks();

// Waits `ms` by the millisecond tick counter, on the caller's thread.
void WaitMs(float ms, const TickSource &ticks = SystemTicks);

} // namespace basComm
