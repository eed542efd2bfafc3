// calitune-web: a read-only web view over the history, local or the factory's.
#include "history/ServerHistory.h"
#include "settings/StationConfig.h"
#include "web/FleetMedian.h"
#include "web/WebServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QHostAddress>
#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <thread>

namespace {

constexpr int Refused = 1;
const QString DefaultListen = QStringLiteral("127.0.0.1:8750");

struct Listen {
    QString host;
    int port = 0;
    bool loopback = false;
};

int refuse(const QString &message)
{
    std::fprintf(stderr, "calitune-web: %s\n", qPrintable(message));
    return Refused;
}

// ADDR:PORT, or [IPv6]:PORT.
std::optional<Listen> parseListen(const QString &text)
{
    const qsizetype colon = text.lastIndexOf(u':');
    bool ok = false;
    const int port = text.mid(colon + 1).toInt(&ok);
    QString host = text.left(colon);
    if (host.startsWith(u'[') && host.endsWith(u']'))
        host = host.mid(1, host.size() - 2);
    if (colon <= 0 || !ok || port < 0 || port > 65535 || host.isEmpty())
        return std::nullopt;
    const QHostAddress address(host);
    return Listen{host, port, host == u"localhost" || (!address.isNull() && address.isLoopback())};
}

void describe(QCommandLineParser &p)
{
    p.setApplicationDescription(QStringLiteral(
        "A read-only web view over the history: each radio's story and calibration, the stations'\n"
        "health and the fleet's spread. The local history by default; --server reads the factory's."));
    p.addHelpOption();
    p.addVersionOption();
    p.addOptions({{QStringLiteral("listen"), QStringLiteral("Listen on ADDR:PORT (default %1; port 0 takes a free one).")
                                                 .arg(DefaultListen), QStringLiteral("ADDR:PORT"), DefaultListen},
                  {QStringLiteral("server"), QStringLiteral("Read the factory's history server instead of this station's history.")},
                  {QStringLiteral("token-file"), QStringLiteral("Every request must carry the token in FILE; needed to listen on "
                                                                "anything but a loopback address."), QStringLiteral("FILE")},
                  {QStringLiteral("config"), QStringLiteral("Read the settings from FILE instead of the user's."),
                   QStringLiteral("FILE")}});
}

// Why the options given cannot be served.
enum class Unusable { ConfigFile, NoServer, Token, Exposed };

Result<Web::Origin, Unusable> originOf(const History::StationConfig &config, bool server)
{
    if (!server)
        return Web::Origin{config.history().value, QString(), false};
    if (!config.server().isSet())
        return Failure{Unusable::NoServer, QStringLiteral("--server: ") + History::StationConfig::serverNotSet()};
    return Web::Origin{QString(), config.server().value, true};
}

Result<Web::ServerSettings, Unusable> settingsOf(const QCommandLineParser &p, const Listen &listen)
{
    if (p.isSet(QStringLiteral("config")) && !QFileInfo(p.value(QStringLiteral("config"))).isFile())
        return Failure{Unusable::ConfigFile, QStringLiteral("--config %1: not a file").arg(p.value(QStringLiteral("config")))};
    const History::StationConfig config = p.isSet(QStringLiteral("config"))
                                              ? History::StationConfig(p.value(QStringLiteral("config")))
                                              : History::StationConfig();
    for (const QString &warning : config.warnings())
        std::fprintf(stderr, "calitune-web: %s\n", qPrintable(warning));
    const Result<Web::Origin, Unusable> origin = originOf(config, p.isSet(QStringLiteral("server")));
    if (!origin)
        return origin.failure();
    Web::Access access;
    if (p.isSet(QStringLiteral("token-file"))) {
        const Result<QByteArray, Web::TokenError> token = Web::readToken(p.value(QStringLiteral("token-file")));
        if (!token)
            return Failure{Unusable::Token, token.text()};
        access = Web::Access(*token);
    } else if (!listen.loopback) {
        return Failure{Unusable::Exposed, QStringLiteral("--listen %1 is reachable from other machines: give --token-file "
                                                         "FILE, or listen on 127.0.0.1").arg(listen.host)};
    }
    return Web::ServerSettings{*origin, config.radioPrefix().value, access};
}

// SIGINT and SIGTERM stop the server from a thread of their own; every
// other thread has them blocked.
std::thread stopOnSignal(Web::WebServer &server, sigset_t stopSignals)
{
    return std::thread([&server, stopSignals] {
        int received = 0;
        sigwait(&stopSignals, &received);
        server.stop();
    });
}

// The fleet's median, which every radio's page draws, read once before the
// first page asks for it.
std::thread warmUp(const Web::Origin &origin)
{
    return std::thread([origin] {
        if (const auto source = Web::sourceHere(origin))
            Web::fleetMedian(*source);
        Web::forgetSourceHere();
    });
}

int run(Web::ServerSettings settings, const Listen &listen)
{
    // The history is checked before listening: nothing to serve is no server.
    if (const auto source = Web::sourceHere(settings.origin); !source)
        return refuse(source.text());
    Web::forgetSourceHere();
    const Web::Origin origin = settings.origin;
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    Web::WebServer server(std::move(settings));
    const Result<int, Web::ListenFailure> port = server.bind(listen.host, listen.port);
    if (!port)
        return refuse(port.text());
    const QString host = listen.host.contains(u':') ? u'[' + listen.host + u']' : listen.host;
    std::printf("http://%s:%d/\n", qPrintable(host), *port);
    std::fflush(stdout);
    std::thread stopper = stopOnSignal(server, stopSignals);
    std::thread warming = warmUp(origin);
    const Result<void, Web::ListenFailure> served = server.serve();
    warming.join();
    if (!served) {
        pthread_kill(stopper.native_handle(), SIGTERM);
        stopper.join();
        return refuse(served.text());
    }
    stopper.join();
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // The window's name: the same history folder and settings.
    QCoreApplication::setApplicationName(QStringLiteral("Calitune"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CALITUNE_VERSION));
    QCommandLineParser parser;
    describe(parser);
    if (!parser.parse(QCoreApplication::arguments()))
        return refuse(parser.errorText() + QStringLiteral(" (see calitune-web --help)"));
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty())
        return refuse(QStringLiteral("no arguments are taken, only options (see calitune-web --help)"));
    const std::optional<Listen> listen = parseListen(parser.value(QStringLiteral("listen")));
    if (!listen)
        return refuse(QStringLiteral("--listen %1: give ADDR:PORT, e.g. %2").arg(parser.value(QStringLiteral("listen")), DefaultListen));
    Result<Web::ServerSettings, Unusable> settings = settingsOf(parser, *listen);
    if (!settings)
        return refuse(settings.text());
    return run(std::move(settings).value(), *listen);
}
