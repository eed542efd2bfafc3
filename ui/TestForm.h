#pragma once
// The calibration window: port selection, the twelve power value fields and
// the Read and Write actions.

#include "history/Record.h"
#include "protocol/CalibrationBlock.h"
#include "protocol/Exchange.h"
#include "protocol/Link.h"
#include "protocol/Outcome.h"
#include "serial/PortMap.h"

#include <QPointer>
#include <QThread>
#include <QWidget>
#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>


class QCloseEvent;
class QComboBox;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QPushButton;

class TestForm : public QWidget {
    Q_OBJECT
public:
    explicit TestForm(QWidget *parent = nullptr);
    ~TestForm() override;

    // How a message is put to the user; tests may record instead.
    enum class MsgIcon { None, Exclamation };
    enum class MsgButtons { Ok, RetryCancel };
    enum class MsgAnswer { Ok, Retry, Cancel };
    using MessagePresenter = std::function<MsgAnswer(const QString &text, MsgIcon, MsgButtons)>;
    void setMessagePresenter(MessagePresenter presenter);   // empty: real message boxes
    MsgAnswer showMessage(const QString &text, MsgIcon icon = MsgIcon::None,
                          MsgButtons buttons = MsgButtons::Ok);

    // Window state read by the actions.
    std::int16_t ComPortIndex = 0;
    bool ComEnable = false;

    // Text copies of the value fields.
    TextCopy PWRH1Text_temp, PWRH2Text_temp, PWRH3Text_temp, PWRH4Text_temp, PWRH5Text_temp,
        PWRH6Text_temp;
    TextCopy PWRL1Text_temp, PWRL2Text_temp, PWRL3Text_temp, PWRL4Text_temp, PWRL5Text_temp,
        PWRL6Text_temp;

    // The key rule shared by the value fields: keeps accepted codes, else 0.
    void CharKeyPress(std::int16_t &CharPress);

    // Controls (objectName = member name).
    std::array<QLabel *, 6> FrePWRLabel{};
    QLabel *PWRHLabel = nullptr;
    QLabel *PWRLLabel = nullptr;
    QLabel *ComPortLabel = nullptr;
    QLineEdit *PWRH1Text = nullptr, *PWRH2Text = nullptr, *PWRH3Text = nullptr,
              *PWRH4Text = nullptr, *PWRH5Text = nullptr, *PWRH6Text = nullptr;
    QLineEdit *PWRL1Text = nullptr, *PWRL2Text = nullptr, *PWRL3Text = nullptr,
              *PWRL4Text = nullptr, *PWRL5Text = nullptr, *PWRL6Text = nullptr;
    QComboBox *ComPortCmb = nullptr;
    QPushButton *TestWrCmb = nullptr;
    QPushButton *TestRdCmb = nullptr;

    // The Read and Write actions: one complete exchange with the radio each,
    // run on a worker thread while the window stays held and repaints.
    void TestRdCmb_Click();
    void TestWrCmb_Click();

    bool exchangeRunning() const { return m_run != nullptr; }
    // Whether the running exchange has its port open (false when none runs).
    bool exchangePortOpen() const;
    // Ends the running exchange as soon as the step on the wire is done (the
    // radio is taken out of programming mode), tells nothing more, and says
    // readyToQuit(exitCode) once it has ended, or at once when none runs.
    // For SIGTERM and SIGHUP.
    void quitWhenIdle(int exitCode);

signals:
    void exchangeEnded();
    void readyToQuit(int exitCode);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    struct Field {
        QLineEdit *edit;
        TextCopy *copy;
    };
    // The twelve fields in block order: H1, L1, H2, L2 ... H6, L6.
    std::array<Field, PowerValueCount> fieldsInBlockOrder();

    QRect twips(int left, int top, int width, int height) const;
    QLabel *makeLabel(const QString &caption, const QString &name, const QRect &geometry,
                      Qt::Alignment alignment);
    QLineEdit *makeField(const char *name, int column, bool highPower);
    void buildControls();
    void Form_Load();
    void ComPortCmb_Click();
    bool fieldKeyPress(const Field &field, const QKeyEvent &event);
    void limitLength(QLineEdit *edit);
    void fieldChanged(const Field &field);
    void fieldLostFocus(const Field &field);

    // Lists the ports that open now; the selection stays while its port does.
    void refreshPortList();
    void fitTexts();

    // Actions.
    class WindowUi;

public:
    // One exchange on its worker thread: its own link and history connection.
    struct Run {
        Link link;
        QString port, device;
        std::atomic_bool stop{false};
        std::unique_ptr<QThread> thread;   // waited for before it goes
        std::optional<BlockBytes> block;   // what a read brought
    };

private:
    void connectActions();
    std::array<TextCopy, PowerValueCount> copiesInBlockOrder();
    void holdWindow();
    void giveBackWindow();
    void setBusyCursor(bool busy);
    bool refuseValueWithoutByte(const std::optional<int> &field);
    // Runs `body` on a worker thread with its own history record, then
    // `afterwards` on the window's thread once the port is closed.
    using ExchangeBody = std::function<void(Run &, Exchange::Ui &, Exchange::Log &)>;
    void startExchange(History::Action action, const QString &successMessage, ExchangeBody body,
                       std::function<void(const Run &)> afterwards);
    void exchangeFinished();
    void tell(Outcome outcome, const QString &successMessage);
    void uploadRecords();

    MsgAnswer showMessageBox(const QString &text, MsgIcon, MsgButtons);

    PortMap::Map m_ports;
    std::unique_ptr<Run> m_run;
    std::unique_ptr<QThread> m_upload;   // records on their way to the history server
    std::optional<int> m_quitCode;
    MessagePresenter m_presenter;
    QPointer<QWidget> m_focusBeforeExchange;
    bool m_busyCursor = false;
};
