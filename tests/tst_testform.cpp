#include "sim/PtyPair.h"
#include "ui/TestForm.h"

#include <QClipboard>
#include <QComboBox>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <memory>

constexpr TestForm::Power H = TestForm::High, L = TestForm::Low;

namespace {

// Maps port numbers to device paths while a test runs.
class PortEnv {
public:
    explicit PortEnv(std::initializer_list<std::pair<int, QString>> ports)
    {
        for (const auto &[n, path] : ports) {
            names.push_back(QByteArray("CALITUNE_COM") + QByteArray::number(n));
            qputenv(names.back().constData(), path.toLocal8Bit());
        }
    }
    ~PortEnv()
    {
        for (const QByteArray &name : names)
            qunsetenv(name.constData());
    }

private:
    std::vector<QByteArray> names;
};

int px(int twips, int dpi) { return qRound(twips * dpi / 1440.0); }

} // namespace

class TestFormTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TestForm> form;

    // A form that found no port, shown and active.
    void showForm()
    {
        {
            PortEnv env{{1, QStringLiteral("/nonexistent/tty")}};
            form = std::make_unique<TestForm>();
        }
        // The buttons run real actions; their messages must not wait for a user.
        form->setMessagePresenter([](const QString &, TestForm::MsgIcon, TestForm::MsgButtons) {
            return TestForm::MsgAnswer::Ok;
        });
        form->show();
        QApplication::setActiveWindow(form.get());
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
    }

    void typeInto(QLineEdit *edit, const QString &keys)
    {
        edit->setFocus(Qt::TabFocusReason);
        QTest::keyClicks(edit, keys);
    }

    void loseFocus() { form->TestRdCmb->setFocus(Qt::TabFocusReason); }

