#pragma once
// The calibration window: port selection, the twelve power value fields and
// the Read and Write actions.

#include "history/Record.h"
#include "protocol/CalibrationBlock.h"
#include "protocol/Link.h"
#include "protocol/Outcome.h"
#include "serial/PortMap.h"

#include <QPointer>
#include <QThread>
#include <QWidget>
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class ExchangeWorker;


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
    // How long each exchange waits for a reply to begin; tests of silent
    // radios shorten it.
    std::chrono::milliseconds replyWindow = Link::DefaultReplyWindow;

    // The twelve value fields (objectName PWRH1Text ... PWRL6Text) and their
    // text copies, in block order: the high and the low power value of the
    // first frequency point (400 MHz), then of the second ... the sixth.
    enum Power { High, Low };
    static constexpr std::size_t ValueIndex(Power power, int point)
    {
        return std::size_t(2 * (point - 1) + power);
    }
    std::array<QLineEdit *, PowerValueCount> PWRText{};
    std::array<TextCopy, PowerValueCount> PWRText_temp;
    QLineEdit *field(Power power, int point) const { return PWRText[ValueIndex(power, point)]; }
    TextCopy &copy(Power power, int point) { return PWRText_temp[ValueIndex(power, point)]; }

    // The key rule shared by the value fields: keeps accepted codes, else 0.
    void CharKeyPress(std::int16_t &CharPress);

    // Controls (objectName = member name).
    std::array<QLabel *, 6> FrePWRLabel{};
    QLabel *PWRHLabel = nullptr;
    QLabel *PWRLLabel = nullptr;
    QLabel *ComPortLabel = nullptr;
    QComboBox *ComPortCmb = nullptr;
    QPushButton *TestWrCmb = nullptr;
    QPushButton *TestRdCmb = nullptr;

    // The Read and Write actions: one complete exchange with the radio each,
    // run on a worker thread while the window stays held and repaints.
    void TestRdCmb_Click();
    void TestWrCmb_Click();

    bool exchangeRunning() const { return m_run.has_value(); }
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
    QRect twips(int left, int top, int width, int height) const;
    QLabel *makeLabel(const QString &caption, const QString &name, const QRect &geometry,
                      Qt::Alignment alignment);
    QLineEdit *makeField(Power power, int point);
    void buildControls();
    void orderTabs();
    void Form_Load();
    void ComPortCmb_Click();
    bool fieldKeyPress(QLineEdit *edit, const QKeyEvent &event);
    void limitLength(QLineEdit *edit);
    void fieldChanged(std::size_t index);
    void fieldLostFocus(QLineEdit *edit);

    // Lists the ports that open now; the selection stays while its port does.
    void refreshPortList();
    void fitTexts();

    // Actions.
    void connectActions();
    void holdWindow();
    void giveBackWindow();
    void setBusyCursor(bool busy);
    bool refuseValueWithoutByte(const std::optional<int> &field);
    void startExchange(History::Action action, const PowerValues &values = {});
    void askRetry();
    void tellOutcome(Outcome outcome);
    void answerWorker(bool retry);
    void exchangeFinished(const std::optional<BlockBytes> &block);
    void tell(Outcome outcome);
    void uploadRecords();

    MsgAnswer showMessageBox(const QString &text, MsgIcon, MsgButtons);

    // The running exchange: its worker lives on the thread and goes with it.
    struct Run {
        History::Action action;
        std::unique_ptr<QThread> thread;
        ExchangeWorker *worker;
    };

    PortMap::Map m_ports;
    std::optional<Run> m_run;
    std::unique_ptr<QThread> m_upload;   // records on their way to the history server
    std::atomic_bool m_uploadWarned{false};
    std::optional<int> m_quitCode;
    MessagePresenter m_presenter;
    QPointer<QWidget> m_focusBeforeExchange;
    bool m_busyCursor = false;
};
