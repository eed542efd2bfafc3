#include "bench/HistoryBench.h"

#include "history/HistoryStore.h"

#include <QCoreApplication>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <vector>

namespace HistoryBench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int Records = 100000, Radios = 1000, Ports = 16, Stations = 4;
constexpr int Adds = 200;            // through the store, each one on the disk
constexpr int ChangeFeed = 10000;
constexpr double RadioGoalMs = 50;

double msOf(const std::function<void()> &work)
{
    const Clock::time_point t0 = Clock::now();
    work();
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double median(int runs, const std::function<void()> &work)
{
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i)
        ms.push_back(msOf(work));
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

QString radioLabel(int i) { return QStringLiteral("R-%1").arg(i % Radios, 4, 10, QLatin1Char('0')); }

// Record i is of radio i * 7 % Radios, whose own bytes 12-15 are its number
// in ASCII; every third record is unlabelled, as a station without a scanner
// leaves them.
History::Record sample(int i)
{
    History::Record r;
    r.port = QStringLiteral("COM%1").arg(i % Ports + 1);
    r.device = QStringLiteral("/dev/ttyUSB%1").arg(i % Ports);
    r.station = QStringLiteral("S%1").arg(i % Stations + 1);
    if (i % 3 != 0)
        r.radio = radioLabel(i * 7);
    r.action = i % 3 ? History::Action::Read : History::Action::Write;
    r.outcome = Outcome::Done;
    r.before = QStringLiteral("%1%2").arg(i, 12, 10, QLatin1Char('0')).arg(i * 7 % Radios, 4, 10, QLatin1Char('0')).toLatin1();
    return r;
}

// The rest as sample() makes them, by SQLite itself in one statement: a
// hundred thousand durable adds would take minutes and time only the disk.
void fill(const QString &path, int from)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("fill"));
    db.setDatabaseName(path);
    bool ok = db.open();
    QSqlQuery q(db);
    // Concatenated, not arg(): the SQL's own printf formats hold % signs.
    const QString n = QString::number(Records), radios = QString::number(Radios),
                  stations = QString::number(Stations), ports = QString::number(Ports);
    ok = ok && q.exec(
                   "INSERT INTO records (uid, rev, time, source, station, port, device, radio, fingerprint,"
                   " action, outcome, block_before)"
                   " WITH RECURSIVE n(i) AS (SELECT " + QString::number(from) + " UNION ALL SELECT i + 1 FROM n"
                   " WHERE i + 1 < " + n + "),"
                   " b(i, block) AS (SELECT i, CAST(printf('%012d%04d', i, i * 7 % " + radios + ") AS BLOB) FROM n)"
                   " SELECT lower(hex(randomblob(16))), i + 1,"
                   " strftime('%Y-%m-%dT%H:%M:%fZ', '2024-01-01 08:00:00', '+' || i || ' minutes'), 'cli',"
                   " 'S' || (i % " + stations + " + 1), 'COM' || (i % " + ports + " + 1), '/dev/ttyUSB' || (i % " + ports + "),"
                   " CASE WHEN i % 3 <> 0 THEN printf('R-%04d', i * 7 % " + radios + ") END,"
                   " lower(hex(substr(block, 13, 4))), CASE WHEN i % 3 <> 0 THEN 'read' ELSE 'write' END, 'done', block"
                   " FROM b");
    const QString error = q.lastError().text() + db.lastError().text();
    q = QSqlQuery();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("fill"));
    if (!ok)
        throw std::runtime_error("cannot fill the history: " + error.toStdString());
}

// The whole calitune-cli process, as a technician runs it.
double cliMs(const QString &history, const QStringList &args)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("CALITUNE_HISTORY"), history);
    p.setProcessEnvironment(env);
    p.setStandardOutputFile(QProcess::nullDevice());
    const double ms = msOf([&] {
        p.start(QCoreApplication::applicationDirPath() + QStringLiteral("/calitune-cli"), args);
        p.waitForFinished(60000);
    });
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        throw std::runtime_error("calitune-cli " + args.join(' ').toStdString() + " failed");
    return ms;
}

void row(const char *figure, double ms, const char *goal = "-", const char *met = "-")
{
    std::printf("%-40s %10.2f ms  %-10s %s\n", figure, ms, goal, met);
}

