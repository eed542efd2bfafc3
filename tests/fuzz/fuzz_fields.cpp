// One value field of a real window, driven by key presses, pastes and focus
// losses. After every step the text copy equals the field's text and the
// field's value is at most 127; while only keys were used since the field
// last showed "0", the text is at most three digits. LeadingNumber is checked
// against a plain reading of every text met.
//
// Input: a list of steps. A byte below 0xE0 presses a key from the table;
// 0xE0 to 0xEF pastes the next (byte & 7) bytes as UTF-8; 0xF0 to 0xFF moves
// the focus away with a reason from the table, then back.

#include "tests/fuzz/FuzzCheck.h"

#include "ui/TestForm.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <cstdlib>
#include <string>

namespace {

struct Key {
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
    const char *text;   // as a keyboard delivers it
};

const Key Keys[] = {
    {Qt::Key_0, {}, "0"}, {Qt::Key_1, {}, "1"}, {Qt::Key_2, {}, "2"}, {Qt::Key_3, {}, "3"},
    {Qt::Key_4, {}, "4"}, {Qt::Key_5, {}, "5"}, {Qt::Key_6, {}, "6"}, {Qt::Key_7, {}, "7"},
    {Qt::Key_8, {}, "8"}, {Qt::Key_9, {}, "9"}, {Qt::Key_9, Qt::KeypadModifier, "9"},
    {Qt::Key_Backspace, {}, "\b"}, {Qt::Key_Backspace, Qt::ControlModifier, "\b"},
    {Qt::Key_Delete, {}, "\x7f"}, {Qt::Key_Delete, Qt::ShiftModifier, "\x7f"},
    {Qt::Key_Return, {}, "\r"}, {Qt::Key_Enter, Qt::KeypadModifier, "\r"},
    {Qt::Key_Left, {}, ""}, {Qt::Key_Right, {}, ""}, {Qt::Key_Home, {}, ""}, {Qt::Key_End, {}, ""},
    {Qt::Key_Left, Qt::ShiftModifier, ""}, {Qt::Key_Home, Qt::ShiftModifier, ""},
    {Qt::Key_Tab, {}, "\t"}, {Qt::Key_Escape, {}, "\x1b"}, {Qt::Key_Space, {}, " "},
    {Qt::Key_Minus, {}, "-"}, {Qt::Key_Plus, {}, "+"}, {Qt::Key_Period, {}, "."},
    {Qt::Key_E, {}, "e"}, {Qt::Key_A, Qt::ControlModifier, "\x01"},
    {Qt::Key_V, Qt::ControlModifier, "\x16"}, {Qt::Key_X, Qt::ControlModifier, "\x18"},
    {Qt::Key_Z, Qt::ControlModifier, "\x1a"}, {Qt::Key_Y, Qt::ControlModifier, "\x19"},
    {Qt::Key_K, Qt::ControlModifier, "\x0b"}, {Qt::Key_5, Qt::AltModifier, "5"},
    {Qt::Key_unknown, {}, "\xe4\xb8\xad"}, {Qt::Key_unknown, {}, "\xd9\xa3"},
};

const Qt::FocusReason Reasons[] = {Qt::TabFocusReason,    Qt::BacktabFocusReason,
                                   Qt::MouseFocusReason,  Qt::ShortcutFocusReason,
                                   Qt::OtherFocusReason,  Qt::PopupFocusReason,
                                   Qt::ActiveWindowFocusReason, Qt::MenuBarFocusReason};

// The number at the start of a text, read without Qt: the longest run of an
// optional sign, digits and at most one point; 0 when it holds no digit.
double plainReading(const QString &text)
{
    std::string number;
    bool digits = false, point = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if ((c == u'+' || c == u'-') && i == 0)
            number += char(c);
        else if (c >= u'0' && c <= u'9')
            number += char(c), digits = true;
        else if (c == u'.' && !point)
            number += '.', point = true;
        else
            break;
    }
    return digits ? std::strtod(number.c_str(), nullptr) : 0.0;
}

bool digitsOnly(const QString &text)
{
    for (const QChar c : text)
        if (c < u'0' || c > u'9')
            return false;
    return true;
}

// Made once and never destroyed: Qt's own statics may be gone at exit.
TestForm &window()
{
    static TestForm *form = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("CALITUNE_COM1", "/nonexistent/tty");   // no real port is probed
        static int argc = 1;
        static char name[] = "fuzz_fields";
        static char *argv[] = {name, nullptr};
        new QApplication(argc, argv);
        auto *made = new TestForm;
        made->show();
        QApplication::setActiveWindow(made);
        for (int i = 0; i < 100 && !made->isActiveWindow(); ++i)
            QCoreApplication::processEvents();
        FUZZ_CHECK(made->isActiveWindow());   // else no focus is ever lost
        return made;
    }();
    return *form;
}

void pressKey(QLineEdit *field, const Key &k)
{
    const QString text = QString::fromUtf8(k.text);
    QKeyEvent press(QEvent::KeyPress, k.key, k.modifiers, text);
    QApplication::sendEvent(field, &press);
    QKeyEvent release(QEvent::KeyRelease, k.key, k.modifiers, text);
    QApplication::sendEvent(field, &release);
    // Enter posts a Tab to the field: let it move the focus now.
    QCoreApplication::sendPostedEvents(field);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    TestForm &form = window();
    QLineEdit *field = form.field(TestForm::High, 2);
    field->setFocus(Qt::OtherFocusReason);
    field->setMaxLength(32767);   // as before the first key press
    field->setText(QStringLiteral("0"));
    bool keysOnly = true;

    for (std::size_t i = 0; i < size;) {
        const std::uint8_t step = data[i++];
        if (step < 0xE0) {
            pressKey(field, Keys[step % std::size(Keys)]);
        } else if (step < 0xF0) {
            const std::size_t n = std::min<std::size_t>(step & 7, size - i);
            const QString pasted =
                QString::fromUtf8(reinterpret_cast<const char *>(data + i), qsizetype(n));
            i += n;
            FUZZ_CHECK(LeadingNumber(pasted) == plainReading(pasted));
            field->insert(pasted);
            keysOnly = false;
        } else {
            form.TestRdCmb->setFocus(Reasons[step & 7]);
            field->setFocus(Qt::OtherFocusReason);
        }

        const QString text = field->text();
        FUZZ_CHECK(form.copy(TestForm::High, 2) && *form.copy(TestForm::High, 2) == text);
        const double value = LeadingNumber(text);
        FUZZ_CHECK(value == plainReading(text));
        FUZZ_CHECK(value <= 127);
        if (text == QLatin1String("0"))
            keysOnly = true;
        if (keysOnly)
            FUZZ_CHECK(text.size() <= 3 && digitsOnly(text) && value >= 0);
    }
    return 0;
}
