#include "tests/PgServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QThread>
#include <QUrl>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <sys/shm.h>
#include <unistd.h>

namespace {

// initdb and the server refuse to run as root.
bool asPostgresUser()
{
    return geteuid() == 0;
}

bool failed(QString *error, const QString &why)
{
    if (error)
        *error = why;
    return false;
}

QString lastLines(const QString &text, int count = 3)
{
    const QStringList lines = text.trimmed().split(u'\n');
    return lines.mid(std::max<qsizetype>(0, lines.size() - count)).join(" / ");
}

// A folder of our own that the postgres user can reach when we run as root
// (TMPDIR may be a folder only root can enter).
QString makeFolder()
{
    QStringList bases{QDir::tempPath()};
    if (asPostgresUser() && bases.first() != "/tmp")
        bases << "/tmp";
    for (const QString &base : bases) {
        QByteArray path = QFile::encodeName(base + "/calitune-pg-XXXXXX");
        if (!mkdtemp(path.data()))
            continue;
        const QString dir = QFile::decodeName(path);
        if (!asPostgresUser())
            return dir;
        QProcess check;
        check.start("sh", {"-c", R"(chown postgres: "$1" && runuser -u postgres -- test -w "$1")",
                           "sh", dir});
        if (check.waitForFinished(10000) && check.exitCode() == 0)
            return dir;
        QDir(dir).removeRecursively();
    }
    return {};
}

// Stops and removes the server once the process is gone, however it ended (a
// ctest time-out's SIGKILL included), after any initdb or pg_ctl under way.
// A killed postmaster's shared memory goes too. $1 pid, $2 folder, $3 programs.
const char *const WatchdogScript = R"sh(
while kill -0 "$1" 2>/dev/null && [ -d "$2" ]; do sleep 0.5; done
[ -d "$2" ] || exit 0
while pgrep -f "(initdb|pg_ctl) .*$2/data" >/dev/null; do sleep 0.2; done
if [ -f "$2/data/postmaster.pid" ]; then
  if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$3/pg_ctl" -D "$2/data" -m immediate -w stop
  else "$3/pg_ctl" -D "$2/data" -m immediate -w stop; fi
  [ -f "$2/data/postmaster.pid" ] && ipcrm -m "$(sed -n 7p "$2/data/postmaster.pid" | awk '{print $2}')"
fi >/dev/null 2>&1
rm -rf "$2"
)sh";

} // namespace

QString PgServer::binDir()
{
    QDir versions("/usr/lib/postgresql");
    QStringList found = versions.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    std::sort(found.begin(), found.end(),
              [](const QString &a, const QString &b) { return a.toDouble() > b.toDouble(); });
    for (const QString &version : found) {
        const QString bin = versions.filePath(version + "/bin");
        if (QFile::exists(bin + "/initdb") && QFile::exists(bin + "/pg_ctl"))
            return bin;
    }
    const QString initdb = QStandardPaths::findExecutable("initdb");
    return initdb.isEmpty() ? QString() : QFileInfo(initdb).absolutePath();
}

// A killed postmaster leaves its System V segment behind (a clean stop
// removes it); the stale postmaster.pid names it.
PgServer::~PgServer()
{
    if (m_dir.isEmpty())
        return;
    if (postmasterPid() > 0)
        run("pg_ctl", {"-D", dataDir(), "-m", "immediate", "-w", "stop"}, nullptr);
    QFile pidFile(dataDir() + "/postmaster.pid");
    if (postmasterPid() <= 0 && pidFile.open(QIODevice::ReadOnly)) {
        const int id = pidFile.readAll().split('\n').value(6).simplified().split(' ').value(1).toInt();
        if (id > 0)
            shmctl(id, IPC_RMID, nullptr);
    }
    QDir(m_dir).removeRecursively();   // the watchdog sees it gone and ends
}

