// The simulated radio is test equipment: the protocol and action tests use
// its answers and faults throughout. These check what they cannot see,
// talking to it over its slave device with plain POSIX calls: its timing as
// a USB-serial adapter would deliver it, and its command line.

#include "protocol/Frames.h"
#include "sim/SimRadio.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTest>
#include <algorithm>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono;
using Kind = SimRadio::FrameKind;
using Clock = steady_clock;

namespace {

const QByteArray ReadReq("R\x03\x80\x10", 4);
const QByteArray Data = QByteArray::fromHex("6022652669 2a6d2e7132 76375a0012 34");
const QByteArray Reply = QByteArray("W\x03\x80\x10", 4) + Data;

struct Burst {
    double ms;       // since the request went out
    double lastMs;   // when its last piece came: a burst may merge pieces
    QByteArray bytes;
};

QByteArray joined(const std::vector<Burst> &bursts)
{
    QByteArray all;
    for (const auto &b : bursts)
        all += b.bytes;
    return all;
}

struct Slave {
    const int fd;
    explicit Slave(const QString &path) : fd(::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY)) {}
    ~Slave() { ::close(fd); }

    void send(const QByteArray &b) { QCOMPARE(::write(fd, b.constData(), size_t(b.size())), ssize_t(b.size())); }
    // Up to n bytes, noting when each burst came; pieces less than splitMs
    // apart count as one burst.
    std::vector<Burst> recvBursts(int n, Clock::time_point since, double splitMs, int ms = 500)
    {
        std::vector<Burst> out;
        int total = 0;
        const auto deadline = since + milliseconds(ms);
        while (total < n && Clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            const auto left = duration_cast<milliseconds>(deadline - Clock::now()).count();
            char buf[64];
            const ssize_t got = ::poll(&p, 1, int(std::max<long long>(left, 1))) > 0
                                    ? ::read(fd, buf, size_t(std::min(n - total, int(sizeof buf)))) : 0;
            if (got <= 0)
                continue;
            const double at = duration<double, std::milli>(Clock::now() - since).count();
            if (out.empty() || at - out.back().lastMs >= splitMs)
                out.push_back({at, at, {}});
            out.back().lastMs = at;
            out.back().bytes.append(buf, got);
            total += int(got);
        }
        return out;
    }
    QByteArray recv(int n, int ms = 500) { return joined(recvBursts(n, Clock::now(), 1e9, ms)); }
    void enterProgrammingMode()
    {
        send(Frames::accessCode());
        QCOMPARE(recv(1), QByteArray("\x06"));
    }
};

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
    // Nothing is answered outside programming mode; paced, a reply takes its wire time.
    void programmingModeAndPacing()
    {
        SimRadio radio;
        Slave s(radio.devicePath());
        s.send(ReadReq + QByteArray("W\x03\x80\x10", 4) + QByteArray(16, '\x11') + "E");
        QCOMPARE(s.recv(1, 150), QByteArray());
        QCOMPARE(radio.memory(0x0380, 16), QByteArray(16, '\0'));
        QCOMPARE(radio.frameKinds(), (std::vector{Kind::Read, Kind::Write, Kind::Exit}));
        s.enterProgrammingMode();
        radio.setPacing(true);
        QElapsedTimer t;
        t.start();
        s.send(ReadReq);
        QCOMPARE(s.recv(20).size(), 20);
        QVERIFY2(t.elapsed() >= 21, qPrintable(QString::number(t.elapsed())));
    }

    // While nobody holds the slave the master reads EIO and polls POLLHUP at
    // once: a radio that did not wait then would spin, which shows in the CPU time.
    void waitsForAnUnopenedSlaveAndUnplugs()
    {
        SimRadio radio;
        const QString path = radio.devicePath();
        for (int opened = 0; opened < 2; ++opened) {
            if (opened)
                Slave(path).enterProgrammingMode();   // closed again: EIO once more
            const auto cpu = cpuTime();
            std::this_thread::sleep_for(100ms);
            QVERIFY2(cpuTime() - cpu < 20ms, qPrintable(QString::number((cpuTime() - cpu).count())));
        }
        Slave again(path);
        again.send(ReadReq);
        QCOMPARE(again.recv(20).size(), 20);
        radio.unplug();
        QVERIFY(::access(path.toLocal8Bit().constData(), F_OK) != 0);
    }

    // Unpaced otherwise: the wire time comes from the adapter model alone. A
    // loaded machine may merge or delay what the reader sees, so the burst
    // pattern must show in most attempts, not all; the bytes in every one.
    void usbRepliesComeInBursts()
    {
        for (auto [latency, jitter] : {std::pair{16, 0}, {16, 8}, {1, 3}}) {   // FTDI, FTDI loaded, CH340
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
                const double last = bursts.back().lastMs;
                QVERIFY2(last >= 20.8, qPrintable(QString::number(last)));
                std::vector<double> g;
                for (size_t i = 1; i < bursts.size(); ++i)
                    g.push_back(bursts[i].ms - bursts[i - 1].ms);
                const double widest = g.empty() ? 0 : *std::max_element(g.begin(), g.end());
                seen += QStringLiteral(" [%1 bursts, last %2 ms, widest gap %3 ms]").arg(bursts.size()).arg(last).arg(widest);
                if (bursts.size() < 2 || last > 20.8 + latency + jitter + 20 || widest > std::max(latency + jitter, 10) + 15)
                    continue;
                ++clean;
                gaps.insert(gaps.end(), g.begin(), g.end());
            }
            QVERIFY2(clean == 3, qPrintable(QString("latency %1, jitter %2:%3").arg(latency).arg(jitter).arg(seen)));
            std::sort(gaps.begin(), gaps.end());
            if (jitter == 0)
                QVERIFY2(gaps[gaps.size() / 2] >= latency - 4 && gaps[gaps.size() / 2] <= latency + 6, qPrintable(seen));
        }
    }

    // A purge on the host side drops what arrived, never what the adapter holds.
    // The purge must come before the last burst: a stalled test tries again.
    void bytesInAdapterSurvivePurge()
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

    // -V is the version, as in calitune and calitune-cli; -v is none.
    void badOptionsExitWith2AndVersion()
    {
        for (const char *version : {"-V", "--version"}) {
            QProcess sim;
            sim.start(QCoreApplication::applicationDirPath() + "/calitune-radio-sim", {version});
            QVERIFY(sim.waitForFinished(5000));
            QCOMPARE(sim.exitCode(), 0);
            QCOMPARE(sim.readAllStandardOutput(), QByteArray("calitune-radio-sim " CALITUNE_VERSION "\n"));
        }
        for (const QStringList &arguments : {QStringList{"--bogus"}, {"--silent-after", "x"}, {"--usb-latency"},
                                             {"--fault", "read:pause:40/x"}, {"-v"}}) {
            QProcess sim;
            sim.start(QCoreApplication::applicationDirPath() + "/calitune-radio-sim", arguments);
            QVERIFY2(sim.waitForFinished(5000), qPrintable(sim.errorString()));
            const QString err = QString::fromLocal8Bit(sim.readAllStandardError()).trimmed();
            QVERIFY2(sim.exitStatus() == QProcess::NormalExit && sim.exitCode() == 2, qPrintable(err));
            QVERIFY2(err.contains(arguments[0].mid(2)) && !err.contains(u'\n'),
                     qPrintable(err));
            QVERIFY(sim.readAllStandardOutput().isEmpty());
        }
    }
};

QTEST_GUILESS_MAIN(TestSimRadio)
#include "tst_simradio.moc"
