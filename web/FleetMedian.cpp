#include "web/FleetMedian.h"

#include "web/FleetPage.h"

#include <QDeadlineTimer>
#include <QHash>
#include <mutex>

namespace Web {

namespace {

constexpr int KeptMs = 5 * 60'000;

// The same radios and blocks as the fleet page, so that the band and the
// fleet's box plot agree.
std::optional<ValueMedians> computed(const Source &source, bool *read)
{
    const auto radios = latestBlocks(source);
    *read = radios.ok();
    if (!radios || radios->isEmpty())
        return std::nullopt;
    const std::array<Charts::Spread, PowerValueCount> spreads = fleetSpreads(*radios);
    ValueMedians out;
    for (int i = 0; i < PowerValueCount; ++i)
        out[i] = spreads[std::size_t(i)].median;
    return out;
}

struct Kept {
    std::optional<ValueMedians> medians;
    QDeadlineTimer until;
};

} // namespace

std::optional<ValueMedians> fleetMedian(const Source &source)
{
    static std::mutex mutex;
    static QHash<QString, Kept> kept;   // by table: one per database the server reads
    {
        std::lock_guard lock(mutex);
        const auto it = kept.constFind(source.table);
        if (it != kept.constEnd() && !it->until.hasExpired())
            return it->medians;
    }
    bool read = false;
    std::optional<ValueMedians> medians = computed(source, &read);
    if (!read)
        return std::nullopt;   // asked again with the next page
    std::lock_guard lock(mutex);
    kept.insert(source.table, {medians, QDeadlineTimer(KeptMs)});
    return medians;
}

} // namespace Web
