#include "cli/Report.h"
#include "cli/StopSignals.h"

#include "history/ServerHistory.h"
#include "protocol/Link.h"

#include <cerrno>
#include <cstring>
#include <mutex>

#ifdef Q_OS_WIN
#include <io.h>
#define CALITUNE_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define CALITUNE_ISATTY(fd) isatty(fd)
#endif

namespace Cli {

namespace {

// The process's own: stdout and stderr, and the progress line on its terminal.
std::mutex outputMutex;
int progressWidth = 0;   // of the progress line now shown; under outputMutex

void rawWrite(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream);
    std::fflush(stream);
}

void clearProgress()
{
    if (progressWidth == 0)
        return;
    rawWrite(stderr, QLatin1Char('\r') + QString(progressWidth, QLatin1Char(' ')) + QLatin1Char('\r'));
    progressWidth = 0;
}

QString stepName(const char *step)
{
    const QLatin1String s(step);
    if (s == QLatin1String("entry"))
        return QStringLiteral("the access code");
    if (s == QLatin1String("exit"))
        return QStringLiteral("the exit command");
    return QStringLiteral("the ") + s;
}

} // namespace

bool StderrIsTerminal() { return CALITUNE_ISATTY(2); }

Progress::Progress(const QString &portName, Link &link, bool on) : m_port(portName)
{
    if (!on)
        return;
    link.setAttemptListener([this](const Link::AttemptReport &r) {
        std::lock_guard lock(outputMutex);
        if (!r.reply.isEmpty() && r.reply[0] != 0) {
            clearProgress();
            return;
        }
        const QString line = QStringLiteral("%1: no answer to %2, attempt %3 of %4")
                                 .arg(m_port, stepName(r.step))
                                 .arg(r.number)
                                 .arg(r.of);
        rawWrite(stderr, QLatin1Char('\r') + line.leftJustified(progressWidth));
        progressWidth = int(std::max<qsizetype>(progressWidth, line.size()));
    });
}

Progress::~Progress()
{
    std::lock_guard lock(outputMutex);
    clearProgress();
}

QString Target::label() const
{
    if (device.isEmpty())
        return name + QStringLiteral(" (no device)");
    return device == name ? name : QStringLiteral("%1 (%2)").arg(name, device);
}

CliOutput::JsonObject Target::json() const
{
    return CliOutput::JsonObject()
        .add(QStringLiteral("port"), name)
        .add(QStringLiteral("device"), device)
        .add(QStringLiteral("radio"), radio ? QJsonValue(*radio) : QJsonValue());
}

int ExitStatusOf(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Done: return Done;
    case Outcome::PortNotOpened: return PortNotOpened;
    case Outcome::NoReply: return NoReply;
    case Outcome::OtherReply: return OtherReply;
    case Outcome::LinkLost: return LinkLost;
    case Outcome::VerifyMismatch: return VerifyMismatch;
    case Outcome::Refused: return OtherRadio;
    case Outcome::NotKept: return BackupNotSaved;
    case Outcome::Interrupted: return 128 + StopSignals::Signal();
    }
    return BadInput;
}

PortReport ErrorReport(int status, const QString &kind, const QString &text, const Target *target,
                       const CliOutput::JsonObject &extra)
{
    using CliOutput::JsonObject;
    PortReport r;
    r.status = status;
    const QString message = History::ServerHistory::withoutPassword(text);
    r.err = Program + QStringLiteral(": ") + message + QLatin1Char('\n');
    const QJsonValue none(QJsonValue::Null);
    r.json = JsonObject()
                 .add(QStringLiteral("error"), kind)
                 .add(QStringLiteral("message"), message)
                 .add(QStringLiteral("port"), target ? QJsonValue(target->name) : none)
                 .add(QStringLiteral("device"), target ? QJsonValue(target->device) : none)
                 .add(QStringLiteral("radio"), target && target->radio ? QJsonValue(*target->radio) : none)
                 .append(extra)
                 .toJson();
    return r;
}

Failure<Refusal> UsageError(const QString &message)
{
    return BadInputError(message + QStringLiteral(" (see %1 --help)").arg(Program));
}

Failure<Refusal> BadInputError(const QString &message)
{
    return Failure{Refusal{BadInput, QStringLiteral("usage")}, message};
}

PortReport Reported(const Failure<Refusal> &refusal)
{
    return ErrorReport(refusal.kind.status, refusal.kind.error, refusal.text);
}

void Write(FILE *stream, const QString &text)
{
    std::lock_guard lock(outputMutex);
    if (stream == stderr)
        clearProgress();
    rawWrite(stream, text);
}

Result<void, FileError> WriteBytes(FILE *stream, const QByteArray &bytes)
{
    std::lock_guard lock(outputMutex);
    errno = 0;
    if (std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stream) == std::size_t(bytes.size())
        && std::fflush(stream) == 0)
        return {};
    return Failure{FileError::CannotWrite,
                   errno ? QString::fromLocal8Bit(std::strerror(errno)) : QStringLiteral("write failed")};
}

void Print(const PortReport &report, const Style &style)
{
    if (!report.err.isEmpty())
        Write(stderr, report.err);
    if (style.json && !report.json.isEmpty())
        Write(stdout, QString::fromUtf8(report.json) + QLatin1Char('\n'));
    else if (!style.json && !style.quiet)
        Write(stdout, report.out);
}

int PrintAll(const QList<PortReport> &reports, const Style &style)
{
    int status = Done;
    for (const PortReport &r : reports) {
        Print(r, style);
        if (status == Done)
            status = r.status;
    }
    return status;
}

std::function<void(const QString &)> HistoryWarnings(const Style &style, const QString &prefix)
{
    return [style, prefix](const QString &message) { Warn(style, prefix + QStringLiteral("the history: ") + message); };
}

void Warn(const Style &style, const QString &message)
{
    if (!style.quiet)
        Write(stderr, Program + QStringLiteral(": warning: ") + History::ServerHistory::withoutPassword(message)
                          + QLatin1Char('\n'));
}

} // namespace Cli
