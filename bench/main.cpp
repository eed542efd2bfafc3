// Times complete Read and Write clicks of the real window against the
// simulated radio, the start-up of the window with sixteen mapped ports, and
// the CPU a silent exchange costs, and prints them next to their goals.

#include "bench/CliBench.h"
#include "bench/HistoryBench.h"
#include "bench/ServerBench.h"
#include "bench/WebBench.h"
#include "protocol/CalibrationBlock.h"
#include "protocol/Link.h"
#include "sim/PtyPair.h"
#include "sim/SimRadio.h"
#include "ui/TestForm.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QEventLoop>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
using Kind = SimRadio::FrameKind;
using Fault = SimRadio::Fault;

constexpr int ExchangeRuns = 30;
constexpr int StartRuns = 15;
constexpr int MappedPorts = 16;
constexpr std::chrono::milliseconds SettleAfterFailure{300};
constexpr const char *FirstShowMode = "--first-show";
constexpr double ByteMs = 10.0 / 9600 * 1000;   // start, 8 data and stop bit
constexpr double EntryWaitMs = Link::EntryWaitMs, ExitWaitMs = Link::ExitWaitMs, BlockWaitMs = Link::BlockWaitMs;
constexpr double FloorGoal = 1.5, StartGoalMs = 300, CpuGoalPercent = 1, StallGoalMs = 50;

const QString ReadDone = QStringLiteral("读出成功！");
const QString WriteDone = QStringLiteral("写入成功！");

double msBetween(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

struct Stats {
    double min = 0, median = 0, p10 = 0, p90 = 0, max = 0;
};

Stats statsOf(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const auto at = [&v](double q) { return v[std::size_t(q * double(v.size() - 1) + 0.5)]; };
    return {v.front(), at(0.5), at(0.1), at(0.9), v.back()};
}

// Every byte on the line both ways, plus the fixed waits, plus for a USB
// adapter the latency each reply may wait for its timer.
struct Floor {
    int bytes;
    double waitsMs;
    int replies = 0;
    double ms(bool paced, double adapterLatencyMs = 0) const
    {
        return (paced ? bytes * ByteMs : 0) + waitsMs + replies * adapterLatencyMs;
    }
};

constexpr int AckBytes = 1;
constexpr int EntryBytes = int(Frames::AccessCode.size()) + AckBytes;
constexpr int ExitBytes = 1 + 1;   // "E", "f"
constexpr double Waits = EntryWaitMs + BlockWaitMs + ExitWaitMs;
constexpr int ReadBytes = Frames::ReadRequestSize + Frames::ReadReplySize;
constexpr Floor ReadFloor{EntryBytes + ReadBytes + ExitBytes, Waits, 3};
// Every write reads the block first, in the same session.
constexpr Floor WriteFloor{EntryBytes + ReadBytes + Frames::WriteFrameSize + AckBytes + ExitBytes,
                           Waits + BlockWaitMs, 4};
constexpr int SilentWriteAttempts = Link::LongRetryBudget + 1;

struct Runs {
    std::vector<double> ms;
    int failed = 0;
};

// The real window and driver against a simulated radio on a pty.
class ExchangeBench {
public:
    SimRadio radio;

    ExchangeBench()
    {
        radio.setMemory(CalibrationAddress, QByteArray::fromHex("6022657f00056d2e7132763711223344"));
        qputenv("CALITUNE_COM1", radio.devicePath().toLocal8Bit());
        form = std::make_unique<TestForm>();
        using Buttons = TestForm::MsgButtons;
        form->setMessagePresenter([this](const QString &text, TestForm::MsgIcon, Buttons buttons) {
            shownAt = Clock::now();
            shownText = text;
            // No Retry after a silent entry: the exchange ends there.
            return buttons == Buttons::Ok ? TestForm::MsgAnswer::Ok : TestForm::MsgAnswer::Cancel;
        });
    }

    // A busy machine can delay the simulated radio's paced bytes by more than
    // the 2 ms gap rule allows; such an exchange ends with another message.
    // It is left out and counted.
    Runs runs(bool write, int count)
    {
        Runs r;
        radio.clearLog();
        while (int(r.ms.size()) < count) {
            const double t = write ? clickToMessage(form->TestWrCmb, WriteDone)
                                   : clickToMessage(form->TestRdCmb, ReadDone);
            if (t >= 0) {
                r.ms.push_back(t);
                continue;
            }
            if (++r.failed > count)
                throw std::runtime_error("over " + std::to_string(count)
                                         + " exchanges failed (is the machine busy?), last: "
                                         + shownText.toStdString());
            // Let the radio finish answering the requests it still holds.
            std::this_thread::sleep_for(SettleAfterFailure);
        }
        return r;
    }

    // Clicks and runs the event loop until the exchange has ended; returns
    // the longest the loop went without serving a 5 ms timer, when asked to
    // keep one (it costs CPU of its own).
    double clickAndWait(QPushButton *button, bool timeStalls = false)
    {
        QEventLoop loop;
        QObject::connect(form.get(), &TestForm::exchangeEnded, &loop, &QEventLoop::quit);
        QElapsedTimer sinceTick;
        double longestGapMs = 0;
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, [&] {
            longestGapMs = std::max(longestGapMs, double(sinceTick.nsecsElapsed()) / 1e6);
            sinceTick.restart();
        });
        if (timeStalls)
            tick.start(5);
        sinceTick.start();
        button->click();
        loop.exec();
        return longestGapMs;
    }

    QPushButton *writeButton() const { return form->TestWrCmb; }

private:
    std::unique_ptr<TestForm> form;
    Clock::time_point shownAt;
    QString shownText;

    // Milliseconds from the click to the message; negative when another came.
    double clickToMessage(QPushButton *button, const QString &expected)
    {
        shownText.clear();
        const Clock::time_point clicked = Clock::now();
        clickAndWait(button);
        return shownText == expected ? msBetween(clicked, shownAt) : -1;
    }
};

