// The radio link against the simulated radio, through the real driver.
#include "tests/TestRadio.h"
#include "protocol/CalibrationBlock.h"
#include "protocol/Link.h"
#include "sim/PtyPair.h"
#include "sim/SimRadio.h"

#include <QElapsedTimer>
#include <QtTest>
#include <atomic>
#include <thread>
#include <tuple>

using Kind = SimRadio::FrameKind;
using Fault = SimRadio::Fault;
using Frames::EntryReply;

namespace {
const Fault Silent{Fault::Silent};
const Fault Nak{Fault::WrongByte, 0x15};
const Fault Ok{};

BlockBytes blockOf(const QByteArray &b) { return *BlockFromBytes(b); }
} // namespace

class TestProtocol : public QObject {
    Q_OBJECT
    std::unique_ptr<SimRadio> radio;
    std::unique_ptr<Link> link;

    QList<QByteArray> sent(Kind kind) const
    {
        QList<QByteArray> out;
        for (const auto &f : radio->frames())
            if (f.kind == kind)
                out << f.bytes;
        return out;
    }

private slots:
    void init()
    {
        radio = std::make_unique<SimRadio>();
        link = std::make_unique<Link>();
        link->setReplyWindow(ShortReplyWindow);
        QVERIFY(link->open(radio->devicePath()));
        QVERIFY(link->isOpen());
    }
    void cleanup()
    {
        link->close();
        link->close();   // a second close is harmless
        QVERIFY(!link->isOpen());
        link.reset();
        radio.reset();
    }

    void portAndLineAsTheRadioSeesThem()
    {
        Link other;
        const auto opened = other.open(radio->devicePath());
        QVERIFY(!opened);   // held by the first link
        QCOMPARE(opened.kind(), basComm::OpenError::Busy);
        QCOMPARE(link->enterProgramMode(Link::ShortRetryBudget), EntryReply::Acknowledged);
        const auto line = radio->lineSettings();
        QCOMPARE(line.baud, 9600);
        QCOMPARE(line.dataBits, 8);
        QCOMPARE(line.parity, 'N');
        QCOMPARE(line.stopBits, 1);
        QVERIFY(line.raw);
    }

    void entryAcknowledged()
    {
        radio->setFaults(Kind::AccessCode, {Fault{Fault::AckThenJunk, 5}});
        QCOMPARE(link->enterProgramMode(Link::ShortRetryBudget), EntryReply::Acknowledged);
        QCOMPARE(sent(Kind::AccessCode), QList<QByteArray>{QByteArray("CALTUNE")});
        QVERIFY(radio->inProgrammingMode());
        QVERIFY(link->inProgrammingMode());
        // The junk after the acknowledgement was purged: the next reply is clean.
        QVERIFY(link->readBlock());
    }

    void entryResultDescribesTheLastAttempt()
    {
        radio->setFaults(Kind::AccessCode, {}, Nak);
        QCOMPARE(link->enterProgramMode(Link::ShortRetryBudget), EntryReply::OtherReply);
        QCOMPARE(radio->count(Kind::AccessCode), 4);
        QVERIFY(!link->inProgrammingMode());

        radio->clearLog();
        radio->setFaults(Kind::AccessCode, {Nak, Nak, Nak}, Silent);
        QCOMPARE(link->enterProgramMode(Link::ShortRetryBudget), EntryReply::NoReply);
        QCOMPARE(radio->count(Kind::AccessCode), 4);

        radio->clearLog();
        radio->setFaults(Kind::AccessCode, {}, Fault{Fault::WrongByte, 0x00});
        QCOMPARE(link->enterProgramMode(Link::ShortRetryBudget), EntryReply::NoReply);   // a 0 byte is no reply

        radio->clearLog();
        radio->setFaults(Kind::AccessCode, {Silent, Silent, Silent}, Ok);
        QCOMPARE(link->enterProgramMode(Link::ShortRetryBudget), EntryReply::Acknowledged);
        QCOMPARE(radio->count(Kind::AccessCode), 4);
    }

