#include "history/BackupFile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QTemporaryFile>
#include <algorithm>
#include <cmath>

namespace History::BackupFile {

namespace {

const char FormatName[] = "calitune-backup";
const char Address[] = "0x0380";
constexpr int Version = 1;
constexpr int BlockSize = 16;
constexpr qint64 MaxFileSize = 64 * 1024;   // a real file is well under 1 KiB

QByteArray sha256(const QByteArray &block)
{
    return QCryptographicHash::hash(block, QCryptographicHash::Sha256).toHex();
}

QByteArray quoted(const QString &text)
{
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
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

std::optional<Backup> refuse(QString *error, const QString &why)
{
    if (error)
        *error = why;
    return std::nullopt;
}

} // namespace

QByteArray toJson(const Backup &backup)
{
    QByteArray values;
    for (int i = 0; i < PowerValueCount; ++i)
        values += QByteArray("        \"") + ValueNames[i] + "\": "
                  + QByteArray::number(i < backup.block.size() ? quint8(backup.block[i]) : 0)
                  + (i + 1 < PowerValueCount ? ",\n" : "\n");
    return QByteArray("{\n")
           + "    \"format\": \"" + FormatName + "\",\n"
           + "    \"version\": " + QByteArray::number(Version) + ",\n"
           + "    \"address\": \"" + Address + "\",\n"
           + "    \"block\": \"" + backup.block.toHex() + "\",\n"
           + "    \"values\": {\n" + values + "    },\n"
           + "    \"taken\": " + quoted(backup.taken.toUTC().toString(Qt::ISODateWithMs)) + ",\n"
           + "    \"port\": " + quoted(backup.port) + ",\n"
           + "    \"device\": " + quoted(backup.device) + ",\n"
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
    const QJsonObject top = document.object();

    const QJsonValue format = top.value(QLatin1String("format"));
    if (format.toString() != QLatin1String(FormatName))
        return refuse(error, format.isUndefined()
                                 ? QStringLiteral("not a backup file: \"format\" is missing")
                                 : QStringLiteral("not a backup file: format is not \"%1\"")
                                       .arg(QLatin1String(FormatName)));

    const QJsonValue version = top.value(QLatin1String("version"));
    if (!version.isDouble())
        return refuse(error, QStringLiteral("\"version\" is missing or not a number"));
    if (version.toDouble() != Version) {
        if (isWhole(version, Version + 1, 1e15))
            return refuse(error, QStringLiteral("the file is from a newer Calitune (backup "
                                                "version %1); this one reads version %2")
                                     .arg(version.toDouble(), 0, 'f', 0)
                                     .arg(Version));
        return refuse(error, QStringLiteral("unsupported backup version %1")
                                 .arg(version.toDouble()));
    }

    const QJsonValue address = top.value(QLatin1String("address"));
    if (address.toString().toLower() != QLatin1String(Address))
        return refuse(error, QStringLiteral("the address must be %1: the file holds "
                                            "another part of the radio's memory")
                                 .arg(QLatin1String(Address)));

    const QString hex = top.value(QLatin1String("block")).toString();
    if (!isHex(hex, 2 * BlockSize))
        return refuse(error, QStringLiteral("the block must be %1 hex digits (%2 bytes)")
                                 .arg(2 * BlockSize)
                                 .arg(BlockSize));
    Backup backup;
    backup.block = QByteArray::fromHex(hex.toLatin1());

    const QString checksum = top.value(QLatin1String("sha256")).toString();
    if (!isHex(checksum, 64))
        return refuse(error, QStringLiteral("\"sha256\" is missing or not 64 hex digits"));
    if (checksum.toLower().toLatin1() != sha256(backup.block))
        return refuse(error, QStringLiteral("the checksum does not match the block: "
                                            "the file is damaged or was edited"));

    const QJsonValue valuesValue = top.value(QLatin1String("values"));
    if (!valuesValue.isObject())
        return refuse(error, QStringLiteral("\"values\" is missing or not an object"));
    const QJsonObject values = valuesValue.toObject();
    for (auto it = values.begin(); it != values.end(); ++it)
        if (std::find_if(std::begin(ValueNames), std::end(ValueNames), [&](const char *name) {
                return it.key() == QLatin1String(name);
            }) == std::end(ValueNames))
            return refuse(error, QStringLiteral("unknown value name \"%1\"").arg(it.key()));
    for (int i = 0; i < PowerValueCount; ++i) {
        const QString name = QLatin1String(ValueNames[i]);
        const QJsonValue value = values.value(name);
        if (value.isUndefined())
            return refuse(error, QStringLiteral("value %1 is missing").arg(name));
        if (!isWhole(value, 0, 255))
            return refuse(error,
                          QStringLiteral("value %1 must be a whole number from 0 to 255").arg(name));
        const int inBlock = quint8(backup.block[i]);
        if (value.toInt() != inBlock)
            return refuse(error, QStringLiteral("value %1 is %2 but the block holds %3")
                                     .arg(name)
                                     .arg(value.toInt())
                                     .arg(inBlock));
    }

    backup.taken = QDateTime::fromString(top.value(QLatin1String("taken")).toString(),
                                         Qt::ISODateWithMs)
                       .toUTC();
    if (!backup.taken.isValid() || backup.taken.date().year() < 1
        || backup.taken.date().year() > 9999)
        return refuse(error, QStringLiteral("\"taken\" is missing or not an ISO-8601 time"));

    for (const char *key : {"port", "device"}) {
        const QJsonValue value = top.value(QLatin1String(key));
        if (!value.isString())
            return refuse(error, QStringLiteral("\"%1\" is missing or not text")
                                     .arg(QLatin1String(key)));
    }
    backup.port = top.value(QLatin1String("port")).toString();
    backup.device = top.value(QLatin1String("device")).toString();
    return backup;
}

bool canWrite(const QString &path, QString *error)
{
    auto no = [&](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    const QFileInfo file(path);
    if (file.isDir())
        return no(QStringLiteral("%1 is a folder").arg(QDir::toNativeSeparators(path)));
    if (file.exists() && !file.isWritable())
        return no(QStringLiteral("%1 is read-only").arg(QDir::toNativeSeparators(path)));
    const QDir folder = file.absoluteDir();
    if (!folder.exists())
        return no(QStringLiteral("the folder %1 does not exist")
                      .arg(QDir::toNativeSeparators(folder.path())));
    QTemporaryFile probe(folder.filePath(QStringLiteral(".calitune-XXXXXX")));
    if (!probe.open())
        return no(QStringLiteral("cannot write in the folder %1: %2")
                      .arg(QDir::toNativeSeparators(folder.path()), probe.errorString()));
    return true;
}

bool save(const QString &path, const Backup &backup, QString *error)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(toJson(backup)) >= 0 && file.commit())
        return true;
    if (error)
        *error = file.errorString();
    return false;
}

bool load(const QString &path, Backup &backup, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("cannot read the file: %1").arg(file.errorString());
        return false;
    }
    const QByteArray content = file.read(MaxFileSize + 1);
    if (content.size() > MaxFileSize) {
        if (error)
            *error = QStringLiteral("not a backup file: too large");
        return false;
    }
    const std::optional<Backup> parsed = parse(content, error);
    if (parsed)
        backup = *parsed;
    return bool(parsed);
}

} // namespace History::BackupFile
