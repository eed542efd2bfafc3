// The radio link against the simulated radio, through the real driver.
#include "protocol/BlockCommands.h"
#include "protocol/CalibrationBlock.h"
#include "protocol/Declare.h"
#include "protocol/Module1.h"
#include "sim/SimRadio.h"

#include <QElapsedTimer>
#include <QtTest>

using namespace Module1;
using Kind = SimRadio::FrameKind;
using Fault = SimRadio::Fault;

namespace {
const Fault Silent{Fault::Silent};
const Fault Nak{Fault::WrongByte, 0x15};
const Fault Ok{};

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out += char(v);
    return out;
}
} // namespace

class TestProtocol : public QObject {
    Q_OBJECT
    std::unique_ptr<SimRadio> radio;
    QStringList reports;   // what the link-loss report did, in order

    int enter(int budget) { return EnterProgramMode(RadioPort, Declare::CodeBuffer, budget); }
    QList<QByteArray> sent(Kind kind) const
    {
        QList<QByteArray> out;
        for (const auto &f : radio->frames())
            if (f.kind == kind)
                out << f.bytes;
        return out;
    }
    void calBuffer(int from, std::initializer_list<Declare::CalElement> values)
    {
        for (const auto &v : values)
            Declare::CalBuffer[from++] = v;
    }

private slots:
    void init()
    {
        Declare::Reset();
        radio = std::make_unique<SimRadio>();
        qputenv("CALITUNE_COM1", radio->devicePath().toLocal8Bit());
        reports.clear();
        SetLinkLostUi({[this] { reports << (RadioPort ? "message, port open" : "message, port closed"); },
                       [this] { reports << (RadioPort ? "window, port open" : "window, port closed"); }});
        QCOMPARE(OpenRadioPort(1), 0);
        basComm::ConfigureComPort(RadioPort, 9600, 8, 0, 0, 26);
    }
    void cleanup()
    {
        CloseRadioPort();
        CloseRadioPort();   // a second close is harmless
        QCOMPARE(RadioPort, 0u);
        radio.reset();
        qunsetenv("CALITUNE_COM1");
    }