    // The driver hands over only the bytes that came: a missing byte is
    // judged as the radio's 0 byte, which is no answer at all.
    void missingBytesAreJudgedAsZero()
    {
        const QByteArray cut("\x57\x03\x80\x10\x01", 5);   // 5 of 20 bytes came
        QCOMPARE(Frames::judgedByte(cut, 4), std::uint8_t(0x01));
        QCOMPARE(Frames::judgedByte(cut, 19), std::uint8_t(0));
        for (const QByteArray &silence : {QByteArray(), QByteArray(1, '\0')}) {
            QVERIFY(Frames::isNoReply(silence));
            QCOMPARE(Frames::judgeEntryReply(silence), EntryReply::NoReply);
            QVERIFY(!Frames::isAck(silence) && !Frames::isExitReply(silence));
        }
        QCOMPARE(Frames::judgeEntryReply(QByteArray("\x15")), EntryReply::OtherReply);
    }

    // Every attempt waits out the reply window: the real one a link starts
    // with, and a shortened one.
    void silentRadioUsesTheWholeBudget()
    {
        link = std::make_unique<Link>();
        QVERIFY(link->open(radio->devicePath()));
        radio->setFaults(Kind::AccessCode, {}, Silent);
        for (auto [budget, attempts, windowMs] : {std::tuple{Link::ShortRetryBudget, 4, qint64(700)},
                                                  std::tuple{Link::LongRetryBudget, 11, qint64(ShortReplyWindow.count())}}) {
            radio->clearLog();
            QElapsedTimer t;
            t.start();
            QCOMPARE(link->enterProgramMode(budget), EntryReply::NoReply);
            QCOMPARE(radio->count(Kind::AccessCode), attempts);
            QVERIFY2(t.elapsed() > attempts * (windowMs - 50) && t.elapsed() < attempts * (windowMs + 400),
                     qPrintable(QString::number(t.elapsed())));
            link->setReplyWindow(ShortReplyWindow);
        }
    }

    void exitIsRepeatedUntilAnswered()
    {
        QCOMPARE(link->enterProgramMode(Link::ShortRetryBudget), EntryReply::Acknowledged);
        link->leaveProgramMode();
        QCOMPARE(sent(Kind::Exit), QList<QByteArray>{"E"});
        QVERIFY(!radio->inProgrammingMode());

        QCOMPARE(link->enterProgramMode(Link::ShortRetryBudget), EntryReply::Acknowledged);
        radio->clearLog();
        radio->setFaults(Kind::Exit, {}, Silent);
        link->leaveProgramMode();
        QCOMPARE(radio->count(Kind::Exit), 4);
        QVERIFY(!link->inProgrammingMode());
    }

    void blockWrite()
    {
        QCOMPARE(link->enterProgramMode(Link::ShortRetryBudget), EntryReply::Acknowledged);
        const QByteArray block = bytes({12, 14, 0, 255, 0, 127, 1, 2, 3, 4, 5, 6, 0x11, 0x22, 0x33, 0x44});
        const QByteArray frame = bytes({'W', 3, 0x80, 0x10}) + block;
        QVERIFY(link->writeBlock(blockOf(block)));
        QCOMPARE(sent(Kind::Write), QList<QByteArray>{frame});
        QCOMPARE(radio->memory(0x380, 16), block);

        radio->clearLog();
        radio->setFaults(Kind::Write, {Nak, Nak});
        QVERIFY(link->writeBlock(blockOf(block)));
        QCOMPARE(sent(Kind::Write), QList<QByteArray>(3, frame));

        radio->clearLog();
        radio->setFaults(Kind::Write, {}, Silent);
        QVERIFY(!link->writeBlock(blockOf(block)));
        QCOMPARE(radio->count(Kind::Write), 3);
    }

