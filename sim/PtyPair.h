#pragma once
// A pseudo-terminal whose master side we keep: the slave path plays the
// serial device a program opens, the master is the far end of the cable.

#include <QByteArray>
#include <QString>
#include <chrono>

class PtyPair {
public:
    PtyPair();            // openpty with a raw slave; throws std::runtime_error
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    QString slavePath() const { return m_slavePath; }
    int masterFd() const { return m_master; }
    bool isOpen() const { return m_master >= 0; }

    // Writes everything to the master side.
    bool write(const QByteArray &bytes);
    // Reads what arrives within `timeout`, returning as soon as something
    // came. While nobody holds the slave (EIO, POLLHUP) it keeps waiting.
    QByteArray read(std::chrono::milliseconds timeout);
    // Reads until `count` bytes or `timeout`.
    QByteArray readExactly(int count, std::chrono::milliseconds timeout);

    // Closes the master: the slave device vanishes, as a pulled cable.
    void close();

private:
    int m_master = -1;
    QString m_slavePath;
};
