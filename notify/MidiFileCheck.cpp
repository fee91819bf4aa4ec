#include "notify/MidiFileCheck.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace qp {

namespace {

uint32_t bigEndian(const unsigned char* p, int bytes)
{
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = (v << 8) | p[i];
    return v;
}

// A variable-length quantity of at most four bytes.
bool readVlq(const unsigned char*& p, const unsigned char* end, uint32_t* value)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
        if (p >= end)
            return false;
        const unsigned char b = *p++;
        v = (v << 7) | (b & 0x7F);
        if (!(b & 0x80)) {
            *value = v;
            return true;
        }
    }
    return false;
}

struct TempoChange {
    uint64_t tick;
    uint32_t microsecondsPerQuarter;
};

// Reads every event of one track; *endTick receives the tick of its end.
bool readTrack(const unsigned char* p, const unsigned char* end, uint64_t* endTick,
               std::vector<TempoChange>* tempos)
{
    unsigned char running = 0;
    uint64_t tick = 0;
    *endTick = 0;
    while (p < end) {
        uint32_t delta = 0;
        if (!readVlq(p, end, &delta) || p >= end)
            return false;
        tick += delta;
        *endTick = tick;
        unsigned char status = *p;
        if (status & 0x80) {
            ++p;
        } else if (running) {
            status = running; // running status: the byte is the first data byte
        } else {
            return false;
        }
        if (status == 0xFF) {
            if (p >= end)
                return false;
            const unsigned char type = *p++;
            uint32_t length = 0;
            if (!readVlq(p, end, &length) || length > uint32_t(end - p))
                return false;
            if (type == 0x51 && length == 3)
                tempos->push_back({tick, bigEndian(p, 3)});
            p += length;
            if (type == 0x2F)
                return true; // end of track; anything after it is never played
        } else if (status == 0xF0 || status == 0xF7) {
            uint32_t length = 0;
            if (!readVlq(p, end, &length) || length > uint32_t(end - p))
                return false;
            p += length;
            running = 0;
        } else if (status >= 0xF0) {
            return false; // system common/real-time bytes do not belong in a file
        } else {
            running = status;
            const int dataBytes = ((status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0) ? 1 : 2;
            for (int i = 0; i < dataBytes; ++i) {
                if (p >= end || (*p & 0x80))
                    return false;
                ++p;
            }
        }
    }
    return true; // a missing end-of-track event is tolerated
}

} // namespace

std::optional<MidiTuneEnd> midiTuneEnd(const QByteArray& data)
{
    const auto* begin = reinterpret_cast<const unsigned char*>(data.constData());
    const unsigned char* end = begin + data.size();
    if (data.size() < 14 || data.left(4) != "MThd")
        return std::nullopt;
    const uint32_t headerLength = bigEndian(begin + 4, 4);
    if (headerLength < 6 || headerLength > uint32_t(data.size() - 8))
        return std::nullopt;
    const uint32_t format = bigEndian(begin + 8, 2);
    const uint32_t tracks = bigEndian(begin + 10, 2);
    const uint32_t division = bigEndian(begin + 12, 2);
    if (format > 2 || tracks == 0 || division == 0 || (format == 0 && tracks != 1))
        return std::nullopt;

    const unsigned char* p = begin + 8 + headerLength;
    uint32_t found = 0;
    uint64_t lastTick = 0;
    std::vector<TempoChange> tempos;
    while (found < tracks) {
        if (end - p < 8)
            return std::nullopt;
        const uint32_t length = bigEndian(p + 4, 4);
        const bool isTrack = bigEndian(p, 4) == bigEndian(reinterpret_cast<const unsigned char*>("MTrk"), 4);
        p += 8;
        if (length > uint32_t(end - p))
            return std::nullopt;
        if (isTrack) {
            uint64_t trackEnd = 0;
            if (!readTrack(p, p + length, &trackEnd, &tempos))
                return std::nullopt;
            lastTick = std::max(lastTick, trackEnd);
            ++found;
        }
        p += length;
    }
    if (lastTick > 0x7FFFFFFF)
        return std::nullopt; // beyond what the player counts

    MidiTuneEnd tuneEnd;
    tuneEnd.tick = quint32(lastTick);
    if (division & 0x8000) {
        // Time code: frames a second times ticks a frame.
        const int framesPerSecond = -int(int8_t(division >> 8));
        const int ticksPerFrame = int(division & 0xFF);
        if (framesPerSecond <= 0 || ticksPerFrame == 0)
            return std::nullopt;
        tuneEnd.seconds = double(lastTick) / (framesPerSecond * ticksPerFrame);
        return tuneEnd;
    }
    std::stable_sort(tempos.begin(), tempos.end(),
                     [](const TempoChange& a, const TempoChange& b) { return a.tick < b.tick; });
    uint64_t at = 0;
    double usPerQuarter = 500000; // 120 beats a minute
    double microseconds = 0;
    for (const TempoChange& change : tempos) {
        if (change.tick >= lastTick)
            break;
        microseconds += double(change.tick - at) * usPerQuarter / division;
        at = change.tick;
        usPerQuarter = change.microsecondsPerQuarter;
    }
    microseconds += double(lastTick - at) * usPerQuarter / division;
    tuneEnd.seconds = microseconds / 1e6;
    return tuneEnd;
}

bool isWellFormedMidiFile(const QByteArray& data)
{
    return midiTuneEnd(data).has_value();
}

} // namespace qp
