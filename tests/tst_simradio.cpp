// The simulated radio is test equipment: the protocol and action tests use
// its answers and faults throughout. These check what they cannot see,
// talking to it over its slave device with plain POSIX calls.

#include "protocol/Module1.h"
#include "sim/SimRadio.h"

#include <QElapsedTimer>
#include <QTest>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using Kind = SimRadio::FrameKind;

namespace {

const QByteArray Code(Module1::AccessCode.data(), Module1::AccessCode.size());
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
    void ignoredOutsideProgrammingMode();
    void pacedReplyTakesWireTime();
    void survivesUnopenedSlaveAndUnplug();
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

void TestSimRadio::survivesUnopenedSlaveAndUnplug()
{
    SimRadio radio;
    std::this_thread::sleep_for(50ms);   // the master reads EIO meanwhile
    const QString path = radio.devicePath();
    {
        Slave s(path);
        s.send(Code);
        QCOMPARE(s.recv(1), QByteArray("\x06"));
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
