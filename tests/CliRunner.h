#pragma once
// Runs the real calitune-cli as a child process, as a user or a script does,
// with an environment that nothing of the caller's leaks into.

#include "sim/SimRadio.h"
#include "tests/TestRadio.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

struct CliResult {
    int code = -1;   // -1: did not exit by itself in time
    QByteArray out, err;
    QJsonDocument json() const { return QJsonDocument::fromJson(out); }
    // One JSON document per line, as several ports print them.
    QList<QJsonDocument> jsonLines() const
    {
        QList<QJsonDocument> docs;
        for (const QByteArray &line : out.split('\n'))
            if (!line.isEmpty())
                docs << QJsonDocument::fromJson(line);
        return docs;
    }
    // The JSON Lines of a listing (history, ports, doctor) as one array.
    QJsonArray jsonArray() const
    {
        QJsonArray items;
        for (const QJsonDocument &doc : jsonLines())
            items.append(doc.object());
        return items;
    }
    QStringList errLines() const { return QString::fromUtf8(err).split(QLatin1Char('\n'), Qt::SkipEmptyParts); }
};

// The radios as COM1, COM2 ..., the history and the config folder given;
// no other CALITUNE_ setting and no logging rules of the caller's.
inline QProcessEnvironment CliEnvironment(const QStringList &devices, const QString &history,
                                          const QString &configHome = QDir::tempPath() + "/calitune-no-config")
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &key : env.keys())
        if (key.startsWith("CALITUNE_") || key == "QT_LOGGING_RULES")
            env.remove(key);
    for (int n = 1; n <= devices.size(); ++n)
        env.insert(QStringLiteral("CALITUNE_COM%1").arg(n), devices[n - 1]);
    env.insert("CALITUNE_HISTORY", history);
    env.insert("XDG_CONFIG_HOME", configHome);
    return env;
}

// For radios that stay silent: the command line gives them a short window.
inline QProcessEnvironment WithShortReplyWindow(QProcessEnvironment env)
{
    env.insert("CALITUNE_REPLY_WINDOW_MS", QString::number(ShortReplyWindow.count()));
    return env;
}

inline QString CliProgram() { return QCoreApplication::applicationDirPath() + "/calitune-cli"; }

inline void StartCli(QProcess &p, const QStringList &args, const QProcessEnvironment &env)
{
    p.setProcessEnvironment(env);
    p.start(CliProgram(), args);
}

// 'D': in the kernel's uninterruptible wait, a sync to the disk here. A busy
// shared disk was seen to hold one for a minute, and not even kill -9 cuts it.
inline bool InDiskWait(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    const QByteArray s = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
    const qsizetype name = s.lastIndexOf(')');
    return name > 0 && s.mid(name + 2, 1) == "D";
}

// Waits up to `timeoutMs` of the process's own time for its end: time spent
// waiting on the disk is the machine's and counts only against a far bound.
inline bool WaitForEnd(QProcess &p, int timeoutMs)
{
    const qint64 pid = p.processId();
    const QDeadlineTimer farBound(std::max(timeoutMs, 300000));
    qint64 ownMs = 0;
    QElapsedTimer slice;
    for (slice.start(); !p.waitForFinished(100); slice.restart()) {
        if (p.state() == QProcess::NotRunning || farBound.hasExpired())
            return false;
        if (!InDiskWait(pid) && (ownMs += slice.elapsed()) > timeoutMs)
            return false;
    }
    return true;
}

inline CliResult FinishCli(QProcess &p, int timeoutMs = 60000)
{
    CliResult r;
    WaitForEnd(p, timeoutMs);
    if (p.state() != QProcess::NotRunning || p.exitStatus() != QProcess::NormalExit)
        return r;
    r.code = p.exitCode();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

inline CliResult RunCli(const QStringList &args, const QProcessEnvironment &env, const QByteArray &input = {})
{
    QProcess p;
    StartCli(p, args, env);
    if (!input.isNull()) {
        p.write(input);
        p.closeWriteChannel();
    }
    return FinishCli(p);
}

// What most command-line tests start from: a simulated radio holding a block
// on COM1, and a folder of their own for the history and the files they make.
struct CliRig {
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<SimRadio> radio;

    void setUp(const QByteArray &block)
    {
        dir = std::make_unique<QTemporaryDir>();
        radio = std::make_unique<SimRadio>();
        radio->setMemory(CalAddress, block);
    }
    void tearDown()
    {
        radio.reset();
        dir.reset();
    }
    QString path(const QString &name) const { return dir->filePath(name); }
    // The file's path; empty when it could not be written.
    QString writeFile(const QString &name, const QByteArray &content) const
    {
        QFile f(path(name));
        return f.open(QIODevice::WriteOnly) && f.write(content) == content.size() ? f.fileName() : QString();
    }
    QList<SimRadio::FrameKind> kinds() const
    {
        const auto k = radio->frameKinds();
        return {k.begin(), k.end()};
    }
};
