// The simulated radio is test equipment: the protocol and action tests use
// its answers and faults throughout. These check what they cannot see,
// talking to it over its slave device with plain POSIX calls: its timing as
// a USB-serial adapter would deliver it, faults, log and command line.

#include "protocol/Frames.h"
#include "sim/PtyPair.h"
#include "sim/SimRadio.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTest>
#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace std::chrono;
using Kind = SimRadio::FrameKind;

namespace {

const QByteArray Code = Frames::accessCode();
const QByteArray ReadReq("R\x03\x80\x10", 4);

QByteArray writeFrame(char fill)
{
    return QByteArray("W\x03\x80\x10", 4) + QByteArray(16, fill);
}

const QByteArray Data = QByteArray::fromHex("6022652669 2a6d2e7132 76375a0012 34");
const QByteArray Reply = QByteArray("W\x03\x80\x10", 4) + Data;

struct Burst {
    double ms;   // since the request went out
    QByteArray bytes;
};

using Clock = steady_clock;

struct Slave {
    int fd;
    explicit Slave(const QString &path)
        : fd(::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY)) {}
    ~Slave()
    {
        if (fd >= 0)
            ::close(fd);
    }

    void send(const QByteArray &b)
    {
        QCOMPARE(::write(fd, b.constData(), size_t(b.size())), ssize_t(b.size()));
    }
    // Up to `n` bytes, or what came before `ms` ran out.
    QByteArray recv(int n, int ms = 500)
    {
        QByteArray out;
        QElapsedTimer t;
        t.start();
        while (out.size() < n && t.elapsed() < ms) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, int(ms - t.elapsed())) > 0) {
                char buf[64];
                const auto want = std::min<qsizetype>(n - out.size(), sizeof buf);
                const ssize_t got = ::read(fd, buf, size_t(want));
                if (got > 0)
                    out.append(buf, got);
            }
        }
        return out;
    }
    // Like recv(), noting when each burst came; pieces that came less than
    // `splitMs` apart count as one burst.
    std::vector<Burst> recvBursts(int n, Clock::time_point since, double splitMs, int ms = 500)
    {
        std::vector<Burst> out;
        int total = 0;
        const auto deadline = since + milliseconds(ms);
        while (total < n && Clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            const auto left = duration_cast<milliseconds>(deadline - Clock::now()).count();
            if (::poll(&p, 1, int(std::max<long long>(left, 1))) <= 0)
                continue;
            char buf[64];
            const ssize_t got = ::read(fd, buf, sizeof buf);
            if (got <= 0)
                continue;
            const double at = duration<double, std::milli>(Clock::now() - since).count();
            if (out.empty() || at - out.back().ms >= splitMs)
                out.push_back({at, {}});
            out.back().bytes.append(buf, got);
            total += int(got);
        }
        return out;
    }
    void enterProgrammingMode()
    {
        send(Code);
        QCOMPARE(recv(1), QByteArray("\x06"));
    }
};

QByteArray joined(const std::vector<Burst> &bursts)
{
    QByteArray all;
    for (const auto &b : bursts)
        all += b.bytes;
    return all;
}

std::vector<double> gapsOf(const std::vector<Burst> &bursts)
{
    std::vector<double> gaps;
    for (size_t i = 1; i < bursts.size(); ++i)
        gaps.push_back(bursts[i].ms - bursts[i - 1].ms);
    return gaps;
}

milliseconds cpuTime()
{
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return duration_cast<milliseconds>(seconds(ts.tv_sec) + nanoseconds(ts.tv_nsec));
}

} // namespace

class TestSimRadio : public QObject {
    Q_OBJECT
private slots:
    void ignoredOutsideProgrammingMode();
    void pacedReplyTakesWireTime();
    void survivesUnopenedSlaveAndUnplug();
    void usbRepliesComeInBursts_data();
    void usbRepliesComeInBursts();
    void bytesInAdapterSurvivePurge();
    void frameLogDecodes();
    void badOptionsExitWith2_data();
    void badOptionsExitWith2();
};

void TestSimRadio::ignoredOutsideProgrammingMode()
{
    SimRadio radio;
    Slave s(radio.devicePath());
    s.send(ReadReq + writeFrame('\x11') + "E");
    QCOMPARE(s.recv(1, 150), QByteArray());
    QCOMPARE(radio.memory(0x0380, 16), QByteArray(16, '\0'));
    QCOMPARE(radio.frameKinds(), (std::vector{Kind::Read, Kind::Write, Kind::Exit}));
    QVERIFY(!radio.inProgrammingMode());
}

