#include "ui/AppSetup.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QTranslator>

#if defined(CALITUNE_HAVE_XCB)
#include <xcb/xcb.h>
#endif

namespace AppSetup {

namespace {

const char *const Description = "The calibration window of Calitune: reads the transmit-power\n"
                                "calibration of a UHF radio over a serial programming cable, lets\n"
                                "you edit it and writes it back. For scripts use calitune-cli.";

CommandLine stop(int exitCode, const QString &output, const QString &error = {})
{
    CommandLine c;
    c.run = false;
    c.exitCode = exitCode;
    c.output = output;
    c.error = error;
    return c;
}

bool xServerAnswers()
{
#if defined(CALITUNE_HAVE_XCB)
    xcb_connection_t *connection = xcb_connect(nullptr, nullptr);
    const bool answers = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return answers;
#else
    return true;
#endif
}

} // namespace

CommandLine ParseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    // Qt's own spelling "-platform NAME" must keep working.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({"h", "?", "help"}, "Show this help and exit.");
    const QCommandLineOption version({"V", "version"}, "Show the version and exit.");
    const QCommandLineOption platform(
        "platform", "Qt platform plugin to use, as QT_QPA_PLATFORM (e.g. offscreen).", "NAME");
    parser.addOptions({help, version, platform});
    parser.setApplicationDescription(QString::fromLatin1(Description));

    const QString seeHelp = QStringLiteral(" See calitune --help.");
    if (!parser.parse(arguments))
        return stop(2, {}, "calitune: " + parser.errorText().simplified() + seeHelp);
    if (parser.isSet(help)) {
        QString text = parser.helpText();
        const int usageEnd = text.indexOf(u'\n');
        text.replace(0, usageEnd, QStringLiteral("Usage: calitune [options]"));
        return stop(0, text);
    }
    if (parser.isSet(version))
        return stop(0, QStringLiteral("calitune %1\n").arg(QLatin1String(CALITUNE_VERSION)));
    if (!parser.positionalArguments().isEmpty())
        return stop(2, {},
                    QStringLiteral("calitune: unexpected argument '%1'.")
                            .arg(parser.positionalArguments().constFirst())
                        + seeHelp);
    CommandLine c;
    c.platform = parser.value(platform);
    return c;
}

bool DisplayAvailable(const QString &platform, const EnvLookup &env,
                      const std::function<bool()> &xServerAnswers)
{
#if defined(Q_OS_LINUX)
    QString plugins = platform.isEmpty() ? env("QT_QPA_PLATFORM") : platform;
    if (plugins.trimmed().isEmpty())
        plugins = QStringLiteral("xcb;wayland");
    // Qt tries the ';'-separated plugins in turn; ':' starts a plugin's options.
    for (const QString &candidate : plugins.split(u';', Qt::SkipEmptyParts)) {
        const QString name = candidate.section(u':', 0, 0).trimmed();
        if (name == QLatin1String("xcb")) {
            if (!env("DISPLAY").isEmpty() && xServerAnswers())
                return true;
        } else if (name.startsWith(QLatin1String("wayland"))) {
            if (!env("WAYLAND_DISPLAY").isEmpty())
                return true;
        } else if (!name.isEmpty()) {
            return true;   // offscreen, minimal, vnc, eglfs, linuxfb: no display server
        }
    }
    return false;
#else
    Q_UNUSED(platform)
    Q_UNUSED(env)
    Q_UNUSED(xServerAnswers)
    return true;
#endif
}

bool DisplayAvailable(const QString &platform)
{
    return DisplayAvailable(
        platform, [](const char *name) { return qEnvironmentVariable(name); }, xServerAnswers);
}

bool InstallQtChinese(QCoreApplication &app)
{
    auto *translator = new QTranslator(&app);
    if (translator->load(QStringLiteral("qtbase_zh_CN"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath))
        && QCoreApplication::installTranslator(translator))
        return true;
    delete translator;
    return false;
}

void SetWindowIcon()
{
    QIcon icon;
    icon.addFile(QStringLiteral(":/calitune/calitune-48.png"));
    icon.addFile(QStringLiteral(":/calitune/calitune-256.png"));
    QGuiApplication::setWindowIcon(icon);
}

} // namespace AppSetup
