#pragma once
#include <QByteArray>

namespace qp {

// True when data is a well-formed Standard MIDI File: an "MThd" header and
// as many "MTrk" chunks as it announces, every chunk inside the data and
// every event of every track readable to the end of its chunk. A file that
// fails here is refused at open, so a broken tune never reaches the player.
bool isWellFormedMidiFile(const QByteArray& data);

} // namespace qp
