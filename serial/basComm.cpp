#include "serial/basComm.h"
#include "serial/LowLatency.h"
#include "serial/PortMap.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSerialPort>
#include <chrono>
#include <map>
#include <memory>
#include <thread>

namespace basComm {

bool ReplyReceived = false;

namespace {

struct Timeouts {
    std::uint32_t readInterval = 0;     // ms allowed between two bytes of a reply
    std::uint32_t readMultiplier = 0;   // ms per requested byte, added to the constant
    std::uint32_t readConstant = 0;
    std::uint32_t writeMultiplier = 0;
    std::uint32_t writeConstant = 0;
};

using SteadyClock = std::chrono::steady_clock;

struct OpenPort {
    std::unique_ptr<QSerialPort> port;
    Timeouts timeouts;
    SteadyClock::time_point lastByte;   // when a byte last came in
};

std::map<ComHandle, OpenPort> &openPorts()
{
    static std::map<ComHandle, OpenPort> ports;
    return ports;
}

OpenPort *find(ComHandle handle)
{
    auto it = openPorts().find(handle);
    return it == openPorts().end() ? nullptr : &it->second;
}

ComHandle freeHandle()
{
    ComHandle h = 1;
    while (openPorts().count(h))
        ++h;
    return h;
}

std::uint32_t systemTicks()
{
    using namespace std::chrono;
    return std::uint32_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

TickSource &tickSource()
{
    static TickSource source = systemTicks;
    return source;
}

// While a read waits, the window is given a chance to repaint this often.
constexpr qint64 EventSliceMs = 50;

void dispatchPendingEvents()
{
    if (QCoreApplication::instance())
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

struct {
    OpenError error = OpenError::None;
    QString text;
} lastOpen;

OpenError classify(const QSerialPort &serial, const QString &path)
{
    switch (serial.error()) {
    case QSerialPort::DeviceNotFoundError:
        return OpenError::Missing;
    case QSerialPort::PermissionError: {
        // A lock held by another program reads as a permission error too.
        const QFileInfo device(path);
        if (!device.exists())
            return OpenError::Missing;
        return device.isReadable() && device.isWritable() ? OpenError::Busy : OpenError::Permission;
    }
    default:
        return OpenError::Other;
    }
}

// Reads into `out` as the read time-out rule says; the gap counts from the
// last byte, or from the start when `gapFromStart`.
int readInto(OpenPort &p, QByteArray &out, int count, qint64 gapNs, qint64 totalNs, bool gapFromStart)
{
    QSerialPort &s = *p.port;
    const qsizetype base = out.size();
    out.resize(base + count);
    int got = 0;
    qint64 lastByteNs = gapFromStart ? 0 : -1;
    QElapsedTimer clock;
    clock.start();
    s.clearError();
    while (got < count) {
        const qint64 n = s.read(out.data() + base + got, count - got);
        if (n > 0) {
            got += int(n);
            lastByteNs = clock.nsecsElapsed();
            p.lastByte = SteadyClock::now();
            continue;
        }
        const qint64 now = clock.nsecsElapsed();
        qint64 leftNs = totalNs - now;
        if (lastByteNs >= 0 && gapNs > 0)
            leftNs = std::min(leftNs, gapNs - (now - lastByteNs));
        if (leftNs <= 0)
            break;
        const qint64 waitMs = std::min<qint64>(EventSliceMs, (leftNs + 999999) / 1000000);
        if (!s.waitForReadyRead(int(std::max<qint64>(waitMs, 1)))) {
            // A vanished device reports at once; treat it as silence.
            if (s.error() != QSerialPort::NoError && s.error() != QSerialPort::TimeoutError)
                break;
            if (waitMs >= EventSliceMs)
                dispatchPendingEvents();
        }
    }
    s.clearError();
    out.resize(base + got);
    return got;
}

} // namespace

OpenError LastOpenError() { return lastOpen.error; }
QString LastOpenErrorText() { return lastOpen.text; }

ComHandle OpenComPort(std::int32_t port)
{
    return OpenComDevice(PortMap::DevicePath(port));
}

ComHandle OpenComDevice(const QString &path)
{
    lastOpen = {OpenError::None, {}};
    if (path.isEmpty()) {
        lastOpen = {OpenError::Missing, QStringLiteral("no device for this port")};
        return 0;
    }
    auto serial = std::make_unique<QSerialPort>(path);
    // QSerialPort takes a lock on the device, so a second open (by any
    // process) fails; it also puts the line into raw mode.
    if (!serial->open(QIODevice::ReadWrite)) {
        lastOpen = {classify(*serial, path), serial->errorString()};
        return 0;
    }
#ifdef Q_OS_LINUX
    RequestLowLatency(int(serial->handle()));
#endif
    // Whatever a previous user of the line left behind is not ours.
    serial->clear(QSerialPort::AllDirections);
    const ComHandle handle = freeHandle();
    openPorts()[handle].port = std::move(serial);
    SetComTimeouts(handle, 2, 3);
    SetComBuffers(handle, 1024, 512);
    return handle;
}

ComHandle CloseComPort(ComHandle handle)
{
    openPorts().erase(handle);
    return 0;
}

bool ConfigureComPort(ComHandle handle, std::uint32_t baudRate, std::uint8_t byteSize,
                      std::uint8_t stopBits, std::uint8_t parity, int /*eofChar*/)
{
    // The line runs in binary mode, where an end-of-data character has no effect.
    OpenPort *p = find(handle);
    if (!p)
        return false;
    static constexpr QSerialPort::StopBits stops[] = {QSerialPort::OneStop,
                                                      QSerialPort::OneAndHalfStop,
                                                      QSerialPort::TwoStop};
    static constexpr QSerialPort::Parity parities[] = {QSerialPort::NoParity, QSerialPort::OddParity,
                                                       QSerialPort::EvenParity, QSerialPort::MarkParity,
                                                       QSerialPort::SpaceParity};
    if (byteSize < 5 || byteSize > 8 || stopBits > 2 || parity > 4 || baudRate > INT32_MAX)
        return false;
    QSerialPort &s = *p->port;
    return s.setBaudRate(qint32(baudRate)) && s.setDataBits(QSerialPort::DataBits(byteSize))
        && s.setStopBits(stops[stopBits]) && s.setParity(parities[parity]);
}

bool SetComTimeouts(ComHandle handle, std::uint32_t readSpacingMs, std::uint32_t writeMsPerByte)
{
    OpenPort *p = find(handle);
    if (!p)
        return false;
    p->timeouts = {readSpacingMs, readSpacingMs, 700, writeMsPerByte, writeMsPerByte};
    return true;
}

bool SetComBuffers(ComHandle handle, std::uint32_t, std::uint32_t)
{
    // The operating system sizes its own queues here and Qt buffers without
    // limit, so the sizes are accepted and change nothing.
    return find(handle) != nullptr;
}

void PurgeComPort(ComHandle handle, bool purgeInput, bool purgeOutput)
{
    OpenPort *p = find(handle);
    if (!p || (!purgeInput && !purgeOutput))
        return;
    QSerialPort::Directions dirs;
    if (purgeInput)
        dirs |= QSerialPort::Input;
    if (purgeOutput)
        dirs |= QSerialPort::Output;
    // clear() empties Qt's own buffer as well as the kernel queue.
    p->port->clear(dirs);
}

QByteArray ReadComBytes(ComHandle handle, std::uint16_t count, int *arrived)
{
    QByteArray bytes;
    int got = 0;
    if (OpenPort *p = find(handle); p && count > 0) {
        const Timeouts &t = p->timeouts;
        const qint64 totalNs = (qint64(t.readConstant) + qint64(t.readMultiplier) * count) * 1000000;
        got = readInto(*p, bytes, count, qint64(t.readInterval) * 1000000, totalNs, false);
    }
    bytes.append(count - bytes.size(), '\0');
    if (arrived)
        *arrived = got;
    return bytes;
}

int ReadMoreComBytes(ComHandle handle, QByteArray &out, int count, int quietMs, int totalMs)
{
    OpenPort *p = find(handle);
    if (!p || count <= 0 || totalMs <= 0)
        return 0;
    return readInto(*p, out, count, qint64(quietMs) * 1000000, qint64(totalMs) * 1000000, true);
}

int SettleComPort(ComHandle handle, int quietMs, int maxMs)
{
    OpenPort *p = find(handle);
    if (!p)
        return 0;
    QSerialPort &s = *p->port;
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(maxMs);
    const auto quiet = std::chrono::milliseconds(quietMs);
    int discarded = 0;
    s.clearError();
    for (;;) {
        if (s.bytesAvailable() > 0 || s.waitForReadyRead(0)) {
            discarded += int(s.readAll().size());
            p->lastByte = SteadyClock::now();
        }
        const auto now = SteadyClock::now();
        const auto quietFor = now - p->lastByte;
        if (quietFor >= quiet || now >= deadline)
            break;
        const auto left = std::min<SteadyClock::duration>(quiet - quietFor, deadline - now);
        const qint64 waitMs = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        if (!s.waitForReadyRead(int(std::clamp<qint64>(waitMs, 1, EventSliceMs)))
            && s.error() != QSerialPort::NoError && s.error() != QSerialPort::TimeoutError)
            break;
    }
    s.clear(QSerialPort::AllDirections);
    s.clearError();
    return discarded;
}

std::uint32_t WriteComBytes(ComHandle handle, const QByteArray &bytes, std::uint32_t count)
{
    OpenPort *p = find(handle);
    if (!p || bytes.isNull())
        return 0;
    count = std::min<std::uint32_t>(count, std::uint32_t(bytes.size()));
    if (count == 0)
        return 0;
    QSerialPort &s = *p->port;
    const qint64 limitMs = qint64(p->timeouts.writeConstant) + qint64(p->timeouts.writeMultiplier) * count;
    if (s.write(bytes.constData(), count) < 0)
        return 0;
    QElapsedTimer clock;
    clock.start();
    while (s.bytesToWrite() > 0) {
        const qint64 left = limitMs - clock.elapsed();
        if (left <= 0 || !s.waitForBytesWritten(int(left)))
            break;
    }
    const qint64 unsent = s.bytesToWrite();
    if (unsent > 0)
        s.clear(QSerialPort::Output);   // a timed-out write sends no more
    s.clearError();
    return count - std::uint32_t(unsent);
}

void WaitMs(float ms)
{
    if (!(ms > 0))
        return;
    const TickSource &ticks = tickSource();
    const std::uint32_t t0 = ticks();
    for (;;) {
        const std::uint32_t elapsed = ticks() - t0;   // unsigned: survives a wrap
        if (double(elapsed) >= double(ms))
            return;
        dispatchPendingEvents();
        if (ReplyReceived)
            return;
        // Poll gently: the tick moves in whole milliseconds.
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

void SetTickSource(TickSource source)
{
    tickSource() = source ? std::move(source) : TickSource(systemTicks);
}

} // namespace basComm
