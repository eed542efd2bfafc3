#pragma once
// What a command prints. Every exchange, on one port or on many at once,
// collects its text, its stderr lines and its JSON line in a PortReport;
// the reports are printed in the order the ports were given.

#include "cli/Cli.h"
#include "cli/CliOutput.h"

#include "base/Result.h"

#include <QList>
#include <QString>
#include <cstdio>
#include <functional>
#include <optional>

class Link;

namespace Cli {

// A port as the command line names it.
struct Target {
    QString name;     // "COM3", or the device path given
    QString device;   // what the name stands for; empty when nothing
    std::optional<QString> radio = std::nullopt;   // the label of the radio on it, if given
    QString label() const;         // "COM3 (/dev/ttyUSB0)"
    CliOutput::JsonObject json() const;   // {"port": ..., "device": ..., "radio": ...}
    friend bool operator==(const Target &, const Target &) = default;
};

struct Style {
    bool json = false;
    bool quiet = false;   // errors only
};

struct PortReport {
    int status = Done;
    QString out;          // text for stdout
    QString err;          // lines for stderr
    QByteArray json;      // one JSON line, with --json
};

// One line on stderr ("calitune-cli: " message) and, with --json, the error
// object {"error", "message", "port", "device", "radio"} (all null when no
// port was chosen).
PortReport ErrorReport(int status, const QString &kind, const QString &message, const Target *target = nullptr,
                       const CliOutput::JsonObject &extra = {});

// Why a command is refused before any radio is touched: the exit status and
// the error's name in the JSON ("usage", "port", "server", ...).
struct Refusal {
    int status;
    QString error;
};
// What an argument check found, or why the command is refused.
template <typename T>
using Checked = Result<T, Refusal>;

Failure<Refusal> UsageError(const QString &message);   // with "(see calitune-cli --help)"
Failure<Refusal> BadInputError(const QString &message);
// The refusal as an error report, on no port.
PortReport Reported(const Failure<Refusal> &refusal);

// Prints one report; text or JSON as the style says.
void Print(const PortReport &report, const Style &style);
// Prints them in order; the exit status of the first that failed, else 0.
int PrintAll(const QList<PortReport> &reports, const Style &style);

// Whole writes, safe from several threads.
void Write(FILE *stream, const QString &text);
// What reading or writing a user's file or stream can come to.
enum class FileError { CannotRead, TooLarge, NotABackup, CannotWrite };
// The same for data that must arrive whole (a backup on stdout), with the
// system's reason when it did not.
Result<void, FileError> WriteBytes(FILE *stream, const QByteArray &bytes);

// The one line shown on a terminal while the radio does not answer, rewritten
// in place and cleared before anything else goes to stderr. One at a time.
class Progress {
public:
    Progress(const QString &portName, Link &link, bool on);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

private:
    QString m_port;
};
bool StderrIsTerminal();

// A warning line on stderr (history, server), unless quiet.
void Warn(const Style &style, const QString &message);
// The history's warnings as such lines, after `prefix` (a port's "COM3: ").
std::function<void(const QString &)> HistoryWarnings(const Style &style, const QString &prefix = {});

inline const QString Program = QStringLiteral("calitune-cli");

} // namespace Cli
