#include "serial/basComm.h"
#include "serial/LowLatency.h"
#include "serial/PortLock.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QSerialPort>
#include <thread>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <sys/file.h>
#endif

namespace basComm {

namespace {

using SteadyClock = std::chrono::steady_clock;

// The longest single wait inside a read: short enough that a vanished device
// is noticed promptly.
constexpr qint64 WaitSliceMs = 50;

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

// Qt's lock file is named after the path it was given, and root passes the
// terminal's exclusive mode: two paths to one device (a by-id link and the
// node itself) would both open. One resolved path, and a lock on the
// device's inode that every path and every user shares, close that gap.
QString resolved(const QString &device)
{
#ifdef Q_OS_WIN
    return device;   // a system port name such as COM3
#else
    if (!device.contains(u'/'))
        return device;   // a port name Qt itself places under /dev
    const QFileInfo info(device);
    return info.isSymLink() || info.isRelative() ? info.canonicalFilePath() : device;
#endif
}

bool lockDevice([[maybe_unused]] QSerialPort &serial, [[maybe_unused]] OpenFailure &failure)
{
#ifdef Q_OS_UNIX
    if (::flock(int(serial.handle()), LOCK_EX | LOCK_NB) == 0)
        return true;
    const int error = errno;
    failure = {error == EWOULDBLOCK ? OpenError::Busy : OpenError::Other,
               QString::fromLocal8Bit(std::strerror(error))};
    return false;
#else
    return true;
#endif
}

} // namespace

std::unique_ptr<ComPort> ComPort::open(const QString &device, OpenFailure *failure)
{
    OpenFailure ignored;
    OpenFailure &why = failure ? *failure : ignored;
    why = {};
    const QString path = device.isEmpty() ? QString() : resolved(device);
    if (path.isEmpty()) {
        why = {OpenError::Missing, device.isEmpty() ? QStringLiteral("no device for this port")
                                                     : QStringLiteral("no such device")};
        return nullptr;
    }
    auto serial = std::make_unique<QSerialPort>(path);
    // Qt also puts the line into raw mode here.
    bool opened = serial->open(QIODevice::ReadWrite);
    if (!opened && classify(*serial, path) == OpenError::Busy && PortLock::ClearLeftovers(path)) {
        serial = std::make_unique<QSerialPort>(path);
        opened = serial->open(QIODevice::ReadWrite);
    }
    if (!opened) {
        why = {classify(*serial, path), serial->errorString()};
        return nullptr;
    }
    if (!lockDevice(*serial, why))
        return nullptr;
#ifdef Q_OS_LINUX
    RequestLowLatency(int(serial->handle()));
#endif
    // Whatever a previous user of the line left behind is not ours.
    serial->clear(QSerialPort::AllDirections);
    std::unique_ptr<ComPort> port(new ComPort(std::move(serial), path));
    port->setTimeouts(2, 3);
    port->setBuffers(1024, 512);
    return port;
}

ComPort::ComPort(std::unique_ptr<QSerialPort> serial, QString device)
    : m_serial(std::move(serial)), m_device(std::move(device))
{
}

ComPort::~ComPort() = default;

QString ComPort::device() const { return m_device; }

// Reads into `out` as the read time-out rule says; the gap counts from the
// last byte, or from the start when `gapFromStart`.
int ComPort::readInto(QByteArray &out, int count, qint64 gapNs, qint64 totalNs, bool gapFromStart)
{
    QSerialPort &s = *m_serial;
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
            m_lastByte = SteadyClock::now();
            continue;
        }
        const qint64 now = clock.nsecsElapsed();
        qint64 leftNs = totalNs - now;
        if (lastByteNs >= 0 && gapNs > 0)
            leftNs = std::min(leftNs, gapNs - (now - lastByteNs));
        if (leftNs <= 0)
            break;
        const qint64 waitMs = std::min<qint64>(WaitSliceMs, (leftNs + 999999) / 1000000);
        // A vanished device reports at once; treat it as silence.
        if (!s.waitForReadyRead(int(std::max<qint64>(waitMs, 1))) && s.error() != QSerialPort::NoError
            && s.error() != QSerialPort::TimeoutError)
            break;
    }
    s.clearError();
    out.resize(base + got);
    return got;
}

