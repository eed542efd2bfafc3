#include "ui/AppSetup.h"
#include "ui/QuitSignals.h"
#include "ui/TestForm.h"

#include <QApplication>
#include <cstdio>

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const AppSetup::CommandLine command = AppSetup::ParseCommandLine(arguments);
    if (!command.run) {
        std::fputs(command.output.toLocal8Bit().constData(), stdout);
        if (!command.error.isEmpty())
            std::fprintf(stderr, "%s\n", command.error.toLocal8Bit().constData());
        return command.exitCode;
    }
    // Without a display QApplication aborts with a message about plugins.
    if (!AppSetup::DisplayAvailable(command.platform)) {
        std::fprintf(stderr, "%s\n", AppSetup::NoDisplayMessage);
        return 1;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Calitune"));
    // Lets the desktop match the window to the installed menu entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("calitune"));
    AppSetup::InstallQtChinese(app);
    AppSetup::SetWindowIcon();
    TestForm window;
    // A session that ends (SIGHUP) or a system that stops (SIGTERM) lets the
    // exchange on the wire end properly, the radio out of programming mode.
    QuitSignals::Watch(&window, [&window](int signal) { window.quitWhenIdle(128 + signal); });
    QObject::connect(&window, &TestForm::readyToQuit, &app, &QCoreApplication::exit);
    window.show();
    return app.exec();
}
