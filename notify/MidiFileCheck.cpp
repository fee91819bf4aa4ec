#include "notify/MidiFileCheck.h"

#include <cstdint>

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

bool trackEventsReadable(const unsigned char* p, const unsigned char* end)
{
    unsigned char running = 0;
    while (p < end) {
        uint32_t delta = 0;
        if (!readVlq(p, end, &delta) || p >= end)
            return false;
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

bool isWellFormedMidiFile(const QByteArray& data)
{
    const auto* begin = reinterpret_cast<const unsigned char*>(data.constData());
    const unsigned char* end = begin + data.size();
    if (data.size() < 14 || data.left(4) != "MThd")
        return false;
    const uint32_t headerLength = bigEndian(begin + 4, 4);
    if (headerLength < 6 || headerLength > uint32_t(data.size() - 8))
        return false;
    const uint32_t format = bigEndian(begin + 8, 2);
    const uint32_t tracks = bigEndian(begin + 10, 2);
    const uint32_t division = bigEndian(begin + 12, 2);
    if (format > 2 || tracks == 0 || division == 0 || (format == 0 && tracks != 1))
        return false;

    const unsigned char* p = begin + 8 + headerLength;
    uint32_t found = 0;
    while (found < tracks) {
        if (end - p < 8)
            return false;
        const uint32_t length = bigEndian(p + 4, 4);
        const bool isTrack = bigEndian(p, 4) == bigEndian(reinterpret_cast<const unsigned char*>("MTrk"), 4);
        p += 8;
        if (length > uint32_t(end - p))
            return false;
        if (isTrack) {
            if (!trackEventsReadable(p, p + length))
                return false;
            ++found;
        }
        p += length;
    }
    return true;
}

} // namespace qp
