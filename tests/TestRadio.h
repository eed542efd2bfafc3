#pragma once
// What the radio tests share: where the calibration block lives, a block of
// realistic values (L420 above 127, bytes 12-15 the radio's own), and bytes
// written as numbers.

#include <QByteArray>
#include <chrono>
#include <initializer_list>

inline QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out += char(v);
    return out;
}

inline constexpr int CalAddress = 0x380;
inline const QByteArray SampleBlock = bytes({96, 34, 101, 200, 0, 5, 109, 46, 113, 50, 118, 55, 0x11, 0x22, 0x33, 0x44});

// A reply window for tests whose radio stays silent: the simulated radio
// answers within a few milliseconds, so waiting out the real 700 ms proves
// nothing more. It still leaves an answering radio on a busy machine (or
// under the sanitizers) room to be heard.
inline constexpr std::chrono::milliseconds ShortReplyWindow{150};
