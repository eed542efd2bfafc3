#pragma once
// When a USB-serial adapter hands a reply's bytes to the host. It holds what
// it has received from the radio until the next tick of its free-running
// latency timer, then passes everything it holds in one burst, each burst
// late by a random 0..jitter. Bytes it still holds are out of reach of a
// purge on the host side.

#include <chrono>
#include <random>
#include <vector>

class UsbDelivery {
public:
    using Clock = std::chrono::steady_clock;

    struct Burst {
        Clock::time_point at;
        int first;   // index of the burst's first byte in the reply
        int count;
    };

    // Ticks fall on tickOrigin + k * latency for every integer k.
    UsbDelivery(std::chrono::nanoseconds latency, std::chrono::nanoseconds jitter,
                Clock::time_point tickOrigin);

    // The first tick at or after t.
    Clock::time_point tickAtOrAfter(Clock::time_point t) const;

    // `ready[i]`: when byte i is whole inside the adapter (non-decreasing).
    // Bursts come in order and never overlap in time.
    std::vector<Burst> bursts(const std::vector<Clock::time_point> &ready,
                              std::mt19937_64 &random) const;

private:
    std::chrono::nanoseconds m_latency;
    std::chrono::nanoseconds m_jitter;
    Clock::time_point m_origin;
};
