#include "history/BackupFile.h"

#include "history/JsonKeys.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <QSaveFile>
#include <QTemporaryFile>
#endif

namespace History::BackupFile {

namespace {

const char FormatName[] = "calitune-backup";
const char Address[] = "0x0380";
constexpr int Version = 1;
constexpr int BlockSize = 16;
constexpr int MaxRadioLength = 64;

QByteArray sha256(const QByteArray &block)
{
    return QCryptographicHash::hash(block, QCryptographicHash::Sha256).toHex();
}

QByteArray quoted(const QString &text)
{
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

// The start of every file toJson writes: a file cut short after it is still ours.
QByteArray header()
{
    return QByteArray("{\n    \"format\": \"") + FormatName + "\",\n";
}

bool isHex(const QString &text, qsizetype digits)
{
    if (text.size() != digits)
        return false;
    for (const QChar c : text)
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F')))
            return false;
    return true;
}

bool isWhole(const QJsonValue &value, double low, double high)
{
    if (!value.isDouble())
        return false;
    const double v = value.toDouble();
    return v >= low && v <= high && std::floor(v) == v;
}

bool isLabel(const QJsonValue &value)
{
    const QString text = value.toString();
    if (!value.isString() || !text.isValidUtf16())
        return false;
    const QList<uint> points = text.toUcs4();
    return !points.isEmpty() && points.size() <= MaxRadioLength
           && std::all_of(points.begin(), points.end(), [](uint c) {
                  const auto category = QChar::category(char32_t(c));
                  return QChar::isPrint(char32_t(c)) && category != QChar::Separator_Line
                         && category != QChar::Separator_Paragraph;
              });
}

std::optional<Backup> refuse(QString *error, const QString &why)
{
    if (error)
        *error = why;
    return std::nullopt;
}

bool fail(QString *error, const QString &why)
{
    if (error)
        *error = why;
    return false;
}

// Each reader below gives the reason a part is refused, or nothing.

QString readFormat(const QJsonObject &top)
{
    const QJsonValue format = top.value(QLatin1String("format"));
    if (format.toString() != QLatin1String(FormatName))
        return format.isUndefined() ? QStringLiteral("not a backup file: \"format\" is missing")
                                    : QStringLiteral("not a backup file: format is not \"%1\"")
                                          .arg(QLatin1String(FormatName));
    const QJsonValue version = top.value(QLatin1String("version"));
    if (!version.isDouble())
        return QStringLiteral("\"version\" is missing or not a number");
    if (version.toDouble() != Version) {
        if (isWhole(version, Version + 1, 1e15))
            return QStringLiteral("the file is from a newer Calitune (backup version %1); "
                                  "this one reads version %2")
                .arg(version.toDouble(), 0, 'f', 0)
                .arg(Version);
        return QStringLiteral("unsupported backup version %1").arg(version.toDouble());
    }
    if (top.value(QLatin1String("address")).toString().toLower() != QLatin1String(Address))
        return QStringLiteral("the address must be %1: the file holds another part of the "
                              "radio's memory")
            .arg(QLatin1String(Address));
    return {};
}

QString readValues(const QJsonValue &valuesValue, const QByteArray &block)
{
    if (!valuesValue.isObject())
        return QStringLiteral("\"values\" is missing or not an object");
    const QJsonObject values = valuesValue.toObject();
    for (auto it = values.begin(); it != values.end(); ++it)
        if (std::find_if(ValueNames.begin(), ValueNames.end(), [&](const char *name) {
                return it.key() == QLatin1String(name);
            }) == ValueNames.end())
            return QStringLiteral("unknown value name \"%1\"").arg(it.key());
    for (int i = 0; i < PowerValueCount; ++i) {
        const QString name = QLatin1String(ValueNames[i]);
        const QJsonValue value = values.value(name);
        if (value.isUndefined())
            return QStringLiteral("value %1 is missing").arg(name);
        if (!isWhole(value, 0, 255))
            return QStringLiteral("value %1 must be a whole number from 0 to 255").arg(name);
        const int inBlock = quint8(block[i]);
        if (value.toInt() != inBlock)
            return QStringLiteral("value %1 is %2 but the block holds %3")
                .arg(name)
                .arg(value.toInt())
                .arg(inBlock);
    }
    return {};
}

QString readBlock(const QJsonObject &top, Backup &backup)
{
    const QString hex = top.value(QLatin1String("block")).toString();
    if (!isHex(hex, 2 * BlockSize))
        return QStringLiteral("the block must be %1 hex digits (%2 bytes)")
            .arg(2 * BlockSize)
            .arg(BlockSize);
    backup.block = QByteArray::fromHex(hex.toLatin1());
    const QString checksum = top.value(QLatin1String("sha256")).toString();
    if (!isHex(checksum, 64))
        return QStringLiteral("\"sha256\" is missing or not 64 hex digits");
    if (checksum.toLower().toLatin1() != sha256(backup.block))
        return QStringLiteral("the checksum does not match the block: the file is damaged or "
                              "was edited");
    return readValues(top.value(QLatin1String("values")), backup.block);
}

QString readAbout(const QJsonObject &top, Backup &backup)
{
    backup.taken = QDateTime::fromString(top.value(QLatin1String("taken")).toString(),
                                         Qt::ISODateWithMs)
                       .toUTC();
    if (!backup.taken.isValid() || backup.taken.date().year() < 1
        || backup.taken.date().year() > 9999)
        return QStringLiteral("\"taken\" is missing or not an ISO-8601 time");
    for (const char *key : {"port", "device"})
        if (!top.value(QLatin1String(key)).isString())
            return QStringLiteral("\"%1\" is missing or not text").arg(QLatin1String(key));
    backup.port = top.value(QLatin1String("port")).toString();
    backup.device = top.value(QLatin1String("device")).toString();
    const QJsonValue radio = top.value(QLatin1String("radio"));
    if (radio.isUndefined())
        return {};
    if (!isLabel(radio))
        return QStringLiteral("\"radio\" must be text of 1 to %1 printable characters")
            .arg(MaxRadioLength);
    backup.radio = radio.toString();
    return {};
}

} // namespace

QByteArray toJson(const Backup &backup)
{
    QByteArray values;
    for (int i = 0; i < PowerValueCount; ++i)
        values += QByteArray("        \"") + ValueNames[i] + "\": "
                  + QByteArray::number(i < backup.block.size() ? quint8(backup.block[i]) : 0)
                  + (i + 1 < PowerValueCount ? ",\n" : "\n");
    return header()
           + "    \"version\": " + QByteArray::number(Version) + ",\n"
           + "    \"address\": \"" + Address + "\",\n"
           + "    \"block\": \"" + backup.block.toHex() + "\",\n"
           + "    \"values\": {\n" + values + "    },\n"
           + "    \"taken\": " + quoted(backup.taken.toUTC().toString(Qt::ISODateWithMs)) + ",\n"
           + "    \"port\": " + quoted(backup.port) + ",\n"
           + "    \"device\": " + quoted(backup.device) + ",\n"
           + (backup.radio ? "    \"radio\": " + quoted(*backup.radio) + ",\n" : QByteArray())
           + "    \"fingerprint\": \"" + backup.block.mid(12, 4).toHex() + "\",\n"
           + "    \"sha256\": \"" + sha256(backup.block) + "\"\n"
           + "}\n";
}

std::optional<Backup> parse(const QByteArray &json, QString *error)
{
    QJsonParseError jsonError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &jsonError);
    if (jsonError.error != QJsonParseError::NoError)
        return refuse(error, QStringLiteral("not a backup file: not JSON (%1 at offset %2)")
                                 .arg(jsonError.errorString())
                                 .arg(jsonError.offset));
    if (!document.isObject())
        return refuse(error, QStringLiteral("not a backup file: not a JSON object"));
    if (const auto twice = JsonKeys::firstDuplicate(json))
        return refuse(error, QStringLiteral("the key \"%1\" appears twice%2: the file was edited")
                                 .arg(twice->key,
                                      twice->parent.isEmpty()
                                          ? QString()
                                          : QStringLiteral(" in \"%1\"").arg(twice->parent)));
    const QJsonObject top = document.object();
    Backup backup;
    QString why = readFormat(top);
    if (why.isEmpty())
        why = readBlock(top, backup);
    if (why.isEmpty())
        why = readAbout(top, backup);
    if (!why.isEmpty())
        return refuse(error, why);
    return backup;
}

namespace {

enum class Kind { Missing, Regular, Folder, Device, Pipe, Socket, Other };

struct Entry {
    Kind kind = Kind::Missing;
    QString error;   // set when the path could not be examined at all
};

QString kindName(Kind kind)
{
    switch (kind) {
    case Kind::Folder: return QStringLiteral("a folder");
    case Kind::Device: return QStringLiteral("a device");
    case Kind::Pipe: return QStringLiteral("a pipe (FIFO)");
    case Kind::Socket: return QStringLiteral("a socket");
    default: return QStringLiteral("not a regular file");
    }
}

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// Where path leads once every link is followed; a link to nothing leads to
// the file it names. Empty for a loop of links.
QString resolveLinks(const QString &path)
{
    QString current = QFileInfo(path).absoluteFilePath();
    for (int hops = 0; hops < 40; ++hops) {
        const QFileInfo info(current);
        if (!info.isSymLink())
            return QDir::cleanPath(current);
        current = info.symLinkTarget();
    }
    return {};
}

#ifdef Q_OS_UNIX

QString systemError(int code = errno)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

Entry entryAt(const QString &path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return errno == ENOENT ? Entry{} : Entry{Kind::Other, systemError()};
    if (S_ISREG(st.st_mode))
        return {Kind::Regular, {}};
    if (S_ISDIR(st.st_mode))
        return {Kind::Folder, {}};
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
        return {Kind::Device, {}};
    if (S_ISFIFO(st.st_mode))
        return {Kind::Pipe, {}};
    return {S_ISSOCK(st.st_mode) ? Kind::Socket : Kind::Other, {}};
}

// At most MaxFileSize + 1 bytes of a regular file; never waits on a pipe or device.
std::optional<QByteArray> readRegular(const QString &path, QString *error)
{
    const Entry entry = entryAt(path);
    if (entry.kind != Kind::Regular) {
        fail(error, entry.kind == Kind::Missing || !entry.error.isEmpty()
                        ? QStringLiteral("cannot read the file: %1")
                              .arg(entry.error.isEmpty() ? systemError(ENOENT) : entry.error)
                        : QStringLiteral("is %1, not a backup file").arg(kindName(entry.kind)));
        return std::nullopt;
    }
    // Non-blocking, in case a pipe took the file's place since the look above.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        fail(error, QStringLiteral("cannot read the file: %1").arg(systemError()));
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        fail(error, QStringLiteral("is not a regular file, not a backup file"));
        return std::nullopt;
    }
    QByteArray content(MaxFileSize + 1, Qt::Uninitialized);
    qsizetype got = 0;
    while (got < content.size()) {
        const ssize_t n = ::read(fd, content.data() + got, size_t(content.size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                break;
            const int code = errno;
            ::close(fd);
            fail(error, QStringLiteral("cannot read the file: %1").arg(systemError(code)));
            return std::nullopt;
        }
        got += n;
    }
    ::close(fd);
    content.truncate(got);
    return content;
}

// Why path may not be written over, worded to follow "is"; nothing if it may.
QString notWritable(const QString &path)
{
    if (::access(QFile::encodeName(path).constData(), W_OK) == 0)
        return {};
    if (errno == EACCES)
        return QStringLiteral("read-only");
    if (errno == EROFS)
        return QStringLiteral("on a read-only file system");
    return QStringLiteral("not writable (%1)").arg(systemError());
}

// A new file in folder under a name nobody else uses; -1 with errno on failure.
int createTemp(const QString &folder, QString *name)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        *name = QStringLiteral("%1/.calitune-%2.tmp")
                    .arg(folder)
                    .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
        const int fd = ::open(QFile::encodeName(*name).constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

QString probeFolder(const QString &folder)
{
    QString name;
    const int fd = createTemp(folder, &name);
    if (fd < 0)
        return systemError();
    ::close(fd);
    ::unlink(QFile::encodeName(name).constData());
    return {};
}

bool writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        done += n;
    }
    return true;
}

// Writes bytes to a new file beside target, with the old file's mode and owner,
// and flushes it to disk. Gives the new file's name, or nothing with the file removed.
QString writeTemp(const QString &target, const QByteArray &bytes, const struct stat *old,
                  QString *error)
{
    const QString folder = QFileInfo(target).absolutePath();
    QString temp;
    const int fd = createTemp(folder, &temp);
    if (fd < 0) {
        fail(error, QStringLiteral("cannot create a file in the folder %1: %2")
                        .arg(shown(folder), systemError()));
        return {};
    }
    if (old) {
        // Only root may give a file away; otherwise it becomes the saver's.
        const bool ownerKept = ::fchown(fd, old->st_uid, old->st_gid) == 0;
        ::fchmod(fd, old->st_mode & (ownerKept ? 07777 : 0777));
    }
    const bool written = writeAll(fd, bytes) && ::fsync(fd) == 0;
    int code = errno;
    const bool closed = ::close(fd) == 0;
    if (written && !closed)
        code = errno;
    if (written && closed)
        return temp;
    ::unlink(QFile::encodeName(temp).constData());
    fail(error, QStringLiteral("cannot write %1: %2").arg(shown(target), systemError(code)));
    return {};
}

// Makes the rename last through a power cut, where the file system allows it.
int syncFolder(const QString &folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int code = ::fsync(fd) == 0 || errno == EINVAL || errno == ENOTSUP ? 0 : errno;
    ::close(fd);
    return code;
}

// The old file at target stays as it was until bytes are on disk and read back.
bool replace(const QString &target, const QByteArray &bytes, QString *error)
{
    struct stat old {};
    const bool exists = ::stat(QFile::encodeName(target).constData(), &old) == 0;
    const QString temp = writeTemp(target, bytes, exists ? &old : nullptr, error);
    if (temp.isEmpty())
        return false;
    const QByteArray tempName = QFile::encodeName(temp);
    QString why;
    const std::optional<QByteArray> back = readRegular(temp, &why);
    if (!back || *back != bytes || !parse(*back, &why)) {
        ::unlink(tempName.constData());
        return fail(error, QStringLiteral("the new copy of %1 did not read back as written%2")
                               .arg(shown(target), why.isEmpty() ? QString() : ": " + why));
    }
    if (::rename(tempName.constData(), QFile::encodeName(target).constData()) != 0) {
        const int code = errno;
        ::unlink(tempName.constData());
        return fail(error, QStringLiteral("cannot replace %1: %2")
                               .arg(shown(target), systemError(code)));
    }
    const QString folder = QFileInfo(target).absolutePath();
    if (const int code = syncFolder(folder))
        return fail(error, QStringLiteral("%1 was written but the folder %2 could not be flushed "
                                          "to disk: %3")
                               .arg(shown(target), shown(folder), systemError(code)));
    return true;
}

#else

Entry entryAt(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return {};
    return {info.isDir() ? Kind::Folder : info.isFile() ? Kind::Regular : Kind::Other, {}};
}

std::optional<QByteArray> readRegular(const QString &path, QString *error)
{
    const Entry entry = entryAt(path);
    if (entry.kind != Kind::Regular && entry.kind != Kind::Missing) {
        fail(error, QStringLiteral("is %1, not a backup file").arg(kindName(entry.kind)));
        return std::nullopt;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        fail(error, QStringLiteral("cannot read the file: %1").arg(file.errorString()));
        return std::nullopt;
    }
    return file.read(MaxFileSize + 1);
}

QString notWritable(const QString &path)
{
    return QFileInfo(path).isWritable() ? QString() : QStringLiteral("read-only");
}

QString probeFolder(const QString &folder)
{
    QTemporaryFile probe(QDir(folder).filePath(QStringLiteral(".calitune-XXXXXX")));
    return probe.open() ? QString() : probe.errorString();
}

bool replace(const QString &target, const QByteArray &bytes, QString *error)
{
    QSaveFile file(target);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush()
        || !file.commit())
        return fail(error, QStringLiteral("cannot write %1: %2")
                               .arg(shown(target), file.errorString()));
    QString why;
    const std::optional<QByteArray> back = readRegular(target, &why);
    if (!back || *back != bytes)
        return fail(error, QStringLiteral("%1 did not read back as written%2")
                               .arg(shown(target), why.isEmpty() ? QString() : ": " + why));
    return true;
}

