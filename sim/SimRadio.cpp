#include "sim/SimRadio.h"
#include "sim/FrameParser.h"
#include "sim/UsbDelivery.h"

#include "protocol/CalibrationBlock.h"
#include "protocol/Frames.h"

#include <algorithm>
#include <array>
#include <deque>
#include <mutex>
#include <thread>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <random>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

using namespace std::chrono;
using Clock = steady_clock;
using Kind = SimRadio::FrameKind;
using Fault = SimRadio::Fault;
using Burst = UsbDelivery::Burst;

namespace {

constexpr nanoseconds ByteTime{1041667};   // 10 bits at 9600 bit/s
constexpr char JunkByte = char(0xEE);
// How often bytes from the host are taken in while a reply goes out.
constexpr milliseconds TakeInEvery{2};

void sleepUntil(Clock::time_point t)
{
    const auto ns = duration_cast<nanoseconds>(t.time_since_epoch()).count();
    const timespec ts{time_t(ns / 1000000000), long(ns % 1000000000)};
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

int baudOf(speed_t speed)
{
    static constexpr std::pair<speed_t, int> table[] = {
        {B1200, 1200},   {B2400, 2400},   {B4800, 4800},     {B9600, 9600},
        {B19200, 19200}, {B38400, 38400}, {B57600, 57600},   {B115200, 115200}};
    for (const auto &[code, baud] : table)
        if (code == speed)
            return baud;
    return 0;
}

SimRadio::LineSettings settingsOf(const termios &t)
{
    SimRadio::LineSettings s;
    s.baud = baudOf(::cfgetospeed(&t));
    const tcflag_t size = t.c_cflag & CSIZE;
    s.dataBits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
    s.parity = !(t.c_cflag & PARENB) ? 'N' : (t.c_cflag & PARODD) ? 'O' : 'E';
    s.stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
    s.raw = !(t.c_lflag & (ICANON | ECHO | ISIG)) && !(t.c_oflag & OPOST)
            && !(t.c_iflag & (IXON | ICRNL));
    return s;
}

QByteArray hex(const QByteArray &b) { return b.isEmpty() ? "-" : b.toHex(' '); }

int u8(char c) { return std::uint8_t(c); }

// A 'W' frame, 'R' request or read reply: "W 0x0380 len 16: H400=96 ...
// L520=55 +[5a 00 12 34]"; the calibration block's values by name, in
// decimal. A short reply shows what it holds.
QByteArray blockText(const QByteArray &b)
{
    if (b.size() < 4)
        return QByteArray::number(b.size()) + (b.size() == 1 ? " byte" : " bytes");
    const int address = u8(b[1]) << 8 | u8(b[2]);
    QByteArray out = (b[0] >= 0x21 && b[0] <= 0x7E) ? QByteArray(1, b[0])
                                                     : "0x" + QByteArray::number(u8(b[0]), 16);
    out += " 0x" + QByteArray::number(address, 16).rightJustified(4, '0') + " len "
           + QByteArray::number(u8(b[3]));
    const QByteArray data = b.mid(4);
    if (data.isEmpty())
        return out;
    out += ':';
    if (address != CalibrationAddress)
        return out + " [" + data.toHex(' ') + ']';
    for (int i = 0; i < data.size() && i < PowerValueCount; ++i)
        out += QByteArray(" ") + ValueNames[size_t(i)] + '=' + QByteArray::number(u8(data[i]));
    if (data.size() > PowerValueCount)
        out += " +[" + data.mid(PowerValueCount).toHex(' ') + ']';
    return out;
}

QByteArray decoded(Kind kind, const QByteArray &frame, const QByteArray &reply)
{
    switch (kind) {
    case Kind::AccessCode: return "access code";
    case Kind::Exit: return "exit";
    case Kind::Write: return blockText(frame);
    case Kind::Read: break;
    }
    return blockText(frame) + " -> " + (reply.isEmpty() ? "no reply" : blockText(reply));
}

} // namespace

struct SimRadio::Impl {
    struct Reply {
        QByteArray bytes;
        int pauseAt = -1;          // bytes before the pause; < 0 no pause
        nanoseconds pause{0};
        QByteArray note;           // for the log: what a fault did unseen
    };

    PtyPair pty;
    std::thread thread;
    std::atomic<bool> stop{false};
    int wake[2] = {-1, -1};   // pokes the thread out of poll
    bool unplugWanted = false;
    std::condition_variable unplugged;
    const Clock::time_point started = Clock::now();

    mutable std::mutex m;
    QByteArray mem = QByteArray(0x10000, '\0');
    bool programming = false;
    std::vector<Frame> log;
    LineSettings line;
    std::deque<Fault> script[4];
    Fault thereafter[4];
    int silentAfter = -1;
    int framesSinceSilentSet = 0;
    bool paced = false;
    microseconds gap{0};
    microseconds usbLatency{0};
    microseconds usbJitter{0};
    Clock::time_point tickOrigin = started;
    std::mt19937_64 random{std::random_device{}()};
    int logFd = -1;
    FrameParser parser;

