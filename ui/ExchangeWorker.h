#pragma once
// One Read or Write of the window on a thread of its own, from opening the
// port to closing it. It reports by signals; while its port is open it waits
// for the user's answer to each of them, or for stop().

#include "history/Record.h"
#include "protocol/CalibrationBlock.h"
#include "protocol/Exchange.h"
#include "protocol/Link.h"
#include "protocol/Outcome.h"

#include <QEventLoop>
#include <QObject>
#include <atomic>
#include <optional>

class ExchangeWorker : public QObject, private Exchange::Ui {
    Q_OBJECT
public:
    struct Job {
        History::Action action = History::Action::Read;   // Read or Write
        QString port, device;
        PowerValues values;   // what a write sends
        std::chrono::milliseconds replyWindow = Link::DefaultReplyWindow;
    };
    explicit ExchangeWorker(Job job);

    // Any thread. Ends the exchange once the step on the wire is done (the
    // radio is taken out of programming mode); nothing more is asked or told.
    void stop();
    bool portOpen() const { return m_link.isOpen(); }

public slots:
    void run();
    // The user's answer to retryAsked() (true: try again), or that the
    // message of outcomeKnown() has been closed.
    void answer(bool retry);

signals:
    // The radio does not answer the access code.
    void retryAsked();
    // How the exchange ended, told while the port is still open.
    void outcomeKnown(Outcome outcome);
    // The port is closed; a read's block when it came.
    void finished(std::optional<BlockBytes> block);

private:
    bool retryAfterNoReply() override;
    void tell(Outcome outcome) override;
    bool awaitAnswer();

    const Job m_job;
    Link m_link;
    std::atomic_bool m_stop{false};
    QEventLoop *m_waiting = nullptr;
    bool m_retry = false;
};
