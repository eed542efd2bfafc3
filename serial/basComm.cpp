#include "serial/basComm.h"
#include "serial/LowLatency.h"
#include "serial/PortLock.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QSerialPort>
#include <optional>
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

Result<void, OpenError> lockDevice([[maybe_unused]] QSerialPort &serial)
{
#ifdef Q_OS_UNIX
    if (::flock(int(serial.handle()), LOCK_EX | LOCK_NB) == 0)
        return {};
    const int error = errno;
    return Failure{error == EWOULDBLOCK ? OpenError::Busy : OpenError::Other,
                   QString::fromLocal8Bit(std::strerror(error))};
#else
    return {};
#endif
}

std::optional<QSerialPort::Parity> qtParity(Parity parity)
{
    switch (parity) {
    case Parity::None: return QSerialPort::NoParity;
    case Parity::Odd: return QSerialPort::OddParity;
    case Parity::Even: return QSerialPort::EvenParity;
    case Parity::Mark: return QSerialPort::MarkParity;
    case Parity::Space: return QSerialPort::SpaceParity;
    }
    return std::nullopt;
}

std::optional<QSerialPort::StopBits> qtStopBits(StopBits stopBits)
{
    switch (stopBits) {
    case StopBits::One: return QSerialPort::OneStop;
    case StopBits::OneAndHalf: return QSerialPort::OneAndHalfStop;
    case StopBits::Two: return QSerialPort::TwoStop;
    }
    return std::nullopt;
}

} // namespace

Result<std::unique_ptr<ComPort>, OpenError> ComPort::open(const QString &device)
{
    const QString path = device.isEmpty() ? QString() : resolved(device);
    if (path.isEmpty())
        return Failure{OpenError::Missing, device.isEmpty() ? QStringLiteral("no device for this port")
                                                            : QStringLiteral("no such device")};
    auto serial = std::make_unique<QSerialPort>(path);
    // Qt also puts the line into raw mode here.
    bool opened = serial->open(QIODevice::ReadWrite);
    if (!opened && classify(*serial, path) == OpenError::Busy && PortLock::ClearLeftovers(path)) {
        serial = std::make_unique<QSerialPort>(path);
        opened = serial->open(QIODevice::ReadWrite);
    }
    if (!opened)
        return Failure{classify(*serial, path), serial->errorString()};
    if (auto locked = lockDevice(*serial); !locked)
        return locked.failure();
#ifdef Q_OS_LINUX
    RequestLowLatency(int(serial->handle()));
#endif
    // Whatever a previous user of the line left behind is not ours.
    serial->clear(QSerialPort::AllDirections);
    return std::unique_ptr<ComPort>(new ComPort(std::move(serial), path));
}

ComPort::ComPort(std::unique_ptr<QSerialPort> serial, QString device)
    : m_serial(std::move(serial)), m_device(std::move(device))
{
}

ComPort::~ComPort() = default;

QString ComPort::device() const { return m_device; }

// Reads as the read time-out rule says; the gap counts from the last byte,
// or from the start when `gapFromStart`. A zero gap sets no gap rule.
Received ComPort::readInto(int count, std::chrono::nanoseconds gap, std::chrono::nanoseconds timeout,
                           bool gapFromStart)
{
    QSerialPort &s = *m_serial;
    Received r{QByteArray(std::max(count, 0), Qt::Uninitialized), ReadStatus::Complete};
    int got = 0;
    qint64 lastByteNs = gapFromStart ? 0 : -1;
    const qint64 gapNs = gap.count(), totalNs = timeout.count();
    QElapsedTimer clock;
    clock.start();
    s.clearError();
    while (got < count) {
        const qint64 n = s.read(r.bytes.data() + got, count - got);
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
        if (leftNs <= 0) {
            r.status = ReadStatus::TimedOut;
            break;
        }
        const qint64 waitMs = std::min<qint64>(WaitSliceMs, (leftNs + 999999) / 1000000);
        // A vanished device reports at once.
        if (!s.waitForReadyRead(int(std::max<qint64>(waitMs, 1))) && s.error() != QSerialPort::NoError
            && s.error() != QSerialPort::TimeoutError) {
            r.status = ReadStatus::Error;
            break;
        }
    }
    s.clearError();
    r.bytes.resize(got);
    return r;
}

bool ComPort::configure(std::uint32_t baudRate, DataBits dataBits, Parity parity, StopBits stopBits)
{
    const auto qtParityValue = qtParity(parity);
    const auto qtStopBitsValue = qtStopBits(stopBits);
    if (baudRate == 0 || baudRate > INT32_MAX || dataBits < DataBits::Five || dataBits > DataBits::Eight
        || !qtParityValue || !qtStopBitsValue)
        return false;
    QSerialPort &s = *m_serial;
    return s.setBaudRate(qint32(baudRate)) && s.setDataBits(QSerialPort::DataBits(dataBits))
        && s.setParity(*qtParityValue) && s.setStopBits(*qtStopBitsValue);
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

Received ComPort::read(int count, milliseconds timeout, milliseconds gap)
{
    if (count <= 0)
        return {{}, ReadStatus::Complete};
    return readInto(count, gap, timeout, false);
}

Received ComPort::readMore(int count, milliseconds quiet, milliseconds timeout)
{
    if (count <= 0)
        return {{}, ReadStatus::Complete};
    if (timeout <= milliseconds::zero())
        return {{}, ReadStatus::TimedOut};
    return readInto(count, quiet, timeout, true);
}

int ComPort::settle(milliseconds quiet, milliseconds timeout)
{
    QSerialPort &s = *m_serial;
    const auto deadline = SteadyClock::now() + timeout;
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
        const qint64 waitMs = std::chrono::ceil<milliseconds>(left).count();
        if (!s.waitForReadyRead(int(std::clamp<qint64>(waitMs, 1, WaitSliceMs)))
            && s.error() != QSerialPort::NoError && s.error() != QSerialPort::TimeoutError)
            break;
    }
    s.clear(QSerialPort::AllDirections);
    s.clearError();
    return discarded;
}

std::uint32_t ComPort::write(const QByteArray &bytes, milliseconds timeout)
{
    if (bytes.isEmpty())
        return 0;
    QSerialPort &s = *m_serial;
    const auto count = std::uint32_t(bytes.size());
    if (s.write(bytes.constData(), bytes.size()) < 0)
        return 0;
    // Handed to the system at once: the time-out is the line's, and a thread
    // that loses the CPU before its first wait must not drop the frame unsent.
    s.flush();
    QElapsedTimer clock;
    clock.start();
    while (s.bytesToWrite() > 0) {
        const qint64 left = timeout.count() - clock.elapsed();
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
