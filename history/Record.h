#pragma once
// One exchange with one radio as the history keeps it, locally and on a
// factory's server, and the filters its listings take.

#include "protocol/Outcome.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <optional>

namespace History {

enum class Source { Window, Cli };

// What a record says of how its exchange ended: the outcome, or nothing yet
// (a write's record is kept before its block goes out).
class State {
public:
    constexpr State(Outcome outcome) : m_outcome(outcome) {}
    static constexpr State unfinished() { return State(); }
    constexpr bool finished() const { return m_outcome.has_value(); }
    friend constexpr bool operator==(const State &, const State &) = default;

private:
    constexpr State() = default;
    std::optional<Outcome> m_outcome;
};
inline constexpr State Unfinished = State::unfinished();

// The names records are stored and listed by: done, port, no-reply,
// other-reply, link-lost, verify, other-radio, interrupted, file, unfinished.
QString OutcomeName(State state);
std::optional<State> StateFromName(QStringView name);
QStringList StateNames();
enum class Action { Read, Write, Restore, Backup };

QString sourceName(Source);   // "window", "cli"
QString actionName(Action);   // "read", "write", "restore", "backup"
std::optional<Source> sourceFromName(QStringView name);
std::optional<Action> actionFromName(QStringView name);

// The station a record is made on: CALITUNE_STATION when set, else the host name.
QString stationName();

// A radio's fingerprint: bytes 12 to 15 of its calibration block, which no
// write changes, as 8 lower-case hex digits.
QString fingerprintOf(const QByteArray &block);
bool isFingerprint(const QString &text);   // 8 hex digits, in either case

struct Record {
    qint64 id = 0;            // local id; ids are never reused
    QString uid;              // random, given when first stored: the same record in spool, database and server
    qint64 rev = 0;           // local change counter: larger each time the record is stored or completed
    QDateTime time;           // UTC, when the exchange began
    Source source = Source::Cli;
    QString station;
    QString port, device;
    std::optional<QString> radio;            // the label the user gave, if any
    Action action = Action::Read;
    State outcome = Unfinished;
    std::optional<QByteArray> before;        // the block as the radio held it (a read's block)
    std::optional<QByteArray> sent;          // the block written
    std::optional<QByteArray> after;         // the block read back after the write
    std::optional<bool> verified;            // absent when no read-back was asked for
    bool forced = false;                     // a restore made despite another radio
    QString sourceFile, sourceSha256;        // a restore from a backup file
    QString sourceRecord;                    // a restore from a record: "41", or "STATION:41"
    friend bool operator==(const Record &, const Record &) = default;
};

// The fingerprint of the radio whose block the exchange read, if it read one.
std::optional<QString> fingerprintOf(const Record &record);

// The labels one radio may carry: `label`, and the same with the station
// prefix `prefix` put in front or taken off, as stations with and without
// the prefix would have written it.
QStringList sameRadioLabels(const QString &label, const QString &prefix);

struct Filter {
    QString port;                  // matches the port name or the device path
    std::optional<QString> radio;  // empty: the records of no named radio
    QString radioPrefix;           // radio matches with and without it
    QString station;
    std::optional<Action> action;
    std::optional<State> outcome;
    QDateTime since, until;        // inclusive; invalid: open
    int limit = -1;                // < 0: all
};

} // namespace History