bool ComPort::configure(std::uint32_t baudRate, std::uint8_t byteSize, std::uint8_t stopBits,
                        std::uint8_t parity, int /*eofChar*/)
{
    // The line runs in binary mode, where an end-of-data character has no effect.
    static constexpr QSerialPort::StopBits stops[] = {QSerialPort::OneStop,
                                                      QSerialPort::OneAndHalfStop,
                                                      QSerialPort::TwoStop};
    static constexpr QSerialPort::Parity parities[] = {QSerialPort::NoParity, QSerialPort::OddParity,
                                                       QSerialPort::EvenParity, QSerialPort::MarkParity,
                                                       QSerialPort::SpaceParity};
    if (byteSize < 5 || byteSize > 8 || stopBits > 2 || parity > 4 || baudRate > INT32_MAX)
        return false;
    QSerialPort &s = *m_serial;
    return s.setBaudRate(qint32(baudRate)) && s.setDataBits(QSerialPort::DataBits(byteSize))
        && s.setStopBits(stops[stopBits]) && s.setParity(parities[parity]);
}

bool ComPort::setTimeouts(std::uint32_t readSpacingMs, std::uint32_t writeMsPerByte)
{
    m_timeouts = {readSpacingMs, readSpacingMs, 700, writeMsPerByte, writeMsPerByte};
    return true;
}

bool ComPort::setBuffers(std::uint32_t, std::uint32_t)
{
    // The operating system sizes its own queues here and Qt buffers without
    // limit, so the sizes are accepted and change nothing.
    return true;
}

void ComPort::purge(bool purgeInput, bool purgeOutput)
{
    if (!purgeInput && !purgeOutput)
        return;
    QSerialPort::Directions dirs;
    if (purgeInput)
        dirs |= QSerialPort::Input;
    if (purgeOutput)
        dirs |= QSerialPort::Output;
    // clear() empties Qt's own buffer as well as the kernel queue.
    m_serial->clear(dirs);
}

QByteArray ComPort::read(std::uint16_t count, int *arrived)
{
    QByteArray bytes;
    int got = 0;
    if (count > 0) {
        const Timeouts &t = m_timeouts;
        const qint64 totalNs = (qint64(t.readConstant) + qint64(t.readMultiplier) * count) * 1000000;
        got = readInto(bytes, count, qint64(t.readInterval) * 1000000, totalNs, false);
    }
    bytes.append(count - bytes.size(), '\0');
    if (arrived)
        *arrived = got;
    return bytes;
}

int ComPort::readMore(QByteArray &out, int count, int quietMs, int totalMs)
{
    if (count <= 0 || totalMs <= 0)
        return 0;
    return readInto(out, count, qint64(quietMs) * 1000000, qint64(totalMs) * 1000000, true);
}

int ComPort::settle(int quietMs, int maxMs)
{
    QSerialPort &s = *m_serial;
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(maxMs);
    const auto quiet = std::chrono::milliseconds(quietMs);
    int discarded = 0;
    s.clearError();
    for (;;) {
        if (s.bytesAvailable() > 0 || s.waitForReadyRead(0)) {
            discarded += int(s.readAll().size());
            m_lastByte = SteadyClock::now();
        }
        const auto now = SteadyClock::now();
        const auto quietFor = now - m_lastByte;
        if (quietFor >= quiet || now >= deadline)
            break;
        const auto left = std::min<SteadyClock::duration>(quiet - quietFor, deadline - now);
        const qint64 waitMs = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        if (!s.waitForReadyRead(int(std::clamp<qint64>(waitMs, 1, WaitSliceMs)))
            && s.error() != QSerialPort::NoError && s.error() != QSerialPort::TimeoutError)
            break;
    }
    s.clear(QSerialPort::AllDirections);
    s.clearError();
    return discarded;
}

std::uint32_t ComPort::write(const QByteArray &bytes, std::uint32_t count)
{
    if (bytes.isNull())
        return 0;
    count = std::min<std::uint32_t>(count, std::uint32_t(bytes.size()));
    if (count == 0)
        return 0;
    QSerialPort &s = *m_serial;
    const qint64 limitMs = qint64(m_timeouts.writeConstant) + qint64(m_timeouts.writeMultiplier) * count;
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

std::uint32_t SystemTicks()
{
    using namespace std::chrono;
    return std::uint32_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void WaitMs(float ms, const TickSource &ticks)
{
    if (!(ms > 0))
        return;
    const std::uint32_t t0 = ticks();
    for (;;) {
        const std::uint32_t elapsed = ticks() - t0;   // unsigned: survives a wrap
        const double left = double(ms) - double(elapsed);
        if (left <= 0)
            return;
        // Most of what is left in one sleep, then gently: the tick moves in
        // whole milliseconds, and many links may wait at once.
        const double sleepMs = left > 1 ? left - 1 : 0.1;
        std::this_thread::sleep_for(std::chrono::microseconds(qint64(sleepMs * 1000)));
    }
}

} // namespace basComm
