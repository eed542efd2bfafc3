// The web view's station and fleet pages, called directly on a history the
// test fills: the cable rule, the fleet's quartiles and outliers against
// figures worked out by hand, hostile texts, bad parameters, and the same
// answers from a real PostgreSQL server.

#include "history/HistorySchema.h"
#include "history/ServerHistory.h"
#include "tests/PgServer.h"
#include "web/Csv.h"
#include "web/FleetPage.h"
#include "web/StationsPage.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

using namespace History;

namespace {

const QDateTime Now(QDate(2026, 12, 8), QTime(14, 0), Qt::UTC);

Record exchange(const QString &station, const QString &port, History::State outcome, qint64 minutesAgo)
{
    Record r;
    std::tie(r.station, r.port, r.device, r.outcome) = std::tuple(station, port, "/dev/" + port, outcome);
    r.time = Now.addSecs(-60 * minutesAgo);
    return r;
}

// H400 is `h400`, the other eleven values `rest`; bytes 12-15 are `own`.
QByteArray blockOf(int h400, int rest, quint32 own)
{
    QByteArray b(12, char(rest));
    b[0] = char(h400);
    return b + QByteArray::fromHex(QByteArray::number(own, 16).rightJustified(8, '0'));
}

Record read(const std::optional<QString> &label, const QByteArray &block, qint64 minutesAgo)
{
    Record r = exchange("S1", "COM1", Outcome::Done, minutesAgo);
    std::tie(r.radio, r.before) = std::tuple(label, block);
    return r;
}

QVariant bytes(const std::optional<QByteArray> &b) { return b ? QVariant(*b) : QVariant(QMetaType::fromType<QByteArray>()); }

QJsonObject rowOf(const Web::Page &page, const QString &station, const QString &port)
{
    for (const QJsonValue &row : page.json[QStringLiteral("rows")].toArray())
        if (row[QStringLiteral("station")] == station && row[QStringLiteral("port")] == port)
            return row.toObject();
    return {};
}

QList<int> counts(const QJsonObject &row, const char *span)
{
    const QJsonObject c = row[QLatin1String(span)].toObject();
    return {c["done"].toInt(), c["no-reply"].toInt(), c["link-lost"].toInt(), c["other"].toInt(), c["all"].toInt()};
}

const QString Hostile = QStringLiteral("<b id=x>SN</b>&\"");

// Ten radios whose H400 are 100 to 108 and 200, every other value 50, with
// records that must not count: an older block, a failed write, a read-back
// that differs from what was sent, a fingerprint that a label already names.
QList<Record> fleetRecords()
{
    QList<Record> records;
    for (int i = 0; i < 8; ++i)
        records << read("R" + QString::number(i), blockOf(100 + i, 50, i), 100);
    records << read("R1", blockOf(10, 50, 1), 200);   // older
    Record failed = read("R2", blockOf(102, 50, 2), 50);
    std::tie(failed.action, failed.outcome, failed.sent) = std::tuple(Action::Write, Outcome::NoReply, blockOf(250, 50, 2));
    Record mismatch = read("R3", blockOf(1, 50, 3), 50);
    std::tie(mismatch.action, mismatch.outcome, mismatch.sent, mismatch.after) =
        std::tuple(Action::Write, Outcome::VerifyMismatch, blockOf(240, 50, 3), blockOf(103, 50, 3));
    records << failed << mismatch << read(std::nullopt, blockOf(0, 50, 4), 10)   // R4 before its label
            << read(std::nullopt, blockOf(108, 50, 10), 100) << read(Hostile, blockOf(200, 50, 11), 100);
    return records;
}

} // namespace

