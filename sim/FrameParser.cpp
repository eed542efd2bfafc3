#include "sim/FrameParser.h"

#include "protocol/Frames.h"

#include <algorithm>

using Kind = SimRadio::FrameKind;

namespace {

// Size of the frame at the head of `p`: > 0 complete, 0 needs more bytes,
// -1 the head byte starts no frame.
int headFrame(const QByteArray &p, Kind &kind)
{
    const auto &code = Frames::AccessCode;
    const auto n = std::min<qsizetype>(p.size(), qsizetype(code.size()));
    if (std::equal(p.begin(), p.begin() + n, code.begin())) {
        kind = Kind::AccessCode;
        return n == qsizetype(code.size()) ? int(n) : 0;
    }
    int size = 0;
    switch (std::uint8_t(p[0])) {
    case Frames::ReadCommand: kind = Kind::Read; size = Frames::ReadRequestSize; break;
    case Frames::WriteCommand: kind = Kind::Write; size = Frames::WriteFrameSize; break;
    case Frames::ExitCommand: kind = Kind::Exit; size = 1; break;
    default: return -1;
    }
    return p.size() >= size ? size : 0;
}

} // namespace

void FrameParser::append(QByteArrayView bytes, Clock::time_point at)
{
    m_pending.append(bytes);
    m_arrivals.insert(m_arrivals.end(), size_t(bytes.size()), at);
}

void FrameParser::clear()
{
    m_pending.clear();
    m_arrivals.clear();
}

std::optional<SimRadio::Frame> FrameParser::head(Clock::time_point now)
{
    while (!m_pending.isEmpty()) {
        Kind kind{};
        const int size = headFrame(m_pending, kind);
        if (size > 0)
            return SimRadio::Frame{kind, m_pending.left(size), m_arrivals.front()};
        if (size == 0 && now - m_arrivals.back() < StaleAfter)
            return std::nullopt;
        drop(1);
    }
    return std::nullopt;
}

void FrameParser::pop()
{
    Kind kind{};
    if (const int size = m_pending.isEmpty() ? -1 : headFrame(m_pending, kind); size > 0)
        drop(size);
}

void FrameParser::drop(qsizetype n)
{
    m_pending.remove(0, n);
    m_arrivals.erase(m_arrivals.begin(), m_arrivals.begin() + n);
}
