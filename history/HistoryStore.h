#pragma once
// A local record of every block read from or written to a radio, so that the
// values a radio held before a wrong write can always be found again.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <functional>
#include <optional>

namespace History {

enum class Source { Window, Cli };
enum class Action { Read, Write, Restore };

QString sourceName(Source);   // "window", "cli"
QString actionName(Action);   // "read", "write", "restore"

struct Record {
    qint64 id = 0;
    QDateTime time;           // UTC
    Source source = Source::Window;
    QString host, port, device;
    Action action = Action::Read;
    std::optional<QByteArray> before, sent;
    QString outcome;          // "done", "link-lost", "verify", "unfinished", ...
};

// One SQLite connection per Store, opened on first use; use a Store from one
// thread only. No call throws or waits more than a few seconds: a history that
// cannot be written makes the call fail and warns once per process.
class Store {
public:
    Store();                              // CALITUNE_HISTORY, else the application data folder
    explicit Store(const QString &path);  // a database file, or "off"
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    bool enabled() const { return !m_path.isEmpty(); }
    QString path() const { return m_path; }
    QString lastError() const { return m_error; }   // empty after a call that worked

    // While the store is off, addRead and finishWrite succeed and beginWrite
    // gives 0, all without doing anything.
    bool addRead(Source, const QString &port, const QString &device, const QByteArray &block);
    // Recorded as "unfinished" before the block transfer; 0 on failure.
    qint64 beginWrite(Source, Action, const QString &port, const QString &device,
                      const std::optional<QByteArray> &before, const QByteArray &sent);
    bool finishWrite(qint64 id, const QString &outcome);

    // Newest first; portFilter matches the port name or the device path.
    QList<Record> list(const QString &portFilter = {}, int limit = -1) const;
    std::optional<Record> find(qint64 id) const;

    // Empty restores the default: one line on stderr.
    static void setWarningSink(std::function<void(const QString &)>);

private:
    bool open() const;
    bool fail(const QString &what) const;
    qint64 insert(Source, Action, const QString &port, const QString &device,
                  const std::optional<QByteArray> &before, const std::optional<QByteArray> &sent,
                  const QString &outcome);

    QString m_path;
    QString m_connection;
    mutable bool m_open = false;
    mutable QString m_error;
};

} // namespace History
