#include "bench/WebBench.h"

#include "history/HistoryStore.h"
#include "web/FleetPage.h"
#include "web/StationsPage.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonObject>
#include <QProcess>
#include <QUrl>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <algorithm>
#include <string_view>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace WebBench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int Radios = 10000, Records = 50000, Stations = 20, Ports = 16;
constexpr double FleetGoalMs = 1000, ClientsGoalMs = 200;
constexpr int Clients = 50;
constexpr std::chrono::seconds ClientsFor{10};

double medianMs(int runs, const std::function<void()> &work)
{
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        const Clock::time_point t0 = Clock::now();
        work();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

void row(const char *figure, double ms, const char *goal = "-", const char *met = "-")
{
    std::printf("%-44s %10.1f ms  %-10s %s\n", figure, ms, goal, met);
}

// Record i: radio i % Radios, i minutes ago (so calitune-web's /stations
// sees a full week); every third
// unlabelled; values 64 to 123 as the radio's number gives them, one
// exchange in seventeen unanswered. Made by SQLite in one statement.
void fill(const QString &connection)
{
    const QString sql = QStringLiteral(
        "INSERT INTO records (uid, rev, time, source, station, port, device, radio, fingerprint, action, outcome,"
        " block_before)"
        " WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i + 1 < %1),"
        " b(i, r, block) AS (SELECT i, i % %2, CAST(char(64 + i % %2 % 60, 70 + i % %2 % 41, 64 + i % %2 % 53,"
        "  66 + i % %2 % 47, 64 + i % %2 % 59, 64 + i % %2 % 43, 64 + i % %2 % 57, 64 + i % %2 % 31,"
        "  64 + i % %2 % 37, 64 + i % %2 % 29, 64 + i % %2 % 23, 64 + i % %2 % 19) || printf('%04d', i % %2)"
        "  AS BLOB) FROM n)"
        " SELECT 'bench/' || i, i + 1, strftime('%Y-%m-%dT%H:%M:%fZ', 'now', '-' || i || ' minutes'),"
        " 'cli', 'S' || (i % %3), 'COM' || (i % %4 + 1), '/dev/ttyUSB' || (i % %4),"
        " CASE WHEN i % 3 <> 0 THEN printf('R-%05d', r) END, lower(hex(substr(block, 13, 4))), 'read',"
        " CASE WHEN i % 17 = 0 THEN 'no-reply' ELSE 'done' END, CASE WHEN i % 17 <> 0 THEN block END FROM b");
    QSqlQuery q(QSqlDatabase::database(connection));
    // arg() would take the SQL's own % signs for its markers: replaced by hand.
    QString text = sql;
    text.replace(QLatin1String("%1"), QString::number(Records)).replace(QLatin1String("%2"), QString::number(Radios));
    text.replace(QLatin1String("%3"), QString::number(Stations)).replace(QLatin1String("%4"), QString::number(Ports));
    if (!q.exec(text))
        throw std::runtime_error("cannot fill the history: " + q.lastError().text().toStdString());
}

double pageRows(const Web::Source &source, const QDateTime &now, const char *where)
{
    qsizetype radios = 0;
    const double fleetMs = medianMs(5, [&] {
        const Web::Page page = Web::fleetPage(source, {});
        if (page.status != 200)
            throw std::runtime_error("the fleet page failed: " + page.json.toObject()["error"].toString().toStdString());
        radios = page.json.toObject()["radios"].toInteger();
    });
    const double stationsMs = medianMs(21, [&] {
        if (Web::stationsPage(source, {}, now).status != 200)
            throw std::runtime_error("the stations page failed");
    });
    char figure[64];
    std::snprintf(figure, sizeof figure, "/fleet, %lld radios, %s", qlonglong(radios), where);
    row(figure, fleetMs, "< 1 s", fleetMs < FleetGoalMs ? "yes" : "NO");
    std::snprintf(figure, sizeof figure, "/stations, %s", where);
    row(figure, stationsMs);
    return fleetMs;
}

// One GET on a connection of its own, as a browser without keep-alive
// makes it; false unless the whole answer came with status 200.
bool get(const sockaddr_in &address, const char *path)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    const std::string request = std::string("GET ") + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    ok = ok && ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size());
    std::string answer;
    char buffer[16384];
    for (ssize_t n = 1; ok && n > 0;) {
        n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0)
            answer.append(buffer, std::size_t(n));
        ok = n >= 0;
    }
    if (fd >= 0)
        ::close(fd);
    return ok && answer.rfind("HTTP/1.1 200", 0) == 0;
}