double addsMs(const QString &path)
{
    History::Store store(path);
    if (const auto prepared = store.prepare(); !prepared)
        throw std::runtime_error(prepared.text().toStdString());
    int i = 0;
    return median(Adds, [&] {
        History::Record r = sample(i++);
        if (const auto added = store.add(r); !added)
            throw std::runtime_error(added.text().toStdString());
    });
}

struct Lookups {
    double openMs, radioMs, portMs, newestMs, allMs, storyMs, feedMs;
    std::size_t storyRecords;
};

Lookups lookups(const QString &path)
{
    History::Store store(path);
    auto *random = QRandomGenerator::global();
    std::size_t seen = 0;
    const auto byRadio = [](int i) {
        History::Filter f;
        f.radio = radioLabel(i);
        return f;
    };
    Lookups l{};
    // A failed look-up ends the bench.
    const auto found = [](const History::Store::Records &records) {
        if (!records)
            throw std::runtime_error("a look-up failed: " + records.text().toStdString());
        return std::size_t(records->size());
    };
    l.openMs = msOf([&] { seen += found(store.list(byRadio(1))); });
    l.radioMs = median(101, [&] { seen += found(store.list(byRadio(random->bounded(Radios)))); });
    l.portMs = median(51, [&] {
        History::Filter f;
        f.port = QStringLiteral("COM%1").arg(random->bounded(Ports) + 1);
        f.limit = 50;
        seen += found(store.list(f));
    });
    l.newestMs = median(51, [&] {
        History::Filter f;
        f.limit = 50;
        seen += found(store.list(f));
    });
    l.allMs = median(5, [&] { seen += found(store.list()); });
    std::size_t stories = 0;
    l.storyMs = median(101, [&] { stories += found(store.story(radioLabel(random->bounded(Radios)), {})); });
    l.storyRecords = stories / 101;
    l.feedMs = median(11, [&] { seen += found(store.changedAfter(Records / 2, ChangeFeed)); });
    if (seen == 0)
        throw std::runtime_error("the look-ups found no records");
    return l;
}

struct CliFigures {
    double radioMs, allMs, storyMs;
};

CliFigures cliFigures(const QString &path)
{
    auto *random = QRandomGenerator::global();
    CliFigures c{};
    c.radioMs = median(11, [&] {
        cliMs(path, {QStringLiteral("history"), QStringLiteral("--radio"), radioLabel(random->bounded(Radios)),
                     QStringLiteral("--json")});
    });
    c.allMs = median(3, [&] { cliMs(path, {QStringLiteral("history"), QStringLiteral("--json")}); });
    c.storyMs = median(11, [&] {
        cliMs(path, {QStringLiteral("history"), QStringLiteral("--story"), radioLabel(random->bounded(Radios)),
                     QStringLiteral("--json")});
    });
    return c;
}

} // namespace

void run()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("history.db"));
    const double addMs = addsMs(path);
    fill(path, Adds);
    const Lookups l = lookups(path);
    const CliFigures cli = cliFigures(path);

    std::printf("\n%d records, %d radios, %d ports, %d stations; medians\n\n", Records, Radios,
                Ports, Stations);
    row("add(), a record's start", addMs);
    row("first look-up, opening the file", l.openMs);
    row("list({radio}), ~100 records", l.radioMs, "< 50 ms", l.radioMs < RadioGoalMs ? "yes" : "NO");
    row("list({port}, limit 50)", l.portMs);
    row("list({limit 50}), newest", l.newestMs);
    row("list(), all 100,000", l.allMs);
    std::printf("%-40s %10.2f ms  %-10s %s  (%zu records each)\n", "story(label): label and fingerprints", l.storyMs,
                "< 50 ms", l.storyMs < RadioGoalMs ? "yes" : "NO", l.storyRecords);
    row("changedAfter(rev, 10,000)", l.feedMs);
    row("calitune-cli history --radio, process", cli.radioMs, "< 50 ms", cli.radioMs < RadioGoalMs ? "yes" : "NO");
    row("calitune-cli history --json, all, process", cli.allMs);
    row("calitune-cli history --story, process", cli.storyMs);
}

} // namespace HistoryBench