#endif

// A file this program wrote, even damaged or cut short, or an empty one: a
// technician replaces his own old backups without being asked.
bool isOurs(const QByteArray &content)
{
    if (content.isEmpty() || content.startsWith(header()))
        return true;
    const QJsonDocument document = QJsonDocument::fromJson(content);
    return document.isObject()
           && document.object().value(QLatin1String("format")).toString()
                  == QLatin1String(FormatName);
}

QString folderRefusal(const QString &folder)
{
    const Entry entry = entryAt(folder);
    if (!entry.error.isEmpty())
        return QStringLiteral("the folder %1 cannot be reached: %2").arg(shown(folder), entry.error);
    if (entry.kind == Kind::Missing)
        return QStringLiteral("the folder %1 does not exist").arg(shown(folder));
    if (entry.kind != Kind::Folder)
        return QStringLiteral("%1 is not a folder").arg(shown(folder));
    const QString why = probeFolder(folder);
    if (why.isEmpty())
        return {};
    return QStringLiteral("cannot write in the folder %1: %2").arg(shown(folder), why);
}

// Why the file at target, reached through path, may not be replaced, or nothing.
QString targetRefusal(const QString &path, const QString &target, bool force)
{
    const QString is = QDir::cleanPath(QFileInfo(path).absoluteFilePath()) == target
                           ? QStringLiteral("is")
                           : QStringLiteral("links to %1, which is").arg(shown(target));
    const Entry entry = entryAt(target);
    if (!entry.error.isEmpty())
        return QStringLiteral("cannot be reached: %1").arg(entry.error);
    if (entry.kind == Kind::Missing)
        return {};
    if (entry.kind != Kind::Regular)
        return QStringLiteral("%1 %2; a backup never replaces one").arg(is, kindName(entry.kind));
    if (!force) {
        QString why;
        const std::optional<QByteArray> content = readRegular(target, &why);
        if (!content)
            return QStringLiteral("cannot be read to see whether it is a backup (%1); --force "
                                  "replaces it anyway")
                .arg(why);
        if (!isOurs(*content))
            return QStringLiteral("%1 not a Calitune backup; --force replaces it").arg(is);
    }
    const QString why = notWritable(target);
    return why.isEmpty() ? why : QStringLiteral("%1 %2").arg(is, why);
}

} // namespace

