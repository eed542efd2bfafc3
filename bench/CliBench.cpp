#include "bench/CliBench.h"

#include "sim/SimRadio.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace CliBench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int Runs = 15;
constexpr int ParallelRadios = 16;
constexpr int ParallelRounds = 5;
constexpr double ByteMs = 10.0 / 9600 * 1000;
constexpr double Goal = 1.3;
constexpr double StationWallGoal = 1.15, StationCpuGoal = 2.0;
// Access code 7+1, read 4+20, write 20+1, verify read 4+20, exit 1+1.
constexpr int WriteBytes = 79;
constexpr double WriteWaitsMs = 0.1 + 3 * 10 + 1;
// Access code 7+1, read 4+20, exit 1+1.
constexpr int ReadBytes = 34;
constexpr double ReadWaitsMs = 0.1 + 10 + 1;
const QByteArray Block = QByteArray::fromHex("6022657f00056d2e7132763711223344");

double msBetween(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

struct Stats {
    double min, median, p10, p90, max;
};

Stats statsOf(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const auto at = [&v](double q) { return v[std::size_t(q * double(v.size() - 1) + 0.5)]; };
    return {v.front(), at(0.5), at(0.1), at(0.9), v.back()};
}

std::string fixed(double v, int decimals, const char *unit = "")
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f%s", decimals, v, unit);
    return buf;
}

std::string spreadOf(const Stats &s)
{
    return fixed(s.min, 1) + " " + fixed(s.p10, 1) + " " + fixed(s.p90, 1) + " " + fixed(s.max, 1);
}

void printRow(const std::string &figure, const std::string &median, const std::string &spread,
              const std::string &floor, const std::string &ratio, const std::string &left,
              const std::string &goal, const std::string &met)
{
    std::printf("%-26s %9s  %-27s %8s %6s %5s  %-14s %s\n", figure.c_str(), median.c_str(), spread.c_str(),
                floor.c_str(), ratio.c_str(), left.c_str(), goal.c_str(), met.c_str());
}

// The program with the environment of its radios (COM1, COM2 ...) and its
// own history.
class Child {
public:
    Child(const QStringList &devices, const QString &history, std::vector<std::string> args)
    {
        for (char **e = environ; *e; ++e)
            if (std::strncmp(*e, "CALITUNE_", 9) != 0 && std::strncmp(*e, "QT_LOGGING_RULES=", 17) != 0)
                m_env.emplace_back(*e);
        for (int n = 1; n <= int(devices.size()); ++n)
            m_env.push_back("CALITUNE_COM" + std::to_string(n) + "=" + devices[n - 1].toStdString());
        m_env.push_back("CALITUNE_HISTORY=" + history.toStdString());
        m_args.push_back((QCoreApplication::applicationDirPath() + "/calitune-cli").toStdString());
        m_args.insert(m_args.end(), args.begin(), args.end());
    }

