// The serial driver against a real pseudo-terminal.
#include "serial/basComm.h"
#include "sim/PtyPair.h"

#include <QElapsedTimer>
#include <QtTest>
#include <thread>

using namespace basComm;
using namespace std::chrono_literals;

class TestBasComm : public QObject {
    Q_OBJECT
    std::unique_ptr<PtyPair> pty;
    ComHandle h = 0;

private slots:
    void init()
    {
        pty = std::make_unique<PtyPair>();
        qputenv("CALITUNE_COM1", pty->slavePath().toLocal8Bit());
        h = OpenComPort(1);
        QVERIFY(h != 0);
    }
    void cleanup()
    {
        h = CloseComPort(h);
        pty.reset();
        qunsetenv("CALITUNE_COM1");
    }

    void everyByteValuePassesUnchangedBothWays()
    {
        QVERIFY(ConfigureComPort(h, 9600, 8, 0, 0, 26));
        QByteArray all(256, '\0');
        for (int i = 0; i < 256; ++i)
            all[i] = char(i);
        QCOMPARE(WriteComBytes(h, all, 256), 256u);
        QCOMPARE(pty->readExactly(256, 2s), all);

        QVERIFY(pty->write(all));
        int arrived = 0;
        QCOMPARE(ReadComBytes(h, 256, &arrived), all);
        QCOMPARE(arrived, 256);
    }

    void openIsExclusiveAndPortsAreNumbered()
    {
        QCOMPARE(OpenComPort(1), 0u);   // already held by this process
        QCOMPARE(OpenComPort(2), 0u);   // mapping names only COM1
        QCOMPARE(OpenComPort(0), 0u);
        h = CloseComPort(h);
        QCOMPARE(h, 0u);
        h = OpenComPort(1);
        QVERIFY(h != 0);
    }

    void handleZeroAndUnsizedArraysDoNothing()
    {
        QVERIFY(!ConfigureComPort(0, 9600, 8, 0, 0, 26));
        QVERIFY(!SetComTimeouts(0, 2, 3));
        QVERIFY(!SetComBuffers(0, 1024, 512));
        PurgeComPort(0, true, true);
        QCOMPARE(CloseComPort(0), 0u);
        QCOMPARE(ReadComBytes(0, 4), QByteArray(4, '\0'));
        QCOMPARE(WriteComBytes(0, "ab", 2), 0u);
        QCOMPARE(WriteComBytes(h, QByteArray(), 5), 0u);
        QVERIFY(pty->read(50ms).isEmpty());
        // Settings a line cannot take are refused.
        QVERIFY(!ConfigureComPort(h, 9600, 9, 0, 0, 26));
        QVERIFY(!ConfigureComPort(h, 9600, 8, 0, 5, 26));
    }

    void silentReadTakesTheTotalTimeout()
    {
        QElapsedTimer t;
        t.start();
        int arrived = -1;
        QCOMPARE(ReadComBytes(h, 1, &arrived), QByteArray(1, '\0'));
        QCOMPARE(arrived, 0);
        QVERIFY2(t.elapsed() >= 690 && t.elapsed() < 1200, qPrintable(QString::number(t.elapsed())));
    }