    void portAndLineAsTheRadioSeesThem()
    {
        const auto held = RadioPort;
        QCOMPARE(OpenRadioPort(2), 1);   // not mapped
        QCOMPARE(RadioPort, 0u);
        RadioPort = held;
        QCOMPARE(enter(ShortRetryBudget), int(Acknowledged));
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
        QCOMPARE(enter(ShortRetryBudget), int(Acknowledged));
        const QByteArray code(AccessCode.data(), 7);
        QCOMPARE(sent(Kind::AccessCode), QList<QByteArray>{code});
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(Declare::CodeBuffer.data()), 7), code);
        QVERIFY(radio->inProgrammingMode());
        // The junk after the acknowledgement was purged: the next reply is clean.
        QCOMPARE(ReceiveData_L(RadioPort, 3, 0x80, 0), 0);
    }

    void entryResultDescribesTheLastAttempt()
    {
        radio->setFaults(Kind::AccessCode, {}, Nak);
        QCOMPARE(enter(ShortRetryBudget), int(OtherReply));
        QCOMPARE(radio->count(Kind::AccessCode), 4);

        radio->clearLog();
        radio->setFaults(Kind::AccessCode, {Nak, Nak, Nak}, Silent);
        QCOMPARE(enter(ShortRetryBudget), int(NoReply));
        QCOMPARE(radio->count(Kind::AccessCode), 4);

        radio->clearLog();
        radio->setFaults(Kind::AccessCode, {}, Fault{Fault::WrongByte, 0x00});
        QCOMPARE(enter(ShortRetryBudget), int(NoReply));   // a 0 byte is no reply

        radio->clearLog();
        radio->setFaults(Kind::AccessCode, {Silent, Silent, Silent}, Ok);
        QCOMPARE(enter(ShortRetryBudget), int(Acknowledged));
        QCOMPARE(radio->count(Kind::AccessCode), 4);
    }

    void silentRadioUsesTheWholeBudget()
    {
        radio->setFaults(Kind::AccessCode, {}, Silent);
        for (auto [budget, attempts] : {std::pair{ShortRetryBudget, 4}, std::pair{LongRetryBudget, 11}}) {
            radio->clearLog();
            QElapsedTimer t;
            t.start();
            QCOMPARE(enter(budget), int(NoReply));
            QCOMPARE(radio->count(Kind::AccessCode), attempts);
            QVERIFY2(t.elapsed() > attempts * 650 && t.elapsed() < attempts * 1100,
                     qPrintable(QString::number(t.elapsed())));
        }
    }

    void exitIsRepeatedUntilAnswered()
    {
        QCOMPARE(enter(ShortRetryBudget), 0);
        LeaveProgramMode();
        QCOMPARE(sent(Kind::Exit), QList<QByteArray>{"E"});
        QVERIFY(!radio->inProgrammingMode());

        QCOMPARE(enter(ShortRetryBudget), 0);
        radio->clearLog();
        radio->setFaults(Kind::Exit, {}, Silent);
        LeaveProgramMode();
        QCOMPARE(radio->count(Kind::Exit), 4);
        QVERIFY(reports.isEmpty());
    }

    void blockWrite()
    {
        QCOMPARE(enter(ShortRetryBudget), 0);
        calBuffer(0, {12.5, 13.5, std::nullopt, 255, 0, 127, 1, 2, 3, 4, 5, 6, 0x11, 0x22, 0x33, 0x44});
        calBuffer(16, {99});
        const QByteArray frame = bytes({'W', 3, 0x80, 0x10, 12, 14, 0, 255, 0, 127, 1, 2, 3, 4, 5, 6,
                                        0x11, 0x22, 0x33, 0x44});
        WriteFunction();
        QCOMPARE(Declare::TransferFailed, 0);
        QCOMPARE(sent(Kind::Write), QList<QByteArray>{frame});
        QCOMPARE(radio->memory(0x380, 16), frame.mid(4));
        QCOMPARE(Declare::BlockAddrH, 3);
        QCOMPARE(Declare::BlockAddrL, std::uint8_t(0x90));

        radio->clearLog();
        radio->setFaults(Kind::Write, {Nak, Nak});
        QCOMPARE(SendData_L(RadioPort, 3, 0x80, 0), 0);
        QCOMPARE(sent(Kind::Write), QList<QByteArray>(3, frame));
        QVERIFY(reports.isEmpty());
    }

    void blockWriteLinkLost()
    {
        QCOMPARE(enter(ShortRetryBudget), 0);
        radio->setFaults(Kind::Write, {}, Silent);
        WriteFunction();
        QCOMPARE(Declare::TransferFailed, 1);
        QCOMPARE(radio->count(Kind::Write), 3);
        QCOMPARE(reports, QStringList({"message, port open", "window, port closed"}));
        QCOMPARE(Declare::BlockAddrL, std::uint8_t(0x80));   // no advance after a failure
    }

    void valueWithoutAByteIsNeverSent()
    {
#ifndef QT_NO_DEBUG
        QSKIP("debug builds stop at the assertion instead");
#endif
        QCOMPARE(enter(ShortRetryBudget), 0);
        for (double bad : {-1.0, 255.5, 256.0, -0.6}) {
            Declare::CalBuffer[5] = bad;
            QCOMPARE(SendData_L(RadioPort, 3, 0x80, 0), 1);
        }
        QCOMPARE(radio->count(Kind::Write), 0);
        QVERIFY(reports.isEmpty());
        Declare::CalBuffer[5] = -0.5;   // rounds to 0, a byte after all
        QCOMPARE(SendData_L(RadioPort, 3, 0x80, 0), 0);
    }

    void blockRead()
    {
        QByteArray block;
        for (int k = 0; k < 16; ++k)
            block += char(200 + k);
        radio->setMemory(0x380, block);
        QCOMPARE(enter(ShortRetryBudget), 0);
        radio->setFaults(Kind::Read, {Fault{Fault::WrongHeader, 'R'}, Fault{Fault::WrongAddress},
                                      Fault{Fault::CutAfter, 19}});
        calBuffer(16, {7});
        ReadFunction();
        QCOMPARE(Declare::TransferFailed, 0);
        QCOMPARE(sent(Kind::Read), QList<QByteArray>(4, bytes({'R', 3, 0x80, 0x10})));
        for (int k = 0; k < 16; ++k)
            QCOMPARE(Declare::CalBuffer[k], Declare::CalElement(200 + k));
        QCOMPARE(Declare::CalBuffer[16], Declare::CalElement(7));
        QVERIFY(reports.isEmpty());
    }

    void blockReadLinkLostKeepsTheBuffer()
    {
        QCOMPARE(enter(ShortRetryBudget), 0);
        calBuffer(0, {1, 2, 3});
        const auto before = Declare::CalBuffer;
        // Replies that match in their first bytes but end early are refused too.
        radio->setFaults(Kind::Read, {Silent, Silent}, Fault{Fault::CutAfter, 8});
        QCOMPARE(ReceiveData_L(RadioPort, 3, 0x80, 0), 1);
        QCOMPARE(radio->count(Kind::Read), 4);
        QVERIFY(Declare::CalBuffer == before);
        QCOMPARE(reports, QStringList({"message, port open", "window, port closed"}));
    }

    void packingAndAddresses()
    {
        std::array<TextCopy, PowerValueCount> copies{
            QString("10"), QString("1"), QString("20"), QString("2"), QString("30"), QString("3"),
            QString("40"), QString(""), std::nullopt, QString("05"), QString("7x"), QString("-5")};
        Declare::CalBuffer[12] = 0x11;
        TEST_PART_W(copies);
        const double expected[] = {10, 1, 20, 2, 30, 3, 40, 0, 0, 5, 7, -5};
        for (int i = 0; i < PowerValueCount; ++i)
            QCOMPARE(Declare::CalBuffer[i], Declare::CalElement(expected[i]));
        QCOMPARE(Declare::CalBuffer[12], Declare::CalElement(0x11));
        QVERIFY(!Declare::CalBuffer[13]);

        Declare::BlockAddrH = 3;
        Declare::BlockAddrL = 0xF0;
        AdvanceBlockAddress();
        QCOMPARE(Declare::BlockAddrH, 4);
        QCOMPARE(Declare::BlockAddrL, std::uint8_t(0));
    }
};

QTEST_MAIN(TestProtocol)
#include "tst_protocol.moc"