    pid_t spawn()
    {
        std::vector<char *> argv, envp;
        for (std::string &a : m_args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        for (std::string &e : m_env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        pid_t pid = 0;
        const int failed = ::posix_spawn(&pid, m_args[0].c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (failed)
            throw std::runtime_error("cannot run " + m_args[0]);
        return pid;
    }

    // Milliseconds from spawn to exit; negative when it did not exit with 0.
    // `cpuMs`, when given, receives the CPU time the process used.
    double timeOne(double *cpuMs = nullptr)
    {
        const Clock::time_point t0 = Clock::now();
        const pid_t pid = spawn();
        int status = 0;
        rusage usage{};
        ::wait4(pid, &status, 0, &usage);
        const double ms = msBetween(t0, Clock::now());
        const auto msOf = [](const timeval &t) { return double(t.tv_sec) * 1000 + double(t.tv_usec) / 1000; };
        if (cpuMs)
            *cpuMs = msOf(usage.ru_utime) + msOf(usage.ru_stime);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ms : -1;
    }

private:
    std::vector<std::string> m_env, m_args;
};

struct Series {
    std::vector<double> ms, cpuMs;
    int failed = 0;
};

Series repeat(Child &child, int count)
{
    Series s;
    while (int(s.ms.size()) < count) {
        double cpu = 0;
        const double ms = child.timeOne(&cpu);
        if (ms >= 0) {
            s.ms.push_back(ms);
            s.cpuMs.push_back(cpu);
        } else if (++s.failed > count) {
            throw std::runtime_error("calitune-cli failed over and over against the simulated radio");
        }
    }
    return s;
}

struct StationSeries {
    Series solo, all;
};

// One process reading 16 radios at once, `--port all`, against one reading
// COM1 under the same conditions: the same 16 mapped radios, each row with a
// history of its own, the runs taking turns so that both meet the same load.
StationSeries stationReads(const QTemporaryDir &dir)
{
    std::vector<std::unique_ptr<SimRadio>> radios;
    QStringList devices;
    for (int i = 0; i < ParallelRadios; ++i) {
        radios.push_back(std::make_unique<SimRadio>());
        radios.back()->setPacing(true);
        radios.back()->setMemory(0x380, Block);
        devices << radios.back()->devicePath();
    }
    Child solo(devices, dir.filePath("solo.db"), {"--port", "1", "read"});
    Child all(devices, dir.filePath("station.db"), {"--port", "all", "read"});
    StationSeries s;
    for (int i = 0; i < Runs; ++i) {
        const Series one = repeat(solo, 1), sixteen = repeat(all, 1);
        s.solo.ms.push_back(one.ms[0]);
        s.solo.cpuMs.push_back(one.cpuMs[0]);
        s.solo.failed += one.failed;
        s.all.ms.push_back(sixteen.ms[0]);
        s.all.cpuMs.push_back(sixteen.cpuMs[0]);
        s.all.failed += sixteen.failed;
    }
    return s;
}

// The slowest of 16 reads started together on 16 radios, per round; the
// port left out (one mapped) or given as its device path.
Series parallelReads(const QTemporaryDir &dir, bool byPath)
{
    std::vector<std::unique_ptr<SimRadio>> radios;
    std::vector<Child> children;
    for (int i = 0; i < ParallelRadios; ++i) {
        radios.push_back(std::make_unique<SimRadio>());
        radios.back()->setPacing(true);
        radios.back()->setMemory(0x380, Block);
        children.emplace_back(QStringList{radios.back()->devicePath()}, dir.filePath("parallel.db"),
                              byPath ? std::vector<std::string>{"--port", radios.back()->devicePath().toStdString(), "read"}
                                     : std::vector<std::string>{"read"});
    }
    Series slowest;
    for (int round = 0; round < ParallelRounds; ++round) {
        std::map<pid_t, Clock::time_point> started;
        for (Child &c : children) {
            const Clock::time_point t0 = Clock::now();
            started[c.spawn()] = t0;
        }
        double worst = 0;
        bool allDone = true;
        while (!started.empty()) {
            int status = 0;
            const pid_t pid = ::waitpid(-1, &status, 0);
            const auto it = started.find(pid);
            if (it == started.end())
                continue;
            worst = std::max(worst, msBetween(it->second, Clock::now()));
            allDone = allDone && WIFEXITED(status) && WEXITSTATUS(status) == 0;
            started.erase(it);
        }
        if (allDone)
            slowest.ms.push_back(worst);
        else
            ++slowest.failed;
    }
    if (slowest.ms.empty())
        throw std::runtime_error("no round of parallel reads succeeded");
    return slowest;
}

} // namespace

void run()
{
    QTemporaryDir dir;
    SimRadio radio;
    radio.setPacing(true);
    radio.setMemory(0x380, Block);
    const QStringList device{radio.devicePath()};
    Child write1(device, dir.filePath("history.db"), {"write", "H400=90"});
    Child write2(device, dir.filePath("history.db"), {"write", "H400=96"});
    Child read(device, dir.filePath("history.db"), {"read"});

    Series writes;
    for (int i = 0; int(writes.ms.size()) < Runs; ++i) {
        const double ms = (i % 2 ? write2 : write1).timeOne();
        if (ms >= 0)
            writes.ms.push_back(ms);
        else if (++writes.failed > Runs)
            throw std::runtime_error("calitune-cli write failed over and over against the simulated radio");
    }
    const Series reads = repeat(read, Runs);
    const Series parallel = parallelReads(dir, false);
    const Series parallelByPath = parallelReads(dir, true);
    const StationSeries station = stationReads(dir);

    const double writeFloor = WriteBytes * ByteMs + WriteWaitsMs;
    const double readFloor = ReadBytes * ByteMs + ReadWaitsMs;
    const Stats w = statsOf(writes.ms), r = statsOf(reads.ms), p = statsOf(parallel.ms),
                pp = statsOf(parallelByPath.ms), s = statsOf(station.all.ms), s1 = statsOf(station.solo.ms),
                sc = statsOf(station.all.cpuMs), s1c = statsOf(station.solo.cpuMs);
    std::printf("\ncalitune-cli, whole processes from spawn to exit, 9600 baud paced; %d runs per row, "
                "%d rounds of %d parallel reads\n\n", Runs, ParallelRounds, ParallelRadios);
    printRow("Figure", "median", "spread", "floor", "ratio", "left", "goal", "met");
    printRow("cli write H400=V", fixed(w.median, 1, " ms"), spreadOf(w), fixed(writeFloor, 1, " ms"),
             fixed(w.median / writeFloor, 2, "x"), std::to_string(writes.failed), "<= 1.3x floor",
             w.median / writeFloor <= Goal ? "yes" : "NO");
    printRow("cli read, solo", fixed(r.median, 1, " ms"), spreadOf(r), fixed(readFloor, 1, " ms"),
             fixed(r.median / readFloor, 2, "x"), std::to_string(reads.failed), "-", "-");
    const double worstRatio = p.max / r.median;
    printRow("cli read, slowest of 16", fixed(p.median, 1, " ms"), spreadOf(p), fixed(r.median, 1, " ms"),
             fixed(worstRatio, 2, "x"), std::to_string(parallel.failed), "<= 1.3x solo",
             worstRatio <= Goal ? "yes" : "NO");
    const double worstByPath = pp.max / r.median;
    printRow("  same, --port device path", fixed(pp.median, 1, " ms"), spreadOf(pp), fixed(r.median, 1, " ms"),
             fixed(worstByPath, 2, "x"), std::to_string(parallelByPath.failed), "<= 1.3x solo",
             worstByPath <= Goal ? "yes" : "NO");
    const double stationWall = s.median / s1.median, stationCpu = sc.median / s1c.median;
    printRow("cli read COM1 of 16 mapped", fixed(s1.median, 1, " ms"), spreadOf(s1), fixed(readFloor, 1, " ms"),
             fixed(s1.median / readFloor, 2, "x"), std::to_string(station.solo.failed), "-", "-");
    printRow("  same, CPU of the process", fixed(s1c.median, 1, " ms"), spreadOf(s1c), "-", "-", "-", "-", "-");
    printRow("cli --port all read, 16", fixed(s.median, 1, " ms"), spreadOf(s), fixed(s1.median, 1, " ms"),
             fixed(stationWall, 2, "x"), std::to_string(station.all.failed), "<= 1.15x solo",
             stationWall <= StationWallGoal ? "yes" : "NO");
    printRow("  same, CPU of the process", fixed(sc.median, 1, " ms"), spreadOf(sc), fixed(s1c.median, 1, " ms"),
             fixed(stationCpu, 2, "x"), "-", "<= 2x solo CPU", stationCpu <= StationCpuGoal ? "yes" : "NO");
    std::printf("\nwrite floor: %d bytes at %.4f ms plus waits of %.1f ms; read floor: %d bytes plus %.1f ms.\n"
                "slowest of 16: per round the last of 16 parallel reads to exit; its floor column is the solo\n"
                "read's median and the ratio is the worst round's. --port all: one process reading 16 radios,\n"
                "against one reading COM1 of the same 16 mapped radios (median wall and CPU time), each with a\n"
                "history of its own, the two taking turns. %d CPUs.\n",
                WriteBytes, ByteMs, WriteWaitsMs, ReadBytes, ReadWaitsMs, int(sysconf(_SC_NPROCESSORS_ONLN)));
}

} // namespace CliBench