class TestWebPages : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    int m_databases = 0;

    // A new local history holding `records`.
    Web::Source local(const QList<Record> &records)
    {
        const QString name = QStringLiteral("local-%1").arg(++m_databases);
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(m_dir.filePath(name + ".db"));
        QSqlError error;
        if (!db.open() || !db.transaction() || !Schema::create(db, error))
            qFatal("cannot make a history: %s", qPrintable(error.text() + db.lastError().text()));
        QSqlQuery q(db);
        q.prepare("INSERT INTO records (uid, rev, time, source, station, port, device, radio, fingerprint, action,"
                  " outcome, block_before, block_sent, block_after) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
        int rev = 0;
        for (const Record &r : records) {
            for (const QVariant &v : QVariantList{QString::number(++rev), rev, r.time.toString(Qt::ISODateWithMs),
                                                  sourceName(r.source), r.station, r.port, r.device,
                                                  r.radio ? QVariant(*r.radio) : QVariant(QMetaType::fromType<QString>()),
                                                  fingerprintOf(r) ? QVariant(*fingerprintOf(r)) : QVariant(QMetaType::fromType<QString>()),
                                                  actionName(r.action), OutcomeName(r.outcome), bytes(r.before),
                                                  bytes(r.sent), bytes(r.after)})
                q.addBindValue(v);
            if (!q.exec())
                qFatal("cannot add a record: %s", qPrintable(q.lastError().text()));
        }
        db.commit();
        return {name, QStringLiteral("records"), false};
    }

private slots:
    void cableFlag_data()
    {
        QTest::addColumn<int>("portAll");
        QTest::addColumn<int>("portFailures");
        QTest::addColumn<int>("othersAll");
        QTest::addColumn<int>("othersFailures");
        QTest::addColumn<bool>("flagged");
        QTest::newRow("stands out") << 20 << 8 << 40 << 2 << true;
        QTest::newRow("too few exchanges") << 9 << 9 << 40 << 0 << false;
        QTest::newRow("no other port to compare") << 20 << 10 << 0 << 0 << false;
        QTest::newRow("other ports too few") << 20 << 10 << 9 << 0 << false;
        QTest::newRow("under the floor") << 20 << 3 << 40 << 0 << false;
        QTest::newRow("exactly twice the others") << 20 << 8 << 40 << 8 << false;
        QTest::newRow("the whole station fails") << 20 << 10 << 40 << 16 << false;
    }

    void cableFlag()
    {
        QFETCH(int, portAll);
        QFETCH(int, portFailures);
        QFETCH(int, othersAll);
        QFETCH(int, othersFailures);
        QFETCH(bool, flagged);
        QList<Record> records;
        // Failures alternate between no reply and a lost link; both count.
        for (int i = 0; i < portAll; ++i)
            records << exchange("S1", "COM1", i >= portFailures ? Outcome::Done : i % 2 ? Outcome::NoReply : Outcome::LinkLost, 60 * i);
        for (int i = 0; i < othersAll; ++i)
            records << exchange("S1", "COM" + QString::number(2 + i % 3), i < othersFailures ? Outcome::NoReply : Outcome::Done, 60 * i);
        const Web::Page page = Web::stationsPage(local(records), {}, Now);
        QCOMPARE(page.status, 200);
        QCOMPARE(rowOf(page, "S1", "COM1")["flagged"].toBool(), flagged);
        QCOMPARE(page.html.contains("failing cable?"), flagged);
        QCOMPARE(page.csv.contains(",\"yes\"\r\n"), flagged);
    }

    // The day and the week end at `now` or at `at`; outcomes other than
    // done, no-reply and link-lost count as other.
    void stationsDayAndWeek()
    {
        QList<Record> records;
        for (History::State o : {History::State(Outcome::Done), History::State(Outcome::Done), History::State(Outcome::NoReply),
                                History::State(Outcome::LinkLost), History::State(Outcome::VerifyMismatch), History::Unfinished})
            records << exchange("S1", "COM1", o, 30);
        for (Outcome o : {Outcome::Done, Outcome::Done, Outcome::Done, Outcome::NoReply})
            records << exchange("S1", "COM1", o, 3 * 24 * 60 - 60);
        for (int i = 0; i < 5; ++i)
            records << exchange("S1", "COM1", Outcome::Done, 8 * 24 * 60);
        records << exchange("S1", "COM1", Outcome::Done, -60) << exchange("S2", "COM9", Outcome::Done, 1);
        const Web::Source source = local(records);

        Web::Page page = Web::stationsPage(source, {}, Now);
        QCOMPARE(page.json["rows"].toArray().size(), 2);
        QCOMPARE(counts(rowOf(page, "S1", "COM1"), "day"), QList<int>({2, 1, 1, 2, 6}));
        QCOMPARE(counts(rowOf(page, "S1", "COM1"), "week"), QList<int>({5, 2, 1, 2, 10}));
        QCOMPARE(page.csv.count("\r\n"), 3);

        page = Web::stationsPage(source, QUrlQuery("at=2026-12-06T15:00:00%2B01:00&station=S1"), Now);
        QCOMPARE(page.json["rows"].toArray().size(), 1);
        QCOMPARE(counts(rowOf(page, "S1", "COM1"), "day"), QList<int>({3, 1, 0, 0, 4}));
        QCOMPARE(counts(rowOf(page, "S1", "COM1"), "week"), QList<int>({8, 1, 0, 0, 9}));

        QCOMPARE(Web::stationsPage(local({}), {}, Now).html.contains("No exchanges in the week"), true);
    }

    void badParametersGive400()
    {
        const Web::Source source = local({});
        for (const char *query : {"at=yesterday", "at=2026-13-01T00:00:00Z"})
            QCOMPARE(Web::stationsPage(source, QUrlQuery(query), Now).status, 400);
        for (const char *query : {"far=abc", "far=0", "far=-1", "far=nan", "far=1e9"})
            QCOMPARE(Web::fleetPage(source, QUrlQuery(query)).status, 400);
        const Web::Page page = Web::fleetPage(source, QUrlQuery("far=%3Cscript%3E"));
        QVERIFY(page.html.contains("&lt;script&gt;") && !page.html.contains("<script>"));
    }

    void fleetSpreadAndOutliers()
    {
        const Web::Source source = local(fleetRecords());
        Web::Page page = Web::fleetPage(source, {});
        QCOMPARE(page.status, 200);
        QCOMPARE(page.json["radios"].toInt(), 10);
        const QJsonObject h400 = page.json["values"][0].toObject(), l400 = page.json["values"][1].toObject();
        QCOMPARE(h400, QJsonObject({{"value", "H400"}, {"radios", 10}, {"min", 100}, {"q1", 102.25},
                                    {"median", 104.5}, {"q3", 106.75}, {"max", 200}}));
        QCOMPARE(l400["min"].toDouble(), 50.0);
        QCOMPARE(l400["max"].toDouble(), 50.0);
        // 200 lies above 106.75 + 3 * 4.5; equal values (IQR 0) list none.
        QCOMPARE(page.json["outliers"].toArray().size(), 1);
        QCOMPARE(page.json["outliers"][0]["radio"].toString(), Hostile);
        QCOMPARE(page.json["outliers"][0]["value"].toString(), "H400");
        QVERIFY(page.html.contains("<title>H400: least 100, lower quartile 102.25, median 104.5, upper quartile"
                                   " 106.75, greatest 200 (10 radios)</title>"));
        QVERIFY(page.html.contains("<a href=\"/radio?id=" + QUrl::toPercentEncoding(Hostile) + "\">"
                                   "&lt;b id=x&gt;SN&lt;/b&gt;&amp;&quot;</a>"));
        QVERIFY(!page.html.contains("<b id=x>"));
        QCOMPARE(page.csv.section("\r\n", 1, 1), "\"H400\",\"10\",\"100\",\"102.25\",\"104.5\",\"106.75\",\"200\"");

        QVERIFY(Web::latestBlocks(source)->size() == 10);
        QCOMPARE(Web::fleetPage(source, QUrlQuery("far=30")).json["outliers"].toArray().size(), 0);
    }

    void fleetEdges_data()
    {
        QTest::addColumn<QList<Record>>("records");
        QTest::addColumn<int>("radios");
        QTest::addColumn<double>("value");
        QTest::newRow("no radios") << QList<Record>() << 0 << 0.0;
        QTest::newRow("one radio") << QList<Record>{read("R1", blockOf(90, 60, 1), 5)} << 1 << 90.0;
        QList<Record> equal;
        for (int i = 0; i < 5; ++i)
            equal << read("R" + QString::number(i), blockOf(90, 60, i), 5);
        QTest::newRow("all equal") << equal << 5 << 90.0;
    }

    void fleetEdges()
    {
        QFETCH(QList<Record>, records);
        QFETCH(int, radios);
        QFETCH(double, value);
        const Web::Page page = Web::fleetPage(local(records), {});
        QCOMPARE(page.status, 200);
        QCOMPARE(page.json["radios"].toInt(), radios);
        for (const char *figure : {"min", "q1", "median", "q3", "max"})
            QCOMPARE(page.json["values"][0][figure].toDouble(), value);
        QCOMPARE(page.json["outliers"].toArray().size(), 0);
        QCOMPARE(page.html.contains(">no data</text>"), radios == 0);
        QCOMPARE(page.csv.count("\r\n"), 13);
    }

    void hostileTextsEscaped()
    {
        QList<Record> records;
        for (const char *port : {"=cmd|' /C calc'!A0", "<img src=x onerror=alert(1)>"})
            records << exchange(Hostile, port, Outcome::Done, 5);
        const Web::Page page = Web::stationsPage(local(records), {}, Now);
        QVERIFY(!page.html.contains("<b id=x>") && !page.html.contains("<img"));
        QVERIFY(page.html.contains("&lt;b id=x&gt;SN&lt;/b&gt;&amp;&quot;"));
        QVERIFY(page.html.contains("href=\"/?q=%3Cb%20id%3Dx%3ESN%3C%2Fb%3E%26%22\""));
        QVERIFY(page.csv.contains("\"<b id=x>SN</b>&\"\"\",\"'=cmd|' /C calc'!A0\""));
        QCOMPARE(Web::csvLine({"-1+2", "+x", "@SUM(A1)", "\tx", "a,\"b\"", "4"}),
                 "\"'-1+2\",\"'+x\",\"'@SUM(A1)\",\"'\tx\",\"a,\"\"b\"\"\",\"4\"\r\n");
    }

    // The server's SQL reads the same records as the local history's.
    void serverAgreesWithLocal()
    {
        if (!QSqlDatabase::isDriverAvailable("QPSQL") || PgServer::binDir().isEmpty())
            QSKIP("PostgreSQL or Qt's QPSQL driver is not installed (scripts/setup test installs both)");
        PgServer pg;
        QString error;
        QVERIFY2(pg.start(&error) && pg.sql("CREATE DATABASE pages", "postgres", &error), qPrintable(error));
        QList<Record> records = fleetRecords();
        for (int i = 0; i < 30; ++i)
            records << exchange("S2", "COM" + QString::number(i % 3), i % 3 == 0 && i < 12 ? Outcome::LinkLost : Outcome::Done, 97 * i);
        for (qsizetype i = 0; i < records.size(); ++i)
            std::tie(records[i].id, records[i].uid) = std::tuple(i + 1, "t/" + QString::number(i + 1));
        {
            Result<ServerHistory, ServerError> server = ServerHistory::connect(pg.connectionString("postgres", "pages"));
            const Result<qint64, ServerError> sent = server ? server->upload(records) : server.failure();
            QVERIFY2(sent, qPrintable(sent ? QString() : sent.text()));
        }
        const Web::Source server{"pages-server", "calitune.records", true};
        QSqlDatabase db = QSqlDatabase::addDatabase("QPSQL", server.connection);
        db.setConnectOptions(pg.connectionString("postgres", "pages"));
        QVERIFY2(db.open(), qPrintable(db.lastError().text()));
        const Web::Source mine = local(records);
        const Web::Page stations = Web::stationsPage(server, {}, Now);
        QCOMPARE(stations.status, 200);
        QCOMPARE(stations.json, Web::stationsPage(mine, {}, Now).json);
        QVERIFY(rowOf(stations, "S2", "COM0")["flagged"].toBool());
        const Web::Page fleet = Web::fleetPage(server, {});
        QCOMPARE(fleet.json["radios"].toInt(), 10);
        QCOMPARE(fleet.json, Web::fleetPage(mine, {}).json);
    }
};

QTEST_GUILESS_MAIN(TestWebPages)
#include "tst_webpages.moc"