struct CpuUse {
    double wallMs;
    double cpuMs;
    int attempts;
    double longestStallMs;   // of the window's event loop meanwhile
};

double cpuMsNow()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    const auto ms = [](const timeval &t) { return double(t.tv_sec) * 1000 + double(t.tv_usec) / 1000; };
    return ms(u.ru_utime) + ms(u.ru_stime);
}

// A Write to a radio that never answers the access code: the whole process,
// the simulated radio's thread included, is charged.
CpuUse silentWrite(ExchangeBench &bench)
{
    bench.radio.setFaults(Kind::AccessCode, {}, Fault::Silent);
    bench.radio.clearLog();
    const double cpu0 = cpuMsNow();
    const Clock::time_point t0 = Clock::now();
    bench.clickAndWait(bench.writeButton());
    const CpuUse use{msBetween(t0, Clock::now()), cpuMsNow() - cpu0, bench.radio.count(Kind::AccessCode),
                     bench.clickAndWait(bench.writeButton(), true)};
    bench.radio.setFaults(Kind::AccessCode, {});
    return use;
}

// --- Start-up, measured in a child process ---------------------------------

// The child does what the window program does and reports, at the first
// expose of the window, how many ports its list offers.
int firstShowChild(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Calitune"));
    // The window keeps its records as it would, but never in the user's history.
    const QTemporaryDir historyDir;
    qputenv("CALITUNE_HISTORY", QFile::encodeName(historyDir.filePath(QStringLiteral("history.db"))));
    TestForm window;
    struct ExposeWatch : QObject {
        TestForm *window;
        explicit ExposeWatch(TestForm *w) : window(w) {}
        bool eventFilter(QObject *o, QEvent *e) override
        {
            QWindow *handle = window->windowHandle();
            if (e->type() == QEvent::Expose && o == handle && handle->isExposed()) {
                std::printf("shown %d\n", window->ComPortCmb->count());
                std::fflush(stdout);
                QCoreApplication::exit(0);
            }
            return false;
        }
    } watch(&window);
    app.installEventFilter(&watch);
    window.show();
    return app.exec();
}

