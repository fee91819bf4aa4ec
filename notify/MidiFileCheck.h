#pragma once
#include <QByteArray>

#include <optional>

namespace qp {

// True when data is a well-formed Standard MIDI File: an "MThd" header and
// as many "MTrk" chunks as it announces, every chunk inside the data and
// every event of every track readable to the end of its chunk. A file that
// fails here is refused at open, so a broken tune never reaches the player.
bool isWellFormedMidiFile(const QByteArray& data);

// Where a well-formed tune ends: the tick of its last end-of-track event
// (the last event of a track that lacks one), and how long it takes to get
// there at the tempos it sets (120 beats a minute until the first).
struct MidiTuneEnd {
    quint32 tick = 0;
    double seconds = 0;
};
std::optional<MidiTuneEnd> midiTuneEnd(const QByteArray& data);

} // namespace qp
