#include "ui/TestForm.h"
#include "ui/TextFit.h"


#include <QComboBox>
#include <QCoreApplication>
#include <QFocusEvent>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSpacerItem>
#include <algorithm>

namespace {

const QString WindowTitle = QStringLiteral("Calitune");
const char *const FrequencyCaptions[] = {"400MHz", "420MHz", "440MHz",
                                         "460MHz", "480MHz", "520MHz"};
const QString HighPowerCaption = QStringLiteral("高功率");
const QString LowPowerCaption = QStringLiteral("低功率");
constexpr int MaxFieldLength = 3;
constexpr double MaxFieldValue = 127;
const QString NoPort = QStringLiteral("No COM");
// Wide enough for the title "Calitune" beside a window manager's buttons.
constexpr int MessageBoxMinWidthAt96Dpi = 300;

// The port list probes the ports again each time it is opened, so that a
// cable plugged in after start-up shows up.
class PortList : public QComboBox {
public:
    using QComboBox::QComboBox;
    std::function<void()> beforePopup;
    void showPopup() override
    {
        if (beforePopup)
            beforePopup();
        QComboBox::showPopup();
    }
};

QFont headingFont()
{
    QFont font;
    font.setFamilies({QStringLiteral("宋体"), QStringLiteral("SimSun"), QStringLiteral("NSimSun"),
                      QStringLiteral("Noto Serif CJK SC"), QStringLiteral("Noto Sans CJK SC"),
                      QStringLiteral("Source Han Sans SC"), QStringLiteral("WenQuanYi Micro Hei"),
                      QStringLiteral("Droid Sans Fallback")});
    font.setPointSize(12);
    font.setWeight(QFont::Normal);
    return font;
}

// The character code a classic key-press event would carry, or nothing for
// keys that type no character.
std::optional<std::int16_t> characterCode(const QKeyEvent &event)
{
    switch (event.key()) {
    case Qt::Key_Backspace:
        return 8;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return 13;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
    case Qt::Key_Delete:
    case Qt::Key_Escape:
        return std::nullopt;
    default:
        if (event.text().isEmpty())
            return std::nullopt;
        return static_cast<std::int16_t>(event.text().at(0).unicode());
    }
}

} // namespace

TestForm::TestForm(QWidget *parent) : QWidget(parent)
{
    setWindowTitle(WindowTitle);
    buildControls();
    connectActions();
    Form_Load();
    // Takes effect when the window is first activated.
    field(High, 1)->setFocus();
}

QRect TestForm::twips(int left, int top, int width, int height) const
{
    const auto x = [this](int t) { return qRound(t * logicalDpiX() / 1440.0); };
    const auto y = [this](int t) { return qRound(t * logicalDpiY() / 1440.0); };
    return {x(left), y(top), x(width), y(height)};
}

QLabel *TestForm::makeLabel(const QString &caption, const QString &name, const QRect &geometry,
                            Qt::Alignment alignment)
{
    auto *label = new QLabel(caption, this);
    label->setObjectName(name);
    label->setGeometry(geometry);
    label->setAlignment(alignment);
    return label;
}

QLineEdit *TestForm::makeField(Power power, int point)
{
    const int column = point - 1;
    auto *edit = new QLineEdit(this);
    edit->setObjectName(QStringLiteral("PWR%1%2Text").arg(QChar(power == High ? u'H' : u'L')).arg(point));
    edit->setGeometry(twips(1100 + 1300 * column, power == High ? 900 : 1700, 750, 375));
    edit->setAccessibleName(QString::fromLatin1(FrequencyCaptions[column]) + u' ' +
                            (power == High ? HighPowerCaption : LowPowerCaption));
    // An input method would commit text past the key rule.
    edit->setAttribute(Qt::WA_InputMethodEnabled, false);
    return edit;
}

