// The window beyond its fixed layout: a port list that follows the cable,
// texts that fit their controls, the busy cursor, message box width, and the
// history an exchange leaves behind.
#include "tests/TestRadio.h"
#include "history/HistoryStore.h"
#include "sim/PtyPair.h"
#include "sim/SimRadio.h"
#include "tests/ClickAndWait.h"
#include "ui/TestForm.h"
#include "ui/TextFit.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using Kind = SimRadio::FrameKind;
using Fault = SimRadio::Fault;

constexpr TestForm::Power H = TestForm::High, L = TestForm::Low;

namespace {

const QByteArray RadioBlock = QByteArray::fromHex("6022657f00056d2e7132763711223344");

QStringList entries(const QComboBox *list)
{
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->itemText(i);
    return out;
}

void openAndClosePopup(QComboBox *list)
{
    list->showPopup();
    list->hidePopup();
}

} // namespace

class TestWindow : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    std::unique_ptr<SimRadio> radio;
    std::unique_ptr<TestForm> form;
    QStringList shown;

    void makeForm()
    {
        form = std::make_unique<TestForm>();
        form->setMessagePresenter([this](const QString &text, TestForm::MsgIcon, TestForm::MsgButtons) {
            shown << text;
            return TestForm::MsgAnswer::Cancel;
        });
    }
    QString link(const QString &name) const { return dir.filePath(name); }
    void plug(const QString &name, const PtyPair &pty) { QVERIFY(QFile::link(pty.slavePath(), link(name))); }

