#pragma once
// A station's defaults, kept in ~/.config/Calitune/calitune.conf (Qt's INI
// format): the port, the history file, the history server, the station's
// name and a prefix for radio labels. The environment overrides the file,
// and the command line overrides both.

#include <QHash>
#include <QString>
#include <QStringList>

namespace History {

struct Setting {
    QString value;
    QString origin;   // "environment CALITUNE_HISTORY", "config file PATH", "default", ...
    bool isSet() const { return !value.isEmpty(); }
};

class StationConfig {
public:
    StationConfig();                              // the user's file
    explicit StationConfig(const QString &file);

    QString file() const { return m_file; }
    // What the user should hear about the file, once: it cannot be read, or
    // it names a setting there is none of (a misspelt key is no setting).
    QStringList warnings() const { return m_warnings; }

    Setting port() const;           // port=, CALITUNE_PORT
    Setting history() const;        // history=, CALITUNE_HISTORY; default: the application data folder
    Setting server() const;         // history_server=, CALITUNE_HISTORY_SERVER
    static QString serverNotSet();  // what to say when a command needs server() and it is not set
    Setting station() const;        // station=, CALITUNE_STATION; default: the host name
    Setting radioPrefix() const;    // radio_prefix=, CALITUNE_RADIO_PREFIX
    // A label as given, with the prefix put in front unless it starts with it
    // already: scanning "SN0003" and typing "0003" label one radio alike.
    QString radioLabel(const QString &given) const;

private:
    Setting lookUp(const char *key, const char *variable) const;
    void read();

    QString m_file;
    QHash<QString, QString> m_values;   // the file's, read once
    QStringList m_warnings;
};

} // namespace History
