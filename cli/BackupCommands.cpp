// backup and restore.
#include "cli/Commands.h"

#include "files/BackupFile.h"
#include "history/ServerHistory.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <mutex>

namespace Cli {

namespace {

using CliOutput::JsonObject;
using CliOutput::hex;
using History::BackupFile::Output;

// An existing folder the file system will not let us write in (read-only,
// no permission): the backup cannot be saved, which no other name mends.
bool folderRefuses(const QString &folder)
{
    return !History::BackupFile::folderWritable(folder);
}

bool onSeveralPorts(const Invocation &in, const QList<Target> &targets)
{
    const QString port = in.value(Opt::Port);
    return targets.size() > 1 || port.contains(QLatin1Char(','))
           || port.compare(QLatin1String("all"), Qt::CaseInsensitive) == 0;
}

Failure<Refusal> notSaved(const QString &where, const QString &why)
{
    return Failure{Refusal{BackupNotSaved, History::OutcomeName(Outcome::NotKept)},
                   QStringLiteral("%1: %2; nothing was sent to the radio").arg(where, why)};
}

// Where a backup run puts its files: one file, standard output ("-"), or
// with several ports one file per radio in a folder.
struct BackupPlan {
    QString output;
    bool inFolder = false;
    bool force = false;
    std::optional<Output> file;   // the one file, checked before any radio is touched
};

// Refuses a plan that cannot work; the one file is checked and kept in the plan.
Checked<void> checkPlan(const Invocation &in, BackupPlan &plan)
{
    const QString &output = plan.output;
    if (output == QLatin1String("-")) {
        if (plan.inFolder)
            return UsageError(QStringLiteral("--output - writes one radio's backup: give one port"));
        if (in.isSet(Opt::Json))
            return UsageError(QStringLiteral("--output - and --json both write to standard output: choose one"));
        return {};
    }
    if (plan.inFolder && !QFileInfo(output).isDir())
        return UsageError(QStringLiteral("%1: with several ports --output names an existing folder").arg(output));
    if (plan.inFolder && folderRefuses(output))
        return notSaved(output, QStringLiteral("cannot write in this folder"));
    if (plan.inFolder)
        return {};
    Result<Output, History::BackupFile::Error> checked = Output::check(output, plan.force);
    if (!checked)
        return folderRefuses(QFileInfo(output).absolutePath())
                   ? notSaved(output, checked.text())
                   : BadInputError(QStringLiteral("%1: %2").arg(output, checked.text()));
    plan.file = std::move(checked).value();
    return {};
}

// A radio's own file in the folder: its label, or its fingerprint, and the
// time, so that the next batch never replaces this one's; -2, -3 … when two
// radios of one second would share a name (fresh radios may share bytes 12-15).
QString fileInFolder(const QString &folder, const QString &radio, const QDateTime &taken)
{
    static std::mutex claimedMutex;
    static QSet<QString> claimed;
    QString name = radio;
    for (QChar &c : name)
        if (!c.isLetterOrNumber() && c != u'-' && c != u'_' && c != u'.')
            c = u'_';
    if (name.startsWith(u'.'))
        name[0] = u'_';
    const QString base = QDir(folder).filePath(name + u'-' + taken.toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")));
    std::lock_guard lock(claimedMutex);
    QString file = base + QStringLiteral(".json");
    for (int n = 2; claimed.contains(file) || QFileInfo::exists(file); ++n)
        file = base + QStringLiteral("-%1.json").arg(n);
    claimed.insert(file);
    return file;
}

QString labelOrNone(const std::optional<QString> &radio) { return radio ? *radio : QStringLiteral("none"); }
QString ownBytes(const QByteArray &b) { return hex(b.mid(PowerValueCount)); }

// Refused without --force: the file holds another radio's backup.
std::optional<QString> othersBackup(const Output &output, const History::Backup &saved, bool force)
{
    const std::optional<History::Backup> &old = output.replaces();
    if (!old || force || History::BackupFile::SameRadio(old->block, old->radio, saved.block, saved.radio))
        return std::nullopt;
    return QStringLiteral("another radio's backup: %1 holds radio %2, bytes 12-15 %3; on the port: radio %4, bytes "
                          "12-15 %5; nothing was saved; --force replaces it")
        .arg(output.path(), labelOrNone(old->radio), ownBytes(old->block), labelOrNone(saved.radio),
             ownBytes(saved.block));
}

// Saves to the plan's file, standard output or a new file in its folder.
Result<void, FileError> saveBackup(BackupPlan &plan, const History::Backup &saved, const QString &file)
{
    if (file == QLatin1String("-"))
        return WriteBytes(stdout, History::BackupFile::toJson(saved));
    if (!plan.inFolder) {
        const Result<void, History::BackupFile::Error> written = plan.file->save(saved);
        return written ? Result<void, FileError>() : Failure{FileError::CannotWrite, written.text()};
    }
    Result<Output, History::BackupFile::Error> inFolder = Output::check(file, plan.force);
    const Result<void, History::BackupFile::Error> written =
        inFolder ? inFolder->save(saved) : Result<void, History::BackupFile::Error>(inFolder.failure());
    return written ? Result<void, FileError>() : Failure{FileError::CannotWrite, written.text()};
}

PortReport backupOne(const RunSettings &settings, const Target &t, BackupPlan &plan)
{
    Session session(settings, t, StartRecord(History::Action::Backup));
    const Exchange::ReadResult r = Exchange::Read(session.link, t.device, session.ui(), session.record());
    if (r.outcome != Outcome::Done)
        return session.failed(r.outcome, Session::ReadAttempts);
    const History::Backup saved{BlockToBytes(*r.block), QDateTime::currentDateTimeUtc(), t.name, t.device,
                                session.radio()};
    const QString fingerprint = History::fingerprintOf(saved.block);
    const QString file = plan.inFolder ? fileInFolder(plan.output, saved.radio.value_or(fingerprint), saved.taken)
                                       : plan.output;
    const bool toStdout = file == QLatin1String("-");
    if (plan.file)
        if (const std::optional<QString> refused = othersBackup(*plan.file, saved, plan.force)) {
            session.record().ended(Outcome::Refused);
            return ErrorReport(OtherRadio, History::OutcomeName(Outcome::Refused),
                               t.label() + QStringLiteral(": ") + *refused, &t);
        }
    if (const Result<void, FileError> kept = saveBackup(plan, saved, file); !kept) {
        session.record().ended(Outcome::NotKept);
        return ErrorReport(BackupNotSaved, History::OutcomeName(Outcome::NotKept),
                           QStringLiteral("%1: cannot save the backup: %2; the radio was read, nothing was written to it")
                               .arg(toStdout ? QStringLiteral("standard output") : file, kept.text()),
                           &t);
    }
    PortReport report;
    if (toStdout)
        return report;
    report.out = QStringLiteral("%1: block %2 saved to %3\n").arg(t.label(), hex(*r.block), file);
    report.json = t.json()
                      .add(QStringLiteral("fingerprint"), fingerprint)
                      .add(QStringLiteral("file"), file)
                      .add(QStringLiteral("block"), hex(*r.block))
                      .toJson();
    return report;
}

// What a restore writes back and where that block came from.
struct Origin {
    BlockBytes block{};
    std::optional<QString> radio;
    QString description;       // "backup F (taken T on station S, port P)", "record 41 (...)"
    History::Record start;     // the restore's record, naming its source
};

Checked<Origin> fromFile(const QString &file)
{
    const Result<LoadedBackup, FileError> loaded = LoadBackup(file);
    if (!loaded)
        return BadInputError(QStringLiteral("%1: %2").arg(file == QLatin1String("-") ? QStringLiteral("standard input") : file, loaded.text()));
    const auto &[backup, content] = *loaded;
    Origin o;
    o.block = *BlockFromBytes(backup.block);
    o.radio = backup.radio;
    o.description = QStringLiteral("backup %1 (taken %2, port %3)")
                        .arg(file, backup.taken.toString(Qt::ISODate), backup.port);
    o.start = StartRecord(History::Action::Restore);
    o.start.sourceFile = file == QLatin1String("-") ? QStringLiteral("-") : QFileInfo(file).absoluteFilePath();
    o.start.sourceSha256 = QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
    return o;
}

// The server's record, nothing when it has none, or why it cannot be looked up.
Result<std::optional<History::Record>, History::ServerError> serverRecord(const QString &conninfo,
                                                                          const QString &station, qint64 id)
{
    Result<History::ServerHistory, History::ServerError> server = History::ServerHistory::connect(conninfo);
    if (!server)
        return server.failure();
    const Result<std::optional<History::ServerRecord>, History::ServerError> found = server->find(station, id);
    if (!found)
        return found.failure();
    return *found ? std::optional((*found)->record) : std::nullopt;
}

// A history record, and how the user named it ("41", "LINE2:41").
struct NamedRecord {
    QString name;
    History::Record record;
};

// A record of this station's history, or with --server STATION:ID of the
// factory's, or why it cannot be had.
Checked<NamedRecord> recordGiven(const Invocation &in, const QString &given)
{
    const bool onServer = in.isSet(Opt::Server);
    const qsizetype colon = given.lastIndexOf(QLatin1Char(':'));
    if (!onServer && colon >= 0)
        return UsageError(QStringLiteral("--history %1: a STATION:ID record is on the history server: add --server")
                              .arg(given));
    const QString station = onServer ? given.left(colon) : QString();
    bool ok = false;
    const qint64 id = (onServer ? given.mid(colon + 1) : given).toLongLong(&ok);
    if (!ok || id < 1 || (onServer && (colon < 1 || station.isEmpty())))
        return UsageError(onServer ? QStringLiteral("--history with --server needs STATION:ID (see %1 history --server)").arg(Program)
                                   : QStringLiteral("--history needs a record id (see %1 history)").arg(Program));
    const QString name = onServer ? QStringLiteral("%1:%2").arg(station).arg(id) : QString::number(id);
    QString error;
    std::optional<History::Record> record;
    if (onServer && in.server.isEmpty())
        return UsageError(QStringLiteral("--server: ") + History::StationConfig::serverNotSet());
    if (onServer) {
        const Result<std::optional<History::Record>, History::ServerError> found = serverRecord(in.server, station, id);
        if (found)
            record = *found;
        else
            error = found.text();
    } else {
        History::Store store(in.settings.historyPath);
        store.setWarnings([](const QString &) {});   // failures are reported below
        const Result<std::optional<History::Record>, History::StoreError> found = store.find(id);
        if (found)
            record = *found;
        else
            error = found.text();
    }
    if (record)
        return NamedRecord{name, *record};
    if (onServer && !error.isEmpty())
        return Failure{Refusal{ServerFailed, QStringLiteral("server")},
                       QStringLiteral("cannot look up history record %1: %2").arg(name, error)};
    return BadInputError(error.isEmpty() ? QStringLiteral("there is no history record %1").arg(name)
                                         : QStringLiteral("cannot look up history record %1: %2").arg(name, error));
}

// The block a record found in the radio, or the refusal when it holds none.
Checked<Origin> fromRecord(const Invocation &in, const QString &given)
{
    const Checked<NamedRecord> found = recordGiven(in, given);
    if (!found)
        return found.failure();
    const auto &[name, record] = *found;
    const std::optional<BlockBytes> before = record.before ? BlockFromBytes(*record.before) : std::nullopt;
    if (!before)
        return BadInputError(QStringLiteral("history record %1 holds no block found in the radio").arg(name));
    Origin o;
    o.block = *before;
    o.radio = record.radio;
    o.description = QStringLiteral("record %1 (%2, station %3, port %4)")
                        .arg(name, record.time.toString(Qt::ISODate), record.station, record.port);
    o.start = StartRecord(History::Action::Restore);
    o.start.sourceRecord = name;
    return o;
}

// A restore is for the radio the block came from: its own bytes 12 to 15,
// and its label where both carry one, must match.
std::optional<QString> otherRadio(const Origin &o, const BlockBytes &radio, const std::optional<QString> &label)
{
    if (History::BackupFile::SameRadio(BlockToBytes(radio), label, BlockToBytes(o.block), o.radio))
        return std::nullopt;
    return QStringLiteral("on the port: radio %1, bytes 12-15 %2; %3: radio %4, bytes 12-15 %5")
        .arg(labelOrNone(label), ownBytes(BlockToBytes(radio)), o.description, labelOrNone(o.radio),
             ownBytes(BlockToBytes(o.block)));
}

PortReport refusedAsOtherRadio(const Target &t, const Origin &o, const QString &details, bool dryRun)
{
    return ErrorReport(OtherRadio, History::OutcomeName(Outcome::Refused),
                       QStringLiteral("%1: another radio: the radio on the port is not the one the %2 came from; "
                                      "nothing %3 written (%4); --force writes it anyway")
                           .arg(t.label(), o.start.sourceFile.isEmpty() ? QStringLiteral("record") : QStringLiteral("backup"),
                                dryRun ? QStringLiteral("would be") : QStringLiteral("was"), details),
                       &t);
}

PortReport restoreOne(const Invocation &in, const Target &t, Origin origin)
{
    const bool dryRun = in.isSet(Opt::DryRun), force = in.isSet(Opt::Force);
    if (dryRun)
        origin.start.action = History::Action::Read;
    Session session(in.settings, t, origin.start, true);
    std::optional<QString> mismatch;
    Exchange::Change change;
    for (std::size_t i = 0; i < change.values.size(); ++i)
        change.values[i] = origin.block[i];
    change.verify = true;
    change.skipUnchanged = true;
    change.dryRun = dryRun;
    change.admit = [&](const BlockBytes &radio) {
        mismatch = otherRadio(origin, radio, session.radio());
        if (mismatch && force)
            session.record().forceWhenWritten();
        return mismatch && !force && !dryRun ? Outcome::Refused : Outcome::Done;
    };
    const Exchange::WriteResult r = Exchange::Write(session.link, t.device, session.ui(), session.record(), change);
    if (r.outcome == Outcome::Refused || (dryRun && mismatch && !force && r.outcome == Outcome::Done)) {
        PortReport refused = refusedAsOtherRadio(t, origin, *mismatch, dryRun);
        if (dryRun)
            refused.out = WriteReport(session, r, change.values, true, true, true).out;
        return refused;
    }
    if (r.outcome != Outcome::Done && r.outcome != Outcome::VerifyMismatch)
        return session.failed(r.outcome, Session::WriteAttempts,
                              r.blockSent ? Session::Writing::BlockSent : Session::Writing::NothingSent);
    PortReport report = WriteReport(session, r, change.values, true, true, dryRun);
    if (mismatch && force && *r.before != *r.sent)
        report.err = Program + QStringLiteral(": warning: %1: %2 to another radio (--force): %3\n")
                                   .arg(t.label(), dryRun ? QStringLiteral("would be written") : QStringLiteral("written"),
                                        *mismatch);
    return report;
}

} // namespace

Result<LoadedBackup, FileError> LoadBackup(const QString &file)
{
    LoadedBackup loaded;
    if (file != QLatin1String("-")) {
        // load() checks first that it is a regular file; then it may be read again.
        Result<History::Backup, History::BackupFile::Error> backup = History::BackupFile::load(file);
        if (!backup)
            return Failure{FileError::NotABackup, backup.text()};
        loaded.backup = std::move(backup).value();
        const Result<QByteArray, FileError> bytes = ReadInput(file, History::BackupFile::MaxFileSize);
        loaded.content = bytes ? *bytes : QByteArray();
        return loaded;
    }
    Result<QByteArray, FileError> bytes = ReadInput(file, History::BackupFile::MaxFileSize);
    if (!bytes)
        return bytes.failure();
    const Result<History::Backup, History::BackupFile::Error> parsed = History::BackupFile::parse(*bytes);
    if (!parsed)
        return Failure{FileError::NotABackup, parsed.text()};
    return LoadedBackup{*parsed, std::move(bytes).value()};
}

int RunBackup(Invocation &in)
{
    if (!in.args.isEmpty())
        return in.finish(UsageError(QStringLiteral("backup takes no arguments: \"%1\"").arg(in.args.first())));
    if (in.value(Opt::Output).isEmpty())
        return in.finish(UsageError(QStringLiteral("backup needs --output FILE")));
    const Checked<QList<Target>> targets = ChosenTargets(in);
    if (!targets)
        return in.finish(targets.failure());
    BackupPlan plan{in.value(Opt::Output), onSeveralPorts(in, *targets), in.isSet(Opt::Force), {}};
    if (const Checked<void> checked = checkPlan(in, plan); !checked)
        return in.finish(checked.failure());
    const QList<PortReport> reports = OnEveryTarget(in.settings, *targets, [&](const Target &t, const RunSettings &settings) {
        return backupOne(settings, t, plan);
    });
    return in.finishExchanges(reports);
}

int RunRestore(Invocation &in)
{
    const bool byRecord = in.isSet(Opt::HistoryId);
    if (byRecord == (in.args.size() == 1) || in.args.size() > 1)
        return in.finish(UsageError(byRecord ? QStringLiteral("give either a backup file or --history ID, not both")
                                             : QStringLiteral("restore needs one backup file, or --history ID")));
    if (in.isSet(Opt::Server) && !byRecord)
        return in.finish(UsageError(QStringLiteral("--server goes with --history STATION:ID")));
    const Checked<Origin> origin = byRecord ? fromRecord(in, in.value(Opt::HistoryId)) : fromFile(in.args.first());
    if (!origin)
        return in.finish(origin.failure());
    const Checked<QList<Target>> targets = ChosenTargets(in);
    if (!targets)
        return in.finish(targets.failure());
    return in.finishExchanges({restoreOne(in, targets->first(), *origin)});
}

} // namespace Cli