    void run();
    bool readMaster();
    bool handleNext();
    Reply answer(Kind kind, const QByteArray &frame);
    QByteArray readReply(const QByteArray &frame, Fault f) const;
    void writeLog(const Frame &frame, const Reply &reply) const;
    // When each part of the reply goes to the line, starting at `start`.
    std::vector<Burst> schedule(const Reply &reply, Clock::time_point start);
    void send(const QByteArray &reply, const std::vector<Burst> &parts);
    // Sleeps until t, taking in what the host sends meanwhile; false on stop.
    bool waitUntil(Clock::time_point t);
    void drawPhase();
    // Memory addresses wrap at 64 KiB.
    void store(int address, const QByteArray &bytes);
    QByteArray fetch(int address, int length) const;
    int masterFd();
    // Sleeps up to `ms` unless poked, and takes the pokes.
    void waitForWake(int ms);
    void poke();
    void takeInWhatWasSent();
};

void SimRadio::Impl::run()
{
    while (!stop) {
        while (!stop && handleNext()) {
        }
        const int fd = masterFd();
        pollfd p[2] = {{wake[0], POLLIN, 0}, {fd, POLLIN, 0}};
        ::poll(p, fd < 0 ? 1 : 2, parser.isEmpty() ? 100 : 20);
        if (p[0].revents)
            waitForWake(0);
        // POLLHUP/EIO while nobody holds the slave: nothing can come yet.
        else if (p[1].revents && !readMaster())
            waitForWake(3);
    }
}

// The radio thread closes the master itself, so that no poll of ours keeps
// the device alive after unplug() returns.
int SimRadio::Impl::masterFd()
{
    std::lock_guard lock(m);
    if (unplugWanted && pty.isOpen()) {
        pty.close();
        parser.clear();
        unplugged.notify_all();
    }
    return pty.masterFd();
}

void SimRadio::Impl::waitForWake(int ms)
{
    pollfd p{wake[0], POLLIN, 0};
    char buf[64];
    if (::poll(&p, 1, ms) > 0)
        [[maybe_unused]] auto n = ::read(wake[0], buf, sizeof buf);
}

void SimRadio::Impl::poke()
{
    [[maybe_unused]] auto n = ::write(wake[1], "x", 1);
}

bool SimRadio::Impl::readMaster()
{
    std::lock_guard lock(m);
    char buf[512];
    const ssize_t n = pty.isOpen() ? ::read(pty.masterFd(), buf, sizeof buf) : -1;
    if (n <= 0)
        return n < 0 && errno == EAGAIN;
    termios t{};
    if (::tcgetattr(pty.masterFd(), &t) == 0)
        line = settingsOf(t);
    parser.append(QByteArrayView(buf, n), Clock::now());
    return true;
}

void SimRadio::Impl::store(int address, const QByteArray &bytes)
{
    for (qsizetype i = 0; i < bytes.size(); ++i)
        mem[(address + i) & 0xFFFF] = bytes[i];
}

QByteArray SimRadio::Impl::fetch(int address, int length) const
{
    QByteArray out;
    for (int i = 0; i < length; ++i)
        out += mem[(address + i) & 0xFFFF];
    return out;
}

// Handles the frame at the head of the pending bytes, if one is due.
bool SimRadio::Impl::handleNext()
{
    std::unique_lock lock(m);
    const std::optional<Frame> frame = parser.head(Clock::now());
    if (!frame)
        return false;
    const auto due = frame->at + (paced ? int(frame->bytes.size()) * ByteTime : nanoseconds(0));
    if (Clock::now() < due) {
        lock.unlock();
        sleepUntil(due);
        return true;
    }
    parser.pop();
    log.push_back(*frame);
    const Reply reply = answer(frame->kind, frame->bytes);
    writeLog(*frame, reply);
    const std::vector<Burst> parts = schedule(reply, Clock::now());
    lock.unlock();
    send(reply.bytes, parts);
    return true;
}

void SimRadio::Impl::writeLog(const Frame &frame, const Reply &reply) const
{
    if (logFd < 0)
        return;
    const double t = duration<double>(frame.at - started).count();
    QByteArray text = QByteArray::number(t, 'f', 4) + ' ' + frameKindName(frame.kind).toLatin1()
                      + ' ' + hex(frame.bytes) + " -> " + hex(reply.bytes) + "  "
                      + decoded(frame.kind, frame.bytes, reply.bytes);
    if (!reply.note.isEmpty())
        text += "  (" + reply.note + ')';
    text += '\n';
    [[maybe_unused]] auto written = ::write(logFd, text.constData(), size_t(text.size()));
}

// Picks the fault for this attempt, applies the frame's effect, returns the reply.
SimRadio::Impl::Reply SimRadio::Impl::answer(Kind kind, const QByteArray &frame)
{
    const int k = int(kind);
    Fault f = thereafter[k];
    if (!script[k].empty()) {
        f = script[k].front();
        script[k].pop_front();
    }
    if (silentAfter >= 0 && ++framesSinceSilentSet > silentAfter)
        f = {Fault::Silent, 0};
    // Outside programming mode only the access code is answered.
    if (f.kind == Fault::Silent || (!programming && kind != Kind::AccessCode))
        return {};
    const bool readOnly = f.kind == Fault::CutAfter || f.kind == Fault::WrongHeader
                          || f.kind == Fault::WrongAddress || f.kind == Fault::PauseAfter;
    if ((kind != Kind::Read && readOnly) || (kind != Kind::Write && f.kind == Fault::StoreOther))
        f = {};
    if (kind != Kind::Read && f.kind == Fault::WrongByte)
        return {QByteArray(1, char(f.value)), -1, {}, {}};

    Reply reply;
    switch (kind) {
    case Kind::AccessCode:
        programming = true;
        reply.bytes = QByteArray(1, char(Frames::Ack));
        break;
    case Kind::Write: {
        QByteArray data = frame.mid(4);
        if (f.kind == Fault::StoreOther) {
            data[0] = char(u8(data[0]) ^ f.value);
            reply.note = "stored 0x" + QByteArray::number(u8(data[0]), 16).rightJustified(2, '0')
                         + " as byte 0";
        }
        store(u8(frame[1]) << 8 | u8(frame[2]), data);
        reply.bytes = QByteArray(1, char(Frames::Ack));
        break;
    }
    case Kind::Exit:
        programming = false;
        reply.bytes = QByteArray(1, char(Frames::ExitReply));
        break;
    case Kind::Read:
        reply.bytes = readReply(frame, f);
        break;
    }
    if (f.kind == Fault::AckThenJunk)
        reply.bytes += QByteArray(f.value, JunkByte);
    if (f.kind == Fault::PauseAfter) {
        reply.pauseAt = std::max(0, f.at);
        reply.pause = milliseconds(std::max(0, f.value));
        reply.note = "pause " + QByteArray::number(f.value) + " ms after "
                     + QByteArray::number(reply.pauseAt) + " bytes";
    }
    return reply;
}

QByteArray SimRadio::Impl::readReply(const QByteArray &frame, Fault f) const
{
    int address = std::uint8_t(frame[1]) << 8 | std::uint8_t(frame[2]);
    if (f.kind == Fault::WrongAddress)
        address = (address + Frames::BlockLength) & 0xFFFF;
    QByteArray reply;
    reply += char(Frames::WriteCommand);
    reply += char(address >> 8);
    reply += char(address & 0xFF);
    reply += char(Frames::BlockLength);
    reply += fetch(address, Frames::BlockLength);
    if (f.kind == Fault::WrongByte || f.kind == Fault::WrongHeader)
        reply[0] = char(f.value);
    if (f.kind == Fault::CutAfter)
        reply.truncate(f.value);
    return reply;
}

// Each byte is due at an absolute time, so that sleep overshoot does not add
// up; bytes due together go out in one write.
std::vector<Burst> SimRadio::Impl::schedule(const Reply &reply, Clock::time_point start)
{
    const bool usb = usbLatency.count() > 0;
    const bool wire = paced || usb;
    std::vector<Clock::time_point> due;
    for (int i = 0; i < int(reply.bytes.size()); ++i) {
        auto t = start + (wire ? (i + 1) * ByteTime : nanoseconds(0)) + i * gap;
        if (reply.pauseAt >= 0 && i >= reply.pauseAt)
            t += reply.pause;
        due.push_back(t);
    }
    if (usb)
        return UsbDelivery(usbLatency, usbJitter, tickOrigin).bursts(due, random);
    std::vector<Burst> parts;
    for (int i = 0; i < int(due.size()); ++i) {
        if (!parts.empty() && parts.back().at == due[size_t(i)])
            ++parts.back().count;
        else
            parts.push_back({due[size_t(i)], i, 1});
    }
    return parts;
}

// The lock is taken only to write, never while waiting.
void SimRadio::Impl::send(const QByteArray &reply, const std::vector<Burst> &parts)
{
    for (const Burst &part : parts) {
        if (!waitUntil(part.at))
            return;
        std::lock_guard lock(m);
        pty.write(reply.mid(part.first, part.count));
    }
}

// Frames that come during a long reply get their true arrival time.
bool SimRadio::Impl::waitUntil(Clock::time_point t)
{
    while (!stop) {
        const auto now = Clock::now();
        if (now >= t)
            return true;
        sleepUntil(std::min(t, now + TakeInEvery));
        readMaster();
    }
    return false;
}

void SimRadio::Impl::drawPhase()
{
    const auto period = duration_cast<nanoseconds>(usbLatency).count();
    if (period > 0)
        tickOrigin = started
                     + nanoseconds(std::uniform_int_distribution<long long>(0, period - 1)(random));
}

SimRadio::SimRadio() : d(std::make_unique<Impl>())
{
    if (::pipe2(d->wake, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    d->thread = std::thread([this] { d->run(); });
    // A radio is never late because the PC is busy. Where the system allows
    // it, the simulated one runs at the lowest real-time priority: on a loaded
    // machine it then seldom misses a frame before the link's purge drops it.
    // Elsewhere it keeps the normal priority.
    sched_param realTime{};
    realTime.sched_priority = 1;
    ::pthread_setschedparam(d->thread.native_handle(), SCHED_FIFO, &realTime);
}

SimRadio::~SimRadio()
{
    d->stop = true;
    d->poke();
    d->thread.join();
    ::close(d->wake[0]);
    ::close(d->wake[1]);
}

QString SimRadio::devicePath() const { return d->pty.slavePath(); }

void SimRadio::setMemory(int address, const QByteArray &bytes)
{
    std::lock_guard lock(d->m);
    d->store(address, bytes);
}

QByteArray SimRadio::memory(int address, int length) const
{
    std::lock_guard lock(d->m);
    return d->fetch(address, length);
}

void SimRadio::setFaults(FrameKind kind, std::vector<Fault> perAttempt, Fault thereafter)
{
    std::lock_guard lock(d->m);
    d->script[int(kind)].assign(perAttempt.begin(), perAttempt.end());
    d->thereafter[int(kind)] = thereafter;
}

void SimRadio::setSilentAfter(int frames)
{
    std::lock_guard lock(d->m);
    d->silentAfter = frames;
    d->framesSinceSilentSet = 0;
}

void SimRadio::setPacing(bool paced)
{
    std::lock_guard lock(d->m);
    d->paced = paced;
}

void SimRadio::setReplyByteGap(microseconds gap)
{
    std::lock_guard lock(d->m);
    d->gap = gap;
}

void SimRadio::setUsbDelivery(microseconds latency, microseconds jitter)
{
    std::lock_guard lock(d->m);
    d->usbLatency = std::max(latency, microseconds(0));
    d->usbJitter = std::max(jitter, microseconds(0));
    d->drawPhase();
}

void SimRadio::setRandomSeed(std::uint64_t seed)
{
    std::lock_guard lock(d->m);
    d->random.seed(seed);
    d->drawPhase();
}

bool SimRadio::inProgrammingMode() const
{
    std::lock_guard lock(d->m);
    return d->programming;
}

// Done when the line holds no byte for the radio and none waits in the
// parser; a stale unfinished frame is dropped within StaleAfter.
void SimRadio::Impl::takeInWhatWasSent()
{
    const auto deadline = Clock::now() + 1s;
    for (;;) {
        {
            std::lock_guard lock(m);
            int unread = 0;
            if (!pty.isOpen() || (::ioctl(pty.masterFd(), FIONREAD, &unread) == 0 && unread == 0 && parser.isEmpty()))
                return;
        }
        if (Clock::now() >= deadline)
            return;
        poke();
        std::this_thread::sleep_for(1ms);
    }
}

std::vector<SimRadio::Frame> SimRadio::frames() const
{
    d->takeInWhatWasSent();
    std::lock_guard lock(d->m);
    return d->log;
}

std::vector<SimRadio::FrameKind> SimRadio::frameKinds() const
{
    std::vector<FrameKind> kinds;
    for (const Frame &f : frames())
        kinds.push_back(f.kind);
    return kinds;
}

int SimRadio::count(FrameKind kind) const
{
    const std::vector<Frame> log = frames();
    return int(std::count_if(log.begin(), log.end(), [kind](const Frame &f) { return f.kind == kind; }));
}

void SimRadio::clearLog()
{
    std::lock_guard lock(d->m);
    d->log.clear();
}

SimRadio::LineSettings SimRadio::lineSettings() const
{
    std::lock_guard lock(d->m);
    return d->line;
}

void SimRadio::unplug()
{
    std::unique_lock lock(d->m);
    d->unplugWanted = true;
    d->poke();
    d->unplugged.wait(lock, [this] { return !d->pty.isOpen(); });
}

void SimRadio::setLogFd(int fd)
{
    std::lock_guard lock(d->m);
    d->logFd = fd;
}

QString frameKindName(SimRadio::FrameKind kind)
{
    static const char *const names[] = {"AccessCode", "Read", "Write", "Exit"};
    return QString::fromLatin1(names[int(kind)]);
}
