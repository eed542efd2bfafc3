#include "files/BackupFile.h"

#include "files/Json.h"
#include "files/JsonKeys.h"
#include "files/RadioLabel.h"

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

QByteArray sha256(const QByteArray &block)
{
    return QCryptographicHash::hash(block, QCryptographicHash::Sha256).toHex();
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
    if (!radio.isString() || !IsRadioLabel(radio.toString()))
        return QStringLiteral("\"radio\" must be text of 1 to %1 printable characters")
            .arg(MaxRadioLabelLength);
    backup.radio = radio.toString();
    return {};
}

} // namespace

QByteArray toJson(const Backup &backup)
{
    Json::Object values;
    for (int i = 0; i < PowerValueCount; ++i)
        values.add(QLatin1String(ValueNames[i]), i < backup.block.size() ? quint8(backup.block[i]) : 0);
    Json::Object file;
    file.add(QStringLiteral("format"), QLatin1String(FormatName))
        .add(QStringLiteral("version"), Version)
        .add(QStringLiteral("address"), QLatin1String(Address))
        .add(QStringLiteral("block"), QString::fromLatin1(backup.block.toHex()))
        .add(QStringLiteral("values"), values)
        .add(QStringLiteral("taken"), backup.taken.toUTC().toString(Qt::ISODateWithMs))
        .add(QStringLiteral("port"), backup.port)
        .add(QStringLiteral("device"), backup.device);
    if (backup.radio)
        file.add(QStringLiteral("radio"), *backup.radio);
    return file.add(QStringLiteral("fingerprint"), QString::fromLatin1(backup.block.mid(12, 4).toHex()))
               .add(QStringLiteral("sha256"), QString::fromLatin1(sha256(backup.block)))
               .toIndented()
           + '\n';
}

Result<Backup, Error> parse(const QByteArray &json)
{
    const Result<QJsonObject, JsonKeys::Refusal> object = JsonKeys::objectIn(json);
    if (!object)
        return Failure{Error::NotABackup, QStringLiteral("not a backup file: ") + object.text()};
    if (const auto twice = JsonKeys::firstDuplicate(json))
        return Failure{Error::NotABackup, QStringLiteral("the key \"%1\" appears twice%2: the file was edited")
                                 .arg(twice->key,
                                      twice->parent.isEmpty()
                                          ? QString()
                                          : QStringLiteral(" in \"%1\"").arg(twice->parent))};
    const QJsonObject &top = *object;
    Backup backup;
    QString why = readFormat(top);
    if (why.isEmpty())
        why = readBlock(top, backup);
    if (why.isEmpty())
        why = readAbout(top, backup);
    if (!why.isEmpty())
        return Failure{Error::NotABackup, why};
    return backup;
}