private slots:
    void init()
    {
        shown.clear();
        qputenv("CALITUNE_HISTORY", "off");   // never the user's own history
    }
    void cleanup()
    {
        form.reset();
        radio.reset();
        for (const char *name : {"CALITUNE_COM1", "CALITUNE_COM3", "CALITUNE_COM12"})
            qunsetenv(name);
        QFile::remove(link("radio3"));
        QFile::remove(link("radio12"));
    }

    // Cables plugged in and pulled after start-up show in the list the next
    // time it is opened; the chosen port stays chosen while it is there.
    void portListFollowsTheCable()
    {
        qputenv("CALITUNE_COM3", link("radio3").toLocal8Bit());
        qputenv("CALITUNE_COM12", link("radio12").toLocal8Bit());
        makeForm();
        QComboBox *list = form->ComPortCmb;
        QCOMPARE(entries(list), QStringList{"No COM"});
        QCOMPARE(form->ComPortIndex, 0);

        PtyPair com3, com12;
        plug("radio3", com3);
        openAndClosePopup(list);
        QCOMPARE(entries(list), QStringList{"COM3"});
        QCOMPARE(form->ComPortIndex, 3);
        QVERIFY(form->ComEnable);

        plug("radio12", com12);
        openAndClosePopup(list);
        QCOMPARE(entries(list), QStringList({"COM3", "COM12"}));
        QCOMPARE(form->ComPortIndex, 3);
        // A pty has no adapter: each entry's tooltip is its device alone. What
        // PortMap knows of a USB adapter follows it on a line of its own.
        QCOMPARE(list->itemData(0, Qt::ToolTipRole).toString(), link("radio3"));
        QCOMPARE(list->itemData(1, Qt::ToolTipRole).toString(), link("radio12"));
        PortMap::Port usb{3, "/dev/ttyUSB0", "FT232R USB UART", "FTDI", "A10K3XYZ", 0x0403, 0x6001, true};
        QCOMPARE(PortMap::AdapterText(usb), "FT232R USB UART (FTDI, 0403:6001, serial A10K3XYZ)");
        usb.manufacturer.clear();
        usb.productId.reset();
        QCOMPARE(PortMap::AdapterText(usb), "FT232R USB UART (serial A10K3XYZ)");
        list->setCurrentIndex(1);
        QCOMPARE(form->ComPortIndex, 12);

        QFile::remove(link("radio3"));
        openAndClosePopup(list);
        QCOMPARE(entries(list), QStringList{"COM12"});
        QCOMPARE(list->currentText(), QString("COM12"));
        QCOMPARE(form->ComPortIndex, 12);

        QFile::remove(link("radio12"));
        openAndClosePopup(list);
        QCOMPARE(entries(list), QStringList{"No COM"});
        QCOMPARE(form->ComPortIndex, 0);
    }

    void doubleZeroBecomesZeroOnFocusLoss()
    {
        qputenv("CALITUNE_COM1", "/nonexistent/tty");
        makeForm();
        form->show();
        QApplication::setActiveWindow(form.get());
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        form->field(L, 4)->setFocus(Qt::TabFocusReason);
        form->field(L, 4)->clear();
        QTest::keyClicks(form->field(L, 4), "00");
        QCOMPARE(*form->copy(L, 4), QString("00"));
        form->TestRdCmb->setFocus(Qt::TabFocusReason);
        QCOMPARE(form->field(L, 4)->text(), QString("0"));
        QCOMPARE(*form->copy(L, 4), QString("0"));
    }

    // Run once more at 144 dpi under a real X server by the test set-up.
    void textsFitTheirControls()
    {
        qputenv("CALITUNE_COM1", "/nonexistent/tty");
        makeForm();
        form->show();
        if (qEnvironmentVariableIsSet("QT_FONT_DPI"))
            QCOMPARE(form->logicalDpiX(), qEnvironmentVariableIntValue("QT_FONT_DPI"));
        QStringList ports{"No COM"};
        for (int n = 1; n <= 16; ++n)
            ports << QStringLiteral("COM%1").arg(n);
        for (const QString &entry : ports)
            QVERIFY2(TextFits(form->ComPortCmb, entry), qPrintable(entry));
        for (const QLabel *label : form->findChildren<QLabel *>())
            QVERIFY2(TextFits(label, label->text()), qPrintable(label->text()));
        for (const QPushButton *button : {form->TestWrCmb, form->TestRdCmb})
            QVERIFY2(TextFits(button, button->text()), qPrintable(button->text()));
        for (const QLineEdit *field : form->findChildren<QLineEdit *>())
            QVERIFY(TextFits(field, "127"));
        // Still readable, not shrunk to nothing.
        QVERIFY(QFontInfo(form->ComPortCmb->font()).pixelSize() >= 8);
    }

    // The busy cursor shows while the radio is waited for, and never over a
    // message waiting for the user; the real box is wide enough for its title.
    void busyCursorAndMessageBoxWidth()
    {
        radio = std::make_unique<SimRadio>();
        qputenv("CALITUNE_COM1", radio->devicePath().toLocal8Bit());
        form = std::make_unique<TestForm>();
        form->show();
        radio->setFaults(Kind::AccessCode, {}, Fault::Silent);
        Qt::CursorShape duringWait = Qt::ArrowCursor;
        QTimer::singleShot(300, form.get(), [&] {
            if (QCursor *c = QApplication::overrideCursor())
                duringWait = c->shape();
        });
        bool cursorOverBox = true;
        int boxWidth = 0;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            cursorOverBox = QApplication::overrideCursor() != nullptr;
            boxWidth = box->width();
            box->reject();   // 取消: no retry
        });
        poll.start(50);
        QVERIFY(clickAndWait(*form, form->TestRdCmb));
        QCOMPARE(duringWait, Qt::WaitCursor);
        QVERIFY(!cursorOverBox);
        QVERIFY(QApplication::overrideCursor() == nullptr);
        QVERIFY2(boxWidth >= 300 * form->logicalDpiX() / 96, qPrintable(QString::number(boxWidth)));
    }

    void exchangesLeaveTheirRecords()
    {
        const QString db = dir.filePath("history.db");
        qputenv("CALITUNE_HISTORY", db.toLocal8Bit());
        radio = std::make_unique<SimRadio>();
        radio->setMemory(CalAddress, RadioBlock);
        qputenv("CALITUNE_COM1", radio->devicePath().toLocal8Bit());
        makeForm();
        History::Store store(db);

        // One record per exchange; a write's "before" is what its own first
        // read found.
        form->field(H, 1)->setText("5");
        QVERIFY(clickAndWait(*form, form->TestWrCmb));
        QCOMPARE(shown, QStringList{"写入成功！"});
        auto records = store.list().value();
        QCOMPARE(records.size(), 1);
        const History::Record &write = records[0];
        QCOMPARE(write.action, History::Action::Write);
        QCOMPARE(write.source, History::Source::Window);
        QCOMPARE(write.port, QString("COM1"));
        QCOMPARE(write.device, radio->devicePath());
        QCOMPARE(write.outcome, Outcome::Done);
        QCOMPARE(write.before, std::optional<QByteArray>(RadioBlock));
        QCOMPARE(write.sent, std::optional<QByteArray>(radio->memory(CalAddress, 16)));
        QCOMPARE(write.sent->at(0), char(5));
        QCOMPARE(write.verified, std::nullopt);

        // A read, then a write whose block is lost.
        QVERIFY(clickAndWait(*form, form->TestRdCmb));
        const QByteArray afterWrite = radio->memory(CalAddress, 16);
        radio->setFaults(Kind::Write, {}, Fault::Silent);
        form->replyWindow = ShortReplyWindow;
        form->field(H, 1)->setText("9");
        QVERIFY(clickAndWait(*form, form->TestWrCmb));
        records = store.list().value();
        QCOMPARE(records.size(), 3);
        QCOMPARE(records[1].action, History::Action::Read);
        QCOMPARE(records[1].before, std::optional<QByteArray>(afterWrite));
        QCOMPARE(records[0].outcome, Outcome::LinkLost);
        QCOMPARE(records[0].before, std::optional<QByteArray>(afterWrite));
        QCOMPARE(records[0].sent->at(0), char(9));
    }

    // The window and four command-line tools on other ports write one
    // history at the same time: nothing is lost and nobody warns.
    void windowAndCommandLinesShareTheHistory()
    {
        const QString db = dir.filePath("shared.db");
        qputenv("CALITUNE_HISTORY", db.toLocal8Bit());
        radio = std::make_unique<SimRadio>();
        radio->setMemory(CalAddress, RadioBlock);
        qputenv("CALITUNE_COM1", radio->devicePath().toLocal8Bit());
        makeForm();
        std::vector<std::unique_ptr<SimRadio>> others;
        constexpr int Tools = 4, Rounds = 3;
        for (int i = 0; i < Tools; ++i) {
            others.push_back(std::make_unique<SimRadio>());
            others.back()->setMemory(CalAddress, RadioBlock);
        }
        for (int round = 0; round < Rounds; ++round) {
            std::vector<std::unique_ptr<QProcess>> tools;
            for (int i = 0; i < Tools; ++i) {
                auto p = std::make_unique<QProcess>();
                QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
                env.insert("CALITUNE_COM1", others[size_t(i)]->devicePath());
                p->setProcessEnvironment(env);
                p->start(QCoreApplication::applicationDirPath() + "/calitune-cli",
                         {"write", QStringLiteral("H400=%1").arg(round)});
                tools.push_back(std::move(p));
            }
            QVERIFY(clickAndWait(*form, form->TestRdCmb));
            for (auto &p : tools) {
                // It may have ended while the window's exchange ran the event loop.
                QVERIFY(p->state() == QProcess::NotRunning || p->waitForFinished(10000));
                QCOMPARE(p->exitStatus(), QProcess::NormalExit);
                QCOMPARE(p->exitCode(), 0);
                QCOMPARE(p->readAllStandardError(), QByteArray());
            }
        }
        QCOMPARE(shown, QStringList(Rounds, "读出成功！"));
        const auto records = History::Store(db).list().value();
        QCOMPARE(records.size(), Rounds + Tools * Rounds);   // one record per exchange
        int windowReads = 0, writes = 0;
        for (const History::Record &r : records) {
            QCOMPARE(r.outcome, Outcome::Done);
            windowReads += r.source == History::Source::Window;
            writes += r.action == History::Action::Write;
        }
        QCOMPARE(windowReads, Rounds);
        QCOMPARE(writes, Tools * Rounds);
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
