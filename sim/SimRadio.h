#pragma once
// A simulated radio on the master side of a pseudo-terminal. It answers the
// access code, block reads and writes and the exit command as the radio
// does, keeps 64 KiB of memory, logs every frame it receives, and can be
// told to misbehave per attempt.

#include "sim/PtyPair.h"

#include <QByteArray>
#include <QString>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

class SimRadio {
public:
    enum class FrameKind { AccessCode, Read, Write, Exit };

    struct Fault {
        enum Kind {
            None,          // answer as a radio does
            Silent,        // no answer at all
            WrongByte,     // answer `value` instead of the expected first byte
            AckThenJunk,   // the right answer followed by `value` junk bytes
            CutAfter,      // read reply cut after `value` bytes
            WrongHeader,   // read reply starting with `value` instead of 'W'
            WrongAddress,  // read reply carrying another address
            PauseAfter,    // read reply pausing once for `value` ms after its first `at` bytes
            StoreOther,    // write acknowledged, but data byte 0 XOR `value` stored for byte 0
        } kind;
        int value;
        int at;   // PauseAfter only
        // value 0, except PauseAfter 50 ms and StoreOther 0x01.
        Fault(Kind k = None)
            : kind(k), value(k == PauseAfter ? 50 : k == StoreOther ? 0x01 : 0), at(10) {}
        Fault(Kind k, int v, int a = 10) : kind(k), value(v), at(a) {}
    };

    struct Frame {
        FrameKind kind;
        QByteArray bytes;
        std::chrono::steady_clock::time_point at;
    };

    struct LineSettings {
        int baud = 0;
        int dataBits = 0;
        char parity = '?';   // 'N', 'E', 'O'
        int stopBits = 0;
        bool raw = false;    // no canonical mode, echo, signals, output processing
    };

    SimRadio();            // creates the pty and starts answering
    ~SimRadio();
    SimRadio(const SimRadio &) = delete;
    SimRadio &operator=(const SimRadio &) = delete;

    QString devicePath() const;

    // Memory: 64 KiB, all 0 at first.
    void setMemory(int address, const QByteArray &bytes);
    QByteArray memory(int address, int length) const;

    // The faults for the next attempts of one kind of frame, in order; after
    // the list is used up, `thereafter` applies to every further attempt.
    // Every received frame of that kind takes one, answered or not. A fault
    // that means nothing for the kind acts as None.
    void setFaults(FrameKind kind, std::vector<Fault> perAttempt, Fault thereafter = {});
    // Answers nothing, and does nothing, from the (n+1)-th frame after this
    // call on (cable pulled, radio off); frames are still logged. n < 0: never.
    void setSilentAfter(int frames);
    // 9600-baud pacing: each byte takes 1.0417 ms on the line both ways.
    void setPacing(bool paced);
    // Extra gap before every reply byte after the first.
    void setReplyByteGap(std::chrono::microseconds gap);
    // latency > 0: replies reach the host as through a USB-serial adapter.
    // Their bytes reach the adapter at 9600 baud (paced or not), and it
    // passes what it holds at the ticks of a free-running timer of period
    // `latency` with a random phase, each burst late by a random 0..jitter.
    // latency 0: bytes go straight to the line, as before.
    void setUsbDelivery(std::chrono::microseconds latency, std::chrono::microseconds jitter = {});
    // Repeatable random choices (phase, jitter) from here on; draws a new phase.
    void setRandomSeed(std::uint64_t seed);

    bool inProgrammingMode() const;
    // The frames taken in so far. Each first waits (up to a second) until the
    // radio has taken in and handled what was sent to it: a loaded machine
    // may run the radio's thread well after the sender's write returned.
    std::vector<Frame> frames() const;
    std::vector<FrameKind> frameKinds() const;
    int count(FrameKind kind) const;
    void clearLog();
    // The line settings of the slave as last seen when bytes arrived.
    LineSettings lineSettings() const;

    // Closes the master: the device vanishes as if the cable were pulled.
    void unplug();

    // Optional: every received frame and its reply are written to this file
    // descriptor as one line, in hex and decoded (the program logs to stderr).
    void setLogFd(int fd);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

QString frameKindName(SimRadio::FrameKind kind);
