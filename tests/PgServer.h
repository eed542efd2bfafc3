#pragma once
// A throw-away PostgreSQL server for tests and benchmarks: its own folder, a
// Unix socket only, stopped and removed however the process ends.

#include <QString>
#include <optional>

class PgServer {
public:
    // Where initdb, pg_ctl and psql are; empty when PostgreSQL is not installed.
    static QString binDir();

    // Not durable: no fsync, which tests do not need (a killed server's writes
    // are still in the system's cache). A benchmark asks for a durable one.
    explicit PgServer(bool durable = false) : m_durable(durable) {}
    PgServer(const PgServer &) = delete;
    PgServer &operator=(const PgServer &) = delete;
    ~PgServer();   // stops the server at once and removes its folder

    // The first start makes the folder and the cluster: superuser "postgres"
    // logs in without a password, every other role with its password (scram).
    bool start(QString *error = nullptr);
    bool stop();   // a clean, fast shut-down
    bool kill();   // SIGKILL to the postmaster and all its processes, as a crash would

    QString connectionString(const QString &user = QStringLiteral("postgres"),
                             const QString &db = QStringLiteral("postgres")) const;
    // Before the first start: the server also takes TLS connections on
    // 127.0.0.1, with a certificate of a CA made for it (caFile()), for
    // superuser "postgres" without a password.
    bool enableTls(QString *error = nullptr);
    QString caFile() const { return m_dir + QStringLiteral("/ca.crt"); }
    // A CA that signed nothing of this server's.
    QString otherCaFile() const { return m_dir + QStringLiteral("/other-ca.crt"); }
    QString tlsConnectionString(const QString &db, const QString &ca) const;
    QString uri(const QString &user, const QString &db) const;   // postgresql://…

    // Runs SQL through psql, as the superuser unless told; the output in unaligned
    // form (rows on lines, columns split by '|'), or nothing with *error on failure.
    std::optional<QString> sql(const QString &statements, const QString &db = QStringLiteral("postgres"),
                               QString *error = nullptr, const QString &user = QStringLiteral("postgres")) const;

private:
    bool create(QString *error);
    bool run(const QString &program, const QStringList &args, QString *error) const;
    bool openssl(const QString &arguments, QString *error) const;
    void startWatchdog();
    qint64 postmasterPid() const;
    QString dataDir() const { return m_dir + QStringLiteral("/data"); }

    QString m_dir;
    int m_port = 0;
    bool m_durable = false;
    bool m_tls = false;
};
