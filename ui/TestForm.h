#pragma once
// The calibration window: port selection, the twelve power value fields and
// the Read and Write actions.

#include "protocol/CalibrationBlock.h"
#include "history/HistoryStore.h"

#include <QPointer>
#include <QWidget>
#include <array>
#include <functional>
#include <map>
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

    // The Read and Write actions: one complete exchange with the radio each.
    void TestRdCmb_Click();
    void TestWrCmb_Click();

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
    void connectActions();
    std::array<TextCopy, PowerValueCount> copiesInBlockOrder();
    void holdWindow();
    void giveBackWindow();
    void setBusyCursor(bool busy);
    bool refuseValueWithoutByte();

    MsgAnswer showMessageBox(const QString &text, MsgIcon, MsgButtons);

    History::Store m_history;
    // The block each device last gave, for the record of a later write.
    std::map<QString, BlockBytes> m_lastBlockRead;
    MessagePresenter m_presenter;
    QPointer<QWidget> m_focusBeforeExchange;
    bool m_busyCursor = false;
};
