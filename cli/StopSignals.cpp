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
    if (count.load() == 2)
        ::alarm(WindDownSeconds);
#endif
}

#ifdef Q_OS_UNIX
// The wind-down hangs: only write() and _exit() are safe here.
void windDownTooLong(int)
{
    static const char Said[] = "calitune-cli: interrupted; the wind-down did not end in time: the radio may still "
                               "be in programming mode and the record may say unfinished\n";
    [[maybe_unused]] const ssize_t n = ::write(2, Said, sizeof Said - 1);
    ::_exit(128 + caught.load());
}
#endif

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
    action.sa_handler = windDownTooLong;
    ::sigaction(SIGALRM, &action, nullptr);
#else
    for (int signal : {SIGINT, SIGTERM})
        std::signal(signal, handler);
#endif
}

bool Requested() { return caught.load() != 0; }

bool Hurried() { return count.load() > 1; }

int Signal() { return caught.load(); }

} // namespace StopSignals