private slots:
    void cleanup() { form.reset(); }

    void portListOfOpenablePorts()
    {
        PtyPair com3, com12;
        {
            PortEnv env{{3, com3.slavePath()}, {12, com12.slavePath()}};
            form = std::make_unique<TestForm>();
        }
        QComboBox *list = form->ComPortCmb;
        QCOMPARE(list->count(), 2);
        QCOMPARE(list->itemText(0), QStringLiteral("COM3"));
        QCOMPARE(list->itemText(1), QStringLiteral("COM12"));
        QCOMPARE(list->itemData(1, Qt::ToolTipRole).toString(), com12.slavePath());
        QVERIFY(!list->isEditable());
        QVERIFY(form->ComEnable);
        QCOMPARE(list->currentIndex(), 0);
        QCOMPARE(form->ComPortIndex, 3);

        list->setCurrentIndex(1);
        QCOMPARE(form->ComPortIndex, 12);
        form->show();
        list->setFocus();
        QTest::keyClick(list, Qt::Key_Up);
        QCOMPARE(list->currentText(), QStringLiteral("COM3"));
        QCOMPARE(form->ComPortIndex, 3);
    }

    void noPortGivesNoCom()
    {
        {
            PortEnv env{{1, QStringLiteral("/nonexistent/tty")}};
            form = std::make_unique<TestForm>();
        }
        QCOMPARE(form->ComPortCmb->count(), 1);
        QCOMPARE(form->ComPortCmb->currentText(), QStringLiteral("No COM"));
        QVERIFY(!form->ComEnable);
        QCOMPARE(form->ComPortIndex, 0);
    }

    void loadFillsFieldsAndLaysOutInTwips()
    {
        showForm();
        QCOMPARE(form->windowTitle(), QStringLiteral("Calitune"));
        for (const TextCopy &copy : form->PWRText_temp)
            QCOMPARE(copy.value_or(QString()), QStringLiteral("0"));
        const auto fields = form->findChildren<QLineEdit *>();
        QCOMPARE(fields.size(), 12);
        for (const QLineEdit *field : fields)
            QCOMPARE(field->text(), QStringLiteral("0"));

        const int dx = form->logicalDpiX(), dy = form->logicalDpiY();
        QCOMPARE(form->size(), QSize(px(8865, dx), px(3030, dy)));
        QCOMPARE(form->minimumSize(), form->maximumSize());
        QCOMPARE(form->field(L, 6)->geometry(),
                 QRect(px(7600, dx), px(1700, dy), px(750, dx), px(375, dy)));
        QCOMPARE(form->FrePWRLabel[5]->geometry(),
                 QRect(px(7500, dx), px(480, dy), px(975, dx), px(250, dy)));
        QCOMPARE(form->FrePWRLabel[5]->text(), QStringLiteral("520MHz"));
        QCOMPARE(form->ComPortCmb->geometry(),
                 QRect(px(1100, dx), px(2450, dy), px(975, dx), px(300, dy)));
        QCOMPARE(form->field(L, 5)->accessibleName(), QStringLiteral("480MHz 低功率"));
        QStringList names;
        for (const QLineEdit *field : form->PWRText)
            names << field->objectName();
        QCOMPARE(names, QStringList({"PWRH1Text", "PWRL1Text", "PWRH2Text", "PWRL2Text", "PWRH3Text", "PWRL3Text",
                                     "PWRH4Text", "PWRL4Text", "PWRH5Text", "PWRL5Text", "PWRH6Text", "PWRL6Text"}));
    }

    void focusStartTabOrderAndEnterStepping()
    {
        showForm();
        const QList<QWidget *> chain{
            form->field(H, 1), form->field(H, 2), form->field(H, 3), form->field(H, 4),
            form->field(L, 1), form->field(L, 2), form->field(L, 3), form->field(L, 4),
            form->TestWrCmb,   form->TestRdCmb,   form->ComPortCmb,  form->field(H, 5),
            form->field(L, 5), form->field(H, 6), form->field(L, 6), form->field(H, 1)};
        for (qsizetype i = 0; i + 1 < chain.size(); ++i) {
            QCOMPARE(QApplication::focusWidget(), chain[i]);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        QCOMPARE(QApplication::focusWidget(), form->field(H, 1));

        const std::pair<QLineEdit *, QWidget *> steps[] = {{form->field(H, 4), form->field(L, 1)},
                                                          {form->field(L, 4), form->TestWrCmb},
                                                          {form->field(L, 6), form->field(H, 1)}};
        for (const auto &[from, to] : steps) {
            from->setFocus(Qt::OtherFocusReason);
            QTest::keyClick(from, Qt::Key_Return);
            QTRY_COMPARE(QApplication::focusWidget(), to);
        }
    }

    void typingRules()
    {
        showForm();
        QLineEdit *field = form->field(H, 2);
        const auto retype = [&](const QString &keys) {
            field->clear();
            typeInto(field, keys);
        };
        retype(QStringLiteral("128"));
        QCOMPARE(field->text(), QStringLiteral("127"));
        QCOMPARE(*form->copy(H, 2), QStringLiteral("127"));
        retype(QStringLiteral("999"));
        QCOMPARE(field->text(), QStringLiteral("127"));
        retype(QStringLiteral("1234"));
        QCOMPARE(field->text(), QStringLiteral("123"));
        retype(QStringLiteral("-.a 5"));
        QCOMPARE(field->text(), QStringLiteral("5"));

        retype(QStringLiteral("000"));
        QCOMPARE(*form->copy(H, 2), QStringLiteral("000"));
        loseFocus();
        QCOMPARE(field->text(), QStringLiteral("0"));
        QCOMPARE(*form->copy(H, 2), QStringLiteral("0"));

        retype(QStringLiteral("05"));
        loseFocus();
        QCOMPARE(*form->copy(H, 2), QStringLiteral("05"));

        typeInto(field, QString());
        field->end(false);
        QTest::keyClick(field, Qt::Key_Backspace);
        QTest::keyClick(field, Qt::Key_Backspace);
        QCOMPARE(*form->copy(H, 2), QString());
        QFocusEvent toContextMenu(QEvent::FocusOut, Qt::PopupFocusReason);
        QApplication::sendEvent(field, &toContextMenu);
        QCOMPARE(field->text(), QString());
        loseFocus();
        QCOMPARE(*form->copy(H, 2), QStringLiteral("0"));
    }

    // The length limit is set on the first key press; that must not move the
    // caret or lose the selection under the key.
    void firstKeyPressKeepsCaretAndSelection()
    {
        showForm();
        QLineEdit *field = form->field(H, 3);
        field->setFocus();
        field->setText(QStringLiteral("12"));
        field->setCursorPosition(1);
        QTest::keyClick(field, '0');
        QCOMPARE(field->text(), QStringLiteral("102"));
        field = form->field(L, 3);
        field->setFocus();
        field->setText(QStringLiteral("7"));
        field->selectAll();
        QTest::keyClick(field, '5');
        QCOMPARE(field->text(), QStringLiteral("5"));
    }

    void pasteBypassesOnlyTheKeyRule()
    {
        showForm();
        QLineEdit *field = form->field(L, 3);
        field->setFocus();
        QGuiApplication::clipboard()->setText(QStringLiteral("-5"));
        field->selectAll();
        // Ctrl+V as a keyboard delivers it: the text is the control character.
        QTest::sendKeyEvent(QTest::Press, field, Qt::Key_V, QStringLiteral("\x16"), Qt::ControlModifier);
        QCOMPARE(field->text(), QStringLiteral("0"));

        field->selectAll();
        field->paste();
        QCOMPARE(field->text(), QStringLiteral("-5"));
        QCOMPARE(*form->copy(L, 3), QStringLiteral("-5"));
        loseFocus();
        QCOMPARE(field->text(), QStringLiteral("-5"));
        field->selectAll();
        field->insert(QStringLiteral("300.5"));
        QCOMPARE(*form->copy(L, 3), QStringLiteral("127"));
    }

    void emptiedFieldBecomesZeroBeforeClickRuns()
    {
        showForm();
        form->field(L, 1)->setFocus();
        QString seenAtClick;
        connect(form->TestWrCmb, &QPushButton::clicked, form.get(),
                [&] { seenAtClick = *form->copy(L, 1); });
        QTest::keyClick(form->field(L, 1), Qt::Key_Backspace);
        QCOMPARE(form->field(L, 1)->text(), QString());
        QTest::mouseClick(form->TestWrCmb, Qt::LeftButton);
        QCOMPARE(seenAtClick, QStringLiteral("0"));
        QCOMPARE(form->field(L, 1)->text(), QStringLiteral("0"));
    }

    void leadingNumber()
    {
        QCOMPARE(LeadingNumber(QStringLiteral("127")), 127.0);
        QCOMPARE(LeadingNumber(QStringLiteral("-5x")), -5.0);
        QCOMPARE(LeadingNumber(QStringLiteral("+12.5.3")), 12.5);
        QCOMPARE(LeadingNumber(QStringLiteral("-.5")), -0.5);
        QCOMPARE(LeadingNumber(QStringLiteral("128.")), 128.0);
        QCOMPARE(LeadingNumber(QStringLiteral("1e5")), 1.0);
        QCOMPARE(LeadingNumber(QStringLiteral(" 5")), 0.0);
        QCOMPARE(LeadingNumber(QStringLiteral("-.")), 0.0);
        QCOMPARE(LeadingNumber(QString()), 0.0);
    }
};

QTEST_MAIN(TestFormTest)
#include "tst_testform.moc"