void TestForm::buildControls()
{
    setFixedSize(twips(0, 0, 8865, 3030).size());

    for (int k = 0; k < 6; ++k) {
        FrePWRLabel[k] = makeLabel(QString::fromLatin1(FrequencyCaptions[k]),
                                   QStringLiteral("FrePWRLabel%1").arg(k),
                                   twips(1000 + 1300 * k, 480, 975, 250), Qt::AlignCenter);
        FrePWRLabel[k]->setFont(headingFont());
    }
    const Qt::Alignment right = Qt::AlignRight | Qt::AlignVCenter;
    PWRHLabel = makeLabel(HighPowerCaption, QStringLiteral("PWRHLabel"), twips(240, 1000, 750, 200), right);
    PWRLLabel = makeLabel(LowPowerCaption, QStringLiteral("PWRLLabel"), twips(240, 1800, 750, 200), right);
    ComPortLabel = makeLabel(QStringLiteral("端口号"), QStringLiteral("ComPortLabel"),
                             twips(240, 2500, 750, 200), right);

    for (Power power : {High, Low})
        for (int point = 1; point <= 6; ++point)
            PWRText[ValueIndex(power, point)] = makeField(power, point);

    auto *portList = new PortList(this);
    portList->beforePopup = [this] { refreshPortList(); };
    ComPortCmb = portList;
    ComPortCmb->setObjectName(QStringLiteral("ComPortCmb"));
    ComPortCmb->setGeometry(twips(1100, 2450, 975, 300));
    ComPortCmb->setAccessibleName(QStringLiteral("端口号"));
    ComPortLabel->setBuddy(ComPortCmb);

    TestWrCmb = new QPushButton(QStringLiteral("写入"), this);
    TestWrCmb->setObjectName(QStringLiteral("TestWrCmb"));
    TestWrCmb->setGeometry(twips(4000, 2400, 975, 375));
    TestRdCmb = new QPushButton(QStringLiteral("读出"), this);
    TestRdCmb->setObjectName(QStringLiteral("TestRdCmb"));
    TestRdCmb->setGeometry(twips(6000, 2400, 975, 375));

    orderTabs();
    for (std::size_t i = 0; i < PWRText.size(); ++i) {
        PWRText[i]->installEventFilter(this);
        connect(PWRText[i], &QLineEdit::textChanged, this, [this, i] { fieldChanged(i); });
    }
}

void TestForm::orderTabs()
{
    const auto H = [this](int point) { return field(High, point); };
    const auto L = [this](int point) { return field(Low, point); };
    QWidget *const tabOrder[] = {H(1), H(2), H(3), H(4), L(1), L(2), L(3), L(4), TestWrCmb, TestRdCmb,
                                 ComPortCmb, H(5), L(5), H(6), L(6)};
    for (std::size_t i = 0; i + 1 < std::size(tabOrder); ++i)
        setTabOrder(tabOrder[i], tabOrder[i + 1]);
}

void TestForm::Form_Load()
{
    const QRect area = screen()->availableGeometry();
    const QSize outer = frameGeometry().size();
    move(area.x() + (area.width() - outer.width()) / 2,
         area.y() + (area.height() - outer.height()) / 2);

    refreshPortList();
    // Connected only now, so that each later selection, by the user or from
    // code, runs the handler exactly once.
    connect(ComPortCmb, &QComboBox::currentIndexChanged, this, &TestForm::ComPortCmb_Click);
    fitTexts();

    for (std::size_t i = 0; i < PWRText.size(); ++i) {
        const QString copy = PWRText_temp[i].value_or(QString());
        PWRText[i]->setText(copy.isEmpty() ? QStringLiteral("0") : copy);
    }
}

void TestForm::refreshPortList()
{
    const QString selected = ComEnable ? ComPortCmb->currentText() : QString();
    {
        const QSignalBlocker quiet(ComPortCmb);
        ComPortCmb->clear();
        for (const PortMap::Port &port : m_ports.probe()) {
            if (!port.available)
                continue;
            ComPortCmb->addItem(PortMap::PortName(port.number));
            // The entry's name says neither the device (but on Windows) nor the adapter.
            QStringList tip;
#ifndef Q_OS_WIN
            tip << port.device;
#endif
            if (const QString adapter = PortMap::AdapterText(port); !adapter.isEmpty())
                tip << adapter;
            if (!tip.isEmpty())
                ComPortCmb->setItemData(ComPortCmb->count() - 1, tip.join(QLatin1Char('\n')), Qt::ToolTipRole);
        }
        ComEnable = ComPortCmb->count() > 0;
        if (!ComEnable) {
            ComPortCmb->addItem(NoPort);
            ComPortIndex = 0;
        }
        ComPortCmb->setCurrentIndex(std::max(0, ComPortCmb->findText(selected)));
    }
    ComPortCmb_Click();
}

void TestForm::fitTexts()
{
    QStringList entries{NoPort};
    for (int n = PortMap::FirstPort; n <= PortMap::LastPort; ++n)
        entries << PortMap::PortName(n);
    FitFont(ComPortCmb, entries);
    for (QLabel *label : findChildren<QLabel *>())
        FitFont(label, {label->text()});
    for (QPushButton *button : {TestWrCmb, TestRdCmb})
        FitFont(button, {button->text()});
    for (QLineEdit *edit : PWRText)
        FitFont(edit, {QStringLiteral("888")});
}

void TestForm::ComPortCmb_Click()
{
    if (!ComEnable)
        return;
    const QString entry = ComPortCmb->currentText();
    for (int n = PortMap::FirstPort; n <= PortMap::LastPort; ++n) {
        if (entry == PortMap::PortName(n)) {
            ComPortIndex = static_cast<std::int16_t>(n);
            return;
        }
    }
}

