#include "sim/UsbDelivery.h"

#include <algorithm>

using namespace std::chrono;

UsbDelivery::UsbDelivery(nanoseconds latency, nanoseconds jitter, Clock::time_point tickOrigin)
    : m_latency(std::max(latency, nanoseconds(1))), m_jitter(std::max(jitter, nanoseconds(0))),
      m_origin(tickOrigin)
{
}

UsbDelivery::Clock::time_point UsbDelivery::tickAtOrAfter(Clock::time_point t) const
{
    const auto d = (t - m_origin).count();
    const auto l = m_latency.count();
    const auto k = d >= 0 ? (d + l - 1) / l : -(-d / l);
    return m_origin + nanoseconds(k * l);
}

std::vector<UsbDelivery::Burst> UsbDelivery::bursts(const std::vector<Clock::time_point> &ready,
                                                    std::mt19937_64 &random) const
{
    std::uniform_int_distribution<long long> late(0, m_jitter.count());
    std::vector<Burst> out;
    for (int i = 0; i < int(ready.size());) {
        const auto tick = tickAtOrAfter(ready[size_t(i)]);
        int n = 0;
        while (i + n < int(ready.size()) && ready[size_t(i + n)] <= tick)
            ++n;
        auto at = tick + nanoseconds(late(random));
        if (!out.empty())
            at = std::max(at, out.back().at);
        out.push_back({at, i, n});
        i += n;
    }
    return out;
}
