#pragma once
// One exchange of the command line with the radio on one port: its own link,
// history connection and record, on whichever thread runs it.

#include "cli/Report.h"
#include "history/ExchangeRecorder.h"
#include "history/HistoryStore.h"
#include "protocol/Exchange.h"
#include "protocol/Link.h"

#include <chrono>
#include <memory>
#include <optional>

namespace Cli {

// The reply window of every link: the radio's 700 ms, or the milliseconds
// CALITUNE_REPLY_WINDOW_MS names, a test aid that spares tests of silent
// radios the wait.
std::chrono::milliseconds LinkReplyWindow();

// What every exchange of one run shares.
struct RunSettings {
    Style style;
    QString historyPath;              // a file, or "off"
    QString station;
    std::optional<QString> radio;     // --radio LABEL: the filter of history, the label of a single port
    bool progress = false;            // the progress line on a terminal
    History::RecordKeeper *sharedHistory = nullptr;   // the history of a run on many ports
};

class Session {
public:
    // `start` gives the record's action and, for a restore, its source; the
    // session fills in where and who.
    Session(const RunSettings &settings, const Target &target, History::Record start, bool verifyAsked = false);

    Link link;
    const Target target;
    Exchange::Ui &ui() { return m_ui; }
    History::ExchangeRecorder &record() { return m_record; }
    const std::optional<QString> &radio() const { return m_record.record().radio; }

    // Attempts at the access code: a read, and an exchange that writes.
    static constexpr int ReadAttempts = Link::ShortRetryBudget + 1;
    static constexpr int WriteAttempts = Link::LongRetryBudget + 1;

    // How far a write got when its exchange failed.
    enum class Writing { No, NothingSent, BlockSent };
    // The report of an exchange that ended in `outcome` at the port, the
    // access code, a block transfer or a signal.
    PortReport failed(Outcome outcome, int accessAttempts, Writing writing = Writing::No) const;

private:
    class QuietUi : public Exchange::Ui {
    public:
        void tell(Outcome) override {}
        bool windsDownFailedTransfers() const override { return true; }
    };
    QString whyNotOpened() const;
    QString programmingMode() const;

    std::unique_ptr<History::Store> m_ownHistory;   // when the run shares none
    History::ExchangeRecorder m_record;
    Progress m_progress;
    QuietUi m_ui;
};

// The record every command line exchange starts from.
History::Record StartRecord(History::Action action);

} // namespace Cli