void TestForm::CharKeyPress(std::int16_t &CharPress)
{
    const bool digit = CharPress >= '0' && CharPress <= '9';
    if (!digit && CharPress != 8 && CharPress != 13)
        CharPress = 0;
}

bool TestForm::eventFilter(QObject *watched, QEvent *event)
{
    auto *edit = qobject_cast<QLineEdit *>(watched);
    if (!edit || std::find(PWRText.begin(), PWRText.end(), edit) == PWRText.end())
        return QWidget::eventFilter(watched, event);
    if (event->type() == QEvent::KeyPress)
        return fieldKeyPress(edit, *static_cast<QKeyEvent *>(event));
    if (event->type() == QEvent::FocusOut) {
        // A context menu or another window taking over is not the field
        // losing the focus to another control.
        const Qt::FocusReason reason = static_cast<QFocusEvent *>(event)->reason();
        if (reason != Qt::PopupFocusReason && reason != Qt::ActiveWindowFocusReason)
            fieldLostFocus(edit);
    }
    return QWidget::eventFilter(watched, event);
}

bool TestForm::fieldKeyPress(QLineEdit *edit, const QKeyEvent &event)
{
    std::optional<std::int16_t> code = characterCode(event);
    if (!code)
        return false;
    limitLength(edit);
    CharKeyPress(*code);
    if (*code == 0)
        return true;
    if (*code == 13) {
        QCoreApplication::postEvent(edit, new QKeyEvent(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier));
        QCoreApplication::postEvent(edit, new QKeyEvent(QEvent::KeyRelease, Qt::Key_Tab, Qt::NoModifier));
    }
    return false;
}

// QLineEdit re-sets its text when the limit changes, which would move the
// caret to the end and drop the selection under the key being typed.
void TestForm::limitLength(QLineEdit *edit)
{
    if (edit->maxLength() == MaxFieldLength)
        return;
    const int cursor = edit->cursorPosition();
    const int anchor = edit->hasSelectedText()
        ? (cursor == edit->selectionStart() ? edit->selectionEnd() : edit->selectionStart())
        : cursor;
    edit->setMaxLength(MaxFieldLength);
    edit->setCursorPosition(anchor);
    edit->cursorForward(true, cursor - anchor);
}

void TestForm::fieldChanged(std::size_t index)
{
    QLineEdit *edit = PWRText[index];
    if (LeadingNumber(edit->text()) > MaxFieldValue)
        edit->setText(QStringLiteral("127"));
    PWRText_temp[index] = edit->text();
}

void TestForm::fieldLostFocus(QLineEdit *edit)
{
    const QString text = edit->text();
    if (text.isEmpty() || text == QLatin1String("00") || text == QLatin1String("000"))
        edit->setText(QStringLiteral("0"));
}

void TestForm::setMessagePresenter(MessagePresenter presenter)
{
    m_presenter = std::move(presenter);
}

TestForm::MsgAnswer TestForm::showMessage(const QString &text, MsgIcon icon, MsgButtons buttons)
{
    // The busy cursor is for the waits, not for a box that waits for the user.
    const bool busy = m_busyCursor;
    setBusyCursor(false);
    const MsgAnswer answer = m_presenter ? m_presenter(text, icon, buttons) : showMessageBox(text, icon, buttons);
    setBusyCursor(busy);
    return answer;
}

TestForm::MsgAnswer TestForm::showMessageBox(const QString &text, MsgIcon icon, MsgButtons buttons)
{
    QMessageBox box(icon == MsgIcon::Exclamation ? QMessageBox::Warning : QMessageBox::NoIcon,
                    WindowTitle, text, QMessageBox::NoButton, this);
    // QMessageBox sizes itself to its text; a spacer is what holds a width.
    if (auto *grid = qobject_cast<QGridLayout *>(box.layout()))
        grid->addItem(new QSpacerItem(qRound(MessageBoxMinWidthAt96Dpi * logicalDpiX() / 96.0), 0,
                                      QSizePolicy::Minimum, QSizePolicy::Fixed),
                      grid->rowCount(), 0, 1, grid->columnCount());
    if (buttons == MsgButtons::RetryCancel) {
        box.addButton(QMessageBox::Retry)->setText(QStringLiteral("重试"));
        box.addButton(QMessageBox::Cancel)->setText(QStringLiteral("取消"));
        box.setDefaultButton(QMessageBox::Retry);
        box.setEscapeButton(QMessageBox::Cancel);
    } else {
        box.addButton(QMessageBox::Ok)->setText(QStringLiteral("确定"));
    }
    switch (box.exec()) {
    case QMessageBox::Retry:
        return MsgAnswer::Retry;
    case QMessageBox::Cancel:
        return MsgAnswer::Cancel;
    default:
        return MsgAnswer::Ok;
    }
}