    void partialReplyEndsShortlyAfterItsLastByte()
    {
        QVERIFY(pty->write("\x57\x03\x80\x10\x01"));
        QElapsedTimer t;
        t.start();
        int arrived = 0;
        const QByteArray got = ReadComBytes(h, 20, &arrived);
        QVERIFY2(t.elapsed() < 200, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(arrived, 5);
        QCOMPARE(got, QByteArray("\x57\x03\x80\x10\x01", 5) + QByteArray(15, '\0'));
    }

    void purgeDropsPendingInput()
    {
        QVERIFY(pty->write("junk"));
        QTest::qWait(50);
        PurgeComPort(h, false, false);   // no directions: nothing happens
        QVERIFY(pty->write("!"));
        QTest::qWait(50);
        QCOMPARE(ReadComBytes(h, 5), QByteArray("junk!"));
        QVERIFY(pty->write("junk"));
        QTest::qWait(50);
        PurgeComPort(h, true, true);
        QVERIFY(pty->write("\x06"));
        QCOMPARE(ReadComBytes(h, 1), QByteArray("\x06"));
    }

    void staleInputIsDroppedAtOpen()
    {
        h = CloseComPort(h);
        QVERIFY(pty->write("old reply tail"));
        QTest::qWait(20);
        h = OpenComPort(1);
        QVERIFY(h != 0);
        QVERIFY(pty->write("\x06"));
        QCOMPARE(ReadComBytes(h, 1), QByteArray("\x06"));
    }

    // A write that runs out of time sends nothing more later, when a read
    // gives the port's own buffer a chance to drain.
    void timedOutWriteSendsNoMore()
    {
        QVERIFY(SetComTimeouts(h, 2, 0));
        const QByteArray big(256 * 1024, 'x');
        const std::uint32_t sent = WriteComBytes(h, big, std::uint32_t(big.size()));
        QVERIFY(sent < std::uint32_t(big.size()));
        qsizetype received = 0;
        std::thread drain([&] {
            for (int i = 0; i < 50; ++i)
                received += pty->read(20ms).size();
        });
        ReadComBytes(h, 1);   // waits, and would write what was left over
        drain.join();
        QCOMPARE(received, qsizetype(sent));
    }

    // Settling waits for the line to fall quiet, drops what came, and gives
    // up waiting after its bound when bytes never stop.
    void settleWaitsForQuietWithinItsBound()
    {
        QElapsedTimer t;
        t.start();
        QCOMPARE(SettleComPort(h, 25, 250), 0);
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
        const int dropped = SettleComPort(h, 25, 250);
        const qint64 settled = t.elapsed();
        feeder.join();
        QVERIFY2(dropped >= 6, qPrintable(QString::number(dropped)));
        QVERIFY2(settled >= 90 && settled < 240, qPrintable(QString::number(settled)));
        QVERIFY(pty->write("\x06"));
        QCOMPARE(ReadComBytes(h, 1), QByteArray("\x06"));

        feeder = trickle(60);
        t.restart();
        SettleComPort(h, 25, 250);
        const qint64 bounded = t.elapsed();
        feeder.join();
        QVERIFY2(bounded >= 240 && bounded < 450, qPrintable(QString::number(bounded)));
    }

    void readingMoreCompletesASplitReply()
    {
        QVERIFY(pty->write("W\x03\x80"));
        int arrived = 0;
        QByteArray reply = ReadComBytes(h, 6, &arrived).left(3);
        QCOMPARE(arrived, 3);
        std::thread rest([this] {
            std::this_thread::sleep_for(30ms);
            pty->write("\x10\x01\x02");
        });
        QCOMPARE(ReadMoreComBytes(h, reply, 3, 50, 700), 3);
        rest.join();
        QCOMPARE(reply, QByteArray("W\x03\x80\x10\x01\x02"));

        QElapsedTimer t;
        t.start();
        QCOMPARE(ReadMoreComBytes(h, reply, 3, 50, 700), 0);
        QVERIFY2(t.elapsed() >= 45 && t.elapsed() < 300, qPrintable(QString::number(t.elapsed())));
    }

    void vanishedDeviceReadsAsSilenceAtOnce()
    {
        pty->close();
        QElapsedTimer t;
        t.start();
        int arrived = -1;
        QCOMPARE(ReadComBytes(h, 20, &arrived), QByteArray(20, '\0'));
        QCOMPARE(arrived, 0);
        WriteComBytes(h, "R\x03\x80\x10", 4);
        QVERIFY(t.elapsed() < 800);
    }

    void waitCountsTicksAcrossWraps()
    {
        for (std::uint32_t start : {0x7FFFFFF8u, 0xFFFFFFF8u}) {
            std::uint32_t now = start;
            int calls = 0;
            SetTickSource([&] { ++calls; return now++; });
            WaitMs(10);
            QCOMPARE(now - start, 11u);   // the first tick is t0, then 10 more
            calls = 0;
            WaitMs(0.1f);
            QCOMPARE(calls, 2);           // ends at the first change of the counter
            calls = 0;
            WaitMs(0);
            QCOMPARE(calls, 0);
            ReplyReceived = true;
            WaitMs(1000);
            ReplyReceived = false;
            QCOMPARE(calls, 2);           // one pass, then the flag ends it
        }
        SetTickSource({});
        QElapsedTimer t;
        t.start();
        WaitMs(10);
        QVERIFY(t.elapsed() >= 9 && t.elapsed() < 200);
    }
};

QTEST_MAIN(TestBasComm)
#include "tst_basComm.moc"
