#include "settings/StationConfig.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QSysInfo>

namespace History {

namespace {

QString userFile()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return folder.isEmpty() ? QString() : folder + QStringLiteral("/Calitune/calitune.conf");
}

} // namespace

StationConfig::StationConfig() : StationConfig(userFile()) {}

StationConfig::StationConfig(const QString &file) : m_file(file)
{
    if (!m_file.isEmpty() && QFileInfo::exists(m_file))
        read();
}

void StationConfig::read()
{
    const QStringList known{QStringLiteral("port"), QStringLiteral("history"), QStringLiteral("history_server"),
                            QStringLiteral("station"), QStringLiteral("radio_prefix")};
    const QString shown = QDir::toNativeSeparators(m_file);
    QFile raw(m_file);
    if (!raw.open(QIODevice::ReadOnly)) {
        m_warnings << QStringLiteral("cannot read the config file %1: %2; its settings are not used")
                          .arg(shown, raw.errorString());
        return;
    }
    const QSettings settings(m_file, QSettings::IniFormat);
    for (const QString &key : settings.allKeys()) {
        if (!known.contains(key)) {
            m_warnings << QStringLiteral("the config file %1 has an unknown setting \"%2\" (known: %3)")
                              .arg(shown, key, known.join(QLatin1Char(' ')));
            continue;
        }
        m_values.insert(key, settings.value(key).toString());
    }
    // The INI reader ends an unquoted value at ";": "station=x;y" would be
    // station x. The value as written is kept, for the checks to see it whole.
    for (const QByteArray &line : raw.readAll().split('\n')) {
        const qsizetype eq = line.indexOf('=');
        const QString key = QString::fromUtf8(line.left(eq)).trimmed();
        const QString value = QString::fromUtf8(line.mid(eq + 1)).trimmed();
        if (eq > 0 && m_values.contains(key) && value.contains(QLatin1Char(';')) && !value.startsWith(QLatin1Char('"')))
            m_values.insert(key, value);
    }
}

Setting StationConfig::lookUp(const char *key, const char *variable) const
{
    if (const QString set = qEnvironmentVariable(variable); !set.isEmpty())
        return {set, QStringLiteral("environment %1").arg(QLatin1String(variable))};
    if (const QString value = m_values.value(QLatin1String(key)); !value.isEmpty())
        return {value, QStringLiteral("config file %1").arg(QDir::toNativeSeparators(m_file))};
    return {};
}

Setting StationConfig::port() const { return lookUp("port", "CALITUNE_PORT"); }

Setting StationConfig::history() const
{
    if (Setting s = lookUp("history", "CALITUNE_HISTORY"); s.isSet())
        return s;
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (folder.isEmpty())
        return {QStringLiteral("off"), QStringLiteral("default (no data folder)")};
    return {folder + QStringLiteral("/history.db"), QStringLiteral("default")};
}

Setting StationConfig::server() const { return lookUp("history_server", "CALITUNE_HISTORY_SERVER"); }

QString StationConfig::serverNotSet()
{
    return QStringLiteral("no history server is set: CALITUNE_HISTORY_SERVER, or history_server in the config file");
}

Setting StationConfig::station() const
{
    if (Setting s = lookUp("station", "CALITUNE_STATION"); s.isSet())
        return s;
    return {QSysInfo::machineHostName(), QStringLiteral("default (the host name)")};
}

Setting StationConfig::radioPrefix() const { return lookUp("radio_prefix", "CALITUNE_RADIO_PREFIX"); }

QString StationConfig::radioLabel(const QString &given) const
{
    const QString prefix = radioPrefix().value;
    return given.startsWith(prefix) ? given : prefix + given;
}

} // namespace History
