// The Read and Write actions end to end: the real window (offscreen), the
// real serial driver and the simulated radio on a pseudo-terminal.
#include "tests/TestRadio.h"
#include "sim/SimRadio.h"
#include "tests/ClickAndWait.h"
#include "ui/QuitSignals.h"
#include "ui/TestForm.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <csignal>
#include <deque>

using Kind = SimRadio::FrameKind;
using Fault = SimRadio::Fault;
using Answer = TestForm::MsgAnswer;
using Icon = TestForm::MsgIcon;

constexpr TestForm::Power H = TestForm::High, L = TestForm::Low;

namespace {

const QString PortMsg = QStringLiteral("端口没有打开，请检查端口是否被占用。");
const QString NoReplyMsg = QStringLiteral("通讯出错，请检查线是否连上或对讲机是否开机。");
const QString OtherReplyMsg = QStringLiteral("通讯出错，请重试！");
const QString LinkLostMsg = QStringLiteral("通讯中断，请重试！");
const QString RangeMsg = QStringLiteral("数值超出范围，请输入0到127之间的数字。");
const QString ReadOk = QStringLiteral("读出成功！");
const QString WriteOk = QStringLiteral("写入成功！");

// What the window looked like while a message was up.
struct Shown {
    QString text;
    Icon icon;
    bool retryOffered;
    bool windowHeld;   // window and both buttons disabled
    bool portOpen;
    QStringList fields;
};

const QByteArray Block = SampleBlock;

} // namespace

class TestActions : public QObject {
    Q_OBJECT
    std::unique_ptr<SimRadio> radio;
    std::unique_ptr<TestForm> form;
    QList<Shown> shown;
    std::deque<Answer> answers;   // what the user answers; Cancel/OK when empty

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
    void setFields(const QStringList &texts)
    {
        for (int i = 0; i < texts.size(); ++i)
            fields()[i]->setText(texts[i]);
    }
    bool windowGivenBack() const
    {
        return form->isEnabled() && form->TestWrCmb->isEnabled() && form->TestRdCmb->isEnabled()
            && !form->exchangeRunning();
    }
    void makeForm()
    {
        form = std::make_unique<TestForm>();
        form->setMessagePresenter([this](const QString &text, Icon icon, TestForm::MsgButtons buttons) {
            shown << Shown{text, icon, buttons == TestForm::MsgButtons::RetryCancel,
                           !form->isEnabled() && !form->TestWrCmb->isEnabled() && !form->TestRdCmb->isEnabled(),
                           form->exchangePortOpen(), fieldTexts()};
            Answer a = answers.empty() ? (buttons == TestForm::MsgButtons::Ok ? Answer::Ok : Answer::Cancel)
                                       : answers.front();
            if (!answers.empty())
                answers.pop_front();
            return a;
        });
    }
    void showActive()
    {
        form->show();
        QApplication::setActiveWindow(form.get());
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
    }
    QList<Kind> kinds() const
    {
        const auto k = radio->frameKinds();
        return {k.begin(), k.end()};
    }
    // Clicks and waits for the exchange to end, as a user waits for the window.
    void click(QPushButton *button) { QVERIFY(clickAndWait(*form, button)); }
    QByteArray writeFrame() const
    {
        for (const auto &f : radio->frames())
            if (f.kind == Kind::Write)
                return f.bytes;
        return {};
    }

private slots:
    void init()
    {
        radio = std::make_unique<SimRadio>();
        radio->setMemory(0x380, Block);
        qputenv("CALITUNE_COM1", radio->devicePath().toLocal8Bit());
        makeForm();
        shown.clear();
        answers.clear();
    }
    void cleanup()
    {
        form.reset();
        radio.reset();
        qunsetenv("CALITUNE_COM1");
    }

