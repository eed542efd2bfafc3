#pragma once
// The serial port driver: the only code that touches a serial device.
// Every operation is synchronous, shows nothing and reports failure only
// through its result. Handles are small non-zero numbers; 0 means no port.

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <functional>

namespace basComm {

using ComHandle = std::uint32_t;

// Opens port number `port` (COM1 = 1 ...) exclusively and sets the read and
// write time-outs (2 ms, 3 ms per byte) and queue sizes. 0 when it cannot.
// Input waiting from before the open is dropped.
ComHandle OpenComPort(std::int32_t port);
// The same for a device path or system port name.
ComHandle OpenComDevice(const QString &device);

// Why the last open failed.
enum class OpenError { None, Missing, Busy, Permission, Other };
OpenError LastOpenError();
QString LastOpenErrorText();   // the system's own words

// Closes the port; always returns 0 so that callers can store it back.
ComHandle CloseComPort(ComHandle handle);

// Note the order: stop-bits code (0 one, 1 one and a half, 2 two) before
// parity code (0 none, 1 odd, 2 even, 3 mark, 4 space).
bool ConfigureComPort(ComHandle handle, std::uint32_t baudRate, std::uint8_t byteSize,
                      std::uint8_t stopBits, std::uint8_t parity, int eofChar);

// A read returns when all bytes arrived, when more than `readSpacingMs` pass
// after a byte without the next, or after 700 + readSpacingMs * count ms.
// A write gives up after writeMsPerByte * (count + 1) ms.
bool SetComTimeouts(ComHandle handle, std::uint32_t readSpacingMs, std::uint32_t writeMsPerByte);
bool SetComBuffers(ComHandle handle, std::uint32_t inputQueue, std::uint32_t outputQueue);

void PurgeComPort(ComHandle handle, bool purgeInput, bool purgeOutput);

// Always exactly `count` bytes; positions where nothing arrived hold 0.
// `arrived`, when given, receives how many bytes really arrived.
QByteArray ReadComBytes(ComHandle handle, std::uint16_t count, int *arrived = nullptr);

// Reads up to `count` bytes into `out` (appending) until they are all there,
// or no byte has come for `quietMs` (counted from the call when none came
// yet), or `totalMs` have passed. Returns how many arrived.
int ReadMoreComBytes(ComHandle handle, QByteArray &out, int count, int quietMs, int totalMs);

// Waits until no byte has arrived for `quietMs` (at once when the line has
// been quiet that long already), at most `maxMs`, discarding what comes,
// then purges both directions. Returns how many bytes were discarded.
int SettleComPort(ComHandle handle, int quietMs, int maxMs);

// Sends bytes 0 .. count-1; returns how many the line accepted. A null
// array (never given a size) sends nothing.
std::uint32_t WriteComBytes(ComHandle handle, const QByteArray &bytes, std::uint32_t count);

// Waits `ms` by the millisecond tick counter, dispatching pending window
// events on every pass; returns early once ReplyReceived is set.
void WaitMs(float ms);

// Program-wide reply flag: the radio link clears it before each wait and sets
// it when a reply came; WaitMs watches it.
extern bool ReplyReceived;

// The 32-bit millisecond tick counter behind WaitMs. Tests replace it to
// stage a wrap; an empty function restores the system counter.
using TickSource = std::function<std::uint32_t()>;
void SetTickSource(TickSource source);

} // namespace basComm
