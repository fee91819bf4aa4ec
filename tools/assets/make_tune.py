#!/usr/bin/env python3
"""Writes assets/Sound/Kouka.mid, the alert tune: a wind chime (furin) in a
summer breeze. Gusts of glass-bell strikes on a pentatonic scale over a soft
pad, a temple-bell accent, a short music-box phrase, and a last cascade that
rings out. About 15 seconds; the loop restarts it after the last note fades.

Deterministic (fixed random start value), Python 3 standard library only.
Usage: make_tune.py [output.mid]
"""
import os
import random
import struct
import sys

TICKS_PER_QUARTER = 480
TEMPO_US = 500000  # 120 bpm: one tick is 500000/480 us, about 1.04 ms

# D major pentatonic, high: the bright glassy register of a furin.
SCALE = [74, 76, 78, 81, 83, 86, 88, 90, 93, 95]

CH_CELESTA, CH_GLOCK, CH_BELLS, CH_BOX, CH_PAD = 0, 1, 2, 3, 4
PROGRAMS = {CH_CELESTA: 8, CH_GLOCK: 9, CH_BELLS: 14, CH_BOX: 10, CH_PAD: 88}


def ms_to_ticks(ms):
    return int(round(ms * 1000 / (TEMPO_US / TICKS_PER_QUARTER)))


class Score:
    def __init__(self):
        self.events = []  # (time_ms, order, bytes)

    def add(self, ms, data, order=1):
        self.events.append((ms, order, bytes(data)))

    def note(self, ms, channel, key, velocity, length_ms):
        self.add(ms, [0x90 | channel, key, velocity])
        self.add(ms + length_ms, [0x80 | channel, key, 0], order=0)

    def control(self, ms, channel, controller, value):
        self.add(ms, [0xB0 | channel, controller, value])


def vlq(value):
    out = [value & 0x7F]
    value >>= 7
    while value:
        out.append(0x80 | (value & 0x7F))
        value >>= 7
    return bytes(reversed(out))


def gust(score, rng, start_ms, strikes, spacing=(80, 230), low=0, high=len(SCALE) - 1):
    """Strikes of the chime as a breeze sways it: neighbouring bars mostly."""
    t = start_ms
    i = rng.randint(low, high)
    for n in range(strikes):
        i = max(low, min(high, i + rng.choice([-2, -1, -1, 1, 1, 2])))
        channel = CH_CELESTA if rng.random() < 0.6 else CH_GLOCK
        velocity = rng.randint(70, 110) if channel == CH_CELESTA else rng.randint(52, 80)
        score.note(t, channel, SCALE[i], velocity, 900)
        t += rng.randint(*spacing)
    return t


def build():
    rng = random.Random(7)
    s = Score()
    s.add(0, [0xFF, 0x51, 0x03]
          + list(TEMPO_US.to_bytes(3, 'big')), order=-2)
    s.add(0, [0xFF, 0x03, 0x05] + list(b'Kouka'), order=-2)
    for channel, program in PROGRAMS.items():
        s.add(0, [0xC0 | channel, program], order=-1)
        s.control(0, channel, 91, 90)  # reverb: a porch, not a dry room
    for channel in (CH_CELESTA, CH_GLOCK, CH_BOX):
        s.control(0, channel, 7, 127)
    s.control(0, CH_PAD, 7, 60)
    s.control(0, CH_BELLS, 7, 100)
    s.control(0, CH_GLOCK, 10, 40)   # pan the two chimes apart a little
    s.control(0, CH_CELESTA, 10, 84)

    # A soft pad under the whole tune, swelling in and fading out.
    for key in (62, 69, 74):
        s.note(0, CH_PAD, key, 44, 13600)
    for step in range(0, 24):
        s.control(step * 60, CH_PAD, 11, min(127, 40 + step * 4))
    for step in range(0, 30):
        s.control(10600 + step * 100, CH_PAD, 11, max(0, 127 - step * 4 - step * step // 8))

    t = gust(s, rng, 150, 8)
    s.note(t + 150, CH_BELLS, 74, 72, 2600)             # temple bell far off
    t = gust(s, rng, t + 900, 6, spacing=(120, 300), low=3)

    # A music-box phrase, as if someone on the porch hummed along.
    phrase = [(81, 350), (78, 350), (76, 350), (74, 700), (76, 350), (78, 350), (81, 1000)]
    t += 500
    for key, length in phrase:
        s.note(t, CH_BOX, key, 96, length + 300)
        if rng.random() < 0.4:
            s.note(t + 40, CH_GLOCK, key + 12, 38, 600)
        t += length

    t = gust(s, rng, t + 300, 5, spacing=(150, 320), low=2)
    # The last, strongest gust runs down the chime and rings out.
    t += 250
    for i, key in enumerate(reversed(SCALE)):
        s.note(t, CH_CELESTA if i % 2 == 0 else CH_GLOCK, key, 92 - i * 4, 1400)
        t += 70 + i * 12
    s.note(t + 120, CH_BELLS, 62, 64, 2400)
    s.note(t + 120, CH_CELESTA, 86, 48, 1800)
    end = t + 120 + 2400 + 200
    # Released voices linger far below hearing; a synthesizer that waits for
    # them would hold the end of the tune (and so the next loop) for seconds.
    for channel in PROGRAMS:
        s.control(end, channel, 120, 0)
    return s, end


def encode(score, end_ms):
    events = sorted(score.events, key=lambda e: (e[0], e[1]))
    track = bytearray()
    last = 0
    for ms, _, data in events:
        tick = ms_to_ticks(ms)
        track += vlq(tick - last) + data
        last = tick
    track += vlq(max(0, ms_to_ticks(end_ms) - last)) + bytes([0xFF, 0x2F, 0x00])
    header = b'MThd' + struct.pack('>IHHH', 6, 0, 1, TICKS_PER_QUARTER)
    return header + b'MTrk' + struct.pack('>I', len(track)) + bytes(track)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    default = os.path.join(here, '..', '..', 'assets', 'Sound', 'Kouka.mid')
    out = os.path.normpath(sys.argv[1] if len(sys.argv) > 1 else default)
    score, end_ms = build()
    data = encode(score, end_ms)
    tmp = out + '.tmp'
    with open(tmp, 'wb') as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, out)
    print(f'{out}: {len(data)} bytes, {end_ms / 1000:.1f} s')


if __name__ == '__main__':
    main()