std::vector<std::string> childEnvironment(const std::vector<std::unique_ptr<PtyPair>> &ptys)
{
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e)
        if (std::strncmp(*e, "CALITUNE_COM", 12) != 0 && std::strncmp(*e, "QT_QPA_PLATFORM=", 16) != 0)
            env.emplace_back(*e);
    env.emplace_back("QT_QPA_PLATFORM=offscreen");
    for (int n = 1; n <= int(ptys.size()); ++n)
        env.push_back("CALITUNE_COM" + std::to_string(n) + "=" + ptys[n - 1]->slavePath().toStdString());
    return env;
}

// Milliseconds from spawning the child to its report of the first expose.
double timeOneStart(std::vector<std::string> &env)
{
    std::vector<char *> envp;
    for (std::string &s : env)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string self = "/proc/self/exe", mode = FirstShowMode;
    char *argv[] = {self.data(), mode.data(), nullptr};
    int out[2];
    if (::pipe(out) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    pid_t pid = 0;
    const Clock::time_point t0 = Clock::now();
    const int spawned = ::posix_spawn(&pid, self.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    char line[32] = {};
    const ssize_t n = spawned == 0 ? ::read(out[0], line, sizeof line - 1) : -1;
    const Clock::time_point t1 = Clock::now();
    ::close(out[0]);
    if (spawned == 0)
        ::waitpid(pid, nullptr, 0);
    int ports = -1;
    if (n <= 0 || std::sscanf(line, "shown %d", &ports) != 1)
        throw std::runtime_error("the start-up child did not report its window");
    if (ports != MappedPorts)
        throw std::runtime_error("the start-up child listed " + std::to_string(ports) + " ports");
    return msBetween(t0, t1);
}

std::vector<double> startUps(int count)
{
    std::vector<std::unique_ptr<PtyPair>> ptys;
    for (int i = 0; i < MappedPorts; ++i)
        ptys.push_back(std::make_unique<PtyPair>());
    std::vector<std::string> env = childEnvironment(ptys);
    std::vector<double> ms;
    for (int i = 0; i < count; ++i)
        ms.push_back(timeOneStart(env));
    return ms;
}

// --- Table --------------------------------------------------------------------

std::string fixed(double v, int decimals, const char *unit = "")
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f%s", decimals, v, unit);
    return buf;
}

struct Row {
    std::string figure, median, spread, floor = "-", ratio = "-", left = "-", goal = "-", met = "-";
};

void print(const Row &r)
{
    std::printf("%-26s %9s  %-27s %8s %6s %5s  %-14s %s\n", r.figure.c_str(), r.median.c_str(),
                r.spread.c_str(), r.floor.c_str(), r.ratio.c_str(), r.left.c_str(), r.goal.c_str(),
                r.met.c_str());
}

std::string spreadOf(const Stats &s)
{
    return fixed(s.min, 1) + " " + fixed(s.p10, 1) + " " + fixed(s.p90, 1) + " " + fixed(s.max, 1);
}

std::string yesNo(bool met) { return met ? "yes" : "NO"; }

Row exchangeRow(const char *figure, const Runs &runs, const Floor &floor, bool paced,
                double adapterLatencyMs = 0)
{
    const Stats s = statsOf(runs.ms);
    const double floorMs = floor.ms(paced, adapterLatencyMs);
    const double ratio = s.median / floorMs;
    Row r{figure, fixed(s.median, 1, " ms"), spreadOf(s), fixed(floorMs, 1, " ms"), fixed(ratio, 2, "x"),
          std::to_string(runs.failed)};
    if (paced) {
        r.goal = "<= 1.5x floor";
        r.met = yesNo(ratio <= FloorGoal);
    }
    return r;
}

Row startRow(const std::vector<double> &ms)
{
    const Stats s = statsOf(ms);
    Row r{"Start-up, 16 mapped ports", fixed(s.median, 1, " ms"), spreadOf(s)};
    r.goal = "< 300 ms";
    r.met = yesNo(s.median < StartGoalMs);
    return r;
}

Row cpuRow(const CpuUse &cpu)
{
    const double percent = 100 * cpu.cpuMs / cpu.wallMs;
    Row r{"CPU, silent Write", fixed(percent, 2, " %"),
          fixed(cpu.cpuMs, 0, " ms CPU in ") + fixed(cpu.wallMs, 0, " ms")};
    r.goal = "< 1 % of wall";
    r.met = yesNo(percent < CpuGoalPercent && cpu.attempts == SilentWriteAttempts);
    return r;
}

Row stallRow(const CpuUse &cpu)
{
    Row r{"Window stall, silent Write", fixed(cpu.longestStallMs, 1, " ms"), "longest gap of a 5 ms timer"};
    r.goal = "<= 50 ms";
    r.met = yesNo(cpu.longestStallMs <= StallGoalMs);
    return r;
}

void windowBench()
{
    ExchangeBench bench;
    bench.radio.setPacing(true);
    const Runs read = bench.runs(false, ExchangeRuns);
    const Runs write = bench.runs(true, ExchangeRuns);
    bench.radio.setPacing(false);
    const Runs readFast = bench.runs(false, ExchangeRuns);
    const Runs writeFast = bench.runs(true, ExchangeRuns);
    bench.radio.setPacing(true);
    bench.radio.setUsbDelivery(std::chrono::milliseconds(16));
    const Runs readFtdi = bench.runs(false, ExchangeRuns);
    const Runs writeFtdi = bench.runs(true, ExchangeRuns);
    bench.radio.setUsbDelivery(std::chrono::milliseconds(1), std::chrono::milliseconds(3));
    const Runs readBursts = bench.runs(false, ExchangeRuns);
    const Runs writeBursts = bench.runs(true, ExchangeRuns);
    bench.radio.setUsbDelivery({});
    bench.radio.setPacing(false);
    const CpuUse cpu = silentWrite(bench);
    const std::vector<double> start = startUps(StartRuns);

    std::printf("\n%d exchanges per row, %d starts; spread: min p10 p90 max (ms); "
                "left: exchanges left out\n\n", ExchangeRuns, StartRuns);
    print({"Figure", "median", "spread", "floor", "ratio", "left", "goal", "met"});
    print(exchangeRow("Read, 9600 baud paced", read, ReadFloor, true));
    print(exchangeRow("Write, 9600 baud paced", write, WriteFloor, true));
    print(exchangeRow("Read, unpaced", readFast, ReadFloor, false));
    print(exchangeRow("Write, unpaced", writeFast, WriteFloor, false));
    print(exchangeRow("Read, USB 16 ms timer", readFtdi, ReadFloor, true, 16));
    print(exchangeRow("Write, USB 16 ms timer", writeFtdi, WriteFloor, true, 16));
    print(exchangeRow("Read, USB 1 ms +3 jitter", readBursts, ReadFloor, true, 1 + 3));
    print(exchangeRow("Write, USB 1 ms +3 jitter", writeBursts, WriteFloor, true, 1 + 3));
    print(startRow(start));
    print(cpuRow(cpu));
    print(stallRow(cpu));
    std::printf("\nfloor: every byte both ways at %.4f ms (Read %d, Write %d bytes; none unpaced) "
                "plus the waits of %.1f ms;\nUSB rows add the adapter's latency (+ jitter) once per "
                "reply (Read 3, Write 4: it reads the block before writing).\n"
                "CPU: %d unanswered access-code attempts.\n",
                ByteMs, ReadFloor.bytes, WriteFloor.bytes, Waits, cpu.attempts);
}

} // namespace

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (argc > 1 && std::strcmp(argv[1], FirstShowMode) == 0)
        return firstShowChild(argc, argv);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Calitune"));
    // The sections to run: window, cli, history, web, server; all when none is named.
    QStringList sections = QApplication::arguments().mid(1);
    if (sections.isEmpty())
        sections = {"window", "cli", "history", "web", "server"};
    try {
        if (sections.contains("window"))
            windowBench();
        if (sections.contains("cli"))
            CliBench::run();
        if (sections.contains("history"))
            HistoryBench::run();
        if (sections.contains("web"))
            WebBench::run();
        if (sections.contains("server") && ServerBench::run() != 0)
            return 1;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "calitune-bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
