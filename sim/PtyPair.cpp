#include "sim/PtyPair.h"
#include "serial/PortLock.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono;

PtyPair::PtyPair()
{
    int slave = -1;
    char name[256] = {};
    if (::openpty(&m_master, &slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    termios tio{};
    ::tcgetattr(slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave, TCSANOW, &tio);
    // The program under test opens the slave by its path; we keep only the master.
    ::close(slave);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    // A program started meanwhile must not keep the far end alive.
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    m_slavePath = QString::fromLocal8Bit(name);
    // A terminal of this number that came before may have left lock files.
    PortLock::RemoveUnheld(m_slavePath);
}

PtyPair::~PtyPair() { close(); }

void PtyPair::close()
{
    if (m_master < 0)
        return;
    ::close(m_master);
    m_master = -1;
    // What a program killed on this terminal left would refuse the next one.
    PortLock::RemoveUnheld(m_slavePath);
}

bool PtyPair::write(const QByteArray &bytes)
{
    qsizetype done = 0;
    while (m_master >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else {
            pollfd p{m_master, POLLOUT, 0};
            ::poll(&p, 1, 5);
        }
    }
    return done == bytes.size();
}

QByteArray PtyPair::read(milliseconds timeout)
{
    const auto deadline = steady_clock::now() + timeout;
    QByteArray out;
    char buf[512];
    while (m_master >= 0) {
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n > 0) {
            out.append(buf, n);
            continue;   // drain what is there, then return
        }
        if (!out.isEmpty())
            return out;
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
        if (left.count() <= 0)
            return out;
        if (n < 0 && errno == EIO) {
            // Nobody holds the slave open: nothing can arrive yet.
            std::this_thread::sleep_for(std::min(left, milliseconds(2)));
            continue;
        }
        pollfd p{m_master, POLLIN, 0};
        ::poll(&p, 1, int(std::min<long long>(left.count(), 5)));
    }
    return out;
}

QByteArray PtyPair::readExactly(int count, milliseconds timeout)
{
    const auto deadline = steady_clock::now() + timeout;
    QByteArray out;
    while (out.size() < count) {
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
        if (left.count() <= 0)
            break;
        out += read(left);
    }
    return out;
}