bool PgServer::run(const QString &program, const QStringList &args, QString *error) const
{
    QProcess p;
    const QString path = binDir() + u'/' + program;
    if (asPostgresUser())
        p.start("runuser", QStringList{"-u", "postgres", "--", path} + args);
    else
        p.start(path, args);
    return (p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
           || failed(error, program + " failed: "
                                + lastLines(QString::fromLocal8Bit(p.readAllStandardError() + p.readAllStandardOutput())));
}

void PgServer::startWatchdog()
{
    // In a session of its own, out of reach of whatever ends this process.
    QProcess::startDetached("setsid", {"sh", "-c", WatchdogScript, "pg-watchdog",
                                       QString::number(QCoreApplication::applicationPid()), m_dir,
                                       binDir()});
}

bool PgServer::create(QString *error)
{
    m_dir = makeFolder();
    if (m_dir.isEmpty())
        return failed(error, "cannot make a folder the server's user can write");
    startWatchdog();
    m_port = int(QRandomGenerator::global()->bounded(20000, 60000));   // names the socket only
    if (!run("initdb", {"-D", dataDir(), "-U", "postgres", "-A", "trust", "-E", "UTF8", "--no-locale", "--no-sync"},
             error))
        return false;
    QFile hba(dataDir() + "/pg_hba.conf");
    return (hba.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && hba.write("local all postgres trust\nlocal all all scram-sha-256\n") > 0)
           || failed(error, "cannot write " + hba.fileName());
}

// openssl as the server's user, in the server's folder.
bool PgServer::openssl(const QString &arguments, QString *error) const
{
    QProcess p;
    p.setWorkingDirectory(m_dir);
    const QString command = "umask 077 && openssl " + arguments;
    if (asPostgresUser())
        p.start("runuser", {"-u", "postgres", "--", "sh", "-c", command});
    else
        p.start("sh", {"-c", command});
    return (p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
           || failed(error, "openssl failed: " + lastLines(QString::fromLocal8Bit(p.readAllStandardError())));
}

bool PgServer::enableTls(QString *error)
{
    if (m_dir.isEmpty() && !create(error))
        return false;
    const QString ca = "req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=%1 -keyout %1.key -out %1.crt";
    m_tls = openssl(ca.arg("ca"), error) && openssl(ca.arg("other-ca"), error)
            && openssl("req -newkey rsa:2048 -nodes -subj /CN=localhost -keyout server.key -out server.csr", error)
            && openssl("x509 -req -days 2 -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out server.crt"
                       " -extfile /dev/stdin <<'EOF'\nsubjectAltName=IP:127.0.0.1,DNS:localhost\nEOF",
                       error);
    QFile hba(dataDir() + "/pg_hba.conf");
    return m_tls
           && ((hba.open(QIODevice::Append) && hba.write("hostssl all postgres 127.0.0.1/32 trust\n") > 0)
               || failed(error, "cannot write " + hba.fileName()));
}

QString PgServer::tlsConnectionString(const QString &db, const QString &ca) const
{
    return QString("host=127.0.0.1 port=%1 dbname=%2 user=postgres sslmode=verify-full sslrootcert=%3")
        .arg(QString::number(m_port), db, ca);
}

bool PgServer::start(QString *error)
{
    if (binDir().isEmpty())
        return failed(error, "PostgreSQL is not installed (Debian: apt-get install postgresql)");
    if (m_dir.isEmpty() && !create(error))
        return false;
    QString options = QString("-k '%1' -p %2 -c listen_addresses=").arg(m_dir, QString::number(m_port));
    if (!m_durable)
        options += " -c fsync=off -c full_page_writes=off";
    if (m_tls)
        options += QString(" -c listen_addresses=127.0.0.1 -c ssl=on -c ssl_cert_file='%1/server.crt'"
                           " -c ssl_key_file='%1/server.key'").arg(m_dir);
    QString problem;
    QFile log(m_dir + "/log");
    if (run("pg_ctl", {"-D", dataDir(), "-l", log.fileName(), "-w", "-t", "60", "-o", options, "start"}, &problem))
        return true;
    if (log.open(QIODevice::ReadOnly))
        problem += "; log: " + lastLines(QString::fromLocal8Bit(log.readAll()));
    return failed(error, problem);
}

bool PgServer::stop()
{
    return run("pg_ctl", {"-D", dataDir(), "-m", "fast", "-w", "stop"}, nullptr);
}

qint64 PgServer::postmasterPid() const
{
    QFile pidFile(dataDir() + "/postmaster.pid");
    if (!pidFile.open(QIODevice::ReadOnly))
        return 0;
    const qint64 pid = pidFile.readLine().trimmed().toLongLong();
    return pid > 0 && ::kill(pid_t(pid), 0) == 0 ? pid : 0;
}

// pg_ctl starts the postmaster in a session of its own: its process group
// holds every server process.
bool PgServer::kill()
{
    const qint64 pid = postmasterPid();
    if (pid <= 0 || ::kill(-pid_t(pid), SIGKILL) != 0)
        return false;
    for (int i = 0; i < 1000; ++i) {
        if (::kill(-pid_t(pid), 0) != 0 && errno == ESRCH)
            return true;
        QThread::msleep(10);
    }
    return false;
}

QString PgServer::connectionString(const QString &user, const QString &db) const
{
    return QString("host=%1 port=%2 dbname=%3 user=%4").arg(m_dir, QString::number(m_port), db, user);
}

QString PgServer::uri(const QString &user, const QString &db) const
{
    return QString("postgresql://%1@%2:%3/%4")
        .arg(user, QString::fromLatin1(QUrl::toPercentEncoding(m_dir)), QString::number(m_port), db);
}

std::optional<QString> PgServer::sql(const QString &statements, const QString &db, QString *error,
                                    const QString &user) const
{
    QProcess p;
    p.start(binDir() + "/psql", {"-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-d",
                                 connectionString(user, db), "-f", "-"});
    p.write(statements.toUtf8());
    p.closeWriteChannel();
    if (p.waitForFinished(600000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
        return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    failed(error, lastLines(QString::fromLocal8Bit(p.readAllStandardError())));
    return std::nullopt;
}
