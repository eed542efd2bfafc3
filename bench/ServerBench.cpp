#include "bench/ServerBench.h"
#include "bench/WebBench.h"

#include "history/HistoryStore.h"
#include "history/ServerHistory.h"
#include "sim/SimRadio.h"
#include "tests/PgServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <chrono>
#include <algorithm>
#include <cstdio>
#include <vector>

using namespace History;

namespace {

constexpr int UploadCount = 10000;
constexpr int FilledCount = 1000000;
constexpr int Radios = 10000;       // so a radio has about a hundred records
constexpr int LookUps = 21;

// Radio n's bytes 12-15: n, as the fill's SQL makes them too.
QByteArray ownBytes(int n)
{
    return QByteArray::fromHex(QByteArray::number(n, 16).rightJustified(8, '0'));
}

QList<Record> stationRecords()
{
    QList<Record> records;
    const QDateTime start(QDate(2026, 3, 2), QTime(8, 0), Qt::UTC);
    for (int i = 1; i <= UploadCount; ++i) {
        Record r;
        r.id = i;
        r.uid = QStringLiteral("bench/%1").arg(i);
        r.time = start.addSecs(i * 60);
        r.station = QStringLiteral("bench");
        r.port = QStringLiteral("ttyUSB%1").arg(i % 4);
        r.device = QStringLiteral("/dev/serial/by-id/usb-adapter-%1-port0").arg(i % 4);
        r.radio = QStringLiteral("R%1").arg(i % Radios);
        r.action = i % 2 ? Action::Write : Action::Read;
        r.outcome = Outcome::Done;
        r.before = QByteArray(12, char(i)) + ownBytes(i % Radios);
        if (r.action == Action::Write) {
            r.sent = r.after = QByteArray(16, char(i + 1));
            r.verified = true;
        }
        records.append(r);
    }
    return records;
}

// The rest of the million, made by the server itself; a third unlabelled,
// each radio's own bytes its number, so that its story spans both.
QString fillSql()
{
    return QStringLiteral(
        "INSERT INTO calitune.records (station, local_id, uid, time, source, port, device, radio,"
        "  action, outcome, block_before, block_sent, block_after, verified)"
        " SELECT 'station-' || (i % 40), i, 'fill/' || i,"
        "  timestamptz '2024-01-01 00:00Z' + i * interval '1 minute',"
        "  CASE WHEN i % 2 = 0 THEN 'cli' ELSE 'window' END, 'ttyUSB' || (i % 4),"
        "  '/dev/serial/by-id/usb-adapter-' || (i % 4) || '-port0',"
        "  CASE WHEN i % 3 <> 0 THEN 'R' || (i % %1) END, CASE WHEN i % 2 = 0 THEN 'read' ELSE 'write' END, 'done',"
        "  decode(lpad(to_hex(i), 24, '0') || lpad(to_hex(i % %1), 8, '0'), 'hex'),"
        "  CASE WHEN i % 2 = 1 THEN decode(md5((i + 1)::text), 'hex') END,"
        "  CASE WHEN i % 2 = 1 THEN decode(md5((i + 1)::text), 'hex') END,"
        "  CASE WHEN i % 2 = 1 THEN true END"
        " FROM generate_series(%2, %3) AS i;"
        " ANALYZE calitune.records;")
        .arg(Radios).arg(UploadCount + 1).arg(FilledCount);
}

bool timedUpload(ServerHistory &server, const QList<Record> &records, const char *what,
                 const char *goal)
{
    QElapsedTimer timer;
    timer.start();
    if (const Result<qint64, ServerError> sent = server.upload(records); !sent) {
        std::fprintf(stderr, "upload failed: %s\n", qPrintable(sent.text()));
        return false;
    }
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    std::printf("%-38s %8.0f ms %9.0f records/s %s\n", what, seconds * 1000,
                records.size() / seconds, goal);
    return true;
}

bool timedLookUps(ServerHistory &server)
{
    std::vector<double> ms;
    qsizetype found = 0;
    for (int i = 0; i < LookUps; ++i) {
        Filter filter;
        filter.radio = QStringLiteral("R%1").arg(i * 397 % Radios);
        QElapsedTimer timer;
        timer.start();
        const ServerHistory::Records records = server.list(filter);
        ms.push_back(double(timer.nsecsElapsed()) / 1e6);
        if (!records) {
            std::fprintf(stderr, "look-up failed: %s\n", qPrintable(records.text()));
            return false;
        }
        found += records->size();
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%-38s %8.1f ms %9lld records each (goal: under 100 ms)\n",
                "one radio's records, median", ms[ms.size() / 2], qlonglong(found / LookUps));
    return true;
}

bool timedStories(ServerHistory &server)
{
    std::vector<double> ms;
    qsizetype found = 0;
    for (int i = 0; i < LookUps; ++i) {
        QElapsedTimer timer;
        timer.start();
        const ServerHistory::Records story = server.story(QStringLiteral("R%1").arg(i * 397 % Radios), {});
        ms.push_back(double(timer.nsecsElapsed()) / 1e6);
        if (!story) {
            std::fprintf(stderr, "story failed: %s\n", qPrintable(story.text()));
            return false;
        }
        found += story->size();
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%-38s %8.1f ms %9lld records each (goal: under 100 ms) %s\n", "one radio's story, median",
                ms[ms.size() / 2], qlonglong(found / LookUps), ms[ms.size() / 2] < 100 ? "yes" : "NO");
    return true;
}

constexpr int Exchanges = 15;

struct Timing {
    double exchangeMs;   // spawn to the radio's exit frame
    double processMs;    // spawn to exit
};

// A write through the whole program against a paced radio, with or without
// a history server.
Timing timedWrite(SimRadio &radio, const QString &history, const QString &server, int value)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("CALITUNE_COM1"), radio.devicePath());
    env.insert(QStringLiteral("CALITUNE_HISTORY"), history);
    env.insert(QStringLiteral("CALITUNE_STATION"), QStringLiteral("bench-cli"));
    if (!server.isEmpty())
        env.insert(QStringLiteral("CALITUNE_HISTORY_SERVER"), server);
    p.setProcessEnvironment(env);
    radio.clearLog();
    const auto t0 = std::chrono::steady_clock::now();
    p.start(QCoreApplication::applicationDirPath() + QStringLiteral("/calitune-cli"),
            {QStringLiteral("write"), QStringLiteral("H400=%1").arg(value)});
    p.waitForFinished(60000);
    const auto t1 = std::chrono::steady_clock::now();
    const auto frames = radio.frames();
    if (p.exitCode() != 0 || frames.empty() || frames.back().kind != SimRadio::FrameKind::Exit)
        throw std::runtime_error("a write failed: " + p.readAllStandardError().toStdString());
    const auto ms = [&](auto t) { return std::chrono::duration<double, std::milli>(t - t0).count(); };
    return {ms(frames.back().at), ms(t1)};
}

