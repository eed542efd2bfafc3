// Backup files: their format, what may be written over, and what a save cut
// short leaves behind. A full disk is tested through the program (tst_edges).
#include "files/BackupFile.h"
#include "history/HistoryStore.h"
#include "files/JsonKeys.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace History;

namespace {

// The failure's text; nothing on success.
template <typename T>
QString whyNot(const Result<T, BackupFile::Error> &result)
{
    return result ? QString() : result.text();
}

const Backup Sample{QByteArray::fromHex("00ff807f0102030405060708a0b0c0d0"),
                    QDateTime(QDate(2024, 5, 17), QTime(9, 41, 7, 250), Qt::UTC), "COM3", "/dev/ttyUSB0"};

QJsonObject sampleObject()
{
    return QJsonDocument::fromJson(BackupFile::toJson(Sample)).object();
}

QByteArray jsonOf(const QJsonObject &object)
{
    return QJsonDocument(object).toJson();
}

QByteArray contentOf(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(unreadable)");
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

mode_t modeOf(const QString &path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode : 0;
}

// Runs work in a thread; should it hang reading the pipe, a writer that comes
// and goes releases it, so that a regression fails instead of stalling the suite.
bool returnsPromptly(const QString &pipe, const std::function<void()> &work)
{
    std::unique_ptr<QThread> thread(QThread::create(work));
    thread->start();
    if (thread->wait(5000))
        return true;
    const int fd = ::open(QFile::encodeName(pipe).constData(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0)
        ::close(fd);
    thread->wait();
    return false;
}

} // namespace

class TestBackupFile : public QObject {
    Q_OBJECT

private slots:
    void savesAndLoads()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("radio.json");
        const Result<void, BackupFile::Error> first = BackupFile::save(path, Sample);
        QVERIFY2(first, qPrintable(whyNot(first)));
        const mode_t mask = ::umask(0);
        ::umask(mask);
        QCOMPARE(modeOf(path) & 07777, mode_t(0666 & ~mask));   // as any program makes a file

        // Replacing keeps the old file's mode and leaves no temporary beside it.
        QVERIFY(::chmod(QFile::encodeName(path).constData(), 0640) == 0);
        Backup second = Sample;
        second.block[0] = char(0x42);
        // One character outside the basic plane: 64 characters in 65 UTF-16 units.
        second.radio = QStringLiteral("Büro \"7\" – ") + QString(52, u'x') + QStringLiteral("😀");
        QVERIFY(BackupFile::save(path, second));
        const Result<Backup, BackupFile::Error> loaded = BackupFile::load(path);
        QVERIFY2(loaded && *loaded == second, qPrintable(whyNot(loaded)));
        QCOMPARE(entries(dir.path()), QStringList{"radio.json"});
        QCOMPARE(modeOf(path) & 07777, mode_t(0640));

        // What a reader without this program finds: the time in UTC.
        QCOMPARE(QJsonDocument::fromJson(contentOf(path))["taken"].toString(), "2024-05-17T09:41:07.250Z");

        // A newer Calitune may add keys; this one reads past them.
        QJsonObject newer = sampleObject();
        newer["note"] = "left by a later version";
        const Result<Backup, BackupFile::Error> read = BackupFile::parse(jsonOf(newer));
        QVERIFY2(read, qPrintable(whyNot(read)));
    }

    void badBackupFilesAreRefusedSayingWhy()
    {
        auto with = [](const char *key, const QJsonValue &value) {
            QJsonObject o = sampleObject();
            value.isUndefined() ? void(o.remove(key)) : void(o[key] = value);
            return jsonOf(o);
        };
        auto value = [&](const char *name, const QJsonValue &v) {
            QJsonObject values = sampleObject()["values"].toObject();
            v.isUndefined() ? void(values.remove(name)) : void(values[name] = v);
            return with("values", values);
        };
        auto adding = [](const char *line, const char *before) {
            QByteArray json = BackupFile::toJson(Sample);
            return json.insert(json.indexOf(before), QByteArray(line) + ", ");
        };
        const QJsonValue gone(QJsonValue::Undefined);
        // A block one byte short whose checksum and values agree with it: only the length can tell.
        QJsonObject shortBlock = sampleObject();
        const QByteArray fifteen = Sample.block.left(15);
        shortBlock["block"] = QString::fromLatin1(fifteen.toHex());
        shortBlock["sha256"] = QString::fromLatin1(QCryptographicHash::hash(fifteen, QCryptographicHash::Sha256).toHex());
        // Byte 12 is no value: only the checksum can notice it changed.
        QString otherByte12 = sampleObject()["block"].toString();
        otherByte12.replace(24, 2, "ee");

        const struct { const char *name; QByteArray json; const char *says; } cases[] = {
            {"truncated", BackupFile::toJson(Sample).chopped(5), "not JSON"},
            {"other format", with("format", "calitune-log"), "format is not"},
            {"newer version", with("version", 2), "newer Calitune"},
            {"version 1.5", with("version", 1.5), "unsupported backup version 1.5"},
            {"other address", with("address", "0x0390"), "address must be 0x0380"},
            {"not hex", with("block", "zzff807f0102030405060708a0b0c0d0"), "32 hex digits"},
            {"15-byte block", jsonOf(shortBlock), "32 hex digits"},
            {"changed byte", with("block", otherByte12), "checksum does not match"},
            {"no checksum", with("sha256", gone), "\"sha256\" is missing"},
            {"missing value", value("L520", gone), "value L520 is missing"},
            {"unknown value", value("H500", 3), "unknown value name \"H500\""},
            {"256 on a 0 byte", value("H400", 256), "value H400 must be a whole number"},
            {"value disagrees", value("L460", 7), "value L460 is 7 but the block holds 4"},
            {"bad time", with("taken", "yesterday"), "\"taken\""},
            {"port as number", with("port", 3), "\"port\" is missing or not text"},
            {"port twice", adding("\"port\": \"COM9\"", "\"port\""), "the key \"port\" appears twice:"},
            {"value twice", adding("\"H400\": 0", "\"H400\""), "the key \"H400\" appears twice in \"values\""},
            {"empty radio", with("radio", ""), "\"radio\" must be text of 1 to 64"},
            {"long radio", with("radio", QString(65, u'x')), "\"radio\" must be text"},
            {"radio with a tab", with("radio", "A\tB"), "\"radio\" must be text"},
        };
        for (const auto &c : cases) {
            const QString error = whyNot(BackupFile::parse(c.json));
            QVERIFY2(!error.isEmpty() && error.contains(QLatin1String(c.says)),
                     qPrintable(QString("%1: %2").arg(c.name, error)));
        }

        // Padding in front of a good file: exactly the limit is read, one byte more is not.
        QTemporaryDir dir;
        const QByteArray good = BackupFile::toJson(Sample);
        const QString big = dir.filePath("big.json");
        QVERIFY(writeFile(big, QByteArray(BackupFile::MaxFileSize - good.size(), ' ') + good));
        const Result<Backup, BackupFile::Error> atLimit = BackupFile::load(big);
        QVERIFY2(atLimit, qPrintable(whyNot(atLimit)));
        QVERIFY(writeFile(big, QByteArray(BackupFile::MaxFileSize + 1 - good.size(), ' ') + good));
        QVERIFY(whyNot(BackupFile::load(big)).contains("too large"));
        QVERIFY(whyNot(BackupFile::load(dir.filePath("absent.json"))).contains("cannot read"));
        QVERIFY(*atLimit == Sample);
    }

    void repeatedKeysAreFoundAtAnyDepth()
    {
        // key nullptr: none repeated
        const struct { const char *json; const char *key; const char *parent; } cases[] = {
            {R"({"a":1,"b":{"a":2},"c":[{"a":3},{"a":4}]})", nullptr, ""},
            // Plain literals: moc misreads a backslash before a quote in a raw one.
            // {"k":"{\"k\":1,\"k\":2}","x":"k","y":["k","k"]}
            {"{\"k\":\"{\\\"k\\\":1,\\\"k\\\":2}\",\"x\":\"k\",\"y\":[\"k\",\"k\"]}", nullptr, ""},
            // {"a\\":1,"a\\\\":2,"a\"":3,"a":4}
            {"{\"a\\\\\":1,\"a\\\\\\\\\":2,\"a\\\"\":3,\"a\":4}", nullptr, ""},
            {R"({"v":{"x":1,"y":[1,{"z":0,"w":{}}],"x":2}})", "x", "v"},
            {R"({"x":{"a":1},"y":{"a":1,"b":{},"a":3}})", "a", "y"},
            {R"({"\u0061":1,"a":2})", "a", ""},
            {R"({"😀":1,"\ud83d\ude00":2})", "😀", ""},
        };
        for (const auto &c : cases) {
            const auto found = JsonKeys::firstDuplicate(c.json);
            QVERIFY2(bool(found) == bool(c.key), c.json);
            if (c.key)
                QCOMPARE(found->key + '/' + found->parent, QString::fromUtf8(c.key) + '/' + c.parent);
        }
    }

    // Neither the check nor a save waits on a pipe or replaces what is not a file;
    // loading one is refused through the program (tst_edges).
    void whatIsNotABackupIsLeftAlone()
    {
        QTemporaryDir dir;
        auto at = [&](const char *name) { return *name == '/' ? QString(name) : dir.filePath(QLatin1String(name)); };
        QVERIFY(BackupFile::save(at("mine.json"), Sample));
        QVERIFY(QDir(dir.path()).mkdir("folder"));
        QVERIFY(::mkfifo(QFile::encodeName(at("pipe")).constData(), 0600) == 0);
        QVERIFY(QFile::link("pipe", at("to-pipe")) && QFile::link("mine.json", at("to-mine"))
                && QFile::link("loop", at("loop")));
        {
            Store store(at("history.db"));
            Record read;
            QVERIFY(store.add(read));
        }
        QVERIFY(writeFile(at("empty.json"), {}) && writeFile(at("cut.json"), BackupFile::toJson(Sample).left(60)));
        QVERIFY(writeFile(at("edited.json"), BackupFile::toJson(Sample).replace("\"block\": \"00", "\"block\": \"01")));

        // What Output::check says without and with force; nullptr: it may be written.
        const struct { const char *name; const char *withoutForce; const char *withForce; } cases[] = {
            {"folder", "is a folder; a backup never replaces one", "is a folder"},
            {"pipe", "is a pipe (FIFO)", "is a pipe (FIFO)"},
            {"/dev/null", "is a device", "is a device"},
            {"loop", "is a loop of links", "is a loop of links"},
            {"nowhere/new.json", "does not exist", "does not exist"},
            {"history.db", "is not a Calitune backup; --force replaces it", nullptr},
            {"mine.json", nullptr, nullptr},
            {"to-mine", nullptr, nullptr},
            {"empty.json", nullptr, nullptr},
            {"cut.json", nullptr, nullptr},
            {"edited.json", nullptr, nullptr},
            {"new.json", nullptr, nullptr},
        };
        for (const auto &c : cases)
            for (const bool force : {false, true}) {
                const char *says = force ? c.withForce : c.withoutForce;
                QString error;
                bool allowed = false;
                QVERIFY2(returnsPromptly(at("pipe"), [&] {
                    const Result<BackupFile::Output, BackupFile::Error> checked = BackupFile::Output::check(at(c.name), force);
                    allowed = bool(checked);
                    error = whyNot(checked);
                }), c.name);
                QVERIFY2(allowed == !says && (!says || error.contains(QLatin1String(says))),
                         qPrintable(QStringLiteral("%1 (force %2): %3").arg(c.name).arg(force).arg(error)));
            }

        // Save follows a link and replaces what it leads to; the link stays.
        Backup other = Sample;
        other.radio = QStringLiteral("Truck 12");
        QVERIFY(BackupFile::save(at("to-mine"), other));
        QVERIFY(QFileInfo(at("to-mine")).isSymLink());
        QCOMPARE(contentOf(at("mine.json")), BackupFile::toJson(other));
        // Save refuses on its own what the check would have refused.
        QVERIFY(!BackupFile::save(at("to-pipe"), other) && !BackupFile::save(at("folder"), other));
        QVERIFY(S_ISFIFO(modeOf(at("pipe"))) && QDir(at("folder")).isEmpty());
    }

    // Between the check and the save the entry is swapped: for a link to a
    // user's file, for another file, or a link appears where nothing was.
    // Nothing is written through the link and nothing replaced.
    void saveReplacesOnlyTheEntryChecked()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("radio.json"), victim = dir.filePath("victim.txt");
        QVERIFY(writeFile(victim, "the user's own\n"));
        Backup other = Sample;
        other.block[0] = char(0x42);
        const std::function<void()> swaps[] = {
            [&] { QVERIFY(QFile::remove(path) && QFile::link(victim, path)); },
            [&] { QVERIFY(QFile::remove(path) && QFile::copy(victim, path)); },
            [&] { QVERIFY(QFile::link(victim, path)); },   // where there was no file
        };
        for (int i = 0; i < 3; ++i) {
            QFile::remove(path);
            if (i < 2)
                QVERIFY(BackupFile::save(path, Sample));
            Result<BackupFile::Output, BackupFile::Error> output = BackupFile::Output::check(path, false);
            QVERIFY(output);
            swaps[i]();
            const QString error = whyNot(output->save(other));
            QVERIFY2(!error.isEmpty(), qPrintable(QString::number(i)));
            QVERIFY2(error.contains("changed since it was checked"), qPrintable(error));
            QCOMPARE(contentOf(victim), "the user's own\n");
            QCOMPARE(contentOf(path), "the user's own\n");
            QCOMPARE(entries(dir.path()), QStringList({"radio.json", "victim.txt"}));
        }
    }

    // The file may not grow past 200 bytes: the first write stops part way.
    void cutShortSaveKeepsTheOldBackup()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("radio.json");
        QVERIFY(BackupFile::save(path, Sample));
        const QByteArray before = contentOf(path);
        Backup newer = Sample;
        newer.block[3] = char(0x33);
        rlimit previous {};
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &previous) == 0);
        rlimit small = previous;
        small.rlim_cur = 200;
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
        const Result<void, BackupFile::Error> result = BackupFile::save(path, newer);
        const bool saved = result.ok();
        const QString error = whyNot(result);
        ::setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, oldHandler);
        QVERIFY2(!saved, "the save reported success");
        QVERIFY2(error.contains(path) && error.contains(QString::fromLocal8Bit(std::strerror(EFBIG))), qPrintable(error));
        QCOMPARE(contentOf(path), before);
        QCOMPARE(entries(dir.path()), QStringList{"radio.json"});
    }
};

QTEST_GUILESS_MAIN(TestBackupFile)
#include "tst_backupfile.moc"
