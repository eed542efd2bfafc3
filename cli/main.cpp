#include "cli/Cli.h"

#include <QCoreApplication>

#ifdef __GLIBC__
#include <malloc.h>
#endif

int main(int argc, char *argv[])
{
#ifdef __GLIBC__
    // A station's sixteen exchange threads would each get a heap of their
    // own, mapped, grown and trimmed again: more CPU than the exchanges,
    // which allocate little and mostly wait on the wire. The one heap grows
    // in large steps and is not given back before the short run ends: each
    // return to the system stops every thread to flush its mappings.
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_TOP_PAD, 4 << 20);
    mallopt(M_TRIM_THRESHOLD, 16 << 20);
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
    // Each exchange thread gets an event dispatcher; Qt's own is enough for
    // serial ports and costs less than a GLib main context per thread.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    // The same name as the window's, so that both keep one history.
    QCoreApplication::setApplicationName(QStringLiteral("Calitune"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CALITUNE_VERSION));
    return Cli::run(QCoreApplication::arguments());
}