namespace {

// What a file held, when it parsed as a backup.
std::optional<Backup> replaced(const QByteArray &content)
{
    Result<Backup, Error> backup = parse(content);
    return backup ? std::optional(std::move(backup).value()) : std::nullopt;
}

enum class Kind { Missing, Regular, Folder, Device, Pipe, Socket, Link, Other };

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

// What a check found at the target.
struct Found {
    Kind kind = Kind::Missing;
    QString error;                      // the entry could not be examined
    std::optional<QByteArray> content;  // a regular file's, when it could be read
    QString readError;
    QString notWritable;                // why it may not be written over, worded to follow "is"
};

void keepRead(Found &found, Result<QByteArray, Error> read)
{
    if (read)
        found.content = std::move(read).value();
    else
        found.readError = read.text();
}

#ifdef Q_OS_UNIX

QString systemError(int code = errno)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

Kind kindOf(mode_t mode)
{
    if (S_ISREG(mode))
        return Kind::Regular;
    if (S_ISDIR(mode))
        return Kind::Folder;
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return Kind::Device;
    if (S_ISFIFO(mode))
        return Kind::Pipe;
    if (S_ISLNK(mode))
        return Kind::Link;
    return S_ISSOCK(mode) ? Kind::Socket : Kind::Other;
}

Entry entryAt(const QString &path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return errno == ENOENT ? Entry{} : Entry{Kind::Other, systemError()};
    return {kindOf(st.st_mode), {}};
}

// At most MaxFileSize + 1 bytes; closes fd.
Result<QByteArray, Error> readAll(int fd)
{
    QByteArray content(MaxFileSize + 1, Qt::Uninitialized);
    qsizetype got = 0;
    while (got < content.size()) {
        const ssize_t n = ::read(fd, content.data() + got, size_t(content.size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            break;
        if (n < 0) {
            const int code = errno;
            ::close(fd);
            return Failure{Error::CannotRead, QStringLiteral("cannot read the file: %1").arg(systemError(code))};
        }
        got += n;
    }
    ::close(fd);
    content.truncate(got);
    return content;
}

// At most MaxFileSize + 1 bytes of a regular file; never waits on a pipe or device.
Result<QByteArray, Error> readRegular(const QString &path)
{
    const Entry entry = entryAt(path);
    if (entry.kind != Kind::Regular)
        return Failure{Error::CannotRead, entry.kind == Kind::Missing || !entry.error.isEmpty()
                                              ? QStringLiteral("cannot read the file: %1")
                                                    .arg(entry.error.isEmpty() ? systemError(ENOENT) : entry.error)
                                              : QStringLiteral("is %1, not a backup file").arg(kindName(entry.kind))};
    // Non-blocking, in case a pipe took the file's place since the look above.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const QString why = fd < 0 ? QStringLiteral("cannot read the file: %1").arg(systemError())
                                   : QStringLiteral("is not a regular file, not a backup file");
        if (fd >= 0)
            ::close(fd);
        return Failure{Error::CannotRead, why};
    }
    return readAll(fd);
}

QString writeRefusal(int code)
{
    if (code == EACCES)
        return QStringLiteral("read-only");
    if (code == EROFS)
        return QStringLiteral("on a read-only file system");
    return QStringLiteral("not writable (%1)").arg(systemError(code));
}

// The entry name in folder, not followed if it is a link; a regular file is
// read through a descriptor that is checked to be that same entry.
Found examineAt(int folder, const QByteArray &name, struct stat &st)
{
    Found found;
    if (::fstatat(folder, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT)
            std::tie(found.kind, found.error) = std::tuple(Kind::Other, systemError());
        return found;
    }
    found.kind = kindOf(st.st_mode);
    if (found.kind != Kind::Regular)
        return found;
    const int fd = ::openat(folder, name.constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    struct stat opened {};
    if (fd >= 0 && ::fstat(fd, &opened) == 0 && opened.st_dev == st.st_dev && opened.st_ino == st.st_ino)
        keepRead(found, readAll(fd));
    else if (fd >= 0)
        ::close(fd);
    if (!found.content && found.readError.isEmpty())
        found.readError = fd < 0 ? systemError() : QStringLiteral("it changed while it was read");
    if (::faccessat(folder, name.constData(), W_OK, 0) != 0)
        found.notWritable = writeRefusal(errno);
    return found;
}

qint64 changedNs(const struct stat &st)
{
    return qint64(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
}

// A new file in folder under a name nobody else uses; -1 with errno on failure.
int createTemp(int folder, QByteArray *name)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        *name = QStringLiteral(".calitune-%1.tmp")
                    .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'))
                    .toLatin1();
        const int fd = ::openat(folder, name->constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

QString probeFolder(int folder)
{
    QByteArray name;
    const int fd = createTemp(folder, &name);
    if (fd < 0)
        return systemError();
    ::close(fd);
    ::unlinkat(folder, name.constData(), 0);
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

#else

Entry entryAt(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return {};
    return {info.isDir() ? Kind::Folder : info.isFile() ? Kind::Regular : Kind::Other, {}};
}

Result<QByteArray, Error> readRegular(const QString &path)
{
    const Entry entry = entryAt(path);
    if (entry.kind != Kind::Regular && entry.kind != Kind::Missing)
        return Failure{Error::CannotRead, QStringLiteral("is %1, not a backup file").arg(kindName(entry.kind))};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Failure{Error::CannotRead, QStringLiteral("cannot read the file: %1").arg(file.errorString())};
    return file.read(MaxFileSize + 1);
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

QString folderRefusal(const QString &folder, const QString &probed)
{
    const Entry entry = entryAt(folder);
    if (!entry.error.isEmpty())
        return QStringLiteral("the folder %1 cannot be reached: %2").arg(shown(folder), entry.error);
    if (entry.kind == Kind::Missing)
        return QStringLiteral("the folder %1 does not exist").arg(shown(folder));
    if (entry.kind != Kind::Folder)
        return QStringLiteral("%1 is not a folder").arg(shown(folder));
    if (probed.isEmpty())
        return {};
    return QStringLiteral("cannot write in the folder %1: %2").arg(shown(folder), probed);
}

// Why the file found at target, reached through path, may not be replaced, or nothing.
QString targetRefusal(const QString &path, const QString &target, const Found &found, bool force)
{
    const QString is = QDir::cleanPath(QFileInfo(path).absoluteFilePath()) == target
                           ? QStringLiteral("is")
                           : QStringLiteral("links to %1, which is").arg(shown(target));
    if (!found.error.isEmpty())
        return QStringLiteral("cannot be reached: %1").arg(found.error);
    if (found.kind == Kind::Missing)
        return {};
    if (found.kind == Kind::Link)
        return QStringLiteral("changed while it was checked (a link took its place); nothing was touched");
    if (found.kind != Kind::Regular)
        return QStringLiteral("%1 %2; a backup never replaces one").arg(is, kindName(found.kind));
    if (!force) {
        if (!found.content)
            return QStringLiteral("cannot be read to see whether it is a backup (%1); --force "
                                  "replaces it anyway")
                .arg(found.readError);
        if (!isOurs(*found.content))
            return QStringLiteral("%1 not a Calitune backup; --force replaces it").arg(is);
    }
    return found.notWritable.isEmpty() ? QString() : QStringLiteral("%1 %2").arg(is, found.notWritable);
}

} // namespace

bool SameRadio(const QByteArray &block, const std::optional<QString> &label, const QByteArray &otherBlock,
               const std::optional<QString> &otherLabel)
{
    const bool sameBytes = block.size() == BlockSize && otherBlock.size() == BlockSize
                           && block.mid(PowerValueCount) == otherBlock.mid(PowerValueCount);
    return sameBytes && (!label || !otherLabel || *label == *otherLabel);
}

Output::Output(Output &&other) noexcept { *this = std::move(other); }

Output &Output::operator=(Output &&other) noexcept
{
    std::swap(m_path, other.m_path);
    std::swap(m_target, other.m_target);
    std::swap(m_replaces, other.m_replaces);
    std::swap(m_folder, other.m_folder);
    std::swap(m_existed, other.m_existed);
    std::swap(m_device, other.m_device);
    std::swap(m_inode, other.m_inode);
    std::swap(m_changedNs, other.m_changedNs);
    std::swap(m_mode, other.m_mode);
    std::swap(m_owner, other.m_owner);
    std::swap(m_group, other.m_group);
    return *this;
}

Result<Output, Error> Output::at(const QString &path)
{
    Output out;
    out.m_path = path;
    out.m_target = resolveLinks(path);
    if (out.m_target.isEmpty())
        return Failure{Error::Refused, QStringLiteral("is a loop of links")};
    return out;
}

#ifdef Q_OS_UNIX

Output::~Output()
{
    if (m_folder >= 0)
        ::close(m_folder);
}

Result<Output, Error> Output::check(const QString &path, bool force)
{
    Result<Output, Error> started = at(path);
    if (!started)
        return started;
    Output &out = *started;
    const QFileInfo target(out.m_target);
    out.m_folder = ::open(QFile::encodeName(target.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int openError = errno;
    QString why;
    if (out.m_folder >= 0) {
        struct stat st {};
        const Found found = examineAt(out.m_folder, QFile::encodeName(target.fileName()), st);
        why = targetRefusal(path, out.m_target, found, force);
        if (why.isEmpty())
            why = folderRefusal(target.absolutePath(), probeFolder(out.m_folder));
        out.m_existed = found.kind != Kind::Missing;
        std::tie(out.m_device, out.m_inode, out.m_changedNs, out.m_mode, out.m_owner, out.m_group) =
            std::tuple(quint64(st.st_dev), quint64(st.st_ino), changedNs(st), uint(st.st_mode), uint(st.st_uid),
                       uint(st.st_gid));
        if (found.content)
            out.m_replaces = replaced(*found.content);
    } else {
        why = folderRefusal(target.absolutePath(), systemError(openError));
    }
    if (!why.isEmpty())
        return Failure{Error::Refused, why};
    return started;
}

Result<void, Error> folderWritable(const QString &folder)
{
    if (entryAt(folder).kind != Kind::Folder)
        return {};
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const QString why = fd < 0 ? systemError() : probeFolder(fd);
    if (fd >= 0)
        ::close(fd);
    if (!why.isEmpty())
        return Failure{Error::Refused, why};
    return {};
}

namespace {

// Writes bytes to a new file in folder, with the old file's mode and owner when
// there was one, flushes it to disk and reads it back. Its name, or nothing
// with the file removed.
Result<QByteArray, Error> writeTemp(int folder, const QByteArray &bytes, const struct stat *old)
{
    QByteArray temp;
    const int fd = createTemp(folder, &temp);
    if (fd < 0)
        return Failure{Error::CannotWrite, QStringLiteral("cannot create a file in its folder: %1").arg(systemError())};
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
    QString why;
    if (written && closed) {
        const int in = ::openat(folder, temp.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        const Result<QByteArray, Error> back = in >= 0 ? readAll(in) : Failure{Error::CannotRead, QString()};
        if (back && *back == bytes) {
            const Result<Backup, Error> again = parse(*back);
            if (again)
                return temp;
            why = again.text();
        } else if (!back) {
            why = back.text();
        }
        why = QStringLiteral("the new copy did not read back as written%1").arg(why.isEmpty() ? QString() : ": " + why);
    } else {
        why = systemError(code);
    }
    ::unlinkat(folder, temp.constData(), 0);
    return Failure{Error::CannotWrite, why};
}

} // namespace

Result<void, Error> Output::save(const Backup &backup)
{
    if (m_folder < 0)
        return Failure{Error::CannotWrite, QStringLiteral("cannot write %1: not checked").arg(shown(m_target))};
    const QByteArray name = QFile::encodeName(QFileInfo(m_target).fileName());
    struct stat old {};
    old.st_mode = m_mode;
    old.st_uid = m_owner;
    old.st_gid = m_group;
    const Result<QByteArray, Error> written = writeTemp(m_folder, toJson(backup), m_existed ? &old : nullptr);
    if (!written)
        return Failure{Error::CannotWrite, QStringLiteral("cannot write %1: %2").arg(shown(m_target), written.text())};
    const QByteArray &temp = *written;
    // The entry must still be the one checked: no link or other file put in its place.
    struct stat now {};
    const bool there = ::fstatat(m_folder, name.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0;
    const bool same = m_existed ? there && S_ISREG(now.st_mode) && quint64(now.st_dev) == m_device
                                      && quint64(now.st_ino) == m_inode && changedNs(now) == m_changedNs
                                : !there && errno == ENOENT;
    if (!same || ::renameat(m_folder, temp.constData(), m_folder, name.constData()) != 0) {
        const int code = errno;
        ::unlinkat(m_folder, temp.constData(), 0);
        return Failure{Error::CannotWrite, same ? QStringLiteral("cannot replace %1: %2").arg(shown(m_target), systemError(code))
                                : QStringLiteral("%1 changed since it was checked; it is left as it is and "
                                                 "nothing was saved")
                                      .arg(shown(m_target))};
    }
    // Makes the rename last through a power cut, where the file system allows it.
    if (::fsync(m_folder) != 0 && errno != EINVAL && errno != ENOTSUP)
        return Failure{Error::CannotWrite, QStringLiteral("%1 was written but its folder could not be flushed to disk: %2")
                               .arg(shown(m_target), systemError())};
    return {};
}

#else

Output::~Output() = default;

Result<Output, Error> Output::check(const QString &path, bool force)
{
    Result<Output, Error> started = at(path);
    if (!started)
        return started;
    Output &out = *started;
    Found found;
    const Entry entry = entryAt(out.m_target);
    found.kind = entry.kind;
    found.error = entry.error;
    if (found.kind == Kind::Regular)
        keepRead(found, readRegular(out.m_target));
    if (found.kind == Kind::Regular && !QFileInfo(out.m_target).isWritable())
        found.notWritable = QStringLiteral("read-only");
    const QString folder = QFileInfo(out.m_target).absolutePath();
    QString why = targetRefusal(path, out.m_target, found, force);
    if (why.isEmpty())
        why = folderRefusal(folder, folderWritable(folder).text());
    if (!why.isEmpty())
        return Failure{Error::Refused, why};
    if (found.content)
        out.m_replaces = replaced(*found.content);
    return started;
}

Result<void, Error> folderWritable(const QString &folder)
{
    QTemporaryFile probe(QDir(folder).filePath(QStringLiteral(".calitune-XXXXXX")));
    if (entryAt(folder).kind != Kind::Folder || probe.open())
        return {};
    return Failure{Error::Refused, probe.errorString()};
}

Result<void, Error> Output::save(const Backup &backup)
{
    const QByteArray bytes = toJson(backup);
    QSaveFile file(m_target);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush()
        || !file.commit())
        return Failure{Error::CannotWrite, QStringLiteral("cannot write %1: %2")
                               .arg(shown(m_target), file.errorString())};
    const Result<QByteArray, Error> back = readRegular(m_target);
    if (!back || *back != bytes)
        return Failure{Error::CannotWrite, QStringLiteral("%1 did not read back as written%2")
                               .arg(shown(m_target), back ? QString() : ": " + back.text())};
    return {};
}

#endif

Result<void, Error> save(const QString &path, const Backup &backup)
{
    Result<Output, Error> output = Output::check(path, true);
    if (!output)
        return output.failure();
    return output->save(backup);
}

Result<Backup, Error> load(const QString &path)
{
    const Result<QByteArray, Error> content = readRegular(path);
    if (!content)
        return content.failure();
    if (content->size() > MaxFileSize)
        return Failure{Error::NotABackup,
                       QStringLiteral("not a backup file: too large (over %1 KiB)").arg(MaxFileSize / 1024)};
    return parse(*content);
}

} // namespace History::BackupFile