void TestSimRadio::pacedReplyTakesWireTime()
{
    SimRadio radio;
    Slave s(radio.devicePath());
    s.send(Code);
    QCOMPARE(s.recv(1), QByteArray("\x06"));
    radio.setPacing(true);
    QElapsedTimer t;
    t.start();
    s.send(ReadReq);
    QCOMPARE(s.recv(20).size(), 20);
    QVERIFY2(t.elapsed() >= 21, qPrintable(QString::number(t.elapsed())));
}

// While nobody holds the slave the master reads EIO and polls POLLHUP at once:
// a radio that did not wait then would spin, which shows in the CPU time.
void TestSimRadio::survivesUnopenedSlaveAndUnplug()
{
    {
        PtyPair raw;
        char c;
        QCOMPARE(::read(raw.masterFd(), &c, 1), ssize_t(-1));
        QCOMPARE(errno, EIO);
        pollfd p{raw.masterFd(), POLLIN, 0};
        QCOMPARE(::poll(&p, 1, 0), 1);
        QVERIFY(p.revents & POLLHUP);
    }
    SimRadio radio;
    auto cpu = cpuTime();
    std::this_thread::sleep_for(100ms);
    QVERIFY2(cpuTime() - cpu < 20ms, qPrintable(QString::number((cpuTime() - cpu).count())));
    const QString path = radio.devicePath();
    {
        Slave s(path);
        s.send(Code);
        QCOMPARE(s.recv(1), QByteArray("\x06"));
    }
    cpu = cpuTime();
    std::this_thread::sleep_for(100ms);   // closed again: EIO once more
    QVERIFY2(cpuTime() - cpu < 20ms, qPrintable(QString::number((cpuTime() - cpu).count())));
    Slave again(path);
    again.send(ReadReq);
    QCOMPARE(again.recv(20).size(), 20);

    radio.unplug();
    QVERIFY(::access(path.toLocal8Bit().constData(), F_OK) != 0);
}

void TestSimRadio::usbRepliesComeInBursts_data()
{
    QTest::addColumn<int>("latency");
    QTest::addColumn<int>("jitter");
    QTest::newRow("FTDI 16 ms") << 16 << 0;
    QTest::newRow("FTDI 16 ms, jitter 8 ms") << 16 << 8;
    QTest::newRow("CH340 1 ms, jitter 3 ms") << 1 << 3;
}

// Unpaced otherwise: the wire time comes from the adapter model alone. A
// loaded machine may merge or delay what the reader sees, so the burst
// pattern must show in most attempts, not all; the bytes in every one.
void TestSimRadio::usbRepliesComeInBursts()
{
    QFETCH(int, latency);
    QFETCH(int, jitter);
    SimRadio radio;
    radio.setRandomSeed(42);
    radio.setMemory(0x0380, Data);
    radio.setUsbDelivery(milliseconds(latency), milliseconds(jitter));
    Slave s(radio.devicePath());
    s.enterProgrammingMode();
    std::vector<double> gaps;
    int clean = 0;
    QString seen;
    for (int attempt = 0; attempt < 10 && clean < 3; ++attempt) {
        const auto sent = Clock::now();
        s.send(ReadReq);
        const auto bursts = s.recvBursts(20, sent, latency / 2.0);
        QCOMPARE(joined(bursts), Reply);
        QVERIFY(s.recv(1, 30).isEmpty());
        const double last = bursts.back().ms;
        QVERIFY2(last >= 20.8, qPrintable(QString::number(last)));
        const auto g = gapsOf(bursts);
        seen += QStringLiteral(" [%1 bursts, last %2 ms, widest gap %3 ms]")
                    .arg(bursts.size())
                    .arg(last)
                    .arg(g.empty() ? 0 : *std::max_element(g.begin(), g.end()));
        const double widest = std::max(latency + jitter, 10) + 15;
        if (bursts.size() < 2 || last > 20.8 + latency + jitter + 20
            || std::any_of(g.begin(), g.end(), [&](double x) { return x > widest; }))
            continue;
        ++clean;
        gaps.insert(gaps.end(), g.begin(), g.end());
    }
    QVERIFY2(clean == 3, qPrintable(seen));
    if (jitter == 0) {
        std::sort(gaps.begin(), gaps.end());
        const double median = gaps[gaps.size() / 2];
        QVERIFY2(median >= latency - 4 && median <= latency + 6, qPrintable(seen));
    }
}

