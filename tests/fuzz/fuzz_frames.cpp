// The simulated radio's frame parser, fed a byte stream in pieces at chosen
// times. Input: a list of pieces, each a gap in ms since the last piece, a
// length and that many bytes. Every frame must be well formed and stamped
// within the time it could have arrived; and unless an unfinished frame was
// left waiting long enough to go stale, the frames must be the same as from
// the whole stream at once.

#include "tests/fuzz/FuzzCheck.h"

#include "protocol/Frames.h"
#include "sim/FrameParser.h"

#include <vector>

using Kind = SimRadio::FrameKind;
using Clock = FrameParser::Clock;

namespace {

bool wellFormed(const SimRadio::Frame &f)
{
    const QByteArray &b = f.bytes;
    switch (f.kind) {
    case Kind::AccessCode:
        return b == Frames::accessCode();
    case Kind::Read:
        return b.size() == Frames::ReadRequestSize && std::uint8_t(b[0]) == Frames::ReadCommand;
    case Kind::Write:
        return b.size() == Frames::WriteFrameSize && std::uint8_t(b[0]) == Frames::WriteCommand;
    case Kind::Exit:
        return b.size() == 1 && std::uint8_t(b[0]) == Frames::ExitCommand;
    }
    return false;
}

void takeFrames(FrameParser &parser, Clock::time_point now, Clock::time_point since,
                std::vector<SimRadio::Frame> &out)
{
    while (const auto frame = parser.head(now)) {
        FUZZ_CHECK(wellFormed(*frame));
        FUZZ_CHECK(frame->at >= since && frame->at <= now);
        FUZZ_CHECK(parser.head(now)->bytes == frame->bytes);   // head() alone takes nothing
        parser.pop();
        out.push_back(*frame);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const Clock::time_point start{std::chrono::hours(1)};
    Clock::time_point now = start, lastByte = start;
    FrameParser parser;
    std::vector<SimRadio::Frame> frames;
    QByteArray stream;
    bool stale = false;

    for (std::size_t i = 0; i + 2 <= size;) {
        const std::chrono::milliseconds gap(data[i]);
        const std::size_t n = std::min<std::size_t>(data[i + 1], size - i - 2);
        const auto piece = QByteArrayView(data + i + 2, qsizetype(n));
        i += 2 + n;
        now += gap;
        stale = stale || (!parser.isEmpty() && now - lastByte >= FrameParser::StaleAfter);
        takeFrames(parser, now, start, frames);
        parser.append(piece, now);
        if (!piece.isEmpty())
            lastByte = now;
        stream.append(piece);
        takeFrames(parser, now, start, frames);
    }

    if (!stale) {
        FrameParser whole;
        std::vector<SimRadio::Frame> once;
        whole.append(stream, start);
        takeFrames(whole, start, start, once);
        FUZZ_CHECK(once.size() == frames.size());
        for (std::size_t k = 0; k < once.size(); ++k)
            FUZZ_CHECK(once[k].kind == frames[k].kind && once[k].bytes == frames[k].bytes);
    }
    return 0;
}
