// calitune-radio-sim: a simulated radio on a pseudo-terminal, for trying the
// program by hand. Prints the device path, logs frames to stderr, runs until
// SIGINT or SIGTERM.

#include "protocol/CalibrationBlock.h"
#include "sim/SimRadio.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace {


// A realistic calibration: high power 96..118, low power 34..55, in block
// order H1, L1, ... H6, L6; then bytes 12 to 15.
const QByteArray DefaultValues("\x60\x22\x65\x26\x69\x2A\x6D\x2E\x71\x32\x76\x37", 12);
const QByteArray DefaultExtra("\x5A\x00\x12\x34", 4);

const char *const HelpText = R"(A simulated radio on a pseudo-terminal. It answers the
access code, block reads and writes and the exit command; its calibration
block at 0x0380 holds a realistic calibration unless --values and --extra say
otherwise. It runs until Ctrl+C (SIGINT) or SIGTERM, then removes the --link
and exits with 0. Bad, unknown or incomplete options exit with 2.

With --usb-latency the replies reach the device as through a USB-serial
adapter: bytes come at 9600 bit/s (as with --paced) into the adapter, which
passes what it holds every MS ms (free-running, random phase), each burst
late by a random 0 to --jitter ms. FTDI: 16; CH340/PL2303: 1 with --jitter 3.

Faults (--fault, one per kind of frame; a later one for the same kind wins):
  KIND:FAULT[:VALUE][@N]   hit the first N frames of KIND, or every one without @N
  KIND   access | read | write | exit
  FAULT  silent           no answer (a write is not stored, the mode is unchanged)
         wrong-byte       answer VALUE instead of the right first byte (default 0x15)
         junk             the right answer followed by VALUE junk bytes (default 3)
         cut              read reply cut after VALUE bytes (default 10)
         wrong-header     read reply starting with VALUE (default 0x52 'R')
         wrong-address    read reply carrying the next block's address
         pause            read reply pausing once; VALUE is MS[/AT]: MS ms
                          (default 50) after its first AT bytes (default 10)
         store-other      write acknowledged, but byte 0 of its data XOR VALUE
                          stored in its place (default 0x01)
  Numbers are decimal or 0x hex. Examples: --fault write:wrong-byte:0x15@2
  --fault read:pause:40/5@1 (the first read reply pauses 40 ms after 5 bytes)

Stdout gets the device path as its first line; stderr gets one line per
frame: seconds since start, kind, bytes received -> bytes answered, then the
frame decoded (address, length, calibration values in decimal).
)";

[[noreturn]] void fail(const QString &message, int code = 2)
{
    std::fprintf(stderr, "calitune-radio-sim: %s\n", qPrintable(message));
    std::exit(code);
}

// `option` names the option in the message when the text is no good.
long long number(const QString &text, long long max, const QString &option)
{
    bool ok = false;
    const long long n = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)
                            ? text.mid(2).toLongLong(&ok, 16)
                            : text.toLongLong(&ok, 10);
    if (!ok || n < 0 || n > max)
        fail(QStringLiteral("--%1: '%2' is not a number from 0 to %3").arg(option, text).arg(max));
    return n;
}

std::chrono::microseconds milliseconds(const QString &text, const QString &option)
{
    bool ok = false;
    const double ms = text.toDouble(&ok);
    if (!ok || ms < 0 || ms > 1000)
        fail(QStringLiteral("--%1: '%2' is not milliseconds from 0 to 1000").arg(option, text));
    return std::chrono::microseconds(qRound64(ms * 1000));
}

QByteArray bytes(const QString &list, int count, const QString &option)
{
    const QStringList parts = list.split(u',');
    if (parts.size() != count)
        fail(QStringLiteral("--%1 needs %2 comma-separated numbers").arg(option).arg(count));
    QByteArray out;
    for (const QString &p : parts)
        out += char(number(p.trimmed(), 255, option));
    return out;
}

struct FaultScript {
    SimRadio::FrameKind kind;
    std::vector<SimRadio::Fault> perAttempt;
    SimRadio::Fault thereafter;
};

FaultScript faultScript(const QString &text)
{
    static const std::map<QString, SimRadio::FrameKind> kinds{
        {"access", SimRadio::FrameKind::AccessCode}, {"read", SimRadio::FrameKind::Read},
        {"write", SimRadio::FrameKind::Write}, {"exit", SimRadio::FrameKind::Exit}};
    using F = SimRadio::Fault;
    static const std::map<QString, F> faults{
        {"silent", F(F::Silent)},          {"wrong-byte", F(F::WrongByte, 0x15)},
        {"junk", F(F::AckThenJunk, 3)},    {"cut", F(F::CutAfter, 10)},
        {"wrong-header", F(F::WrongHeader, 'R')}, {"wrong-address", F(F::WrongAddress)},
        {"pause", F(F::PauseAfter, 50, 10)}, {"store-other", F(F::StoreOther, 0x01)}};
    const QString option = QStringLiteral("fault");

    const QStringList at = text.split(u'@');
    const QStringList parts = at[0].split(u':');
    if (at.size() > 2 || parts.size() < 2 || parts.size() > 3 || !kinds.count(parts[0])
        || !faults.count(parts[1]))
        fail(QStringLiteral("--fault: bad fault '%1' (see --help)").arg(text));
    F fault = faults.at(parts[1]);
    if (parts.size() == 3) {
        const QStringList value = parts[2].split(u'/');
        if (value.size() > (fault.kind == F::PauseAfter ? 2 : 1))
            fail(QStringLiteral("--fault: bad value '%1' in '%2'").arg(parts[2], text));
        fault.value = int(number(value[0], fault.kind == F::PauseAfter ? 60000 : 255, option));
        if (value.size() == 2)
            fault.at = int(number(value[1], 255, option));
    }
    if (at.size() == 1)
        return {kinds.at(parts[0]), {}, fault};
    return {kinds.at(parts[0]), std::vector<F>(size_t(number(at[1], 1000, option)), fault), {}};
}

