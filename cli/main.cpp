#include "cli/Cli.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // The same name as the window's, so that both keep one history.
    QCoreApplication::setApplicationName(QStringLiteral("Calitune"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CALITUNE_VERSION));
    return Cli::run(QCoreApplication::arguments());
}
