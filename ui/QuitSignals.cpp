#include "ui/QuitSignals.h"

#include <QObject>
#include <QtGlobal>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace QuitSignals {

#ifdef Q_OS_UNIX
namespace {

// A handler may only write a byte to a pipe; the notifier reads it on the
// window's thread.
int pipeToWindow = -1;

void handler(int signal)
{
    const unsigned char number = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(pipeToWindow, &number, 1);
}

} // namespace

void Watch(QObject *parent, std::function<void(int)> onSignal)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    pipeToWindow = fds[1];
    auto *notifier = new QSocketNotifier(fds[0], QSocketNotifier::Read, parent);
    QObject::connect(notifier, &QSocketNotifier::activated, parent, [fd = fds[0], onSignal] {
        unsigned char number = 0;
        while (::read(fd, &number, 1) == 1)
            onSignal(number);
    });
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGHUP, SIGINT})
        ::sigaction(signal, &action, nullptr);
}
#else
void Watch(QObject *, std::function<void(int)>) {}
#endif

} // namespace QuitSignals