void makeLink(const QString &link, const QString &target)
{
    struct stat st{};
    const QByteArray path = link.toLocal8Bit();
    if (::lstat(path.constData(), &st) == 0) {
        if (!S_ISLNK(st.st_mode))
            fail(QStringLiteral("%1 exists and is not a symbolic link").arg(link));
        ::unlink(path.constData());
    }
    if (::symlink(target.toLocal8Bit().constData(), path.constData()) != 0)
        fail(QStringLiteral("cannot create the link %1").arg(link), 1);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("calitune-radio-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CALITUNE_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(HelpText));
    const QCommandLineOption help = parser.addHelpOption();
    // -V, as in calitune and calitune-cli, where -v would be verbose.
    const QCommandLineOption version({"V", "version"}, "Show the version and exit.");
    parser.addOption(version);
    parser.addOptions({
        {"link", "Also reach the device through the symbolic link PATH (replaced if it "
                 "is a stale link, removed at exit).", "PATH"},
        {"values", "The twelve power values at 0x0380, block order H1,L1,H2,L2,...,H6,L6, "
                   "each 0-255.", "LIST"},
        {"extra", "Bytes 12 to 15 of the block, four numbers 0-255.", "LIST"},
        {"paced", "Take 1.0417 ms per byte both ways, as at 9600 bit/s."},
        {"byte-gap", "Extra MS before every reply byte after the first.", "MS"},
        {"fault", "Misbehave as described under Faults above; repeatable.", "KIND:FAULT"},
        {"silent-after", "Answer only the first N frames, then nothing.", "N"},
        {"usb-latency", "Deliver replies as a USB-serial adapter would, in bursts every MS "
                        "ms (see above).", "MS"},
        {"jitter", "With --usb-latency: each burst late by a random 0 to MS ms.", "MS"},
        {"seed", "Seed for the random phase and jitter, to repeat a run.", "N"},
    });
    // process() would exit with 1 on a bad option.
    if (!parser.parse(app.arguments()))
        fail(parser.errorText());
    if (parser.isSet(help) || parser.optionNames().contains(QStringLiteral("help-all")))
        parser.showHelp(0);
    if (parser.isSet(version))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty())
        fail(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments()[0]));

    QByteArray block = DefaultValues + DefaultExtra;
    if (parser.isSet("values"))
        block.replace(0, 12, bytes(parser.value("values"), 12, "values"));
    if (parser.isSet("extra"))
        block.replace(12, 4, bytes(parser.value("extra"), 4, "extra"));

    const auto ms = [&parser](const QString &option) {
        return parser.isSet(option) ? milliseconds(parser.value(option), option)
                                    : std::chrono::microseconds(0);
    };
    const std::chrono::microseconds byteGap = ms("byte-gap");
    const std::chrono::microseconds usbLatency = ms("usb-latency");
    const std::chrono::microseconds jitter = ms("jitter");
    if (parser.isSet("jitter") && usbLatency.count() == 0)
        fail(QStringLiteral("--jitter needs --usb-latency"));
    std::vector<FaultScript> scripts;
    for (const QString &text : parser.values("fault"))
        scripts.push_back(faultScript(text));
    const int silentAfter =
        parser.isSet("silent-after")
            ? int(number(parser.value("silent-after"), 1000000, QStringLiteral("silent-after")))
            : -1;
    const bool seeded = parser.isSet("seed");
    const auto seed = seeded ? std::uint64_t(number(parser.value("seed"),
                                                    std::numeric_limits<long long>::max(),
                                                    QStringLiteral("seed")))
                             : 0;

    // The radio's thread inherits this mask, so the signals come to sigwait.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    SimRadio radio;
    radio.setMemory(CalibrationAddress, block);
    radio.setPacing(parser.isSet("paced"));
    radio.setReplyByteGap(byteGap);
    if (seeded)
        radio.setRandomSeed(seed);
    radio.setUsbDelivery(usbLatency, jitter);
    for (const FaultScript &f : scripts)
        radio.setFaults(f.kind, f.perAttempt, f.thereafter);
    radio.setSilentAfter(silentAfter);
    radio.setLogFd(STDERR_FILENO);

    const QString link = parser.value("link");
    if (!link.isEmpty())
        makeLink(link, radio.devicePath());
    std::printf("%s\n", qPrintable(radio.devicePath()));
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    if (!link.isEmpty())
        ::unlink(link.toLocal8Bit().constData());
    return 0;
}
