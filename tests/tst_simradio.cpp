// The simulated radio is test equipment: these check what the other tests
// lean on, talking to it over its slave device with plain POSIX calls.

#include "sim/SimRadio.h"

#include <QElapsedTimer>
#include <QTest>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using Kind = SimRadio::FrameKind;
using Fault = SimRadio::Fault;

namespace {

const QByteArray Code("CALTUNE");
const QByteArray ReadReq("R\x03\x80\x10", 4);

QByteArray writeFrame(char fill)
{
    return QByteArray("W\x03\x80\x10", 4) + QByteArray(16, fill);
}

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
};

} // namespace

class TestSimRadio : public QObject {
    Q_OBJECT
private slots:
    void splitAndMergedFrames();
    void ignoredOutsideProgrammingMode();
    void faultScriptPerAttempt();
    void pacedReplyTakesWireTime();
    void survivesUnopenedSlaveAndUnplug();
};

void TestSimRadio::splitAndMergedFrames()
{
    SimRadio radio;
    Slave s(radio.devicePath());
    QVERIFY(s.fd >= 0);

    s.send("xxCA");   // junk before the code, and the code in pieces
    std::this_thread::sleep_for(20ms);
    s.send("LTUNE");
    QCOMPARE(s.recv(1), QByteArray("\x06"));
    QVERIFY(radio.inProgrammingMode());

    const QByteArray w = writeFrame('\x0D');
    s.send(w.left(3));
    std::this_thread::sleep_for(20ms);
    s.send(w.mid(3, 9));
    std::this_thread::sleep_for(20ms);
    s.send(w.mid(12));
    QCOMPARE(s.recv(1), QByteArray("\x06"));
    QCOMPARE(radio.memory(0x0380, 16), QByteArray(16, '\x0D'));

    s.send(ReadReq + "E");   // two frames in one write
    QCOMPARE(s.recv(22), QByteArray("W\x03\x80\x10", 4) + QByteArray(16, '\x0D') + "f");
    QVERIFY(!radio.inProgrammingMode());
    QCOMPARE(radio.frameKinds(),
             (std::vector{Kind::AccessCode, Kind::Write, Kind::Read, Kind::Exit}));
}

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

void TestSimRadio::faultScriptPerAttempt()
{
    SimRadio radio;
    Slave s(radio.devicePath());
    radio.setFaults(Kind::AccessCode, {Fault(Fault::WrongByte, 0x15)});
    radio.setFaults(Kind::Write, {Fault(Fault::WrongByte, 0x15), Fault::Silent},
                    Fault(Fault::AckThenJunk, 2));
    radio.setFaults(Kind::Read, {Fault(Fault::CutAfter, 5), Fault::WrongAddress});

    s.send(Code);
    QCOMPARE(s.recv(2, 150), QByteArray("\x15"));
    QVERIFY(!radio.inProgrammingMode());
    s.send(Code);
    QCOMPARE(s.recv(2, 150), QByteArray("\x06"));

    s.send(writeFrame('\x01'));
    QCOMPARE(s.recv(2, 150), QByteArray("\x15"));
    s.send(writeFrame('\x02'));
    QCOMPARE(s.recv(2, 150), QByteArray());
    QCOMPARE(radio.memory(0x0380, 1), QByteArray(1, '\0'));   // neither was stored
    s.send(writeFrame('\x03'));
    QCOMPARE(s.recv(4, 150), QByteArray("\x06\xEE\xEE"));
    s.send(writeFrame('\x04'));
    QCOMPARE(s.recv(4, 150).size(), 3);
    QCOMPARE(radio.memory(0x0380, 1), QByteArray("\x04"));

    s.send(ReadReq);
    QCOMPARE(s.recv(20, 150), QByteArray("W\x03\x80\x10\x04", 5));
    s.send(ReadReq);
    QCOMPARE(s.recv(20).left(3), QByteArray("W\x03\x90"));
    s.send(ReadReq);
    QCOMPARE(s.recv(20), QByteArray("W\x03\x80\x10", 4) + QByteArray(16, '\x04'));

    radio.setSilentAfter(1);
    s.send("E");
    QCOMPARE(s.recv(1, 150), QByteArray("f"));
    s.send(Code);
    QCOMPARE(s.recv(1, 150), QByteArray());
    QVERIFY(!radio.inProgrammingMode());
    QCOMPARE(radio.count(Kind::AccessCode), 3);
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

void TestSimRadio::survivesUnopenedSlaveAndUnplug()
{
    SimRadio radio;
    std::this_thread::sleep_for(50ms);   // the master reads EIO meanwhile
    const QString path = radio.devicePath();
    {
        Slave s(path);
        termios tio{};
        ::tcgetattr(s.fd, &tio);
        ::cfsetspeed(&tio, B9600);
        ::tcsetattr(s.fd, TCSANOW, &tio);
        s.send(Code);
        QCOMPARE(s.recv(1), QByteArray("\x06"));
        const auto line = radio.lineSettings();
        QCOMPARE(line.baud, 9600);
        QCOMPARE(line.dataBits, 8);
        QCOMPARE(line.parity, 'N');
        QCOMPARE(line.stopBits, 1);
        QVERIFY(line.raw);
    }
    std::this_thread::sleep_for(30ms);   // closed again: EIO once more
    Slave again(path);
    again.send(ReadReq);
    QCOMPARE(again.recv(20).size(), 20);

    radio.unplug();
    QVERIFY(::access(path.toLocal8Bit().constData(), F_OK) != 0);
}

QTEST_GUILESS_MAIN(TestSimRadio)
#include "tst_simradio.moc"
