#pragma once
// A local record of every exchange with a radio, so that the values a radio
// held before a wrong write can always be found again, and an audit can tell
// what happened to which radio, where and when.

#include "history/Record.h"
#include "history/RecordKeeper.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QDeadlineTimer>
#include <QSqlError>
#include <QString>
#include <QVariantMap>
#include <functional>
#include <optional>

class QSqlDatabase;
class QSqlQuery;

namespace History::Schema {
struct Found;
enum class Layout;
}

namespace History {

// One SQLite connection per Store, opened on first use; use a Store from one
// thread only. No call throws. A history that cannot be written never stops an
// exchange: the call fails and warns, once for each Warnings (RecordKeeper.h).
class Store : public RecordKeeper {
public:
    Store();                              // the station's history (StationConfig)
    explicit Store(const QString &path);  // a database file, or "off" in any case
    ~Store() override;
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    bool enabled() const { return !m_path.isEmpty(); }
    QString path() const { return m_path; }

    // Opens the history for writing (creating, or migrating an older layout in
    // place) and merges what earlier processes left in the spool. Call it before
    // a port is opened: it may wait a few seconds for a lock. Succeeds when the
    // database can be written; fails (with a warning) when the records of this
    // process can only go to the spool (Busy), or nowhere.
    Result<void, StoreError> prepare(Warnings *to = nullptr) override;

    // Stores a new record; fills in record.id (0 while it sits in the spool),
    // record.uid, record.time and record.station when they are empty. Waits at
    // most ExchangeWaitMs for the database; a record that cannot be stored in
    // that time is appended to the spool beside the database and flushed to
    // disk before the call returns. Fails only when it is kept nowhere.
    Result<void, StoreError> add(Record &record, Warnings *to = nullptr) override;
    // Stores what the record has come to know (found by uid): its blocks,
    // whether it was verified or forced, and its outcome; with the same bound
    // and spool. A write calls it, onDisk, before its block goes out, and at
    // its end. Other calls survive a crash of the program, not a power cut.
    Result<void, StoreError> complete(const Record &record, bool onDisk = false, Warnings *to = nullptr) override;

    // Several exchanges' new records and completions in one transaction (one
    // commit, one wait on the disk when any asks for it), each kept as add()
    // or complete() would keep it; `kept` as they would return. A batch that
    // cannot be committed whole goes to the spool, or one by one.
    struct Change {
        Record *record = nullptr;
        bool isNew = false;    // add(), else complete()
        bool onDisk = false;
        Result<void, StoreError> kept{};
        Warnings *warnings = nullptr;   // the store's own when none
    };
    void keepAll(QList<Change> &changes);

    // Newest first. Look-ups open the history read-only when it cannot be
    // written; records still in the spool are not listed. They never warn: a
    // failure (Busy, or Failed when there is no history yet, say) says why.
    using Records = Result<QList<Record>, StoreError>;
    Records list(const Filter &filter = {}) const;
    Result<std::optional<Record>, StoreError> find(qint64 id) const;   // nothing when there is no such record
    // A radio's story (history/Story.h), oldest first.
    Records story(const QString &id, const QString &radioPrefix) const;
    // Records wait in the spool for the next prepare() to merge them.
    bool spoolWaiting() const;

    // For the upload to a factory's server: the records stored or completed
    // after local change `rev`, in rev order, and how far a server has them.
    Records changedAfter(qint64 rev, int limit) const;
    Result<qint64, StoreError> countChangedAfter(qint64 rev) const;
    Result<qint64, StoreError> syncedRev(const QString &server) const;   // 0 when it has none
    Result<void, StoreError> setSyncedRev(const QString &server, qint64 rev);
    Result<void, StoreError> moveSyncedRev(const QString &from, const QString &to);

    // Where this store's own warnings go; by default one line on stderr.
    void setWarnings(Warnings::Sink sink) { m_ownWarnings.setSink(std::move(sink)); }

    static constexpr int ExchangeWaitMs = 200;

private:
    enum class Access { None, ReadOnly, Writable };
    enum class Step { Ok, Busy, Failed };     // Busy: the lock was not had in time

    // Connections: m_why says what failed, in words for the user.
    bool connect(Access access, bool immutable = false) const;
    void disconnect() const;
    QSqlDatabase database() const;
    Step openWritable(const QDeadlineTimer &deadline) const;
    // Opens for writing within PrepareWaitMs, then does `then` with what is left.
    Step whenWritable(const std::function<Step(const QDeadlineTimer &)> &then) const;
    Step setUp(Schema::Layout layout, const QDeadlineTimer &deadline) const;
    Result<void, StoreError> openForLookup() const;
    Step inspect(Schema::Found &found, const QDeadlineTimer &deadline) const;
    bool refuse(const Schema::Found &found) const;
    QString notAFile() const;

    // Statements, retried while busy until the deadline.
    Step run(QSqlQuery &query, const QDeadlineTimer &deadline, const QString &sql = {}) const;
    class RecordWriter;
    Step inTransaction(const QDeadlineTimer &deadline,
                       const std::function<Step(RecordWriter &)> &body) const;
    Step failed(const QSqlError &error) const;
    Step keepInOne(QList<Change> &changes) const;
    // Binds `named`, or else `positional` in order.
    Records select(const QString &clauses, const QVariantMap &named, int limit,
                   const QVariantList &positional = {}) const;
    Result<qint64, StoreError> lookUpNumber(const QString &sql, const QString &name, const QVariant &value) const;
    Failure<StoreError> lookUpFailed(Step step, const QString &why) const;

    QString spoolPath() const { return m_path + QStringLiteral(".spool"); }
    QStringList mergingFiles() const;
    Step mergeSpool(const QDeadlineTimer &deadline);
    Result<void, StoreError> toSpool(const QByteArray &line) const;
    Step syncToDisk(bool full, const QDeadlineTimer &deadline) const;

    Failure<StoreError> fail(StoreError kind, const QString &what) const;   // warns
    void warn(const QString &what) const;
    class WarningsTo;
    QString describe(const QSqlError &error) const;

    QString m_path;
    QString m_connection;
    mutable QString m_why;
    mutable QSqlError m_sqlError;
    mutable Access m_access = Access::None;
    mutable bool m_syncFull = false;   // what PRAGMA synchronous is now
    mutable Warnings m_ownWarnings;
    mutable Warnings *m_warnings = &m_ownWarnings;   // the present call's
};

} // namespace History