    void readShowsTheRadiosValuesAfterItsMessage()
    {
        const QStringList before = fieldTexts();
        click(form->TestRdCmb);
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].text, ReadOk);
        QCOMPARE(shown[0].icon, Icon::None);
        QVERIFY(shown[0].windowHeld && shown[0].portOpen);
        QCOMPARE(shown[0].fields, before);
        QCOMPARE(kinds(), QList<Kind>({Kind::AccessCode, Kind::Read, Kind::Exit}));
        QVERIFY(windowGivenBack());
        const QStringList read{"96", "34", "101", "127", "0", "5", "109", "46", "113", "50", "118", "55"};
        QCOMPARE(fieldTexts(), read);
        QCOMPARE(form->copy(L, 2), TextCopy("127"));

        click(form->TestRdCmb);
        QCOMPARE(fieldTexts(), read);
    }

    // Every write reads the block first in the same session and keeps the
    // radio's own bytes 12 to 15 from that read: another radio put on the
    // cable after a read keeps its own, and its own block is what the
    // history keeps as "before".
    void writeReadsFirstAndKeepsTheRadiosOwnBytes()
    {
        click(form->TestRdCmb);
        const QByteArray otherRadio = bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0xA1, 0xB2, 0xC3, 0xD4});
        radio->setMemory(0x380, otherRadio);
        radio->clearLog();
        shown.clear();
        const QStringList edited{"0", "5", "127", "05", "", "7", "109", "46", "113", "50", "118", "55"};
        setFields(edited);
        click(form->TestWrCmb);
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].text, WriteOk);
        QVERIFY(shown[0].windowHeld && shown[0].portOpen);
        QCOMPARE(kinds(), QList<Kind>({Kind::AccessCode, Kind::Read, Kind::Write, Kind::Exit}));
        QCOMPARE(writeFrame(), bytes({'W', 3, 0x80, 0x10, 0, 5, 127, 5, 0, 7, 109, 46, 113, 50, 118, 55,
                                      0xA1, 0xB2, 0xC3, 0xD4}));
        QCOMPARE(fieldTexts(), edited);
        QVERIFY(windowGivenBack());

        // When that read fails nothing is written.
        radio->clearLog();
        shown.clear();
        radio->setFaults(Kind::Read, {}, Fault::Silent);
        click(form->TestWrCmb);
        QCOMPARE(radio->count(Kind::Write), 0);
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].text, LinkLostMsg);
        QVERIFY(windowGivenBack());
    }

    void failures_data()
    {
        QTest::addColumn<bool>("write");
        QTest::addColumn<int>("failure");
        QTest::addColumn<QString>("message");
        enum { Port, Silent, Nak, BlockLost, ShortReply };
        QTest::newRow("read: no port") << false << int(Port) << PortMsg;
        QTest::newRow("write: no port") << true << int(Port) << PortMsg;
        QTest::newRow("read: no reply") << false << int(Silent) << NoReplyMsg;
        QTest::newRow("write: no reply") << true << int(Silent) << NoReplyMsg;
        QTest::newRow("read: other reply") << false << int(Nak) << OtherReplyMsg;
        QTest::newRow("write: other reply") << true << int(Nak) << OtherReplyMsg;
        QTest::newRow("read: link lost") << false << int(BlockLost) << LinkLostMsg;
        QTest::newRow("write: link lost") << true << int(BlockLost) << LinkLostMsg;
        QTest::newRow("read: replies cut short") << false << int(ShortReply) << LinkLostMsg;
    }
    void failures()
    {
        QFETCH(bool, write);
        QFETCH(int, failure);
        QFETCH(QString, message);
        setFields({"9", "8", "7", "6", "5", "4", "3", "2", "1", "0", "10", "20"});
        const QStringList before = fieldTexts();
        form->replyWindow = ShortReplyWindow;
        switch (failure) {
        case 0: form->ComPortIndex = 2; break;
        case 1: radio->setFaults(Kind::AccessCode, {}, Fault::Silent); break;
        case 2: radio->setFaults(Kind::AccessCode, {}, Fault(Fault::WrongByte, 0x15)); break;
        case 3: radio->setFaults(write ? Kind::Write : Kind::Read, {}, Fault::Silent); break;
        case 4: radio->setFaults(Kind::Read, {}, Fault(Fault::CutAfter, 12)); break;
        }
        click(write ? form->TestWrCmb : form->TestRdCmb);
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].text, message);
        QCOMPARE(shown[0].icon, failure == 0 ? Icon::Exclamation : Icon::None);
        QCOMPARE(shown[0].retryOffered, failure == 1);
        QVERIFY(shown[0].windowHeld);
        QCOMPARE(radio->count(Kind::Exit), 0);
        QCOMPARE(fieldTexts(), before);
        QVERIFY(windowGivenBack());
    }

    void noPortFoundAtStartUp()
    {
        qputenv("CALITUNE_COM1", "/nonexistent/tty");
        makeForm();
        QCOMPARE(form->ComPortIndex, std::int16_t(0));
        click(form->TestRdCmb);
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].text, PortMsg);
        QVERIFY(windowGivenBack());
    }

    void retryAfterNoReplyUsesTheLongBudget()
    {
        radio->setFaults(Kind::AccessCode, {Fault::Silent, Fault::Silent, Fault::Silent, Fault::Silent,
                                            Fault::Silent, Fault::Silent});
        form->replyWindow = ShortReplyWindow;
        answers = {Answer::Retry};
        click(form->TestRdCmb);
        QCOMPARE(radio->count(Kind::AccessCode), 7);
        QCOMPARE(shown.size(), 2);
        QCOMPARE(shown[0].text, NoReplyMsg);
        QCOMPARE(shown[1].text, ReadOk);
        QCOMPARE(form->field(H, 1)->text(), QString("96"));
    }

    void focusComesBackAfterAnExchange()
    {
        showActive();
        form->field(H, 3)->setFocus();
        click(form->TestRdCmb);
        QCOMPARE(QApplication::focusWidget(), form->field(H, 3));
    }

    void valueWithoutAByteIsRefusedBeforeAnyTraffic()
    {
        showActive();
        form->field(L, 3)->setText("-5");   // as pasted: no key rule
        click(form->TestWrCmb);
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].text, RangeMsg);
        QCOMPARE(shown[0].icon, Icon::Exclamation);
        QVERIFY(radio->frames().empty());
        QVERIFY(windowGivenBack());
        QCOMPARE(QApplication::focusWidget(), form->field(L, 3));
        QCOMPARE(form->field(L, 3)->selectedText(), QString("-5"));
    }

    void closingDuringAnExchangeWaitsForItsEnd()
    {
        form->show();
        radio->setFaults(Kind::AccessCode, {}, Fault::Silent);
        bool visibleAfterClose = false;
        QTimer::singleShot(300, form.get(), [&] {
            form->close();
            visibleAfterClose = form->isVisible();
        });
        click(form->TestRdCmb);
        QVERIFY(visibleAfterClose);
        QCOMPARE(shown.size(), 1);
        QVERIFY(windowGivenBack());
        QVERIFY(form->close());
    }

    // The window going while an exchange runs stops it after the step on the
    // wire: the radio is taken out of programming mode and nothing is shown.
    void destroyingTheWindowStopsTheExchange()
    {
        radio->setFaults(Kind::Read, {}, Fault::Silent);
        form->TestRdCmb->click();
        QTRY_COMPARE(radio->count(Kind::Read), 1);
        form.reset();
        QVERIFY(shown.isEmpty());
        QCOMPARE(radio->count(Kind::Exit), 1);
        QVERIFY(!radio->inProgrammingMode());
    }

    void cablePulledDuringAnExchange()
    {
        radio->setFaults(Kind::Read, {}, Fault::Silent);
        QTimer::singleShot(200, form.get(), [&] { radio->unplug(); });
        QElapsedTimer t;
        t.start();
        click(form->TestRdCmb);
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].text, LinkLostMsg);
        QVERIFY(windowGivenBack());
        QVERIFY(t.elapsed() < 4000);
    }

    // SIGTERM (or SIGHUP) during an exchange: the attempt on the wire ends,
    // the radio is taken out of programming mode, nothing more is shown, and
    // only then is the window ready to quit.
    void quitSignalEndsTheExchangeProperly()
    {
        QuitSignals::Watch(form.get(), [this](int signal) { form->quitWhenIdle(128 + signal); });
        auto defaults = qScopeGuard([] {
            std::signal(SIGTERM, SIG_DFL);
            std::signal(SIGHUP, SIG_DFL);
            std::signal(SIGINT, SIG_DFL);
        });
        QSignalSpy ready(form.get(), &TestForm::readyToQuit);
        radio->setFaults(Kind::Read, {}, Fault::Silent);
        QTimer::singleShot(300, [] { std::raise(SIGTERM); });
        form->TestRdCmb->click();
        QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 1, 10000);
        QCOMPARE(ready[0][0].toInt(), 128 + SIGTERM);
        QVERIFY(!form->exchangeRunning());
        QVERIFY(shown.isEmpty());
        QVERIFY2(radio->count(Kind::Read) < 4, qPrintable(QString::number(radio->count(Kind::Read))));
        QCOMPARE(radio->count(Kind::Exit), 1);
        QVERIFY(!radio->inProgrammingMode());
    }

    // The real message box, answered as a user would: 重试 where it is
    // offered, else the first button.
    void realMessageBoxes()
    {
        form->setMessagePresenter({});
        form->show();
        QStringList seen;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            QStringList captions;
            QAbstractButton *answer = box->buttons().value(0);
            for (QAbstractButton *b : box->buttons()) {
                captions << b->text();
                if (b->text() == QStringLiteral("重试"))
                    answer = b;
            }
            captions.sort();
            seen << QStringList{box->windowTitle(), box->text(), QString::number(box->icon()),
                                captions.join('/')}.join('|');
            QTest::mouseClick(answer, Qt::LeftButton);   // a disabled button would not take it
        });
        poll.start(50);
        radio->setFaults(Kind::AccessCode, {Fault::Silent, Fault::Silent, Fault::Silent, Fault::Silent});
        form->replyWindow = ShortReplyWindow;
        click(form->TestRdCmb);
        click(form->TestWrCmb);
        form->ComPortIndex = 2;
        click(form->TestWrCmb);
        const QString plain = QString::number(QMessageBox::NoIcon);
        const QString warning = QString::number(QMessageBox::Warning);
        QCOMPARE(seen, QStringList({"Calitune|" + NoReplyMsg + "|" + plain + "|取消/重试",
                                    "Calitune|" + ReadOk + "|" + plain + "|确定",
                                    "Calitune|" + WriteOk + "|" + plain + "|确定",
                                    "Calitune|" + PortMsg + "|" + warning + "|确定"}));
        QCOMPARE(radio->count(Kind::AccessCode), 6);
        QCOMPARE(form->field(H, 1)->text(), QString("96"));
    }
};

QTEST_MAIN(TestActions)
#include "tst_actions.moc"
