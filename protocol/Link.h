#pragma once
// One link to one radio: the open port, programming-mode entry and exit, and
// the block commands with their attempts. Everything an exchange holds lives
// here, so links on several ports (and threads) never share a byte. A Link is
// used by one thread at a time; isOpen() may be asked from any.

#include "base/Result.h"
#include "protocol/CalibrationBlock.h"
#include "protocol/Frames.h"
#include "serial/basComm.h"

#include <QByteArray>
#include <QLoggingCategory>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

Q_DECLARE_LOGGING_CATEGORY(lcLink)

class Link {
public:
    static constexpr int ShortRetryBudget = 3;   // Read: 4 attempts at the access code
    static constexpr int LongRetryBudget = 10;   // Write: 11 attempts
    static constexpr int ExitAttempts = 4;
    static constexpr int WriteAttempts = 3;
    static constexpr int ReadAttempts = 4;
    static constexpr float EntryWaitMs = 0.1f;
    static constexpr float ExitWaitMs = 1.0f;
    static constexpr float BlockWaitMs = 10;
    // How long a radio has to begin its reply. A reply of n bytes may take
    // the window plus ByteSpacing per byte, and ends when more than
    // ByteSpacing passes without its next byte. A write of n bytes is given
    // WriteTimePerByte for each, and one more.
    static constexpr std::chrono::milliseconds DefaultReplyWindow{700};
    static constexpr std::chrono::milliseconds ByteSpacing{2};
    static constexpr std::chrono::milliseconds WriteTimePerByte{3};
    // A USB adapter passes bytes on in bursts (every 16 ms by default): quiet
    // for longer than that means the line has nothing more on its way.
    static constexpr std::chrono::milliseconds ResyncQuiet{25};
    static constexpr std::chrono::milliseconds ResyncMax{250};
    // A reply that came in parts is waited for while its bytes keep coming.
    static constexpr std::chrono::milliseconds SplitReplyQuiet{50};

    // Told of every attempt once its reply is in (progress, --verbose).
    struct AttemptReport {
        const char *step;
        int number;
        int of;
        QByteArray reply;
    };
    using AttemptListener = std::function<void(const AttemptReport &)>;
    // Asked before every attempt but those of the exit command: true ends
    // the step there and keeps later steps from starting.
    using StopCheck = std::function<bool()>;

    // What the attempts of the last step heard back: nothing, a reply cut
    // short, or a whole reply (which, in a step that failed, was refused).
    struct Replies {
        int silent = 0;
        int cut = 0;
        int whole = 0;
    };
    // The exit command since the port was last opened.
    enum class ExitCommand { NotSent, Confirmed, NotConfirmed };

    Link();
    ~Link();
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    void setAttemptListener(AttemptListener listener) { m_listener = std::move(listener); }
    void setStopCheck(StopCheck check) { m_stop = std::move(check); }
    // Asked before every exit attempt but the first: true sends no more.
    void setHurryCheck(StopCheck check) { m_hurry = std::move(check); }

    // A radio's time to begin a reply; tests of silent radios shorten it.
    void setReplyWindow(std::chrono::milliseconds window) { m_replyWindow = window; }
    std::chrono::milliseconds replyWindow() const { return m_replyWindow; }

    // Opens the device and sets up the line: 9600 bit/s, 8 data bits, one
    // stop bit, no parity.
    Result<void, basComm::OpenError> open(const QString &device);
    // Why the last open failed, kept for the front end's report.
    const Failure<basComm::OpenError> &openFailure() const { return m_openFailure; }
    bool isOpen() const { return m_open.load(); }
    void close();

    // Sends the access code until the radio answers 0x06, in 1 + retryBudget
    // attempts. The result describes the last attempt.
    Frames::EntryReply enterProgramMode(int retryBudget);
    // Sends "E" until "f" comes back, in at most `attempts`; true when it did.
    bool leaveProgramMode(int attempts = ExitAttempts);
    bool inProgrammingMode() const { return m_inProgrammingMode; }
    // An access code went out since the port was opened: a radio may have
    // taken it even though its answer did not come in time.
    bool accessCodeSent() const { return m_accessCodeSent; }
    // Kept after close() for the front end's report, until the next open().
    bool entered() const { return m_entered; }
    ExitCommand exitCommand() const { return m_exit; }

    // Nothing when the block cannot be moved after all attempts.
    std::optional<BlockBytes> readBlock(std::uint16_t address = CalibrationAddress);
    bool writeBlock(const BlockBytes &block, std::uint16_t address = CalibrationAddress);

    // Whether a stop was asked for: the step that saw it ended early.
    bool stopped() const { return m_stopped; }
    // How many attempts the last step sent.
    int attemptsSent() const { return m_attemptsSent; }
    const Replies &replies() const { return m_replies; }

private:
    struct Attempt;
    QByteArray runAttempt(const QByteArray &frame, const Attempt &attempt);
    void completeReply(QByteArray &got, const Attempt &attempt, std::chrono::milliseconds readSoFar);
    std::chrono::milliseconds replyTime(int replySize) const { return m_replyWindow + ByteSpacing * replySize; }
    bool mayStartAttempt();
    void startStep();

    std::unique_ptr<basComm::ComPort> m_port;
    Failure<basComm::OpenError> m_openFailure{};
    std::chrono::milliseconds m_replyWindow = DefaultReplyWindow;
    std::atomic_bool m_open{false};
    bool m_inProgrammingMode = false;
    bool m_accessCodeSent = false;
    bool m_stopped = false;
    bool m_entered = false;
    ExitCommand m_exit = ExitCommand::NotSent;
    int m_attemptsSent = 0;
    Replies m_replies;
    AttemptListener m_listener;
    StopCheck m_stop;
    StopCheck m_hurry;
};