struct Load {
    std::vector<double> ms;
    int errors = 0;
};

Load clients(const sockaddr_in &address, const char *path)
{
    Load load;
    std::mutex mutex;
    const Clock::time_point end = Clock::now() + ClientsFor;
    std::vector<std::thread> threads;
    for (int c = 0; c < Clients; ++c)
        threads.emplace_back([&] {
            while (Clock::now() < end) {
                const Clock::time_point t0 = Clock::now();
                const bool ok = get(address, path);
                const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
                const std::lock_guard lock(mutex);
                load.ms.push_back(ms);
                load.errors += ok ? 0 : 1;
            }
        });
    for (std::thread &t : threads)
        t.join();
    std::sort(load.ms.begin(), load.ms.end());
    return load;
}

// The built calitune-web on the history at `path`, from its first line of
// output: the address it listens on.
void clientsRow(const QString &path)
{
    const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/calitune-web");
    if (!QFileInfo(program).isExecutable()) {
        std::printf("%-44s %13s  (calitune-web is not built)\n", "50 clients on /, p99", "-");
        return;
    }
    QProcess web;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("CALITUNE_HISTORY"), path);
    web.setProcessEnvironment(env);
    web.start(program, {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")});
    while (!web.canReadLine() && web.waitForReadyRead(10000)) {
    }
    const QUrl url(QString::fromUtf8(web.readLine()).trimmed());
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(url.port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (url.port() <= 0 || !get(address, "/")) {
        web.kill();
        web.waitForFinished();
        throw std::runtime_error("calitune-web did not serve /: " + web.readAllStandardError().toStdString());
    }
    for (const char *page : {"/", "/stations"}) {
        const Load load = clients(address, page);
        const double p99 = load.ms[std::size_t(0.99 * double(load.ms.size() - 1))];
        char figure[64];
        std::snprintf(figure, sizeof figure, "%d clients on %s for %llds, p99", Clients, page,
                      qlonglong(ClientsFor.count()));
        // The goal is the home page's; /stations, counting a week of every
        // port, is shown for what it costs.
        const bool home = std::string_view(page) == "/";
        row(figure, p99, home ? "< 200 ms" : "-", home ? (p99 < ClientsGoalMs && load.errors == 0 ? "yes" : "NO") : "-");
        // A connection the listen queue dropped is tried again after 1 s: such a tail is the queue's.
        const auto slow = std::count_if(load.ms.begin(), load.ms.end(), [](double ms) { return ms >= 1000; });
        std::printf("  %zu requests, %d failed, median %.1f ms, %lld took 1 s or more\n", load.ms.size(),
                    load.errors, load.ms[load.ms.size() / 2], qlonglong(slow));
    }
    web.terminate();
    web.waitForFinished(10000);
}

} // namespace

void run()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("history.db"));
    {
        History::Store store(path);
        if (const auto prepared = store.prepare(); !prepared)
            throw std::runtime_error(prepared.text().toStdString());
    }
    const Web::Source source{QStringLiteral("web-bench"), QStringLiteral("records"), false};
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), source.connection);
        db.setDatabaseName(path);
        if (!db.open())
            throw std::runtime_error("cannot open the history: " + db.lastError().text().toStdString());
        fill(source.connection);
    }
    std::printf("\nThe web view's pages: %d records of %d radios at %d stations, %d ports each; medians\n\n",
                Records, Radios, Stations, Ports);
    pageRows(source, QDateTime::currentDateTimeUtc(), "local");
    QSqlDatabase::removeDatabase(source.connection);
    clientsRow(path);
}

bool serverRows(const QString &conninfo, const QDateTime &now)
{
    const Web::Source source{QStringLiteral("web-bench-server"), QStringLiteral("calitune.records"), true};
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), source.connection);
        db.setConnectOptions(conninfo);
        ok = db.open();
        if (!ok)
            std::fprintf(stderr, "cannot connect: %s\n", qPrintable(db.lastError().text()));
        try {
            ok = ok && pageRows(source, now, "server, 1,000,000 records") >= 0;
        } catch (const std::exception &e) {
            std::fprintf(stderr, "%s\n", e.what());
            ok = false;
        }
    }
    QSqlDatabase::removeDatabase(source.connection);
    return ok;
}

} // namespace WebBench