double medianOf(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void exchangesWithServer(const QString &server)
{
    QTemporaryDir dir;
    SimRadio radio;
    radio.setPacing(true);
    radio.setMemory(0x380, QByteArray::fromHex("6022657f00056d2e7132763711223344"));
    std::vector<double> exchange[2], process[2];
    for (int i = 0; i < 2 * Exchanges; ++i) {
        const int with = i % 2;
        const Timing t = timedWrite(radio, dir.filePath(with ? "with.db" : "without.db"), with ? server : QString(),
                                    90 + i % 7);
        exchange[with].push_back(t.exchangeMs);
        process[with].push_back(t.processMs);
    }
    const double ratio = medianOf(exchange[1]) / medianOf(exchange[0]);
    std::printf("%-38s %8.1f ms exchange, %6.1f ms process\n", "calitune-cli write, no server",
                medianOf(exchange[0]), medianOf(process[0]));
    std::printf("%-38s %8.1f ms exchange, %6.1f ms process; exchange %.2fx (goal: <= 1.05x) %s\n",
                "calitune-cli write, server up", medianOf(exchange[1]), medianOf(process[1]), ratio,
                ratio <= 1.05 ? "yes" : "NO");
}

// `calitune-cli history sync` of a station's 10,000 records, as a
// technician runs it.
bool timedSync(const QString &server)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("station.db"));
    {
        Store store(path);
        (void)store.prepare();
        for (Record r : stationRecords()) {
            r.id = 0;
            r.uid.clear();
            r.station = QStringLiteral("sync-bench");
            if (!store.add(r))
                return false;
        }
    }
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("CALITUNE_HISTORY"), path);
    env.insert(QStringLiteral("CALITUNE_HISTORY_SERVER"), server);
    p.setProcessEnvironment(env);
    QElapsedTimer timer;
    timer.start();
    p.start(QCoreApplication::applicationDirPath() + QStringLiteral("/calitune-cli"),
            {QStringLiteral("history"), QStringLiteral("sync"), QStringLiteral("--json")});
    p.waitForFinished(600000);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    if (p.exitCode() != 0 || !p.readAllStandardOutput().contains("\"waiting\": 0")) {
        std::fprintf(stderr, "history sync failed: %s\n", p.readAllStandardError().constData());
        return false;
    }
    std::printf("%-38s %8.0f ms %9.0f records/s (goal: at least 5,000/s)\n", "calitune-cli history sync, 10,000",
                seconds * 1000, UploadCount / seconds);
    return true;
}

} // namespace

int ServerBench::run()
{
    PgServer pg(true);
    QString error;
    if (!pg.start(&error) || !pg.sql("CREATE DATABASE bench", "postgres", &error)) {
        std::fprintf(stderr, "cannot start PostgreSQL: %s\n", qPrintable(error));
        return 1;
    }
    Result<ServerHistory, ServerError> server = ServerHistory::connect(pg.connectionString("postgres", "bench"));
    const Result<void, ServerError> tables = server ? server->ensureSchema() : Result<void, ServerError>(server.failure());
    if (!tables) {
        std::fprintf(stderr, "%s\n", qPrintable(tables.text()));
        return 1;
    }
    std::printf("\nThe factory's history server (PostgreSQL, fsync on); medians\n\n");
    exchangesWithServer(pg.connectionString("postgres", "bench"));
    if (!timedSync(pg.connectionString("postgres", "bench")))
        return 1;
    const QList<Record> records = stationRecords();
    if (!timedUpload(*server, records, "upload 10,000 new records", "(goal: at least 5,000/s)")
        || !timedUpload(*server, records, "upload them again (all there already)", ""))
        return 1;
    QElapsedTimer timer;
    timer.start();
    if (!pg.sql(fillSql(), QStringLiteral("bench"), &error)) {
        std::fprintf(stderr, "cannot fill the table: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("%-38s %8.1f s\n", "fill to 1,000,000 records (server SQL)",
                double(timer.elapsed()) / 1000);
    const QDateTime filledUntil = QDateTime(QDate(2024, 1, 1), QTime(0, 0), Qt::UTC).addSecs(60LL * FilledCount);
    return timedLookUps(*server) && timedStories(*server)
                   && WebBench::serverRows(pg.connectionString("postgres", "bench"), filledUntil)
               ? 0
               : 1;
}
