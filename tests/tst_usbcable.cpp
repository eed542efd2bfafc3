// Replies delivered the way USB-serial adapters deliver them: in bursts, with
// gaps, and with tails that survive a purge. Through the real window, driver
// and simulated radio on a pseudo-terminal.
#include "tests/TestRadio.h"
#include "sim/SimRadio.h"
#include "tests/ClickAndWait.h"
#include "ui/TestForm.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using namespace std::chrono_literals;
using Kind = SimRadio::FrameKind;
using Fault = SimRadio::Fault;

constexpr TestForm::Power H = TestForm::High, L = TestForm::Low;

namespace {

const QString ReadOk = QStringLiteral("读出成功！");
const QString WriteOk = QStringLiteral("写入成功！");

QStringList decimal(const QByteArray &bytes)
{
    QStringList out;
    for (char b : bytes)
        out << QString::number(std::min(127, int(std::uint8_t(b))));
    return out;
}

} // namespace

class TestUsbCable : public QObject {
    Q_OBJECT
    std::unique_ptr<SimRadio> radio;
    std::unique_ptr<TestForm> form;
    QStringList shown;

    QList<QLineEdit *> fields() const
    {
        return {form->PWRText.begin(), form->PWRText.end()};
    }
    QStringList fieldTexts() const
    {
        QStringList out;
        for (QLineEdit *f : fields())
            out << f->text();
        return out;
    }
    QString read()
    {
        shown.clear();
        if (!clickAndWait(*form, form->TestRdCmb))
            return QStringLiteral("exchange did not end");
        return shown.join('|');
    }
    // A write reads bytes 12 to 15 from the radio first.
    QString write(const QStringList &values)
    {
        for (int i = 0; i < values.size(); ++i)
            fields()[i]->setText(values[i]);
        shown.clear();
        if (!clickAndWait(*form, form->TestWrCmb))
            return QStringLiteral("exchange did not end");
        return shown.join('|');
    }
    void useBlock(const QByteArray &block) { radio->setMemory(CalAddress, block); }

private slots:
    void init()
    {
        radio = std::make_unique<SimRadio>();
        radio->setRandomSeed(7);
        useBlock(QByteArray::fromHex("6022657f00056d2e7132763711223344"));
        qputenv("CALITUNE_COM1", radio->devicePath().toLocal8Bit());
        form = std::make_unique<TestForm>();
        form->setMessagePresenter([this](const QString &text, TestForm::MsgIcon, TestForm::MsgButtons) {
            shown << text;
            return TestForm::MsgAnswer::Cancel;
        });
    }
    void cleanup()
    {
        form.reset();
        radio.reset();
        qunsetenv("CALITUNE_COM1");
    }

    void burstyAdaptersReadAndWriteEveryTime_data()
    {
        QTest::addColumn<int>("latencyMs");
        QTest::addColumn<int>("jitterMs");
        QTest::addColumn<int>("reads");
        QTest::addColumn<int>("writes");
        QTest::newRow("16 ms latency timer") << 16 << 0 << 20 << 20;
        QTest::newRow("1 ms bursts, 3 ms jitter") << 1 << 3 << 50 << 0;
    }
    void burstyAdaptersReadAndWriteEveryTime()
    {
        QFETCH(int, latencyMs);
        QFETCH(int, jitterMs);
        QFETCH(int, reads);
        QFETCH(int, writes);
        radio->setUsbDelivery(std::chrono::milliseconds(latencyMs), std::chrono::milliseconds(jitterMs));
        const QByteArray block = radio->memory(CalAddress, 16);
        for (int i = 0; i < reads; ++i) {
            form->field(H, 1)->setText("1");
            QCOMPARE(read(), ReadOk);
            QCOMPARE(fieldTexts(), decimal(block.left(12)));
        }
        for (int i = 0; i < writes; ++i) {
            const QStringList values{QString::number(i), "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12"};
            QCOMPARE(write(values), WriteOk);
            QByteArray expected;
            for (const QString &v : values)
                expected += char(v.toInt());
            QCOMPARE(radio->memory(CalAddress, 16), expected + block.mid(12));
        }
    }

    // A reply split once: a short gap is waited out, a long one costs one
    // more request, and the late tail never mixes into the next reply.
    void splitReplyIsCompletedOrAskedAgain_data()
    {
        QTest::addColumn<int>("gapMs");
        QTest::addColumn<int>("requests");
        QTest::newRow("3 ms") << 3 << 1;
        QTest::newRow("16 ms") << 16 << 1;
        QTest::newRow("150 ms") << 150 << 2;
    }
    void splitReplyIsCompletedOrAskedAgain()
    {
        QFETCH(int, gapMs);
        QFETCH(int, requests);
        radio->setFaults(Kind::Read, {Fault(Fault::PauseAfter, gapMs, 10)});
        QCOMPARE(read(), ReadOk);
        QCOMPARE(radio->count(Kind::Read), requests);
        QCOMPARE(fieldTexts(), decimal(radio->memory(CalAddress, 12)));
    }

    void replyThatStopsForGoodIsRefused()
    {
        const QStringList before = fieldTexts();
        radio->setFaults(Kind::Read, {}, Fault(Fault::CutAfter, 10));
        QElapsedTimer t;
        t.start();
        QCOMPARE(read(), QStringLiteral("通讯中断，请重试！"));
        QVERIFY2(t.elapsed() < 1500, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(radio->count(Kind::Read), 4);
        QCOMPARE(fieldTexts(), before);
    }

    // Block bytes 11 to 13 equal to a reply's header ('W' 03 80): the tail of
    // a reply cut after 15 bytes followed by the head of the next looks like
    // a whole reply. It must never be shown or written back.
    void misalignedReplyIsNeverTaken_data()
    {
        QTest::addColumn<int>("gapMs");
        QTest::newRow("3 ms") << 3;
        QTest::newRow("30 ms") << 30;
        QTest::newRow("60 ms") << 60;
        QTest::newRow("150 ms") << 150;
    }
    void misalignedReplyIsNeverTaken()
    {
        QFETCH(int, gapMs);
        const QByteArray block = QByteArray::fromHex("34123456789a0b1c2d3e4f57038010aa");
        useBlock(block);
        radio->setFaults(Kind::Read, {Fault(Fault::PauseAfter, gapMs, 15)});
        QCOMPARE(read(), ReadOk);
        QCOMPARE(fieldTexts(), decimal(block.left(12)));

        radio->setFaults(Kind::Read, {Fault(Fault::PauseAfter, gapMs, 15)});
        const QStringList values = fieldTexts();
        QCOMPARE(write(values), WriteOk);
        QCOMPARE(radio->memory(CalAddress, 16).mid(11), block.mid(11));
    }
};

QTEST_MAIN(TestUsbCable)
#include "tst_usbcable.moc"