    void blockRead()
    {
        QByteArray block;
        for (int k = 0; k < 16; ++k)
            block += char(200 + k);
        radio->setMemory(0x380, block);
        QCOMPARE(link->enterProgramMode(Link::ShortRetryBudget), EntryReply::Acknowledged);
        radio->setFaults(Kind::Read, {Fault{Fault::WrongHeader, 'R'}, Fault{Fault::WrongAddress},
                                      Fault{Fault::CutAfter, 19}});
        QCOMPARE(link->readBlock(), std::optional(blockOf(block)));
        QCOMPARE(sent(Kind::Read), QList<QByteArray>(4, bytes({'R', 3, 0x80, 0x10})));

        // Replies that match in their first bytes but end early are refused too.
        radio->clearLog();
        radio->setFaults(Kind::Read, {Silent, Silent}, Fault{Fault::CutAfter, 8});
        QCOMPARE(link->readBlock(), std::nullopt);
        QCOMPARE(radio->count(Kind::Read), 4);
    }

    // A stop lets the attempt on the wire finish, starts no other, and still
    // lets the radio be taken out of programming mode.
    void stopEndsTheStepAfterTheAttemptOnTheWire()
    {
        std::atomic_bool stop{false};
        link->setStopCheck([&] { return stop.load(); });
        link->setAttemptListener([&](const Link::AttemptReport &r) {
            if (r.number == 2)
                stop = true;
        });
        QCOMPARE(link->enterProgramMode(Link::ShortRetryBudget), EntryReply::Acknowledged);
        radio->setFaults(Kind::Read, {}, Silent);
        QCOMPARE(link->readBlock(), std::nullopt);
        QVERIFY(link->stopped());
        QCOMPARE(radio->count(Kind::Read), 2);
        QVERIFY(!link->writeBlock(BlockBytes{}));
        QCOMPARE(radio->count(Kind::Write), 0);
        link->leaveProgramMode();
        QCOMPARE(radio->count(Kind::Exit), 1);
        QVERIFY(!radio->inProgrammingMode());
    }

    // A byte that comes late after a refused attempt (a USB adapter still
    // held it) must not be read as the answer to the next: the line is let
    // fall quiet and emptied before every repeated attempt.
    void lateByteIsNeverTheNextAttemptsAnswer()
    {
        PtyPair line;
        Link scripted;
        scripted.setReplyWindow(ShortReplyWindow);
        QVERIFY(scripted.open(line.slavePath()));
        std::thread radioEnd([&line] {
            QByteArray frame = line.readExactly(Frames::WriteFrameSize, std::chrono::seconds(2));
            line.write(QByteArray(1, '\x15'));   // refused ...
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            line.write(QByteArray(1, '\x06'));   // ... and a stale byte on its way meanwhile
            while (!line.read(std::chrono::milliseconds(500)).isEmpty()) {
            }
        });
        const bool written = scripted.writeBlock(BlockBytes{});
        radioEnd.join();
        QVERIFY(!written);
        QCOMPARE(scripted.attemptsSent(), Link::WriteAttempts);
    }

    void packingTextCopies()
    {
        std::array<TextCopy, PowerValueCount> copies{
            QString("10"), QString("1"), QString("20"), QString("2.5"), QString("30"), QString("3"),
            QString("40"), QString(""), std::nullopt, QString("05"), QString("7x"), QString("13.5")};
        PackedCopies packed = PackTextCopies(copies);
        const int expected[] = {10, 1, 20, 2, 30, 3, 40, 0, 0, 5, 7, 14};
        for (int i = 0; i < PowerValueCount; ++i)
            QCOMPARE(packed.values[std::size_t(i)], std::optional(std::uint8_t(expected[i])));
        QCOMPARE(packed.withoutByte, std::nullopt);

        for (const char *bad : {"-1", "255.5", "256", "-0.6"}) {
            copies[5] = QString(bad);
            packed = PackTextCopies(copies);
            QCOMPARE(packed.withoutByte, std::optional(5));
        }
        copies[5] = QString("-0.5");   // rounds to 0, a byte after all
        QCOMPARE(PackTextCopies(copies).withoutByte, std::nullopt);
    }
};

QTEST_MAIN(TestProtocol)
#include "tst_protocol.moc"