bool checkOutput(const QString &path, bool force, QString *error)
{
    const QString target = resolveLinks(path);
    if (target.isEmpty())
        return fail(error, QStringLiteral("is a loop of links"));
    QString why = targetRefusal(path, target, force);
    if (why.isEmpty())
        why = folderRefusal(QFileInfo(target).absolutePath());
    return why.isEmpty() || fail(error, why);
}

bool save(const QString &path, const Backup &backup, QString *error)
{
    const QString target = resolveLinks(path);
    if (target.isEmpty())
        return fail(error, QStringLiteral("is a loop of links"));
    const Entry entry = entryAt(target);
    if (entry.kind != Kind::Missing && entry.kind != Kind::Regular)
        return fail(error, entry.error.isEmpty()
                               ? QStringLiteral("%1 is %2; a backup never replaces one")
                                     .arg(shown(target), kindName(entry.kind))
                               : QStringLiteral("cannot reach %1: %2")
                                     .arg(shown(target), entry.error));
    return replace(target, toJson(backup), error);
}

bool load(const QString &path, Backup &backup, QString *error)
{
    const std::optional<QByteArray> content = readRegular(path, error);
    if (!content)
        return false;
    if (content->size() > MaxFileSize)
        return fail(error, QStringLiteral("not a backup file: too large (over %1 KiB)")
                               .arg(MaxFileSize / 1024));
    const std::optional<Backup> parsed = parse(*content, error);
    if (parsed)
        backup = *parsed;
    return bool(parsed);
}

} // namespace History::BackupFile