// A purge on the host side drops what arrived, never what the adapter holds.
// The purge must come before the last burst: a stalled test tries again.
void TestSimRadio::bytesInAdapterSurvivePurge()
{
    SimRadio radio;
    radio.setUsbDelivery(16ms);
    radio.setMemory(0x0380, Data);
    Slave s(radio.devicePath());
    s.enterProgrammingMode();
    QByteArray tail;
    for (int attempt = 0; attempt < 5 && tail.isEmpty(); ++attempt) {
        s.send(ReadReq);
        pollfd p{s.fd, POLLIN, 0};
        QCOMPARE(::poll(&p, 1, 500), 1);
        QCOMPARE(::tcflush(s.fd, TCIFLUSH), 0);
        tail = s.recv(20, 200);
        QVERIFY2(tail.size() < 20, tail.toHex(' ').constData());
        QCOMPARE(tail, Reply.right(tail.size()));
    }
    QVERIFY(!tail.isEmpty());
}

void TestSimRadio::frameLogDecodes()
{
    int pipe[2];
    QCOMPARE(::pipe2(pipe, O_NONBLOCK), 0);
    {
        SimRadio radio;
        radio.setLogFd(pipe[1]);
        radio.setMemory(0x0380, Data);
        Slave s(radio.devicePath());
        s.enterProgrammingMode();
        s.send(ReadReq);
        QCOMPARE(s.recv(20), Reply);
        s.send(QByteArray("W\x03\x90\x10", 4) + QByteArray(16, '\x07'));
        QCOMPARE(s.recv(1), QByteArray("\x06"));
        s.send("E");
        QCOMPARE(s.recv(1), QByteArray("f"));
    }
    char buf[4096];
    const ssize_t n = ::read(pipe[0], buf, sizeof buf);
    ::close(pipe[0]);
    ::close(pipe[1]);
    const QList<QByteArray> lines = QByteArray(buf, int(std::max<ssize_t>(n, 0))).split('\n');
    QCOMPARE(lines.size(), 5);
    QVERIFY(lines[0].endsWith("AccessCode 43 41 4c 54 55 4e 45 -> 06  access code"));
    const QByteArray values = "W 0x0380 len 16: H400=96 L400=34 H420=101 L420=38 H440=105 L440=42 "
                              "H460=109 L460=46 H480=113 L480=50 H520=118 L520=55 +[5a 00 12 34]";
    QVERIFY2(lines[1].endsWith(" -> " + Reply.toHex(' ') + "  R 0x0380 len 16 -> " + values),
             lines[1].constData());
    QVERIFY2(lines[2].endsWith("-> 06  W 0x0390 len 16: [" + QByteArray(16, '\x07').toHex(' ') + ']'),
             lines[2].constData());
    QVERIFY(lines[3].endsWith("Exit 45 -> 66  exit"));
}

void TestSimRadio::badOptionsExitWith2_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("named");
    QTest::newRow("unknown") << QStringList{"--bogus"} << "bogus";
    QTest::newRow("not a number") << QStringList{"--silent-after", "x"} << "--silent-after";
    QTest::newRow("missing value") << QStringList{"--usb-latency"} << "--usb-latency";
    QTest::newRow("bad pause") << QStringList{"--fault", "read:pause:40/x"} << "--fault";
}

void TestSimRadio::badOptionsExitWith2()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, named);
    QProcess sim;
    sim.start(QCoreApplication::applicationDirPath() + "/calitune-radio-sim", arguments);
    QVERIFY2(sim.waitForFinished(5000), qPrintable(sim.errorString()));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 2);
    const QString err = QString::fromLocal8Bit(sim.readAllStandardError()).trimmed();
    QVERIFY2(err.contains(named) && !err.contains(u'\n'), qPrintable(err));
    QVERIFY(sim.readAllStandardOutput().isEmpty());
}

QTEST_GUILESS_MAIN(TestSimRadio)
#include "tst_simradio.moc"
