// Backup files: their format, what may be written over, and what a failed
// save leaves behind (on a real small file system when run as root).
#include "history/BackupFile.h"
#include "history/HistoryStore.h"
#include "history/JsonKeys.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace History;

namespace {

Backup sampleBackup()
{
    Backup b;
    b.block = QByteArray::fromHex("00ff807f0102030405060708a0b0c0d0");
    b.taken = QDateTime(QDate(2024, 5, 17), QTime(9, 41, 7, 250), Qt::UTC);
    b.port = QStringLiteral("COM3");
    b.device = QStringLiteral("/dev/ttyUSB0");
    return b;
}

QJsonObject sampleObject()
{
    return QJsonDocument::fromJson(BackupFile::toJson(sampleBackup())).object();
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
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                  | QDir::NoDotAndDotDot);
}

mode_t modeOf(const QString &path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}

QString systemError(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
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
    void savesAndLoadsAtomically()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("radio.json"));
        const Backup original = sampleBackup();
        QString error;
        QVERIFY2(BackupFile::checkOutput(path, false, &error), qPrintable(error));
        QVERIFY2(BackupFile::save(path, original, &error), qPrintable(error));
        Backup loaded;
        QVERIFY2(BackupFile::load(path, loaded, &error), qPrintable(error));
        QVERIFY(loaded == original);
        QVERIFY(!loaded.radio);
        const mode_t mask = ::umask(0);
        ::umask(mask);
        QCOMPARE(modeOf(path), mode_t(0666 & ~mask));   // as any program makes a file

        // Replacing keeps the old file's mode and leaves no temporary beside it.
        QVERIFY(::chmod(QFile::encodeName(path).constData(), 0640) == 0);
        Backup second = original;
        second.block[0] = char(0x42);
        // One character outside the basic plane: 64 characters in 65 UTF-16 units.
        second.radio = QStringLiteral("Büro \"7\" – ") + QString(52, u'x') + QStringLiteral("😀");
        QVERIFY(BackupFile::save(path, second, &error));
        QVERIFY2(BackupFile::load(path, loaded, &error), qPrintable(error));
        QVERIFY(loaded == second);
        QCOMPARE(entries(dir.path()), QStringList{"radio.json"});
        QCOMPARE(modeOf(path), mode_t(0640));

        // What a reader without this program finds in the file.
        const QJsonObject o = QJsonDocument::fromJson(contentOf(path)).object();
        QCOMPARE(o.value("block").toString(), QString("42ff807f0102030405060708a0b0c0d0"));
        QCOMPARE(o.value("sha256").toString(),
                 QString(QCryptographicHash::hash(second.block, QCryptographicHash::Sha256).toHex()));
        QCOMPARE(o.value("taken").toString(), QString("2024-05-17T09:41:07.250Z"));
        QCOMPARE(o.value("radio").toString(), *second.radio);
        const QJsonObject values = o.value("values").toObject();
        QCOMPARE(values.size(), 12);
        QCOMPARE(values.value("H400").toInt(), 0x42);
        QCOMPARE(values.value("L400").toInt(), 255);
        QCOMPARE(values.value("L520").toInt(), 8);

        // A newer Calitune may add keys; this one reads past them.
        QJsonObject newer = sampleObject();
        newer["note"] = "left by a later version";
        QVERIFY2(BackupFile::parse(jsonOf(newer), &error), qPrintable(error));
    }

    void badBackupFilesAreRefusedSayingWhy()
    {
        auto with = [](const char *key, const QJsonValue &value) {
            QJsonObject o = sampleObject();
            if (value.isUndefined())
                o.remove(key);
            else
                o[key] = value;
            return jsonOf(o);
        };
        auto withValue = [](const char *name, const QJsonValue &value) {
            QJsonObject o = sampleObject();
            QJsonObject values = o["values"].toObject();
            if (value.isUndefined())
                values.remove(name);
            else
                values[name] = value;
            o["values"] = values;
            return jsonOf(o);
        };
        auto adding = [](const char *line, const char *before) {
            QByteArray json = BackupFile::toJson(sampleBackup());
            return json.insert(json.indexOf(before), QByteArray(line) + ", ");
        };
        const QJsonValue gone(QJsonValue::Undefined);
        // A block one byte short whose checksum and values agree with it:
        // only the length can tell.
        QJsonObject shortBlock = sampleObject();
        const QByteArray fifteen = QByteArray::fromHex(shortBlock["block"].toString().toLatin1()).left(15);
        shortBlock["block"] = QString::fromLatin1(fifteen.toHex());
        shortBlock["sha256"] = QString::fromLatin1(QCryptographicHash::hash(fifteen, QCryptographicHash::Sha256).toHex());
        // Byte 12 is no value: only the checksum can notice it changed.
        QString otherByte12 = sampleObject()["block"].toString();
        otherByte12.replace(24, 2, "ee");

        const struct {
            const char *name;
            QByteArray json;
            const char *says;
        } cases[] = {
            {"truncated", BackupFile::toJson(sampleBackup()).chopped(5), "not JSON"},
            {"array", "[1, 2]", "not a JSON object"},
            {"no format", with("format", gone), "\"format\" is missing"},
            {"other format", with("format", "calitune-log"), "format is not"},
            {"no version", with("version", gone), "\"version\" is missing"},
            {"newer version", with("version", 2), "newer Calitune"},
            {"version 1.5", with("version", 1.5), "unsupported backup version 1.5"},
            {"other address", with("address", "0x0390"), "address must be 0x0380"},
            {"short block", with("block", "00ff807f0102030405060708a0b0c0"), "32 hex digits"},
            {"not hex", with("block", "zzff807f0102030405060708a0b0c0d0"), "32 hex digits"},
            {"changed byte", with("block", otherByte12), "checksum does not match"},
            {"no checksum", with("sha256", gone), "\"sha256\" is missing"},
            {"no values", with("values", gone), "\"values\" is missing"},
            {"missing value", withValue("L520", gone), "value L520 is missing"},
            {"unknown value", withValue("H500", 3), "unknown value name \"H500\""},
            {"value 256", withValue("H440", 256), "value H440 must be a whole number"},
            {"value 256, its byte 0", withValue("H400", 256), "value H400 must be a whole number"},
            {"15-byte block", jsonOf(shortBlock), "32 hex digits"},
            {"value disagrees", withValue("L460", 7), "value L460 is 7 but the block holds 4"},
            {"bad time", with("taken", "yesterday"), "\"taken\""},
            {"port as number", with("port", 3), "\"port\" is missing or not text"},
            {"port twice", adding("\"port\": \"COM9\"", "\"port\""), "the key \"port\" appears twice:"},
            {"value twice", adding("\"H400\": 0", "\"H400\""),
             "the key \"H400\" appears twice in \"values\""},
            {"empty radio", with("radio", ""), "\"radio\" must be text of 1 to 64"},
            {"long radio", with("radio", QString(65, u'x')), "\"radio\" must be text"},
            {"radio with a tab", with("radio", "A\tB"), "\"radio\" must be text"},
            {"radio as number", with("radio", 7), "\"radio\" must be text"},
            {"radio null", with("radio", QJsonValue::Null), "\"radio\" must be text"},
        };
        for (const auto &c : cases) {
            QString error;
            const std::optional<Backup> b = BackupFile::parse(c.json, &error);
            QVERIFY2(!b, c.name);
            QVERIFY2(error.contains(QLatin1String(c.says)),
                     qPrintable(QString("%1: %2").arg(c.name, error)));
        }

        QTemporaryDir dir;
        Backup untouched = sampleBackup();
        QString error;
        QVERIFY(!BackupFile::load(dir.filePath("absent.json"), untouched, &error));
        QVERIFY2(error.contains("cannot read"), qPrintable(error));
        // Padding in front of a good file: exactly the limit is read, one byte more is not.
        const QByteArray good = BackupFile::toJson(sampleBackup());
        const QString big = dir.filePath("big.json");
        QVERIFY(writeFile(big, QByteArray(BackupFile::MaxFileSize - good.size(), ' ') + good));
        QVERIFY2(BackupFile::load(big, untouched, &error), qPrintable(error));
        QVERIFY(writeFile(big, QByteArray(BackupFile::MaxFileSize + 1 - good.size(), ' ') + good));
        QVERIFY(!BackupFile::load(big, untouched, &error));
        QVERIFY2(error.contains("too large"), qPrintable(error));
        QVERIFY(untouched == sampleBackup());
    }

    void repeatedKeysAreFoundAtAnyDepth()
    {
        const struct {
            const char *json;
            const char *key;   // nullptr: none repeated
            const char *parent;
        } cases[] = {
            {R"({"a":1,"b":{"a":2},"c":[{"a":3},{"a":4}]})", nullptr, ""},
            // Plain literals: moc misreads a backslash before a quote in a raw one.
            // {"k":"{\"k\":1,\"k\":2}","x":"k","y":["k","k"]}
            {"{\"k\":\"{\\\"k\\\":1,\\\"k\\\":2}\",\"x\":\"k\",\"y\":[\"k\",\"k\"]}", nullptr, ""},
            // {"a\\":1,"a\\\\":2,"a\"":3,"a":4}
            {"{\"a\\\\\":1,\"a\\\\\\\\\":2,\"a\\\"\":3,\"a\":4}", nullptr, ""},
            {R"({"a":1,"a":1})", "a", ""},
            {R"({"b":1,"a":[],"a":{},"b":2})", "a", ""},
            {R"({"v":{"x":1,"y":[1,{"z":0,"w":{}}],"x":2}})", "x", "v"},
            {R"({"list":[{"id":1},{"id":2,"id":3}]})", "id", "list"},
            {R"([{"a":1},{"a":1,"a":2}])", "a", ""},
            {R"({"x":{"a":1},"y":{"a":1,"b":{},"a":3}})", "a", "y"},
            {R"({"\u0061":1,"a":2})", "a", ""},
            {R"({"é":1,"\u00e9":2})", "é", ""},
            {R"({"😀":1,"\ud83d\ude00":2})", "😀", ""},
            {R"({"":1, "" : 2})", "", ""},
        };
        for (const auto &c : cases) {
            QVERIFY2(!QJsonDocument::fromJson(c.json).isNull(), c.json);
            const auto found = JsonKeys::firstDuplicate(c.json);
            QVERIFY2(bool(found) == bool(c.key), c.json);
            if (c.key) {
                QCOMPARE(found->key, QString::fromUtf8(c.key));
                QCOMPARE(found->parent, QString::fromUtf8(c.parent));
            }
        }
    }

    void loadRefusesWhatIsNotAFileWithoutWaiting()
    {
        QTemporaryDir dir;
        const QString pipe = dir.filePath("pipe");
        QVERIFY(::mkfifo(QFile::encodeName(pipe).constData(), 0600) == 0);
        const QString link = dir.filePath("link.json");
        QVERIFY(QFile::link(pipe, link));
        const struct {
            QString path;
            const char *says;
        } cases[] = {
            {pipe, "is a pipe (FIFO), not a backup file"},
            {link, "is a pipe (FIFO), not a backup file"},
            {dir.path(), "is a folder, not a backup file"},
            {"/dev/null", "is a device, not a backup file"},
        };
        for (const auto &c : cases) {
            Backup untouched = sampleBackup();
            QString error;
            bool loaded = true;
            const auto work = [&] { loaded = BackupFile::load(c.path, untouched, &error); };
            QVERIFY2(returnsPromptly(pipe, work), qPrintable(c.path + " kept load waiting"));
            QVERIFY2(!loaded && error == QLatin1String(c.says), qPrintable(c.path + ": " + error));
            QVERIFY(untouched == sampleBackup());
        }
    }

    void outputCheckKeepsWhatIsNotABackup()
    {
        QTemporaryDir dir;
        auto at = [&](const char *name) { return dir.filePath(QLatin1String(name)); };
        const Backup backup = sampleBackup();
        QString error;
        QVERIFY(BackupFile::save(at("mine.json"), backup, &error));
        QVERIFY(QDir(dir.path()).mkdir("folder"));
        QVERIFY(::mkfifo(QFile::encodeName(at("pipe")).constData(), 0600) == 0);
        QVERIFY(QFile::link("folder", at("to-folder")) && QFile::link("pipe", at("to-pipe"))
                && QFile::link("/dev/null", at("to-null")) && QFile::link("mine.json", at("to-mine"))
                && QFile::link("loop", at("loop")));
        {
            Store store(at("history.db"));
            Record read;
            read.before = backup.block;
            QVERIFY(store.add(read));
        }
        QVERIFY(writeFile(at("empty.json"), {}));
        QVERIFY(writeFile(at("cut.json"), BackupFile::toJson(backup).left(60)));
        QVERIFY(writeFile(at("edited.json"), BackupFile::toJson(backup).replace("COM3", "COM4")
                                                 .replace("\"block\": \"00", "\"block\": \"01")));

        const struct {
            const char *name;
            const char *withoutForce;   // nullptr: may be written
            const char *withForce;
        } cases[] = {
            {"folder", "is a folder; a backup never replaces one", "is a folder"},
            {"to-folder", "which is a folder; a backup never replaces one", "which is a folder"},
            {"pipe", "is a pipe (FIFO)", "is a pipe (FIFO)"},
            {"to-pipe", "which is a pipe (FIFO)", "which is a pipe (FIFO)"},
            {"to-null", "links to /dev/null, which is a device", "which is a device"},
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
                error.clear();
                bool allowed = false;
                QVERIFY2(returnsPromptly(at("pipe"), [&] {
                             allowed = BackupFile::checkOutput(at(c.name), force, &error);
                         }),
                         c.name);
                QVERIFY2(allowed == !says && (!says || error.contains(QLatin1String(says))),
                         qPrintable(QStringLiteral("%1 (force %2): %3")
                                        .arg(c.name)
                                        .arg(force)
                                        .arg(error)));
            }

        // Save follows a link and replaces what it leads to; the link stays.
        Backup other = backup;
        other.radio = QStringLiteral("Truck 12");
        QVERIFY2(BackupFile::save(at("to-mine"), other, &error), qPrintable(error));
        QVERIFY(QFileInfo(at("to-mine")).isSymLink());
        QCOMPARE(contentOf(at("mine.json")), BackupFile::toJson(other));
        // Save refuses on its own what the check would have refused.
        QVERIFY(!BackupFile::save(at("to-null"), other, &error));
        QVERIFY2(error.contains("/dev/null is a device"), qPrintable(error));
        QVERIFY(QFileInfo("/dev/null").exists() && !QFileInfo("/dev/null").isFile());
        QVERIFY(!BackupFile::save(at("to-pipe"), other, &error));
        QVERIFY(!BackupFile::save(at("folder"), other, &error));
        QVERIFY(QDir(at("folder")).isEmpty());
    }

    void failedSavesKeepTheOldBackup()
    {
        const Backup older = sampleBackup();
        Backup newer = older;
        newer.block[3] = char(0x33);
        auto saveFails = [&](const QString &path, const Backup &backup, int code, QStringList files) {
            const QByteArray before = contentOf(path);
            QString error;
            QVERIFY2(!BackupFile::save(path, backup, &error), "the save reported success");
            QVERIFY2(error.contains(path) && error.contains(systemError(code)), qPrintable(error));
            QCOMPARE(contentOf(path), before);
            files.sort();
            QCOMPARE(entries(QFileInfo(path).path()), files);
        };

        {   // The file may not grow past 200 bytes: the first write stops part way.
            QTemporaryDir dir;
            const QString path = dir.filePath("radio.json");
            QVERIFY(BackupFile::save(path, older, nullptr));
            rlimit previous {};
            QVERIFY(::getrlimit(RLIMIT_FSIZE, &previous) == 0);
            const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
            rlimit small = previous;
            small.rlim_cur = 200;
            QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
            {
                const auto restore = qScopeGuard([&] {
                    ::setrlimit(RLIMIT_FSIZE, &previous);
                    std::signal(SIGXFSZ, oldHandler);
                });
                saveFails(path, newer, EFBIG, {"radio.json"});
                if (QTest::currentTestFailed())
                    return;
            }
        }

        QTemporaryDir dir;
        const QString mountPoint = dir.filePath("small");
        QVERIFY(QDir(dir.path()).mkdir("small"));
        if (::mount("tmpfs", QFile::encodeName(mountPoint).constData(), "tmpfs", 0, "size=64k") != 0)
            QSKIP(qPrintable("cannot mount a small file system to fill (" + systemError(errno)
                             + "); run as root to test a full disk"));
        const auto unmount = qScopeGuard(
            [&] { ::umount2(QFile::encodeName(mountPoint).constData(), MNT_DETACH); });
        const QString path = mountPoint + "/radio.json";
        QVERIFY(BackupFile::save(path, older, nullptr));
        QFile filler(mountPoint + "/filler");
        QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        const QByteArray page(4096, 'f');
        while (filler.write(page) == page.size()) {
        }
        saveFails(path, newer, ENOSPC, {"filler", "radio.json"});
        if (QTest::currentTestFailed())
            return;

        // One page free: a file of two pages starts to be written, then the disk is full.
        QVERIFY(filler.resize(filler.size() - page.size()));
        Backup large = newer;
        large.device = QString(6000, u'd');
        saveFails(path, large, ENOSPC, {"filler", "radio.json"});
        if (QTest::currentTestFailed())
            return;

        QVERIFY(filler.resize(0));
        QString error;
        QVERIFY2(BackupFile::save(path, large, &error), qPrintable(error));
        Backup loaded;
        QVERIFY(BackupFile::load(path, loaded, &error) && loaded == large);

        // Read-only: the old backup, and the folder for a new one.
        filler.close();
        QVERIFY(::mount("tmpfs", QFile::encodeName(mountPoint).constData(), "tmpfs",
                        MS_REMOUNT | MS_RDONLY, "size=64k") == 0);
        QVERIFY(!BackupFile::checkOutput(path, true, &error));
        QCOMPARE(error, QStringLiteral("is on a read-only file system"));
        QVERIFY(!BackupFile::checkOutput(mountPoint + "/new.json", true, &error));
        QVERIFY2(error.contains(mountPoint) && error.contains(systemError(EROFS)), qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(TestBackupFile)
#include "tst_backupfile.moc"
