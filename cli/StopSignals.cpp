#include "cli/StopSignals.h"

#include <QtGlobal>
#include <atomic>
#include <csignal>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace StopSignals {

namespace {

// Lock-free atomics are all a signal handler may touch.
std::atomic_int caught{0};
std::atomic_int count{0};
static_assert(std::atomic_int::is_always_lock_free);

constexpr unsigned WindDownSeconds = 2;

void handler(int signal)
{
    if (count.fetch_add(1) == 0) {
        caught = signal;
        return;
    }
#ifdef Q_OS_UNIX
    // The default action of SIGALRM ends the process if the wind-down hangs.
    if (count.load() == 2)
        ::alarm(WindDownSeconds);
#endif
}

} // namespace

void Install()
{
#ifdef Q_OS_UNIX
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);
#else
    for (int signal : {SIGINT, SIGTERM})
        std::signal(signal, handler);
#endif
}

bool Requested() { return caught.load() != 0; }

int Signal() { return caught.load(); }

} // namespace StopSignals
