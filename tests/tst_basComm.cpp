// The serial driver against a real pseudo-terminal.
#include "serial/PortLock.h"
#include "serial/basComm.h"
#include "sim/PtyPair.h"

#include <QElapsedTimer>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <QtTest>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace basComm;
using namespace std::chrono_literals;

namespace {
// The time a reply of `count` bytes is given on the radio's line.
milliseconds replyTime(int count) { return 700ms + 2ms * count; }
constexpr milliseconds Gap = 2ms;

std::unique_ptr<ComPort> portOrNull(Result<std::unique_ptr<ComPort>, OpenError> opened)
{
    return opened ? std::move(opened).value() : nullptr;
}
} // namespace

class TestBasComm : public QObject {
    Q_OBJECT
    std::unique_ptr<PtyPair> pty;
    std::unique_ptr<ComPort> port;
    QTemporaryDir dir;

private slots:
    void init()
    {
        pty = std::make_unique<PtyPair>();
        port = portOrNull(ComPort::open(pty->slavePath()));
        QVERIFY(port);
    }
    void cleanup()
    {
        port.reset();
        pty.reset();
    }

    void everyByteValuePassesUnchangedBothWays()
    {
        QVERIFY(port->configure(9600, DataBits::Eight, Parity::None, StopBits::One));
        QByteArray all(256, '\0');
        for (int i = 0; i < 256; ++i)
            all[i] = char(i);
        QCOMPARE(port->write(all, 3ms * 257), 256u);
        QCOMPARE(pty->readExactly(256, 2s), all);

        QVERIFY(pty->write(all));
        const Received got = port->read(256, replyTime(256), Gap);
        QCOMPARE(got.bytes, all);
        QCOMPARE(got.status, ReadStatus::Complete);
    }

    // One device, one holder: a second open by the same path, by a link to
    // it (as under /dev/serial/by-id/), or while anyone holds a lock on the
    // device itself is refused as busy; root is bound as well.
    void openIsExclusiveOnEveryPathToTheDevice()
    {
        const QString link = dir.filePath("by-id-link");
        QVERIFY(QFile::link(pty->slavePath(), link));
        for (const QString &path : {pty->slavePath(), link}) {
            const auto second = ComPort::open(path);
            QVERIFY(!second);
            QCOMPARE(second.kind(), OpenError::Busy);
        }
        port.reset();
        port = portOrNull(ComPort::open(link));
        QVERIFY(port);
        QCOMPARE(port->device(), pty->slavePath());
        port.reset();

        const int fd = ::open(pty->slavePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
        QVERIFY(fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0);
        const auto locked = ComPort::open(pty->slavePath());
        QVERIFY(!locked);
        QCOMPARE(locked.kind(), OpenError::Busy);
        ::close(fd);
        port = portOrNull(ComPort::open(pty->slavePath()));
        QVERIFY(port);

        for (const QString &path : {QString(), dir.filePath("nothing-here")}) {
            const auto missing = ComPort::open(path);
            QVERIFY(!missing);
            QCOMPARE(missing.kind(), OpenError::Missing);
        }
    }

    // A program killed while it made its lock file, or cleared a stale one,
    // leaves an empty file or a ".rmlock" that Qt would honour for 30 s, and
    // a killed program's number is soon a new process's, of the same name in
    // a test: the port is free all the same when nothing holds the lock file
    // or the device. A held lock file keeps it busy.
    void leftoverLockFilesDoNotKeepThePortBusy()
    {
        QString lock;
        for (const QString &dir : PortLock::LockDirs())
            if (QFileInfo::exists(dir + "/" + PortLock::LockFileName(pty->slavePath())))
                lock = dir + "/" + PortLock::LockFileName(pty->slavePath());
        QVERIFY2(!lock.isEmpty(), "Qt's lock file of an open port was not found");
        port.reset();
        const QByteArray numberTaken = QByteArray::number(::getpid()) + "\ntst_basComm\n"
                                       + QSysInfo::machineHostName().toUtf8() + "\n";
        const pid_t gone = ::fork();
        if (gone == 0)
            ::_exit(0);
        QVERIFY(gone > 0 && ::waitpid(gone, nullptr, 0) == gone);
        const struct { const char *what; QByteArray content; int age; bool held, opens; } cases[] = {
            {"empty, with a .rmlock, a while ago", "", 5, false, true},
            {"empty, just made", "", 0, false, true},
            {"Qt's, its number taken", numberTaken, 0, false, true},
            {"another program's, its process gone", QByteArray::number(gone) + "\n", 0, false, true},
            {"Qt's, held", numberTaken, 0, true, false},
        };
        for (const auto &c : cases) {
            QStringList files{lock};
            if (c.age > 0)
                files << lock + ".rmlock";
            for (const QString &file : files) {
                QFile f(file);
                QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(c.content) == c.content.size());
                QVERIFY(f.setFileTime(QDateTime::currentDateTime().addSecs(-c.age), QFileDevice::FileModificationTime));
            }
            const int holder = c.held ? ::open(QFile::encodeName(lock).constData(), O_RDONLY) : -1;
            QVERIFY(!c.held || ::flock(holder, LOCK_EX | LOCK_NB) == 0);
            auto opened = ComPort::open(pty->slavePath());
            QVERIFY2(opened.ok() == c.opens, c.what);
            QVERIFY2(c.opens || (opened.kind() == OpenError::Busy && QFileInfo::exists(lock)), c.what);
            port = portOrNull(std::move(opened));
            QVERIFY2(!QFileInfo::exists(lock + ".rmlock"), c.what);
            port.reset();
            if (holder >= 0)
                ::close(holder);
            QFile::remove(lock);
        }
    }

    void unsizedArraysAndImpossibleSettingsDoNothing()
    {
        QCOMPARE(port->write(QByteArray(), 5ms), 0u);
        QVERIFY(pty->read(50ms).isEmpty());
        QVERIFY(!port->configure(0, DataBits::Eight, Parity::None, StopBits::One));
    }

    void silentReadTakesTheTotalTimeout()
    {
        QElapsedTimer t;
        t.start();
        const Received got = port->read(1, replyTime(1), Gap);
        QVERIFY(got.bytes.isEmpty());
        QCOMPARE(got.status, ReadStatus::TimedOut);
        QVERIFY2(t.elapsed() >= 690 && t.elapsed() < 1200, qPrintable(QString::number(t.elapsed())));
    }

    void partialReplyEndsShortlyAfterItsLastByte()
    {
        QVERIFY(pty->write("\x57\x03\x80\x10\x01"));
        QElapsedTimer t;
        t.start();
        const Received got = port->read(20, replyTime(20), Gap);
        QVERIFY2(t.elapsed() < 200, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(got.bytes, QByteArray("\x57\x03\x80\x10\x01", 5));
        QCOMPARE(got.status, ReadStatus::TimedOut);
    }

    void purgeDropsPendingInput()
    {
        QVERIFY(pty->write("junk"));
        QTest::qWait(50);
        port->purge(false, false);   // no directions: nothing happens
        QVERIFY(pty->write("!"));
        QTest::qWait(50);
        QCOMPARE(port->read(5, replyTime(5), Gap).bytes, QByteArray("junk!"));
        QVERIFY(pty->write("junk"));
        QTest::qWait(50);
        port->purge(true, true);
        QVERIFY(pty->write("\x06"));
        QCOMPARE(port->read(1, replyTime(1), Gap).bytes, QByteArray("\x06"));
    }

    void staleInputIsDroppedAtOpen()
    {
        port.reset();
        QVERIFY(pty->write("old reply tail"));
        QTest::qWait(20);
        port = portOrNull(ComPort::open(pty->slavePath()));
        QVERIFY(port);
        QVERIFY(pty->write("\x06"));
        QCOMPARE(port->read(1, replyTime(1), Gap).bytes, QByteArray("\x06"));
    }

    // A frame the system takes at once goes out whole, however late the
    // thread comes to its wait. A write that runs out of time sends nothing
    // more later, when a read gives the port's own buffer a chance to drain:
    // at most what the system had taken arrives.
    void timedOutWriteSendsNoMore()
    {
        QCOMPARE(port->write("R\x03\x80\x10", 0ms), 4u);
        QCOMPARE(pty->read(200ms), QByteArray("R\x03\x80\x10"));
        const QByteArray big(256 * 1024, 'x');
        const std::uint32_t sent = port->write(big, 0ms);
        QVERIFY(sent < std::uint32_t(big.size()));
        qsizetype received = 0;
        std::thread drain([&] {
            for (int i = 0; i < 50; ++i)
                received += pty->read(20ms).size();
        });
        port->read(1, replyTime(1), Gap);   // waits, and would write what was left over
        drain.join();
        QVERIFY2(received <= qsizetype(sent), qPrintable(QStringLiteral("%1 of %2").arg(received).arg(sent)));
    }

    // Settling waits for the line to fall quiet, drops what came, and gives
    // up waiting after its bound when bytes never stop.
    void settleWaitsForQuietWithinItsBound()
    {
        QElapsedTimer t;
        t.start();
        QCOMPARE(port->settle(25ms, 250ms), 0);
        QVERIFY2(t.elapsed() < 20, qPrintable(QString::number(t.elapsed())));

        const auto trickle = [this](int count) {
            return std::thread([this, count] {
                for (int i = 0; i < count; ++i) {
                    pty->write("t");
                    std::this_thread::sleep_for(10ms);
                }
            });
        };
        std::thread feeder = trickle(8);
        std::this_thread::sleep_for(5ms);
        t.restart();
        const int dropped = port->settle(25ms, 250ms);
        const qint64 settled = t.elapsed();
        feeder.join();
        QVERIFY2(dropped >= 6, qPrintable(QString::number(dropped)));
        QVERIFY2(settled >= 90 && settled < 240, qPrintable(QString::number(settled)));
        QVERIFY(pty->write("\x06"));
        QCOMPARE(port->read(1, replyTime(1), Gap).bytes, QByteArray("\x06"));

        feeder = trickle(60);
        t.restart();
        port->settle(25ms, 250ms);
        const qint64 bounded = t.elapsed();
        feeder.join();
        QVERIFY2(bounded >= 240 && bounded < 450, qPrintable(QString::number(bounded)));
    }

    void readingMoreCompletesASplitReply()
    {
        QVERIFY(pty->write("W\x03\x80"));
        QByteArray reply = port->read(6, replyTime(6), Gap).bytes;
        QCOMPARE(reply.size(), 3);
        std::thread rest([this] {
            std::this_thread::sleep_for(30ms);
            pty->write("\x10\x01\x02");
        });
        const Received more = port->readMore(3, 50ms, 700ms);
        rest.join();
        QCOMPARE(more.status, ReadStatus::Complete);
        QCOMPARE(reply + more.bytes, QByteArray("W\x03\x80\x10\x01\x02"));

        QElapsedTimer t;
        t.start();
        QCOMPARE(port->readMore(3, 50ms, 700ms).bytes.size(), 0);
        QVERIFY2(t.elapsed() >= 45 && t.elapsed() < 300, qPrintable(QString::number(t.elapsed())));
    }

    void vanishedDeviceReadsAsSilenceAtOnce()
    {
        pty->close();
        QElapsedTimer t;
        t.start();
        const Received got = port->read(20, replyTime(20), Gap);
        QVERIFY(got.bytes.isEmpty());
        QCOMPARE(got.status, ReadStatus::Error);
        port->write(QByteArray("R\x03\x80\x10", 4), 15ms);
        QVERIFY(t.elapsed() < 800);
    }

    void waitCountsTicksAcrossWraps()
    {
        for (std::uint32_t start : {0x7FFFFFF8u, 0xFFFFFFF8u}) {
            std::uint32_t now = start;
            int calls = 0;
            const TickSource ticks = [&] { ++calls; return now++; };
            WaitMs(10, ticks);
            QCOMPARE(now - start, 11u);   // the first tick is t0, then 10 more
            calls = 0;
            WaitMs(0.1f, ticks);
            QCOMPARE(calls, 2);           // ends at the first change of the counter
            calls = 0;
            WaitMs(0, ticks);
            QCOMPARE(calls, 0);
        }
        QElapsedTimer t;
        t.start();
        WaitMs(10);
        QVERIFY(t.elapsed() >= 9 && t.elapsed() < 200);
    }
};

QTEST_MAIN(TestBasComm)
#include "tst_basComm.moc"
